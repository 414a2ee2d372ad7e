// SPDX-License-Identifier: GPL-3.0-or-later
#include "harness/xvfb_display.h"

#include <QProcess>
#include <QStandardPaths>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

XvfbDisplay::~XvfbDisplay()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
    }
}

bool XvfbDisplay::start()
{
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (xvfb.isEmpty()) {
        m_why = QStringLiteral("Xvfb is not installed (package xvfb)");
        return false;
    }
    int fds[2];
    if (::pipe(fds) != 0) {
        m_why = QStringLiteral("no pipe");
        return false;
    }
    // Forked before any Qt object exists: Xvfb picks a free display number
    // and writes it to the pipe once it accepts clients.
    const QByteArray program = xvfb.toLocal8Bit();
    const QByteArray fd = QByteArray::number(fds[1]);
    m_pid = ::fork();
    if (m_pid == 0) {
        ::close(fds[0]);
        // Gone with the test, even one that aborts, and off its output, which
        // the test runner waits to see closed.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, STDIN_FILENO);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        ::execl(program.constData(), "Xvfb", "-displayfd", fd.constData(), "-screen", "0", "1024x768x24",
                "-nolisten", "tcp", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    QByteArray number;
    pollfd wait{fds[0], POLLIN, 0};
    char c = 0;
    while (::poll(&wait, 1, 10000) == 1 && ::read(fds[0], &c, 1) == 1 && c != '\n')
        number += c;
    ::close(fds[0]);
    if (m_pid < 0 || number.isEmpty()) {
        m_why = QStringLiteral("Xvfb did not start");
        return false;
    }
    m_display = QStringLiteral(":") + QString::fromLatin1(number);
    qputenv("DISPLAY", m_display.toLatin1());
    return true;
}

QString xProperty(unsigned long window, const char* property)
{
    QProcess xprop;
    xprop.start(QStringLiteral("xprop"),
                {QStringLiteral("-id"), QString::number(window), QString::fromLatin1(property)});
    if (!xprop.waitForFinished(10000) || xprop.exitCode() != 0)
        return {};
    return QString::fromUtf8(xprop.readAllStandardOutput()).trimmed();
}
