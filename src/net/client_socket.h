// The window's one client socket: TCP or UDP to the module, on the thread
// that owns it, with the operations and events the session controller uses.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <cstdint>
#include <optional>

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

    explicit ClientSocket(QObject* parent = nullptr);
    ~ClientSocket() override;

    // Refused while a TCP connection is open or being opened, or while the
    // UDP socket is bound; the protocol is TCP until changed.
    [[nodiscard]] SocketRefusal SetProtocol(Protocol protocol);
    Protocol protocol() const { return m_protocol; }
    // Taken as is: no trimming, no check until it is used.
    void SetRemoteHost(const QString& host);
    void SetRemotePort(std::uint16_t port);

    // TCP only. Returns at once; success comes as connected(), failure as
    // error(). Refused when a connection is already open or being opened.
    [[nodiscard]] SocketRefusal Connect();
    // TCP: one write on the open connection. UDP: one datagram to the remote
    // host and port; the socket binds an ephemeral local port on first use.
    // Refused when no host is set or, in TCP, when no connection is open.
    [[nodiscard]] SocketRefusal SendBytes(const QByteArray& bytes);
    // Moves every waiting byte (TCP) or the waiting datagram (UDP) into
    // `into`, replacing its content.
    void ReceiveAll(QByteArray& into);
    // Harmless on a socket that is not open; raises no event.
    void Close();

signals:
    void connected();
    void dataArrival(qint32 bytesTotal);
    void peerClosed();
    void error(int number, const QString& description);
    // Queued after each send, and only while something is connected to it.
    void sendComplete();

private:
    enum class UdpLookup { Pending, Resolved, Failed };

    void onTcpConnected();
    void onTcpReadyRead();
    void onUdpReadyRead();
    void onTcpDisconnected();
    void onTcpError();
    void onUdpError();
    void resetTcp();
    void resetUdp();
    bool resolveUdpTarget();
    void writeTcp(const QByteArray& bytes);
    void scheduleSendComplete();
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
    int m_pendingSendCompletes = 0;
    bool m_inUdpWrite = false;
    bool m_udpDatagramTaken = false;
    // The UDP destination, looked up once per remote host text.
    UdpLookup m_udpLookup = UdpLookup::Pending;
    QHostAddress m_udpAddress;
    QString m_udpLookupError;
};
