// SPDX-License-Identifier: GPL-3.0-or-later
// A test session driven by clicks: the real window against peers on loopback.
#include "ui/form_main.h"

#include "harness/loopback_peers.h"
#include "harness/message_box_catcher.h"
#include "harness/module_sim_process.h"
#include "harness/window_driver.h"

#include "codec/frame_layout.h"
#include "codec/request_encoder.h"
#include "net/client_socket.h"

#include <QtTest>

namespace {

QByteArray hex(const char* text)
{
    return QByteArray::fromHex(text);
}

// The request the default texts give.
const QByteArray kDefaultRequest = hex("4B4F52562D54414D4245 000000 33 0000 1200 00 1D"
                                       "5400 0100 0000 1000 0800255157302E302E30");
// A 30-byte reply: command 5401, data type 0100, state 0000, Code/No 0102.
const QByteArray kReply30 = hex("4B4F52562D54414D4245 000000 B0 0102 0A00 00 5A"
                                "5401 0100 0000 0000 0102");

using Window = WindowDriver;

// `reply` with `data` appended, its length field and checksum made to fit.
QByteArray withData(QByteArray reply, const QByteArray& data)
{
    reply += data;
    reply[frame::kLengthOffset] = static_cast<char>(reply.size() - frame::kHeaderSize);
    reply[frame::kCheckSumOffset] =
        static_cast<char>(ByteSum(reply, frame::kCheckSumFirst, frame::kCheckSumLast));
    return reply;
}

// Presses Connect and waits until both ends hold the connection.
bool connectTo(Window& w, const TcpPeer& peer)
{
    return w.open(WindowDriver::Proto::Tcp) && QTest::qWaitFor([&] { return peer.socket() != nullptr; });
}

// The request the seven boxes give now, encoded independently of the window.
QByteArray requestOfTheBoxes(const Window& w)
{
    QStringList t;
    for (const QLineEdit* b : w.requestBoxes())
        t << b->text();
    QByteArray frame;
    InitHeader(frame);
    return encodeRequest({t[0], t[1], t[2], t[3], t[4], t[5], t[6]}, frame) ? QByteArray() : frame;
}

// Replaces a box's text by typing into it.
void retype(QLineEdit* box, const QString& text)
{
    box->setFocus();
    box->selectAll();
    QTest::keyClicks(box, text);
}

// The pointer over the window, and the response boxes' texts, at the moment
// a message box is shown.
struct PointerAtMessage : QObject {
    explicit PointerAtMessage(const Window& w)
        : w(w)
    {
        qApp->installEventFilter(this);
    }
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Show && qobject_cast<QMessageBox*>(watched)) {
            shape = w.cursorOverWindow();
            boxes = w.responseBoxes();
        }
        return false;
    }
    const Window& w;
    Qt::CursorShape shape = Qt::BlankCursor;
    QStringList boxes;
};

// What the window shows when its first message box opens, and the socket's
// events that a test raises behind that box: `behind` runs once the box is
// up, and every arrival the socket announces while a box is up is counted.
struct BehindTheMessage : QObject {
    BehindTheMessage(const Window& w, ClientSocket& socket, std::function<void()> behind)
        : w(w)
        , behind(std::move(behind))
    {
        qApp->installEventFilter(this);
        QObject::connect(&socket, &ClientSocket::dataArrival, this, [this] {
            if (qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
                ++arrivalsBehind;
        });
    }
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Show && qobject_cast<QMessageBox*>(watched) && !shown) {
            shown = true;
            boxes = w.responseBoxes();
            times = QStringList{w.txtResTime->text(), w.txtMinTime->text(), w.txtMaxTime->text()};
            QTimer::singleShot(0, this, behind);
        }
        return false;
    }
    QStringList timesNow() const
    {
        return {w.txtResTime->text(), w.txtMinTime->text(), w.txtMaxTime->text()};
    }
    const Window& w;
    std::function<void()> behind;
    bool shown = false;
    QStringList boxes;
    QStringList times;
    int arrivalsBehind = 0;
};

} // namespace

Q_DECLARE_METATYPE(WindowDriver::Proto)
Q_DECLARE_METATYPE(SocketEnd::Reason)

class TestSession : public QObject {
    Q_OBJECT
private slots:
    void sessionAgainstSimulator_data();
    void sessionAgainstSimulator();
    void echoedHeaderSendsTheSameBytes();
    void editBetweenSendsGoesOnTheWire_data();
    void editBetweenSendsGoesOnTheWire();
    void replyLengths_data();
    void replyLengths();
    void statisticsSurviveCloseAndCont();
    void continuousModeChainsAndStops();
    void replyInTwoPiecesIsOneReply();
    void bytesPastTheReplyInOneWrite();
    void incompleteReplyThenSend();
    void repliesAlikeButForTheirInvokeIds_data();
    void repliesAlikeButForTheirInvokeIds();
    void closeEndsContinuousMode_data();
    void closeEndsContinuousMode();
    void endingMessage_data();
    void endingMessage();
    void eventsBehindTheEndingMessage_data();
    void eventsBehindTheEndingMessage();
    void refusedOperationsKeepTheWindow();
    void connectPressedTwice();
    void hourglassEndsWithTheAttempt_data();
    void hourglassEndsWithTheAttempt();
    void editingWhileContinuousModeRuns_data();
    void editingWhileContinuousModeRuns();
    void enterPressesFocusedButton_data();
    void enterPressesFocusedButton();
    void closingTheWindowClosesTheSocket();
};

void TestSession::sessionAgainstSimulator_data()
{
    QTest::addColumn<bool>("udp");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("invokeId"); // typed before the send; empty: the default
    QTest::addColumn<QStringList>("header"); // the request header boxes after the send
    QTest::newRow("TCP") << false << QStringLiteral("127.0.0.41") << QString()
                         << QStringList{"KORV-TAMBE", "33", "0000", "1200", "1D"};
    QTest::newRow("UDP, invoke ID typed in lower case")
        << true << QStringLiteral("127.0.0.42") << "1a2b"
        << QStringList{"KORV-TAMBE", "33", "1A2B", "1200", "62"};
}

// Connect or Start, one request and its reply from the simulator, shown in
// the boxes; while the session is open its address and protocol are locked.
void TestSession::sessionAgainstSimulator()
{
    QFETCH(bool, udp);
    QFETCH(QString, address);
    QFETCH(QString, invokeId);
    QFETCH(QStringList, header);
    ModuleSimProcess sim(address);
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    Window w(address);
    MessageBoxCatcher boxes;
    const QList<bool> ready{true, true, true, true, false, false, true};
    const QList<bool> open{false, false, false, false, true, true, true};
    const QString caption = udp ? QStringLiteral("Start") : QStringLiteral("Connect");

    QCOMPARE(w.sessionControls(), ready);
    if (udp)
        w.click(w.optUDP);
    QCOMPARE(w.cmdConnect->text(), caption);
    w.click(w.cmdConnect);
    if (!udp) {
        // Connecting until the event loop delivers the connection.
        QCOMPARE(w.cursorOverWindow(), Qt::WaitCursor);
        QCOMPARE(w.sessionControls(), ready);
        QTRY_COMPARE(w.sessionControls(), open);
    }
    // Open (UDP at once): address and options locked, Connect or Start spent.
    QCOMPARE(w.sessionControls(), open);
    QCOMPARE(w.cursorOverWindow(), Qt::ArrowCursor);
    w.click(udp ? w.optTCP : w.optUDP);
    QTest::keyClicks(w.txtIpAdd, QStringLiteral("9"));
    QCOMPARE(w.optUDP->isChecked(), udp);
    QCOMPARE(w.cmdConnect->text(), caption);
    QCOMPARE(w.txtIpAdd->text(), address);

    if (!invokeId.isEmpty())
        w.txtReqInvokeId->setText(invokeId);
    w.click(w.cmdSend);
    QCOMPARE(w.requestHeaderBoxes(), header);
    QTRY_VERIFY(!w.txtResTime->text().isEmpty());
    // The simulator echoes the identifying fields and the data.
    QCOMPARE(w.txtResComId->text(), QStringLiteral("KORV-TAMBE"));
    QCOMPARE(w.txtResInvokeId->text(), header.at(2));
    QCOMPARE(w.txtResLength->text(), QStringLiteral("1400"));
    QCOMPARE(w.txtResCmnd->text(), QStringLiteral("5400"));
    QCOMPARE(w.txtResDataType->text(), QStringLiteral("0100"));
    QCOMPARE(w.txtResState->text(), QStringLiteral("0000"));
    QCOMPARE(w.txtResCode->text(), QStringLiteral("0000"));
    QCOMPARE(w.txtResData->text(), QStringLiteral("0800255157302E302E30"));
    // The first reply sets all three times.
    QCOMPARE(w.txtMinTime->text(), w.txtResTime->text());
    QCOMPARE(w.txtMaxTime->text(), w.txtResTime->text());
    QCOMPARE(boxes.count(), 0);
    QCOMPARE(w.ended, 0);
}

void TestSession::echoedHeaderSendsTheSameBytes()
{
    const QString address = QStringLiteral("127.0.0.40");
    UdpPeer peer(address);
    Window w(address);
    QVERIFY(w.open(WindowDriver::Proto::Udp));
    w.txtReqComId->setText(QStringLiteral("A\u00E9"));
    w.txtReqSrc->setText(QStringLiteral("5"));
    w.txtReqInvokeId->setText(QStringLiteral("12"));
    w.click(w.cmdSend);
    // The boxes now hold the header as sent: the company ID without the
    // zero bytes that pad it, source in two digits, the invoke ID that went out.
    QCOMPARE(w.requestHeaderBoxes(), (QStringList{QStringLiteral("A\u00E9"), "05", "0000", "1200", "41"}));
    w.click(w.cmdSend);
    QTRY_COMPARE(peer.datagrams().size(), 2);
    QCOMPARE(peer.datagrams().at(0).left(20), hex("41E90000000000000000 000000 05 0000 1200 00 41"));
    QCOMPARE(peer.datagrams().at(1), peer.datagrams().at(0));
}

void TestSession::editBetweenSendsGoesOnTheWire_data()
{
    QTest::addColumn<int>("box"); // in the order of WindowDriver::requestBoxes
    QTest::addColumn<QString>("edited");
    QTest::newRow("Com ID") << 0 << QStringLiteral("AB");
    QTest::newRow("Source") << 1 << QStringLiteral("7F");
    QTest::newRow("Invoke ID") << 2 << QStringLiteral("1A2B");
    QTest::newRow("Command") << 3 << QStringLiteral("5800");
    QTest::newRow("Data Type") << 4 << QStringLiteral("0200");
    QTest::newRow("Var No") << 5 << QStringLiteral("2000");
    QTest::newRow("Data") << 6 << QStringLiteral("0102");
}

// The encoded request is kept between sends; an edit in any box must reach
// the next frame on the wire.
void TestSession::editBetweenSendsGoesOnTheWire()
{
    QFETCH(int, box);
    QFETCH(QString, edited);
    const QString address = QStringLiteral("127.0.0.39");
    UdpPeer peer(address);
    Window w(address);
    QVERIFY(w.open(WindowDriver::Proto::Udp));
    w.click(w.cmdSend);
    QTRY_COMPARE(peer.datagrams().size(), 1);
    QCOMPARE(peer.datagrams().at(0), kDefaultRequest);

    w.requestBoxes().at(box)->setText(edited);
    const QByteArray expected = requestOfTheBoxes(w);
    w.click(w.cmdSend);
    QTRY_COMPARE(peer.datagrams().size(), 2);
    QCOMPARE(peer.datagrams().at(1), expected);
    QVERIFY(expected != kDefaultRequest);
}

void TestSession::replyLengths_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QStringList>("boxes");
    const QStringList fixed{"KORV-TAMBE", "B0", "0102", "0A00", "5A", "5401", "0100", "0000", "0102"};
    QTest::newRow("30 bytes: every fixed field, no data") << kReply30 << (fixed + QStringList{""});
    QTest::newRow("31 bytes: one data byte") << kReply30 + hex("7F") << (fixed + QStringList{"7F"});
    QTest::newRow("34 bytes: data in order")
        << kReply30 + hex("000AFF10") << (fixed + QStringList{"000AFF10"});
    QTest::newRow("20 bytes: header only")
        << kReply30.left(20) << (fixed.mid(0, 5) + QStringList{"", "", "", "", ""});
    QTest::newRow("4 bytes: nothing whole") << kReply30.left(4) << QStringList(10);
    // Far more than the box can show at once.
    QByteArray longData;
    for (int i = 0; i < 200; ++i)
        longData += static_cast<char>(i);
    QTest::newRow("230 bytes: the data box shows its start")
        << kReply30 + longData << (fixed + QStringList{QString::fromLatin1(longData.toHex().toUpper())});
}

void TestSession::replyLengths()
{
    QFETCH(QByteArray, reply);
    QFETCH(QStringList, boxes);
    const QString address = QStringLiteral("127.0.0.43");
    UdpPeer peer(address);
    Window w(address);
    QVERIFY(w.open(WindowDriver::Proto::Udp));
    // A longer reply first, so that every box has a text to lose.
    w.click(w.cmdSend);
    QTRY_COMPARE(peer.datagrams().size(), 1);
    QCOMPARE(peer.datagrams().first(), kDefaultRequest);
    peer.reply(kReply30 + hex("EEEEEE"));
    QTRY_COMPARE(w.txtResData->text(), QStringLiteral("EEEEEE"));

    peer.reply(reply);
    QTRY_COMPARE(w.responseBoxes(), boxes);
    // The data box shows the start of its text, where a long one's tail
    // would otherwise stand.
    QCOMPARE(w.txtResData->cursorPosition(), 0);
}

void TestSession::statisticsSurviveCloseAndCont()
{
    const QString address = QStringLiteral("127.0.0.44");
    UdpPeer peer(address);
    Window w(address);
    MessageBoxCatcher boxes;
    QVERIFY(w.open(WindowDriver::Proto::Udp));

    // A slow first reply sets all three boxes.
    w.click(w.cmdSend);
    QTRY_COMPARE(peer.datagrams().size(), 1);
    QTest::qWait(40);
    peer.reply(kReply30);
    QTRY_VERIFY(!w.txtResTime->text().isEmpty());
    const QString slow = w.txtResTime->text();
    QVERIFY2(slow.toInt() >= 40, qPrintable(slow));
    QCOMPARE(w.txtMinTime->text(), slow);
    QCOMPARE(w.txtMaxTime->text(), slow);

    // A quick one lowers the minimum and leaves the maximum.
    w.click(w.cmdSend);
    QTRY_COMPARE(peer.datagrams().size(), 2);
    peer.reply(kReply30);
    QTRY_VERIFY(w.txtResTime->text().toInt() < slow.toInt());
    QCOMPARE(w.txtMinTime->text(), w.txtResTime->text());
    QCOMPARE(w.txtMaxTime->text(), slow);

    // Cont, Stop and Close reset nothing.
    const QString fast = w.txtMinTime->text();
    w.click(w.cmdCont);
    w.click(w.cmdCont);
    w.click(w.cmdClose);
    // The next reply is measured against the same extremes.
    w.click(w.cmdSend);
    QTRY_COMPARE(peer.datagrams().size(), 4);
    peer.reply(kReply30);
    QTRY_COMPARE(w.arrivals.size(), 3);
    QCOMPARE(w.txtMinTime->text().toInt(), std::min(fast.toInt(), w.txtResTime->text().toInt()));
    QCOMPARE(w.txtMaxTime->text(), slow);
    QCOMPARE(boxes.count(), 0);
}

void TestSession::continuousModeChainsAndStops()
{
    const QString address = QStringLiteral("127.0.0.45");
    TcpPeer peer(address);
    Window w(address);
    QVERIFY(connectTo(w, peer));

    // On: caption Stop and a request at once.
    w.click(w.cmdCont);
    QCOMPARE(w.cmdCont->text(), QStringLiteral("Stop"));
    QTRY_COMPARE(peer.received().size(), 38);

    // Each reply brings the next request.
    for (int i = 1; i <= 3; ++i) {
        peer.socket()->write(kReply30);
        QTRY_COMPARE(peer.received().size(), 38 * (i + 1));
    }

    // Off with a reply in flight: the reply is shown, nothing more is sent.
    w.click(w.cmdCont);
    QCOMPARE(w.cmdCont->text(), QStringLiteral("Cont"));
    w.txtResData->clear();
    peer.socket()->write(withData(kReply30, hex("AB")));
    QTRY_COMPARE(w.txtResData->text(), QStringLiteral("AB"));
    QTest::qWait(100);
    QCOMPARE(peer.received().size(), 38 * 4);
}

void TestSession::replyInTwoPiecesIsOneReply()
{
    const QString address = QStringLiteral("127.0.0.46");
    TcpPeer peer(address);
    Window w(address);
    QVERIFY(connectTo(w, peer));
    w.click(w.cmdSend);
    QTRY_COMPARE(peer.received(), kDefaultRequest);

    // The header alone: shown at once, the body fields empty, no time yet.
    peer.socket()->write(kReply30.left(20));
    QTRY_COMPARE(w.arrivals.size(), 1);
    QCOMPARE(w.txtResCheckSum->text(), QStringLiteral("5A"));
    QCOMPARE(w.txtResCmnd->text(), QString());
    QCOMPARE(w.txtResTime->text(), QString());
    // The body completes the reply, shown whole and timed once.
    peer.socket()->write(kReply30.mid(20));
    QTRY_COMPARE(w.arrivals.size(), 2);
    QCOMPARE(w.bytesArrived, 30);
    QCOMPARE(w.txtResComId->text(), QStringLiteral("KORV-TAMBE"));
    QCOMPARE(w.txtResCode->text(), QStringLiteral("0102"));
    QVERIFY(!w.txtResTime->text().isEmpty());
    QCOMPARE(w.txtMinTime->text(), w.txtResTime->text());
}

// Bytes the module wrote past its reply, in the same write, are shown as a
// frame of their own; the next Send's reply fills the boxes as it came.
void TestSession::bytesPastTheReplyInOneWrite()
{
    const QString address = QStringLiteral("127.0.0.192");
    TcpPeer peer(address);
    Window w(address);
    MessageBoxCatcher boxes;
    QVERIFY(connectTo(w, peer));
    w.click(w.cmdSend);
    QTRY_COMPARE(peer.received(), kDefaultRequest);

    // A whole frame with one data byte, and the first three of another.
    peer.send(kReply30 + withData(kReply30, hex("EE")) + kReply30.left(3));
    QTRY_COMPARE(w.bytesArrived, 30 + 31 + 3);
    QCOMPARE(
        w.responseBoxes(),
        (QStringList{"KORV-TAMBE", "B0", "0102", "0B00", "96", "5401", "0100", "0000", "0102", "EE4B4F52"}));

    w.txtResTime->clear();
    w.click(w.cmdSend);
    QTRY_COMPARE(peer.received().size(), 2 * kDefaultRequest.size());
    peer.send(withData(kReply30, hex("AB")));
    QTRY_COMPARE(
        w.responseBoxes(),
        (QStringList{"KORV-TAMBE", "B0", "0102", "0B00", "96", "5401", "0100", "0000", "0102", "AB"}));
    QVERIFY(!w.txtResTime->text().isEmpty());
    QCOMPARE(boxes.count(), 0);
}

// A reply that never completes is shown as far as it came, untimed; the
// next Send's reply fills every box and is timed.
void TestSession::incompleteReplyThenSend()
{
    const QString address = QStringLiteral("127.0.0.157");
    TcpPeer peer(address);
    Window w(address);
    QVERIFY(connectTo(w, peer));
    w.click(w.cmdSend);
    QTRY_COMPARE(peer.received(), kDefaultRequest);

    peer.send(kReply30.left(25));
    QTRY_COMPARE(w.arrivals.size(), 1);
    QCOMPARE(w.responseBoxes(),
             (QStringList{"KORV-TAMBE", "B0", "0102", "0A00", "5A", "5401", "0100", "", "", ""}));
    QCOMPARE(w.txtResTime->text(), QString());

    w.click(w.cmdSend);
    QTRY_COMPARE(peer.received().size(), 2 * kDefaultRequest.size());
    peer.send(kReply30);
    QTRY_COMPARE(w.responseBoxes(),
                 (QStringList{"KORV-TAMBE", "B0", "0102", "0A00", "5A", "5401", "0100", "0000", "0102", ""}));
    QVERIFY(!w.txtResTime->text().isEmpty());
    QCOMPARE(w.txtMinTime->text(), w.txtResTime->text());
}

void TestSession::repliesAlikeButForTheirInvokeIds_data()
{
    QTest::addColumn<WindowDriver::Proto>("proto");
    QTest::addColumn<QString>("address");
    QTest::newRow("TCP") << WindowDriver::Proto::Tcp << QStringLiteral("127.0.0.158");
    QTest::newRow("UDP") << WindowDriver::Proto::Udp << QStringLiteral("127.0.0.159");
}

// With numbered invoke IDs every request and its reply differ from the ones
// before in the invoke ID and the checksum: the boxes show each frame's own,
// and a reply that differs in more shows all of it.
void TestSession::repliesAlikeButForTheirInvokeIds()
{
    QFETCH(WindowDriver::Proto, proto);
    QFETCH(QString, address);
    std::unique_ptr<TcpPeer> tcpPeer;
    std::unique_ptr<UdpPeer> udpPeer;
    if (proto == WindowDriver::Proto::Tcp)
        tcpPeer = std::make_unique<TcpPeer>(address);
    else
        udpPeer = std::make_unique<UdpPeer>(address);
    Window w(address);
    MessageBoxCatcher boxes;
    w.form.setNumberedInvokeIds(true);
    if (tcpPeer)
        QVERIFY(connectTo(w, *tcpPeer));
    else
        QVERIFY(w.open(WindowDriver::Proto::Udp));

    // Each reply answers its request by its invoke ID; the third one's
    // source is another too.
    struct Step {
        QByteArray reply;
        QStringList request; // the request header boxes after the send
        QStringList response; // the response boxes after the reply
    };
    QByteArray third = kReply30;
    third[frame::kSourceOffset] = '\xB1';
    QByteArray replies[] = {kReply30, kReply30, third};
    for (quint16 id = 1; id <= 3; ++id)
        setInvokeId(replies[id - 1], id);
    const Step steps[] = {
        {replies[0],
         {"KORV-TAMBE", "33", "0001", "1200", "1E"},
         {"KORV-TAMBE", "B0", "0001", "0A00", "93", "5401", "0100", "0000", "0102", ""}},
        {replies[1],
         {"KORV-TAMBE", "33", "0002", "1200", "1F"},
         {"KORV-TAMBE", "B0", "0002", "0A00", "94", "5401", "0100", "0000", "0102", ""}},
        {replies[2],
         {"KORV-TAMBE", "33", "0003", "1200", "20"},
         {"KORV-TAMBE", "B1", "0003", "0A00", "96", "5401", "0100", "0000", "0102", ""}},
    };
    qsizetype sent = 0;
    for (const Step& step : steps) {
        w.txtResTime->clear();
        w.click(w.cmdSend);
        ++sent;
        QCOMPARE(w.requestHeaderBoxes(), step.request);
        if (tcpPeer) {
            QTRY_COMPARE(tcpPeer->received().size(), sent * kDefaultRequest.size());
            tcpPeer->send(step.reply);
        } else {
            QTRY_COMPARE(udpPeer->datagrams().size(), sent);
            udpPeer->reply(step.reply);
        }
        QTRY_COMPARE(w.responseBoxes(), step.response);
        // Timed: the reply answered its own request.
        QTRY_VERIFY(!w.txtResTime->text().isEmpty());
    }
    QCOMPARE(boxes.count(), 0);
}

void TestSession::closeEndsContinuousMode_data()
{
    QTest::addColumn<WindowDriver::Proto>("proto");
    QTest::addColumn<QString>("address");
    QTest::newRow("TCP") << WindowDriver::Proto::Tcp << QStringLiteral("127.0.0.193");
    QTest::newRow("UDP") << WindowDriver::Proto::Udp << QStringLiteral("127.0.0.194");
}

// Close while continuous mode waits for a reply ends continuous mode: Cont
// and Send are offered again, and the next Cont starts a chain anew.
void TestSession::closeEndsContinuousMode()
{
    QFETCH(WindowDriver::Proto, proto);
    QFETCH(QString, address);
    const bool tcp = proto == WindowDriver::Proto::Tcp;
    // Peers that never answer: the chain's request waits when Close comes.
    std::unique_ptr<TcpPeer> tcpPeer(tcp ? new TcpPeer(address) : nullptr);
    std::unique_ptr<UdpPeer> udpPeer(tcp ? nullptr : new UdpPeer(address));
    const auto requestsIn = [&] {
        return tcp ? tcpPeer->received().size() / kDefaultRequest.size() : udpPeer->datagrams().size();
    };
    Window w(address);
    MessageBoxCatcher boxes;
    QVERIFY(tcp ? connectTo(w, *tcpPeer) : w.open(proto));

    w.click(w.cmdCont);
    QCOMPARE(w.cmdCont->text(), QStringLiteral("Stop"));
    QVERIFY(!w.cmdSend->isEnabled());
    QTRY_COMPARE(requestsIn(), 1);

    w.click(w.cmdClose);
    QCOMPARE(w.cmdCont->text(), QStringLiteral("Cont"));
    QVERIFY(w.cmdSend->isEnabled());
    QTest::qWait(150);
    QCOMPARE(w.sends.size(), 1);

    // Cont switches continuous mode on again: over UDP a request goes out
    // from a new port; over TCP, with the connection closed, it is refused
    // and continuous mode goes off again.
    w.click(w.cmdCont);
    if (tcp) {
        QTRY_COMPARE(boxes.count(), 1);
        QCOMPARE(boxes.messages().first().text, QStringLiteral("The socket is not connected."));
        QCOMPARE(w.cmdCont->text(), QStringLiteral("Cont"));
    } else {
        QTRY_COMPARE(requestsIn(), 2);
        QCOMPARE(w.cmdCont->text(), QStringLiteral("Stop"));
        QCOMPARE(boxes.count(), 0);
    }
    QCOMPARE(w.ended, 0);
}

void TestSession::endingMessage_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("listening");
    QTest::addColumn<int>("holdMs"); // how long the message stays up
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text"); // a pattern, case-insensitive
    QTest::newRow("the module closes after its reply") << "127.0.0.47" << true << 0 << "WinSock Message"
                                                       << "^Close!$";
    QTest::newRow("reply and close in one burst, the message held up")
        << "127.0.0.49" << true << 200 << "WinSock Message"
        << "^Close!$";
    // Nothing listens on this address.
    QTest::newRow("connection refused") << "127.0.0.48" << false << 0 << "Winsock Error"
                                        << "refused";
}

// The end of the connection ends the program, once, after one message; the
// socket's events behind a message that is up change nothing.
void TestSession::endingMessage()
{
    QFETCH(QString, address);
    QFETCH(bool, listening);
    QFETCH(int, holdMs);
    QFETCH(QString, title);
    QFETCH(QString, text);
    std::unique_ptr<TcpPeer> peer(listening ? new TcpPeer(address) : nullptr);
    Window w(address);
    MessageBoxCatcher boxes;
    PointerAtMessage atMessage(w);
    if (peer) {
        QVERIFY(connectTo(w, *peer));
        w.click(w.cmdSend);
        QTRY_COMPARE(peer->received(), kDefaultRequest);
        boxes.holdFor(holdMs);
        peer->socket()->write(kReply30);
        peer->socket()->disconnectFromHost();
    } else {
        w.click(w.cmdConnect);
    }
    QTRY_COMPARE(w.ended, 1);
    QCOMPARE(boxes.count(), 1);
    const MessageBoxCatcher::Message& message = boxes.messages().first();
    QCOMPARE(message.title, title);
    QVERIFY2(message.text.contains(QRegularExpression(text, QRegularExpression::CaseInsensitiveOption)),
             qPrintable(message.text));
    QCOMPARE(message.icon, QMessageBox::Critical);
    QCOMPARE(message.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    // Neither the socket's events behind the message nor the end of the
    // session change the boxes the message was shown over.
    QCOMPARE(w.responseBoxes(), atMessage.boxes);
}

void TestSession::eventsBehindTheEndingMessage_data()
{
    QTest::addColumn<WindowDriver::Proto>("proto");
    QTest::addColumn<QString>("address");
    QTest::addColumn<SocketEnd::Reason>("end");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");
    QTest::newRow("TCP, Close!") << WindowDriver::Proto::Tcp << QStringLiteral("127.0.0.195")
                                 << SocketEnd::Reason::Closed << "WinSock Message"
                                 << "Close!";
    QTest::newRow("TCP, a reset") << WindowDriver::Proto::Tcp << QStringLiteral("127.0.0.196")
                                  << SocketEnd::Reason::Reset << "Winsock Error"
                                  << "Connection reset by peer";
    QTest::newRow("UDP, a failed send") << WindowDriver::Proto::Udp << QStringLiteral("127.0.0.197")
                                        << SocketEnd::Reason::Failed << "Winsock Error"
                                        << "Network is unreachable";
}

// While the message that ends the session is up, a reply to the request
// still waiting reaches the socket and a second error follows: neither
// changes a box behind the message, and no second message comes. The end
// is raised on the socket by hand, with the connection still carrying
// bytes: a real end lets none through, so only that way is the session's
// own refusal of events after its end put to the test.
void TestSession::eventsBehindTheEndingMessage()
{
    QFETCH(WindowDriver::Proto, proto);
    QFETCH(QString, address);
    QFETCH(SocketEnd::Reason, end);
    QFETCH(QString, title);
    QFETCH(QString, text);
    const bool tcp = proto == WindowDriver::Proto::Tcp;
    std::unique_ptr<TcpPeer> tcpPeer(tcp ? new TcpPeer(address) : nullptr);
    std::unique_ptr<UdpPeer> udpPeer(tcp ? nullptr : new UdpPeer(address));
    const auto reply = [&](const QByteArray& bytes) {
        if (tcp)
            tcpPeer->send(bytes);
        else
            udpPeer->reply(bytes);
    };
    const auto requestsIn = [&] {
        return tcp ? tcpPeer->received().size() / kDefaultRequest.size() : udpPeer->datagrams().size();
    };
    Window w(address);
    MessageBoxCatcher boxes;
    QVERIFY(tcp ? connectTo(w, *tcpPeer) : w.open(proto));
    auto* socket = w.form.findChild<ClientSocket*>();
    QVERIFY(socket);

    // One reply shown and timed; a second request waits for its own.
    w.click(w.cmdSend);
    QTRY_COMPARE(requestsIn(), 1);
    reply(kReply30);
    QTRY_VERIFY(!w.txtResTime->text().isEmpty());
    w.click(w.cmdSend);
    QTRY_COMPARE(requestsIn(), 2);

    bool secondErrorRaised = false;
    BehindTheMessage behind(w, *socket, [&] {
        reply(withData(kReply30, hex("AB")));
        QTimer::singleShot(100, socket, [&] {
            secondErrorRaised = true;
            emit socket->error({SocketEnd::Reason::Reset, QStringLiteral("Connection reset by peer")});
        });
    });
    boxes.holdFor(400);
    QMetaObject::invokeMethod(
        socket,
        [socket, end, text] {
            if (end == SocketEnd::Reason::Closed)
                emit socket->peerClosed();
            else
                emit socket->error({end, text});
        },
        Qt::QueuedConnection);
    QTRY_COMPARE(w.ended, 1);

    QCOMPARE(boxes.count(), 1);
    QCOMPARE(boxes.messages().first().title, title);
    QCOMPARE(boxes.messages().first().text, text);
    // The reply did reach the socket, and the error was raised, while the
    // message was up.
    QVERIFY(behind.arrivalsBehind > 0);
    QVERIFY(secondErrorRaised);
    QCOMPARE(w.responseBoxes(), behind.boxes);
    QCOMPARE(behind.timesNow(), behind.times);
    QTest::qWait(100);
    QCOMPARE(boxes.count(), 1);
    QCOMPARE(w.ended, 1);
}

void TestSession::refusedOperationsKeepTheWindow()
{
    const QString address = QStringLiteral("127.0.0.50");
    TcpPeer peer(address);
    Window w(address);
    MessageBoxCatcher boxes;
    QVERIFY(connectTo(w, peer));
    const QList<bool> connected = w.sessionControls();

    // Close closes the socket only.
    w.click(w.cmdClose);
    QCOMPARE(w.sessionControls(), connected);
    QVERIFY(w.form.isVisible());

    w.click(w.cmdSend);
    QTRY_COMPARE(boxes.count(), 1);
    QCOMPARE(boxes.messages().at(0).icon, QMessageBox::Critical);
    QVERIFY(!boxes.messages().at(0).text.isEmpty());

    // Cont after Close: the failed send switches continuous mode back off.
    w.click(w.cmdCont);
    QTRY_COMPARE(boxes.count(), 2);
    QCOMPARE(w.cmdCont->text(), QStringLiteral("Cont"));
    QCOMPARE(w.sessionControls(), connected);
    QCOMPARE(w.ended, 0);
    QCOMPARE(peer.received().size(), 0);
}

void TestSession::connectPressedTwice()
{
    const QString address = QStringLiteral("127.0.0.51");
    TcpPeer peer(address);
    Window w(address);
    MessageBoxCatcher boxes;
    // Two clicks before the event loop runs: the second finds the first
    // connection still being opened.
    w.click(w.cmdConnect);
    w.click(w.cmdConnect);
    QCOMPARE(boxes.count(), 1);
    QVERIFY(!boxes.messages().first().text.isEmpty());
    // The first attempt goes on and connects (possibly while the box was up).
    QTRY_VERIFY(w.cmdSend->isEnabled());
    QTRY_VERIFY(peer.socket());
    QCOMPARE(w.cursorOverWindow(), Qt::ArrowCursor);
    QCOMPARE(w.ended, 0);
}

void TestSession::hourglassEndsWithTheAttempt_data()
{
    QTest::addColumn<bool>("listening");
    QTest::addColumn<bool>("closeAtOnce"); // Close before the attempt could end
    QTest::addColumn<bool>("ends");
    QTest::newRow("connected") << true << false << false;
    QTest::newRow("refused, message shown") << false << false << true;
    QTest::newRow("Close while connecting") << true << true << false;
}

// The hourglass is the window's alone, and only while a connection is being
// opened; a refused one keeps it over the window while its message is up
// (the box keeps its own pointer).
void TestSession::hourglassEndsWithTheAttempt()
{
    QFETCH(bool, listening);
    QFETCH(bool, closeAtOnce);
    QFETCH(bool, ends);
    const QString address = QStringLiteral("127.0.0.85");
    std::unique_ptr<TcpPeer> peer(listening ? new TcpPeer(address) : nullptr);
    Window w(address);
    MessageBoxCatcher boxes;
    PointerAtMessage atMessage(w);
    w.click(w.cmdConnect);
    QCOMPARE(w.cursorOverWindow(), Qt::WaitCursor);
    const QMessageBox box(&w.form);
    QCOMPARE(w.cursorOver(&box), Qt::ArrowCursor);
    if (closeAtOnce)
        w.click(w.cmdClose);
    else
        QTRY_VERIFY(w.ended > 0 || w.cmdSend->isEnabled());
    QCOMPARE(w.cursorOverWindow(), Qt::ArrowCursor);
    QTest::qWait(100);
    QCOMPARE(w.cursorOverWindow(), Qt::ArrowCursor);
    QCOMPARE(boxes.count(), ends ? 1 : 0);
    QCOMPARE(atMessage.shape, ends ? Qt::WaitCursor : Qt::BlankCursor);
    QCOMPARE(w.ended, ends ? 1 : 0);
}

void TestSession::editingWhileContinuousModeRuns_data()
{
    QTest::addColumn<int>("box"); // in the order of WindowDriver::requestBoxes
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("message"); // empty: the text can be sent
    QTest::addColumn<QString>("final");
    QTest::newRow("Command half typed") << 3 << "5"
                                        << "Command: \"5\" is too short; type four hexadecimal digits."
                                        << "5800";
    QTest::newRow("Source not hexadecimal") << 1 << "3G"
                                            << "Source: \"3G\" is not hexadecimal."
                                            << "7F";
    QTest::newRow("Source of one digit") << 1 << "7"
                                         << ""
                                         << "7f";
    QTest::newRow("Invoke ID half typed") << 2 << "1A"
                                          << ""
                                          << "1A2B";
}

// A reply in continuous mode sends the next frame and echoes its header; the
// box being typed into keeps its text, a text that cannot be sent is marked
// while the last frame that could goes on, and the finished text goes out.
void TestSession::editingWhileContinuousModeRuns()
{
    QFETCH(int, box);
    QFETCH(QString, typed);
    QFETCH(QString, message);
    QFETCH(QString, final);
    const QString address = QStringLiteral("127.0.0.53");
    TcpPeer peer(address);
    Window w(address);
    MessageBoxCatcher boxes;
    QVERIFY(connectTo(w, peer));
    QVERIFY(QTest::qWaitForWindowActive(&w.form));
    w.click(w.cmdCont);
    QTRY_COMPARE(peer.received(), kDefaultRequest);
    const qsizetype size = kDefaultRequest.size();
    QLineEdit* edited = w.requestBoxes().at(box);

    w.txtReqComId->setText(QStringLiteral("AB")); // an edit done before
    const QByteArray before = requestOfTheBoxes(w);
    retype(edited, typed);
    QCOMPARE(w.framedInRed(edited), !message.isEmpty());
    // Framed and unframed again, the box keeps the form's face and size.
    QCOMPARE(QFontInfo(edited->font()).pixelSize(), QFontInfo(w.txtResData->font()).pixelSize());
    QCOMPARE(edited->font().family(), w.txtResData->font().family());
    QCOMPARE(edited->toolTip(), message);
    QCOMPARE(edited->accessibleDescription(), message);
    peer.send(kReply30);
    QTRY_COMPARE(peer.received().size(), 2 * size);
    if (!message.isEmpty())
        QCOMPARE(peer.received().mid(size), kDefaultRequest);
    QCOMPARE(edited->text(), typed);
    QCOMPARE(w.txtReqComId->text(), QStringLiteral("AB"));

    retype(edited, final);
    QVERIFY(!w.framedInRed(edited));
    QCOMPARE(QFontInfo(edited->font()).pixelSize(), QFontInfo(w.txtResData->font()).pixelSize());
    QCOMPARE(edited->toolTip(), QString());
    const QByteArray after = requestOfTheBoxes(w);
    QVERIFY(after != before);
    peer.send(kReply30);
    QTRY_COMPARE(peer.received().size(), 3 * size);
    QCOMPARE(peer.received().mid(2 * size), after);
    QCOMPARE(edited->text(), final);
    QCOMPARE(w.cmdCont->text(), QStringLiteral("Stop"));
    QCOMPARE(boxes.count(), 0);
}

void TestSession::enterPressesFocusedButton_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("key");
    for (const char* button : {"cmdConnect", "cmdSend", "cmdCont", "cmdClose"}) {
        QTest::addRow("%s, Return", button) << button << int(Qt::Key_Return);
        QTest::addRow("%s, Enter", button) << button << int(Qt::Key_Enter);
    }
}

void TestSession::enterPressesFocusedButton()
{
    QFETCH(QString, button);
    QFETCH(int, key);
    Window w(QStringLiteral("127.0.0.87"));
    MessageBoxCatcher boxes;
    QVERIFY(QTest::qWaitForWindowActive(&w.form));
    w.click(w.optUDP);
    if (button != QLatin1String("cmdConnect"))
        w.click(w.cmdConnect);
    auto* focused = w.form.findChild<QPushButton*>(button);
    focused->setFocus();
    QSignalSpy pressed(focused, &QAbstractButton::clicked);
    QTest::keyClick(focused, Qt::Key(key), key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);
    QCOMPARE(pressed.size(), 1);
    QCOMPARE(boxes.count(), 0);
}

void TestSession::closingTheWindowClosesTheSocket()
{
    const QString address = QStringLiteral("127.0.0.54");
    TcpPeer peer(address);
    Window w(address);
    QVERIFY(connectTo(w, peer));
    QSignalSpy gone(peer.socket(), &QTcpSocket::disconnected);
    w.form.close();
    QTRY_COMPARE(gone.size(), 1);
    QCOMPARE(w.ended, 0);
}

QTEST_MAIN(TestSession)
#include "tst_session.moc"
