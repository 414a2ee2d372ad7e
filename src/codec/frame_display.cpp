// SPDX-License-Identifier: GPL-3.0-or-later
// Frame display: bytes to hexadecimal and company-ID texts.
#include "codec/frame_display.h"

#include "codec/frame_layout.h"

#include <algorithm>

namespace {

constexpr char16_t kHexDigits[] = u"0123456789ABCDEF";

void writeHex(QChar* at, quint8 byte)
{
    at[0] = QChar(kHexDigits[byte >> 4]);
    at[1] = QChar(kHexDigits[byte & 0x0F]);
}

// Hex of bytes [offset, offset + size), or the empty text when the field
// did not arrive whole. Written in place: one allocation per field.
QString hexField(const char* bytes, int count, int offset, int size)
{
    if (offset + size > count)
        return QString();
    QString text(qsizetype{2} * size, Qt::Uninitialized);
    QChar* at = text.data();
    for (int i = offset; i < offset + size; ++i, at += 2)
        writeHex(at, static_cast<quint8>(bytes[i]));
    return text;
}

int cappedCount(const QByteArray& frame, qint32 count)
{
    return std::clamp<qint64>(count, 0, frame.size());
}

} // namespace

QString hexFieldText(const QByteArray& frame, int offset, int size)
{
    return hexField(frame.constData(), static_cast<int>(frame.size()), offset, size);
}

QString HexByte(quint8 byte)
{
    QString text(2, Qt::Uninitialized);
    writeHex(text.data(), byte);
    return text;
}

HeaderTexts headerTexts(const QByteArray& frame, qint32 count)
{
    const int n = cappedCount(frame, count);
    const char* bytes = frame.constData();
    HeaderTexts texts;
    if (frame::kCompanyIdOffset + frame::kCompanyIdSize <= n) {
        // ISO-8859-1, the encoder's mapping reversed, so an echoed company ID
        // sends the same bytes again. Trailing zero bytes are left off: the
        // encoder pads a short ID with them anyway, and as characters they
        // would fill the box to its limit, invisibly. A zero byte before the
        // last non-zero one stays a character.
        int size = frame::kCompanyIdSize;
        while (size > 0 && bytes[frame::kCompanyIdOffset + size - 1] == '\0')
            --size;
        texts.comId = QString::fromLatin1(bytes + frame::kCompanyIdOffset, size);
    }
    texts.src = hexField(bytes, n, frame::kSourceOffset, 1);
    texts.invokeId = hexField(bytes, n, frame::kInvokeIdOffset, frame::kInvokeIdSize);
    texts.length = hexField(bytes, n, frame::kLengthOffset, frame::kLengthSize);
    texts.checkSum = hexField(bytes, n, frame::kCheckSumOffset, 1);
    return texts;
}

ResponseTexts responseTexts(const QByteArray& frame, qint32 count)
{
    const int n = cappedCount(frame, count);
    const char* bytes = frame.constData();
    ResponseTexts texts;
    texts.header = headerTexts(frame, n);
    texts.cmnd = hexField(bytes, n, frame::kCommandOffset, frame::kFieldPairSize);
    texts.dataType = hexField(bytes, n, frame::kDataTypeOffset, frame::kFieldPairSize);
    texts.state = hexField(bytes, n, frame::kStateOffset, frame::kFieldPairSize);
    texts.code = hexField(bytes, n, frame::kCodeOffset, frame::kFieldPairSize);
    if (n > frame::kResponseDataOffset)
        texts.data = hexField(bytes, n, frame::kResponseDataOffset, n - frame::kResponseDataOffset);
    return texts;
}
