// SPDX-License-Identifier: GPL-3.0-or-later
// Request frame encoding: hexadecimal pairs and company-ID characters to bytes.
#include "codec/request_encoder.h"

#include "codec/frame_layout.h"

#include <algorithm>

namespace {

// Longest data text whose pairs still fit the length byte.
constexpr int kMaxDataChars = 2 * frame::kMaxDataBytes; // 494
// A text quoted in a message is cut here so the box stays readable.
constexpr int kMaxQuotedChars = 40;

int hexDigit(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    if (u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    return -1;
}

// Characters s and s + 1 (counted from 0), or only s at the end, or nothing
// past the end.
QStringView slice2(QStringView text, int s)
{
    if (s >= text.size())
        return {};
    return text.mid(s, 2);
}

bool isHex(QStringView text)
{
    for (QChar c : text) {
        if (hexDigit(c) < 0)
            return false;
    }
    return true;
}

// Value of a text of one or two hexadecimal digits; checked beforehand.
quint8 hexValue(QStringView text)
{
    int value = 0;
    for (QChar c : text)
        value = value * 16 + hexDigit(c);
    return static_cast<quint8>(value);
}

QString quoted(const QString& text)
{
    if (text.size() <= kMaxQuotedChars)
        return u'"' + text + u'"';
    return u'"' + text.left(kMaxQuotedChars) + QStringLiteral("\u2026\"");
}

QString notHex(const char* label, const QString& text)
{
    return QStringLiteral("%1: %2 is not hexadecimal.").arg(QLatin1String(label), quoted(text));
}

// A command, data type or Var No text: two pairs from its first four
// characters; three characters give the third one's value as second byte.
std::optional<QString> checkPairField(const char* label, const QString& text)
{
    if (text.size() < 3) {
        return QStringLiteral("%1: %2 is too short; type four hexadecimal digits.")
            .arg(QLatin1String(label), quoted(text));
    }
    if (!isHex(QStringView(text).left(4)))
        return notHex(label, text);
    return std::nullopt;
}

void writePairField(QStringView text, char* at)
{
    at[0] = static_cast<char>(hexValue(slice2(text, 0)));
    at[1] = static_cast<char>(hexValue(slice2(text, 2)));
}

} // namespace

void InitHeader(QByteArray& sendBuffer)
{
    sendBuffer = QByteArray(frame::kHeaderSize, '\0');
    sendBuffer.replace(frame::kCompanyIdOffset, frame::kCompanyIdSize, frame::kDefaultCompanyId,
                       frame::kCompanyIdSize);
    sendBuffer[frame::kSourceOffset] = static_cast<char>(frame::kDefaultSource);
}

int HalfLength(QStringView text)
{
    const qsizetype length = text.size();
    const qsizetype half = length / 2;
    if (length % 2 == 0)
        return static_cast<int>(half);
    // Exactly half-way between half and half + 1: round to the even one.
    return static_cast<int>(half % 2 == 0 ? half : half + 1);
}

quint8 ByteSum(const QByteArray& bytes, int first, int last)
{
    unsigned sum = 0;
    for (int i = first; i <= last; ++i)
        sum += static_cast<quint8>(bytes[i]);
    return static_cast<quint8>(sum);
}

std::optional<WrongRequestText> findWrongRequestText(const RequestTexts& texts)
{
    using F = RequestField;
    if (texts.comId.size() > frame::kCompanyIdSize) {
        return WrongRequestText{F::ComId,
                                // One arg() call: a % in the typed text is not a placeholder.
                                QStringLiteral("Com ID: %1 has more than %2 characters.")
                                    .arg(quoted(texts.comId), QString::number(frame::kCompanyIdSize))};
    }
    for (qsizetype i = 0; i < texts.comId.size(); ++i) {
        const QChar c = texts.comId[i];
        if (c.unicode() > 0xFF) {
            // A character beyond the basic plane is quoted whole, both halves.
            const qsizetype width = c.isHighSurrogate() && i + 1 < texts.comId.size() ? 2 : 1;
            return WrongRequestText{
                F::ComId,
                QStringLiteral("Com ID: %1 holds the character %2, which has no one-byte code.")
                    .arg(quoted(texts.comId), texts.comId.mid(i, width))};
        }
    }
    if (texts.src.isEmpty())
        return WrongRequestText{
            F::Src, QStringLiteral("Source: the text is empty; type one or two hexadecimal digits.")};
    if (texts.src.size() > 2) {
        return WrongRequestText{
            F::Src,
            QStringLiteral("Source: %1 is longer than one byte; type one or two hexadecimal digits.")
                .arg(quoted(texts.src))};
    }
    if (!isHex(texts.src))
        return WrongRequestText{F::Src, notHex("Source", texts.src)};
    if (texts.invokeId.size() == 4 && !isHex(texts.invokeId))
        return WrongRequestText{F::InvokeId, notHex("Invoke ID", texts.invokeId)};
    if (auto e = checkPairField("Command", texts.cmnd))
        return WrongRequestText{F::Cmnd, *e};
    if (auto e = checkPairField("Data Type", texts.dataType))
        return WrongRequestText{F::DataType, *e};
    if (auto e = checkPairField("Var No", texts.varNo))
        return WrongRequestText{F::VarNo, *e};
    if (texts.data.size() > kMaxDataChars) {
        return WrongRequestText{
            F::Data,
            QStringLiteral("Data: %1 has %2 characters; at most %3 (%4 bytes) fit in one frame.")
                .arg(quoted(texts.data), QString::number(texts.data.size()), QString::number(kMaxDataChars),
                     QString::number(frame::kMaxDataBytes))};
    }
    // Only the characters that become bytes must be digits: an odd text whose
    // pair count was rounded down drops its last character unsent.
    if (!isHex(QStringView(texts.data).left(qsizetype{2} * HalfLength(texts.data))))
        return WrongRequestText{F::Data, notHex("Data", texts.data)};
    return std::nullopt;
}

std::optional<QString> checkRequestTexts(const RequestTexts& texts)
{
    if (auto wrong = findWrongRequestText(texts))
        return wrong->message;
    return std::nullopt;
}

void LoadHeaderFields(const RequestTexts& texts, QByteArray& sendBuffer)
{
    char* bytes = sendBuffer.data();
    const int used = static_cast<int>(texts.comId.size());
    for (int i = 0; i < frame::kCompanyIdSize; ++i) {
        bytes[frame::kCompanyIdOffset + i] = i < used ? static_cast<char>(texts.comId[i].unicode()) : '\0';
    }
    bytes[frame::kSourceOffset] = static_cast<char>(hexValue(texts.src));
    // Any other length keeps the invoke ID of the last four-character text.
    if (texts.invokeId.size() == 4)
        writePairField(texts.invokeId, bytes + frame::kInvokeIdOffset);
}

std::optional<QString> encodeRequest(const RequestTexts& texts, QByteArray& sendBuffer)
{
    if (auto error = checkRequestTexts(texts))
        return error;

    const int n = HalfLength(texts.data);
    // A buffer of fewer than 20 bytes was never laid by InitHeader; give it
    // a zero header so that no write lands outside it.
    if (sendBuffer.size() < frame::kHeaderSize)
        sendBuffer.resize(frame::kHeaderSize, '\0');
    LoadHeaderFields(texts, sendBuffer);
    sendBuffer.resize(frame::kRequestFixedSize + n, '\0');

    char* bytes = sendBuffer.data();
    // The always-zero header bytes are written rather than kept: a buffer
    // holding anything else there would otherwise send a wrong length high
    // byte or reserved bytes, under a checksum that covers them.
    std::fill_n(bytes + frame::kReservedOffset, frame::kReservedSize, '\0');
    bytes[frame::kLengthHighOffset] = '\0';
    bytes[frame::kHeaderPadOffset] = '\0';
    bytes[frame::kLengthOffset] = static_cast<char>(frame::bodyLength(n));
    // The checksum covers the header only, so it is taken before the body.
    bytes[frame::kCheckSumOffset] =
        static_cast<char>(ByteSum(sendBuffer, frame::kCheckSumFirst, frame::kCheckSumLast));

    writePairField(texts.cmnd, bytes + frame::kCommandOffset);
    writePairField(texts.dataType, bytes + frame::kDataTypeOffset);
    bytes[frame::kBodyPadOffset] = '\0';
    bytes[frame::kBodyPadOffset + 1] = '\0';
    writePairField(texts.varNo, bytes + frame::kVarNoOffset);

    const QStringView data(texts.data);
    for (int i = 0; i < n; ++i)
        bytes[frame::kRequestDataOffset + i] = static_cast<char>(hexValue(slice2(data, 2 * i)));
    return std::nullopt;
}

void setInvokeId(QByteArray& frame, quint16 invokeId)
{
    if (frame.size() < frame::kHeaderSize)
        return;
    char* bytes = frame.data();
    bytes[frame::kInvokeIdOffset] = static_cast<char>(invokeId >> 8);
    bytes[frame::kInvokeIdOffset + 1] = static_cast<char>(invokeId & 0xFF);
    bytes[frame::kCheckSumOffset] =
        static_cast<char>(ByteSum(frame, frame::kCheckSumFirst, frame::kCheckSumLast));
}

std::optional<quint16> invokeIdOf(QByteArrayView frame)
{
    if (frame.size() < frame::kInvokeIdOffset + frame::kInvokeIdSize)
        return std::nullopt;
    const auto high = static_cast<quint8>(frame[frame::kInvokeIdOffset]);
    const auto low = static_cast<quint8>(frame[frame::kInvokeIdOffset + 1]);
    return static_cast<quint16>(high << 8 | low);
}
