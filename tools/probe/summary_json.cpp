// SPDX-License-Identifier: GPL-3.0-or-later
// Summary JSON.
#include "summary_json.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace {

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
        checks.insert(QLatin1String(kKeys[i]), double(figures.faults[static_cast<size_t>(i)]));
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

} // namespace

QByteArray summaryJson(const RunSummary& summary, const RunTally& tally, int exitStatus)
{
    const ProbeFigures& total = tally.total();
    const double seconds = double(summary.durationNs) / 1e9;
    QJsonObject object = figuresObject(total);
    object.insert("host", summary.host);
    object.insert("protocol", summary.udp ? "udp" : "tcp");
    object.insert("port", summary.port);
    object.insert("connections", summary.connections);
    object.insert("timeout_ms", summary.timeoutMs);
    object.insert("ended", runEndWord(summary.end.kind));
    object.insert("message", summary.end.message);
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
