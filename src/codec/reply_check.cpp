// SPDX-License-Identifier: GPL-3.0-or-later
// Reply checks on the frame layout's fields.
#include "codec/reply_check.h"

#include "codec/frame_display.h"
#include "codec/frame_layout.h"
#include "codec/request_encoder.h"

#include <QStringList>

namespace {

quint8 byteAt(const QByteArray& bytes, int offset)
{
    return static_cast<quint8>(bytes.at(offset));
}

int lengthField(const QByteArray& frame)
{
    return byteAt(frame, frame::kLengthOffset) | (byteAt(frame, frame::kLengthHighOffset) << 8);
}

bool has(const QByteArray& bytes, int offset, int size)
{
    return bytes.size() >= offset + size;
}

bool sameBytes(const QByteArray& a, const QByteArray& b, int offset, int size)
{
    return has(a, offset, size) && has(b, offset, size)
        && QByteArrayView(a).sliced(offset, size) == QByteArrayView(b).sliced(offset, size);
}

QString hexBytes(const QByteArray& bytes, int offset, int size)
{
    QString text;
    for (int i = offset; i < offset + size && i < bytes.size(); ++i)
        text += HexByte(byteAt(bytes, i));
    return text;
}

// A company ID as the window shows it, with its zero padding left off.
QString companyIdText(const QByteArray& frame)
{
    QByteArray id = frame.mid(frame::kCompanyIdOffset, frame::kCompanyIdSize);
    while (id.endsWith('\0'))
        id.chop(1);
    return u'"' + QString::fromLatin1(id) + u'"';
}

} // namespace

unsigned checkReply(const QByteArray& request, const QByteArray& reply)
{
    unsigned faults = 0;
    if (reply.size() < frame::kResponseFixedSize)
        faults |= kFaultShort;
    if (has(reply, 0, frame::kHeaderSize)) {
        if (ByteSum(reply, frame::kCheckSumFirst, frame::kCheckSumLast)
            != byteAt(reply, frame::kCheckSumOffset))
            faults |= kFaultCheckSum;
        if (lengthField(reply) != reply.size() - frame::kHeaderSize)
            faults |= kFaultLength;
    }
    if (has(reply, frame::kCompanyIdOffset, frame::kCompanyIdSize)
        && !sameBytes(request, reply, frame::kCompanyIdOffset, frame::kCompanyIdSize))
        faults |= kFaultCompanyId;
    if (has(reply, frame::kInvokeIdOffset, frame::kInvokeIdSize)
        && !sameBytes(request, reply, frame::kInvokeIdOffset, frame::kInvokeIdSize))
        faults |= kFaultInvokeId;
    return faults;
}

QString describeFaults(const QByteArray& request, const QByteArray& reply, unsigned faults)
{
    QStringList parts;
    if (faults & kFaultShort) {
        parts << QStringLiteral("only %1 bytes, a response has at least %2")
                     .arg(reply.size())
                     .arg(frame::kResponseFixedSize);
    }
    if (faults & kFaultCheckSum) {
        parts << QStringLiteral("header checksum %1, the header sums to %2")
                     .arg(HexByte(byteAt(reply, frame::kCheckSumOffset)),
                          HexByte(ByteSum(reply, frame::kCheckSumFirst, frame::kCheckSumLast)));
    }
    if (faults & kFaultLength) {
        parts << QStringLiteral("length field %1, %2 body bytes came")
                     .arg(lengthField(reply))
                     .arg(reply.size() - frame::kHeaderSize);
    }
    if (faults & kFaultCompanyId) {
        parts << QStringLiteral("company ID %1, the request's is %2")
                     .arg(companyIdText(reply), companyIdText(request));
    }
    if (faults & kFaultInvokeId) {
        parts << QStringLiteral("invoke ID %1, the request's is %2")
                     .arg(hexBytes(reply, frame::kInvokeIdOffset, frame::kInvokeIdSize),
                          hexBytes(request, frame::kInvokeIdOffset, frame::kInvokeIdSize));
    }
    return parts.join(QStringLiteral("; "));
}

const char* faultWord(ReplyFault fault)
{
    switch (fault) {
    case kFaultShort:
        return "short";
    case kFaultCheckSum:
        return "checksum";
    case kFaultLength:
        return "length";
    case kFaultCompanyId:
        return "company-id";
    case kFaultInvokeId:
        return "invoke-id";
    }
    return "";
}

QString faultWords(unsigned faults)
{
    if (faults == 0)
        return QStringLiteral("ok");
    QStringList words;
    for (int i = 0; i < kReplyFaultKinds; ++i) {
        const auto fault = static_cast<ReplyFault>(1u << i);
        if (faults & fault)
            words << QLatin1String(faultWord(fault));
    }
    return words.join(u'+');
}
