// SPDX-License-Identifier: GPL-3.0-or-later
// Signals for the command-line tools: the first SIGINT or SIGTERM is handed
// to the event loop as interrupted(), so a run can end with its summary; a
// second one ends the process at once, even if the event loop is stuck.
// SIGHUP, for a tool that asks for it, comes as reloadRequested(). On
// Windows, Ctrl+C, Ctrl+Break and closing the console stand for the signals
// (signal_pipe_windows.cpp), and there is no reload.
#pragma once

#include <QObject>

class QSocketNotifier;

class SignalPipe : public QObject {
    Q_OBJECT
public:
    explicit SignalPipe(QObject* parent = nullptr);
    // False when the pipe or the handlers could not be set up. Also makes a
    // file that outgrows the size limit fail its write (POSIX's SIGXFSZ)
    // rather than end the process.
    bool install();
    // Catches SIGHUP too, which would otherwise end the process, as
    // reloadRequested() each time; after install(). False when it could not.
    bool catchReload();

    // The status a second signal ends the process with: 128 + SIGINT.
    static constexpr int kSecondSignalStatus = 130;
    // While held, a second signal waits instead of ending the process: for
    // the last steps of a run whose output must be whole.
    static void holdSecondSignal(bool hold);

signals:
    void interrupted();
    // Several SIGHUPs before the event loop gets to them come as one.
    void reloadRequested();

private:
    static void handleSignal(int signal);

    QSocketNotifier* m_notifier = nullptr;
};
