// SPDX-License-Identifier: GPL-3.0-or-later
// Per-reply lines. The host is the user's text: it goes in through one
// multi-argument arg() together with everything else, so a '%' in it is
// never taken for a placeholder.
#include "report_lines.h"

namespace {

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

} // namespace

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
        return QStringLiteral("%1 bytes from %2: %3seq=%4%5 time=%6 ms%7")
            .arg(QString::number(outcome.bytes), host, where, sequence, fields,
                 millisecondsText(outcome.roundTripNs), faults);
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
