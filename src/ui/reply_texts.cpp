// SPDX-License-Identifier: GPL-3.0-or-later
// Box texts from request and reply bytes, kept while the bytes repeat.
#include "ui/reply_texts.h"

#include "codec/frame_layout.h"
#include "session/session_engine.h"

#include <QByteArrayView>

#include <algorithm>

namespace {

// Whether two frames, each at least a whole header, differ in the invoke ID
// and the checksum alone.
bool onlyInvokeIdDiffers(QByteArrayView a, QByteArrayView b)
{
    if (a.size() != b.size() || a.size() < frame::kHeaderSize)
        return false;
    constexpr qsizetype kAfterId = frame::kInvokeIdOffset + frame::kInvokeIdSize;
    return a.first(frame::kInvokeIdOffset) == b.first(frame::kInvokeIdOffset)
        && a.sliced(kAfterId, frame::kCheckSumOffset - kAfterId)
        == b.sliced(kAfterId, frame::kCheckSumOffset - kAfterId)
        && a.sliced(frame::kHeaderSize) == b.sliced(frame::kHeaderSize);
}

// Writes `byte` as two upper-case hex digits at `at`; in place unless a box
// still shares the text.
void writeHexByte(QString& text, qsizetype at, quint8 byte)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    QChar* digits = text.data();
    digits[at] = QLatin1Char(kDigits[byte >> 4]);
    digits[at + 1] = QLatin1Char(kDigits[byte & 0xF]);
}

// Copies `bytes` into `into`, into its own buffer while the size stays.
void keepCopy(QByteArray& into, QByteArrayView bytes)
{
    if (into.size() == bytes.size())
        std::copy(bytes.begin(), bytes.end(), into.begin());
    else
        into = QByteArray(bytes.data(), bytes.size());
}

// Brings `texts`, built from `kept`, to `bytes`: `kept` becomes `bytes`, and
// true when that took the texts of the invoke ID and the checksum alone;
// false when they must be built again.
bool patchInvokeId(QByteArrayView bytes, QByteArray& kept, HeaderTexts& texts)
{
    if (!onlyInvokeIdDiffers(bytes, kept))
        return false;
    for (int offset : {frame::kInvokeIdOffset, frame::kInvokeIdOffset + 1, frame::kCheckSumOffset})
        kept[offset] = bytes[offset];
    writeHexByte(texts.invokeId, 0, static_cast<quint8>(bytes[frame::kInvokeIdOffset]));
    writeHexByte(texts.invokeId, 2, static_cast<quint8>(bytes[frame::kInvokeIdOffset + 1]));
    writeHexByte(texts.checkSum, 0, static_cast<quint8>(bytes[frame::kCheckSumOffset]));
    return true;
}

void setNumberText(QString& text, qint32& shown, qint32 value)
{
    if (text.isNull() || shown != value) {
        shown = value;
        text = QString::number(value);
    }
}

} // namespace

const HeaderTexts& ReplyTexts::requestHeader(const SentRequest& request)
{
    // The header texts come from the header bytes alone.
    const QByteArrayView header =
        QByteArrayView(request.frame).first(std::min<qsizetype>(request.frame.size(), frame::kHeaderSize));
    if (m_hasHeader && header == m_headerBytes)
        return m_header;
    if (!m_hasHeader || !patchInvokeId(header, m_headerBytes, m_header)) {
        m_header = headerTexts(request.frame, static_cast<qint32>(request.frame.size()));
        keepCopy(m_headerBytes, header);
        m_hasHeader = true;
    }
    return m_header;
}

const ResponseTexts& ReplyTexts::response(const ArrivedReply& reply)
{
    const QByteArray& bytes = reply.bytes;
    if (m_hasResponse && bytes == m_responseBytes)
        return m_response;
    if (!m_hasResponse || !patchInvokeId(bytes, m_responseBytes, m_response.header)) {
        m_response = responseTexts(bytes, static_cast<qint32>(bytes.size()));
        keepCopy(m_responseBytes, bytes);
        m_hasResponse = true;
    }
    return m_response;
}

const ReplyTexts::Times& ReplyTexts::times(const ArrivedReply& reply)
{
    setNumberText(m_times.elapsed, m_elapsed, reply.elapsed);
    setNumberText(m_times.minTime, m_minTime, reply.MinTime);
    setNumberText(m_times.maxTime, m_maxTime, reply.MaxTime);
    return m_times;
}
