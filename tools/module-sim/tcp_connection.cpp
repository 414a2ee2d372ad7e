// SPDX-License-Identifier: GPL-3.0-or-later
// Request handling on one TCP connection of the module simulator.
#include "tcp_connection.h"

#include "exact_delay.h"

#include "response_builder.h"
#include "traffic_log.h"

#include <QTcpSocket>
#include <sys/socket.h>

namespace {

// How long fewer bytes than a header may wait for the rest of it before they
// are answered as a short request: long enough for a client writing a header
// in pieces or a segment sent again after a loss, short enough that a short
// request typed by hand still gets its answer. A complete header that looks
// right is not timed: it waits for the body its length field announces.
constexpr int kHeaderWaitMs = 1000;

} // namespace

TcpConnection::TcpConnection(QTcpSocket* socket, const SimOptions& options, QObject* parent)
    : QObject(parent)
    , m_socket(socket)
    , m_options(options)
    , m_shaper(options)
    , m_sender(options.pieceGapMs)
{
    m_socket->setParent(this);
    // Pieces must leave as separate segments, not wait for an ACK.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_peer = QString("%1:%2").arg(m_socket->peerAddress().toString()).arg(m_socket->peerPort());

    m_headerWaitTimer.setSingleShot(true);
    connect(&m_headerWaitTimer, &QTimer::timeout, this, [this] {
        if (m_framer.awaitsHeader())
            answer(m_framer.takePending());
    });
    connect(m_socket, &QTcpSocket::readyRead, this, &TcpConnection::onReadyRead);
    connect(m_socket, &QTcpSocket::bytesWritten, this, &TcpConnection::onBytesWritten);
    connect(m_socket, &QTcpSocket::disconnected, this, &TcpConnection::finish);

    if (m_options.verbose)
        printLine(QString("tcp %1 connected").arg(m_peer));
    if (m_options.unsolicited) {
        const QByteArray unsolicited = sim::buildUnsolicitedResponse();
        if (m_options.verbose)
            logTraffic("tcp", m_peer, "unsolicited", unsolicited);
        m_socket->write(unsolicited);
    }
    // Bytes may have arrived before this object connected to readyRead.
    if (m_socket->bytesAvailable() > 0)
        QTimer::singleShot(0, this, &TcpConnection::onReadyRead);
}

void TcpConnection::onReadyRead()
{
    const QByteArray bytes = m_socket->readAll();
    if (m_finished || bytes.isEmpty())
        return;
    const QList<QByteArray> requests = m_framer.push(bytes);
    for (const QByteArray& request : requests)
        answer(request);
    if (m_framer.awaitsHeader())
        m_headerWaitTimer.start(kHeaderWaitMs);
    else
        m_headerWaitTimer.stop();
}

void TcpConnection::answer(const QByteArray& request)
{
    if (m_finished)
        return;
    if (m_options.verbose)
        logTraffic("tcp", m_peer, "request", request);
    const std::optional<QList<QByteArray>> pieces = m_shaper.replyPieces(request);
    if (!pieces) {
        if (m_options.verbose)
            printLine(QString("tcp %1 reply dropped").arg(m_peer));
        return;
    }

    QList<std::function<void()>> steps;
    for (qsizetype i = 0; i < pieces->size(); ++i) {
        const bool last = i + 1 == pieces->size();
        steps.append([this, piece = pieces->at(i), last] { writePiece(piece, last); });
    }
    // A reply cut to nothing still counts as sent for --close-after/--reset-after.
    if (steps.isEmpty())
        steps.append([this] { replySent(); });

    if (m_options.delayMs > 0)
        sim::runAfter(this, m_options.delayMs, [this, steps] { m_sender.send(steps); });
    else
        m_sender.send(steps);
}

void TcpConnection::writePiece(const QByteArray& piece, bool lastOfReply)
{
    if (m_finished)
        return;
    if (m_options.verbose)
        logTraffic("tcp", m_peer, "reply", piece);
    qint64 sent = 0;
#if defined(Q_OS_LINUX)
    // Straight to the kernel while nothing waits in Qt's buffer: a write
    // through Qt switches its write notifier on and off, two extra wake-ups
    // of the event loop per reply, which a load test would measure as the
    // module's time.
    if (m_socket->bytesToWrite() == 0) {
        const ssize_t n = ::send(static_cast<int>(m_socket->socketDescriptor()), piece.constData(),
                                 static_cast<size_t>(piece.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0)
            sent = n;
    }
#endif
    // The rest, if any, the usual way; a failed socket reports through Qt.
    if (sent < piece.size()) {
        m_socket->write(piece.constData() + sent, piece.size() - sent);
        m_socket->flush();
    }
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
        // Graceful: queued bytes are written before the FIN.
        m_socket->disconnectFromHost();
    } else if (m_options.resetAfter > 0 && m_repliesSent >= m_options.resetAfter) {
        if (m_options.verbose)
            printLine(QString("tcp %1 resetting after %2 replies").arg(m_peer).arg(m_repliesSent));
        m_finished = true;
        m_sender.clear();
        m_headerWaitTimer.stop();
        m_resetPending = true;
        onBytesWritten();
    }
}

void TcpConnection::onBytesWritten()
{
    // Reset only once the reply has left Qt's buffer, or the peer would
    // never see the bytes the reset is meant to follow.
    if (m_resetPending && m_socket->bytesToWrite() == 0)
        resetNow();
}

void TcpConnection::resetNow()
{
    m_resetPending = false;
    // A zero linger time makes close() send RST instead of FIN.
    const linger abortive{1, 0};
    ::setsockopt(static_cast<int>(m_socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive,
                 sizeof abortive);
    m_socket->abort();
    deleteLater();
}

void TcpConnection::finish()
{
    if (m_options.verbose)
        printLine(QString("tcp %1 disconnected").arg(m_peer));
    m_finished = true;
    m_sender.clear();
    m_headerWaitTimer.stop();
    deleteLater();
}
