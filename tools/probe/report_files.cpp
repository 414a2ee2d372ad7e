// SPDX-License-Identifier: GPL-3.0-or-later
// Summary JSON and CSV rows.
#include "report_files.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>
#include <cstdio>

namespace {

// Written out once this much has gathered: few system calls, little memory.
constexpr qsizetype kFlushAt = 64 * 1024;

// Milliseconds rounded to whole microseconds, as the text shows them.
double milliseconds(double ns)
{
    return std::round(ns / 1000.0) / 1000.0;
}

double rounded(double value, int decimals)
{
    const double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
}

QJsonValue roundTripObject(const LatencyHistogram& rtt)
{
    if (rtt.count() == 0)
        return QJsonValue::Null;
    return QJsonObject{
        {"count", double(rtt.count())},
        {"min", milliseconds(double(rtt.min()))},
        {"mean", milliseconds(rtt.mean())},
        {"p50", milliseconds(double(rtt.percentile(50)))},
        {"p90", milliseconds(double(rtt.percentile(90)))},
        {"p99", milliseconds(double(rtt.percentile(99)))},
        {"p99_9", milliseconds(double(rtt.percentile(99.9)))},
        {"max", milliseconds(double(rtt.max()))},
        {"stddev", milliseconds(rtt.stddev())},
    };
}

QJsonObject figuresObject(const ProbeFigures& figures)
{
    QJsonObject checks;
    static const char* const kKeys[kReplyFaultKinds] = {"short", "checksum", "length", "company_id",
                                                        "invoke_id"};
    for (int i = 0; i < kReplyFaultKinds; ++i)
        checks.insert(QLatin1String(kKeys[i]), double(figures.faults[size_t(i)]));
    return QJsonObject{
        {"sent", double(figures.sent)},
        {"received", double(figures.received)},
        {"lost", double(figures.lost)},
        {"lost_percent", rounded(figures.lostPercent(), 3)},
        {"failed", double(figures.failed)},
        {"late", double(figures.late)},
        {"unexpected", double(figures.unexpected)},
        {"unanswered", double(figures.unanswered)},
        {"failed_checks", checks},
        {"round_trip_ms", roundTripObject(figures.roundTrip)},
    };
}

QLatin1String endWord(RunEnd::Kind kind)
{
    static const char* const kWords[] = {"completed", "interrupted", "connection-ended", "unreachable",
                                         "output-failed"};
    return QLatin1String(kWords[int(kind)]);
}

} // namespace

QByteArray summaryJson(const ProbeOptions& options, const RunTally& tally, qint64 durationNs,
                       const RunEnd& end, int exitStatus)
{
    const ProbeFigures& total = tally.total();
    const double seconds = double(durationNs) / 1e9;
    QJsonObject object = figuresObject(total);
    object.insert("host", options.host);
    object.insert("protocol", options.udp ? "udp" : "tcp");
    object.insert("port", options.effectivePort());
    object.insert("connections", options.connections);
    object.insert("timeout_ms", options.timeoutMs);
    object.insert("ended", endWord(end.kind));
    object.insert("message", end.message);
    object.insert("exit_status", exitStatus);
    object.insert("duration_s", rounded(seconds, 6));
    object.insert("rate_per_s", rounded(seconds > 0 ? double(total.sent) / seconds : 0.0, 3));
    QJsonArray perConnection;
    for (int c = 1; c <= tally.connections(); ++c) {
        QJsonObject entry = figuresObject(tally.connection(c));
        entry.insert("connection", c);
        perConnection.append(entry);
    }
    object.insert("per_connection", perConnection);
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

QByteArray CsvWriter::row(const RequestOutcome& outcome, qint64 runStartUs)
{
    const qint64 sentUs = runStartUs + outcome.sentNs / 1000;
    const bool answered = outcome.verdict == RequestOutcome::Verdict::Answered;
    QByteArray verdict = answered ? QByteArray("ok") : QByteArray("lost");
    if (answered && outcome.faults)
        verdict = "malformed:" + faultWords(outcome.faults).toLatin1();
    else if (outcome.verdict == RequestOutcome::Verdict::Unanswered)
        verdict = "unanswered";
    char head[80];
    const int n = std::snprintf(head, sizeof head, "%llu,%d,%lld.%06lld,", qulonglong(outcome.sequence),
                                outcome.connection, qlonglong(sentUs / 1000000), qlonglong(sentUs % 1000000));
    // Hex digits only in state and code; nothing here needs quoting.
    return QByteArray(head, n)
        + (answered ? QByteArray::number((outcome.roundTripNs + 500) / 1000) : QByteArray()) + ','
        + QByteArray::number(outcome.bytes) + ',' + outcome.state.toLatin1() + ',' + outcome.code.toLatin1()
        + ',' + verdict + '\n';
}

bool CsvWriter::open(const QString& path)
{
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        return fail();
    m_buffer.reserve(kFlushAt + 256);
    m_buffer += kHeader;
    return true;
}

bool CsvWriter::write(const RequestOutcome& outcome, qint64 runStartUs)
{
    if (m_failed)
        return false;
    m_buffer += row(outcome, runStartUs);
    return m_buffer.size() < kFlushAt || flush();
}

bool CsvWriter::flush()
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
