// SPDX-License-Identifier: GPL-3.0-or-later
// Exchanges as CSV, one row per request: the probe writes them as its run
// goes, the window exports its log. One format, read by the same tools.
#pragma once

#include "session/exchange.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <vector>

namespace exchange_csv {

inline constexpr char kHeader[] = "sequence,connection,send_time,rtt_us,bytes,state,code,verdict\n";

// The row of one request's exchange, with its '\n': send_time as seconds
// since the Unix epoch with microseconds (`epochUsAtZero` is the epoch time,
// in microseconds, of the tracker clock's zero); rtt_us empty where the
// reply was not timed or none came; verdict "ok", "malformed:<checks>",
// "lost" or "unanswered". Empty for reply bytes that answered no request of
// their own (late or unexpected), which have no row.
QByteArray row(const Exchange& exchange, qint64 epochUsAtZero);

} // namespace exchange_csv

// Writes rows as a run goes. Every write is checked: a full disk ends in an
// error, never in a short file that looks complete.
class ExchangeCsvWriter {
public:
    // Creates (or empties) the file, the header row to follow with the
    // first rows; false and errorString() when the file cannot be opened.
    bool open(const QString& path);
    // False once a write has failed.
    bool write(const Exchange& exchange, qint64 epochUsAtZero);
    // Hands what is buffered to the file; false on a write error.
    bool flush();
    // Flushes and closes; false if anything written was not stored.
    bool close();

    bool failed() const { return m_failed; }
    QString errorString() const { return m_error; }

private:
    bool fail();

    // Unbuffered behind a buffer of our own, so that every failure of the
    // underlying write is seen here.
    QFile m_file;
    QByteArray m_buffer;
    bool m_failed = false;
    QString m_error;
};
