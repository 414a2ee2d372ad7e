// The window's one client socket: TCP or UDP to the module, on the thread
// that owns it, with the operations and events the session controller uses.
#pragma once

#include <QByteArray>
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
    void sendComplete();

private:
    // Private slots and helpers are declared in client_socket.cpp's needs.
    void onTcpReadyRead();
    void onUdpReadyRead();
    void onTcpDisconnected();
    void onTcpError();
    void resetTcp();
    void resetUdp();

    Protocol m_protocol = Protocol::Tcp;
    QString m_remoteHost;
    std::uint16_t m_remotePort = 0;
    QTcpSocket* m_tcp = nullptr;
    QUdpSocket* m_udp = nullptr;
    bool m_closing = false;
};
