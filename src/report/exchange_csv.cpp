// SPDX-License-Identifier: GPL-3.0-or-later
// The CSV rows of exchanges, and the file they are streamed to.
#include "exchange_csv.h"

#include "codec/frame_display.h"
#include "codec/frame_layout.h"
#include "codec/reply_check.h"

#include <cstdio>

namespace {

// Written out once this much has gathered: few system calls, little memory.
constexpr qsizetype kFlushAt = 64 * 1024;

} // namespace

QByteArray exchange_csv::row(const Exchange& exchange, qint64 epochUsAtZero)
{
    if (!exchange.isRequest())
        return {};
    const qint64 sentUs = epochUsAtZero + exchange.sentNs / 1000;
    const bool answered = exchange.answered();
    QByteArray verdict = answered ? QByteArray("ok") : QByteArray("lost");
    if (answered && exchange.faults)
        verdict = "malformed:" + faultWords(exchange.faults).toLatin1();
    else if (exchange.outcome == Exchange::Outcome::Unanswered)
        verdict = "unanswered";
    char head[80];
    const int n =
        std::snprintf(head, sizeof head, "%llu,%d,%lld.%06lld,", qulonglong(exchange.sequence),
                      exchange.connection, qlonglong(sentUs / 1000000), qlonglong(sentUs % 1000000));
    const QByteArray& reply = answered ? exchange.reply : QByteArray();
    // Hex digits only in state and code; nothing here needs quoting.
    return QByteArray(head, n)
        + (answered && exchange.timed() ? QByteArray::number((exchange.roundTripNs + 500) / 1000)
                                        : QByteArray())
        + ',' + QByteArray::number(reply.size()) + ','
        + hexFieldText(reply, frame::kStateOffset, frame::kFieldPairSize).toLatin1() + ','
        + hexFieldText(reply, frame::kCodeOffset, frame::kFieldPairSize).toLatin1() + ',' + verdict + '\n';
}

bool ExchangeCsvWriter::open(const QString& path)
{
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        return fail();
    m_buffer.reserve(kFlushAt + 256);
    m_buffer += exchange_csv::kHeader;
    return true;
}

bool ExchangeCsvWriter::write(const Exchange& exchange, qint64 epochUsAtZero)
{
    if (m_failed)
        return false;
    m_buffer += exchange_csv::row(exchange, epochUsAtZero);
    return m_buffer.size() < kFlushAt || flush();
}

bool ExchangeCsvWriter::flush()
{
    if (m_failed)
        return false;
    for (qsizetype done = 0; done < m_buffer.size();) {
        const qint64 n = m_file.write(m_buffer.constData() + done, m_buffer.size() - done);
        if (n <= 0)
            return fail();
        done += n;
    }
    m_buffer.resize(0); // keeps the capacity, unlike clear()
    return true;
}

bool ExchangeCsvWriter::close()
{
    if (!m_file.isOpen())
        return !m_failed;
    const bool ok = flush();
    m_file.close();
    if (ok && m_file.error() != QFileDevice::NoError)
        return fail();
    return ok && !m_failed;
}

bool ExchangeCsvWriter::fail()
{
    if (!m_failed) {
        m_failed = true;
        m_error = m_file.errorString();
    }
    return false;
}
