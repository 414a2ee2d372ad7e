// SPDX-License-Identifier: GPL-3.0-or-later
// The line printed for each reply, lost request and stray reply, in the
// manner of ping.
#pragma once

#include "request_outcome.h"

#include <QString>

// Milliseconds with microsecond resolution: "5.123".
QString millisecondsText(qint64 ns);

// "40 bytes from HOST: seq=1 state=0000 code=0000 time=5.123 ms", with
// "conn=K " before seq when several connections run, and the failed checks
// after it; "no reply from HOST: seq=3 within 1000 ms" for a lost request.
// Empty for a request left unanswered by an interrupt.
QString outcomeLine(const RequestOutcome& outcome, const QString& host, bool showConnection, int timeoutMs);

QString strayLine(const StrayReply& stray, const QString& host, bool showConnection);
