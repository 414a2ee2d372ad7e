// SPDX-License-Identifier: GPL-3.0-or-later
// Tests of the client socket against in-process TCP and UDP peers on
// loopback; every test runs once per backend the build has.
#include "net/client_socket.h"
#include "net/socket_backends.h"

#include "harness/loopback_peers.h"

#include <QFile>
#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkDatagram>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <memory>
#include <optional>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

Q_DECLARE_METATYPE(SocketBackend)

namespace {

// The socket under test, on the backend of the test's global row.
std::unique_ptr<ClientSocket> newSocket()
{
    QFETCH_GLOBAL(SocketBackend, backend);
    return std::unique_ptr<ClientSocket>(makeClientSocket(nullptr, backend));
}

// The end reported by the spy's `i`th error().
SocketEnd endAt(const QSignalSpy& spy, int i)
{
    return spy.at(i).at(0).value<SocketEnd>();
}

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

// A port on `address` where nothing listens, so a connection is refused.
std::uint16_t closedTcpPort(const QString& address)
{
    QTcpServer probe;
    return probe.listen(QHostAddress(address), 0) ? probe.serverPort() : 0;
}

bool ipv6Loopback()
{
    QUdpSocket probe;
    return probe.bind(QHostAddress::LocalHostIPv6, 0);
}

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

// Set in a run of the test binary whose /etc/hosts is the test's own.
constexpr char kOwnHostsVariable[] = "VEXA_TEST_OWN_HOSTS";
// The name that file gives several addresses.
const QString kSeveralAddressesName = QStringLiteral("vexa-module.test");

// Why the test binary cannot be run again with a hosts file of its own, or
// nothing when it can: binding a file over /etc/hosts, in a mount namespace
// of that run alone, takes root and unshare.
std::optional<QString> noOwnHosts()
{
    if (::geteuid() != 0)
        return QStringLiteral("binding a hosts file of the test's own takes root");
    if (QStandardPaths::findExecutable(QStringLiteral("unshare")).isEmpty())
        return QStringLiteral("unshare is not installed");
    if (QProcess::execute(QStringLiteral("unshare"), {QStringLiteral("--mount"), QStringLiteral("true")})
        != 0)
        return QStringLiteral("unshare cannot make a mount namespace here");
    return std::nullopt;
}

// Runs `test` ("function:tag") of this binary again, its /etc/hosts being
// the system's with `lines` added. The file is bound over /etc/hosts in a
// private mount namespace of that process only, so the system's file is
// never touched. Returns its exit code (-1: it did not end in time) and
// everything it printed.
std::pair<int, QString> runWithOwnHosts(const QByteArray& lines, const QString& test)
{
    QTemporaryDir dir;
    const QString hosts = dir.filePath(QStringLiteral("hosts"));
    QFile system(QStringLiteral("/etc/hosts"));
    QFile own(hosts);
    if (!dir.isValid() || !system.open(QIODevice::ReadOnly) || !own.open(QIODevice::WriteOnly))
        return {-1, QStringLiteral("cannot write %1").arg(hosts)};
    own.write(system.readAll() + "\n" + lines);
    own.close();
    QProcess run;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QLatin1String(kOwnHostsVariable), QStringLiteral("1"));
    run.setProcessEnvironment(environment);
    run.setProcessChannelMode(QProcess::MergedChannels);
    run.start(QStringLiteral("unshare"),
              {QStringLiteral("--mount"), QStringLiteral("--propagation"), QStringLiteral("private"),
               QStringLiteral("sh"), QStringLiteral("-c"),
               QStringLiteral("mount --bind \"$0\" /etc/hosts && exec \"$@\""), hosts,
               QCoreApplication::applicationFilePath(), test});
    const bool ended = run.waitForFinished(60000);
    const QString output = QString::fromLocal8Bit(run.readAll());
    if (!ended || run.exitStatus() != QProcess::NormalExit)
        return {-1, output};
    return {run.exitCode(), output};
}

} // namespace

class TestClientSocket : public QObject {
    Q_OBJECT

private slots:
    void initTestCase_data();
    void framesArriveWholeAndInOrder_data();
    void framesArriveWholeAndInOrder();
    void udpOneEventPerDatagram_data();
    void udpOneEventPerDatagram();
    void udpStrayDatagramsAreDropped_data();
    void udpStrayDatagramsAreDropped();
    void peerCloseIsReportedOnce();
    void peerResetIsReported();
    void refusedConnectIsAnError();
    void unresolvableHostIsAnError_data();
    void unresolvableHostIsAnError();
    void localhostResolvesForUdp_data();
    void localhostResolvesForUdp();
    void hostNameOfSeveralAddresses_data();
    void hostNameOfSeveralAddresses();
    void ownCloseRaisesNoEvent_data();
    void ownCloseRaisesNoEvent();
    void misuseIsRefused_data();
    void misuseIsRefused();
    void reopensAfterClose();
    void waitingTakesWhatTheEventLoopWould_data();
    void waitingTakesWhatTheEventLoopWould();
};

void TestClientSocket::initTestCase_data()
{
    QTest::addColumn<SocketBackend>("backend");
    for (SocketBackend backend : availableSocketBackends())
        QTest::newRow(qPrintable(socketBackendName(backend))) << backend;
}

void TestClientSocket::framesArriveWholeAndInOrder_data()
{
    QTest::addColumn<ClientSocket::Protocol>("protocol");
    QTest::addColumn<QString>("peerAddress");
    QTest::addColumn<QString>("host");
    const auto tcp = ClientSocket::Protocol::Tcp;
    const auto udp = ClientSocket::Protocol::Udp;
    const QString v4 = QStringLiteral("127.0.0.30");
    const QString v6 = QStringLiteral("::1");
    QTest::newRow("tcp") << tcp << v4 << v4;
    QTest::newRow("udp") << udp << v4 << v4;
    QTest::newRow("tcp to a bare ipv6 address") << tcp << v6 << v6;
    QTest::newRow("tcp to an ipv6 address in brackets") << tcp << v6 << QStringLiteral("[::1]");
    QTest::newRow("udp to a bare ipv6 address") << udp << v6 << v6;
    QTest::newRow("udp to an ipv6 address in brackets") << udp << v6 << QStringLiteral("[::1]");
    // Where "localhost" lists ::1 first, nothing listens there, and the
    // connection must go on to the next address.
    QTest::newRow("tcp to a name") << tcp << QStringLiteral("127.0.0.1") << QStringLiteral("localhost");
}

void TestClientSocket::framesArriveWholeAndInOrder()
{
    QFETCH(ClientSocket::Protocol, protocol);
    QFETCH(QString, peerAddress);
    QFETCH(QString, host);
    if (peerAddress.contains(QLatin1Char(':')) && !ipv6Loopback())
        QSKIP("this machine has no IPv6 loopback address");
    const bool tcp = protocol == ClientSocket::Protocol::Tcp;
    TcpPeer tcpPeer(peerAddress, 0, PeerReply::Echo);
    UdpPeer udpPeer(peerAddress, 0, PeerReply::Echo);
    QVERIFY(tcpPeer.isListening());
    QVERIFY(udpPeer.isBound());
    const auto owned = newSocket();
    ClientSocket& socket = *owned;
    QVERIFY(!socket.SetProtocol(protocol));
    Spies spies(socket);
    QByteArray echoed;
    QList<QByteArray> pieces;
    collectInto(socket, echoed, &pieces);
    socket.SetRemoteHost(host);
    socket.SetRemotePort(tcp ? tcpPeer.port() : udpPeer.port());
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
    // Completion is announced once per send, by the time SendBytes returns.
    QCOMPARE(spies.sendComplete.count(), frames.size());
    QTRY_COMPARE(echoed, all);
    if (tcp) {
        QCOMPARE(tcpPeer.received(), all);
        qint64 announced = 0;
        for (const QList<QVariant>& args : spies.dataArrival)
            announced += args.at(0).toInt();
        QCOMPARE(announced, all.size());
    } else {
        // Each datagram, even arriving back to back, is its own event.
        QCOMPARE(udpPeer.datagrams(), frames);
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
    UdpPeer peer(QStringLiteral("127.0.0.31"), 0);
    QVERIFY(peer.isBound());
    const auto owned = newSocket();
    ClientSocket& socket = *owned;
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
    socket.SetRemotePort(peer.port());
    QVERIFY(!socket.SendBytes("hello"));
    QTRY_COMPARE(peer.datagrams().size(), 1);

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

void TestClientSocket::udpStrayDatagramsAreDropped_data()
{
    QTest::addColumn<QString>("strayAddress");
    QTest::addColumn<bool>("peerPort");
    QTest::newRow("from the peer's address, another port") << QStringLiteral("127.0.0.39") << false;
    QTest::newRow("from another address, the peer's port") << QStringLiteral("127.0.0.40") << true;
    QTest::newRow("from another address and port") << QStringLiteral("127.0.0.40") << false;
}

void TestClientSocket::udpStrayDatagramsAreDropped()
{
    QFETCH(QString, strayAddress);
    QFETCH(bool, peerPort);
    UdpPeer peer(QStringLiteral("127.0.0.39"), 0);
    QVERIFY(peer.isBound());
    UdpPeer stray(strayAddress, peerPort ? peer.port() : 0);
    QVERIFY(stray.isBound());
    const auto owned = newSocket();
    ClientSocket& socket = *owned;
    QVERIFY(!socket.SetProtocol(ClientSocket::Protocol::Udp));
    Spies spies(socket);
    QByteArray received;
    QList<QByteArray> pieces;
    collectInto(socket, received, &pieces);
    socket.SetRemoteHost(QStringLiteral("127.0.0.39"));
    socket.SetRemotePort(peer.port());
    QVERIFY(!socket.SendBytes("hello"));
    QTRY_COMPARE(peer.datagrams().size(), 1);

    // The stray datagram reaches the client's port ahead of the reply.
    stray.sendTo("stray!", peer.sender(), peer.senderPort());
    peer.reply("reply");
    QTRY_VERIFY(pieces.contains("reply"));
    QCOMPARE(pieces, QList<QByteArray>{"reply"});
    QCOMPARE(spies.dataArrival.count(), 1);
    QCOMPARE(spies.dataArrival.at(0).at(0).toInt(), 5);
    QCOMPARE(spies.error.count(), 0);
}

void TestClientSocket::peerCloseIsReportedOnce()
{
    TcpPeer peer(QStringLiteral("127.0.0.32"), 0);
    QVERIFY(peer.isListening());
    const auto owned = newSocket();
    ClientSocket& socket = *owned;
    Spies spies(socket);
    QByteArray received;
    collectInto(socket, received);
    socket.SetRemoteHost(QStringLiteral("127.0.0.32"));
    socket.SetRemotePort(peer.port());
    QVERIFY(!socket.Connect());
    QTRY_VERIFY(peer.socket() != nullptr);
    QTRY_COMPARE(spies.connected.count(), 1);

    // The last words before the close must still be delivered.
    peer.socket()->write("bye");
    peer.socket()->disconnectFromHost();
    QTRY_COMPARE(spies.peerClosed.count(), 1);
    QCOMPARE(received, QByteArray("bye"));
    QTest::qWait(100);
    QCOMPARE(spies.peerClosed.count(), 1);
    QCOMPARE(spies.error.count(), 0);
    QVERIFY(socket.SendBytes("late").has_value());
    QVERIFY(!socket.SetProtocol(ClientSocket::Protocol::Udp));
}

void TestClientSocket::peerResetIsReported()
{
    TcpPeer peer(QStringLiteral("127.0.0.34"), 0);
    QVERIFY(peer.isListening());
    const auto owned = newSocket();
    ClientSocket& socket = *owned;
    Spies spies(socket);
    socket.SetRemoteHost(QStringLiteral("127.0.0.34"));
    socket.SetRemotePort(peer.port());
    QVERIFY(!socket.Connect());
    QTRY_VERIFY(peer.socket() != nullptr);
    QTRY_COMPARE(spies.connected.count(), 1);

    // A zero linger time turns the close into a reset.
    const linger abortive{1, 0};
    QCOMPARE(::setsockopt(int(peer.socket()->socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive,
                          sizeof abortive),
             0);
    peer.socket()->abort();
    if (socket.abilities().reportsPeerReset) {
        QTRY_COMPARE(spies.error.count(), 1);
        QCOMPARE(endAt(spies.error, 0).reason, SocketEnd::Reason::Reset);
        QVERIFY(endAt(spies.error, 0).description.contains(QStringLiteral("reset"), Qt::CaseInsensitive));
    } else {
        // Plain Qt reports a reset as the peer closing.
        QTRY_COMPARE(spies.peerClosed.count(), 1);
    }
    QTest::qWait(100);
    QCOMPARE(spies.error.count() + spies.peerClosed.count(), 1);
    QVERIFY(!socket.SetProtocol(ClientSocket::Protocol::Udp));
}

void TestClientSocket::refusedConnectIsAnError()
{
    const QString address = QStringLiteral("127.0.0.33");
    const std::uint16_t port = closedTcpPort(address);
    QVERIFY2(port != 0, "no free TCP port on 127.0.0.33");
    const auto owned = newSocket();
    ClientSocket& socket = *owned;
    Spies spies(socket);
    socket.SetRemoteHost(address);
    socket.SetRemotePort(port);
    QVERIFY(!socket.Connect());
    QTRY_COMPARE(spies.error.count(), 1);
    QCOMPARE(endAt(spies.error, 0).reason, SocketEnd::Reason::Refused);
    QVERIFY(!endAt(spies.error, 0).description.isEmpty());
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
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("hostBeforeProtocol");
    const auto tcp = ClientSocket::Protocol::Tcp;
    const auto udp = ClientSocket::Protocol::Udp;
    const QString unknown = QStringLiteral("no-such-host.invalid");
    const QString bracketedV4 = QStringLiteral("[127.0.0.33]");
    QTest::newRow("tcp, unknown name") << tcp << unknown << false;
    QTest::newRow("tcp, ipv4 address in brackets") << tcp << bracketedV4 << false;
    QTest::newRow("udp, unknown name") << udp << unknown << false;
    QTest::newRow("udp, unknown name set before choosing udp") << udp << unknown << true;
    QTest::newRow("udp, ipv4 address in brackets") << udp << bracketedV4 << false;
}

void TestClientSocket::unresolvableHostIsAnError()
{
    QFETCH(ClientSocket::Protocol, protocol);
    QFETCH(QString, host);
    QFETCH(bool, hostBeforeProtocol);
    const auto owned = newSocket();
    ClientSocket& socket = *owned;
    if (hostBeforeProtocol)
        socket.SetRemoteHost(host);
    QVERIFY(!socket.SetProtocol(protocol));
    Spies spies(socket);
    socket.SetRemoteHost(host);
    socket.SetRemotePort(9);
    const bool tcp = protocol == ClientSocket::Protocol::Tcp;
    if (tcp) {
        QVERIFY(!socket.Connect());
    } else {
        // Both sends return before the name is known; only the latest waits
        // for the answer, so one failed lookup is one error.
        QVERIFY(!socket.SendBytes("x"));
        QVERIFY(!socket.SendBytes("y"));
    }
    QCOMPARE(spies.error.count(), 0);
    QTRY_COMPARE(spies.error.count(), 1);
    QCOMPARE(endAt(spies.error, 0).reason, SocketEnd::Reason::Failed);
    const QString text = endAt(spies.error, 0).description;
    QVERIFY(!text.isEmpty());
    if (!tcp) {
        // Qt's own description of the failure, shown unchanged.
        QCOMPARE(text, QHostInfo::fromName(host).errorString());
        QTest::qWait(100);
        QCOMPARE(spies.error.count(), 1);
        // The failure stands for this host: a later send fails at once.
        QVERIFY(!socket.SendBytes("z"));
        QCOMPARE(spies.error.count(), 1);
        QTRY_COMPARE(spies.error.count(), 2);
        QCOMPARE(endAt(spies.error, 1).description, text);
    }
    QCOMPARE(spies.connected.count() + spies.sendComplete.count(), 0);
    // Nothing was opened, so the protocol may change.
    QVERIFY(!socket.SetProtocol(tcp ? ClientSocket::Protocol::Udp : ClientSocket::Protocol::Tcp));
}

void TestClientSocket::localhostResolvesForUdp_data()
{
    QTest::addColumn<bool>("hostBeforeProtocol");
    QTest::addColumn<QList<QByteArray>>("sends");
    QTest::newRow("one send while the name is looked up") << false << QList<QByteArray>{"ping"};
    QTest::newRow("the latest of two sends while the name is looked up")
        << false << QList<QByteArray>{"first", "second"};
    QTest::newRow("name set before choosing udp") << true << QList<QByteArray>{"ping"};
}

void TestClientSocket::localhostResolvesForUdp()
{
    QFETCH(bool, hostBeforeProtocol);
    QFETCH(QList<QByteArray>, sends);
    // "localhost" is 127.0.0.1 here, whatever else it may also name.
    UdpPeer peer(QStringLiteral("127.0.0.1"), 0, PeerReply::Echo);
    QVERIFY(peer.isBound());
    const auto owned = newSocket();
    ClientSocket& socket = *owned;
    if (hostBeforeProtocol)
        socket.SetRemoteHost(QStringLiteral("localhost"));
    QVERIFY(!socket.SetProtocol(ClientSocket::Protocol::Udp));
    Spies spies(socket);
    QByteArray echoed;
    collectInto(socket, echoed);
    socket.SetRemoteHost(QStringLiteral("localhost"));
    socket.SetRemotePort(peer.port());
    for (const QByteArray& bytes : sends)
        QVERIFY(!socket.SendBytes(bytes));

    QTRY_COMPARE(echoed, sends.last());
    QCOMPARE(peer.datagrams(), QList<QByteArray>{sends.last()});
    QTRY_COMPARE(spies.sendComplete.count(), 1);
    QCOMPARE(spies.error.count(), 0);
    // Once the address is known, sends go out at once.
    QVERIFY(!socket.SendBytes("again"));
    QTRY_COMPARE(peer.datagrams().size(), 2);
    // The datagram went out, so the socket is now bound.
    QVERIFY(socket.SetProtocol(ClientSocket::Protocol::Tcp).has_value());
}

enum class OpenState { Never, TcpConnecting, TcpConnected, UdpBound, UdpLookingUp, UdpLookupFailed };
Q_DECLARE_METATYPE(OpenState)

void TestClientSocket::hostNameOfSeveralAddresses_data()
{
    QTest::addColumn<ClientSocket::Protocol>("protocol");
    QTest::addColumn<QStringList>("addresses"); // the name's, in the order the hosts file lists them
    QTest::addColumn<QString>("listening"); // the only one where the peer is
    const auto tcp = ClientSocket::Protocol::Tcp;
    const auto udp = ClientSocket::Protocol::Udp;
    const QString module = QStringLiteral("127.0.0.189");
    QTest::newRow("tcp, ipv6 first, the peer on ipv4") << tcp << QStringList{"::1", module} << module;
    QTest::newRow("tcp, the first ipv4 address refuses")
        << tcp << QStringList{"127.0.0.190", module} << module;
    QTest::newRow("udp, ipv6 first, the peer on ipv4") << udp << QStringList{"::1", module} << module;
}

// A name whose first address has nothing of the peer's behind it: TCP goes
// on to the next address, and UDP sends to the name's IPv4 address, where
// the module listens. This machine's own names have one address each, so
// the test runs again under a hosts file of its own.
void TestClientSocket::hostNameOfSeveralAddresses()
{
    QFETCH_GLOBAL(SocketBackend, backend);
    QFETCH(ClientSocket::Protocol, protocol);
    QFETCH(QStringList, addresses);
    QFETCH(QString, listening);
    if (!qEnvironmentVariableIsSet(kOwnHostsVariable)) {
        if (const std::optional<QString> why = noOwnHosts())
            QSKIP(qPrintable(*why));
        QByteArray lines;
        for (const QString& address : addresses)
            lines += address.toLatin1() + ' ' + kSeveralAddressesName.toLatin1() + '\n';
        const QString function = QLatin1String(QTest::currentTestFunction());
        const QString tag = socketBackendName(backend) + u':' + QLatin1String(QTest::currentDataTag());
        const auto [exitCode, output] = runWithOwnHosts(lines, function + u':' + tag);
        // It ran this very row, and the row passed.
        QVERIFY2(
            exitCode == 0
                && output.contains(QStringLiteral("PASS   : TestClientSocket::%1(%2)").arg(function, tag)),
            qPrintable(output));
        return;
    }

    // Under the test's own hosts file: the name lists its addresses in order.
    QList<QHostAddress> expected;
    for (const QString& address : addresses)
        expected << QHostAddress(address);
    QCOMPARE(QHostInfo::fromName(kSeveralAddressesName).addresses(), expected);

    const bool tcp = protocol == ClientSocket::Protocol::Tcp;
    TcpPeer tcpPeer(listening, 0, PeerReply::Echo);
    UdpPeer udpPeer(listening, 0, PeerReply::Echo);
    const auto owned = newSocket();
    ClientSocket& socket = *owned;
    QVERIFY(!socket.SetProtocol(protocol));
    Spies spies(socket);
    QByteArray echoed;
    collectInto(socket, echoed);
    socket.SetRemoteHost(kSeveralAddressesName);
    socket.SetRemotePort(tcp ? tcpPeer.port() : udpPeer.port());
    if (tcp) {
        QVERIFY(!socket.Connect());
        QTRY_VERIFY(spies.connected.count() == 1 || spies.error.count() > 0);
        QCOMPARE(spies.error.count(), 0);
    }
    QVERIFY(!socket.SendBytes("ping"));
    QTRY_COMPARE(echoed, QByteArray("ping"));
    if (tcp)
        QCOMPARE(tcpPeer.received(), QByteArray("ping"));
    else
        QCOMPARE(udpPeer.datagrams(), QList<QByteArray>{"ping"});
    QCOMPARE(spies.error.count(), 0);
}

void TestClientSocket::ownCloseRaisesNoEvent_data()
{
    QTest::addColumn<OpenState>("state");
    QTest::newRow("never opened") << OpenState::Never;
    QTest::newRow("tcp connecting") << OpenState::TcpConnecting;
    QTest::newRow("tcp connected") << OpenState::TcpConnected;
    QTest::newRow("udp bound") << OpenState::UdpBound;
    QTest::newRow("udp datagram waiting for the name") << OpenState::UdpLookingUp;
    QTest::newRow("udp send failed for want of an address, not yet reported") << OpenState::UdpLookupFailed;
}

void TestClientSocket::ownCloseRaisesNoEvent()
{
    QFETCH(OpenState, state);
    const QString udpAddress =
        QString::fromLatin1(state == OpenState::UdpLookingUp ? "127.0.0.1" : "127.0.0.36");
    TcpPeer tcpPeer(QStringLiteral("127.0.0.35"), 0);
    UdpPeer udpPeer(udpAddress, 0);
    QVERIFY(tcpPeer.isListening());
    QVERIFY(udpPeer.isBound());
    const auto owned = newSocket();
    ClientSocket& socket = *owned;
    Spies spies(socket);

    if (state == OpenState::TcpConnecting) {
        // Connecting to a port with no listener would fail at once were the
        // close not to stop it first.
        const std::uint16_t closed = closedTcpPort(QStringLiteral("127.0.0.33"));
        QVERIFY2(closed != 0, "no free TCP port on 127.0.0.33");
        socket.SetRemoteHost(QStringLiteral("127.0.0.33"));
        socket.SetRemotePort(closed);
        QVERIFY(!socket.Connect());
    } else if (state == OpenState::TcpConnected) {
        socket.SetRemoteHost(QStringLiteral("127.0.0.35"));
        socket.SetRemotePort(tcpPeer.port());
        QVERIFY(!socket.Connect());
        QTRY_COMPARE(spies.connected.count(), 1);
        QTRY_VERIFY(tcpPeer.socket() != nullptr);
    } else if (state == OpenState::UdpBound || state == OpenState::UdpLookingUp) {
        QVERIFY(!socket.SetProtocol(ClientSocket::Protocol::Udp));
        socket.SetRemoteHost(state == OpenState::UdpBound ? udpAddress : QStringLiteral("localhost"));
        socket.SetRemotePort(udpPeer.port());
        QVERIFY(!socket.SendBytes("x"));
        if (state == OpenState::UdpBound)
            QTRY_COMPARE(udpPeer.datagrams().size(), 1);
    } else if (state == OpenState::UdpLookupFailed) {
        QVERIFY(!socket.SetProtocol(ClientSocket::Protocol::Udp));
        socket.SetRemoteHost(QStringLiteral("no-such-host.invalid"));
        socket.SetRemotePort(udpPeer.port());
        QVERIFY(!socket.SendBytes("x"));
        QTRY_COMPARE(spies.error.count(), 1);
        // The name is known not to resolve: this send's failure is queued,
        // and the close comes before it is told.
        QVERIFY(!socket.SendBytes("y"));
    }
    const int connectedBefore = int(spies.connected.count());
    const int errorsBefore = int(spies.error.count());
    const int sentBefore = int(spies.sendComplete.count());
    const qsizetype datagramsBefore = udpPeer.datagrams().size();

    socket.Close();
    socket.Close();
    QTest::qWait(100);
    socket.Close();

    if (state == OpenState::TcpConnected)
        QTRY_COMPARE(tcpPeer.socket()->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(spies.connected.count(), connectedBefore);
    QCOMPARE(spies.peerClosed.count(), 0);
    QCOMPARE(spies.error.count(), errorsBefore);
    QCOMPARE(spies.sendComplete.count(), sentBefore);
    QCOMPARE(spies.dataArrival.count(), 0);
    // A datagram still waiting for its address went with the close.
    QCOMPARE(udpPeer.datagrams().size(), datagramsBefore);
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
    TcpPeer tcpPeer(QStringLiteral("127.0.0.37"), 0);
    UdpPeer udpPeer(QStringLiteral("127.0.0.37"), 0);
    QVERIFY(tcpPeer.isListening());
    QVERIFY(udpPeer.isBound());
    const auto owned = newSocket();
    ClientSocket& socket = *owned;
    Spies spies(socket);
    const auto openTcp = [&] {
        socket.SetRemoteHost(QStringLiteral("127.0.0.37"));
        socket.SetRemotePort(tcpPeer.port());
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
        socket.SetRemotePort(udpPeer.port());
        QVERIFY(!socket.SendBytes("x"));
        QTRY_COMPARE(udpPeer.datagrams().size(), 1);
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
    TcpPeer tcpPeer(QStringLiteral("127.0.0.38"), 0, PeerReply::Echo);
    UdpPeer udpPeer(QStringLiteral("127.0.0.38"), 0, PeerReply::Echo);
    QVERIFY(tcpPeer.isListening());
    QVERIFY(udpPeer.isBound());
    const auto owned = newSocket();
    ClientSocket& socket = *owned;
    Spies spies(socket);
    QByteArray received;
    collectInto(socket, received);
    socket.SetRemoteHost(QStringLiteral("127.0.0.38"));

    socket.SetRemotePort(tcpPeer.port());
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
    socket.SetRemotePort(udpPeer.port());
    QVERIFY(!socket.SendBytes("one"));
    QTRY_COMPARE(received, QByteArray("againone"));
    socket.Close();
    QVERIFY(!socket.SendBytes("two"));
    QTRY_COMPARE(received, QByteArray("againonetwo"));
    QCOMPARE(spies.error.count(), 0);
    QCOMPARE(spies.peerClosed.count(), 0);
}

// What the module does while the client waits on its socket instead of the
// event loop.
enum class WhileWaiting { Replies, RepliesAfterAStranger, StaysSilent, Closes, Resets };
Q_DECLARE_METATYPE(WhileWaiting)

void TestClientSocket::waitingTakesWhatTheEventLoopWould_data()
{
    QTest::addColumn<ClientSocket::Protocol>("protocol");
    QTest::addColumn<WhileWaiting>("module");
    QTest::addColumn<int>("spinUs");
    const auto tcp = ClientSocket::Protocol::Tcp;
    const auto udp = ClientSocket::Protocol::Udp;
    QTest::newRow("tcp reply, asleep") << tcp << WhileWaiting::Replies << 0;
    QTest::newRow("tcp reply, spinning") << tcp << WhileWaiting::Replies << 200'000;
    QTest::newRow("udp reply, asleep") << udp << WhileWaiting::Replies << 0;
    QTest::newRow("udp reply after a stranger's, spinning")
        << udp << WhileWaiting::RepliesAfterAStranger << 50;
    QTest::newRow("udp reply after a stranger's, asleep") << udp << WhileWaiting::RepliesAfterAStranger << 0;
    QTest::newRow("tcp silence, spinning") << tcp << WhileWaiting::StaysSilent << 50;
    QTest::newRow("tcp close, asleep") << tcp << WhileWaiting::Closes << 0;
    QTest::newRow("tcp close, spinning") << tcp << WhileWaiting::Closes << 200'000;
    QTest::newRow("tcp reset, asleep") << tcp << WhileWaiting::Resets << 0;
    QTest::newRow("tcp reset, spinning") << tcp << WhileWaiting::Resets << 200'000;
}

void TestClientSocket::waitingTakesWhatTheEventLoopWould()
{
    if (!newSocket()->abilities().waitsForArrival)
        QSKIP("this build reads only from the event loop");
    QFETCH(ClientSocket::Protocol, protocol);
    QFETCH(WhileWaiting, module);
    QFETCH(int, spinUs);
    const bool tcp = protocol == ClientSocket::Protocol::Tcp;
    TcpPeer tcpPeer(QStringLiteral("127.0.0.41"), 0);
    UdpPeer udpPeer(QStringLiteral("127.0.0.41"), 0);
    UdpPeer stranger(QStringLiteral("127.0.0.42"), 0);
    QVERIFY(tcpPeer.isListening());
    QVERIFY(udpPeer.isBound());
    const auto owned = newSocket();
    ClientSocket& socket = *owned;
    QVERIFY(!socket.SetProtocol(protocol));
    Spies spies(socket);
    QList<QByteArray> pieces;
    QByteArray received;
    collectInto(socket, received, &pieces);
    socket.SetRemoteHost(QStringLiteral("127.0.0.41"));
    socket.SetRemotePort(tcp ? tcpPeer.port() : udpPeer.port());
    if (tcp) {
        QVERIFY(!socket.Connect());
        QTRY_VERIFY(tcpPeer.socket() != nullptr);
        QTRY_COMPARE(spies.connected.count(), 1);
    }
    QVERIFY(!socket.SendBytes("request"));
    if (tcp)
        QTRY_COMPARE(tcpPeer.received(), QByteArray("request"));
    else
        QTRY_COMPARE(udpPeer.datagrams().size(), 1);

    // From here on the event loop does not run until the waits are over:
    // whatever the client hears, it hears through WaitForArrival.
    QTcpSocket* peer = tcpPeer.socket();
    switch (module) {
    case WhileWaiting::RepliesAfterAStranger:
        stranger.sendTo("stranger", udpPeer.sender(), udpPeer.senderPort());
        [[fallthrough]];
    case WhileWaiting::Replies:
        if (tcp) {
            peer->write("reply");
            QVERIFY(peer->waitForBytesWritten(1000));
        } else {
            udpPeer.reply("reply");
        }
        break;
    case WhileWaiting::StaysSilent:
        break;
    case WhileWaiting::Closes:
        peer->disconnectFromHost();
        break;
    case WhileWaiting::Resets: {
        const linger abortive{1, 0};
        ::setsockopt(int(peer->socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        peer->abort();
        break;
    }
    }
    int waits = 0;
    while (socket.WaitForArrival(200, spinUs))
        ++waits;

    const bool replies = module == WhileWaiting::Replies || module == WhileWaiting::RepliesAfterAStranger;
    QCOMPARE(pieces, replies ? QList<QByteArray>{"reply"} : QList<QByteArray>{});
    QCOMPARE(waits, module == WhileWaiting::RepliesAfterAStranger ? 2 : replies ? 1 : 0);
    // An end of the connection is left for the event loop to report, once,
    // and as what it was, even when the wait has run into it.
    QTest::qWait(100);
    QCOMPARE(spies.peerClosed.count(), module == WhileWaiting::Closes ? 1 : 0);
    if (module == WhileWaiting::Resets) {
        QCOMPARE(spies.error.count(), 1);
        QCOMPARE(endAt(spies.error, 0).reason, SocketEnd::Reason::Reset);
        QVERIFY(endAt(spies.error, 0).description.contains(QStringLiteral("reset"), Qt::CaseInsensitive));
    } else {
        QCOMPARE(spies.error.count(), 0);
    }
    QCOMPARE(spies.dataArrival.count(), replies ? 1 : 0);
}

QTEST_GUILESS_MAIN(TestClientSocket)
#include "tst_client_socket.moc"
