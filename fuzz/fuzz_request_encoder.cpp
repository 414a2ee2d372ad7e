// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target: the request encoder on arbitrary texts in the seven
// request boxes, checking the frame it builds or that a refusal leaves the
// send buffer untouched.
#include "codec/frame_layout.h"
#include "codec/request_encoder.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>
#include <cstdlib>

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

// Input layout: byte 0 chooses the text encoding (bit 0: UTF-16 LE, else
// UTF-8) and the send buffer the encoder starts from (bits 1-2); byte 1 sizes
// that buffer; the rest holds the seven texts, separated by 0xFF (UTF-8) or
// U+FFFF (UTF-16), missing ones empty.
QList<QString> splitTexts(const std::uint8_t* data, std::size_t size, bool utf16)
{
    QList<QString> texts;
    if (utf16) {
        QString current;
        for (std::size_t i = 0; i + 1 < size; i += 2) {
            const char16_t unit = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
            if (unit == 0xFFFF) {
                texts.append(current);
                current.clear();
            } else {
                current.append(QChar(unit));
            }
        }
        texts.append(current);
    } else {
        std::size_t start = 0;
        for (std::size_t i = 0; i <= size; ++i) {
            if (i == size || data[i] == 0xFF) {
                texts.append(QString::fromUtf8(reinterpret_cast<const char*>(data + start),
                                               static_cast<qsizetype>(i - start)));
                start = i + 1;
            }
        }
    }
    while (texts.size() < 7)
        texts.append(QString());
    return texts;
}

QByteArray startBuffer(int kind, std::uint8_t sizeByte, const std::uint8_t* data, std::size_t size)
{
    QByteArray buffer;
    switch (kind) {
    case 0: // as the window lays it
        InitHeader(buffer);
        break;
    case 1: // never laid
        break;
    case 2: // shorter than a header
        InitHeader(buffer);
        buffer.truncate(sizeByte % frame::kHeaderSize);
        break;
    default: // any leftover content, e.g. a longer earlier frame
        buffer = QByteArray(reinterpret_cast<const char*>(data),
                            static_cast<qsizetype>(std::min<std::size_t>(sizeByte, size)));
        break;
    }
    return buffer;
}

void requireFrame(const QByteArray& frame)
{
    require(frame.size() >= frame::kRequestFixedSize && frame.size() <= frame::kMaxRequestSize);
    for (int i = frame::kReservedOffset; i < frame::kReservedOffset + frame::kReservedSize; ++i)
        require(frame.at(i) == 0);
    require(frame.at(frame::kLengthHighOffset) == 0);
    require(frame.at(frame::kHeaderPadOffset) == 0);
    require(static_cast<quint8>(frame.at(frame::kLengthOffset)) == frame.size() - frame::kHeaderSize);
    unsigned sum = 0;
    for (int i = frame::kCheckSumFirst; i <= frame::kCheckSumLast; ++i)
        sum += static_cast<quint8>(frame.at(i));
    require(static_cast<quint8>(frame.at(frame::kCheckSumOffset)) == static_cast<quint8>(sum));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const bool utf16 = data[0] & 1;
    const int kind = (data[0] >> 1) & 3;
    const QList<QString> t = splitTexts(data + 2, size - 2, utf16);
    const RequestTexts texts{t[0], t[1], t[2], t[3], t[4], t[5], t[6]};

    QByteArray buffer = startBuffer(kind, data[1], data + 2, size - 2);
    const QByteArray before = buffer;
    const std::optional<QString> checked = checkRequestTexts(texts);
    const std::optional<QString> error = encodeRequest(texts, buffer);

    require(checked.has_value() == error.has_value());
    if (error) {
        require(!error->isEmpty());
        require(*error == *checked);
        require(buffer == before);
        return 0;
    }
    requireFrame(buffer);
    // The same texts again give the same frame: nothing kept from the last
    // build drifts.
    QByteArray again = buffer;
    require(!encodeRequest(texts, again));
    require(again == buffer);
    return 0;
}
