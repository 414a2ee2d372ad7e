// SPDX-License-Identifier: GPL-3.0-or-later
// The network layer this build of the simulator runs on, what it can do, and
// the transports it makes; sim_network.cpp is the one place that knows.
#pragma once

#include "network_abilities.h"
#include "tcp_transport.h"
#include "udp_transport.h"

#include <QString>

// "linux" (plain descriptors) or "qt" (Qt's sockets).
QString simNetworkName();
SimNetworkAbilities simNetworkAbilities();

// Process-wide setup the layer needs before the first socket.
void prepareSimNetwork();
// A transport around an accepted TCP connection; it owns the descriptor.
TcpTransport* makeTcpTransport(qintptr descriptor);
// An unbound UDP transport.
UdpTransport* makeUdpTransport();
