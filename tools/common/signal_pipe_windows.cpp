// SPDX-License-Identifier: GPL-3.0-or-later
// Ctrl+C, Ctrl+Break and the console being closed, on Windows: the console
// calls its control handler on a thread of its own, which posts the first
// one to the event loop and ends the process at a second. Windows has no
// SIGHUP, so there is no reload.
#include "signal_pipe.h"

#include <QMetaObject>

#include <atomic>
#include <cstdlib>

#include <windows.h>

namespace {

SignalPipe* g_pipe = nullptr;
std::atomic<int> g_signals{0};
std::atomic<bool> g_hold{false};

BOOL WINAPI handleControl(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
        break;
    default:
        return FALSE;
    }
    if (g_signals.fetch_add(1) > 0 && !g_hold)
        std::_Exit(SignalPipe::kSecondSignalStatus);
    QMetaObject::invokeMethod(g_pipe, &SignalPipe::interrupted, Qt::QueuedConnection);
    return TRUE;
}

} // namespace

SignalPipe::SignalPipe(QObject* parent)
    : QObject(parent)
{
}

bool SignalPipe::install()
{
    g_pipe = this;
    return SetConsoleCtrlHandler(&handleControl, TRUE) != 0;
}

bool SignalPipe::catchReload()
{
    return false;
}

void SignalPipe::holdSecondSignal(bool hold)
{
    g_hold = hold;
}

void SignalPipe::handleSignal(int)
{
}
