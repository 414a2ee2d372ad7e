// SPDX-License-Identifier: GPL-3.0-or-later
// The summary printed at the end of a run, as text.
#pragma once

#include "run_summary.h"
#include "run_tally.h"

#include <QString>

// Several lines, each ending in '\n':
//   --- HOST vexa-probe statistics (TCP port 2004, 1 connection) ---
//   10 sent, 10 received, 0 lost (0.00%), 0 failed checks, time 10.012 s, 1.0 requests/s
//   round trip min/mean/p50/p90/p99/p99.9/max/stddev = .../.../... ms
// then, where there is anything to say, the late, unexpected and unanswered
// replies, the failed checks by kind, and one line per connection when
// there are several. How the run ended is the caller's to say.
QString summaryText(const RunSummary& summary, const RunTally& tally);
