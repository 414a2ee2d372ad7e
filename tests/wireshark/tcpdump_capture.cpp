// SPDX-License-Identifier: GPL-3.0-or-later
// tcpdump as a child process of a test.
#include "tcpdump_capture.h"

#include "harness/stop_process.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QStandardPaths>
#include <QThread>

TcpdumpCapture::TcpdumpCapture(const QString& path, const QString& filter)
    : m_path(path)
    , m_filter(filter)
{
}

TcpdumpCapture::~TcpdumpCapture()
{
    stopProcess(m_process);
}

QString TcpdumpCapture::program()
{
    const QString found = QStandardPaths::findExecutable(QStringLiteral("tcpdump"));
    return found.isEmpty() ? QStandardPaths::findExecutable(QStringLiteral("tcpdump"), {"/usr/sbin", "/sbin"})
                           : found;
}

bool TcpdumpCapture::start(int timeoutMs)
{
    // -U writes each packet as it comes and immediate mode hands it over
    // at once, so that the file can be watched for the last one.
    m_process.setReadChannel(QProcess::StandardError);
    m_process.start(program(), {"-i", "lo", "-n", "-U", "--immediate-mode", "-w", m_path, m_filter});
    if (!m_process.waitForStarted(timeoutMs))
        return false;
    const QDeadlineTimer deadline(timeoutMs);
    while (!messages().contains(QStringLiteral("listening on"))) {
        if (m_process.state() == QProcess::NotRunning || deadline.hasExpired())
            return false;
        m_process.waitForReadyRead(static_cast<int>(deadline.remainingTime()));
    }
    return true;
}

bool TcpdumpCapture::waitForBytes(const QByteArray& marker, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    QFile file(m_path);
    while (!deadline.hasExpired() && m_process.state() == QProcess::Running) {
        if (file.open(QIODevice::ReadOnly)) {
            if (file.readAll().contains(marker))
                return true;
            file.close();
        }
        // The file gives no signal when it grows; it is looked at again
        // after a short pause, until the deadline.
        QThread::msleep(10);
    }
    return false;
}

bool TcpdumpCapture::stop(int timeoutMs)
{
    if (m_process.state() == QProcess::NotRunning)
        return false;
    m_process.terminate();
    if (!m_process.waitForFinished(timeoutMs)) {
        m_process.kill();
        m_process.waitForFinished();
        return false;
    }
    return m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
}

QString TcpdumpCapture::messages()
{
    m_stderr += QString::fromLocal8Bit(m_process.readAllStandardError());
    return m_stderr;
}
