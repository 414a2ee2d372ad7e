// SPDX-License-Identifier: GPL-3.0-or-later
// The dissector on hand-made frames: each row a short capture written here,
// read back with tshark, and the fields it prints compared whole.
#include "pcap_file.h"
#include "tshark_run.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString kRequestBody = QStringLiteral("5400"
                                            "0100"
                                            "0000"
                                            "1000"
                                            "0800255157302E302E30");
const QString kResponseBody = QStringLiteral("5400"
                                             "0100"
                                             "0000"
                                             "0102"
                                             "0304"
                                             "0800255157302E302E30");

// A frame as hex: the company ID, source and invoke ID given, `body`, a
// length field that counts the body unless `length` is given, and a header
// checksum that matches plus `checksumError`.
QString frameHex(const QByteArray& companyId, quint8 source, const QString& invokeId, const QString& body,
                 int length = -1, int checksumError = 0)
{
    QByteArray frame = companyId.leftJustified(10, '\0', true);
    const QByteArray bodyBytes = QByteArray::fromHex(body.toLatin1());
    const int count = length < 0 ? bodyBytes.size() : length;
    frame += QByteArray(3, '\0') + char(source) + QByteArray::fromHex(invokeId.toLatin1());
    frame += char(count & 0xFF);
    frame += char(count >> 8);
    frame += '\0';
    int sum = 0;
    for (char byte : frame)
        sum += quint8(byte);
    frame += char((sum + checksumError) & 0xFF);
    return QString::fromLatin1((frame + bodyBytes).toHex());
}

QString request(const QString& invokeId, const QByteArray& companyId = "KORV-TAMBE")
{
    return frameHex(companyId, 0x33, invokeId, kRequestBody);
}

QString response(const QString& invokeId, const QByteArray& companyId = "KORV-TAMBE")
{
    return frameHex(companyId, 0xB0, invokeId, kResponseBody);
}

// Bytes `from` up to `to` of a frame in hex (to -1: the rest).
QString cut(const QString& hex, int from, int to = -1)
{
    return hex.mid(2 * from, to < 0 ? -1 : 2 * (to - from));
}

// Writes the packets, "> hex" to the module and "< hex" from it.
bool writeCapture(const QString& path, PcapFile::Transport transport, quint16 port,
                  const QStringList& packets)
{
    PcapFile capture(transport, port);
    for (const QString& packet : packets) {
        const auto direction =
            packet.startsWith('>') ? PcapFile::Direction::ToModule : PcapFile::Direction::FromModule;
        capture.add(direction, QByteArray::fromHex(packet.mid(2).toLatin1()));
    }
    return capture.writeTo(path);
}

} // namespace

class TestDissectorFields : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void fields_data();
    void fields();
    void ports_data();
    void ports();

private:
    QTemporaryDir m_dir;
};

void TestDissectorFields::initTestCase()
{
    if (tsharkProgram().isEmpty())
        QSKIP("tshark is not installed (Debian package tshark)");
    QVERIFY(m_dir.isValid());
}

void TestDissectorFields::fields_data()
{
    using T = PcapFile::Transport;
    QTest::addColumn<PcapFile::Transport>("transport");
    QTest::addColumn<QStringList>("packets");
    QTest::addColumn<QStringList>("fields"); // after frame.number
    QTest::addColumn<QStringList>("expected"); // frame|field|...

    const QString reply1 = response("0001");
    QTest::newRow("a request, and its reply split over two segments: dissected once whole")
        << T::Tcp << QStringList{"> " + request("0001"), "< " + cut(reply1, 0, 10), "< " + cut(reply1, 10)}
        << QStringList{"vexa.company_id",      "vexa.source",  "vexa.invoke_id", "vexa.length",
                       "vexa.checksum.status", "vexa.command", "vexa.data_type", "vexa.var_no",
                       "vexa.state",           "vexa.code",    "vexa.data",      "vexa.response_in",
                       "vexa.request_in",      "vexa.time"}
        << QStringList{"1|KORV-TAMBE|33|0001|18|1|5400|0100|1000|||0800255157302e302e30|3||",
                       "3|KORV-TAMBE|b0|0001|20|1|5400|0100||0102|0304|0800255157302e302e30||1|0.002000000"};
    QTest::newRow("two requests in one segment: each dissected")
        << T::Tcp << QStringList{"> " + request("0002") + request("0003")}
        << QStringList{"vexa.invoke_id", "vexa.var_no", "vexa.checksum.status"}
        << QStringList{"1|0002,0003|1000,1000|1,1"};
    QTest::newRow("a request cut in its header, its rest and the next request in one segment")
        << T::Tcp
        << QStringList{"> " + cut(request("0004"), 0, 12), "> " + cut(request("0004"), 12) + request("0005")}
        << QStringList{"vexa.invoke_id", "vexa.length"} << QStringList{"2|0004,0005|18,18"};
    QTest::newRow("a checksum one too high: bad, and said")
        << T::Tcp
        << QStringList{"> " + request("0006"),
                       "< " + frameHex("KORV-TAMBE", 0xB0, "0006", kResponseBody, -1, 1)}
        << QStringList{"vexa.checksum", "vexa.checksum.status", "_ws.expert.message"}
        << QStringList{"1|23|1|", "2|a3|0|Checksum A3, the header sums to A2"};
    QTest::newRow("a datagram shorter than a header: what is there, and said")
        << T::Udp << QStringList{"> " + cut(request("0007"), 0, 12)}
        << QStringList{"vexa.company_id", "vexa.invoke_id", "_ws.expert.message"}
        << QStringList{"1|KORV-TAMBE||12 bytes, shorter than a request (28)"};
    QTest::newRow("a datagram two bytes past its length field: the data stops there")
        << T::Udp << QStringList{"> " + request("0008"), "< " + response("0008") + "e0e1"}
        << QStringList{"vexa.length", "vexa.data", "vexa.trailing", "vexa.request_in", "_ws.expert.message"}
        << QStringList{"1|18|0800255157302e302e30|||",
                       "2|20|0800255157302e302e30|e0e1|1|Length field says 20 body bytes (a 40-byte frame), "
                       "42 bytes arrived"};
    QTest::newRow("a datagram shorter than its length field says")
        << T::Udp << QStringList{"> " + frameHex("KORV-TAMBE", 0x33, "0009", kRequestBody, 30)}
        << QStringList{"vexa.length", "vexa.data", "_ws.expert.message"}
        << QStringList{"1|30|0800255157302e302e30|Length field says 30 body bytes (a 50-byte frame), "
                       "38 bytes arrived,Request never answered: none in the capture"};
    QTest::newRow("a length field of 0 over TCP: a bare header, short")
        << T::Tcp << QStringList{"> " + frameHex("KORV-TAMBE", 0x33, "000a", "", 0)}
        << QStringList{"vexa.length", "vexa.command", "_ws.expert.message"}
        << QStringList{
               "1|0||20 bytes, shorter than a request (28),Request never answered: none in the capture"};
    QTest::newRow("bytes that cannot start a header: shown as they are")
        << T::Tcp
        << QStringList{"> " + QString(cut(request("000b"), 0, 10) + "ff" + cut(request("000b"), 11))}
        << QStringList{"vexa.invoke_id", "vexa.not_header", "_ws.expert.message"}
        << QStringList{"1||"
                       + QString(cut(request("000b"), 0, 10) + "ff" + cut(request("000b"), 11)).toLower()
                       + "|Bytes that cannot start a header"};
    QTest::newRow("a datagram that cannot start a header: shown as it is")
        << T::Udp << QStringList{"< " + cut(response("0001"), 20)}
        << QStringList{"vexa.invoke_id", "vexa.not_header"}
        << QStringList{"1||" + cut(response("0001"), 20).toLower()};
    QTest::newRow("a response whose invoke ID no request carries")
        << T::Tcp << QStringList{"> " + request("0001"), "< " + response("0099")}
        << QStringList{"vexa.request_in", "_ws.expert.message"}
        << QStringList{"1||Request never answered: none in the capture",
                       "2||Response to no request: no request waits with invoke ID 0099"};
    QTest::newRow("over TCP a later request answered first gives up the one before")
        << T::Tcp << QStringList{"> " + request("0001"), "> " + request("0002"), "< " + response("0002")}
        << QStringList{"vexa.response_in", "vexa.request_in", "vexa.no_response"}
        << QStringList{"1|||a later request was answered first", "2|3||", "3||2|"};
    QTest::newRow("over UDP one invoke ID twice: the oldest waiting request answers first")
        << T::Udp
        << QStringList{"> " + request("0005"), "> " + request("0005"), "< " + response("0005"),
                       "< " + response("0005")}
        << QStringList{"vexa.response_in", "vexa.request_in", "vexa.time"}
        << QStringList{"1|3||", "2|4||", "3||1|0.002000000", "4||2|0.002000000"};
    QTest::newRow("over UDP a later request answered first leaves the one before waiting")
        << T::Udp
        << QStringList{"> " + request("0001"), "> " + request("0002"), "< " + response("0002"),
                       "< " + response("0001")}
        << QStringList{"vexa.response_in", "vexa.request_in"} << QStringList{"1|4|", "2|3|", "3||2", "4||1"};
    QTest::newRow("a response with another company ID: linked, and said")
        << T::Tcp << QStringList{"> " + request("0001"), "< " + response("0001", "OTHER")}
        << QStringList{"vexa.company_id", "vexa.request_in", "_ws.expert.message"}
        << QStringList{"1|KORV-TAMBE||", "2|OTHER|1|Company ID \"OTHER\", the request's \"KORV-TAMBE\""};
}

void TestDissectorFields::fields()
{
    QFETCH(PcapFile::Transport, transport);
    QFETCH(QStringList, packets);
    QFETCH(QStringList, fields);
    const QString path = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()).left(20) + ".pcap");
    const quint16 port = transport == PcapFile::Transport::Tcp ? 2004 : 2005;
    QVERIFY(writeCapture(path, transport, port, packets));

    const TsharkResult read = readFields(path, QStringList{"frame.number"} + fields);
    QVERIFY2(read.ran, qPrintable(read.errors));
    QTEST(read.lines, "expected");
}

void TestDissectorFields::ports_data()
{
    using T = PcapFile::Transport;
    QTest::addColumn<PcapFile::Transport>("transport");
    QTest::addColumn<quint16>("port");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QStringList>("expected"); // frame|invoke ID

    QTest::newRow("TCP 2004 without options")
        << T::Tcp << quint16(2004) << QStringList{} << QStringList{"1|0001"};
    QTest::newRow("UDP 2005 without options")
        << T::Udp << quint16(2005) << QStringList{} << QStringList{"1|0001"};
    QTest::newRow("TCP 40404 is no module port")
        << T::Tcp << quint16(40404) << QStringList{} << QStringList{};
    QTest::newRow("TCP 40404 by preference")
        << T::Tcp << quint16(40404) << QStringList{"-o", "vexa.tcp_port:40404"} << QStringList{"1|0001"};
    QTest::newRow("UDP 40505 by preference")
        << T::Udp << quint16(40505) << QStringList{"-o", "vexa.udp_port:40505"} << QStringList{"1|0001"};
    QTest::newRow("TCP 2004 no longer once the preference moves it")
        << T::Tcp << quint16(2004) << QStringList{"-o", "vexa.tcp_port:40404"} << QStringList{};
    QTest::newRow("TCP 40404 by Decode As")
        << T::Tcp << quint16(40404) << QStringList{"-d", "tcp.port==40404,vexa"} << QStringList{"1|0001"};
}

// The installed dissector reads the module's ports as they are; a rig's
// other ports by preference or Decode As. The request is told from the
// response by the module's port in either case.
void TestDissectorFields::ports()
{
    QFETCH(PcapFile::Transport, transport);
    QFETCH(quint16, port);
    QFETCH(QStringList, options);
    const QString path = m_dir.filePath(QStringLiteral("port.pcap"));
    QVERIFY(writeCapture(path, transport, port, {"> " + request("0001")}));

    const TsharkResult read = readFields(path, {"frame.number", "vexa.invoke_id"}, "vexa.var_no", options);
    QVERIFY2(read.ran, qPrintable(read.errors));
    QTEST(read.lines, "expected");
}

QTEST_APPLESS_MAIN(TestDissectorFields)
#include "tst_dissector_fields.moc"
