// SPDX-License-Identifier: GPL-3.0-or-later
// One accepted TCP connection on QTcpSocket.
#include "qt_tcp_transport.h"

#include "traffic_log.h"

#include <QTcpSocket>

QtTcpTransport::QtTcpTransport(qintptr descriptor, BeforeAbort beforeAbort, QObject* parent)
    : TcpTransport(parent)
    , m_socket(new QTcpSocket(this))
    , m_beforeAbort(std::move(beforeAbort))
{
    m_socket->setSocketDescriptor(descriptor);
    // Pieces must leave as separate segments, not wait for an ACK.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_peer = endpointText(m_socket->peerAddress(), m_socket->peerPort());
    connect(m_socket, &QTcpSocket::readyRead, this, &QtTcpTransport::onReadyRead);
    connect(m_socket, &QTcpSocket::bytesWritten, this, &QtTcpTransport::onBytesWritten);
    connect(m_socket, &QTcpSocket::disconnected, this, &QtTcpTransport::onDisconnected);
    // A reset or failed send ends the socket with an error and no
    // disconnected() when it was not connected any more.
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this] {
        if (m_socket->state() != QAbstractSocket::ConnectedState)
            onDisconnected();
    });
}

void QtTcpTransport::onReadyRead()
{
    const auto arrived = std::chrono::steady_clock::now();
    if (m_ending) {
        m_socket->readAll();
        return;
    }
    const QByteArray bytes = m_socket->readAll();
    if (!bytes.isEmpty())
        emit received(bytes, arrived);
}

void QtTcpTransport::write(const QByteArray& bytes)
{
    m_socket->write(bytes);
    m_socket->flush();
}

void QtTcpTransport::closeWhenWritten()
{
    m_ending = true;
    // Qt sends what is still buffered, then FIN, then says disconnected().
    m_socket->disconnectFromHost();
}

void QtTcpTransport::resetWhenWritten()
{
    // Reset only once the reply has gone, or the peer would never see the
    // bytes the reset is meant to follow.
    m_ending = true;
    m_resetPending = true;
    onBytesWritten();
}

void QtTcpTransport::onBytesWritten()
{
    if (!m_resetPending || m_socket->bytesToWrite() > 0)
        return;
    m_resetPending = false;
    if (m_beforeAbort)
        m_beforeAbort(m_socket->socketDescriptor());
    // abort() says disconnected() itself, which reports the end.
    m_socket->abort();
    onDisconnected();
}

void QtTcpTransport::onDisconnected()
{
    // Said once, whichever of the signals comes first.
    if (m_over)
        return;
    m_over = true;
    if (m_ending)
        emit finished();
    else
        emit gone();
}
