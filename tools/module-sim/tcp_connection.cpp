// SPDX-License-Identifier: GPL-3.0-or-later
// Request handling on one TCP connection of the module simulator.
#include "tcp_connection.h"

#include "exact_delay.h"
#include "response_builder.h"
#include "socket_address.h"
#include "stamped_receive.h"
#include "traffic_log.h"

#include <QSocketNotifier>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace {

// How long fewer bytes than a header may wait for the rest of it before they
// are answered as a short request: long enough for a client writing a header
// in pieces or a segment sent again after a loss, short enough that a short
// request typed by hand still gets its answer. A complete header that looks
// right is not timed: it waits for the body its length field announces.
constexpr int kHeaderWaitMs = 1000;

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

} // namespace

TcpConnection::TcpConnection(int descriptor, const SimOptions& options, quint64 number, QObject* parent)
    : QObject(parent)
    , m_fd(descriptor)
    , m_options(options)
    , m_shaper(options, number)
    , m_sender(options.pieceGapMs)
{
    ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(m_fd, F_SETFD, FD_CLOEXEC);
    // Pieces must leave as separate segments, not wait for an ACK.
    const int one = 1;
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sim::enableArrivalStamps(m_fd);
    m_peer = peerOf(m_fd);

    m_headerWaitTimer.setSingleShot(true);
    connect(&m_headerWaitTimer, &QTimer::timeout, this, [this] {
        if (m_framer.awaitsHeader())
            answer(m_framer.takePending(), std::chrono::steady_clock::now());
    });
    m_readable = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_readable, &QSocketNotifier::activated, this, &TcpConnection::onReadable);
    m_writable = new QSocketNotifier(m_fd, QSocketNotifier::Write, this);
    m_writable->setEnabled(false);
    connect(m_writable, &QSocketNotifier::activated, this, &TcpConnection::onWritable);

    if (m_options.verbose)
        printLine(QString("tcp %1 connected").arg(m_peer));
    if (m_options.unsolicited) {
        const QByteArray unsolicited = sim::buildUnsolicitedResponse();
        if (m_options.verbose)
            logTraffic("tcp", m_peer, "unsolicited", unsolicited);
        write(unsolicited);
    }
}

TcpConnection::~TcpConnection()
{
    delete m_readable;
    delete m_writable;
    if (m_fd >= 0)
        ::close(m_fd);
}

void TcpConnection::onReadable()
{
    if (m_finished)
        return;
    m_buffer.resize(kReadSize);
    std::chrono::steady_clock::time_point arrived;
    const ssize_t n = sim::receiveStamped(m_fd, m_buffer.data(), kReadSize, nullptr, nullptr, arrived);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    if (n <= 0) {
        finish();
        return;
    }
    const QList<QByteArray> requests = m_framer.push(m_buffer.first(n));
    for (const QByteArray& request : requests)
        answer(request, arrived);
    if (m_framer.awaitsHeader())
        m_headerWaitTimer.start(kHeaderWaitMs);
    else
        m_headerWaitTimer.stop();
}

void TcpConnection::answer(const QByteArray& request, std::chrono::steady_clock::time_point arrived)
{
    if (m_finished)
        return;
    if (m_options.verbose)
        logTraffic("tcp", m_peer, "request", request);
    const std::optional<ReplyShaper::Reply> reply = m_shaper.reply(request);
    if (!reply) {
        if (m_options.verbose)
            printLine(QString("tcp %1 reply dropped").arg(m_peer));
        return;
    }

    QList<std::function<void()>> steps;
    for (qsizetype i = 0; i < reply->pieces.size(); ++i) {
        const bool last = i + 1 == reply->pieces.size();
        steps.append([this, piece = reply->pieces.at(i), last] { writePiece(piece, last); });
    }
    // A reply cut to nothing still counts as sent for --close-after/--reset-after.
    if (steps.isEmpty())
        steps.append([this] { replySent(); });

    // Every delayed reply waits on its own timer, so one answered late does
    // not hold back the replies to the requests after it.
    if (reply->delay.count() > 0)
        sim::runAfter(this, arrived, reply->delay, [this, steps] { m_sender.send(steps); });
    else
        m_sender.send(steps);
}

void TcpConnection::write(const QByteArray& bytes)
{
    qsizetype sent = 0;
    if (m_unsent.isEmpty()) {
        const ssize_t n =
            ::send(m_fd, bytes.constData(), static_cast<size_t>(bytes.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            // The peer is gone; the read side reports it.
            return;
        }
        sent = n > 0 ? n : 0;
    }
    if (sent < bytes.size()) {
        m_unsent += bytes.mid(sent);
        m_writable->setEnabled(true);
    }
}

void TcpConnection::onWritable()
{
    const ssize_t n =
        ::send(m_fd, m_unsent.constData(), static_cast<size_t>(m_unsent.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        m_unsent.clear();
        m_writable->setEnabled(false);
        finish();
        return;
    }
    if (n > 0)
        m_unsent.remove(0, n);
    if (!m_unsent.isEmpty())
        return;
    m_writable->setEnabled(false);
    if (m_resetPending)
        resetNow();
    else if (m_closePending)
        closeWhenWritten();
}

void TcpConnection::writePiece(const QByteArray& piece, bool lastOfReply)
{
    if (m_finished)
        return;
    if (m_options.verbose)
        logTraffic("tcp", m_peer, "reply", piece);
    write(piece);
    if (lastOfReply)
        replySent();
}

void TcpConnection::replySent()
{
    if (m_finished)
        return;
    ++m_repliesSent;
    if (m_options.closeAfter > 0 && m_repliesSent >= m_options.closeAfter) {
        if (m_options.verbose)
            printLine(QString("tcp %1 closing after %2 replies").arg(m_peer).arg(m_repliesSent));
        m_finished = true;
        m_sender.clear();
        m_headerWaitTimer.stop();
        // Graceful: what is still unsent goes before the FIN.
        m_closePending = true;
        if (m_unsent.isEmpty())
            closeWhenWritten();
    } else if (m_options.resetAfter > 0 && m_repliesSent >= m_options.resetAfter) {
        if (m_options.verbose)
            printLine(QString("tcp %1 resetting after %2 replies").arg(m_peer).arg(m_repliesSent));
        m_finished = true;
        m_sender.clear();
        m_headerWaitTimer.stop();
        // Reset only once the reply has gone, or the peer would never see
        // the bytes the reset is meant to follow.
        m_resetPending = true;
        if (m_unsent.isEmpty())
            resetNow();
    }
}

void TcpConnection::closeWhenWritten()
{
    m_closePending = false;
    m_readable->setEnabled(false);
    m_writable->setEnabled(false);
    ::shutdown(m_fd, SHUT_WR);
    ::close(m_fd);
    m_fd = -1;
    deleteLater();
}

void TcpConnection::resetNow()
{
    m_resetPending = false;
    m_readable->setEnabled(false);
    m_writable->setEnabled(false);
    // A zero linger time makes close() send RST instead of FIN.
    const linger abortive{1, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    ::close(m_fd);
    m_fd = -1;
    deleteLater();
}

void TcpConnection::finish()
{
    if (m_options.verbose)
        printLine(QString("tcp %1 disconnected").arg(m_peer));
    m_finished = true;
    m_sender.clear();
    m_headerWaitTimer.stop();
    m_readable->setEnabled(false);
    m_writable->setEnabled(false);
    deleteLater();
}
