// SPDX-License-Identifier: GPL-3.0-or-later
// Picks the client socket backend: the only place that knows which
// backends the build has. The Linux backend is built on Linux; the build
// option VEXA_PORTABLE_SOCKET makes Qt's the one sessions use there too.
#include "net/socket_backends.h"

#include "net/qt_client_socket.h"

#if VEXA_HAS_LINUX_SOCKET
#include "net/linux_client_socket.h"
#endif

QList<SocketBackend> availableSocketBackends()
{
#if VEXA_HAS_LINUX_SOCKET && !defined(VEXA_PORTABLE_SOCKET)
    return {SocketBackend::Linux, SocketBackend::Qt};
#elif VEXA_HAS_LINUX_SOCKET
    return {SocketBackend::Qt, SocketBackend::Linux};
#else
    return {SocketBackend::Qt};
#endif
}

SocketBackend defaultSocketBackend()
{
    return availableSocketBackends().first();
}

QString socketBackendName(SocketBackend backend)
{
    return backend == SocketBackend::Linux ? QStringLiteral("linux") : QStringLiteral("qt");
}

SocketAbilities socketAbilities(SocketBackend backend)
{
#if VEXA_HAS_LINUX_SOCKET
    if (backend == SocketBackend::Linux)
        return LinuxClientSocket::kAbilities;
#else
    Q_UNUSED(backend);
#endif
    return QtClientSocket::kAbilities;
}

ClientSocket* makeClientSocket(QObject* parent, SocketBackend backend)
{
#if VEXA_HAS_LINUX_SOCKET
    if (backend == SocketBackend::Linux)
        return new LinuxClientSocket(parent);
#else
    Q_UNUSED(backend);
#endif
    return new QtClientSocket(parent);
}
