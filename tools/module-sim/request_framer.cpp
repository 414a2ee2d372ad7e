// SPDX-License-Identifier: GPL-3.0-or-later
// Request framing on a TCP stream for the module simulator.
#include "request_framer.h"

#include "codec/frame_layout.h"

QList<QByteArray> RequestFramer::push(const QByteArray& bytes)
{
    m_buffer.append(bytes);
    QList<QByteArray> requests;
    while (!m_buffer.isEmpty()) {
        if (!canStartHeader(m_buffer)) {
            requests.append(takePending());
            break;
        }
        if (m_buffer.size() < frame::kHeaderSize)
            break;
        const int size = announcedSize(m_buffer);
        if (m_buffer.size() < size)
            break;
        requests.append(m_buffer.left(size));
        m_buffer.remove(0, size);
    }
    return requests;
}

bool RequestFramer::awaitsHeader() const
{
    return hasPending() && m_buffer.size() < frame::kHeaderSize;
}

QByteArray RequestFramer::takePending()
{
    QByteArray pending;
    pending.swap(m_buffer);
    return pending;
}

bool RequestFramer::canStartHeader(const QByteArray& bytes)
{
    const auto zeroIfPresent = [&bytes](int offset) {
        return offset >= bytes.size() || bytes.at(offset) == 0;
    };
    for (int i = 0; i < frame::kReservedSize; ++i) {
        if (!zeroIfPresent(frame::kReservedOffset + i))
            return false;
    }
    if (!zeroIfPresent(frame::kHeaderPadOffset))
        return false;
    return bytes.size() <= frame::kLengthHighOffset || announcedSize(bytes) <= frame::kMaxRequestSize;
}

int RequestFramer::announcedSize(const QByteArray& header)
{
    const int low = static_cast<quint8>(header.at(frame::kLengthOffset));
    const int high = static_cast<quint8>(header.at(frame::kLengthHighOffset));
    return frame::kHeaderSize + (low | (high << 8));
}
