// SPDX-License-Identifier: GPL-3.0-or-later
// Starts the bundled module simulator on a given loopback address for one test.
#pragma once

#include "harness/stop_process.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

class ModuleSimProcess {
public:
    // The module's own ports (2004 and 2005), or free ones it picks and names
    // in its listening line, so that tests can run side by side.
    enum class Ports { Module, Free };

    explicit ModuleSimProcess(const QString& host, const QStringList& extraArgs = {},
                              Ports ports = Ports::Module)
        : m_arguments(
            QStringList{"--host", host}
            + (ports == Ports::Free ? QStringList{"--tcp-port", "0", "--udp-port", "0"} : QStringList{})
            + extraArgs)
    {
    }

    // Terminates the process and waits, so the next test can bind the same
    // address and ports.
    ~ModuleSimProcess() { stopProcess(m_process); }

    ModuleSimProcess(const ModuleSimProcess&) = delete;
    ModuleSimProcess& operator=(const ModuleSimProcess&) = delete;

    // Starts it and waits for the whole "listening" line; false when it ends
    // first or stays silent.
    bool start(int timeoutMs = 10000)
    {
        m_process.start(QStringLiteral(MODULE_SIM_PATH), m_arguments);
        if (!m_process.waitForStarted(timeoutMs))
            return false;
        const QDeadlineTimer deadline(timeoutMs);
        while (!listening().hasMatch()) {
            if (m_process.state() == QProcess::NotRunning || deadline.hasExpired())
                return false;
            if (!m_process.waitForReadyRead(static_cast<int>(deadline.remainingTime()))
                && m_process.state() == QProcess::NotRunning)
                return false;
        }
        return true;
    }

    // Where it listens, from its "listening on" line; null and 0 before.
    QHostAddress address() const { return QHostAddress(listening().captured(1)); }
    quint16 tcpPort() const { return static_cast<quint16>(listening().captured(2).toUInt()); }
    quint16 udpPort() const { return static_cast<quint16>(listening().captured(3).toUInt()); }

    // Asks it to stop as a service manager would.
    void terminate() { m_process.terminate(); }
    // Waits for it to end; its exit code, or -1 when it did not end normally.
    int exitCode(int timeoutMs = 10000)
    {
        if (m_process.state() != QProcess::NotRunning && !m_process.waitForFinished(timeoutMs))
            return -1;
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }

    // What it printed so far on stdout, on stderr, and both (for a failure
    // message or a search).
    QString standardOutput() const
    {
        m_stdout += QString::fromLocal8Bit(m_process.readAllStandardOutput());
        return m_stdout;
    }
    QString standardError() const
    {
        m_stderr += QString::fromLocal8Bit(m_process.readAllStandardError());
        return m_stderr;
    }
    QString output() const { return standardOutput() + standardError(); }

private:
    // A line cut short by a read is no match: the ports in it could be short.
    QRegularExpressionMatch listening() const
    {
        static const QRegularExpression line(
            QStringLiteral("^module-sim: listening on (\\S+) tcp (\\d+) udp (\\d+)\\r?\\n"),
            QRegularExpression::MultilineOption);
        return line.match(standardOutput());
    }

    QStringList m_arguments;
    // Reading drains the pipes, so reads from a const accessor must be kept.
    mutable QProcess m_process;
    mutable QString m_stdout;
    mutable QString m_stderr;
};
