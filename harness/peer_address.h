// SPDX-License-Identifier: GPL-3.0-or-later
// The loopback address a test's peer or simulator binds to.
#pragma once

#include "net/client_socket.h"

#include <QLibrary>
#include <QString>

// Whether this Windows program runs under Wine (whose ntdll has a version
// function of its own); false on Linux and on Windows.
inline bool runsUnderWine()
{
    static const bool wine = QLibrary::resolve(QStringLiteral("ntdll"), "wine_get_version") != nullptr;
    return wine;
}

// `wanted`, except for UDP under Wine: there a UDP socket bound to a loopback
// address other than 127.0.0.1 is bound to every address of the loopback
// device instead, so its datagrams leave from 127.0.0.1, and a session that
// takes replies only from its module's address rightly drops them. Under
// Wine the peers share 127.0.0.1; their ports are free ones, so they do not
// meet.
inline QString peerAddress(ClientSocket::Protocol protocol, const QString& wanted)
{
    return protocol == ClientSocket::Protocol::Udp && runsUnderWine() ? QStringLiteral("127.0.0.1") : wanted;
}
