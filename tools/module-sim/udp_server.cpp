// SPDX-License-Identifier: GPL-3.0-or-later
// UDP request handling for the module simulator.
#include "udp_server.h"

#include "traffic_log.h"

#include <QNetworkDatagram>
#include <QTimer>

UdpServer::UdpServer(const SimOptions& options, QObject* parent)
    : QObject(parent)
    , m_options(options)
    , m_shaper(options)
    , m_sender(options.pieceGapMs)
{
    connect(&m_socket, &QUdpSocket::readyRead, this, &UdpServer::onReadyRead);
}

bool UdpServer::listen(QString* error)
{
    // Exclusive, so a second simulator on the same address fails loudly
    // instead of silently sharing the port.
    if (m_socket.bind(m_options.host, m_options.udpPort, QAbstractSocket::DontShareAddress))
        return true;
    *error = QString("cannot bind UDP %1 port %2: %3")
                 .arg(m_options.host.toString())
                 .arg(m_options.udpPort)
                 .arg(m_socket.errorString());
    return false;
}

void UdpServer::onReadyRead()
{
    while (m_socket.hasPendingDatagrams()) {
        const QNetworkDatagram datagram = m_socket.receiveDatagram();
        if (!datagram.isValid())
            continue;
        answer(datagram.data(), datagram.senderAddress(), static_cast<quint16>(datagram.senderPort()));
    }
}

void UdpServer::answer(const QByteArray& request, const QHostAddress& sender, quint16 senderPort)
{
    const QString peer = QString("%1:%2").arg(sender.toString()).arg(senderPort);
    if (m_options.verbose)
        logTraffic("udp", peer, "request", request);
    const std::optional<QList<QByteArray>> pieces = m_shaper.replyPieces(request);
    if (!pieces) {
        if (m_options.verbose)
            printLine(QString("udp %1 reply dropped").arg(peer));
        return;
    }

    QList<std::function<void()>> steps;
    for (const QByteArray& piece : *pieces) {
        steps.append([this, piece, sender, senderPort, peer] {
            if (m_options.verbose)
                logTraffic("udp", peer, "reply", piece);
            if (m_socket.writeDatagram(piece, sender, senderPort) < 0)
                printLine(QString("udp %1 reply not sent: %2").arg(peer, m_socket.errorString()));
        });
    }
    if (m_options.delayMs > 0)
        QTimer::singleShot(m_options.delayMs, this, [this, steps] { m_sender.send(steps); });
    else
        m_sender.send(steps);
}
