// SPDX-License-Identifier: GPL-3.0-or-later
// Socket addresses between Qt's form and the system's, for the simulator's
// plain sockets.
#pragma once

#include <QHostAddress>
#include <QString>

#include <sys/socket.h>

namespace sim {

// `host`:`port` as the system takes it, and its length; an address for any
// protocol binds both IPv6 and IPv4.
socklen_t toSocketAddress(const QHostAddress& host, quint16 port, sockaddr_storage& into);
quint16 portOf(const sockaddr_storage& address);
// "address:port", as the traffic log names a peer.
QString endpointText(const sockaddr_storage& address);

} // namespace sim
