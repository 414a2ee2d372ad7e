// SPDX-License-Identifier: GPL-3.0-or-later
// Counting outcomes, and the text, JSON and CSV made of them. The host is
// the user's text: it goes in through one multi-argument arg() together
// with everything else, so a '%' in it is never taken for a placeholder.
#include "run_report.h"

#include "codec/frame_display.h"
#include "codec/frame_layout.h"
#include "codec/reply_check.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <cmath>
#include <cstdio>

namespace {

QString connectionText(int connection, bool show)
{
    return show ? QStringLiteral("conn=%1 ").arg(connection) : QString();
}

// What had come of a reply over TCP when its request was given up.
QString partialReplyText(const Exchange& exchange)
{
    if (exchange.arrivedBytes <= 0)
        return {};
    if (exchange.expectedBytes < 0)
        return QStringLiteral(", %1 bytes of a reply arrived").arg(exchange.arrivedBytes);
    return QStringLiteral(", %1 of %2 bytes arrived").arg(exchange.arrivedBytes).arg(exchange.expectedBytes);
}

QString countsText(const ProbeFigures& figures)
{
    return QStringLiteral("%1 sent, %2 received, %3 lost (%4%), %5 failed checks")
        .arg(QString::number(figures.sent), QString::number(figures.replies), QString::number(figures.lost),
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
    QJsonObject lostBy;
    for (int i = 0; i < RequestTracker::kLostReasons; ++i) {
        QString key = QLatin1String(lostReasonWord(Exchange::LostReason(i)));
        lostBy.insert(key.replace(u'-', u'_'), double(figures.lostBy[size_t(i)]));
    }
    return QJsonObject{
        {"sent", double(figures.sent)},
        {"received", double(figures.replies)},
        {"lost", double(figures.lost)},
        {"lost_percent", rounded(figures.lostPercent(), 3)},
        {"failed", double(figures.failed)},
        {"late", double(figures.late)},
        {"unexpected", double(figures.unexpected)},
        {"unanswered", double(figures.unanswered)},
        {"failed_checks", checks},
        {"lost_by", lostBy},
        {"round_trip_ms", roundTripObject(*figures.roundTrip)},
    };
}

QLatin1String endWord(RunEnd::Kind kind)
{
    static const char* const kWords[] = {"completed", "interrupted", "connection-ended", "unreachable",
                                         "output-failed"};
    return QLatin1String(kWords[int(kind)]);
}

} // namespace

RunTally::RunTally(int connections)
    : m_totalRoundTrip(kTotalBits)
{
    for (int c = 1; c <= std::max(connections, 1); ++c)
        m_trackers.push_back(std::make_unique<RequestTracker>(c, kConnectionBits));
}

void RunTally::record(const Exchange& exchange)
{
    if (RequestTracker::recordsRoundTrip(exchange))
        m_totalRoundTrip.record(exchange.roundTripNs);
}

ProbeFigures RunTally::connection(int connection) const
{
    const RequestTracker& t = tracker(connection);
    ProbeFigures figures;
    static_cast<RequestTracker::Counts&>(figures) = t.counts();
    figures.roundTrip = &t.roundTrip();
    return figures;
}

ProbeFigures RunTally::total() const
{
    ProbeFigures sum;
    for (const auto& t : m_trackers)
        sum += t->counts();
    sum.roundTrip = &m_totalRoundTrip;
    return sum;
}

int probeExitStatus(const RunEnd& end, const ProbeFigures& total)
{
    if (end.kind == RunEnd::Kind::Unreachable)
        return 3;
    if (end.kind == RunEnd::Kind::ConnectionEnded || end.kind == RunEnd::Kind::OutputFailed)
        return 1;
    // Bytes that answer no request are the module's fault as much as a
    // reply that fails a check.
    return total.replies == 0 || total.lost > 0 || total.failed > 0 || total.unexpected > 0 ? 1 : 0;
}

QString millisecondsText(qint64 ns)
{
    // Rounded to whole microseconds first, so that a line and the CSV agree.
    const qint64 us = (ns + 500) / 1000;
    return QStringLiteral("%1.%2").arg(us / 1000).arg(us % 1000, 3, 10, QLatin1Char('0'));
}

QString exchangeLine(const Exchange& exchange, const QString& host, bool showConnection, int timeoutMs)
{
    const QString where = connectionText(exchange.connection, showConnection);
    const QString sequence = QString::number(exchange.sequence);
    const QString bytes = QString::number(exchange.reply.size());
    switch (exchange.outcome) {
    case Exchange::Outcome::Answered: {
        QString fields;
        const QString state = hexFieldText(exchange.reply, frame::kStateOffset, frame::kFieldPairSize);
        const QString code = hexFieldText(exchange.reply, frame::kCodeOffset, frame::kFieldPairSize);
        if (!state.isEmpty())
            fields += QStringLiteral(" state=") + state;
        if (!code.isEmpty())
            fields += QStringLiteral(" code=") + code;
        const QString faults = exchange.faults ? QStringLiteral(" MALFORMED: ")
                + describeFaults(exchange.request, exchange.reply, exchange.faults)
                                               : QString();
        const QString time = exchange.timed()
            ? QStringLiteral(" time=%1 ms").arg(millisecondsText(exchange.roundTripNs))
            : QStringLiteral(" untimed (another request could have drawn it)");
        return QStringLiteral("%1 bytes from %2: %3seq=%4%5%6%7")
            .arg(bytes, host, where, sequence, fields, time, faults);
    }
    case Exchange::Outcome::Lost:
        if (exchange.lostReason == Exchange::LostReason::SessionEnded)
            return QStringLiteral("no reply from %1: %2seq=%3, the connection ended")
                .arg(host, where, sequence);
        return QStringLiteral("no reply from %1: %2seq=%3 within %4 ms%5")
            .arg(host, where, sequence, QString::number(timeoutMs), partialReplyText(exchange));
    case Exchange::Outcome::Unanswered:
        break;
    case Exchange::Outcome::Late: {
        const QString time = exchange.timed()
            ? QStringLiteral(" time=%1 ms").arg(millisecondsText(exchange.roundTripNs))
            : QStringLiteral(" (untimed: requests sent since could have drawn it)");
        return QStringLiteral("late reply from %1: %2seq=%3%4, already counted lost")
            .arg(host, where, sequence, time);
    }
    case Exchange::Outcome::Unexpected:
        if (!exchange.hasInvokeId) {
            return QStringLiteral("unexpected bytes from %1: %2%3 bytes, too few for a reply's header")
                .arg(host, where, bytes);
        }
        return QStringLiteral("unexpected reply from %1: %2%3 bytes, invoke ID %4 answers no request")
            .arg(host, where, bytes,
                 hexFieldText(exchange.reply, frame::kInvokeIdOffset, frame::kInvokeIdSize));
    }
    return {};
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
    const ProbeFigures total = tally.total();
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
    text += roundTripText(*total.roundTrip, true) + u'\n';
    for (int c = 1; tally.connections() > 1 && c <= tally.connections(); ++c) {
        const ProbeFigures figures = tally.connection(c);
        text += QStringLiteral("connection %1: %2; %3\n")
                    .arg(QString::number(c), countsText(figures), roundTripText(*figures.roundTrip, false));
    }
    return text;
}

QByteArray summaryJson(const ProbeOptions& options, const RunTally& tally, qint64 durationNs,
                       const RunEnd& end, int exitStatus)
{
    const ProbeFigures total = tally.total();
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
