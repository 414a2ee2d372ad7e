// SPDX-License-Identifier: GPL-3.0-or-later
// UDP request handling for the module simulator.
#include "udp_server.h"

#include "exact_delay.h"
#include "traffic_log.h"

UdpServer::UdpServer(const SimOptions& options, UdpTransport* transport, QObject* parent)
    : QObject(parent)
    , m_options(options)
    , m_transport(transport)
    , m_shaper(options, 0)
    , m_sender(options.pieceGapMs)
{
    m_transport->setParent(this);
    connect(m_transport, &UdpTransport::received, this, &UdpServer::answer);
}

bool UdpServer::listen(QString* error)
{
    QString reason;
    if (m_transport->bind(m_options.host, m_options.udpPort, &reason))
        return true;
    *error = QString("cannot bind UDP %1 port %2: %3")
                 .arg(m_options.host.toString())
                 .arg(m_options.udpPort)
                 .arg(reason);
    return false;
}

void UdpServer::answer(const QByteArray& request, const UdpEndpoint& sender,
                       std::chrono::steady_clock::time_point arrived)
{
    if (m_options.verbose)
        logTraffic("udp", endpointText(sender.address, sender.port), "request", request);
    const std::optional<ReplyShaper::Reply> reply = m_shaper.reply(request);
    if (!reply) {
        if (m_options.verbose)
            printLine(QString("udp %1 reply dropped").arg(endpointText(sender.address, sender.port)));
        return;
    }

    QList<std::function<void()>> steps;
    for (const QByteArray& piece : reply->pieces) {
        steps.append([this, piece, sender] {
            if (m_options.verbose)
                logTraffic("udp", endpointText(sender.address, sender.port), "reply", piece);
            if (const std::optional<QString> error = m_transport->sendTo(piece, sender))
                printLine(QString("udp %1 reply not sent: %2")
                              .arg(endpointText(sender.address, sender.port), *error));
        });
    }
    // Every delayed reply waits on its own timer, so one answered late does
    // not hold back the replies to the requests after it.
    if (reply->delay.count() > 0)
        sim::runAfter(this, arrived, reply->delay, [this, steps] { m_sender.send(steps); });
    else
        m_sender.send(steps);
}
