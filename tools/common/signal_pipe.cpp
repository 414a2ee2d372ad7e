// SPDX-License-Identifier: GPL-3.0-or-later
// Self-pipe signal handling: the handler only counts and writes a byte (or
// calls _exit), the event loop does the rest.
#include "signal_pipe.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The byte each signal writes, so the event loop tells them apart.
constexpr char kInterruptByte = 'I';
constexpr char kReloadByte = 'H';

int g_pipe[2] = {-1, -1};
volatile std::sig_atomic_t g_signals = 0;
volatile std::sig_atomic_t g_hold = 0;

bool catchSignal(int signal, void (*handler)(int))
{
    struct sigaction action { };
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(signal, &action, nullptr) == 0;
}

} // namespace

SignalPipe::SignalPipe(QObject* parent)
    : QObject(parent)
{
}

bool SignalPipe::install()
{
    // A file that outgrows the size limit is a failed write, reported as
    // such, not the end of the process.
    std::signal(SIGXFSZ, SIG_IGN);
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        bool interrupt = false;
        bool reload = false;
        char byte = 0;
        while (::read(g_pipe[0], &byte, 1) > 0) {
            interrupt = interrupt || byte == kInterruptByte;
            reload = reload || byte == kReloadByte;
        }
        if (reload)
            emit reloadRequested();
        if (interrupt)
            emit interrupted();
    });
    return catchSignal(SIGINT, &SignalPipe::handleSignal) && catchSignal(SIGTERM, &SignalPipe::handleSignal);
}

bool SignalPipe::catchReload()
{
    return m_notifier && catchSignal(SIGHUP, &SignalPipe::handleSignal);
}

void SignalPipe::holdSecondSignal(bool hold)
{
    g_hold = hold ? 1 : 0;
}

void SignalPipe::handleSignal(int signal)
{
    // The interrupted code may look at errno right after this returns.
    const int savedErrno = errno;
    char byte = kReloadByte;
    if (signal != SIGHUP) {
        if (g_signals > 0 && !g_hold)
            ::_exit(kSecondSignalStatus);
        g_signals = g_signals + 1;
        byte = kInterruptByte;
    }
    [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &byte, 1);
    errno = savedErrno;
}
