// SPDX-License-Identifier: GPL-3.0-or-later
// UDP request handling for the module simulator.
#include "udp_server.h"

#include "exact_delay.h"
#include "socket_address.h"
#include "stamped_receive.h"
#include "traffic_log.h"

#include <QHostAddress>
#include <QSocketNotifier>

#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

UdpServer::UdpServer(const SimOptions& options, QObject* parent)
    : QObject(parent)
    , m_options(options)
    , m_shaper(options, 0)
    , m_sender(options.pieceGapMs)
{
}

UdpServer::~UdpServer()
{
    delete m_readable;
    if (m_fd >= 0)
        ::close(m_fd);
}

bool UdpServer::listen(QString* error)
{
    sockaddr_storage address;
    const socklen_t length = sim::toSocketAddress(m_options.host, m_options.udpPort, address);
    m_fd = ::socket(address.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd >= 0 && address.ss_family == AF_INET6) {
        const int v6Only = m_options.host.protocol() == QAbstractSocket::IPv6Protocol ? 1 : 0;
        ::setsockopt(m_fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6Only, sizeof v6Only);
    }
    // No SO_REUSEADDR: a second simulator on the same address fails loudly
    // instead of silently sharing the port.
    sockaddr_storage bound{};
    socklen_t boundLength = sizeof bound;
    if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), length) != 0
        || ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&bound), &boundLength) != 0) {
        *error = QString("cannot bind UDP %1 port %2: %3")
                     .arg(m_options.host.toString())
                     .arg(m_options.udpPort)
                     .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    sim::enableArrivalStamps(m_fd);
    m_port = sim::portOf(bound);
    m_readable = new QSocketNotifier(m_fd, QSocketNotifier::Read);
    connect(m_readable, &QSocketNotifier::activated, this, &UdpServer::onReadable);
    return true;
}

void UdpServer::onReadable()
{
    // One datagram per event: the notifier fires again while more wait, so
    // asking whether they do would only cost another call per request.
    m_buffer.resize(kLargestDatagram);
    sockaddr_storage sender{};
    socklen_t senderLength = 0;
    std::chrono::steady_clock::time_point arrived;
    const ssize_t size = sim::receiveStamped(m_fd, m_buffer.data(), static_cast<std::size_t>(m_buffer.size()),
                                             &sender, &senderLength, arrived);
    if (size >= 0)
        answer(m_buffer.first(size), sender, senderLength, arrived);
}

void UdpServer::answer(const QByteArray& request, const sockaddr_storage& sender, socklen_t senderLength,
                       std::chrono::steady_clock::time_point arrived)
{
    if (m_options.verbose)
        logTraffic("udp", sim::endpointText(sender), "request", request);
    const std::optional<ReplyShaper::Reply> reply = m_shaper.reply(request);
    if (!reply) {
        if (m_options.verbose)
            printLine(QString("udp %1 reply dropped").arg(sim::endpointText(sender)));
        return;
    }

    QList<std::function<void()>> steps;
    for (const QByteArray& piece : reply->pieces) {
        steps.append([this, piece, sender, senderLength] {
            if (m_options.verbose)
                logTraffic("udp", sim::endpointText(sender), "reply", piece);
            if (::sendto(m_fd, piece.constData(), static_cast<size_t>(piece.size()), 0,
                         reinterpret_cast<const sockaddr*>(&sender), senderLength)
                < 0) {
                printLine(QString("udp %1 reply not sent: %2")
                              .arg(sim::endpointText(sender), QString::fromLocal8Bit(std::strerror(errno))));
            }
        });
    }
    // Every delayed reply waits on its own timer, so one answered late does
    // not hold back the replies to the requests after it.
    if (reply->delay.count() > 0)
        sim::runAfter(this, arrived, reply->delay, [this, steps] { m_sender.send(steps); });
    else
        m_sender.send(steps);
}
