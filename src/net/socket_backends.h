// SPDX-License-Identifier: GPL-3.0-or-later
// The client socket backends this build has, and the one sessions use.
#pragma once

#include "net/client_socket.h"

#include <QList>

enum class SocketBackend {
    Linux, // plain descriptors and QSocketNotifier
    Qt, // QTcpSocket and QUdpSocket, on every system
};

// Every backend built in, the one sessions use first.
QList<SocketBackend> availableSocketBackends();
SocketBackend defaultSocketBackend();
QString socketBackendName(SocketBackend backend);
SocketAbilities socketAbilities(SocketBackend backend);

// A new socket on `backend`, owned by `parent`.
ClientSocket* makeClientSocket(QObject* parent, SocketBackend backend = defaultSocketBackend());
