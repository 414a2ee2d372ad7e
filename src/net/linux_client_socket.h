// SPDX-License-Identifier: GPL-3.0-or-later
// The client socket on Linux: one plain descriptor per connection or per
// UDP socket, watched by QSocketNotifier, and nothing else owning it. A
// frame goes to the kernel in the sending call, the receive result and
// errno tell an orderly close from a reset, and a caller can wait for a
// reply on the descriptor itself.
#pragma once

#include "net/client_socket.h"
#include "net/udp_destination.h"

#include <QHostAddress>
#include <QList>

#include <functional>

class QSocketNotifier;

class LinuxClientSocket final : public ClientSocket {
    Q_OBJECT
public:
    explicit LinuxClientSocket(QObject* parent = nullptr);
    ~LinuxClientSocket() override;

    static constexpr SocketAbilities kAbilities{true, true, true};
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
    enum class TcpState { Idle, LookingUp, Connecting, Connected };

    // A descriptor and the notifiers that watch it.
    struct Watched {
        int fd = -1;
        QSocketNotifier* readable = nullptr;
        QSocketNotifier* writable = nullptr;
    };

    void connectNext();
    void onConnectWritable();
    void onTcpReadable();
    void onTcpWritable();
    void flushUnsent();
    // The connection is over: the descriptor goes, and `end` is reported
    // from the event loop unless the caller closes first.
    void endConnection(const SocketEnd& end);
    void sendDatagram(const QByteArray& bytes, std::uint16_t port);
    bool openUdpSocket(int family);
    void onUdpReadable();
    void onHeldDone(const UdpDestination::Held& held);
    // Runs `step` on a later pass of the event loop, unless Close comes
    // first: events never come from inside the call that caused them.
    void post(std::function<void()> step);
    void release(Watched& watched);

    Protocol m_protocol = Protocol::Tcp;
    QString m_remoteHost;
    std::uint16_t m_remotePort = 0;
    // Bumped by Close, so steps posted for what it closed are dropped.
    quint64 m_generation = 0;

    TcpState m_tcpState = TcpState::Idle;
    Watched m_tcp;
    int m_lookupId = -1;
    // The addresses still to try, and why the last attempt failed.
    QList<QHostAddress> m_candidates;
    int m_connectErrno = 0;
    // Bytes read and announced, until the handler takes them; and bytes the
    // kernel has not taken yet, which go before any later frame.
    QByteArray m_arrived;
    QByteArray m_unsent;

    Watched m_udp;
    int m_udpFamily = 0;
    UdpDestination m_destination;
    // The datagram being announced, until the handler takes it.
    QByteArray m_datagram;
    bool m_datagramReady = false;
};
