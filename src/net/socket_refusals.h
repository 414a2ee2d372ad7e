// SPDX-License-Identifier: GPL-3.0-or-later
// The reasons both socket backends give for refusing an operation.
#pragma once

#include <QString>

namespace socket_refusal {

inline QString notConnected()
{
    return QStringLiteral("The socket is not connected.");
}
inline QString alreadyConnected()
{
    return QStringLiteral("The socket is already connected.");
}
inline QString connecting()
{
    return QStringLiteral("A connection is already being opened.");
}
inline QString closeFirst()
{
    return QStringLiteral("Close the socket before changing the protocol.");
}
inline QString noHost()
{
    return QStringLiteral("No remote host is set.");
}
inline QString udpNoConnect()
{
    return QStringLiteral("UDP sends without a connection; Connect is only used with TCP.");
}

} // namespace socket_refusal
