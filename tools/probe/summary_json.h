// SPDX-License-Identifier: GPL-3.0-or-later
// The summary as one JSON object, for scripts (jq) and CI gates.
#pragma once

#include "run_summary.h"
#include "run_tally.h"

#include <QByteArray>

// One line: the object and '\n'. Times are milliseconds with microsecond
// resolution; "round_trip_ms" is null when no reply passed the checks.
//   {"host": ..., "protocol": "tcp", "port": 2004, "connections": 1,
//    "ended": "completed", "message": "", "exit_status": 0,
//    "duration_s": ..., "rate_per_s": ..., "sent": ..., "received": ...,
//    "lost": ..., "lost_percent": ..., "failed": ..., "late": ...,
//    "unexpected": ..., "unanswered": ...,
//    "failed_checks": {"short": 0, "checksum": 0, "length": 0,
//                      "company_id": 0, "invoke_id": 0},
//    "round_trip_ms": {"count": ..., "min": ..., "mean": ..., "p50": ...,
//                      "p90": ..., "p99": ..., "p99_9": ..., "max": ...,
//                      "stddev": ...},
//    "per_connection": [{"connection": 1, "sent": ..., ...}, ...]}
QByteArray summaryJson(const RunSummary& summary, const RunTally& tally, int exitStatus);
