// SPDX-License-Identifier: GPL-3.0-or-later
// What a run reports: its counts and round-trip figures, per connection and
// summed, and the exit status they give; for a person, the line printed for
// each reply in the manner of ping, the progress line and the summary; for
// scripts, the summary as one JSON object (for jq and CI gates) and one CSV
// row per request, written as the run goes.
#pragma once

#include "codec/reply_check.h"
#include "session/latency_histogram.h"
#include "probe_options.h"
#include "request_outcome.h"

#include <QByteArray>
#include <QFile>

#include <algorithm>
#include <array>
#include <vector>

struct ProbeFigures {
    quint64 sent = 0;
    quint64 received = 0; // replies in time, whether or not they passed the checks
    quint64 lost = 0;
    quint64 unanswered = 0; // in flight when the run was interrupted
    quint64 late = 0; // replies for requests already counted lost (not in `received`)
    quint64 unexpected = 0; // replies with no request of their own
    quint64 failed = 0; // received replies that failed a check
    std::array<quint64, kReplyFaultKinds> faults{}; // per check, bit order of ReplyFault
    // Round trips of the received replies that passed every check.
    LatencyHistogram roundTrip;

    // Lost share of the requests whose fate is known (received or lost), in %.
    double lostPercent() const;
};

// The summed figures are counted as they come, not merged at the end: their
// histogram is finer (within 0.025 %, 8 us at 50 ms) than the per-connection
// ones (0.4 %), which keeps many connections cheap.
class RunTally {
public:
    static constexpr int kTotalBits = 12;
    static constexpr int kConnectionBits = 8;

    explicit RunTally(int connections);

    void addSent(int connection);
    void add(const RequestOutcome& outcome);
    void add(const StrayReply& stray);

    int connections() const { return static_cast<int>(m_perConnection.size()); }
    // `connection` counted from 1.
    const ProbeFigures& connection(int connection) const { return m_perConnection[index(connection)]; }
    const ProbeFigures& total() const { return m_total; }

private:
    size_t index(int connection) const { return size_t(std::clamp(connection, 1, connections()) - 1); }

    std::vector<ProbeFigures> m_perConnection;
    ProbeFigures m_total;
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
QString outcomeLine(const RequestOutcome& outcome, const QString& host, bool showConnection, int timeoutMs);
QString strayLine(const StrayReply& stray, const QString& host, bool showConnection);

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

// The CSV file. Every write is checked: a full disk ends in an error, never
// in a short file that looks complete.
class CsvWriter {
public:
    static constexpr char kHeader[] = "sequence,connection,send_time,rtt_us,bytes,state,code,verdict\n";

    // Creates (or empties) the file, the header row to follow with the
    // first rows; false and errorString() when the file cannot be opened.
    bool open(const QString& path);
    // `runStartUs` is the run's start as microseconds since the Unix epoch;
    // send_time is written as seconds since the epoch with microseconds.
    // False once a write has failed.
    bool write(const RequestOutcome& outcome, qint64 runStartUs);
    // Hands what is buffered to the file; false on a write error.
    bool flush();
    // Flushes and closes; false if anything written was not stored.
    bool close();

    bool failed() const { return m_failed; }
    QString errorString() const { return m_error; }

    // The row for one outcome, with its '\n'.
    static QByteArray row(const RequestOutcome& outcome, qint64 runStartUs);

private:
    bool fail();

    // Unbuffered behind a buffer of our own, so that every failure of the
    // underlying write is seen here.
    QFile m_file;
    QByteArray m_buffer;
    bool m_failed = false;
    QString m_error;
};
