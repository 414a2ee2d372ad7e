// SPDX-License-Identifier: GPL-3.0-or-later
// The window against faulty peers and untypable texts: each fault must end in
// a message or a shown frame, never a crash, a hang or an unintended frame.
#include "ui/form_main.h"

#include "harness/loopback_peers.h"
#include "harness/message_box_catcher.h"
#include "harness/module_sim_process.h"
#include "harness/window_driver.h"
#include "net/client_socket.h"
#include "net/socket_backends.h"
#include "ui/form_layout.h"

#include <QtTest>

namespace {

// The request the default texts give.
const QByteArray kDefaultRequest = QByteArray::fromHex("4B4F52562D54414D4245 000000 33 0000 1200 00 1D"
                                                       "5400 0100 0000 1000 0800255157302E302E30");

// The simulator's reply to the default request, box by box (40 bytes).
const QStringList kSimReplyBoxes{"KORV-TAMBE", "B0",   "0000", "1400", "9C",
                                 "5400",       "0100", "0000", "0000", "0800255157302E302E30"};

const QString kOwnTitle = QString::fromUtf8(form::kTitle);

using Proto = WindowDriver::Proto;
using Window = WindowDriver;

const QList<bool> kTcpConnected{false, false, false, false, true, true, true};
const QList<bool> kUdpStarted{false, false, false, false, true, true, true};

QList<bool> openControls(Proto proto)
{
    return proto == Proto::Tcp ? kTcpConnected : kUdpStarted;
}

// Nothing more happens for a while: used only to show that something does
// not come, never to wait for something that does.
void settle()
{
    QTest::qWait(150);
}

} // namespace

Q_DECLARE_METATYPE(Proto)

class TestFaultMatrix : public QObject {
    Q_OBJECT
private slots:
    void hostFaults_data();
    void hostFaults();
    void peerResetsDuringContinuousMode_data();
    void peerResetsDuringContinuousMode();
    void onePieceAtATime_data();
    void onePieceAtATime();
    void shortReplies_data();
    void shortReplies();
    void oversizedAndRandomReplies_data();
    void oversizedAndRandomReplies();
    void unsolicitedFrameBeforeAnySend();
    void droppedReplyChainGoesOn_data();
    void droppedReplyChainGoesOn();
    void ignoredRequestThenSend_data();
    void ignoredRequestThenSend();
    void udpSendAndContAfterClose();
    void badTexts_data();
    void badTexts();
};

void TestFaultMatrix::hostFaults_data()
{
    QTest::addColumn<Proto>("proto");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("title"); // empty: no message
    QTest::addColumn<QString>("message"); // a part of its text
    QTest::addColumn<bool>("ends");
    const QString invalid = QStringLiteral("no-such-host.invalid");
    QTest::newRow("TCP unresolvable host") << Proto::Tcp << invalid << "Winsock Error"
                                           << "" << true;
    QTest::newRow("UDP unresolvable host") << Proto::Udp << invalid << "Winsock Error"
                                           << "" << true;
    QTest::newRow("TCP empty host") << Proto::Tcp << "" << kOwnTitle << "No remote host" << false;
    QTest::newRow("UDP empty host") << Proto::Udp << "" << kOwnTitle << "No remote host" << false;
    // No ICMP error reaches an unconnected UDP socket: the window waits.
    QTest::newRow("UDP nobody listening") << Proto::Udp << "127.0.0.60"
                                          << ""
                                          << "" << false;
}

void TestFaultMatrix::hostFaults()
{
    QFETCH(Proto, proto);
    QFETCH(QString, host);
    QFETCH(QString, title);
    QFETCH(QString, message);
    QFETCH(bool, ends);
    Window w(host);
    MessageBoxCatcher boxes;
    w.open(proto);
    if (proto == Proto::Udp)
        w.click(w.cmdSend);

    if (title.isEmpty()) {
        settle();
        QCOMPARE(boxes.count(), 0);
        QCOMPARE(w.sessionControls(), kUdpStarted);
    } else {
        QTRY_COMPARE(boxes.count(), 1);
        QCOMPARE(boxes.messages().first().title, title);
        QCOMPARE(boxes.messages().first().icon, QMessageBox::Critical);
        QVERIFY(!boxes.messages().first().text.isEmpty());
        QVERIFY2(boxes.messages().first().text.contains(message), qPrintable(boxes.messages().first().text));
    }
    QTRY_COMPARE(w.ended, ends ? 1 : 0);
    QCOMPARE(w.arrivals.size(), 0);
    if (!ends) {
        // Refused before anything started, the window is as it was, so that
        // the address can be mended.
        QCOMPARE(w.cursorOverWindow(), Qt::ArrowCursor);
        QCOMPARE(w.sessionControls(),
                 title.isEmpty() ? kUdpStarted : (QList<bool>{true, true, true, true, false, false, true}));
    }
    settle();
    QCOMPARE(boxes.count(), title.isEmpty() ? 0 : 1);
}

void TestFaultMatrix::peerResetsDuringContinuousMode_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("replies");
    QTest::newRow("reset after the first reply") << "127.0.0.61" << 1;
    QTest::newRow("reset after five replies") << "127.0.0.62" << 5;
}

void TestFaultMatrix::peerResetsDuringContinuousMode()
{
    QFETCH(QString, address);
    QFETCH(int, replies);
    ModuleSimProcess sim(address, {QStringLiteral("--reset-after"), QString::number(replies)});
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    Window w(address);
    MessageBoxCatcher boxes;
    QVERIFY(w.open(Proto::Tcp));
    w.click(w.cmdCont);

    QTRY_COMPARE(w.ended, 1);
    QCOMPARE(boxes.count(), 1);
    if (socketAbilities(defaultSocketBackend()).reportsPeerReset) {
        QCOMPARE(boxes.messages().first().title, QStringLiteral("Winsock Error"));
        QVERIFY2(boxes.messages().first().text.contains(QLatin1String("reset"), Qt::CaseInsensitive),
                 qPrintable(boxes.messages().first().text));
    } else {
        // Plain Qt tells a reset from a close by nothing.
        QCOMPARE(boxes.messages().first().title, QStringLiteral("WinSock Message"));
    }
    // Every reply sent before the reset was shown, and each brought one
    // request more; the last reply's boxes stay up.
    QCOMPARE(w.bytesArrived, 40 * replies);
    QCOMPARE(w.responseBoxes(), kSimReplyBoxes);
    const qsizetype sent = w.sends.size();
    QVERIFY2(sent <= replies + 1, qPrintable(QString::number(sent)));
    settle();
    QCOMPARE(w.sends.size(), sent);
    QCOMPARE(boxes.count(), 1);
}

void TestFaultMatrix::onePieceAtATime_data()
{
    QTest::addColumn<Proto>("proto");
    QTest::addColumn<QString>("address");
    QTest::newRow("TCP") << Proto::Tcp << "127.0.0.63";
    QTest::newRow("UDP") << Proto::Udp << "127.0.0.64";
}

void TestFaultMatrix::onePieceAtATime()
{
    QFETCH(Proto, proto);
    QFETCH(QString, address);
    ModuleSimProcess sim(address, {"--pieces", "40", "--piece-gap", "10"});
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    Window w(address);
    MessageBoxCatcher boxes;
    QVERIFY(w.open(proto));

    for (int round = 1; round <= 2; ++round) {
        w.click(w.cmdSend);
        // Every byte of the 40-byte reply is shown as part of some frame, and
        // the next Send is answered in full again.
        QTRY_COMPARE(w.bytesArrived, 40 * round);
    }
    if (proto == Proto::Udp) {
        // One datagram is one reply: the first byte answers the request, the
        // other 39 are bytes nobody asked for; none fills a field.
        QCOMPARE(w.arrivals.size(), 80);
        QCOMPARE(w.responseBoxes(), QStringList(10));
    } else {
        // Joined by its header: the whole reply shown, timed once per request.
        QCOMPARE(w.responseBoxes(), kSimReplyBoxes);
    }
    QCOMPARE(w.sends.size(), 2);
    QCOMPARE(boxes.count(), 0);
    QCOMPARE(w.ended, 0);
    QCOMPARE(w.sessionControls(), openControls(proto));
}

void TestFaultMatrix::shortReplies_data()
{
    QTest::addColumn<Proto>("proto");
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("cut");
    const char* addresses[2][4] = {{"127.0.0.65", "127.0.0.66", "127.0.0.67", "127.0.0.68"},
                                   {"127.0.0.69", "127.0.0.70", "127.0.0.71", "127.0.0.72"}};
    const int cuts[] = {9, 19, 25, 29};
    for (Proto proto : {Proto::Tcp, Proto::Udp}) {
        for (int i = 0; i < 4; ++i) {
            QTest::addRow("%s, %d bytes", proto == Proto::Tcp ? "TCP" : "UDP", cuts[i])
                << proto << QString::fromLatin1(addresses[proto == Proto::Udp][i]) << cuts[i];
        }
    }
}

void TestFaultMatrix::shortReplies()
{
    QFETCH(Proto, proto);
    QFETCH(QString, address);
    QFETCH(int, cut);
    ModuleSimProcess sim(address, {"--cut", QString::number(cut)});
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    Window w(address);
    MessageBoxCatcher boxes;
    QVERIFY(w.open(proto));
    // Boxes full from an earlier frame, so that a stale text would show.
    w.txtResData->setText(QStringLiteral("STALE"));
    w.click(w.cmdSend);
    QTRY_COMPARE(w.bytesArrived, cut);

    // Only the fields that arrived whole are shown.
    const int fieldEnd[10] = {10, 14, 16, 18, 20, 22, 24, 28, 30, 31};
    QStringList expected;
    for (int i = 0; i < 10; ++i)
        expected << (fieldEnd[i] <= cut ? kSimReplyBoxes.at(i) : QString());
    QCOMPARE(w.responseBoxes(), expected);
    QCOMPARE(boxes.count(), 0);
    QCOMPARE(w.ended, 0);
    QCOMPARE(w.sessionControls(), openControls(proto));
}

void TestFaultMatrix::oversizedAndRandomReplies_data()
{
    QTest::addColumn<Proto>("proto");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<int>("replyBytes");
    QTest::newRow("TCP 65535-byte reply")
        << Proto::Tcp << "127.0.0.73" << QStringList{"--reply-size", "65535"} << 65535;
    QTest::newRow("TCP 1 random byte")
        << Proto::Tcp << "127.0.0.74" << QStringList{"--random-bytes", "1"} << 1;
    QTest::newRow("TCP 29 random bytes")
        << Proto::Tcp << "127.0.0.75" << QStringList{"--random-bytes", "29"} << 29;
    QTest::newRow("TCP 5000 random bytes")
        << Proto::Tcp << "127.0.0.76" << QStringList{"--random-bytes", "5000"} << 5000;
    QTest::newRow("UDP 31 random bytes")
        << Proto::Udp << "127.0.0.77" << QStringList{"--random-bytes", "31"} << 31;
    QTest::newRow("UDP 8000 random bytes")
        << Proto::Udp << "127.0.0.78" << QStringList{"--random-bytes", "8000"} << 8000;
    // More digits than a text box takes by default.
    QTest::newRow("UDP 20040-byte reply")
        << Proto::Udp << "127.0.0.83" << QStringList{"--reply-size", "20040"} << 20040;
}

void TestFaultMatrix::oversizedAndRandomReplies()
{
    QFETCH(Proto, proto);
    QFETCH(QString, address);
    QFETCH(QStringList, simArgs);
    QFETCH(int, replyBytes);
    ModuleSimProcess sim(address, simArgs);
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    Window w(address);
    MessageBoxCatcher boxes;
    QVERIFY(w.open(proto));

    w.click(w.cmdSend);
    QTRY_COMPARE(w.bytesArrived, qint64(replyBytes));
    if (proto == Proto::Udp) {
        // One datagram, one frame: every byte past offset 30 is data.
        QCOMPARE(w.arrivals.size(), 1);
        QCOMPARE(w.txtResData->text().size(), 2 * qMax(0, replyBytes - 30));
    }
    // Still in session: the next request goes out and is answered in full.
    w.click(w.cmdSend);
    QTRY_COMPARE(w.bytesArrived, 2 * qint64(replyBytes));
    QCOMPARE(w.sends.size(), 2);
    QCOMPARE(boxes.count(), 0);
    QCOMPARE(w.ended, 0);
    QCOMPARE(w.sessionControls(), openControls(proto));
}

void TestFaultMatrix::unsolicitedFrameBeforeAnySend()
{
    const QString address = QStringLiteral("127.0.0.79");
    ModuleSimProcess sim(address, {"--unsolicited"});
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    Window w(address);
    MessageBoxCatcher boxes;
    QVERIFY(w.open(Proto::Tcp));

    // Shown like any reply, but untimed: no request waited for it. Nothing
    // is sent in answer.
    QTRY_COMPARE(w.arrivals.size(), 1);
    QCOMPARE(w.txtResSrc->text(), QStringLiteral("B0"));
    QCOMPARE(w.txtResState->text(), QStringLiteral("0000"));
    settle();
    QCOMPARE(w.txtResTime->text(), QString());
    QCOMPARE(w.txtMinTime->text(), QString());
    QCOMPARE(w.txtMaxTime->text(), QString());
    QCOMPARE(w.sends.size(), 0);

    // The session goes on: a request gets its own reply.
    const qint64 before = w.bytesArrived;
    w.click(w.cmdSend);
    QTRY_COMPARE(w.bytesArrived, before + 40);
    QCOMPARE(w.responseBoxes(), kSimReplyBoxes);
    QCOMPARE(boxes.count(), 0);
    QCOMPARE(w.ended, 0);
    QCOMPARE(w.sessionControls(), kTcpConnected);
}

void TestFaultMatrix::droppedReplyChainGoesOn_data()
{
    QTest::addColumn<Proto>("proto");
    QTest::addColumn<QString>("address");
    QTest::newRow("udp") << Proto::Udp << QStringLiteral("127.0.0.80");
    QTest::newRow("tcp") << Proto::Tcp << QStringLiteral("127.0.0.86");
}

// A request whose reply never comes is given up at the reply timeout and
// the chain goes on once its late reply can no longer come, still in
// continuous mode; the Response Time
// box's tooltip counts what was given up.
void TestFaultMatrix::droppedReplyChainGoesOn()
{
    QFETCH(Proto, proto);
    QFETCH(QString, address);
    // A reply every 100 ms, none to requests 4 and 8.
    ModuleSimProcess sim(address, {"--drop-every", "4", "--delay", "100"});
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    Window w(address);
    w.form.setReplyTimeoutMs(200);
    MessageBoxCatcher boxes;
    QVERIFY(w.open(proto));

    w.click(w.cmdCont);
    QTRY_VERIFY_WITH_TIMEOUT(w.txtResTime->toolTip().startsWith(QStringLiteral(
                                 "Requests given up without a reply: 2 (reply timeout 200 ms)")),
                             10000);
    QCOMPARE(w.txtResTime->accessibleDescription(), w.txtResTime->toolTip());
    QCOMPARE(w.cmdCont->text(), QStringLiteral("Stop"));
    QVERIFY(!w.cmdSend->isEnabled());
    // The ninth request leaves once the eighth's late reply can no longer
    // come (its late window past the deadline), and is answered after Stop.
    QTRY_COMPARE_WITH_TIMEOUT(w.sends.size(), 9, 5000);
    w.click(w.cmdCont);
    QCOMPARE(w.cmdCont->text(), QStringLiteral("Cont"));
    QTRY_COMPARE(w.arrivals.size(), 7);
    settle();
    QCOMPARE(w.sends.size(), 9);
    // Every time shown is a reply's own; one timed from a lost request
    // would be 200 ms more.
    QVERIFY2(w.txtMaxTime->text().toInt() < 250, qPrintable(w.txtMaxTime->text()));
    QCOMPARE(w.responseBoxes(), kSimReplyBoxes);

    // Stopped: one Send, one request, one reply, no chain.
    const qsizetype sent = w.sends.size();
    const qsizetype arrived = w.arrivals.size();
    w.click(w.cmdSend);
    QTRY_COMPARE(w.arrivals.size(), arrived + 1);
    settle();
    QCOMPARE(w.sends.size(), sent + 1);
    QCOMPARE(boxes.count(), 0);
    QCOMPARE(w.ended, 0);
}

void TestFaultMatrix::ignoredRequestThenSend_data()
{
    QTest::addColumn<Proto>("proto");
    QTest::addColumn<QString>("address");
    QTest::newRow("tcp") << Proto::Tcp << QStringLiteral("127.0.0.88");
    QTest::newRow("udp") << Proto::Udp << QStringLiteral("127.0.0.89");
}

// A module that ignores one request (a mistyped Com ID, say) and answers the
// next at once: the next Send shows its own round trip, not the time since
// the ignored one.
void TestFaultMatrix::ignoredRequestThenSend()
{
    QFETCH(Proto, proto);
    QFETCH(QString, address);
    ModuleSimProcess sim(address, {"--ignore", "1"});
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    Window w(address);
    w.form.setReplyTimeoutMs(200);
    MessageBoxCatcher boxes;
    QVERIFY(w.open(proto));
    w.click(w.cmdSend);
    QTRY_VERIFY(w.txtResTime->toolTip().startsWith(QStringLiteral("Requests given up without a reply: 1 ")));
    QTest::qWait(300); // the user pauses before sending again
    w.click(w.cmdSend);
    QTRY_COMPARE(w.arrivals.size(), 1);
    QVERIFY2(w.txtResTime->text().toInt() < 200, qPrintable(w.txtResTime->text()));
    QCOMPARE(w.txtMaxTime->text(), w.txtResTime->text());
    QCOMPARE(w.responseBoxes(), kSimReplyBoxes);
    QCOMPARE(boxes.count(), 0);
}

void TestFaultMatrix::udpSendAndContAfterClose()
{
    const QString address = QStringLiteral("127.0.0.81");
    ModuleSimProcess sim(address);
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    Window w(address);
    MessageBoxCatcher boxes;
    QVERIFY(w.open(Proto::Udp));
    w.click(w.cmdSend);
    QTRY_COMPARE(w.arrivals.size(), 1);

    // Close releases the local port only; UDP needs no connection, so the
    // next Send goes out from a new one and is answered.
    w.click(w.cmdClose);
    QCOMPARE(w.sessionControls(), kUdpStarted);
    w.click(w.cmdSend);
    QTRY_COMPARE(w.arrivals.size(), 2);

    // Cont after another Close chains as usual, and Stop ends it.
    w.click(w.cmdClose);
    w.click(w.cmdCont);
    QTRY_VERIFY(w.arrivals.size() >= 5);
    w.click(w.cmdCont);
    QCOMPARE(w.cmdCont->text(), QStringLiteral("Cont"));
    settle();
    const qsizetype sent = w.sends.size();
    settle();
    QCOMPARE(w.sends.size(), sent);
    QCOMPARE(boxes.count(), 0);
    QCOMPARE(w.ended, 0);
}

void TestFaultMatrix::badTexts_data()
{
    QTest::addColumn<int>("box"); // index in Window::requestBoxes()
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("message");
    const QString longData = QString(496, u'A');
    QTest::newRow("Com ID character beyond one byte")
        << 0 << QStringLiteral("KORV\u0100")
        << QStringLiteral("Com ID: \"KORV\u0100\" holds the character \u0100, which has no one-byte code.");
    QTest::newRow("empty source") << 1 << ""
                                  << "Source: the text is empty; type one or two hexadecimal digits.";
    QTest::newRow("non-hex source") << 1 << "3G"
                                    << "Source: \"3G\" is not hexadecimal.";
    QTest::newRow("non-hex invoke ID") << 2 << "12G4"
                                       << "Invoke ID: \"12G4\" is not hexadecimal.";
    QTest::newRow("space in command") << 3 << "54 0"
                                      << "Command: \"54 0\" is not hexadecimal.";
    QTest::newRow("short command") << 3 << "54"
                                   << "Command: \"54\" is too short; type four hexadecimal digits.";
    QTest::newRow("non-hex data type") << 4 << "01Z0"
                                       << "Data Type: \"01Z0\" is not hexadecimal.";
    QTest::newRow("short data type") << 4 << "0"
                                     << "Data Type: \"0\" is too short; type four hexadecimal digits.";
    QTest::newRow("non-hex Var No") << 5 << "10g0"
                                    << "Var No: \"10g0\" is not hexadecimal.";
    QTest::newRow("empty Var No") << 5 << ""
                                  << "Var No: \"\" is too short; type four hexadecimal digits.";
    QTest::newRow("non-hex data") << 6 << "0800Q5"
                                  << "Data: \"0800Q5\" is not hexadecimal.";
    QTest::newRow("full-width digits in data")
        << 6 << QStringLiteral("\uFF10\uFF18")
        << QStringLiteral("Data: \"\uFF10\uFF18\" is not hexadecimal.");
    QTest::newRow("496 data characters")
        << 6 << longData
        << QStringLiteral("Data: \"%1\u2026\" has 496 characters; at most 494 (247 bytes) fit in one frame.")
               .arg(longData.left(40));
}

void TestFaultMatrix::badTexts()
{
    QFETCH(int, box);
    QFETCH(QString, text);
    QFETCH(QString, message);
    const QString address = QStringLiteral("127.0.0.82");
    TcpPeer peer(address);
    Window w(address);
    MessageBoxCatcher boxes;
    QVERIFY(w.open(Proto::Tcp));
    QTRY_VERIFY(peer.socket());

    QLineEdit* edited = w.requestBoxes().at(box);
    const QString good = edited->text();
    edited->setText(text);
    QCOMPARE(edited->text(), text);
    const QStringList typed = w.requestTexts();

    // Send and Cont each give the message and change nothing.
    w.click(w.cmdSend);
    QTRY_COMPARE(boxes.count(), 1);
    w.click(w.cmdCont);
    QTRY_COMPARE(boxes.count(), 2);
    for (const MessageBoxCatcher::Message& shown : boxes.messages()) {
        QCOMPARE(shown.title, kOwnTitle);
        QCOMPARE(shown.icon, QMessageBox::Critical);
        QCOMPARE(shown.text, message);
    }
    QCOMPARE(w.requestTexts(), typed);
    QCOMPARE(peer.received(), QByteArray());
    QCOMPARE(w.cmdCont->text(), QStringLiteral("Cont"));
    QCOMPARE(w.cmdCont->text(), QStringLiteral("Cont"));
    QCOMPARE(w.sessionControls(), kTcpConnected);
    QCOMPARE(w.sends.size(), 0);

    // Mended, exactly the intended frame is the first on the wire.
    edited->setText(good);
    w.click(w.cmdSend);
    QTRY_COMPARE(peer.received().size(), kDefaultRequest.size());
    QCOMPARE(peer.received(), kDefaultRequest);
    QCOMPARE(w.ended, 0);
}

QTEST_MAIN(TestFaultMatrix)
#include "tst_fault_matrix.moc"
