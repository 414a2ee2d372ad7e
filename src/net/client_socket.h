// SPDX-License-Identifier: GPL-3.0-or-later
// The window's one client socket: TCP or UDP to the module, on the thread
// that owns it, with the operations and events the session controller uses.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <cstdint>
#include <optional>

// The one switch for the socket's Linux-only paths: the TCP write straight
// to the kernel and the duplicate descriptor that tells a reset by the peer
// from an orderly close. Configuring with -DVEXA_PORTABLE_SOCKET=ON, or
// building for another system, leaves plain Qt sockets everywhere.
#if defined(Q_OS_LINUX) && !defined(VEXA_PORTABLE_SOCKET)
#define VEXA_LINUX_SOCKET_PATHS 1
#else
#define VEXA_LINUX_SOCKET_PATHS 0
#endif

class QHostInfo;
class QTcpSocket;
class QUdpSocket;

// Why an operation was refused in the socket's current state; empty when it
// was carried out. A refusal raises no event, so the caller can report it
// and keep its own state.
using SocketRefusal = std::optional<QString>;

class ClientSocket : public QObject {
    Q_OBJECT
public:
    enum class Protocol { Tcp, Udp };

    // True when a TCP connection reset by the peer comes as error() with the
    // system's text for a reset. Otherwise Qt cannot tell a reset from an
    // orderly close, and both come as peerClosed().
    static constexpr bool kReportsPeerReset = VEXA_LINUX_SOCKET_PATHS != 0;
    // True when SendBytes hands a TCP frame to the system before it returns,
    // unless earlier bytes still wait. Otherwise Qt sends it on the next pass
    // of the event loop.
    static constexpr bool kWritesTcpBeforeReturning = VEXA_LINUX_SOCKET_PATHS != 0;
    // True when WaitForArrival can wait; otherwise only the event loop reads.
    static constexpr bool kWaitsForArrival = VEXA_LINUX_SOCKET_PATHS != 0;

    explicit ClientSocket(QObject* parent = nullptr);
    ~ClientSocket() override;

    // Refused while a TCP connection is open or being opened, or while the
    // UDP socket is bound or holds a datagram; the protocol is TCP until
    // changed.
    [[nodiscard]] SocketRefusal SetProtocol(Protocol protocol);
    Protocol protocol() const { return m_protocol; }
    // Taken as is: no trimming, no check until it is used. An IPv6 address
    // may be given bare or in brackets. In UDP a name is looked up in the
    // background from here on.
    void SetRemoteHost(const QString& host);
    void SetRemotePort(std::uint16_t port);

    // TCP only. Returns at once; success comes as connected(), failure as
    // error(). Refused when a connection is already open or being opened.
    [[nodiscard]] SocketRefusal Connect();
    // TCP: one write on the open connection. UDP: one datagram to the remote
    // host and port; the socket binds an ephemeral local port on first use.
    // A datagram sent while the host's name is still being looked up is held
    // and goes out once the address is known; a later one replaces it.
    // Refused when no host is set or, in TCP, when no connection is open.
    [[nodiscard]] SocketRefusal SendBytes(const QByteArray& bytes);
    // A datagram waits for its host's address; sendComplete() says when it
    // leaves.
    bool holdsDatagram() const { return m_udpHeld.has_value(); }
    // Moves every waiting byte (TCP) or the waiting datagram (UDP) into
    // `into`, replacing its content.
    void ReceiveAll(QByteArray& into);
    // Harmless on a socket that is not open; raises no event. Drops a held
    // datagram.
    void Close();
    // Waits for bytes on the open TCP connection or the bound UDP socket,
    // first up to `spinUs` microseconds without sleeping, then up to `msecs`
    // asleep, and if some come, reads and announces them as dataArrival
    // before returning true: a caller that expects a reply at once takes it
    // without a pass of the event loop. Returns false when nothing came in
    // time, when there is nothing to wait on, and for an end or a failure of
    // the connection, which the event loop then reports as usual. Only with
    // kWaitsForArrival; otherwise it returns false at once.
    bool WaitForArrival(int msecs, int spinUs);

signals:
    void connected();
    // In UDP, only datagrams from the remote address and port are announced;
    // any other is read and dropped.
    void dataArrival(qint32 bytesTotal);
    void peerClosed();
    void error(int number, const QString& description);
    // Follows each send once the bytes have gone to the system, before the
    // sending call returns (or, for a datagram held for its address, when it
    // goes out). A listener must not send from it.
    void sendComplete();

private:
    enum class UdpLookup { NotStarted, Pending, Resolved, Failed };

    void onTcpConnected();
    void onTcpReadyRead();
    void onUdpReadyRead();
    void onTcpDisconnected();
    void onTcpError();
    void onUdpError();
    void resetTcp();
    void resetUdp();
    void startUdpLookup();
    void onUdpLookupDone(quint64 lookup, const QHostInfo& info);
    void sendDatagram(const QByteArray& bytes, std::uint16_t port);
    bool readUdpReply(QByteArray& into);
    // Whether a datagram comes from where the last one went.
    bool isFromPeer(const QHostAddress& sender, std::uint16_t senderPort) const;
    // The two halves of WaitForArrival, on the Linux paths only.
    bool waitForTcpArrival(int msecs, int spinUs);
    bool waitForUdpArrival(int msecs, int spinUs);
    void writeTcp(const QByteArray& bytes);
    void announceSendComplete();
    void queueError(int number, const QString& description);
    bool peerResetConnection() const;
    void closeShadowDescriptor();

    Protocol m_protocol = Protocol::Tcp;
    QString m_remoteHost;
    std::uint16_t m_remotePort = 0;
    QTcpSocket* m_tcp = nullptr;
    QUdpSocket* m_udp = nullptr;
    // Set while this object aborts its own sockets, whose signals then
    // describe our Close rather than anything the caller must hear about.
    bool m_closing = false;
    // The end of the current TCP connection has been reported (or was ours).
    bool m_tcpEndReported = false;
    // A second descriptor for the open TCP connection, used only to tell a
    // reset from an orderly close; -1 when there is none.
    int m_tcpShadowFd = -1;
    // Bumped by Close so queued events of the closed socket are dropped.
    quint64 m_generation = 0;
    bool m_inUdpWrite = false;
    // The UDP destination, looked up once per remote host text. Each lookup
    // has a serial so the answer to a superseded one is ignored.
    UdpLookup m_udpLookup = UdpLookup::NotStarted;
    quint64 m_udpLookupSerial = 0;
    int m_udpLookupId = -1;
    QHostAddress m_udpAddress;
    QString m_udpLookupError;
    // The latest datagram sent while the lookup was pending, and its port.
    std::optional<QByteArray> m_udpHeld;
    std::uint16_t m_udpHeldPort = 0;
    // Where the last datagram went: the only sender whose replies count.
    QHostAddress m_udpPeerAddress;
    std::uint16_t m_udpPeerPort = 0;
    // The reply being announced, until the handler takes it.
    std::optional<QByteArray> m_udpReply;
    // Bytes WaitForArrival read past Qt's socket, until the handler takes
    // them; and the buffer they are read into, kept between waits.
    QByteArray m_tcpArrived;
    QByteArray m_waitBuffer;
};
