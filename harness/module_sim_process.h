// SPDX-License-Identifier: GPL-3.0-or-later
// Starts the bundled module simulator on a given loopback address for one test.
#pragma once

#include "harness/stop_process.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

class ModuleSimProcess {
public:
    explicit ModuleSimProcess(const QString& host, const QStringList& extraArgs = {})
        : m_arguments(QStringList{"--host", host} + extraArgs)
    {
        m_process.setProcessChannelMode(QProcess::MergedChannels);
    }

    // Terminates the process and waits, so the next test can bind the same
    // address and ports.
    ~ModuleSimProcess() { stopProcess(m_process); }

    ModuleSimProcess(const ModuleSimProcess&) = delete;
    ModuleSimProcess& operator=(const ModuleSimProcess&) = delete;

    // Starts it and waits for the "listening" line; false on failure.
    bool start(int timeoutMs = 10000)
    {
        m_process.start(QStringLiteral(MODULE_SIM_PATH), m_arguments);
        if (!m_process.waitForStarted(timeoutMs))
            return false;
        const QDeadlineTimer deadline(timeoutMs);
        while (!output().contains(QLatin1String("module-sim: listening on"))) {
            if (m_process.state() == QProcess::NotRunning || deadline.hasExpired())
                return false;
            if (!m_process.waitForReadyRead(static_cast<int>(deadline.remainingTime()))
                && m_process.state() == QProcess::NotRunning) {
                output();
                return false;
            }
        }
        return true;
    }

    // The ports it listens on, from its "listening on" line; 0 before.
    quint16 tcpPort() const { return listeningPort(QStringLiteral("tcp")); }
    quint16 udpPort() const { return listeningPort(QStringLiteral("udp")); }

    // Everything it printed so far (stdout+stderr).
    QString output() const
    {
        m_output += QString::fromLocal8Bit(m_process.readAll());
        return m_output;
    }

private:
    quint16 listeningPort(const QString& protocol) const
    {
        static const QRegularExpression line(QStringLiteral("listening on \\S+ tcp (\\d+) udp (\\d+)"));
        const QRegularExpressionMatch match = line.match(output());
        if (!match.hasMatch())
            return 0;
        return static_cast<quint16>(match.captured(protocol == QLatin1String("tcp") ? 1 : 2).toUInt());
    }

    QStringList m_arguments;
    // Reading drains the pipe, so reads from a const accessor must be kept.
    mutable QProcess m_process;
    mutable QString m_output;
};
