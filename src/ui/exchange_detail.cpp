// SPDX-License-Identifier: GPL-3.0-or-later
// The detail view's text, laid out on the frame layout's fields.
#include "ui/exchange_detail.h"

#include "codec/frame_display.h"
#include "codec/frame_layout.h"
#include "codec/reply_check.h"

#include <QStringList>

#include <algorithm>

namespace {

struct Field {
    const char* name;
    int offset;
    int size; // 0: to the end of the frame
};

// Every byte of the frame has its field: padding shows as "reserved", so a
// stray byte there is seen too.
const Field kRequestFields[] = {
    {"company ID", frame::kCompanyIdOffset, frame::kCompanyIdSize},
    {"reserved", frame::kReservedOffset, frame::kReservedSize},
    {"source", frame::kSourceOffset, 1},
    {"invoke ID", frame::kInvokeIdOffset, frame::kInvokeIdSize},
    {"length", frame::kLengthOffset, frame::kLengthSize},
    {"reserved", frame::kHeaderPadOffset, 1},
    {"checksum", frame::kCheckSumOffset, 1},
    {"command", frame::kCommandOffset, frame::kFieldPairSize},
    {"data type", frame::kDataTypeOffset, frame::kFieldPairSize},
    {"reserved", frame::kBodyPadOffset, frame::kFieldPairSize},
    {"var no", frame::kVarNoOffset, frame::kFieldPairSize},
    {"data", frame::kRequestDataOffset, 0},
};
const Field kReplyFields[] = {
    {"company ID", frame::kCompanyIdOffset, frame::kCompanyIdSize},
    {"reserved", frame::kReservedOffset, frame::kReservedSize},
    {"source", frame::kSourceOffset, 1},
    {"invoke ID", frame::kInvokeIdOffset, frame::kInvokeIdSize},
    {"length", frame::kLengthOffset, frame::kLengthSize},
    {"reserved", frame::kHeaderPadOffset, 1},
    {"checksum", frame::kCheckSumOffset, 1},
    {"command", frame::kCommandOffset, frame::kFieldPairSize},
    {"data type", frame::kDataTypeOffset, frame::kFieldPairSize},
    {"reserved", frame::kBodyPadOffset, frame::kFieldPairSize},
    {"state", frame::kStateOffset, frame::kFieldPairSize},
    {"code", frame::kCodeOffset, frame::kFieldPairSize},
    {"data", frame::kResponseDataOffset, 0},
};

constexpr int kNameWidth = 11;
constexpr int kBytesPerLine = 16;

QString hexRun(const QByteArray& bytes, int from, int to)
{
    QStringList hex;
    for (int i = from; i < to; ++i)
        hex << HexByte(quint8(bytes.at(i)));
    return hex.join(u' ');
}

// The company ID's characters beside its bytes; what cannot be shown is a dot.
QString printable(const QByteArray& bytes, int from, int to)
{
    QString text;
    for (int i = from; i < to; ++i) {
        const auto c = quint8(bytes.at(i));
        text += c >= 0x20 && c < 0x7F ? QChar(c) : u'.';
    }
    return text;
}

void addFrame(QStringList& lines, const QByteArray& bytes, const Field* fields, std::size_t count)
{
    const int size = int(bytes.size());
    for (std::size_t f = 0; f < count; ++f) {
        const Field& field = fields[f];
        const QString name = QStringLiteral("  %1").arg(QLatin1String(field.name), -kNameWidth);
        if (field.offset >= size) {
            // A data field may be empty; a fixed one that did not come is said so.
            if (field.size > 0)
                lines << name + QStringLiteral("(missing)");
            continue;
        }
        const int end = field.size > 0 ? std::min(size, field.offset + field.size) : size;
        QString first = name;
        for (int from = field.offset; from < end; from += kBytesPerLine) {
            const int to = std::min(end, from + kBytesPerLine);
            QString line =
                (from == field.offset ? first : QString(kNameWidth + 2, u' ')) + hexRun(bytes, from, to);
            if (field.offset == frame::kCompanyIdOffset)
                line += QStringLiteral("  \"%1\"").arg(printable(bytes, from, to));
            lines << line;
        }
        if (field.size > 0 && end < field.offset + field.size)
            lines.last() += QStringLiteral("  (cut short)");
    }
}

QString bytesWord(qsizetype n)
{
    return n == 1 ? QStringLiteral("1 byte") : QStringLiteral("%1 bytes").arg(n);
}

} // namespace

QString exchangeDetailText(const Exchange& exchange)
{
    QStringList lines;
    if (!exchange.request.isEmpty()) {
        lines << QStringLiteral("Request, %1").arg(bytesWord(exchange.request.size()));
        addFrame(lines, exchange.request, kRequestFields, std::size(kRequestFields));
    }
    if (!exchange.reply.isEmpty()) {
        lines << QStringLiteral("Reply, %1").arg(bytesWord(exchange.reply.size()));
        addFrame(lines, exchange.reply, kReplyFields, std::size(kReplyFields));
    } else if (exchange.arrivedBytes > 0) {
        lines << QStringLiteral("Reply: %1 of %2 had come when it was given up")
                     .arg(bytesWord(exchange.arrivedBytes),
                          exchange.expectedBytes > 0 ? QString::number(exchange.expectedBytes)
                                                     : QStringLiteral("an unknown size"));
    } else {
        lines << QStringLiteral("No reply");
    }
    if (exchange.answered() && exchange.faults) {
        lines << QString() << QStringLiteral("Failed checks:");
        for (const QString& part : describeFaults(exchange.request, exchange.reply, exchange.faults)
                                       .split(QStringLiteral("; "), Qt::SkipEmptyParts))
            lines << QStringLiteral("  ") + part;
    }
    return lines.join(u'\n');
}
