// SPDX-License-Identifier: GPL-3.0-or-later
// Picks the simulator's network layer: the only place that knows which
// layers the build has. Plain descriptors on Linux; Qt's sockets elsewhere,
// and on Linux too with the build option VEXA_PORTABLE_SOCKET. On Linux the
// Qt layer still resets with RST, through the descriptor Qt exposes.
#include "sim_network.h"

#include "qt_tcp_transport.h"
#include "qt_udp_transport.h"

#if VEXA_HAS_LINUX_SOCKET
#include "abortive_close.h"
#include "linux_tcp_transport.h"
#include "linux_udp_transport.h"
#endif

#include <csignal>

// The Linux layer unless the build asks for Qt's sockets everywhere.
#if VEXA_HAS_LINUX_SOCKET && !defined(VEXA_PORTABLE_SOCKET)
#define SIM_LINUX_LAYER 1
#else
#define SIM_LINUX_LAYER 0
#endif

namespace {

constexpr bool kLinuxLayer = SIM_LINUX_LAYER;

// What the Qt layer does just before abort() so that the close sends RST;
// none where the build has no such means.
QtTcpTransport::BeforeAbort abortiveCloseForQt()
{
#if VEXA_HAS_LINUX_SOCKET
    return [](qintptr descriptor) { sim::makeCloseAbortive(static_cast<int>(descriptor)); };
#else
    return {};
#endif
}

} // namespace

QString simNetworkName()
{
    return kLinuxLayer ? QStringLiteral("linux") : QStringLiteral("qt");
}

SimNetworkAbilities simNetworkAbilities()
{
    return {kLinuxLayer, kLinuxLayer || static_cast<bool>(abortiveCloseForQt())};
}

void prepareSimNetwork()
{
#ifdef SIGPIPE
    // A peer that vanished mid-reply, or a closed stdout, must not kill the
    // simulator.
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

TcpTransport* makeTcpTransport(qintptr descriptor)
{
#if SIM_LINUX_LAYER
    return new LinuxTcpTransport(static_cast<int>(descriptor));
#else
    return new QtTcpTransport(descriptor, abortiveCloseForQt());
#endif
}

UdpTransport* makeUdpTransport()
{
#if SIM_LINUX_LAYER
    return new LinuxUdpTransport;
#else
    return new QtUdpTransport;
#endif
}
