// SPDX-License-Identifier: GPL-3.0-or-later
// What a run reports for scripts: the summary as one JSON object (for jq and
// CI gates), and one CSV row per request, written as the run goes.
#pragma once

#include "run_report.h"

#include <QByteArray>
#include <QFile>

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
