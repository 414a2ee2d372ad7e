// SPDX-License-Identifier: GPL-3.0-or-later
// Counting outcomes, and the text, JSON and CSV made of them. The host is
// the user's text: it goes in through one multi-argument arg() together
// with everything else, so a '%' in it is never taken for a placeholder.
#include "run_report.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <cmath>
#include <cstdio>

namespace {

void count(ProbeFigures& figures, const RequestOutcome& outcome)
{
    switch (outcome.verdict) {
    case RequestOutcome::Verdict::Answered:
        ++figures.received;
        if (!outcome.faults) {
            if (outcome.roundTripNs >= 0)
                figures.roundTrip.record(outcome.roundTripNs);
            break;
        }
        ++figures.failed;
        for (int i = 0; i < kReplyFaultKinds; ++i)
            figures.faults[size_t(i)] += (outcome.faults >> i) & 1u;
        break;
    case RequestOutcome::Verdict::Lost:
        ++figures.lost;
        break;
    case RequestOutcome::Verdict::Unanswered:
        ++figures.unanswered;
        break;
    }
}

QString connectionText(int connection, bool show)
{
    return show ? QStringLiteral("conn=%1 ").arg(connection) : QString();
}

// What had come of a reply over TCP when its request was given up.
QString partialReplyText(const RequestOutcome& outcome)
{
    if (outcome.arrivedBytes <= 0)
        return {};
    if (outcome.expectedBytes < 0)
        return QStringLiteral(", %1 bytes of a reply arrived").arg(outcome.arrivedBytes);
    return QStringLiteral(", %1 of %2 bytes arrived").arg(outcome.arrivedBytes).arg(outcome.expectedBytes);
}

QString countsText(const ProbeFigures& figures)
{
    return QStringLiteral("%1 sent, %2 received, %3 lost (%4%), %5 failed checks")
        .arg(QString::number(figures.sent), QString::number(figures.received), QString::number(figures.lost),
             QString::number(figures.lostPercent(), 'f', 2), QString::number(figures.failed));
}

QString roundTripText(const LatencyHistogram& rtt, bool everyPercentile)
{
    if (rtt.count() == 0)
        return QStringLiteral("round trip: no reply passed the checks");
    QStringList values{millisecondsText(rtt.min()), millisecondsText(qint64(rtt.mean() + 0.5)),
                       millisecondsText(rtt.percentile(50))};
    if (everyPercentile)
        values << millisecondsText(rtt.percentile(90));
    values << millisecondsText(rtt.percentile(99));
    if (everyPercentile)
        values << millisecondsText(rtt.percentile(99.9));
    values << millisecondsText(rtt.max());
    if (everyPercentile)
        values << millisecondsText(qint64(rtt.stddev() + 0.5));
    const QString names = everyPercentile ? QStringLiteral("min/mean/p50/p90/p99/p99.9/max/stddev")
                                          : QStringLiteral("min/mean/p50/p99/max");
    return QStringLiteral("round trip %1 = %2 ms").arg(names, values.join(u'/'));
}

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
    // Keyed by the CSV's words for the checks, with '_' for '-'.
    QJsonObject checks;
    for (int i = 0; i < kReplyFaultKinds; ++i) {
        QString key = QLatin1String(faultWord(ReplyFault(1u << i)));
        checks.insert(key.replace(u'-', u'_'), double(figures.faults[size_t(i)]));
    }
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

double ProbeFigures::lostPercent() const
{
    const quint64 known = received + lost;
    return known ? 100.0 * double(lost) / double(known) : 0.0;
}

RunTally::RunTally(int connections)
    : m_perConnection(static_cast<size_t>(std::max(connections, 1)))
{
    for (ProbeFigures& figures : m_perConnection)
        figures.roundTrip = LatencyHistogram(kConnectionBits);
    m_total.roundTrip = LatencyHistogram(kTotalBits);
}

void RunTally::addSent(int connection)
{
    ++m_perConnection[index(connection)].sent;
    ++m_total.sent;
}

void RunTally::add(const RequestOutcome& outcome)
{
    count(m_perConnection[index(outcome.connection)], outcome);
    count(m_total, outcome);
}

void RunTally::add(const StrayReply& stray)
{
    const bool late = stray.kind == StrayReply::Kind::Late;
    for (ProbeFigures* figures : {&m_perConnection[index(stray.connection)], &m_total})
        ++(late ? figures->late : figures->unexpected);
}

int probeExitStatus(const RunEnd& end, const ProbeFigures& total)
{
    if (end.kind == RunEnd::Kind::Unreachable)
        return 3;
    if (end.kind == RunEnd::Kind::ConnectionEnded || end.kind == RunEnd::Kind::OutputFailed)
        return 1;
    // Bytes that answer no request are the module's fault as much as a
    // reply that fails a check.
    return total.received == 0 || total.lost > 0 || total.failed > 0 || total.unexpected > 0 ? 1 : 0;
}

QString millisecondsText(qint64 ns)
{
    // Rounded to whole microseconds first, so that a line and the CSV agree.
    const qint64 us = (ns + 500) / 1000;
    return QStringLiteral("%1.%2").arg(us / 1000).arg(us % 1000, 3, 10, QLatin1Char('0'));
}

QString outcomeLine(const RequestOutcome& outcome, const QString& host, bool showConnection, int timeoutMs)
{
    const QString where = connectionText(outcome.connection, showConnection);
    const QString sequence = QString::number(outcome.sequence);
    switch (outcome.verdict) {
    case RequestOutcome::Verdict::Answered: {
        QString fields;
        if (!outcome.state.isEmpty())
            fields += QStringLiteral(" state=") + outcome.state;
        if (!outcome.code.isEmpty())
            fields += QStringLiteral(" code=") + outcome.code;
        const QString faults =
            outcome.faults ? QStringLiteral(" MALFORMED: ") + outcome.faultText : QString();
        const QString time = outcome.roundTripNs >= 0
            ? QStringLiteral(" time=%1 ms").arg(millisecondsText(outcome.roundTripNs))
            : QStringLiteral(" untimed (another request could have drawn it)");
        return QStringLiteral("%1 bytes from %2: %3seq=%4%5%6%7")
            .arg(QString::number(outcome.bytes), host, where, sequence, fields, time, faults);
    }
    case RequestOutcome::Verdict::Lost:
        if (outcome.connectionEnded)
            return QStringLiteral("no reply from %1: %2seq=%3, the connection ended")
                .arg(host, where, sequence);
        return QStringLiteral("no reply from %1: %2seq=%3 within %4 ms%5")
            .arg(host, where, sequence, QString::number(timeoutMs), partialReplyText(outcome));
    case RequestOutcome::Verdict::Unanswered:
        break;
    }
    return {};
}

QString strayLine(const StrayReply& stray, const QString& host, bool showConnection)
{
    const QString where = connectionText(stray.connection, showConnection);
    if (stray.kind == StrayReply::Kind::Late) {
        const QString time = stray.roundTripNs >= 0
            ? QStringLiteral(" time=%1 ms").arg(millisecondsText(stray.roundTripNs))
            : QStringLiteral(" (untimed: requests sent since could have drawn it)");
        return QStringLiteral("late reply from %1: %2seq=%3%4, already counted lost")
            .arg(host, where, QString::number(stray.sequence), time);
    }
    if (stray.invokeId.isEmpty()) {
        return QStringLiteral("unexpected bytes from %1: %2%3 bytes, too few for a reply's header")
            .arg(host, where, QString::number(stray.bytes));
    }
    return QStringLiteral("unexpected reply from %1: %2%3 bytes, invoke ID %4 answers no request")
        .arg(host, where, QString::number(stray.bytes), stray.invokeId);
}

QString progressText(quint64 sent, quint64 lost, qint64 elapsedNs, qint64 count, qint64 deadlineMs)
{
    const double seconds = double(elapsedNs) / 1e9;
    QString done =
        count > 0 ? QStringLiteral("%1/%2 sent").arg(sent).arg(count) : QStringLiteral("%1 sent").arg(sent);
    if (deadlineMs > 0) {
        done +=
            QStringLiteral("  %1/%2 s")
                .arg(QString::number(seconds, 'f', 1), QString::number(double(deadlineMs) / 1000.0, 'g', 6));
    }
    const double rate = seconds > 0 ? double(sent) / seconds : 0.0;
    const double lostShare = sent ? 100.0 * double(lost) / double(sent) : 0.0;
    return QStringLiteral("%1  %2 req/s  %3 lost (%4%)")
        .arg(done, QString::number(rate, 'f', 1), QString::number(lost), QString::number(lostShare, 'f', 2));
}

QString summaryText(const ProbeOptions& options, const RunTally& tally, qint64 durationNs)
{
    const ProbeFigures& total = tally.total();
    const double seconds = double(durationNs) / 1e9;
    const double rate = seconds > 0 ? double(total.sent) / seconds : 0.0;

    QString text =
        QStringLiteral("--- %1 vexa-probe statistics (%2 port %3, %4 %5) ---\n")
            .arg(options.host, options.protocolName(), QString::number(options.effectivePort()),
                 QString::number(options.connections),
                 options.connections == 1 ? QStringLiteral("connection") : QStringLiteral("connections"));
    text += QStringLiteral("%1, time %2 s, %3 requests/s\n")
                .arg(countsText(total), QString::number(seconds, 'f', 3), QString::number(rate, 'f', 1));
    QStringList stray;
    if (total.late)
        stray << QStringLiteral("%1 late (after their request was counted lost)").arg(total.late);
    if (total.unexpected)
        stray << QStringLiteral("%1 unexpected (answering no request)").arg(total.unexpected);
    if (total.unanswered)
        stray << QStringLiteral("%1 unanswered when the run stopped").arg(total.unanswered);
    if (!stray.isEmpty())
        text += stray.join(QStringLiteral(", ")) + u'\n';
    if (total.failed) {
        static const char* const kNames[kReplyFaultKinds] = {
            "too short", "header checksum wrong", "length field wrong", "company ID not the request's",
            "invoke ID not the request's"};
        QStringList faults;
        for (int i = 0; i < kReplyFaultKinds; ++i) {
            if (const quint64 n = total.faults[size_t(i)])
                faults << QStringLiteral("%1 %2").arg(QString::number(n), QLatin1String(kNames[i]));
        }
        text += QStringLiteral("failed checks: ") + faults.join(QStringLiteral(", ")) + u'\n';
    }
    text += roundTripText(total.roundTrip, true) + u'\n';
    for (int c = 1; tally.connections() > 1 && c <= tally.connections(); ++c) {
        const ProbeFigures& figures = tally.connection(c);
        text += QStringLiteral("connection %1: %2; %3\n")
                    .arg(QString::number(c), countsText(figures), roundTripText(figures.roundTrip, false));
    }
    return text;
}

QByteArray summaryJson(const ProbeOptions& options, const RunTally& tally, qint64 durationNs,
                       const RunEnd& end, int exitStatus)
{
    const ProbeFigures& total = tally.total();
    const double seconds = double(durationNs) / 1e9;
    QJsonObject object = figuresObject(total);
    object.insert("host", options.host);
    object.insert("protocol", options.protocolName().toLower());
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
        + (answered && outcome.roundTripNs >= 0 ? QByteArray::number((outcome.roundTripNs + 500) / 1000)
                                                : QByteArray())
        + ',' + QByteArray::number(outcome.bytes) + ',' + outcome.state.toLatin1() + ','
        + outcome.code.toLatin1() + ',' + verdict + '\n';
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
