// SPDX-License-Identifier: GPL-3.0-or-later
// Binding, receiving and sending datagrams on QUdpSocket.
#include "qt_udp_transport.h"

#include <QNetworkDatagram>
#include <QUdpSocket>

QtUdpTransport::QtUdpTransport(QObject* parent)
    : UdpTransport(parent)
    , m_socket(new QUdpSocket(this))
{
    connect(m_socket, &QUdpSocket::readyRead, this, &QtUdpTransport::onReadyRead);
}

bool QtUdpTransport::bind(const QHostAddress& host, quint16 port, QString* error)
{
    // Not shared: a second simulator on the same address fails loudly
    // instead of silently sharing the port.
    if (m_socket->bind(host, port, QAbstractSocket::DontShareAddress))
        return true;
    *error = m_socket->errorString();
    return false;
}

quint16 QtUdpTransport::port() const
{
    return m_socket->localPort();
}

void QtUdpTransport::onReadyRead()
{
    const auto arrived = std::chrono::steady_clock::now();
    // readyRead comes once for all that wait, so all are taken.
    while (m_socket->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = m_socket->receiveDatagram();
        if (!datagram.isValid())
            return;
        emit received(datagram.data(),
                      {datagram.senderAddress(), static_cast<quint16>(datagram.senderPort())}, arrived);
    }
}

std::optional<QString> QtUdpTransport::sendTo(const QByteArray& datagram, const UdpEndpoint& to)
{
    if (m_socket->writeDatagram(datagram, to.address, to.port) < 0)
        return m_socket->errorString();
    return std::nullopt;
}
