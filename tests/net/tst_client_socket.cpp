// Tests of ClientSocket against in-process TCP and UDP peers on loopback.
#include "net/client_socket.h"

#include <QHostAddress>
#include <QNetworkDatagram>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>

#include <memory>
#include <sys/socket.h>

namespace {

constexpr std::uint16_t kTcpPort = 2004;
constexpr std::uint16_t kUdpPort = 2005;

// Every signal of one ClientSocket, recorded.
struct Spies {
    explicit Spies(ClientSocket& socket)
        : connected(&socket, &ClientSocket::connected)
        , dataArrival(&socket, &ClientSocket::dataArrival)
        , peerClosed(&socket, &ClientSocket::peerClosed)
        , error(&socket, &ClientSocket::error)
        , sendComplete(&socket, &ClientSocket::sendComplete)
    {
    }
    QSignalSpy connected;
    QSignalSpy dataArrival;
    QSignalSpy peerClosed;
    QSignalSpy error;
    QSignalSpy sendComplete;
};

// A TCP peer that records what it receives and, if asked, echoes it back.
class TcpPeer : public QObject {
public:
    TcpPeer(const char* address, bool echo)
        : m_echo(echo)
    {
        QObject::connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                m_connections.append(socket);
                QObject::connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
                    const QByteArray bytes = socket->readAll();
                    m_received += bytes;
                    if (m_echo)
                        socket->write(bytes);
                });
            }
        });
        m_listening = m_server.listen(QHostAddress(QString::fromLatin1(address)), kTcpPort);
    }
    bool listening() const { return m_listening; }
    QTcpSocket* last() const { return m_connections.isEmpty() ? nullptr : m_connections.last(); }
    int connectionCount() const { return int(m_connections.size()); }
    QByteArray received() const { return m_received; }

private:
    QTcpServer m_server;
    QList<QTcpSocket*> m_connections;
    QByteArray m_received;
    bool m_echo;
    bool m_listening = false;
};

// A UDP peer that records each datagram and, if asked, echoes it back.
class UdpPeer : public QObject {
public:
    UdpPeer(const char* address, bool echo)
        : m_echo(echo)
    {
        m_bound = m_socket.bind(QHostAddress(QString::fromLatin1(address)), kUdpPort);
        QObject::connect(&m_socket, &QUdpSocket::readyRead, this, [this] {
            while (m_socket.hasPendingDatagrams()) {
                const QNetworkDatagram datagram = m_socket.receiveDatagram();
                m_received.append(datagram.data());
                m_sender = datagram.senderAddress();
                m_senderPort = quint16(datagram.senderPort());
                if (m_echo)
                    m_socket.writeDatagram(datagram.data(), m_sender, m_senderPort);
            }
        });
    }
    bool bound() const { return m_bound; }
    QList<QByteArray> received() const { return m_received; }
    void reply(const QByteArray& bytes) { m_socket.writeDatagram(bytes, m_sender, m_senderPort); }

private:
    QUdpSocket m_socket;
    QList<QByteArray> m_received;
    QHostAddress m_sender;
    quint16 m_senderPort = 0;
    bool m_echo;
    bool m_bound = false;
};

// Appends whatever each dataArrival announces, as the window does.
void collectInto(ClientSocket& socket, QByteArray& sink, QList<QByteArray>* pieces = nullptr)
{
    QObject::connect(&socket, &ClientSocket::dataArrival, &socket, [&socket, &sink, pieces] {
        QByteArray chunk;
        socket.ReceiveAll(chunk);
        sink += chunk;
        if (pieces)
            pieces->append(chunk);
    });
}

} // namespace

class TestClientSocket : public QObject {
    Q_OBJECT

private slots:
    void framesArriveWholeAndInOrder_data();
    void framesArriveWholeAndInOrder();
    void udpOneEventPerDatagram_data();
    void udpOneEventPerDatagram();
    void peerCloseIsReportedOnce();
    void peerResetIsAnError();
    void refusedConnectIsAnError();
    void unresolvableHostIsAnError_data();
    void unresolvableHostIsAnError();
    void localhostResolvesForUdp();
    void ownCloseRaisesNoEvent_data();
    void ownCloseRaisesNoEvent();
    void misuseIsRefused_data();
    void misuseIsRefused();
    void reopensAfterClose();
};

void TestClientSocket::framesArriveWholeAndInOrder_data()
{
    QTest::addColumn<ClientSocket::Protocol>("protocol");
    QTest::newRow("tcp") << ClientSocket::Protocol::Tcp;
    QTest::newRow("udp") << ClientSocket::Protocol::Udp;
}

void TestClientSocket::framesArriveWholeAndInOrder()
{
    QFETCH(ClientSocket::Protocol, protocol);
    const bool tcp = protocol == ClientSocket::Protocol::Tcp;
    TcpPeer tcpPeer("127.0.0.30", true);
    UdpPeer udpPeer("127.0.0.30", true);
    QVERIFY(tcpPeer.listening() && udpPeer.bound());
    ClientSocket socket;
    QVERIFY(!socket.SetProtocol(protocol));
    Spies spies(socket);
    QByteArray echoed;
    QList<QByteArray> pieces;
    collectInto(socket, echoed, &pieces);
    socket.SetRemoteHost(QStringLiteral("127.0.0.30"));
    socket.SetRemotePort(tcp ? kTcpPort : kUdpPort);
    if (tcp) {
        QVERIFY(!socket.Connect());
        QTRY_COMPARE(spies.connected.count(), 1);
    }

    const QList<QByteArray> frames = {QByteArray("\x50\x00\x00\xff", 4), QByteArray(1400, 'x'),
                                      QByteArray(1, '\0')};
    QByteArray all;
    for (const QByteArray& frame : frames) {
        QVERIFY(!socket.SendBytes(frame));
        all += frame;
    }
    // Completion is announced after SendBytes has returned, once per send.
    QCOMPARE(spies.sendComplete.count(), 0);
    QTRY_COMPARE(echoed, all);
    QTRY_COMPARE(spies.sendComplete.count(), frames.size());
    if (tcp) {
        QCOMPARE(tcpPeer.received(), all);
        qint64 announced = 0;
        for (const QList<QVariant>& args : spies.dataArrival)
            announced += args.at(0).toInt();
        QCOMPARE(announced, all.size());
    } else {
        // Each datagram, even arriving back to back, is its own event.
        QCOMPARE(udpPeer.received(), frames);
        QCOMPARE(pieces, frames);
        QCOMPARE(spies.dataArrival.count(), frames.size());
        for (int i = 0; i < frames.size(); ++i)
            QCOMPARE(spies.dataArrival.at(i).at(0).toInt(), frames.at(i).size());
    }
    QCOMPARE(spies.error.count(), 0);
}

void TestClientSocket::udpOneEventPerDatagram_data()
{
    QTest::addColumn<int>("handler");
    QTest::addColumn<int>("expectedEvents");
    // 0: reads each datagram, 1: reads nothing, 2: closes the socket.
    QTest::newRow("handler reads") << 0 << 2;
    QTest::newRow("handler ignores") << 1 << 2;
    QTest::newRow("handler closes") << 2 << 1;
}

void TestClientSocket::udpOneEventPerDatagram()
{
    QFETCH(int, handler);
    QFETCH(int, expectedEvents);
    UdpPeer peer("127.0.0.31", false);
    QVERIFY(peer.bound());
    ClientSocket socket;
    QVERIFY(!socket.SetProtocol(ClientSocket::Protocol::Udp));
    Spies spies(socket);
    QList<QByteArray> pieces;
    connect(&socket, &ClientSocket::dataArrival, &socket, [&] {
        if (handler == 0) {
            QByteArray chunk;
            socket.ReceiveAll(chunk);
            pieces.append(chunk);
        } else if (handler == 2) {
            socket.Close();
        }
    });
    socket.SetRemoteHost(QStringLiteral("127.0.0.31"));
    socket.SetRemotePort(kUdpPort);
    QVERIFY(!socket.SendBytes("hello"));
    QTRY_COMPARE(peer.received().size(), 1);

    // Both replies are queued at the client before its event loop runs.
    peer.reply("first");
    peer.reply("second!");
    QTRY_VERIFY(spies.dataArrival.count() >= expectedEvents);
    QTest::qWait(100);
    QCOMPARE(spies.dataArrival.count(), expectedEvents);
    QCOMPARE(spies.dataArrival.at(0).at(0).toInt(), 5);
    if (expectedEvents > 1)
        QCOMPARE(spies.dataArrival.at(1).at(0).toInt(), 7);
    if (handler == 0)
        QCOMPARE(pieces, (QList<QByteArray>{"first", "second!"}));
    QCOMPARE(spies.error.count(), 0);
}

void TestClientSocket::peerCloseIsReportedOnce()
{
    TcpPeer peer("127.0.0.32", false);
    QVERIFY(peer.listening());
    ClientSocket socket;
    Spies spies(socket);
    QByteArray received;
    collectInto(socket, received);
    socket.SetRemoteHost(QStringLiteral("127.0.0.32"));
    socket.SetRemotePort(kTcpPort);
    QVERIFY(!socket.Connect());
    QTRY_VERIFY(peer.last() != nullptr);
    QTRY_COMPARE(spies.connected.count(), 1);

    // The last words before the close must still be delivered.
    peer.last()->write("bye");
    peer.last()->disconnectFromHost();
    QTRY_COMPARE(spies.peerClosed.count(), 1);
    QCOMPARE(received, QByteArray("bye"));
    QTest::qWait(100);
    QCOMPARE(spies.peerClosed.count(), 1);
    QCOMPARE(spies.error.count(), 0);
    QVERIFY(socket.SendBytes("late").has_value());
    QVERIFY(!socket.SetProtocol(ClientSocket::Protocol::Udp));
}

void TestClientSocket::peerResetIsAnError()
{
    TcpPeer peer("127.0.0.34", false);
    QVERIFY(peer.listening());
    ClientSocket socket;
    Spies spies(socket);
    socket.SetRemoteHost(QStringLiteral("127.0.0.34"));
    socket.SetRemotePort(kTcpPort);
    QVERIFY(!socket.Connect());
    QTRY_VERIFY(peer.last() != nullptr);
    QTRY_COMPARE(spies.connected.count(), 1);

    // A zero linger time turns the close into a reset.
    const linger abortive{1, 0};
    QCOMPARE(
        ::setsockopt(int(peer.last()->socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive),
        0);
    peer.last()->abort();
    QTRY_COMPARE(spies.error.count(), 1);
    QVERIFY(spies.error.at(0).at(1).toString().contains(QStringLiteral("reset"), Qt::CaseInsensitive));
    QTest::qWait(100);
    QCOMPARE(spies.error.count(), 1);
    QCOMPARE(spies.peerClosed.count(), 0);
    QVERIFY(!socket.SetProtocol(ClientSocket::Protocol::Udp));
}

void TestClientSocket::refusedConnectIsAnError()
{
    ClientSocket socket;
    Spies spies(socket);
    socket.SetRemoteHost(QStringLiteral("127.0.0.33"));
    socket.SetRemotePort(kTcpPort);
    QVERIFY(!socket.Connect());
    QTRY_COMPARE(spies.error.count(), 1);
    QCOMPARE(spies.error.at(0).at(0).toInt(), int(QAbstractSocket::ConnectionRefusedError));
    QVERIFY(!spies.error.at(0).at(1).toString().isEmpty());
    QTest::qWait(100);
    QCOMPARE(spies.error.count(), 1);
    QCOMPARE(spies.connected.count() + spies.peerClosed.count(), 0);
    // The failed attempt leaves the socket closed and usable.
    QVERIFY(!socket.Connect());
    QTRY_COMPARE(spies.error.count(), 2);
}

void TestClientSocket::unresolvableHostIsAnError_data()
{
    QTest::addColumn<ClientSocket::Protocol>("protocol");
    QTest::newRow("tcp") << ClientSocket::Protocol::Tcp;
    QTest::newRow("udp") << ClientSocket::Protocol::Udp;
}

void TestClientSocket::unresolvableHostIsAnError()
{
    QFETCH(ClientSocket::Protocol, protocol);
    ClientSocket socket;
    QVERIFY(!socket.SetProtocol(protocol));
    Spies spies(socket);
    socket.SetRemoteHost(QStringLiteral("no-such-host.invalid"));
    socket.SetRemotePort(protocol == ClientSocket::Protocol::Tcp ? kTcpPort : kUdpPort);
    if (protocol == ClientSocket::Protocol::Tcp)
        QVERIFY(!socket.Connect());
    else
        QVERIFY(!socket.SendBytes("x"));
    QCOMPARE(spies.error.count(), 0);
    QTRY_COMPARE(spies.error.count(), 1);
    QCOMPARE(spies.error.at(0).at(0).toInt(), int(QAbstractSocket::HostNotFoundError));
    QVERIFY(!spies.error.at(0).at(1).toString().isEmpty());
    QCOMPARE(spies.connected.count() + spies.sendComplete.count(), 0);
    // Nothing was opened, so the protocol may change.
    const auto other =
        protocol == ClientSocket::Protocol::Tcp ? ClientSocket::Protocol::Udp : ClientSocket::Protocol::Tcp;
    QVERIFY(!socket.SetProtocol(other));
}

void TestClientSocket::localhostResolvesForUdp()
{
    ClientSocket socket;
    QVERIFY(!socket.SetProtocol(ClientSocket::Protocol::Udp));
    Spies spies(socket);
    socket.SetRemoteHost(QStringLiteral("localhost"));
    // The discard port, so the datagram bothers no one.
    socket.SetRemotePort(9);
    QVERIFY(!socket.SendBytes("ping"));
    QTRY_COMPARE(spies.sendComplete.count(), 1);
    QTest::qWait(100);
    QCOMPARE(spies.error.count(), 0);
    // The datagram went out, so the socket is now bound.
    QVERIFY(socket.SetProtocol(ClientSocket::Protocol::Tcp).has_value());
}

enum class OpenState { Never, TcpConnecting, TcpConnected, UdpBound };
Q_DECLARE_METATYPE(OpenState)

void TestClientSocket::ownCloseRaisesNoEvent_data()
{
    QTest::addColumn<OpenState>("state");
    QTest::newRow("never opened") << OpenState::Never;
    QTest::newRow("tcp connecting") << OpenState::TcpConnecting;
    QTest::newRow("tcp connected") << OpenState::TcpConnected;
    QTest::newRow("udp bound") << OpenState::UdpBound;
}

void TestClientSocket::ownCloseRaisesNoEvent()
{
    QFETCH(OpenState, state);
    TcpPeer tcpPeer("127.0.0.35", false);
    UdpPeer udpPeer("127.0.0.36", false);
    QVERIFY(tcpPeer.listening() && udpPeer.bound());
    ClientSocket socket;
    Spies spies(socket);

    if (state == OpenState::TcpConnecting || state == OpenState::TcpConnected) {
        // Connecting to a port with no listener would fail at once were the
        // close not to stop it first.
        socket.SetRemoteHost(
            QString::fromLatin1(state == OpenState::TcpConnecting ? "127.0.0.33" : "127.0.0.35"));
        socket.SetRemotePort(kTcpPort);
        QVERIFY(!socket.Connect());
        if (state == OpenState::TcpConnected) {
            QTRY_COMPARE(spies.connected.count(), 1);
            QTRY_VERIFY(tcpPeer.last() != nullptr);
        }
    } else if (state == OpenState::UdpBound) {
        QVERIFY(!socket.SetProtocol(ClientSocket::Protocol::Udp));
        socket.SetRemoteHost(QStringLiteral("127.0.0.36"));
        socket.SetRemotePort(kUdpPort);
        QVERIFY(!socket.SendBytes("x"));
        QTRY_COMPARE(udpPeer.received().size(), 1);
    }
    const int connectedBefore = int(spies.connected.count());
    const int sentBefore = int(spies.sendComplete.count());

    socket.Close();
    socket.Close();
    QTest::qWait(100);
    socket.Close();

    if (state == OpenState::TcpConnected)
        QTRY_COMPARE(tcpPeer.last()->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(spies.connected.count(), connectedBefore);
    QCOMPARE(spies.peerClosed.count(), 0);
    QCOMPARE(spies.error.count(), 0);
    QCOMPARE(spies.sendComplete.count(), sentBefore);
    QCOMPARE(spies.dataArrival.count(), 0);
    const auto other = socket.protocol() == ClientSocket::Protocol::Tcp ? ClientSocket::Protocol::Udp
                                                                        : ClientSocket::Protocol::Tcp;
    QVERIFY(!socket.SetProtocol(other));
}

enum class Misuse {
    SendNeverConnected,
    SendAfterClose,
    SecondConnectWhileConnecting,
    ConnectWhileConnected,
    TcpToUdpWhileConnected,
    UdpToTcpWhileBound,
    ConnectOverUdp,
    TcpSendWithoutHost,
    UdpSendWithoutHost,
    ConnectWithoutHost,
};
Q_DECLARE_METATYPE(Misuse)

void TestClientSocket::misuseIsRefused_data()
{
    QTest::addColumn<Misuse>("misuse");
    QTest::addColumn<QString>("reason");
    const QString notConnected = QStringLiteral("The socket is not connected.");
    const QString closeFirst = QStringLiteral("Close the socket before changing the protocol.");
    const QString noHost = QStringLiteral("No remote host is set.");
    QTest::newRow("send, never connected") << Misuse::SendNeverConnected << notConnected;
    QTest::newRow("send after close") << Misuse::SendAfterClose << notConnected;
    QTest::newRow("second connect while connecting")
        << Misuse::SecondConnectWhileConnecting << QStringLiteral("A connection is already being opened.");
    QTest::newRow("connect while connected")
        << Misuse::ConnectWhileConnected << QStringLiteral("The socket is already connected.");
    QTest::newRow("to udp while connected") << Misuse::TcpToUdpWhileConnected << closeFirst;
    QTest::newRow("to tcp while bound") << Misuse::UdpToTcpWhileBound << closeFirst;
    QTest::newRow("connect over udp")
        << Misuse::ConnectOverUdp
        << QStringLiteral("UDP sends without a connection; Connect is only used with TCP.");
    QTest::newRow("tcp send without host") << Misuse::TcpSendWithoutHost << noHost;
    QTest::newRow("udp send without host") << Misuse::UdpSendWithoutHost << noHost;
    QTest::newRow("connect without host") << Misuse::ConnectWithoutHost << noHost;
}

void TestClientSocket::misuseIsRefused()
{
    QFETCH(Misuse, misuse);
    QFETCH(QString, reason);
    TcpPeer tcpPeer("127.0.0.37", false);
    UdpPeer udpPeer("127.0.0.37", false);
    QVERIFY(tcpPeer.listening() && udpPeer.bound());
    ClientSocket socket;
    Spies spies(socket);
    const auto openTcp = [&] {
        socket.SetRemoteHost(QStringLiteral("127.0.0.37"));
        socket.SetRemotePort(kTcpPort);
        return socket.Connect();
    };

    SocketRefusal refusal;
    switch (misuse) {
    case Misuse::SendNeverConnected:
        socket.SetRemoteHost(QStringLiteral("127.0.0.37"));
        refusal = socket.SendBytes("x");
        break;
    case Misuse::SendAfterClose:
        QVERIFY(!openTcp());
        QTRY_COMPARE(spies.connected.count(), 1);
        socket.Close();
        refusal = socket.SendBytes("x");
        break;
    case Misuse::SecondConnectWhileConnecting:
        QVERIFY(!openTcp());
        refusal = socket.Connect();
        break;
    case Misuse::ConnectWhileConnected:
        QVERIFY(!openTcp());
        QTRY_COMPARE(spies.connected.count(), 1);
        refusal = socket.Connect();
        break;
    case Misuse::TcpToUdpWhileConnected:
        QVERIFY(!openTcp());
        QTRY_COMPARE(spies.connected.count(), 1);
        refusal = socket.SetProtocol(ClientSocket::Protocol::Udp);
        break;
    case Misuse::UdpToTcpWhileBound:
        QVERIFY(!socket.SetProtocol(ClientSocket::Protocol::Udp));
        socket.SetRemoteHost(QStringLiteral("127.0.0.37"));
        socket.SetRemotePort(kUdpPort);
        QVERIFY(!socket.SendBytes("x"));
        QTRY_COMPARE(udpPeer.received().size(), 1);
        refusal = socket.SetProtocol(ClientSocket::Protocol::Tcp);
        break;
    case Misuse::ConnectOverUdp:
        QVERIFY(!socket.SetProtocol(ClientSocket::Protocol::Udp));
        socket.SetRemoteHost(QStringLiteral("127.0.0.37"));
        refusal = socket.Connect();
        break;
    case Misuse::TcpSendWithoutHost:
        refusal = socket.SendBytes("x");
        break;
    case Misuse::UdpSendWithoutHost:
        QVERIFY(!socket.SetProtocol(ClientSocket::Protocol::Udp));
        refusal = socket.SendBytes("x");
        break;
    case Misuse::ConnectWithoutHost:
        refusal = socket.Connect();
        break;
    }
    QCOMPARE(refusal, std::optional<QString>(reason));

    QTest::qWait(100);
    QCOMPARE(spies.error.count(), 0);
    QCOMPARE(spies.peerClosed.count(), 0);
    QCOMPARE(spies.sendComplete.count(), misuse == Misuse::UdpToTcpWhileBound ? 1 : 0);
    // A refused second connect leaves the first attempt running.
    if (misuse == Misuse::SecondConnectWhileConnecting)
        QTRY_COMPARE(spies.connected.count(), 1);
    QCOMPARE(tcpPeer.connectionCount(), int(spies.connected.count()));
}

void TestClientSocket::reopensAfterClose()
{
    TcpPeer tcpPeer("127.0.0.38", true);
    UdpPeer udpPeer("127.0.0.38", true);
    QVERIFY(tcpPeer.listening() && udpPeer.bound());
    ClientSocket socket;
    Spies spies(socket);
    QByteArray received;
    collectInto(socket, received);
    socket.SetRemoteHost(QStringLiteral("127.0.0.38"));

    socket.SetRemotePort(kTcpPort);
    QVERIFY(!socket.Connect());
    QTRY_COMPARE(spies.connected.count(), 1);
    socket.Close();
    QVERIFY(!socket.Connect());
    QTRY_COMPARE(spies.connected.count(), 2);
    QCOMPARE(tcpPeer.connectionCount(), 2);
    QVERIFY(!socket.SendBytes("again"));
    QTRY_COMPARE(received, QByteArray("again"));
    socket.Close();

    QVERIFY(!socket.SetProtocol(ClientSocket::Protocol::Udp));
    socket.SetRemotePort(kUdpPort);
    QVERIFY(!socket.SendBytes("one"));
    QTRY_COMPARE(received, QByteArray("againone"));
    socket.Close();
    QVERIFY(!socket.SendBytes("two"));
    QTRY_COMPARE(received, QByteArray("againonetwo"));
    QCOMPARE(spies.error.count(), 0);
    QCOMPARE(spies.peerClosed.count(), 0);
}

QTEST_GUILESS_MAIN(TestClientSocket)
#include "tst_client_socket.moc"
