// SPDX-License-Identifier: GPL-3.0-or-later
// The window's one client socket: TCP or UDP to the module, on the thread
// that owns it, with the operations and events the session controller uses.
// What carries the bytes is a backend (socket_backends.h); this is the one
// interface the engine sees.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <cstdint>
#include <optional>

// Why an operation was refused in the socket's current state; empty when it
// was carried out. A refusal raises no event, so the caller can report it
// and keep its own state.
using SocketRefusal = std::optional<QString>;

// How a session on the socket ended, when it was not the caller's Close.
struct SocketEnd {
    enum class Reason {
        Refused, // the module's host refused the connection
        Closed, // the module closed the connection
        Reset, // the connection was reset
        Failed, // anything else: a lookup, a route, a send
    };
    Reason reason = Reason::Failed;
    QString description; // the system's readable text; empty for Closed
};

// What a backend can do beyond the common ground.
struct SocketAbilities {
    // A TCP connection reset by the peer comes as error() with Reset;
    // otherwise a reset may look like an orderly close.
    bool reportsPeerReset = false;
    // SendBytes hands a TCP frame to the system before it returns, unless
    // earlier bytes still wait; otherwise it leaves on a later pass of the
    // event loop.
    bool writesTcpBeforeReturning = false;
    // WaitForArrival can wait; otherwise only the event loop reads.
    bool waitsForArrival = false;
};

class ClientSocket : public QObject {
    Q_OBJECT
public:
    enum class Protocol { Tcp, Udp };

    using QObject::QObject;

    virtual SocketAbilities abilities() const = 0;

    // Refused while a TCP connection is open or being opened, or while the
    // UDP socket is bound or holds a datagram; the protocol is TCP until
    // changed.
    [[nodiscard]] virtual SocketRefusal SetProtocol(Protocol protocol) = 0;
    virtual Protocol protocol() const = 0;
    // Taken as is: no trimming, no check until it is used. An IPv6 address
    // may be given bare or in brackets. In UDP a name is looked up in the
    // background from here on.
    virtual void SetRemoteHost(const QString& host) = 0;
    virtual void SetRemotePort(std::uint16_t port) = 0;

    // TCP only. Returns at once; success comes as connected(), failure as
    // error(). Refused when a connection is already open or being opened.
    [[nodiscard]] virtual SocketRefusal Connect() = 0;
    // TCP: one write on the open connection. UDP: one datagram to the remote
    // host and port; the socket binds an ephemeral local port on first use.
    // A datagram sent while the host's name is still being looked up is held
    // and goes out once the address is known; a later one replaces it.
    // Refused when no host is set or, in TCP, when no connection is open.
    [[nodiscard]] virtual SocketRefusal SendBytes(const QByteArray& bytes) = 0;
    // A datagram waits for its host's address; sendComplete() says when it
    // leaves.
    virtual bool holdsDatagram() const = 0;
    // Moves every waiting byte (TCP) or the waiting datagram (UDP) into
    // `into`, replacing its content.
    virtual void ReceiveAll(QByteArray& into) = 0;
    // Harmless on a socket that is not open; raises no event, and no event
    // of the closed connection follows. Drops a held datagram.
    virtual void Close() = 0;
    // Waits for bytes on the open TCP connection or the bound UDP socket,
    // first up to `spinUs` microseconds without sleeping, then up to `msecs`
    // asleep, and if some come, reads and announces them as dataArrival
    // before returning true: a caller that expects a reply at once takes it
    // without a pass of the event loop. Returns false when nothing came in
    // time, when there is nothing to wait on, and for an end or a failure of
    // the connection, which the event loop then reports as usual. Only with
    // abilities().waitsForArrival; otherwise it returns false at once.
    virtual bool WaitForArrival(int msecs, int spinUs) = 0;

signals:
    void connected();
    // In UDP, only datagrams from the remote address and port are announced;
    // any other is read and dropped.
    void dataArrival(qint32 bytesTotal);
    void peerClosed();
    // Any other end of the session after a call has returned: a refused or
    // failed connect, a reset, a failed lookup or send. Never Closed.
    void error(const SocketEnd& end);
    // Follows each send once the bytes have gone to the system, before the
    // sending call returns (or, for a datagram held for its address, when it
    // goes out). A listener must not send from it.
    void sendComplete();
};
