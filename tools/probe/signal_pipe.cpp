// SPDX-License-Identifier: GPL-3.0-or-later
// Self-pipe signal handling: the handler only counts and writes a byte (or
// calls _exit), the event loop does the rest.
#include "signal_pipe.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int g_pipe[2] = {-1, -1};
volatile std::sig_atomic_t g_signals = 0;
volatile std::sig_atomic_t g_hold = 0;

} // namespace

SignalPipe::SignalPipe(QObject* parent)
    : QObject(parent)
{
}

bool SignalPipe::install()
{
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        char byte = 0;
        while (::read(g_pipe[0], &byte, 1) > 0) { }
        emit interrupted();
    });

    struct sigaction action { };
    action.sa_handler = &SignalPipe::handleSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0;
}

void SignalPipe::holdSecondSignal(bool hold)
{
    g_hold = hold ? 1 : 0;
}

void SignalPipe::handleSignal(int)
{
    if (g_signals > 0 && !g_hold)
        ::_exit(kSecondSignalStatus);
    g_signals = g_signals + 1;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &byte, 1);
}
