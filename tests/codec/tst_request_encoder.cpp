// SPDX-License-Identifier: GPL-3.0-or-later
// Request encoding: texts of the request boxes against the frame bytes.
#include "codec/frame_layout.h"
#include "codec/request_encoder.h"

#include <QtTest>

namespace {

RequestTexts defaults()
{
    return {QStringLiteral("KORV-TAMBE"),
            QStringLiteral("33"),
            QStringLiteral("0000"),
            QStringLiteral("5400"),
            QStringLiteral("0100"),
            QStringLiteral("1000"),
            QStringLiteral("0800255157302E302E30")};
}

QByteArray freshBuffer()
{
    QByteArray buffer;
    InitHeader(buffer);
    return buffer;
}

QByteArray hex(const char* text)
{
    return QByteArray::fromHex(text);
}

// The request the default texts give, byte by byte.
const char kDefaultFrame[] = "4B4F52562D54414D4245 000000 33 0000 1200 00 1D"
                             "5400 0100 0000 1000 0800255157302E302E30";

} // namespace

Q_DECLARE_METATYPE(RequestTexts)
Q_DECLARE_METATYPE(RequestField)

class TestRequestEncoder : public QObject {
    Q_OBJECT
private slots:
    void layoutMatchesExampleFrame();
    void initHeader();
    void halfLength_data();
    void halfLength();
    void byteSum_data();
    void byteSum();
    void encode_data();
    void encode();
    void headerPersistsBetweenSends();
    void bufferShrinksToFrame();
    void leftoverBufferGivesCleanHeader_data();
    void leftoverBufferGivesCleanHeader();
    void checksumIgnoresBody();
    void rejectsUnconvertibleText_data();
    void rejectsUnconvertibleText();
    void companyIdRoundTripsEveryByte();
};

void TestRequestEncoder::layoutMatchesExampleFrame()
{
    const QByteArray f = hex(kDefaultFrame);
    QCOMPARE(f.size(), 38);
    QCOMPARE(f.mid(frame::kCompanyIdOffset, frame::kCompanyIdSize), QByteArray("KORV-TAMBE"));
    QCOMPARE(quint8(f[frame::kSourceOffset]), quint8(0x33));
    QCOMPARE(quint8(f[frame::kLengthOffset]), quint8(frame::bodyLength(10)));
    QCOMPARE(quint8(f[frame::kCheckSumOffset]), quint8(0x1D));
    QCOMPARE(f.mid(frame::kCommandOffset, 2), hex("5400"));
    QCOMPARE(f.mid(frame::kDataTypeOffset, 2), hex("0100"));
    QCOMPARE(f.mid(frame::kVarNoOffset, 2), hex("1000"));
    QCOMPARE(f.mid(frame::kRequestDataOffset), hex("0800255157302E302E30"));
    QCOMPARE(frame::kMaxRequestSize, 275);
    QCOMPARE(frame::kResponseFixedSize, 30);
    QCOMPARE(frame::kTcpPort, 2004);
    QCOMPARE(frame::kUdpPort, 2005);
}

void TestRequestEncoder::initHeader()
{
    QByteArray buffer = QByteArray(50, '\x7F');
    InitHeader(buffer);
    QCOMPARE(buffer, hex("4B4F52562D54414D4245 000000 33 000000000000"));
}

void TestRequestEncoder::halfLength_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("bytes");
    QTest::newRow("empty") << 0 << 0;
    QTest::newRow("one character rounds down to even 0") << 1 << 0;
    QTest::newRow("three round up to even 2") << 3 << 2;
    QTest::newRow("five round down to even 2") << 5 << 2;
    QTest::newRow("seven round up to 4") << 7 << 4;
    QTest::newRow("nine round down to 4") << 9 << 4;
    QTest::newRow("eleven round up to 6") << 11 << 6;
    QTest::newRow("even is half") << 494 << 247;
    QTest::newRow("495 gives 248") << 495 << 248;
}

void TestRequestEncoder::halfLength()
{
    QFETCH(int, length);
    QFETCH(int, bytes);
    QCOMPARE(HalfLength(QString(length, u'0')), bytes);
}

void TestRequestEncoder::byteSum_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("last");
    QTest::addColumn<int>("sum");
    QTest::newRow("example header 797 is 0x1D") << hex(kDefaultFrame) << 0 << 18 << 0x1D;
    QTest::newRow("exactly 256 wraps to 0") << hex("FF01") << 0 << 1 << 0;
    QTest::newRow("first after last gives 0") << hex("0102") << 1 << 0 << 0;
    QTest::newRow("sub-range only") << hex("FF0203FF") << 1 << 2 << 5;
}

void TestRequestEncoder::byteSum()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, first);
    QFETCH(int, last);
    QFETCH(int, sum);
    QCOMPARE(int(ByteSum(bytes, first, last)), sum);
}

void TestRequestEncoder::encode_data()
{
    QTest::addColumn<RequestTexts>("texts");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("default texts give the 38-byte example") << defaults() << hex(kDefaultFrame);

    auto with = [](auto change) {
        RequestTexts t = defaults();
        change(t);
        return t;
    };
    // Header (20 bytes) and fixed body of the defaults with a given length and checksum.
    auto frameWith = [](const char* lengthAndPadAndSum, const char* data) {
        return hex("4B4F52562D54414D4245 000000 33 0000") + hex(lengthAndPadAndSum)
            + hex("5400 0100 0000 1000") + hex(data);
    };
    // Checksum of the default header is 0x1D with length 0x12; it moves with the length byte.
    QTest::newRow("empty data gives 28 bytes, length 08")
        << with([](RequestTexts& t) { t.data.clear(); }) << frameWith("0800 00 13", "");
    QTest::newRow("A1B: odd length rounded up, last digit alone")
        << with([](RequestTexts& t) { t.data = QStringLiteral("A1B"); }) << frameWith("0A00 00 15", "A10B");
    QTest::newRow("A1B2D: odd length rounded down, last digit dropped")
        << with([](RequestTexts& t) { t.data = QStringLiteral("A1B2D"); }) << frameWith("0A00 00 15", "A1B2");
    QTest::newRow("A1B2D3E: four bytes, last one 0E")
        << with([](RequestTexts& t) { t.data = QStringLiteral("A1B2D3E"); })
        << frameWith("0C00 00 17", "A1B2D30E");
    QTest::newRow("one character gives no data")
        << with([](RequestTexts& t) { t.data = QStringLiteral("7"); }) << frameWith("0800 00 13", "");
    QTest::newRow("lower-case digits")
        << with([](RequestTexts& t) { t.data = QStringLiteral("a1"); }) << frameWith("0900 00 14", "A1");
    QTest::newRow("494 characters fill 247 bytes, length FF")
        << with([](RequestTexts& t) { t.data = QString(494, u'E'); })
        << frameWith("FF00 00 0A", QByteArray(494, 'E').constData());

    QTest::newRow("source of one digit") << with([](RequestTexts& t) { t.src = QStringLiteral("5"); })
                                         << hex("4B4F52562D54414D4245 000000 05 0000 1200 00 EF"
                                                "5400 0100 0000 1000 0800255157302E302E30");
    QTest::newRow("source FF") << with([](RequestTexts& t) { t.src = QStringLiteral("ff"); })
                               << hex("4B4F52562D54414D4245 000000 FF 0000 1200 00 E9"
                                      "5400 0100 0000 1000 0800255157302E302E30");
    QTest::newRow("invoke ID of four characters taken")
        << with([](RequestTexts& t) { t.invokeId = QStringLiteral("1A2B"); })
        << hex("4B4F52562D54414D4245 000000 33 1A2B 1200 00 62"
               "5400 0100 0000 1000 0800255157302E302E30");
    QTest::newRow("short company ID padded with zero bytes")
        << with([](RequestTexts& t) { t.comId = QStringLiteral("AB"); })
        << hex("41420000000000000000 000000 33 0000 1200 00 C8"
               "5400 0100 0000 1000 0800255157302E302E30");
    QTest::newRow("empty company ID gives ten zero bytes")
        << with([](RequestTexts& t) { t.comId.clear(); })
        << hex("00000000000000000000 000000 33 0000 1200 00 45"
               "5400 0100 0000 1000 0800255157302E302E30");
    QTest::newRow("command of three characters: third digit alone")
        << with([](RequestTexts& t) { t.cmnd = QStringLiteral("540"); }) << hex(kDefaultFrame);
}

void TestRequestEncoder::encode()
{
    QFETCH(RequestTexts, texts);
    QFETCH(QByteArray, expected);
    QByteArray buffer = freshBuffer();
    QCOMPARE(encodeRequest(texts, buffer), std::nullopt);
    QCOMPARE(buffer.toHex().toUpper(), expected.toHex().toUpper());
}

void TestRequestEncoder::headerPersistsBetweenSends()
{
    QByteArray buffer = freshBuffer();
    RequestTexts t = defaults();
    t.comId = QStringLiteral("0123456789");
    t.invokeId = QStringLiteral("1A2B");
    QVERIFY(!encodeRequest(t, buffer));

    // An invoke ID the encoder does not take keeps the last one; a shorter
    // company ID leaves no trace of the longer one.
    for (const QString& invoke : {QStringLiteral("12"), QString(), QStringLiteral("XYZ")}) {
        t.comId = QStringLiteral("AB");
        t.invokeId = invoke;
        QVERIFY(!encodeRequest(t, buffer));
        QCOMPARE(buffer.mid(frame::kInvokeIdOffset, 2), hex("1A2B"));
        QCOMPARE(buffer.left(frame::kCompanyIdSize), hex("41420000000000000000"));
        QCOMPARE(buffer.mid(frame::kReservedOffset, 3), hex("000000"));
        QCOMPARE(buffer.mid(frame::kLengthHighOffset, 2), hex("0000"));
    }
}

void TestRequestEncoder::bufferShrinksToFrame()
{
    QByteArray buffer = freshBuffer();
    RequestTexts t = defaults();
    QVERIFY(!encodeRequest(t, buffer));
    QCOMPARE(buffer.size(), 38);
    t.data = QStringLiteral("ABCD");
    QVERIFY(!encodeRequest(t, buffer));
    QCOMPARE(buffer.size(), 30);
    QCOMPARE(buffer.mid(frame::kRequestDataOffset), hex("ABCD"));
}

void TestRequestEncoder::leftoverBufferGivesCleanHeader_data()
{
    QTest::addColumn<QByteArray>("buffer");
    auto withByte = [](int offset) {
        QByteArray buffer = freshBuffer();
        buffer[offset] = '\x5A';
        return buffer;
    };
    QTest::newRow("reserved byte 10 set") << withByte(frame::kReservedOffset);
    QTest::newRow("reserved byte 12 set") << withByte(frame::kReservedOffset + 2);
    QTest::newRow("length high byte set") << withByte(frame::kLengthHighOffset);
    QTest::newRow("pad byte 18 set") << withByte(frame::kHeaderPadOffset);
    QTest::newRow("300 bytes of FF") << QByteArray(300, '\xFF');
    // Found by fuzz_request_encoder: a buffer holding earlier text bytes.
    QTest::newRow("fuzz: text bytes as buffer") << QByteArray("KORV-TAMBE\xFF"
                                                              "33\xFF"
                                                              "0000\xFF"
                                                              "5400\xFF"
                                                              "0100\xFF"
                                                              "0000\xFF"
                                                              "0800255157");
}

void TestRequestEncoder::leftoverBufferGivesCleanHeader()
{
    QFETCH(QByteArray, buffer);
    // A four-character invoke ID, so that no header byte is left to the buffer.
    const RequestTexts t = defaults();
    QVERIFY(!encodeRequest(t, buffer));
    QCOMPARE(buffer, hex(kDefaultFrame));
}

void TestRequestEncoder::checksumIgnoresBody()
{
    QByteArray first = freshBuffer();
    QByteArray second = freshBuffer();
    RequestTexts a = defaults();
    RequestTexts b = defaults();
    b.cmnd = QStringLiteral("FFFF");
    b.dataType = QStringLiteral("1234");
    b.varNo = QStringLiteral("ABCD");
    b.data = QStringLiteral("FFFFFFFFFFFFFFFFFFFF");
    QVERIFY(!encodeRequest(a, first));
    QVERIFY(!encodeRequest(b, second));
    QCOMPARE(first[frame::kCheckSumOffset], second[frame::kCheckSumOffset]);
}

void TestRequestEncoder::rejectsUnconvertibleText_data()
{
    QTest::addColumn<RequestTexts>("texts");
    QTest::addColumn<QString>("message");
    QTest::addColumn<RequestField>("field");
    auto with = [](auto change) {
        RequestTexts t = defaults();
        change(t);
        return t;
    };
    QTest::newRow("non-hex command") << with([](RequestTexts& t) { t.cmnd = QStringLiteral("5X00"); })
                                     << QStringLiteral("Command: \"5X00\" is not hexadecimal.")
                                     << RequestField::Cmnd;
    QTest::newRow("non-hex source") << with([](RequestTexts& t) { t.src = QStringLiteral("G1"); })
                                    << QStringLiteral("Source: \"G1\" is not hexadecimal.")
                                    << RequestField::Src;
    QTest::newRow("empty source") << with([](RequestTexts& t) {
        t.src.clear();
    }) << QStringLiteral("Source: the text is empty; type one or two hexadecimal digits.")
                                  << RequestField::Src;
    QTest::newRow("non-hex four-character invoke ID")
        << with([](RequestTexts& t) { t.invokeId = QStringLiteral("00 1"); })
        << QStringLiteral("Invoke ID: \"00 1\" is not hexadecimal.") << RequestField::InvokeId;
    QTest::newRow("data type of two characters")
        << with([](RequestTexts& t) { t.dataType = QStringLiteral("01"); })
        << QStringLiteral("Data Type: \"01\" is too short; type four hexadecimal digits.")
        << RequestField::DataType;
    QTest::newRow("empty Var No") << with([](RequestTexts& t) {
        t.varNo.clear();
    }) << QStringLiteral("Var No: \"\" is too short; type four hexadecimal digits.")
                                  << RequestField::VarNo;
    QTest::newRow("non-hex data pair")
        << with([](RequestTexts& t) { t.data = QStringLiteral("08-0"); })
        << QStringLiteral("Data: \"08-0\" is not hexadecimal.") << RequestField::Data;
    QTest::newRow("495 data characters")
        << with([](RequestTexts& t) { t.data = QString(495, u'0'); })
        << QStringLiteral("Data: \"0000000000000000000000000000000000000000\u2026\" has 495 characters; "
                          "at most 494 (247 bytes) fit in one frame.")
        << RequestField::Data;
    QTest::newRow("percent signs in a long company ID are quoted, not filled in")
        << with([](RequestTexts& t) { t.comId = QStringLiteral("%1AAAAAAAAAA"); })
        << QStringLiteral("Com ID: \"%1AAAAAAAAAA\" has more than 10 characters.") << RequestField::ComId;
    QTest::newRow("company ID character beyond one byte")
        << with([](RequestTexts& t) { t.comId = QStringLiteral("KORV\u20AC"); })
        << QStringLiteral("Com ID: \"KORV\u20AC\" holds the character \u20AC, which has no one-byte code.")
        << RequestField::ComId;
    QTest::newRow("company ID character beyond the basic plane, quoted whole")
        << with([](RequestTexts& t) { t.comId = QStringLiteral("A\U0001F600"); })
        << QStringLiteral(
               "Com ID: \"A\U0001F600\" holds the character \U0001F600, which has no one-byte code.")
        << RequestField::ComId;
}

void TestRequestEncoder::rejectsUnconvertibleText()
{
    QFETCH(RequestTexts, texts);
    QFETCH(QString, message);
    // A buffer that has carried a frame, so that a partial write would show.
    QByteArray buffer = freshBuffer();
    RequestTexts earlier = defaults();
    earlier.invokeId = QStringLiteral("BEEF");
    earlier.comId = QStringLiteral("OLD");
    QVERIFY(!encodeRequest(earlier, buffer));
    const QByteArray before = buffer;

    QCOMPARE(encodeRequest(texts, buffer), std::optional<QString>(message));
    QCOMPARE(buffer, before);
    // The same message, and the text it is about.
    const std::optional<WrongRequestText> wrong = findWrongRequestText(texts);
    QVERIFY(wrong);
    QTEST(wrong->field, "field");
    QCOMPARE(wrong->message, message);
}

void TestRequestEncoder::companyIdRoundTripsEveryByte()
{
    QByteArray buffer = freshBuffer();
    for (int start = 0; start < 256; start += 10) {
        RequestTexts t = defaults();
        t.comId.clear();
        for (int c = start; c < std::min(start + 10, 256); ++c)
            t.comId.append(QChar(c));
        QVERIFY(!encodeRequest(t, buffer));
        QCOMPARE(QString::fromLatin1(buffer.left(t.comId.size())), t.comId);
    }
}

QTEST_APPLESS_MAIN(TestRequestEncoder)
#include "tst_request_encoder.moc"
