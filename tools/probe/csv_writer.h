// SPDX-License-Identifier: GPL-3.0-or-later
// One CSV row per request, written as the run goes. Every write is checked:
// a full disk ends in an error, never in a short file that looks complete.
#pragma once

#include "request_outcome.h"

#include <QByteArray>
#include <QFile>
#include <QString>

class CsvWriter {
public:
    // The header row:
    // sequence,connection,send_time,rtt_us,bytes,state,code,verdict
    static const char* header();

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

    QFile m_file;
    QByteArray m_buffer;
    bool m_failed = false;
    QString m_error;
};
