// SPDX-License-Identifier: GPL-3.0-or-later
// IPv4 and IPv6 socket addresses to and from Qt's.
#include "socket_address.h"

#include "traffic_log.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace sim {

socklen_t toSocketAddress(const QHostAddress& host, quint16 port, sockaddr_storage& into)
{
    into = {};
    if (host.protocol() == QAbstractSocket::IPv4Protocol) {
        auto& in = reinterpret_cast<sockaddr_in&>(into);
        in.sin_family = AF_INET;
        in.sin_port = htons(port);
        in.sin_addr.s_addr = htonl(host.toIPv4Address());
        return sizeof(sockaddr_in);
    }
    auto& in6 = reinterpret_cast<sockaddr_in6&>(into);
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(port);
    if (host.protocol() == QAbstractSocket::IPv6Protocol) {
        const Q_IPV6ADDR bytes = host.toIPv6Address();
        std::memcpy(&in6.sin6_addr, bytes.c, sizeof bytes.c);
        in6.sin6_scope_id = host.scopeId().toUInt();
    }
    return sizeof(sockaddr_in6);
}

quint16 portOf(const sockaddr_storage& address)
{
    return address.ss_family == AF_INET6 ? ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port)
                                         : ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
}

QString endpointText(const sockaddr_storage& address)
{
    return ::endpointText(QHostAddress(reinterpret_cast<const sockaddr*>(&address)), portOf(address));
}

} // namespace sim
