// SPDX-License-Identifier: GPL-3.0-or-later
// What a run reports: its counts and round-trip figures, per connection and
// summed, and the exit status they give; for a person, the line printed for
// each reply in the manner of ping, the progress line and the summary; for
// scripts, the summary as one JSON object (for jq and CI gates).
#pragma once

#include "probe_options.h"
#include "run_end.h"
#include "session/request_tracker.h"

#include <QByteArray>

#include <algorithm>
#include <memory>
#include <vector>

// One connection's figures, or all of them summed: the tracker's counts and
// the round trips of the replies that were timed and passed every check.
struct ProbeFigures : RequestTracker::Counts {
    const LatencyHistogram* roundTrip = nullptr;
};

// Every connection's request tracker, and the figures summed over them. The
// summed round trips are recorded as they come, not merged at the end:
// their histogram is finer (within 0.025 %, 8 us at 50 ms) than the
// per-connection ones (0.4 %), which keeps many connections cheap.
class RunTally {
public:
    static constexpr int kTotalBits = 12;
    static constexpr int kConnectionBits = 8;

    explicit RunTally(int connections);

    int connections() const { return static_cast<int>(m_trackers.size()); }
    // `connection` counted from 1.
    RequestTracker& tracker(int connection) { return *m_trackers[index(connection)]; }
    const RequestTracker& tracker(int connection) const { return *m_trackers[index(connection)]; }
    // Each exchange a tracker decides, for the summed round trips.
    void record(const Exchange& exchange);

    ProbeFigures connection(int connection) const;
    ProbeFigures total() const;

private:
    size_t index(int connection) const { return size_t(std::clamp(connection, 1, connections()) - 1); }

    std::vector<std::unique_ptr<RequestTracker>> m_trackers;
    LatencyHistogram m_totalRoundTrip;
};

// Exit status of a run: 0 every request answered and every reply passed the
// checks, 1 anything else (lost, failed, nothing answered, the connection
// ended, an output file could not be written), 3 unreachable. Requests still
// in flight when the run was interrupted count neither way.
int probeExitStatus(const RunEnd& end, const ProbeFigures& total);

// Milliseconds with microsecond resolution: "5.123".
QString millisecondsText(qint64 ns);

// "40 bytes from HOST: seq=1 state=0000 code=0000 time=5.123 ms", with
// "conn=K " before seq when several connections run, and the failed checks
// after it; "no reply from HOST: seq=3 within 1000 ms" for a lost request.
// Empty for a request left unanswered by an interrupt.
// The late and unexpected replies get lines of their own:
// "late reply from HOST: seq=3 time=1500.000 ms, already counted lost",
// "unexpected reply from HOST: 30 bytes, invoke ID 0007 answers no request".
QString exchangeLine(const Exchange& exchange, const QString& host, bool showConnection, int timeoutMs);

// The progress line, e.g. "1200/5000 sent  812.4 req/s  3 lost (0.25%)".
QString progressText(quint64 sent, quint64 lost, qint64 elapsedNs, qint64 count, qint64 deadlineMs);

// Several lines, each ending in '\n':
//   --- HOST vexa-probe statistics (TCP port 2004, 1 connection) ---
//   10 sent, 10 received, 0 lost (0.00%), 0 failed checks, time 10.012 s, 1.0 requests/s
//   round trip min/mean/p50/p90/p99/p99.9/max/stddev = .../.../... ms
// then, where there is anything to say, the late, unexpected and unanswered
// replies, the failed checks by kind, and one line per connection when
// there are several. How the run ended is the caller's to say.
// `durationNs` runs from the first request to the end of the run.
QString summaryText(const ProbeOptions& options, const RunTally& tally, qint64 durationNs);

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
QByteArray summaryJson(const ProbeOptions& options, const RunTally& tally, qint64 durationNs,
                       const RunEnd& end, int exitStatus);
