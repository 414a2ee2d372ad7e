// SPDX-License-Identifier: GPL-3.0-or-later
// The tool under load: the real window in continuous mode against the module
// simulator, counted reply by reply, and the response times it reports.
#pragma once

#include <QString>
#include <QVector>

struct ToolRun {
    bool ok = false;
    QString error;
    long cycles = 0;
    double seconds = 0;
    long rssAt10kKiB = 0; // VmRSS when cycle 10,000 was handled
    long rssAtEndKiB = 0; // VmRSS when the last cycle was handled
    long paints = 0; // paint events the window received while running
    // The longest a timer due during the run waited past its time: how long
    // a click (Stop) waits for the window to act on it.
    double clickWaitMaxMs = 0;
    // The window's processor time in the second after Stop, in per cent of
    // one core.
    double idleCpuPercent = 0;
    double perSecond() const { return seconds > 0 ? cycles / seconds : 0; }
};

struct FidelityRun {
    bool ok = false;
    QString error;
    QVector<int> shown; // txtResTime after each reply, in order
    int median() const;
};

// `protocol` is "tcp" or "udp"; `address` a loopback address for the simulator.
ToolRun runContinuous(const QString& address, const QString& protocol, long cycles);
FidelityRun runFidelity(const QString& address, const QString& protocol, int delayMs, int replies);
