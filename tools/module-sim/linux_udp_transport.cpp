// SPDX-License-Identifier: GPL-3.0-or-later
// Binding, stamped receive and sendto on one UDP descriptor.
#include "linux_udp_transport.h"

#include "socket_address.h"
#include "stamped_receive.h"

#include <QSocketNotifier>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

LinuxUdpTransport::LinuxUdpTransport(QObject* parent)
    : UdpTransport(parent)
{
}

LinuxUdpTransport::~LinuxUdpTransport()
{
    delete m_readable;
    if (m_fd >= 0)
        ::close(m_fd);
}

bool LinuxUdpTransport::bind(const QHostAddress& host, quint16 port, QString* error)
{
    sockaddr_storage address;
    const socklen_t length = sim::toSocketAddress(host, port, address);
    m_fd = ::socket(address.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd >= 0 && address.ss_family == AF_INET6) {
        const int v6Only = host.protocol() == QAbstractSocket::IPv6Protocol ? 1 : 0;
        ::setsockopt(m_fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6Only, sizeof v6Only);
    }
    // No SO_REUSEADDR: a second simulator on the same address fails loudly
    // instead of silently sharing the port.
    sockaddr_storage bound{};
    socklen_t boundLength = sizeof bound;
    if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), length) != 0
        || ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&bound), &boundLength) != 0) {
        *error = systemError();
        return false;
    }
    sim::enableArrivalStamps(m_fd);
    m_port = sim::portOf(bound);
    m_readable = new QSocketNotifier(m_fd, QSocketNotifier::Read);
    connect(m_readable, &QSocketNotifier::activated, this, &LinuxUdpTransport::onReadable);
    return true;
}

void LinuxUdpTransport::onReadable()
{
    // One datagram per event: the notifier fires again while more wait, so
    // asking whether they do would only cost another call per request.
    m_buffer.resize(kLargestDatagram);
    sockaddr_storage sender{};
    socklen_t senderLength = 0;
    std::chrono::steady_clock::time_point arrived;
    const ssize_t size = sim::receiveStamped(m_fd, m_buffer.data(), static_cast<std::size_t>(m_buffer.size()),
                                             &sender, &senderLength, arrived);
    if (size < 0)
        return;
    const UdpEndpoint from{QHostAddress(reinterpret_cast<const sockaddr*>(&sender)), sim::portOf(sender)};
    emit received(m_buffer.first(size), from, arrived);
}

std::optional<QString> LinuxUdpTransport::sendTo(const QByteArray& datagram, const UdpEndpoint& to)
{
    sockaddr_storage address;
    const socklen_t length = sim::toSocketAddress(to.address, to.port, address);
    if (::sendto(m_fd, datagram.constData(), static_cast<size_t>(datagram.size()), 0,
                 reinterpret_cast<const sockaddr*>(&address), length)
        < 0)
        return systemError();
    return std::nullopt;
}
