// Tests of the module simulator: its pure reply logic, and the running
// process over TCP and UDP on its own loopback addresses.
#include "codec/frame_layout.h"
#include "common/module_sim_process.h"
#include "reply_shaper.h"
#include "request_framer.h"
#include "response_builder.h"

#include <QNetworkDatagram>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

quint16 field16(const QByteArray& bytes, int offset)
{
    return static_cast<quint16>(static_cast<quint8>(bytes.at(offset))
                                | (static_cast<quint8>(bytes.at(offset + 1)) << 8));
}

void putField16(QByteArray& bytes, int offset, quint16 value)
{
    bytes[offset] = static_cast<char>(value & 0xFF);
    bytes[offset + 1] = static_cast<char>(value >> 8);
}

// A request as the test tool writes it, built here independently of the
// simulator's code.
QByteArray makeRequest(quint16 invokeId, quint16 command, quint16 dataType, const QByteArray& data,
                       const QByteArray& company = frame::kDefaultCompanyId)
{
    QByteArray request(frame::kRequestFixedSize, '\0');
    for (int i = 0; i < frame::kCompanyIdSize && i < company.size(); ++i)
        request[frame::kCompanyIdOffset + i] = company.at(i);
    request[frame::kSourceOffset] = static_cast<char>(frame::kDefaultSource);
    putField16(request, frame::kInvokeIdOffset, invokeId);
    putField16(request, frame::kLengthOffset, static_cast<quint16>(frame::bodyLength(data.size())));
    int sum = 0;
    for (int i = frame::kCheckSumFirst; i <= frame::kCheckSumLast; ++i)
        sum += static_cast<quint8>(request.at(i));
    request[frame::kCheckSumOffset] = static_cast<char>(sum);
    putField16(request, frame::kCommandOffset, command);
    putField16(request, frame::kDataTypeOffset, dataType);
    putField16(request, frame::kVarNoOffset, 1);
    return request + data;
}

QByteArray varData()
{
    return QByteArrayLiteral("\x06\x00%MW100");
}

// The simulator's TCP and UDP ports on every test address.
constexpr quint16 kTcp = frame::kTcpPort;
constexpr quint16 kUdp = frame::kUdpPort;

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
    void piecesArriveSeparately();
    void cutAndExtra();
    void closeAfter();
    void resetAfterIsRst();
    void dropEveryOverTcpAndUdp();
    void survivesGarbage();
    void unsolicitedAndMaxReplySize();
    void busyPortFailsAndSigtermExitsCleanly();
};

void TestModuleSim::responseFields_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("company");
    QTest::addColumn<int>("invokeId");
    QTest::addColumn<int>("command");
    QTest::addColumn<int>("dataType");
    QTest::addColumn<QByteArray>("data");

    const QByteArray company(frame::kDefaultCompanyId);
    QTest::newRow("read with data") << makeRequest(0x1234, 0x54, 0x02, varData()) << company << 0x1234 << 0x54
                                    << 0x02 << varData();
    QTest::newRow("no data") << makeRequest(7, 0x58, 0x14, {}) << company << 7 << 0x58 << 0x14
                             << QByteArray();
    QTest::newRow("other company, high bytes")
        << makeRequest(0xFFFE, 0xA1B2, 0xC3D4, "x", "ABCDEFGHIJ") << QByteArray("ABCDEFGHIJ") << 0xFFFE
        << 0xA1B2 << 0xC3D4 << QByteArray("x");

    // Garbage in the fields the response does not echo must not leak into it.
    QByteArray dirty = makeRequest(3, 0x54, 0x02, "ab");
    dirty[frame::kReservedOffset] = '\x7F';
    dirty[frame::kHeaderPadOffset] = '\x7F';
    dirty[frame::kCheckSumOffset] = '\x00';
    dirty[frame::kBodyPadOffset] = '\x7F';
    QTest::newRow("dirty reserved bytes") << dirty << company << 3 << 0x54 << 0x02 << QByteArray("ab");

    QTest::newRow("header and command only") << makeRequest(9, 0x54, 0x02, {}).left(frame::kDataTypeOffset)
                                             << company << 9 << 0x54 << 0 << QByteArray();
    QTest::newRow("five bytes") << QByteArray("KORV-") << QByteArray("KORV-") << 0 << 0 << 0 << QByteArray();
    QTest::newRow("empty") << QByteArray() << QByteArray() << 0 << 0 << 0 << QByteArray();
    const QByteArray big(1000, 'd');
    QTest::newRow("data needing the length high byte")
        << makeRequest(1, 0x54, 0x02, {}) + big << company << 1 << 0x54 << 0x02 << big;
}

void TestModuleSim::responseFields()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, company);
    QFETCH(int, invokeId);
    QFETCH(int, command);
    QFETCH(int, dataType);
    QFETCH(QByteArray, data);

    const QByteArray response = sim::buildResponse(request);
    QCOMPARE(response.size(), frame::kResponseFixedSize + data.size());

    QByteArray paddedCompany = company;
    paddedCompany.resize(frame::kCompanyIdSize, '\0');
    QCOMPARE(response.mid(frame::kCompanyIdOffset, frame::kCompanyIdSize), paddedCompany);
    QCOMPARE(response.mid(frame::kReservedOffset, frame::kReservedSize),
             QByteArray(frame::kReservedSize, '\0'));
    QCOMPARE(static_cast<quint8>(response.at(frame::kSourceOffset)), sim::kSimSource);
    QCOMPARE(field16(response, frame::kInvokeIdOffset), invokeId);
    QCOMPARE(field16(response, frame::kLengthOffset),
             frame::kResponseFixedSize - frame::kHeaderSize + data.size());
    QCOMPARE(response.at(frame::kHeaderPadOffset), '\0');

    int sum = 0;
    for (int i = frame::kCheckSumFirst; i <= frame::kCheckSumLast; ++i)
        sum += static_cast<quint8>(response.at(i));
    QCOMPARE(static_cast<quint8>(response.at(frame::kCheckSumOffset)), sum % 256);

    QCOMPARE(field16(response, frame::kCommandOffset), command);
    QCOMPARE(field16(response, frame::kDataTypeOffset), dataType);
    QCOMPARE(field16(response, frame::kBodyPadOffset), 0);
    QCOMPARE(field16(response, frame::kStateOffset), 0);
    QCOMPARE(field16(response, frame::kCodeOffset), 0);
    QCOMPARE(response.mid(frame::kResponseDataOffset), data);
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
    const QByteArray request = makeRequest(5, 0x54, 0x02, varData());
    const QByteArray response = sim::buildSizedResponse(request, size);
    const QByteArray normal = sim::buildResponseWithData(request, {});

    QCOMPARE(response.size(), size);
    if (size < frame::kResponseFixedSize) {
        QCOMPARE(response, normal.left(size));
        return;
    }
    QCOMPARE(field16(response, frame::kLengthOffset), size - frame::kHeaderSize);
    QCOMPARE(static_cast<quint8>(response.at(frame::kCheckSumOffset)), sim::headerCheckSum(response));
    // The request's data leads, zeros fill the rest.
    QByteArray expectedData = varData();
    expectedData.resize(size - frame::kResponseFixedSize, '\0');
    QCOMPARE(response.mid(frame::kResponseDataOffset), expectedData);
}

void TestModuleSim::framing_data()
{
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<QList<QByteArray>>("requests");
    QTest::addColumn<QByteArray>("pending");

    const QByteArray a = makeRequest(1, 0x54, 0x02, varData());
    const QByteArray b = makeRequest(2, 0x58, 0x02, {});
    const QByteArray garbage("this is not a request header at all");
    QByteArray hugeLength = b;
    putField16(hugeLength, frame::kLengthOffset, 0x4000);

    QTest::newRow("one frame") << QList<QByteArray>{a} << QList<QByteArray>{a} << QByteArray();
    QTest::newRow("two frames in one read")
        << QList<QByteArray>{a + b} << QList<QByteArray>{a, b} << QByteArray();
    QTest::newRow("frame in three reads")
        << QList<QByteArray>{a.left(7), a.mid(7, 20), a.mid(27)} << QList<QByteArray>{a} << QByteArray();
    QTest::newRow("frame and a partial one") << QList<QByteArray>{a + b.left(frame::kHeaderSize + 2)}
                                             << QList<QByteArray>{a} << b.left(frame::kHeaderSize + 2);
    QTest::newRow("short read waits")
        << QList<QByteArray>{QByteArray("abc")} << QList<QByteArray>{} << QByteArray("abc");
    QTest::newRow("garbage is one request")
        << QList<QByteArray>{garbage} << QList<QByteArray>{garbage} << QByteArray();
    QTest::newRow("implausible length is one request")
        << QList<QByteArray>{hugeLength + a} << QList<QByteArray>{hugeLength + a} << QByteArray();
    QTest::newRow("frame then garbage")
        << QList<QByteArray>{a + garbage} << QList<QByteArray>{a, garbage} << QByteArray();
}

void TestModuleSim::framing()
{
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(QList<QByteArray>, requests);
    QFETCH(QByteArray, pending);

    RequestFramer framer;
    QList<QByteArray> got;
    for (const QByteArray& chunk : chunks)
        got += framer.push(chunk);
    QCOMPARE(got, requests);
    QCOMPARE(framer.hasPending(), !pending.isEmpty());
    QCOMPARE(framer.takePending(), pending);
    QVERIFY(!framer.hasPending());
}

void TestModuleSim::shaping_data()
{
    QTest::addColumn<int>("cut");
    QTest::addColumn<int>("extra");
    QTest::addColumn<int>("replySize");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray request = makeRequest(4, 0x54, 0x02, varData());
    const QByteArray full = sim::buildResponse(request);
    QTest::newRow("plain") << -1 << 0 << -1 << full;
    QTest::newRow("cut") << 7 << 0 << -1 << full.left(7);
    QTest::newRow("cut to nothing") << 0 << 0 << -1 << QByteArray();
    QTest::newRow("cut beyond the end") << 1000 << 0 << -1 << full;
    QTest::newRow("extra") << -1 << 18 << -1
                           << full + QByteArray::fromHex("e0e1e2e3e4e5e6e7e8e9eaebecedeeefe0e1");
    QTest::newRow("cut then extra") << 3 << 2 << -1 << full.left(3) + QByteArray::fromHex("e0e1");
    QTest::newRow("sized then cut") << 40 << 0 << 100 << sim::buildSizedResponse(request, 100).left(40);
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
    QCOMPARE(ReplyShaper::shape(makeRequest(4, 0x54, 0x02, varData()), options), expected);

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
        sent.append(shaper.replyPieces(makeRequest(1, 0x54, 0x02, {})).has_value());
    QCOMPARE(sent, (QList<bool>{true, true, false, true, true, false, true}));
}

void TestModuleSim::tcpAndUdpReplies()
{
    ModuleSimProcess sim("127.0.0.20");
    QVERIFY2(sim.start(), qPrintable(sim.output()));

    // Two clients at once, each answered on its own connection.
    QTcpSocket first;
    QTcpSocket second;
    first.connectToHost("127.0.0.20", kTcp);
    second.connectToHost("127.0.0.20", kTcp);
    QTRY_COMPARE(first.state(), QAbstractSocket::ConnectedState);
    QTRY_COMPARE(second.state(), QAbstractSocket::ConnectedState);
    const QByteArray a = makeRequest(0x0101, 0x54, 0x02, varData());
    const QByteArray b = makeRequest(0x0202, 0x58, 0x02, varData());
    second.write(b);
    first.write(a + a);
    QByteArray firstGot;
    QByteArray secondGot;
    QTRY_COMPARE((firstGot += first.readAll()), sim::buildResponse(a) + sim::buildResponse(a));
    QTRY_COMPARE((secondGot += second.readAll()), sim::buildResponse(b));

    QUdpSocket udp;
    QVERIFY(udp.bind(QHostAddress("127.0.0.20"), 0));
    const QByteArray c = makeRequest(0x0303, 0x54, 0x14, "udp");
    udp.writeDatagram(c, QHostAddress("127.0.0.20"), kUdp);
    QTRY_VERIFY(udp.hasPendingDatagrams());
    const QNetworkDatagram reply = udp.receiveDatagram();
    QCOMPARE(reply.data(), sim::buildResponse(c));
    QCOMPARE(reply.senderPort(), kUdp);
}

void TestModuleSim::piecesArriveSeparately()
{
    ModuleSimProcess sim("127.0.0.21", {"--pieces", "3", "--piece-gap", "60"});
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    const QByteArray request = makeRequest(1, 0x54, 0x02, varData());
    const QByteArray expected = sim::buildResponse(request);

    QTcpSocket tcp;
    QList<QByteArray> reads;
    connect(&tcp, &QTcpSocket::readyRead, this, [&] { reads.append(tcp.readAll()); });
    tcp.connectToHost("127.0.0.21", kTcp);
    QTRY_COMPARE(tcp.state(), QAbstractSocket::ConnectedState);
    tcp.write(request);
    QTRY_COMPARE(reads.join(), expected);
    // The gap is far longer than the test's event-loop sleeps, so at least
    // the last piece must come as a read of its own.
    QVERIFY2(reads.size() >= 2, qPrintable(QString::number(reads.size())));

    QUdpSocket udp;
    QVERIFY(udp.bind(QHostAddress("127.0.0.21"), 0));
    udp.writeDatagram(request, QHostAddress("127.0.0.21"), kUdp);
    QList<QByteArray> datagrams;
    QTRY_COMPARE(
        [&] {
            while (udp.hasPendingDatagrams())
                datagrams.append(udp.receiveDatagram().data());
            return datagrams.size();
        }(),
        3);
    QCOMPARE(datagrams.join(), expected);
}

void TestModuleSim::cutAndExtra()
{
    ModuleSimProcess sim("127.0.0.22", {"--cut", "7", "--extra", "3"});
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    const QByteArray request = makeRequest(1, 0x54, 0x02, varData());

    QTcpSocket tcp;
    tcp.connectToHost("127.0.0.22", kTcp);
    QTRY_COMPARE(tcp.state(), QAbstractSocket::ConnectedState);
    tcp.write(request);
    QByteArray got;
    QTRY_COMPARE((got += tcp.readAll()), sim::buildResponse(request).left(7) + QByteArray::fromHex("e0e1e2"));
}

void TestModuleSim::closeAfter()
{
    ModuleSimProcess sim("127.0.0.23", {"--close-after", "2"});
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    const QByteArray a = makeRequest(1, 0x54, 0x02, varData());
    const QByteArray b = makeRequest(2, 0x54, 0x02, varData());

    QTcpSocket tcp;
    tcp.connectToHost("127.0.0.23", kTcp);
    QTRY_COMPARE(tcp.state(), QAbstractSocket::ConnectedState);
    QByteArray got;
    connect(&tcp, &QTcpSocket::readyRead, this, [&] { got += tcp.readAll(); });
    tcp.write(a);
    QTRY_COMPARE(got, sim::buildResponse(a));
    QCOMPARE(tcp.state(), QAbstractSocket::ConnectedState);
    // The second reply must arrive in full before the close; a third request
    // written with it is not answered.
    tcp.write(b + a);
    QTRY_COMPARE(tcp.state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(got, sim::buildResponse(a) + sim::buildResponse(b));
    QCOMPARE(tcp.error(), QAbstractSocket::RemoteHostClosedError);

    // The listener keeps serving new connections.
    QTcpSocket next;
    next.connectToHost("127.0.0.23", kTcp);
    QTRY_COMPARE(next.state(), QAbstractSocket::ConnectedState);
    next.write(b);
    QByteArray nextGot;
    QTRY_COMPARE((nextGot += next.readAll()), sim::buildResponse(b));
}

void TestModuleSim::resetAfterIsRst()
{
    ModuleSimProcess sim("127.0.0.24", {"--reset-after", "1"});
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    const QByteArray request = makeRequest(1, 0x54, 0x02, varData());
    const QByteArray expected = sim::buildResponse(request);

    // A plain socket, since Qt reports a reset and a close the same way;
    // only errno tells them apart.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    QVERIFY(fd >= 0);
    const timeval timeout{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kTcp);
    ::inet_pton(AF_INET, "127.0.0.24", &address.sin_addr);
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
    ModuleSimProcess sim("127.0.0.25", {"--drop-every", "2"});
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    QList<QByteArray> requests;
    for (quint16 i = 1; i <= 4; ++i)
        requests.append(makeRequest(i, 0x54, 0x02, varData()));

    QTcpSocket tcp;
    tcp.connectToHost("127.0.0.25", kTcp);
    QTRY_COMPARE(tcp.state(), QAbstractSocket::ConnectedState);
    tcp.write(requests.join());
    QByteArray got;
    QTRY_COMPARE((got += tcp.readAll()),
                 sim::buildResponse(requests.at(0)) + sim::buildResponse(requests.at(2)));

    QUdpSocket udp;
    QVERIFY(udp.bind(QHostAddress("127.0.0.25"), 0));
    for (const QByteArray& request : requests)
        udp.writeDatagram(request, QHostAddress("127.0.0.25"), kUdp);
    QList<QByteArray> replies;
    QTRY_COMPARE(
        [&] {
            while (udp.hasPendingDatagrams())
                replies.append(udp.receiveDatagram().data());
            return replies.size();
        }(),
        2);
    QCOMPARE(replies,
             (QList<QByteArray>{sim::buildResponse(requests.at(0)), sim::buildResponse(requests.at(2))}));
}

void TestModuleSim::survivesGarbage()
{
    ModuleSimProcess sim("127.0.0.26");
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    const QHostAddress host("127.0.0.26");

    QByteArray noise(100000, '\0');
    for (int i = 0; i < noise.size(); ++i)
        noise[i] = static_cast<char>((i * 131 + 7) % 251);
    QByteArray lyingHeader = makeRequest(1, 0x54, 0x02, {});
    putField16(lyingHeader, frame::kLengthOffset, 0xFFFF);

    const QList<QByteArray> junk{QByteArray(1, '\xFF'), QByteArray("short"), lyingHeader, noise,
                                 makeRequest(2, 0x54, 0x02, {}).left(frame::kHeaderSize + 3)};
    for (const QByteArray& bytes : junk) {
        QTcpSocket tcp;
        tcp.connectToHost(host, kTcp);
        QTRY_COMPARE(tcp.state(), QAbstractSocket::ConnectedState);
        tcp.write(bytes);
        // Whatever it was, something comes back and it starts like a response.
        QTRY_VERIFY(tcp.bytesAvailable() >= frame::kResponseFixedSize);
        QCOMPARE(static_cast<quint8>(tcp.read(frame::kResponseFixedSize).at(frame::kSourceOffset)),
                 sim::kSimSource);
    }

    QUdpSocket udp;
    QVERIFY(udp.bind(host, 0));
    udp.writeDatagram(QByteArray(), host, kUdp);
    udp.writeDatagram(noise.left(60000), host, kUdp);
    const QByteArray request = makeRequest(3, 0x54, 0x02, varData());
    udp.writeDatagram(request, host, kUdp);
    QList<QByteArray> replies;
    QTRY_COMPARE(
        [&] {
            while (udp.hasPendingDatagrams())
                replies.append(udp.receiveDatagram().data());
            return replies.size();
        }(),
        3);
    QCOMPARE(replies.at(0), sim::buildResponse({}));
    QCOMPARE(replies.at(2), sim::buildResponse(request));

    // Still alive and serving TCP after all of it.
    QTcpSocket tcp;
    tcp.connectToHost(host, kTcp);
    QTRY_COMPARE(tcp.state(), QAbstractSocket::ConnectedState);
    tcp.write(request);
    QByteArray got;
    QTRY_COMPARE((got += tcp.readAll()), sim::buildResponse(request));
}

void TestModuleSim::unsolicitedAndMaxReplySize()
{
    ModuleSimProcess sim("127.0.0.27", {"--unsolicited", "--reply-size", "65535"});
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    const QByteArray unsolicited = sim::buildUnsolicitedResponse();
    QCOMPARE(unsolicited.left(frame::kCompanyIdSize), QByteArray(frame::kDefaultCompanyId));

    QTcpSocket tcp;
    tcp.connectToHost("127.0.0.27", kTcp);
    QByteArray got;
    QTRY_COMPARE((got += tcp.readAll()), unsolicited);

    const QByteArray request = makeRequest(8, 0x54, 0x02, varData());
    tcp.write(request);
    got.clear();
    QTRY_COMPARE((got += tcp.readAll()).size(), 65535);
    QCOMPARE(got, sim::buildSizedResponse(request, 65535));
}

void TestModuleSim::busyPortFailsAndSigtermExitsCleanly()
{
    ModuleSimProcess holder("127.0.0.28");
    QVERIFY2(holder.start(), qPrintable(holder.output()));
    {
        ModuleSimProcess second("127.0.0.28");
        QVERIFY(!second.start());
        QVERIFY2(second.output().contains("cannot listen on TCP 127.0.0.28 port 2004"),
                 qPrintable(second.output()));
    }
    {
        // TCP free, UDP taken by another socket.
        QUdpSocket blocker;
        QVERIFY(blocker.bind(QHostAddress("127.0.0.29"), kUdp, QAbstractSocket::DontShareAddress));
        ModuleSimProcess second("127.0.0.29");
        QVERIFY(!second.start());
        QVERIFY2(second.output().contains("cannot bind UDP 127.0.0.29 port 2005"),
                 qPrintable(second.output()));
    }

    QProcess process;
    process.start(MODULE_SIM_PATH, {"--host", "127.0.0.29", "-v"});
    QByteArray out;
    QTRY_VERIFY((out += process.readAllStandardOutput())
                    .contains("module-sim: listening on 127.0.0.29 tcp 2004 udp 2005\n"));
    process.terminate();
    QVERIFY(process.waitForFinished(5000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestModuleSim)
#include "tst_module_sim.moc"
