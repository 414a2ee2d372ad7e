// SPDX-License-Identifier: GPL-3.0-or-later
// Frame display: bytes of a header or a whole reply against the box texts.
#include "codec/frame_display.h"

#include <QtTest>

namespace {

QByteArray hex(const char* text)
{
    return QByteArray::fromHex(text);
}

// A 30-byte reply: header, command 5401, data type 0100, pad, state 0000,
// Code/No 0102.
const char kReply30[] = "4B4F52562D54414D4245 000000 B0 0102 2A00 00 5A"
                        "5401 0100 0000 0000 0102";

} // namespace

class TestFrameDisplay : public QObject {
    Q_OBJECT
private slots:
    void hexByte_data();
    void hexByte();
    void header_data();
    void header();
    void response_data();
    void response();
    void shortOrOverstatedReplyStaysInBounds_data();
    void shortOrOverstatedReplyStaysInBounds();
};

void TestFrameDisplay::hexByte_data()
{
    QTest::addColumn<int>("byte");
    QTest::addColumn<QString>("text");
    QTest::newRow("0") << 0 << "00";
    QTest::newRow("9") << 9 << "09";
    QTest::newRow("10") << 10 << "0A";
    QTest::newRow("171") << 171 << "AB";
    QTest::newRow("255") << 255 << "FF";
}

void TestFrameDisplay::hexByte()
{
    QFETCH(int, byte);
    QFETCH(QString, text);
    QCOMPARE(HexByte(quint8(byte)), text);
}

void TestFrameDisplay::header_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("comId");
    QTest::addColumn<QString>("src");
    QTest::addColumn<QString>("invokeId");
    QTest::addColumn<QString>("length");
    QTest::addColumn<QString>("checkSum");

    QTest::newRow("request echo of the default texts")
        << hex("4B4F52562D54414D4245 000000 33 0000 1200 00 1D") << "KORV-TAMBE"
        << "33"
        << "0000"
        << "1200"
        << "1D";
    QTest::newRow("short company ID leaves its trailing zero bytes off, never swapped")
        << hex("41424300000000000000 000000 05 0102 2A00 00 00") << "ABC"
        << "05"
        << "0102"
        << "2A00"
        << "00";
    QTest::newRow("all-zero company ID is empty")
        << hex("00000000000000000000 000000 05 0102 2A00 00 00") << ""
        << "05"
        << "0102"
        << "2A00"
        << "00";
    QTest::newRow("zero byte before the last character stays U+0000")
        << hex("41004200000000000000 000000 05 0102 2A00 00 00") << QStringLiteral("A\u0000B") << "05"
        << "0102"
        << "2A00"
        << "00";
    QTest::newRow("checksum shown whatever byte 18 holds")
        << hex("4B4F52562D54414D4245 000000 33 0000 1200 77 5A") << "KORV-TAMBE"
        << "33"
        << "0000"
        << "1200"
        << "5A";
    QTest::newRow("high bytes map to ISO-8859-1")
        << hex("E4F6FCDF80FF41424344 000000 33 0000 1200 00 1D")
        << QStringLiteral("\u00E4\u00F6\u00FC\u00DF\u0080\u00FFABCD") << "33"
        << "0000"
        << "1200"
        << "1D";
}

void TestFrameDisplay::header()
{
    QFETCH(QByteArray, bytes);
    const HeaderTexts t = headerTexts(bytes, bytes.size());
    QTEST(t.comId, "comId");
    QTEST(t.src, "src");
    QTEST(t.invokeId, "invokeId");
    QTEST(t.length, "length");
    QTEST(t.checkSum, "checkSum");
}

void TestFrameDisplay::response_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("data");
    QTest::newRow("30 bytes: no data") << hex(kReply30) << "";
    QTest::newRow("31 bytes: one data byte") << hex(kReply30) + hex("7F") << "7F";
    QTest::newRow("34 bytes: four data bytes in order") << hex(kReply30) + hex("000AFF10") << "000AFF10";
}

void TestFrameDisplay::response()
{
    QFETCH(QByteArray, bytes);
    const ResponseTexts t = responseTexts(bytes, bytes.size());
    QCOMPARE(t.header.comId, QStringLiteral("KORV-TAMBE"));
    QCOMPARE(t.header.src, QStringLiteral("B0"));
    QCOMPARE(t.header.invokeId, QStringLiteral("0102"));
    QCOMPARE(t.header.length, QStringLiteral("2A00"));
    QCOMPARE(t.header.checkSum, QStringLiteral("5A"));
    QCOMPARE(t.cmnd, QStringLiteral("5401"));
    QCOMPARE(t.dataType, QStringLiteral("0100"));
    QCOMPARE(t.state, QStringLiteral("0000"));
    QCOMPARE(t.code, QStringLiteral("0102"));
    QTEST(t.data, "data");
}

void TestFrameDisplay::shortOrOverstatedReplyStaysInBounds_data()
{
    QTest::addColumn<int>("received");
    QTest::addColumn<int>("count");
    QTest::addColumn<QStringList>("texts"); // comId src invoke length sum cmnd type state code data

    const QString comId = QStringLiteral("KORV-TAMBE");
    QTest::newRow("nothing") << 0 << 0 << QStringList(10);
    QTest::newRow("negative count") << 30 << -5 << QStringList(10);
    QTest::newRow("9 bytes: not even the company ID") << 9 << 9 << QStringList(10);
    QTest::newRow("10 bytes: company ID only") << 10 << 10 << (QStringList{comId} << QStringList(9));
    QTest::newRow("15 bytes: half an invoke ID is nothing")
        << 15 << 15 << (QStringList{comId, "B0"} << QStringList(8));
    QTest::newRow("17 bytes: invoke ID whole, half a length is nothing")
        << 17 << 17 << (QStringList{comId, "B0", "0102"} << QStringList(7));
    QTest::newRow("20 bytes: header only")
        << 20 << 20 << (QStringList{comId, "B0", "0102", "2A00", "5A"} << QStringList(5));
    QTest::newRow("29 bytes: Code/No missing its second byte")
        << 29 << 29 << QStringList{comId, "B0", "0102", "2A00", "5A", "5401", "0100", "0000", "", ""};
    QTest::newRow("count beyond the bytes received is capped")
        << 20 << 1000 << (QStringList{comId, "B0", "0102", "2A00", "5A"} << QStringList(5));
    QTest::newRow("count below the bytes received wins")
        << 34 << 31 << QStringList{comId, "B0", "0102", "2A00", "5A", "5401", "0100", "0000", "0102", "00"};
}

void TestFrameDisplay::shortOrOverstatedReplyStaysInBounds()
{
    QFETCH(int, received);
    QFETCH(int, count);
    QFETCH(QStringList, texts);
    // Exactly `received` bytes on the heap, so a read past them is caught by
    // AddressSanitizer.
    const QByteArray full = hex(kReply30) + hex("000AFF10");
    const QByteArray bytes(full.constData(), received);
    const ResponseTexts t = responseTexts(bytes, count);
    const QStringList shown{
        t.header.comId, t.header.src, t.header.invokeId, t.header.length, t.header.checkSum,
        t.cmnd,         t.dataType,   t.state,           t.code,          t.data};
    QCOMPARE(shown, texts);
}

QTEST_APPLESS_MAIN(TestFrameDisplay)
#include "tst_frame_display.moc"
