// Request framing on a TCP stream for the module simulator.
#include "request_framer.h"

#include "codec/frame_layout.h"

QList<QByteArray> RequestFramer::push(const QByteArray& bytes)
{
    m_buffer.append(bytes);
    QList<QByteArray> requests;
    while (m_buffer.size() >= frame::kHeaderSize) {
        if (!looksLikeHeader(m_buffer)) {
            requests.append(takePending());
            break;
        }
        const int size = announcedSize(m_buffer);
        if (m_buffer.size() < size)
            break;
        requests.append(m_buffer.left(size));
        m_buffer.remove(0, size);
    }
    return requests;
}

QByteArray RequestFramer::takePending()
{
    QByteArray pending;
    pending.swap(m_buffer);
    return pending;
}

bool RequestFramer::looksLikeHeader(const QByteArray& bytes)
{
    if (bytes.size() < frame::kHeaderSize)
        return false;
    for (int i = 0; i < frame::kReservedSize; ++i) {
        if (bytes.at(frame::kReservedOffset + i) != 0)
            return false;
    }
    if (bytes.at(frame::kHeaderPadOffset) != 0)
        return false;
    return announcedSize(bytes) <= frame::kMaxRequestSize;
}

int RequestFramer::announcedSize(const QByteArray& header)
{
    const int low = static_cast<quint8>(header.at(frame::kLengthOffset));
    const int high = static_cast<quint8>(header.at(frame::kLengthHighOffset));
    return frame::kHeaderSize + (low | (high << 8));
}
