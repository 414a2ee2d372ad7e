// SPDX-License-Identifier: GPL-3.0-or-later
// Summary text.
#include "summary_text.h"

#include "report_lines.h"

#include <QStringList>

namespace {

QString count(quint64 n)
{
    return QString::number(n);
}

QString countsText(const ProbeFigures& figures)
{
    return QStringLiteral("%1 sent, %2 received, %3 lost (%4%), %5 failed checks")
        .arg(count(figures.sent), count(figures.received), count(figures.lost),
             QString::number(figures.lostPercent(), 'f', 2), count(figures.failed));
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

QString strayText(const ProbeFigures& figures)
{
    QStringList parts;
    if (figures.late)
        parts << QStringLiteral("%1 late (after their request was counted lost)").arg(figures.late);
    if (figures.unexpected)
        parts << QStringLiteral("%1 unexpected (answering no request)").arg(figures.unexpected);
    if (figures.unanswered)
        parts << QStringLiteral("%1 unanswered when the run stopped").arg(figures.unanswered);
    return parts.join(QStringLiteral(", "));
}

QString faultsText(const ProbeFigures& figures)
{
    static const char* const kNames[kReplyFaultKinds] = {"too short", "header checksum wrong",
                                                         "length field wrong", "company ID not the request's",
                                                         "invoke ID not the request's"};
    QStringList parts;
    for (int i = 0; i < kReplyFaultKinds; ++i) {
        const quint64 n = figures.faults[static_cast<size_t>(i)];
        if (n)
            parts << QStringLiteral("%1 %2").arg(count(n), QLatin1String(kNames[i]));
    }
    return QStringLiteral("failed checks: ") + parts.join(QStringLiteral(", "));
}

} // namespace

QString summaryText(const RunSummary& summary, const RunTally& tally)
{
    const ProbeFigures& total = tally.total();
    const double seconds = double(summary.durationNs) / 1e9;
    const double rate = seconds > 0 ? double(total.sent) / seconds : 0.0;

    QString text;
    text += QStringLiteral("--- %1 vexa-probe statistics (%2 port %3, %4 %5) ---\n")
                .arg(summary.host, summary.udp ? QStringLiteral("UDP") : QStringLiteral("TCP"),
                     QString::number(summary.port), QString::number(summary.connections),
                     summary.connections == 1 ? QStringLiteral("connection") : QStringLiteral("connections"));
    text += QStringLiteral("%1, time %2 s, %3 requests/s\n")
                .arg(countsText(total), QString::number(seconds, 'f', 3), QString::number(rate, 'f', 1));
    if (const QString stray = strayText(total); !stray.isEmpty())
        text += stray + u'\n';
    if (total.failed)
        text += faultsText(total) + u'\n';
    text += roundTripText(total.roundTrip, true) + u'\n';
    if (tally.connections() > 1) {
        for (int c = 1; c <= tally.connections(); ++c) {
            const ProbeFigures& figures = tally.connection(c);
            text +=
                QStringLiteral("connection %1: %2; %3\n")
                    .arg(QString::number(c), countsText(figures), roundTripText(figures.roundTrip, false));
        }
    }
    return text;
}
