// SPDX-License-Identifier: GPL-3.0-or-later
// The client socket on Qt's own QTcpSocket and QUdpSocket, for every system.
#pragma once

#include "net/client_socket.h"
#include "net/udp_destination.h"

#include <QHostAddress>

class QTcpSocket;
class QUdpSocket;

class QtClientSocket final : public ClientSocket {
    Q_OBJECT
public:
    explicit QtClientSocket(QObject* parent = nullptr);
    ~QtClientSocket() override;

    static constexpr SocketAbilities kAbilities{};
    SocketAbilities abilities() const override { return kAbilities; }
    SocketRefusal SetProtocol(Protocol protocol) override;
    Protocol protocol() const override { return m_protocol; }
    void SetRemoteHost(const QString& host) override;
    void SetRemotePort(std::uint16_t port) override { m_remotePort = port; }
    SocketRefusal Connect() override;
    SocketRefusal SendBytes(const QByteArray& bytes) override;
    bool holdsDatagram() const override { return m_destination.holds(); }
    void ReceiveAll(QByteArray& into) override;
    void Close() override;
    bool WaitForArrival(int msecs, int spinUs) override;

private:
    void onTcpReadyRead();
    void onUdpReadyRead();
    void onTcpDisconnected();
    void onTcpError();
    void onUdpError();
    void sendDatagram(const QByteArray& bytes, std::uint16_t port);
    void onHeldDone(const UdpDestination::Held& held);
    bool readUdpReply(QByteArray& into);
    void queueFailure(const QString& description);

    Protocol m_protocol = Protocol::Tcp;
    QString m_remoteHost;
    std::uint16_t m_remotePort = 0;
    QTcpSocket* m_tcp = nullptr;
    QUdpSocket* m_udp = nullptr;
    // Set while this object aborts its own sockets, whose signals then
    // describe our Close rather than anything the caller must hear about.
    bool m_closing = false;
    // The end of the current TCP connection has been reported.
    bool m_tcpEndReported = false;
    // Bumped by Close so queued events of the closed socket are dropped.
    quint64 m_generation = 0;
    bool m_inUdpWrite = false;
    UdpDestination m_destination;
    // The reply being announced, until the handler takes it.
    std::optional<QByteArray> m_udpReply;
};
