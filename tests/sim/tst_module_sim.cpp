// SPDX-License-Identifier: GPL-3.0-or-later
// Tests of the module simulator: its pure reply logic, and the running
// process over TCP and UDP on its own loopback addresses and free ports.
#include "codec/default_request.h"
#include "codec/frame_display.h"
#include "codec/frame_layout.h"
#include "codec/request_encoder.h"
#include "harness/loopback_peers.h"
#include "harness/module_sim_process.h"
#include "network_abilities.h"
#include "reply_shaper.h"
#include "request_framer.h"
#include "response_builder.h"
#include "traffic_log.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <optional>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

// Data the tests send: a variable name with its length in front.
constexpr char kVarData[] = "0600254D57313030";

quint16 field16(const QByteArray& bytes, qsizetype offset)
{
    return static_cast<quint16>(static_cast<quint8>(bytes.at(offset))
                                | (static_cast<quint8>(bytes.at(offset + 1)) << 8));
}

// A request as the tool writes it from its boxes: the window's default texts
// with the given invoke ID, data, command, data type and company ID (pairs in
// frame order, as typed).
QByteArray request(const QString& invokeId = frame::kDefaultInvokeIdText,
                   const QString& data = frame::kDefaultDataText,
                   const QString& cmnd = frame::kDefaultCmndText,
                   const QString& dataType = frame::kDefaultDataTypeText,
                   const QString& comId = frame::kDefaultComIdText)
{
    const RequestTexts texts{comId,    frame::kDefaultSrcText,   invokeId, cmnd,
                             dataType, frame::kDefaultVarNoText, data};
    QByteArray bytes;
    InitHeader(bytes);
    if (const std::optional<QString> error = encodeRequest(texts, bytes))
        qFatal("%s", qPrintable(*error));
    return bytes;
}

QByteArray withLength(QByteArray frame, quint16 length)
{
    frame[frame::kLengthOffset] = static_cast<char>(length & 0xFF);
    frame[frame::kLengthHighOffset] = static_cast<char>(length >> 8);
    return frame;
}

// The company ID box text of a response that echoed `text`: always ten
// characters, zero bytes included.
QString shownComId(const char* text)
{
    // Trailing zero bytes of a company ID are not shown.
    return QString::fromLatin1(text);
}

// The frames in a TCP byte stream, cut by their length fields; an unfinished
// last frame is kept as it is, so that a list compared against it differs.
QList<QByteArray> responseFrames(const QByteArray& bytes)
{
    QList<QByteArray> frames;
    qsizetype at = 0;
    while (bytes.size() - at >= frame::kHeaderSize) {
        const qsizetype size = frame::kHeaderSize + field16(bytes, at + frame::kLengthOffset);
        frames.append(bytes.mid(at, size));
        at += size;
    }
    if (at < bytes.size())
        frames.append(bytes.mid(at));
    return frames;
}

// `reply` with `bytes` written at `offset` and a header checksum to match.
QByteArray withField(QByteArray reply, int offset, const QByteArray& bytes)
{
    reply.replace(offset, bytes.size(), bytes);
    reply[frame::kCheckSumOffset] =
        static_cast<char>(ByteSum(reply, frame::kCheckSumFirst, frame::kCheckSumLast));
    return reply;
}

// Request n of a test, told apart by its invoke ID; a second byte unlike the
// first shows a swap as well as a complement.
QByteArray numbered(int n)
{
    return request(QString("%1A5").arg(n, 2, 16, QChar('0')), kVarData);
}

using Ports = ModuleSimProcess::Ports;

// The second line of `module-sim --version`: the network layer the build
// picked and what it can do.
QString networkLine()
{
    ModuleSimProcess sim("127.0.0.137", {"--version"}, Ports::Free);
    sim.start();
    sim.exitCode();
    return sim.standardOutput().section(u'\n', 1, 1);
}

// A client of the simulator's TCP port.
TcpClient clientOf(const ModuleSimProcess& sim)
{
    return TcpClient(sim.address(), sim.tcpPort());
}

} // namespace

class TestModuleSim : public QObject {
    Q_OBJECT
private slots:
    void responseFields_data();
    void responseFields();
    void sizedResponse_data();
    void sizedResponse();
    void framing_data();
    void framing();
    void shaping_data();
    void shaping();
    void split_data();
    void split();
    void dropEvery();

    void tcpAndUdpReplies();
    void requestsSplitAcrossSegments_data();
    void requestsSplitAcrossSegments();
    void piecesArriveSeparately();
    void cutAndExtra();
    void closeAfter();
    void resetAfterIsRst();
    void dropEveryOverTcpAndUdp();
    void survivesGarbage();
    void unsolicitedAndMaxReplySize();
    void listeningLineAndSigterm_data();
    void listeningLineAndSigterm();
    void cannotBind_data();
    void cannotBind();
    void misbehaviour_data();
    void misbehaviour();
    void refusedSwitches_data();
    void refusedSwitches();
    void version();
    void networkRefusals_data();
    void networkRefusals();
    void verboseTrace_data();
    void verboseTrace();
    void closeAfterWholeReply_data();
    void closeAfterWholeReply();
};

void TestModuleSim::responseFields_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QString>("comId");
    // Invoke ID, command, data type and data, as the response boxes show them.
    QTest::addColumn<QStringList>("echoed");

    const QString company = frame::kDefaultComIdText;
    QTest::newRow("read with data") << request("3412", kVarData) << company
                                    << QStringList{"3412", "5400", "0100", kVarData};
    QTest::newRow("no data") << request("0700", "", "5800", "1400") << company
                             << QStringList{"0700", "5800", "1400", ""};
    QTest::newRow("other company, high bytes")
        << request("FEFF", "78", "B2A1", "D4C3", "ABCDEFGHIJ") << QString("ABCDEFGHIJ")
        << QStringList{"FEFF", "B2A1", "D4C3", "78"};

    // Garbage in the fields the response does not echo must not leak into it.
    QByteArray dirty = request("0300", "6162");
    dirty[frame::kReservedOffset] = '\x7F';
    dirty[frame::kHeaderPadOffset] = '\x7F';
    dirty[frame::kCheckSumOffset] = '\x00';
    dirty[frame::kBodyPadOffset] = '\x7F';
    QTest::newRow("dirty reserved bytes") << dirty << company << QStringList{"0300", "5400", "0100", "6162"};

    // Fields a short request lacks are answered as zero.
    QTest::newRow("header and command only") << request("0900", "").left(frame::kDataTypeOffset) << company
                                             << QStringList{"0900", "5400", "0000", ""};
    QTest::newRow("five bytes") << QByteArray("KORV-") << shownComId("KORV-")
                                << QStringList{"0000", "0000", "0000", ""};
    QTest::newRow("empty") << QByteArray() << shownComId("") << QStringList{"0000", "0000", "0000", ""};
    const QByteArray big(1000, 'd');
    QTest::newRow("data needing the length high byte")
        << request("0100", "") + big << company
        << QStringList{"0100", "5400", "0100", QString::fromLatin1(big.toHex().toUpper())};
}

void TestModuleSim::responseFields()
{
    QFETCH(QByteArray, request);
    QFETCH(QString, comId);
    QFETCH(QStringList, echoed);

    const QByteArray response = sim::buildResponse(request);
    const int dataBytes = static_cast<int>(echoed.constLast().size() / 2);
    QCOMPARE(response.size(), frame::kResponseFixedSize + dataBytes);

    // What the tool's response boxes show for it.
    const ResponseTexts shown = responseTexts(response, static_cast<qint32>(response.size()));
    const int body = frame::kResponseFixedSize - frame::kHeaderSize + dataBytes;
    QCOMPARE(shown.header.comId, comId);
    QCOMPARE(shown.header.src, HexByte(sim::kSimSource));
    QCOMPARE(shown.header.length, HexByte(body & 0xFF) + HexByte(body >> 8));
    QCOMPARE(shown.header.checkSum, HexByte(ByteSum(response, frame::kCheckSumFirst, frame::kCheckSumLast)));
    QCOMPARE((QStringList{shown.header.invokeId, shown.cmnd, shown.dataType, shown.data}), echoed);
    QCOMPARE(shown.state, "0000");
    QCOMPARE(shown.code, "0000");

    // The bytes no box shows are zero.
    QCOMPARE(response.mid(frame::kReservedOffset, frame::kReservedSize),
             QByteArray(frame::kReservedSize, '\0'));
    QCOMPARE(response.at(frame::kHeaderPadOffset), '\0');
    QCOMPARE(field16(response, frame::kBodyPadOffset), 0);
}

void TestModuleSim::sizedResponse_data()
{
    QTest::addColumn<int>("size");
    for (int size : {0, 5, frame::kHeaderSize, frame::kResponseFixedSize - 1, frame::kResponseFixedSize,
                     frame::kResponseFixedSize + 3, 512, 65535, sim::kMaxResponseSize})
        QTest::addRow("%d bytes", size) << size;
}

void TestModuleSim::sizedResponse()
{
    QFETCH(int, size);
    const QByteArray request = ::request("0500", kVarData);
    const QByteArray response = sim::buildSizedResponse(request, size);
    const QByteArray normal = sim::buildResponseWithData(request, {});

    QCOMPARE(response.size(), size);
    if (size < frame::kResponseFixedSize) {
        QCOMPARE(response, normal.left(size));
        return;
    }
    QCOMPARE(field16(response, frame::kLengthOffset), size - frame::kHeaderSize);
    QCOMPARE(static_cast<quint8>(response.at(frame::kCheckSumOffset)),
             ByteSum(response, frame::kCheckSumFirst, frame::kCheckSumLast));
    // The request's data leads, zeros fill the rest.
    QByteArray expectedData = QByteArray::fromHex(kVarData);
    expectedData.resize(size - frame::kResponseFixedSize, '\0');
    QCOMPARE(response.mid(frame::kResponseDataOffset), expectedData);
}

void TestModuleSim::framing_data()
{
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<QList<QByteArray>>("requests");
    QTest::addColumn<QByteArray>("pending");
    // Whether the pending bytes are too few to tell a split header from a
    // short request (the only wait the connection ever cuts short).
    QTest::addColumn<bool>("awaitsHeader");

    const QByteArray a = request("0100", kVarData);
    const QByteArray b = request("0200", "", "5800");
    const QByteArray garbage("this is not a request header at all");
    const QByteArray hugeLength = withLength(b, 0x4000);
    const QByteArray reservedSet = a.left(frame::kReservedOffset) + '\x01';

    QTest::newRow("one frame") << QList<QByteArray>{a} << QList<QByteArray>{a} << QByteArray() << false;
    QTest::newRow("two frames in one read")
        << QList<QByteArray>{a + b} << QList<QByteArray>{a, b} << QByteArray() << false;
    QTest::newRow("frame in three reads") << QList<QByteArray>{a.left(7), a.mid(7, 20), a.mid(27)}
                                          << QList<QByteArray>{a} << QByteArray() << false;
    QTest::newRow("whole header waits for its body")
        << QList<QByteArray>{a + b.left(frame::kHeaderSize + 2)} << QList<QByteArray>{a}
        << b.left(frame::kHeaderSize + 2) << false;
    QTest::newRow("short read waits")
        << QList<QByteArray>{QByteArray("abc")} << QList<QByteArray>{} << QByteArray("abc") << true;
    QTest::newRow("garbage is one request")
        << QList<QByteArray>{garbage} << QList<QByteArray>{garbage} << QByteArray() << false;
    QTest::newRow("implausible length is one request")
        << QList<QByteArray>{hugeLength + a} << QList<QByteArray>{hugeLength + a} << QByteArray() << false;
    QTest::newRow("frame then garbage")
        << QList<QByteArray>{a + garbage} << QList<QByteArray>{a, garbage} << QByteArray() << false;
    QTest::newRow("reserved byte set before the header is whole")
        << QList<QByteArray>{reservedSet} << QList<QByteArray>{reservedSet} << QByteArray() << false;
    QTest::newRow("implausible length before the header is whole")
        << QList<QByteArray>{hugeLength.left(frame::kHeaderPadOffset)}
        << QList<QByteArray>{hugeLength.left(frame::kHeaderPadOffset)} << QByteArray() << false;
}

void TestModuleSim::framing()
{
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(QList<QByteArray>, requests);
    QFETCH(QByteArray, pending);
    QFETCH(bool, awaitsHeader);

    RequestFramer framer;
    QList<QByteArray> got;
    for (const QByteArray& chunk : chunks)
        got += framer.push(chunk);
    QCOMPARE(got, requests);
    QCOMPARE(framer.hasPending(), !pending.isEmpty());
    QCOMPARE(framer.awaitsHeader(), awaitsHeader);
    QCOMPARE(framer.takePending(), pending);
    QVERIFY(!framer.hasPending());
}

void TestModuleSim::shaping_data()
{
    QTest::addColumn<int>("cut");
    QTest::addColumn<int>("extra");
    // 0: the normal reply's size.
    QTest::addColumn<int>("replySize");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray full = sim::buildResponse(request("0400", kVarData));
    QTest::newRow("plain") << -1 << 0 << -1 << full;
    QTest::newRow("cut") << 7 << 0 << -1 << full.left(7);
    QTest::newRow("cut to nothing") << 0 << 0 << -1 << QByteArray();
    QTest::newRow("cut beyond the end") << 1000 << 0 << -1 << full;
    QTest::newRow("extra") << -1 << 18 << -1
                           << full + QByteArray::fromHex("e0e1e2e3e4e5e6e7e8e9eaebecedeeefe0e1");
    QTest::newRow("cut then extra") << 3 << 2 << -1 << full.left(3) + QByteArray::fromHex("e0e1");
    QTest::newRow("sized then cut") << 40 << 0 << 100
                                    << sim::buildSizedResponse(request("0400", kVarData), 100).left(40);
}

void TestModuleSim::shaping()
{
    QFETCH(int, cut);
    QFETCH(int, extra);
    QFETCH(int, replySize);
    QFETCH(QByteArray, expected);

    SimOptions options;
    options.cut = cut;
    options.extra = extra;
    options.replySize = replySize;
    QCOMPARE(ReplyShaper::shape(request("0400", kVarData), options), expected);

    options.randomBytes = 77;
    QCOMPARE(ReplyShaper::shape({}, options).size(), (cut >= 0 ? std::min(cut, 77) : 77) + extra);
}

void TestModuleSim::split_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("pieces");
    QTest::newRow("one piece") << 32 << 1 << 1;
    QTest::newRow("even") << 30 << 3 << 3;
    QTest::newRow("uneven") << 32 << 3 << 3;
    QTest::newRow("more pieces than bytes") << 2 << 5 << 2;
    QTest::newRow("empty") << 0 << 4 << 0;
}

void TestModuleSim::split()
{
    QFETCH(int, size);
    QFETCH(int, count);
    QFETCH(int, pieces);
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(i);

    const QList<QByteArray> parts = ReplyShaper::split(bytes, count);
    QCOMPARE(parts.size(), pieces);
    QByteArray joined;
    for (const QByteArray& part : parts) {
        QVERIFY(!part.isEmpty());
        QVERIFY(std::abs(part.size() - parts.first().size()) <= 1);
        joined += part;
    }
    QCOMPARE(joined, bytes);
}

void TestModuleSim::dropEvery()
{
    SimOptions options;
    options.dropEvery = 3;
    ReplyShaper shaper(options);
    QList<bool> sent;
    for (int i = 0; i < 7; ++i)
        sent.append(shaper.reply(request()).has_value());
    QCOMPARE(sent, (QList<bool>{true, true, false, true, true, false, true}));
}

void TestModuleSim::tcpAndUdpReplies()
{
    ModuleSimProcess sim("127.0.0.120", {}, Ports::Free);
    QVERIFY2(sim.start(), qPrintable(sim.output()));

    // Two clients at once, each answered on its own connection.
    TcpClient first = clientOf(sim);
    TcpClient second = clientOf(sim);
    QVERIFY(first.connected());
    QVERIFY(second.connected());
    const QByteArray a = request("0101", kVarData);
    const QByteArray b = request("0202", kVarData, "5800");
    second.write(b);
    first.write(a + a);
    QTRY_COMPARE(first.received(), sim::buildResponse(a) + sim::buildResponse(a));
    QTRY_COMPARE(second.received(), sim::buildResponse(b));

    UdpPeer udp(sim.address().toString(), 0);
    const QByteArray c = request("0303", "756470", "5400", "1400");
    udp.sendTo(c, sim.address(), sim.udpPort());
    QTRY_COMPARE(udp.datagrams().size(), 1);
    QCOMPARE(udp.datagrams().first(), sim::buildResponse(c));
    QCOMPARE(udp.senderPort(), sim.udpPort());
}

void TestModuleSim::requestsSplitAcrossSegments_data()
{
    QTest::addColumn<QList<QByteArray>>("segments");
    QTest::addColumn<QList<QByteArray>>("requests");

    const QByteArray d = request(); // the window's default request, 38 bytes
    const QByteArray b = request("0200", "");
    const QByteArray notHeader = d.left(frame::kReservedOffset) + "\x01xyz";

    QTest::newRow("default request in 25 + 13 bytes")
        << QList<QByteArray>{d.left(25), d.mid(25)} << QList<QByteArray>{d};
    QTest::newRow("header cut after the company ID")
        << QList<QByteArray>{d.left(frame::kCompanyIdSize), d.mid(frame::kCompanyIdSize)}
        << QList<QByteArray>{d};
    QTest::newRow("header and three body bytes, the rest in two pieces")
        << QList<QByteArray>{d.left(frame::kHeaderSize + 3), d.mid(frame::kHeaderSize + 3, 5),
                             d.mid(frame::kHeaderSize + 8)}
        << QList<QByteArray>{d};
    QTest::newRow("two requests in one segment") << QList<QByteArray>{d + b} << QList<QByteArray>{d, b};
    QTest::newRow("a request and a half, then the rest")
        << QList<QByteArray>{b + d.left(25), d.mid(25)} << QList<QByteArray>{b, d};
    QTest::newRow("second header cut across segments")
        << QList<QByteArray>{d + b.left(7), b.mid(7)} << QList<QByteArray>{d, b};
    QTest::newRow("bytes that cannot start a header are answered as they are")
        << QList<QByteArray>{notHeader, b} << QList<QByteArray>{notHeader, b};
    // The longest request the tool can send: one more byte than the first
    // part would be implausible, so the first part must wait for the rest.
    const QByteArray largest = request("0600", QString(2 * frame::kMaxDataBytes, 'A'));
    QTest::newRow("largest request, 275 bytes, in two parts")
        << QList<QByteArray>{largest.left(137), largest.mid(137)} << QList<QByteArray>{largest};
}

void TestModuleSim::requestsSplitAcrossSegments()
{
    QFETCH(QList<QByteArray>, segments);
    QFETCH(QList<QByteArray>, requests);
    // Far longer than a client takes between the writes of one request,
    // well short of how long fewer bytes than a header may wait.
    constexpr int kGapMs = 200;

    ModuleSimProcess sim("127.0.0.130", {}, Ports::Free);
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    TcpClient client = clientOf(sim);
    QVERIFY(client.connected());
    client.socket().setSocketOption(QAbstractSocket::LowDelayOption, 1);

    // One more request after one more gap: a reply to leftovers would come
    // before its reply, and leftovers still held would garble it.
    const QByteArray last = request("FFFF", "");
    QList<QByteArray> toWrite = segments;
    toWrite.append(last);
    QList<QByteArray> expected;
    for (const QByteArray& r : requests)
        expected.append(sim::buildResponse(r));
    expected.append(sim::buildResponse(last));

    QTimer pacer;
    qsizetype next = 0;
    const auto writeNext = [&] {
        client.write(toWrite.at(next++));
        client.socket().flush();
        if (next == toWrite.size())
            pacer.stop();
    };
    connect(&pacer, &QTimer::timeout, this, writeNext);
    writeNext();
    pacer.start(kGapMs);
    QTRY_COMPARE(responseFrames(client.received()), expected);
}

void TestModuleSim::piecesArriveSeparately()
{
    ModuleSimProcess sim("127.0.0.121", {"--pieces", "3", "--piece-gap", "60"}, Ports::Free);
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    const QByteArray request = ::request("0100", kVarData);
    const QByteArray expected = sim::buildResponse(request);

    TcpClient tcp = clientOf(sim);
    QVERIFY(tcp.connected());
    tcp.write(request);
    QTRY_COMPARE(tcp.received(), expected);
    // The gap is far longer than the test's event-loop sleeps, so at least
    // the last piece must come as a read of its own.
    QVERIFY2(tcp.reads().size() >= 2, qPrintable(QString::number(tcp.reads().size())));

    UdpPeer udp(sim.address().toString(), 0);
    udp.sendTo(request, sim.address(), sim.udpPort());
    QTRY_COMPARE(udp.datagrams().size(), 3);
    QCOMPARE(udp.datagrams().join(), expected);
}

void TestModuleSim::cutAndExtra()
{
    ModuleSimProcess sim("127.0.0.122", {"--cut", "7", "--extra", "3"}, Ports::Free);
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    const QByteArray request = ::request("0100", kVarData);

    TcpClient tcp = clientOf(sim);
    QVERIFY(tcp.connected());
    tcp.write(request);
    QTRY_COMPARE(tcp.received(), sim::buildResponse(request).left(7) + QByteArray::fromHex("e0e1e2"));
}

void TestModuleSim::closeAfter()
{
    ModuleSimProcess sim("127.0.0.123", {"--close-after", "2"}, Ports::Free);
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    const QByteArray a = request("0100", kVarData);
    const QByteArray b = request("0200", kVarData);

    TcpClient tcp = clientOf(sim);
    QVERIFY(tcp.connected());
    tcp.write(a);
    QTRY_COMPARE(tcp.received(), sim::buildResponse(a));
    QCOMPARE(tcp.socket().state(), QAbstractSocket::ConnectedState);
    // The second reply must arrive in full before the close; a third request
    // written with it is not answered.
    tcp.write(b + a);
    QTRY_COMPARE(tcp.socket().state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(tcp.received(), sim::buildResponse(a) + sim::buildResponse(b));
    QCOMPARE(tcp.socket().error(), QAbstractSocket::RemoteHostClosedError);

    // The listener keeps serving new connections.
    TcpClient next = clientOf(sim);
    QVERIFY(next.connected());
    next.write(b);
    QTRY_COMPARE(next.received(), sim::buildResponse(b));
}

void TestModuleSim::resetAfterIsRst()
{
    ModuleSimProcess sim("127.0.0.124", {"--reset-after", "1"}, Ports::Free);
    if (networkLine().contains("resets: no")) {
        // Refused rather than run as a close, which would look like one.
        QVERIFY(!sim.start());
        QCOMPARE(sim.exitCode(), 2);
        QSKIP("this build's sockets cannot reset a connection, so --reset-after is refused");
    }
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    const QByteArray request = ::request("0100", kVarData);
    const QByteArray expected = sim::buildResponse(request);

    // A plain socket, since Qt reports a reset and a close the same way;
    // only errno tells them apart.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    QVERIFY(fd >= 0);
    const timeval timeout{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(sim.tcpPort());
    address.sin_addr.s_addr = htonl(sim.address().toIPv4Address());
    QCOMPARE(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    QCOMPARE(::send(fd, request.constData(), static_cast<size_t>(request.size()), 0),
             static_cast<ssize_t>(request.size()));

    QByteArray got;
    ssize_t n = 0;
    int readError = 0;
    char buffer[256];
    while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
        got.append(buffer, n);
    readError = errno;
    ::close(fd);

    QCOMPARE(got, expected);
    QCOMPARE(n, ssize_t(-1));
    QCOMPARE(readError, ECONNRESET);
}

void TestModuleSim::dropEveryOverTcpAndUdp()
{
    ModuleSimProcess sim("127.0.0.125", {"--drop-every", "2"}, Ports::Free);
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    QList<QByteArray> requests;
    for (const char* invokeId : {"0100", "0200", "0300", "0400"})
        requests.append(request(invokeId, kVarData));

    TcpClient tcp = clientOf(sim);
    QVERIFY(tcp.connected());
    tcp.write(requests.join());
    QTRY_COMPARE(tcp.received(), sim::buildResponse(requests.at(0)) + sim::buildResponse(requests.at(2)));

    UdpPeer udp(sim.address().toString(), 0);
    for (const QByteArray& request : requests)
        udp.sendTo(request, sim.address(), sim.udpPort());
    QTRY_COMPARE(udp.datagrams().size(), 2);
    QCOMPARE(udp.datagrams(),
             (QList<QByteArray>{sim::buildResponse(requests.at(0)), sim::buildResponse(requests.at(2))}));
}

void TestModuleSim::survivesGarbage()
{
    ModuleSimProcess sim("127.0.0.126", {}, Ports::Free);
    QVERIFY2(sim.start(), qPrintable(sim.output()));

    QByteArray noise(100000, '\0');
    for (int i = 0; i < noise.size(); ++i)
        noise[i] = static_cast<char>((i * 131 + 7) % 251);
    const QByteArray lyingHeader = withLength(request("0100", ""), 0xFFFF);

    // Fewer bytes than a header are answered once nothing more comes; bytes
    // that cannot be a request at once.
    const QList<QByteArray> junk{QByteArray(1, '\xFF'), QByteArray("short"), lyingHeader, noise};
    for (const QByteArray& bytes : junk) {
        TcpClient tcp = clientOf(sim);
        QVERIFY(tcp.connected());
        tcp.write(bytes);
        // Whatever it was, something comes back and it starts like a response.
        QTRY_VERIFY(tcp.received().size() >= frame::kResponseFixedSize);
        QCOMPARE(static_cast<quint8>(tcp.received().at(frame::kSourceOffset)), sim::kSimSource);
    }

    UdpPeer udp(sim.address().toString(), 0);
    udp.sendTo(QByteArray(), sim.address(), sim.udpPort());
    udp.sendTo(noise.left(60000), sim.address(), sim.udpPort());
    const QByteArray request = ::request("0300", kVarData);
    udp.sendTo(request, sim.address(), sim.udpPort());
    QTRY_COMPARE(udp.datagrams().size(), 3);
    QCOMPARE(udp.datagrams().at(0), sim::buildResponse({}));
    QCOMPARE(udp.datagrams().at(2), sim::buildResponse(request));

    // Still alive and serving TCP after all of it.
    TcpClient tcp = clientOf(sim);
    QVERIFY(tcp.connected());
    tcp.write(request);
    QTRY_COMPARE(tcp.received(), sim::buildResponse(request));
}

void TestModuleSim::unsolicitedAndMaxReplySize()
{
    // The fixed invoke ID is for replies only: the unsolicited frame keeps
    // 0000, which answers none of a client's requests numbered from 0001.
    ModuleSimProcess sim("127.0.0.127", {"--unsolicited", "--reply-size", "65535", "--invoke-id", "1234"},
                         Ports::Free);
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    const QByteArray unsolicited = sim::buildUnsolicitedResponse();
    QCOMPARE(unsolicited.left(frame::kCompanyIdSize), QByteArray(frame::kDefaultCompanyId));

    TcpClient tcp = clientOf(sim);
    QTRY_COMPARE(tcp.received(), unsolicited);
    QCOMPARE(tcp.received().mid(frame::kInvokeIdOffset, frame::kInvokeIdSize), QByteArray(2, '\0'));

    const QByteArray request = ::request("0800", kVarData);
    tcp.clear();
    tcp.write(request);
    QTRY_COMPARE(tcp.received().size(), 65535);
    QCOMPARE(tcp.received(),
             withField(sim::buildSizedResponse(request, 65535), frame::kInvokeIdOffset, "\x12\x34"));
}

void TestModuleSim::listeningLineAndSigterm_data()
{
    QTest::addColumn<bool>("freePorts");
    QTest::newRow("the module's ports by default") << false;
    QTest::newRow("port 0 picks free ports") << true;
}

void TestModuleSim::listeningLineAndSigterm()
{
    QFETCH(bool, freePorts);
    ModuleSimProcess sim("127.0.0.131", {"-v"}, freePorts ? Ports::Free : Ports::Module);
    QVERIFY2(sim.start(), qPrintable(sim.output()));

    QCOMPARE(sim.address(), QHostAddress("127.0.0.131"));
    if (freePorts) {
        QVERIFY(sim.tcpPort() != 0);
        QVERIFY(sim.udpPort() != 0);
    } else {
        QCOMPARE(sim.tcpPort(), frame::kTcpPort);
        QCOMPARE(sim.udpPort(), frame::kUdpPort);
    }
    // The line names the ports it really listens on.
    const QByteArray request = ::request();
    TcpClient tcp = clientOf(sim);
    QVERIFY(tcp.connected());
    tcp.write(request);
    QTRY_COMPARE(tcp.received(), sim::buildResponse(request));
    UdpPeer udp(sim.address().toString(), 0);
    udp.sendTo(request, sim.address(), sim.udpPort());
    QTRY_COMPARE(udp.datagrams().size(), 1);
    QCOMPARE(udp.datagrams().first(), sim::buildResponse(request));

    sim.terminate();
    QCOMPARE(sim.exitCode(), 0);
}

void TestModuleSim::cannotBind_data()
{
    QTest::addColumn<QString>("host");
    // Which of its ports another socket holds, if any.
    QTest::addColumn<QAbstractSocket::SocketType>("held");
    // What stderr starts with, given host and port.
    QTest::addColumn<QString>("message");

    const QString tcpMessage("module-sim: cannot listen on TCP %1 port %2: ");
    QTest::newRow("TCP port held by another simulator")
        << QString("127.0.0.128") << QAbstractSocket::TcpSocket << tcpMessage;
    QTest::newRow("UDP port held by another socket") << QString("127.0.0.129") << QAbstractSocket::UdpSocket
                                                     << QString("module-sim: cannot bind UDP %1 port %2: ");
    // A documentation address, on no interface of the machine.
    QTest::newRow("address not on this machine")
        << QString("192.0.2.1") << QAbstractSocket::UnknownSocketType << tcpMessage;
}

void TestModuleSim::cannotBind()
{
    QFETCH(QString, host);
    QFETCH(QAbstractSocket::SocketType, held);
    QFETCH(QString, message);

    ModuleSimProcess holder(host, {}, Ports::Free);
    // Not a UdpPeer: its socket must not share the port.
    QUdpSocket udpHolder;
    QStringList ports;
    quint16 port = 0;
    if (held == QAbstractSocket::TcpSocket) {
        QVERIFY2(holder.start(), qPrintable(holder.output()));
        port = holder.tcpPort();
        ports = {"--tcp-port", QString::number(port)};
    } else if (held == QAbstractSocket::UdpSocket) {
        QVERIFY(udpHolder.bind(QHostAddress(host), 0, QAbstractSocket::DontShareAddress));
        port = udpHolder.localPort();
        ports = {"--udp-port", QString::number(port)};
    }

    // A script starting it must see the failure: a reason on stderr, a
    // non-zero exit status and no listening line.
    ModuleSimProcess second(host, ports, Ports::Free);
    QVERIFY(!second.start());
    QCOMPARE(second.exitCode(), 1);
    QVERIFY2(second.standardError().startsWith(message.arg(host).arg(port)), qPrintable(second.output()));
    QVERIFY2(!second.standardOutput().contains("listening"), qPrintable(second.output()));
}

void TestModuleSim::misbehaviour_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("udp");
    // Requests 1..n, all sent at once; those without a reply must be the
    // ones the simulator says it left unanswered.
    QTest::addColumn<int>("requests");
    // The replies in the order they come.
    QTest::addColumn<QList<QByteArray>>("replies");
    // The least time the n-th reply to come may take, and the most any may
    // (0: unchecked).
    QTest::addColumn<QList<int>>("earliestMs");
    QTest::addColumn<int>("latestMs");

    const auto normal = [](const QList<int>& numbers) {
        QList<QByteArray> replies;
        for (int n : numbers)
            replies.append(sim::buildResponse(numbered(n)));
        return replies;
    };
    // The replies to `numbers` with `bytes` written at `offset`.
    const auto changed = [&normal](const QList<int>& numbers, int offset, const QByteArray& bytes) {
        QList<QByteArray> replies = normal(numbers);
        for (QByteArray& reply : replies)
            reply = withField(reply, offset, bytes);
        return replies;
    };
    // Requests 1 and 2 carry invoke IDs 01 A5 and 02 A5.
    const QList<QByteArray> complemented{
        withField(sim::buildResponse(numbered(1)), frame::kInvokeIdOffset, "\xFE\x5A"),
        withField(sim::buildResponse(numbered(2)), frame::kInvokeIdOffset, "\xFD\x5A")};
    QList<QByteArray> badChecksum = normal({1, 2});
    for (QByteArray& reply : badChecksum)
        reply[frame::kCheckSumOffset] = static_cast<char>(reply.at(frame::kCheckSumOffset) + 1);
    // Twelve draws from 0 to 300 ms on top of 50: the last reply shows some.
    QList<int> jittered(12, 50);
    jittered.last() = 50 + 60;
    const QList<int> none;

    for (const bool udp : {false, true}) {
        const char* side = udp ? "udp" : "tcp";
        // Far below the second the simulator waits for the rest of a short
        // request, far above what a loaded machine adds on loopback.
        QTest::addRow("%s: no delay asked, answered at once", side)
            << QStringList{} << udp << 3 << normal({1, 2, 3}) << none << 500;
        QTest::addRow("%s: ignored requests, the next answered", side)
            << QStringList{"--ignore", "2,4", "--ignore", "5"} << udp << 6 << normal({1, 3, 6}) << none << 0;
        QTest::addRow("%s: late reply after the later ones", side)
            << QStringList{"--late", "3:400"} << udp << 5 << normal({1, 2, 4, 5, 3})
            << QList<int>{0, 0, 0, 0, 400} << 3000;
        QTest::addRow("%s: late on top of the delay the others get", side)
            << QStringList{"--delay", "100", "--late", "1:300"} << udp << 3 << normal({2, 3, 1})
            << QList<int>{100, 100, 400} << 3000;
        QTest::addRow("%s: complemented invoke ID", side)
            << QStringList{"--wrong-invoke-id"} << udp << 2 << complemented << none << 0;
        QTest::addRow("%s: fixed invoke ID", side)
            << QStringList{"--invoke-id", "BEEF"} << udp << 2
            << changed({1, 2}, frame::kInvokeIdOffset, "\xBE\xEF") << none << 0;
        QTest::addRow("%s: bad checksum, nothing else", side)
            << QStringList{"--bad-checksum"} << udp << 2 << badChecksum << none << 0;
        QTest::addRow("%s: state and code", side)
            << QStringList{"--state", "0102", "--code", "f0E1"} << udp << 2
            << changed({1, 2}, frame::kStateOffset, "\x01\x02\xF0\xE1") << none << 0;
        QTest::addRow("%s: loss 100 drops all", side)
            << QStringList{"--loss", "100"} << udp << 5 << QList<QByteArray>{} << none << 0;
        QTest::addRow("%s: loss 0 drops none", side)
            << QStringList{"--loss", "0"} << udp << 5 << normal({1, 2, 3, 4, 5}) << none << 0;
        // One invoke ID for all makes the replies alike, so that the order
        // jitter gives them does not matter.
        QTest::addRow("%s: jitter on top of the delay", side)
            << QStringList{"--delay", "50", "--jitter", "300", "--seed", "7", "--invoke-id", "0101"} << udp
            << 12 << changed(QList<int>(12, 1), frame::kInvokeIdOffset, "\x01\x01") << jittered << 350 + 400;
    }
}

void TestModuleSim::misbehaviour()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, udp);
    QFETCH(int, requests);
    QFETCH(QList<QByteArray>, replies);
    QFETCH(QList<int>, earliestMs);
    QFETCH(int, latestMs);
    // Clocks read a little apart on either side; far less than any delay here.
    constexpr int kEarlyMarginMs = 10;

    ModuleSimProcess sim("127.0.0.132", arguments + QStringList{"-v"}, Ports::Free);
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    QElapsedTimer clock;
    // When each reply came, stamped by slots that run after the peers'
    // own, which record the bytes.
    QList<qint64> gotMs;
    UdpPeer udpPeer(sim.address().toString(), 0);
    std::optional<TcpClient> tcp;
    const auto got = [&] { return udp ? udpPeer.datagrams() : responseFrames(tcp->received()); };
    const auto stamp = [&] { gotMs.resize(got().size(), clock.elapsed()); };
    connect(&udpPeer.socket(), &QUdpSocket::readyRead, this, stamp);
    // Each reply is one send of a few dozen bytes, so a read never holds
    // part of one and stamps it early.
    if (!udp) {
        tcp.emplace(sim.address(), sim.tcpPort());
        QVERIFY(tcp->connected());
        connect(&tcp->socket(), &QTcpSocket::readyRead, this, stamp);
    }

    clock.start();
    for (int n = 1; n <= requests; ++n) {
        if (udp)
            udpPeer.sendTo(numbered(n), sim.address(), sim.udpPort());
        else
            tcp->write(numbered(n));
    }
    const auto dropped = [&] { return sim.standardOutput().count(" reply dropped"); };
    const qsizetype unanswered = requests - replies.size();
    QTRY_VERIFY2_WITH_TIMEOUT(got().size() >= replies.size() && dropped() >= unanswered,
                              qPrintable(sim.output()), 10000);
    QCOMPARE(dropped(), unanswered);
    QCOMPARE(got(), replies);
    for (qsizetype i = 0; i < gotMs.size(); ++i) {
        const QString when = QString("reply %1 after %2 ms").arg(i).arg(gotMs.at(i));
        QVERIFY2(earliestMs.isEmpty() || gotMs.at(i) >= earliestMs.at(i) - kEarlyMarginMs, qPrintable(when));
        QVERIFY2(latestMs == 0 || gotMs.at(i) <= latestMs, qPrintable(when));
    }
}

void TestModuleSim::refusedSwitches_data()
{
    QTest::addColumn<QStringList>("arguments");
    // What stderr says after "module-sim: ".
    QTest::addColumn<QString>("message");

    QTest::newRow("loss above 100") << QStringList{"--loss", "150"} << "--loss wants a percentage";
    QTest::newRow("late without milliseconds") << QStringList{"--late", "3"} << "--late wants N:MS";
    QTest::newRow("ignored and late")
        << QStringList{"--ignore", "3", "--late", "3:10"} << "request 3 cannot be both ignored";
    QTest::newRow("ignore request 0") << QStringList{"--ignore", "2,0"} << "--ignore wants request numbers";
    QTest::newRow("state of two digits") << QStringList{"--state", "12"} << "--state wants four hexadecimal";
    QTest::newRow("close and reset") << QStringList{"--close-after", "2", "--reset-after", "3"}
                                     << "--close-after and --reset-after cannot be combined";
    QTest::newRow("random bytes of a size") << QStringList{"--random-bytes", "8", "--reply-size", "40"}
                                            << "--random-bytes and --reply-size cannot be combined";
    QTest::newRow("late reply to a dropped request")
        << QStringList{"--drop-every", "2", "--late", "4:10"}
        << "request 4 cannot be both dropped (--drop-every 2) and answered late (--late)";
    QTest::newRow("both invoke ID switches") << QStringList{"--wrong-invoke-id", "--invoke-id", "0001"}
                                             << "--wrong-invoke-id and --invoke-id cannot be combined";
    QTest::newRow("state on random bytes") << QStringList{"--random-bytes", "8", "--state", "0001"}
                                           << "--random-bytes sends no frame for --state";
    QTest::newRow("seed not a number") << QStringList{"--seed", "x"} << "--seed wants a whole number";
    QTest::newRow("unknown switch") << QStringList{"--lose", "5"} << "Unknown option 'lose'";
    QTest::newRow("switch without its value") << QStringList{"--late"} << "Missing value after '--late'";
}

void TestModuleSim::refusedSwitches()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);

    ModuleSimProcess sim("127.0.0.134", arguments, Ports::Free);
    QVERIFY(!sim.start());
    QCOMPARE(sim.exitCode(), 2);
    QVERIFY2(sim.standardError().startsWith("module-sim: " + message), qPrintable(sim.output()));
    QVERIFY2(!sim.standardOutput().contains("listening"), qPrintable(sim.output()));
}

void TestModuleSim::version()
{
    ModuleSimProcess sim("127.0.0.135", {"--version"}, Ports::Free);
    QVERIFY(!sim.start());
    QCOMPARE(sim.exitCode(), 0);
    // The layer the build was asked for, and what it says it can do: only
    // plain descriptors have arrival stamps; Qt's sockets reset only where
    // the system's descriptor can be told to.
    const bool linuxLayer = QStringLiteral(VEXA_SIM_NETWORK) == "linux";
    const QString expected =
        simNetworkDescription(VEXA_SIM_NETWORK, SimNetworkAbilities{linuxLayer, VEXA_SIM_ON_LINUX});
    QCOMPARE(sim.standardOutput(), QString("module-sim " VEXA_VERSION "\n") + expected + "\n");
}

void TestModuleSim::networkRefusals_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("resets");
    // The refusal, or empty when the switches run.
    QTest::addColumn<QString>("refusal");

    const QString noReset("--reset-after needs a connection reset (RST), which this build's sockets "
                          "cannot send; --close-after closes gracefully");
    QTest::newRow("reset where sockets cannot reset")
        << QStringList{"--reset-after", "2"} << false << noReset;
    QTest::newRow("reset where sockets can") << QStringList{"--reset-after", "2"} << true << QString();
    QTest::newRow("close where sockets cannot reset")
        << QStringList{"--close-after", "2"} << false << QString();
    QTest::newRow("no switches where sockets cannot reset") << QStringList{} << false << QString();
}

void TestModuleSim::networkRefusals()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, resets);
    QFETCH(QString, refusal);

    QString error;
    const std::optional<SimOptions> options = parseSimOptions(QStringList{"module-sim"} + arguments, &error);
    QVERIFY2(options, qPrintable(error));
    const std::optional<QString> refused = refusedSwitch(*options, SimNetworkAbilities{false, resets});
    QCOMPARE(refused.value_or(QString()), refusal);
}

void TestModuleSim::verboseTrace_data()
{
    QTest::addColumn<bool>("udp");
    QTest::newRow("tcp: connected, request, reply, disconnected") << false;
    QTest::newRow("udp: request and reply") << true;
}

void TestModuleSim::verboseTrace()
{
    QFETCH(bool, udp);
    ModuleSimProcess sim("127.0.0.136", {"-v"}, Ports::Free);
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    const QByteArray request = ::request("0100", kVarData);
    const QByteArray reply = sim::buildResponse(request);
    const auto traffic = [](const QString& peer, const QString& direction, const QByteArray& bytes) {
        return QString("%1 %2 %3 bytes: %4")
            .arg(peer, direction)
            .arg(bytes.size())
            .arg(QString::fromLatin1(bytes.toHex(' ')));
    };

    QStringList expected;
    if (udp) {
        UdpPeer peer(sim.address().toString(), 0);
        peer.sendTo(request, sim.address(), sim.udpPort());
        QTRY_COMPARE(peer.datagrams().size(), 1);
        const QString name = "udp " + endpointText(peer.socket().localAddress(), peer.socket().localPort());
        expected = QStringList{traffic(name, "request", request), traffic(name, "reply", reply)};
    } else {
        TcpClient tcp = clientOf(sim);
        QVERIFY(tcp.connected());
        const QString name = "tcp " + endpointText(tcp.socket().localAddress(), tcp.socket().localPort());
        tcp.write(request);
        QTRY_COMPARE(tcp.received(), reply);
        tcp.socket().disconnectFromHost();
        expected = QStringList{name + " connected", traffic(name, "request", request),
                               traffic(name, "reply", reply), name + " disconnected"};
    }
    const auto traced = [&] { return sim.standardOutput().split(u'\n', Qt::SkipEmptyParts).mid(1); };
    QTRY_COMPARE(traced(), expected);
}

void TestModuleSim::closeAfterWholeReply_data()
{
    QTest::addColumn<QStringList>("arguments");
    // 0: the normal reply's size.
    QTest::addColumn<int>("replySize");
    // Far more than a loopback socket takes at once, so most of it waits to go.
    QTest::newRow("eight megabytes, then the close") << QStringList{"--random-bytes", "8388608"} << 8388608;
    QTest::newRow("the last of three pieces, then the close")
        << QStringList{"--pieces", "3", "--piece-gap", "30"} << 0;
}

void TestModuleSim::closeAfterWholeReply()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, replySize);
    ModuleSimProcess sim("127.0.0.138", arguments + QStringList{"--close-after", "1"}, Ports::Free);
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    const QByteArray request = ::request("0100", kVarData);

    TcpClient tcp = clientOf(sim);
    QVERIFY(tcp.connected());
    tcp.write(request);
    QTRY_COMPARE(tcp.socket().state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(tcp.socket().error(), QAbstractSocket::RemoteHostClosedError);
    QCOMPARE(tcp.received().size(), replySize > 0 ? replySize : sim::buildResponse(request).size());
}

QTEST_GUILESS_MAIN(TestModuleSim)
#include "tst_module_sim.moc"
