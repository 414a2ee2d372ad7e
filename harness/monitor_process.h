// SPDX-License-Identifier: GPL-3.0-or-later
// vexa-monitor as a process for one test or benchmark run: started on a
// targets file, waited for until it serves its metrics, signalled, and
// stopped.
#pragma once

#include "harness/stop_process.h"
#include "metrics_page.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <csignal>
#include <optional>
#include <sys/types.h>

namespace harness {

class MonitorProcess {
public:
    MonitorProcess(const QString& program, const QStringList& arguments)
        : m_program(program)
        , m_arguments(arguments)
    {
    }

    // Terminates the process and waits, so the next run can listen on the
    // same address.
    ~MonitorProcess() { stopProcess(m_process); }

    MonitorProcess(const MonitorProcess&) = delete;
    MonitorProcess& operator=(const MonitorProcess&) = delete;

    // Starts it and waits for its "serving http://HOST:PORT/metrics" line;
    // false when it exits or stays silent instead.
    bool start(int timeoutMs = 10000)
    {
        m_process.start(m_program, m_arguments);
        if (!m_process.waitForStarted(timeoutMs))
            return false;
        static const QRegularExpression serving(QStringLiteral("serving http://([0-9.]+):(\\d+)/metrics"));
        const QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            const QRegularExpressionMatch match = serving.match(errorOutput());
            if (match.hasMatch()) {
                m_host = match.captured(1);
                m_port = static_cast<quint16>(match.captured(2).toUInt());
                return true;
            }
            if (m_process.state() == QProcess::NotRunning || deadline.hasExpired())
                return false;
            m_process.waitForReadyRead(static_cast<int>(std::min<qint64>(100, deadline.remainingTime())));
        }
    }

    // Runs it to its end, for a start that is meant to fail; its exit
    // status, or -1 when it did not end in time or crashed.
    int runToEnd(int timeoutMs = 10000)
    {
        m_process.start(m_program, m_arguments);
        if (!m_process.waitForFinished(timeoutMs) || m_process.exitStatus() != QProcess::NormalExit)
            return -1;
        errorOutput();
        return m_process.exitCode();
    }

    QString host() const { return m_host; }
    quint16 port() const { return m_port; }
    qint64 pid() const { return m_process.processId(); }

    // Everything it wrote to stderr so far.
    QString errorOutput() const
    {
        m_stderr += QString::fromLocal8Bit(m_process.readAllStandardError());
        return m_stderr;
    }

    // How many of its log lines so far contain `text`.
    int linesWith(const QString& text) const { return static_cast<int>(errorOutput().count(text)); }

    // Waits until `count` log lines contain `text`, or the deadline.
    bool waitForLines(const QString& text, int count, int timeoutMs = 10000) const
    {
        const QDeadlineTimer deadline(timeoutMs);
        while (linesWith(text) < count) {
            if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning)
                return linesWith(text) >= count;
            m_process.waitForReadyRead(static_cast<int>(std::min<qint64>(100, deadline.remainingTime())));
        }
        return true;
    }

    void sendSignal(int signal) const { ::kill(static_cast<pid_t>(m_process.processId()), signal); }

    // SIGTERM, then its exit status once it has ended; -1 when it did not
    // end in time or crashed.
    int stop(int timeoutMs = 10000)
    {
        sendSignal(SIGTERM);
        if (!m_process.waitForFinished(timeoutMs) || m_process.exitStatus() != QProcess::NormalExit)
            return -1;
        errorOutput();
        return m_process.exitCode();
    }

    std::optional<MetricsPage> metrics() const { return MetricsPage::fetch(m_host, m_port); }

private:
    QString m_program;
    QStringList m_arguments;
    // Reading drains the pipe, so reads from a const accessor must be kept.
    mutable QProcess m_process;
    mutable QString m_stderr;
    QString m_host;
    quint16 m_port = 0;
};

} // namespace harness
