// SPDX-License-Identifier: GPL-3.0-or-later
// The session engine without a window: what it puts on the wire and the
// events it raises for requests, replies, refusals and the end of a session.
#include "session/session_engine.h"

#include "codec/frame_layout.h"
#include "harness/engine_driver.h"
#include "harness/loopback_peers.h"

#include <QtTest>

namespace {

QByteArray hex(const char* text)
{
    return QByteArray::fromHex(text);
}

const RequestTexts kDefaultTexts{"KORV-TAMBE", "33", "0000", "5400", "0100", "1000", "0800255157302E302E30"};
const QByteArray kDefaultRequest = hex("4B4F52562D54414D4245 000000 33 0000 1200 00 1D"
                                       "5400 0100 0000 1000 0800255157302E302E30");
// A 30-byte reply: command 5401, data type 0100, state 0000, Code/No 0102.
const QByteArray kReply30 = hex("4B4F52562D54414D4245 000000 B0 0102 0A00 00 5A"
                                "5401 0100 0000 0000 0102");

using Protocol = ClientSocket::Protocol;

// A session over either protocol against a raw peer on a free port.
struct Rig {
    Rig(Protocol protocol, const QString& address)
        : driver(protocol)
        , tcp(protocol == Protocol::Tcp ? new TcpPeer(address, 0) : nullptr)
        , udp(protocol == Protocol::Udp ? new UdpPeer(address, 0) : nullptr)
        , address(address)
    {
        driver.engine.setRequestTexts(kDefaultTexts);
    }
    bool open()
    {
        if (!driver.open(address, tcp ? tcp->port() : udp->port()))
            return false;
        return !tcp || QTest::qWaitFor([this] { return tcp->socket() != nullptr; });
    }
    // Every byte the peer has been sent, in order.
    QByteArray received() const
    {
        if (tcp)
            return tcp->received();
        QByteArray all;
        for (const QByteArray& datagram : udp->datagrams())
            all += datagram;
        return all;
    }
    void reply(const QByteArray& bytes)
    {
        if (tcp)
            tcp->send(bytes);
        else
            udp->reply(bytes);
    }

    EngineDriver driver;
    std::unique_ptr<TcpPeer> tcp;
    std::unique_ptr<UdpPeer> udp;
    QString address;
};

} // namespace

Q_DECLARE_METATYPE(Protocol)

class TestSessionEngine : public QObject {
    Q_OBJECT
private slots:
    void requestAndReply_data();
    void requestAndReply();
    void continuousModeChains_data();
    void continuousModeChains();
    void refusals_data();
    void refusals();
    void peerCloseEndsTheSession();
};

void TestSessionEngine::requestAndReply_data()
{
    QTest::addColumn<Protocol>("protocol");
    QTest::addColumn<QString>("address");
    QTest::newRow("tcp") << Protocol::Tcp << QStringLiteral("127.0.0.101");
    QTest::newRow("udp") << Protocol::Udp << QStringLiteral("127.0.0.102");
}

void TestSessionEngine::requestAndReply()
{
    QFETCH(Protocol, protocol);
    QFETCH(QString, address);
    Rig rig(protocol, address);
    QVERIFY(rig.open());
    EngineDriver& d = rig.driver;

    QVERIFY(d.engine.SendAndEcho());
    QCOMPARE(d.sent.size(), 1);
    QCOMPARE(d.sent.at(0).sequence, 1u);
    QCOMPARE(d.sent.at(0).frame, kDefaultRequest);
    QCOMPARE(d.sent.at(0).header.checkSum, QStringLiteral("1D"));
    QTRY_COMPARE(rig.received(), kDefaultRequest);

    rig.reply(kReply30);
    QTRY_COMPARE(d.replies.size(), 1);
    const ArrivedReply& reply = d.replies.at(0);
    QCOMPARE(reply.bytes, kReply30);
    QVERIFY(reply.complete);
    QVERIFY(reply.timed);
    QCOMPARE(reply.sequence, 1u);
    QCOMPARE(reply.texts.cmnd, QStringLiteral("5401"));
    QCOMPARE(reply.texts.code, QStringLiteral("0102"));
    // The first reply sets both extremes to its own time.
    QCOMPARE(reply.minText, reply.elapsedText);
    QCOMPARE(reply.maxText, reply.elapsedText);
    QVERIFY(reply.elapsedNs >= 0 && reply.elapsedNs / 1000000 <= reply.elapsed + 1);
    QVERIFY(d.refusals.isEmpty());
    QCOMPARE(d.ended, 0);
}

void TestSessionEngine::continuousModeChains_data()
{
    requestAndReply_data();
}

void TestSessionEngine::continuousModeChains()
{
    QFETCH(Protocol, protocol);
    QFETCH(QString, address);
    Rig rig(protocol, address);
    QVERIFY(rig.open());
    EngineDriver& d = rig.driver;

    // On: a request at once, then one per reply.
    d.engine.SetContinuousMode(SessionEngine::True);
    QTRY_COMPARE(rig.received().size(), kDefaultRequest.size());
    for (int i = 1; i <= 3; ++i) {
        rig.reply(kReply30);
        QTRY_COMPARE(rig.received().size(), kDefaultRequest.size() * (i + 1));
    }
    // Off: the reply in flight is handled and starts nothing.
    d.engine.SetContinuousMode(SessionEngine::False);
    rig.reply(kReply30);
    QTRY_COMPARE(d.replies.size(), 4);
    QTest::qWait(50);
    QCOMPARE(rig.received().size(), kDefaultRequest.size() * 4);
    QCOMPARE(d.sent.size(), 4);
}

void TestSessionEngine::refusals_data()
{
    QTest::addColumn<bool>("connect");
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("message");
    QTest::newRow("text that does not convert")
        << true << QStringLiteral("5X00") << QStringLiteral("Command: \"5X00\" is not hexadecimal.");
    QTest::newRow("send before any connection")
        << false << QStringLiteral("5400") << QStringLiteral("The socket is not connected.");
}

// A request that cannot go out is refused with its reason: nothing on the
// wire, nothing announced, and a running chain stops.
void TestSessionEngine::refusals()
{
    QFETCH(bool, connect);
    QFETCH(QString, command);
    QFETCH(QString, message);
    Rig rig(Protocol::Tcp, QStringLiteral("127.0.0.103"));
    if (connect)
        QVERIFY(rig.open());
    else
        rig.driver.engine.Start(rig.address, rig.tcp->port());
    EngineDriver& d = rig.driver;
    QSignalSpy modeChanges(&d.engine, &SessionEngine::continuousModeChanged);
    RequestTexts texts = kDefaultTexts;
    texts.cmnd = command;
    d.engine.setRequestTexts(texts);

    d.engine.SetContinuousMode(SessionEngine::True);
    QCOMPARE(d.refusals, QStringList{message});
    QCOMPARE(d.engine.ContinuousMode(), SessionEngine::False);
    QCOMPARE(modeChanges.size(), 1);
    QVERIFY(d.sent.isEmpty());
    QTest::qWait(50);
    QCOMPARE(rig.received(), QByteArray());
    QCOMPARE(d.ended, 0);
}

void TestSessionEngine::peerCloseEndsTheSession()
{
    Rig rig(Protocol::Tcp, QStringLiteral("127.0.0.104"));
    QVERIFY(rig.open());
    EngineDriver& d = rig.driver;
    rig.tcp->socket()->disconnectFromHost();
    QTRY_COMPARE(d.ended, 1);
    QCOMPARE(d.endings, (QList<QPair<QString, QString>>{{"WinSock Message", "Close!"}}));
    // Nothing after the end reaches anyone.
    QVERIFY(!d.engine.SendAndEcho());
    QCOMPARE(d.ended, 1);
}

QTEST_MAIN(TestSessionEngine)
#include "tst_session_engine.moc"
