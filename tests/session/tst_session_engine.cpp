// SPDX-License-Identifier: GPL-3.0-or-later
// The session engine without a window: what it puts on the wire and the
// events it raises for requests, replies, refusals and the end of a session.
#include "session/session_engine.h"

#include "codec/frame_layout.h"
#include "harness/engine_driver.h"
#include "harness/loopback_peers.h"
#include "harness/module_sim_process.h"
#include "harness/peer_address.h"

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
    Rig(Protocol protocol, const QString& wanted)
        : driver(protocol)
        , address(peerAddress(protocol, wanted))
        , tcp(protocol == Protocol::Tcp ? new TcpPeer(address, 0) : nullptr)
        , udp(protocol == Protocol::Udp ? new UdpPeer(address, 0) : nullptr)
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
    QString address;
    std::unique_ptr<TcpPeer> tcp;
    std::unique_ptr<UdpPeer> udp;
};

} // namespace

Q_DECLARE_METATYPE(Protocol)

class TestSessionEngine : public QObject {
    Q_OBJECT
private slots:
    void requestAndReply_data();
    void requestAndReply();
    void refusals_data();
    void refusals();
    void peerCloseEndsTheSession();
    void replyInPieces_data();
    void replyInPieces();
    void requestsInFlight_data();
    void requestsInFlight();
    void bytesNobodyAskedFor_data();
    void bytesNobodyAskedFor();
    void bytesPastTheReplyInOneWrite_data();
    void bytesPastTheReplyInOneWrite();
    void lostReplyChainGoesOn_data();
    void lostReplyChainGoesOn();
    void repliesDifferingInTheirInvokeIds();
    void datagramHeldForItsAddress();
    void incompleteReplyThenSend();
};

void TestSessionEngine::requestAndReply_data()
{
    QTest::addColumn<Protocol>("protocol");
    QTest::addColumn<QString>("address");
    QTest::newRow("tcp") << Protocol::Tcp << QStringLiteral("127.0.0.101");
    QTest::newRow("udp") << Protocol::Udp << QStringLiteral("127.0.0.102");
}

// One request and its reply, then continuous mode on and off again.
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
    QTRY_COMPARE(rig.received(), kDefaultRequest);

    rig.reply(kReply30);
    QTRY_COMPARE(d.replies.size(), 1);
    const ArrivedReply& reply = d.replies.at(0);
    QCOMPARE(reply.bytes, kReply30);
    QVERIFY(reply.complete);
    QVERIFY(reply.timed);
    QCOMPARE(reply.sequence, 1u);
    // The first reply sets both extremes to its own time.
    QCOMPARE(reply.MinTime, reply.elapsed);
    QCOMPARE(reply.MaxTime, reply.elapsed);
    QVERIFY(reply.elapsedNs >= 0 && reply.elapsedNs / 1000000 <= reply.elapsed + 1);
    QVERIFY(d.refusals.isEmpty());
    QCOMPARE(d.ended, 0);

    // Continuous mode on: a request at once, then one per reply.
    const qsizetype size = kDefaultRequest.size();
    d.engine.SetContinuousMode(true);
    QTRY_COMPARE(rig.received().size(), 2 * size);
    for (int n = 3; n <= 5; ++n) {
        rig.reply(kReply30);
        QTRY_COMPARE(rig.received().size(), n * size);
    }
    // Off: the reply in flight is handled and starts nothing.
    d.engine.SetContinuousMode(false);
    rig.reply(kReply30);
    QTRY_COMPARE(d.replies.size(), 5);
    QTest::qWait(50);
    QCOMPARE(rig.received().size(), 5 * size);
    QCOMPARE(d.sent.size(), 5);
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

    d.engine.SetContinuousMode(true);
    QCOMPARE(d.refusals, QStringList{message});
    QCOMPARE(d.engine.ContinuousMode(), false);
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
    QCOMPARE(d.endings, QStringList{"closed"});
    // Nothing after the end reaches anyone.
    QVERIFY(!d.engine.SendAndEcho());
    QCOMPARE(d.ended, 1);
}

void TestSessionEngine::replyInPieces_data()
{
    QTest::addColumn<QString>("pieces");
    QTest::addColumn<QString>("address");
    QTest::newRow("two pieces") << QStringLiteral("2") << QStringLiteral("127.0.0.105");
    QTest::newRow("three pieces") << QStringLiteral("3") << QStringLiteral("127.0.0.106");
}

// Continuous mode against replies cut into pieces: each reply is joined by
// its header, timed once, and brings exactly one next request.
void TestSessionEngine::replyInPieces()
{
    QFETCH(QString, pieces);
    QFETCH(QString, address);
    ModuleSimProcess sim(address,
                         {"--tcp-port", "0", "--udp-port", "0", "--pieces", pieces, "--piece-gap", "1"});
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    EngineDriver d;
    d.engine.setRequestTexts(kDefaultTexts);
    QVERIFY(d.open(address, sim.tcpPort()));
    constexpr int kCycles = 1000;
    int complete = 0;
    QObject::connect(&d.engine, &SessionEngine::replyArrived, &d.engine, [&](const ArrivedReply& reply) {
        if (!reply.complete)
            return;
        QVERIFY(reply.timed);
        QCOMPARE(reply.bytes.size(), 40);
        if (++complete == kCycles)
            d.engine.SetContinuousMode(false);
    });
    d.engine.SetContinuousMode(true);
    QTRY_COMPARE_WITH_TIMEOUT(complete, kCycles, 60000);
    QTest::qWait(50);
    QCOMPARE(complete, kCycles);
    QCOMPARE(d.sent.size(), kCycles);
    // Every reply answered its own request, in order.
    for (int i = 0, next = 1; i < d.replies.size(); ++i) {
        if (d.replies.at(i).timed)
            QCOMPARE(d.replies.at(i).sequence, quint64(next++));
    }
    QCOMPARE(d.replies.last().bytes.sliced(frame::kResponseDataOffset), hex("0800255157302E302E30"));
}

void TestSessionEngine::requestsInFlight_data()
{
    QTest::addColumn<int>("gapMs"); // between the two requests
    QTest::addColumn<int>("delayMs"); // from the second request to both replies
    QTest::newRow("both replies in one segment at once") << 100 << 0;
    QTest::newRow("a 200 ms module") << 200 << 200;
}

// Two requests sent one after the other over TCP with one invoke ID: the
// first reply could be either one's (the module may have skipped the first)
// and is not timed; the second, by order, is the second request's, timed
// against its own send even when both replies come in one segment.
void TestSessionEngine::requestsInFlight()
{
    QFETCH(int, gapMs);
    QFETCH(int, delayMs);
    Rig rig(Protocol::Tcp, QStringLiteral("127.0.0.107"));
    QVERIFY(rig.open());
    EngineDriver& d = rig.driver;
    QVERIFY(d.engine.SendAndEcho());
    QTest::qWait(gapMs); // the module's own pace, not a wait for the tool
    QVERIFY(d.engine.SendAndEcho());
    QTRY_COMPARE(rig.received().size(), 2 * kDefaultRequest.size());
    QTest::qWait(delayMs);
    rig.reply(kReply30 + kReply30);
    QTRY_COMPARE(d.replies.size(), 2);
    for (int i = 0; i < 2; ++i) {
        const ArrivedReply& reply = d.replies.at(i);
        QVERIFY(reply.complete);
        QCOMPARE(reply.timed, i == 1);
        QCOMPARE(reply.sequence, quint64(i + 1));
        QCOMPARE(reply.bytes, kReply30);
    }
    const ArrivedReply& second = d.replies.at(1);
    QVERIFY2(second.elapsed >= delayMs && second.elapsed < delayMs + 90,
             qPrintable(QString::number(second.elapsed)));
    QCOMPARE(d.engine.stats().MinTime, second.elapsed);
    QCOMPARE(d.engine.stats().MaxTime, second.elapsed);
}

void TestSessionEngine::bytesNobodyAskedFor_data()
{
    QTest::addColumn<Protocol>("protocol");
    QTest::addColumn<bool>("sendFirst");
    QTest::addColumn<QByteArray>("stray"); // sent by the peer after the first reply, if any
    QTest::newRow("tcp, before any request") << Protocol::Tcp << false << kReply30;
    QTest::newRow("udp, before any request") << Protocol::Udp << false << kReply30;
    QTest::newRow("tcp, a second reply to one request") << Protocol::Tcp << true << kReply30;
    QTest::newRow("tcp, trailing bytes past the reply") << Protocol::Tcp << true << hex("ABCD");
}

// Bytes that answer no waiting request are shown, but not timed: the times
// stay as they were and nothing is sent in answer, in continuous mode too.
void TestSessionEngine::bytesNobodyAskedFor()
{
    QFETCH(Protocol, protocol);
    QFETCH(bool, sendFirst);
    QFETCH(QByteArray, stray);
    Rig rig(protocol, QStringLiteral("127.0.0.108"));
    QVERIFY(rig.open());
    EngineDriver& d = rig.driver;
    if (protocol == Protocol::Udp) {
        // A UDP peer answers whoever wrote last: one request makes it known.
        QVERIFY(d.engine.SendAndEcho());
        QTRY_COMPARE(rig.udp->datagrams().size(), 1);
        rig.reply(kReply30);
        QTRY_COMPARE(d.replies.size(), 1);
        d.replies.clear();
    }
    int expected = 1;
    if (sendFirst) {
        d.engine.SetContinuousMode(true);
        QTRY_COMPARE(d.sent.size(), 1);
        d.engine.SetContinuousMode(false);
        rig.reply(kReply30);
        QTRY_COMPARE(d.replies.size(), 1);
        QVERIFY(d.replies.at(0).timed);
        expected = 2;
    }
    const ResponseStats before = d.engine.stats();
    const qsizetype sentBefore = d.sent.size();
    d.engine.SetContinuousMode(false);
    rig.reply(stray);
    QTRY_COMPARE(d.replies.size(), expected);
    const ArrivedReply& shown = d.replies.last();
    QVERIFY(!shown.timed);
    QCOMPARE(shown.sequence, 0u);
    QCOMPARE(shown.bytes, stray);
    QCOMPARE(d.engine.stats().MinTime, before.MinTime);
    QCOMPARE(d.engine.stats().MaxTime, before.MaxTime);
    QTest::qWait(50);
    QCOMPARE(d.sent.size(), sentBefore);
}

void TestSessionEngine::bytesPastTheReplyInOneWrite_data()
{
    QTest::addColumn<QByteArray>("past"); // written by the peer with the reply, in one write
    QTest::addColumn<bool>("asked"); // the next frame answers a new request; else it comes unasked
    QTest::newRow("two bytes, then the next request's reply") << hex("ABCD") << true;
    QTest::newRow("a header announcing more than follows, then the next request's reply")
        << kReply30.left(20) << true;
    QTest::newRow("a header announcing more than follows, then a frame nobody asked for")
        << kReply30.left(20) << false;
    QTest::newRow("a whole frame and the start of another, then the next request's reply")
        << kReply30 + kReply30.left(5) << true;
}

// Bytes that follow a whole reply in the same arrival, while no request
// waits, are shown as one frame of their own, whole and untimed; they never
// begin the next frame, which arrives clean.
void TestSessionEngine::bytesPastTheReplyInOneWrite()
{
    QFETCH(QByteArray, past);
    QFETCH(bool, asked);
    Rig rig(Protocol::Tcp, QStringLiteral("127.0.0.191"));
    QVERIFY(rig.open());
    EngineDriver& d = rig.driver;
    QVERIFY(d.engine.SendAndEcho());
    QTRY_COMPARE(rig.received(), kDefaultRequest);
    rig.reply(kReply30 + past);
    QTRY_COMPARE(d.replies.size(), 2);
    QCOMPARE(d.replies.at(0).bytes, kReply30);
    QVERIFY(d.replies.at(0).timed);
    const ResponseStats afterReply = d.engine.stats();
    const ArrivedReply& stray = d.replies.at(1);
    QCOMPARE(stray.bytes, past);
    QCOMPARE(stray.arrivalBytes, qint32(past.size()));
    QVERIFY(stray.complete);
    QVERIFY(!stray.timed);
    QCOMPARE(stray.sequence, 0u);
    QCOMPARE(d.engine.stats().MinTime, afterReply.MinTime);
    QCOMPARE(d.engine.stats().MaxTime, afterReply.MaxTime);

    if (asked) {
        QVERIFY(d.engine.SendAndEcho());
        QTRY_COMPARE(rig.received().size(), 2 * kDefaultRequest.size());
    }
    rig.reply(kReply30);
    QTRY_COMPARE(d.replies.size(), 3);
    const ArrivedReply& next = d.replies.at(2);
    QCOMPARE(next.bytes, kReply30);
    QVERIFY(next.complete);
    QCOMPARE(next.timed, asked);
    QCOMPARE(next.sequence, asked ? 2u : 0u);
    QTest::qWait(50);
    QCOMPARE(d.replies.size(), 3);
}

void TestSessionEngine::lostReplyChainGoesOn_data()
{
    QTest::addColumn<Protocol>("protocol");
    QTest::newRow("tcp") << Protocol::Tcp;
    QTest::newRow("udp") << Protocol::Udp;
}

// A request whose reply is lost is given up at its deadline and the chain
// goes on from there; switching continuous mode off and on while a request
// waits sends nothing extra, so one request of the chain is in flight at
// most and every time is its own request's.
void TestSessionEngine::lostReplyChainGoesOn()
{
    QFETCH(Protocol, protocol);
    const QString address = peerAddress(protocol, QStringLiteral("127.0.0.109"));
    ModuleSimProcess sim(address,
                         {"--tcp-port", "0", "--udp-port", "0", "--drop-every", "4", "--delay", "30"});
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    EngineDriver d(protocol);
    d.engine.setRequestTexts(kDefaultTexts);
    d.engine.setReplyTimeoutMs(300);
    QList<GivenUpRequest> givenUp;
    QObject::connect(&d.engine, &SessionEngine::requestGivenUp,
                     [&givenUp](const GivenUpRequest& request) { givenUp << request; });
    QVERIFY(d.open(address, protocol == Protocol::Tcp ? sim.tcpPort() : sim.udpPort()));
    d.engine.SetContinuousMode(true);
    QCOMPARE(d.sent.size(), 1);
    // Stop and Cont within the round trip.
    d.engine.SetContinuousMode(false);
    d.engine.SetContinuousMode(true);
    QCOMPARE(d.sent.size(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(d.replies.size(), 6, 10000);
    d.engine.SetContinuousMode(false);
    QTRY_VERIFY(!d.engine.isWaiting());

    QCOMPARE(givenUp.size(), 2);
    QCOMPARE(givenUp.at(0).sequence, 4u);
    QCOMPARE(givenUp.at(1).sequence, 8u);
    QVERIFY(givenUp.at(0).reason == ReplyLedger::GiveUpReason::Deadline);
    QVERIFY2(givenUp.at(0).waitedNs >= 290'000'000, qPrintable(QString::number(givenUp.at(0).waitedNs)));
    const quint64 answered[] = {1, 2, 3, 5, 6, 7};
    for (int i = 0; i < 6; ++i) {
        const ArrivedReply& reply = d.replies.at(i);
        QVERIFY(reply.timed);
        QCOMPARE(reply.sequence, answered[i]);
        // 30 ms late each; a reply timed from a request sent before its own
        // would be 30 ms more.
        QVERIFY2(reply.elapsed >= 25 && reply.elapsed < 60, qPrintable(QString::number(reply.elapsed)));
    }
}

// Replies alike but for their invoke IDs (numbered requests) each come with
// their own bytes, however the engine reuses its buffer between them.
void TestSessionEngine::repliesDifferingInTheirInvokeIds()
{
    Rig rig(Protocol::Tcp, QStringLiteral("127.0.0.111"));
    QVERIFY(rig.open());
    EngineDriver& d = rig.driver;
    d.engine.setNumberedInvokeIds(true);
    QByteArray second = kReply30;
    second[frame::kInvokeIdOffset] = 0x00;
    second[frame::kInvokeIdOffset + 1] = 0x02;
    second[frame::kCheckSumOffset] =
        static_cast<char>(static_cast<quint8>(kReply30[frame::kCheckSumOffset]) + 1);
    QByteArray first = second;
    first[frame::kInvokeIdOffset + 1] = 0x01;
    first[frame::kCheckSumOffset] = kReply30[frame::kCheckSumOffset];
    for (const QByteArray& reply : {first, second}) {
        QVERIFY(d.engine.SendAndEcho());
        rig.reply(reply);
        QTRY_COMPARE(d.replies.size(), int(d.sent.size()));
    }
    QCOMPARE(d.replies.at(1).bytes, second);
    QCOMPARE(d.replies.at(0).bytes, first);
    QCOMPARE(d.replies.at(1).sequence, 2u);
}

// A datagram to a host name waits for the address; it still counts as sent
// and echoed at once, and its reply answers it.
void TestSessionEngine::datagramHeldForItsAddress()
{
    UdpPeer peer(QStringLiteral("127.0.0.1"), 0);
    EngineDriver d(Protocol::Udp);
    d.engine.setRequestTexts(kDefaultTexts);
    QVERIFY(d.open(QStringLiteral("localhost"), peer.port()));
    QVERIFY(d.engine.SendAndEcho());
    QCOMPARE(d.sent.size(), 1);
    QCOMPARE(d.sent.at(0).frame, kDefaultRequest);
    QTRY_COMPARE(peer.datagrams().size(), 1);
    peer.reply(kReply30);
    QTRY_COMPARE(d.replies.size(), 1);
    QVERIFY(d.replies.at(0).timed);
    QCOMPARE(d.replies.at(0).sequence, 1u);
}

// A reply that never completes is shown as far as it came; the next request
// gives it up, and its own reply starts clean and is timed from it.
void TestSessionEngine::incompleteReplyThenSend()
{
    Rig rig(Protocol::Tcp, QStringLiteral("127.0.0.110"));
    QVERIFY(rig.open());
    EngineDriver& d = rig.driver;
    QVERIFY(d.engine.SendAndEcho());
    QTRY_COMPARE(rig.received().size(), kDefaultRequest.size());
    rig.reply(kReply30.left(25));
    QTRY_COMPARE(d.replies.size(), 1);
    QVERIFY(!d.replies.at(0).complete && !d.replies.at(0).timed);
    QCOMPARE(d.replies.at(0).bytes, kReply30.left(25));

    QVERIFY(d.engine.SendAndEcho());
    QTRY_COMPARE(rig.received().size(), 2 * kDefaultRequest.size());
    rig.reply(kReply30);
    QTRY_COMPARE(d.replies.size(), 2);
    QCOMPARE(d.replies.at(1).bytes, kReply30);
    QVERIFY(d.replies.at(1).timed);
    QCOMPARE(d.replies.at(1).sequence, 2u);
}

QTEST_MAIN(TestSessionEngine)
#include "tst_session_engine.moc"
