// SPDX-License-Identifier: GPL-3.0-or-later
// tcpdump capturing loopback into a file for one test, started and stopped
// on conditions rather than after fixed waits.
#pragma once

#include <QProcess>
#include <QString>

class TcpdumpCapture {
public:
    // Captures what `filter` keeps on the loopback device into `path`.
    TcpdumpCapture(const QString& path, const QString& filter);
    ~TcpdumpCapture();

    TcpdumpCapture(const TcpdumpCapture&) = delete;
    TcpdumpCapture& operator=(const TcpdumpCapture&) = delete;

    // The tcpdump on PATH (or in /usr/sbin, where Debian puts it), or empty.
    static QString program();

    // Starts it and waits for its "listening on" line; false when it ends
    // first or stays silent.
    bool start(int timeoutMs = 10000);

    // Waits until `marker` is in the file: the packets captured before it
    // are then written too, since tcpdump writes each one as it comes.
    bool waitForBytes(const QByteArray& marker, int timeoutMs = 10000);

    // Asks it to stop and waits until it has exited; false when it did
    // not end cleanly.
    bool stop(int timeoutMs = 10000);

    // What it said on stderr, for a failure message.
    QString messages();

private:
    QString m_path;
    QString m_filter;
    QProcess m_process;
    QString m_stderr;
};
