// SPDX-License-Identifier: GPL-3.0-or-later
// Ends a child process of a test: asked first, killed if it does not go.
#pragma once

#include <QProcess>

// Terminates `process` and waits up to `graceMs`, then kills it and waits, so
// that whatever it held (an address, a port) is free for the next test.
inline void stopProcess(QProcess& process, int graceMs = 5000)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(graceMs)) {
        process.kill();
        process.waitForFinished(5000);
    }
}
