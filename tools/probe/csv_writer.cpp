// SPDX-License-Identifier: GPL-3.0-or-later
// CSV rows into an unbuffered file behind a buffer of our own, so every
// failure of the underlying write is seen here.
#include "csv_writer.h"

#include "codec/reply_check.h"

namespace {

// Written out once this much has gathered: few system calls, little memory.
constexpr qsizetype kFlushAt = 64 * 1024;

void appendNumber(QByteArray& out, qint64 value)
{
    out += QByteArray::number(value);
}

QByteArray verdictWord(const RequestOutcome& outcome)
{
    switch (outcome.verdict) {
    case RequestOutcome::Verdict::Answered:
        return outcome.faults ? "malformed:" + faultWords(outcome.faults).toLatin1() : QByteArray("ok");
    case RequestOutcome::Verdict::Lost:
        return "lost";
    case RequestOutcome::Verdict::Unanswered:
        return "unanswered";
    }
    return {};
}

} // namespace

const char* CsvWriter::header()
{
    return "sequence,connection,send_time,rtt_us,bytes,state,code,verdict\n";
}

QByteArray CsvWriter::row(const RequestOutcome& outcome, qint64 runStartUs)
{
    QByteArray out;
    out.reserve(80);
    appendNumber(out, qint64(outcome.sequence));
    out += ',';
    appendNumber(out, outcome.connection);
    out += ',';
    const qint64 sentUs = runStartUs + outcome.sentNs / 1000;
    appendNumber(out, sentUs / 1000000);
    out += '.';
    out += QByteArray::number(sentUs % 1000000).rightJustified(6, '0');
    out += ',';
    if (outcome.verdict == RequestOutcome::Verdict::Answered)
        appendNumber(out, (outcome.roundTripNs + 500) / 1000);
    out += ',';
    appendNumber(out, outcome.bytes);
    out += ',';
    // Hex digits only; nothing here needs quoting.
    out += outcome.state.toLatin1();
    out += ',';
    out += outcome.code.toLatin1();
    out += ',';
    out += verdictWord(outcome);
    out += '\n';
    return out;
}

bool CsvWriter::open(const QString& path)
{
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        m_failed = true;
        m_error = m_file.errorString();
        return false;
    }
    m_buffer.reserve(kFlushAt + 256);
    m_buffer += header();
    return true;
}

bool CsvWriter::write(const RequestOutcome& outcome, qint64 runStartUs)
{
    if (m_failed)
        return false;
    m_buffer += row(outcome, runStartUs);
    if (m_buffer.size() >= kFlushAt)
        return flush();
    return true;
}

bool CsvWriter::flush()
{
    if (m_failed)
        return false;
    qsizetype done = 0;
    while (done < m_buffer.size()) {
        const qint64 n = m_file.write(m_buffer.constData() + done, m_buffer.size() - done);
        if (n <= 0)
            return fail();
        done += n;
    }
    m_buffer.resize(0); // keeps the capacity, unlike clear()
    return true;
}

bool CsvWriter::close()
{
    if (!m_file.isOpen())
        return !m_failed;
    const bool ok = flush();
    m_file.close();
    if (ok && m_file.error() != QFileDevice::NoError)
        return fail();
    return ok && !m_failed;
}

bool CsvWriter::fail()
{
    if (!m_failed) {
        m_failed = true;
        m_error = m_file.errorString();
    }
    return false;
}
