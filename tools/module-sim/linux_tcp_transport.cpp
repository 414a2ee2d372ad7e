// SPDX-License-Identifier: GPL-3.0-or-later
// Non-blocking send and stamped receive on one accepted TCP descriptor.
#include "linux_tcp_transport.h"

#include "abortive_close.h"
#include "socket_address.h"
#include "stamped_receive.h"

#include <QSocketNotifier>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Enough for every request a client can have in flight.
constexpr qsizetype kReadSize = 65536;

QString peerOf(int fd)
{
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0)
        return QStringLiteral("?");
    return sim::endpointText(peer);
}

bool wouldBlock()
{
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

} // namespace

LinuxTcpTransport::LinuxTcpTransport(int descriptor, QObject* parent)
    : TcpTransport(parent)
    , m_fd(descriptor)
{
    ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(m_fd, F_SETFD, FD_CLOEXEC);
    // Pieces must leave as separate segments, not wait for an ACK.
    const int one = 1;
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sim::enableArrivalStamps(m_fd);
    m_peer = peerOf(m_fd);

    m_readable = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_readable, &QSocketNotifier::activated, this, &LinuxTcpTransport::onReadable);
    m_writable = new QSocketNotifier(m_fd, QSocketNotifier::Write, this);
    m_writable->setEnabled(false);
    connect(m_writable, &QSocketNotifier::activated, this, &LinuxTcpTransport::onWritable);
}

LinuxTcpTransport::~LinuxTcpTransport()
{
    delete m_readable;
    delete m_writable;
    if (m_fd >= 0)
        ::close(m_fd);
}

void LinuxTcpTransport::onReadable()
{
    m_buffer.resize(kReadSize);
    std::chrono::steady_clock::time_point arrived;
    const ssize_t n = sim::receiveStamped(m_fd, m_buffer.data(), kReadSize, nullptr, nullptr, arrived);
    if (n < 0 && wouldBlock())
        return;
    if (n <= 0) {
        stopWatching();
        emit gone();
        return;
    }
    emit received(m_buffer.first(n), arrived);
}

void LinuxTcpTransport::write(const QByteArray& bytes)
{
    qsizetype sent = 0;
    if (m_unsent.isEmpty()) {
        const ssize_t n =
            ::send(m_fd, bytes.constData(), static_cast<size_t>(bytes.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
        // The peer is gone; the read side reports it.
        if (n < 0 && !wouldBlock())
            return;
        sent = n > 0 ? n : 0;
    }
    if (sent < bytes.size()) {
        m_unsent += bytes.mid(sent);
        m_writable->setEnabled(true);
    }
}

void LinuxTcpTransport::onWritable()
{
    const ssize_t n =
        ::send(m_fd, m_unsent.constData(), static_cast<size_t>(m_unsent.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && !wouldBlock()) {
        m_unsent.clear();
        stopWatching();
        emit gone();
        return;
    }
    if (n > 0)
        m_unsent.remove(0, n);
    if (!m_unsent.isEmpty())
        return;
    m_writable->setEnabled(false);
    if (m_ending != Ending::None)
        endNow();
}

void LinuxTcpTransport::closeWhenWritten()
{
    m_ending = Ending::Close;
    m_readable->setEnabled(false);
    if (m_unsent.isEmpty())
        endNow();
}

void LinuxTcpTransport::resetWhenWritten()
{
    // Reset only once the reply has gone, or the peer would never see the
    // bytes the reset is meant to follow.
    m_ending = Ending::Reset;
    m_readable->setEnabled(false);
    if (m_unsent.isEmpty())
        endNow();
}

void LinuxTcpTransport::endNow()
{
    stopWatching();
    if (m_ending == Ending::Reset)
        sim::makeCloseAbortive(m_fd);
    else
        ::shutdown(m_fd, SHUT_WR);
    ::close(m_fd);
    m_fd = -1;
    emit finished();
}

void LinuxTcpTransport::stopWatching()
{
    m_readable->setEnabled(false);
    m_writable->setEnabled(false);
}
