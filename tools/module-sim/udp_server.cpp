// SPDX-License-Identifier: GPL-3.0-or-later
// UDP request handling for the module simulator.
#include "udp_server.h"

#include "exact_delay.h"

#include "traffic_log.h"

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
    // One datagram per event, read in one call: Qt announces the next one
    // on the next pass, so asking whether more wait would only cost another
    // call per request.
    m_buffer.resize(kLargestDatagram);
    QHostAddress sender;
    quint16 senderPort = 0;
    const qint64 size = m_socket.readDatagram(m_buffer.data(), m_buffer.size(), &sender, &senderPort);
    if (size >= 0)
        answer(m_buffer.first(size), sender, senderPort);
}

namespace {

QString peerText(const QHostAddress& sender, quint16 senderPort)
{
    return QString("%1:%2").arg(sender.toString()).arg(senderPort);
}

} // namespace

void UdpServer::answer(const QByteArray& request, const QHostAddress& sender, quint16 senderPort)
{
    if (m_options.verbose)
        logTraffic("udp", peerText(sender, senderPort), "request", request);
    const std::optional<QList<QByteArray>> pieces = m_shaper.replyPieces(request);
    if (!pieces) {
        if (m_options.verbose)
            printLine(QString("udp %1 reply dropped").arg(peerText(sender, senderPort)));
        return;
    }

    QList<std::function<void()>> steps;
    for (const QByteArray& piece : *pieces) {
        steps.append([this, piece, sender, senderPort] {
            if (m_options.verbose)
                logTraffic("udp", peerText(sender, senderPort), "reply", piece);
            if (m_socket.writeDatagram(piece, sender, senderPort) < 0) {
                printLine(QString("udp %1 reply not sent: %2")
                              .arg(peerText(sender, senderPort), m_socket.errorString()));
            }
        });
    }
    if (m_options.delayMs > 0)
        sim::runAfter(this, m_options.delayMs, [this, steps] { m_sender.send(steps); });
    else
        m_sender.send(steps);
}
