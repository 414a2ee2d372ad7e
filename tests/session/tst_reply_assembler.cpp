// SPDX-License-Identifier: GPL-3.0-or-later
// Reply assembly: TCP arrivals cut at any point come out as whole replies.
#include "codec/frame_layout.h"
#include "session/reply_assembler.h"

#include <QtTest>

namespace {

// A reply whose length field says `length` and which carries `bodyBytes`
// body bytes (by default as many as announced). Every byte depends on its
// position and `seed`, so a lost, repeated or swapped byte shows.
QByteArray reply(int length, char seed, int bodyBytes = -1)
{
    QByteArray bytes(frame::kHeaderSize + (bodyBytes < 0 ? length : bodyBytes), '\0');
    for (int i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(seed + i);
    bytes[frame::kLengthOffset] = static_cast<char>(length & 0xFF);
    bytes[frame::kLengthHighOffset] = static_cast<char>(length >> 8);
    return bytes;
}

// `bytes` cut before each of `cuts` (ascending offsets).
QByteArrayList pieces(const QByteArray& bytes, const QList<int>& cuts)
{
    QByteArrayList out;
    int from = 0;
    for (int cut : cuts) {
        out << bytes.mid(from, cut - from);
        from = cut;
    }
    out << bytes.mid(from);
    return out;
}

} // namespace

class TestReplyAssembler : public QObject {
    Q_OBJECT
private slots:
    void assemble_data();
    void assemble();
    void completeReplyTakesNoMore();
    void storageIsReused();
};

void TestReplyAssembler::assemble_data()
{
    QTest::addColumn<QByteArrayList>("arrivals");
    QTest::addColumn<QByteArrayList>("replies");
    QTest::addColumn<QByteArray>("pending");
    QTest::addColumn<qsizetype>("pendingExpected");

    const QByteArray a = reply(14, 'a'); // 34 bytes
    const QByteArray b = reply(10, 'b'); // 30 bytes, the smallest response
    QTest::newRow("whole reply") << QByteArrayList{a} << QByteArrayList{a} << QByteArray() << qsizetype(-1);
    const QList<QPair<const char*, QList<int>>> cuts{
        {"2 pieces, inside the header", {5}},        {"2 pieces, between the length bytes", {17}},
        {"2 pieces, at the header end", {20}},       {"2 pieces, in the body", {25}},
        {"3 pieces, length byte alone", {16, 17}},   {"3 pieces, header and body split", {3, 22}},
        {"3 pieces, header end and body", {19, 20}}, {"1 byte at a time", {}},
    };
    for (auto [name, at] : cuts) {
        if (at.isEmpty()) // every byte its own arrival
            for (int i = 1; i < a.size(); ++i)
                at << i;
        QTest::newRow(name) << pieces(a, at) << QByteArrayList{a} << QByteArray() << qsizetype(-1);
    }

    QTest::newRow("two replies in one arrival")
        << QByteArrayList{a + b} << QByteArrayList{a, b} << QByteArray() << qsizetype(-1);
    QTest::newRow("next reply's header split across arrivals")
        << QByteArrayList{a + b.left(17), b.mid(17)} << QByteArrayList{a, b} << QByteArray() << qsizetype(-1);
    QTest::newRow("two replies and the start of a third")
        << QByteArrayList{a + b + a.left(24)} << QByteArrayList{a, b} << a.left(24) << qsizetype(34);
    QTest::newRow("header only: waits for the body")
        << QByteArrayList{a.left(20)} << QByteArrayList{} << a.left(20) << qsizetype(34);
    QTest::newRow("19 bytes: no size known yet")
        << QByteArrayList{a.left(19)} << QByteArrayList{} << a.left(19) << qsizetype(-1);

    // A length below the fixed body takes the rest of its header's arrival.
    const QByteArray shortReply = reply(9, 's', 9);
    QTest::newRow("short length takes the rest of the arrival")
        << QByteArrayList{shortReply + b} << QByteArrayList{shortReply + b} << QByteArray() << qsizetype(-1);
    QTest::newRow("short length, header split: rest of the completing arrival")
        << QByteArrayList{shortReply.left(10), shortReply.mid(10) + b.left(5), b}
        << QByteArrayList{shortReply + b.left(5), b} << QByteArray() << qsizetype(-1);
    const QByteArray zero = reply(0, 'z');
    QTest::newRow("zero length: header alone is whole")
        << QByteArrayList{zero, b} << QByteArrayList{zero, b} << QByteArray() << qsizetype(-1);

    const QByteArray longest = reply(0xFFFF, 'L');
    QTest::newRow("length 0xFFFF waits for 65,555 bytes")
        << QByteArrayList{longest.left(30), longest.mid(30, 65524)} << QByteArrayList{} << longest.left(65554)
        << qsizetype(65555);
    QTest::newRow("length 0xFFFF whole") << QByteArrayList{longest.left(17), longest.mid(17) + b}
                                         << QByteArrayList{longest, b} << QByteArray() << qsizetype(-1);
}

void TestReplyAssembler::assemble()
{
    QFETCH(QByteArrayList, arrivals);
    QFETCH(QByteArray, pending);

    // As the session drives it: finish a reply, then start the next one with
    // whatever the arrival still holds.
    ReplyAssembler assembler;
    QByteArrayList replies;
    for (const QByteArray& arrival : arrivals) {
        qsizetype offset = 0;
        do {
            const ReplyAssembler::Step step = assembler.add(arrival, offset);
            offset += step.taken;
            if (!step.complete) {
                QCOMPARE(offset, arrival.size());
                break;
            }
            QCOMPARE(assembler.current().size(), assembler.expectedSize());
            replies << assembler.current();
            assembler.startNext();
        } while (offset < arrival.size());
    }
    QTEST(replies, "replies");
    QCOMPARE(assembler.current(), pending);
    QCOMPARE(assembler.isEmpty(), pending.isEmpty());
    QTEST(assembler.expectedSize(), "pendingExpected");
}

void TestReplyAssembler::completeReplyTakesNoMore()
{
    const QByteArray first = reply(10, 'a');
    const QByteArray second = reply(12, 'b');
    ReplyAssembler assembler;
    const QByteArray arrival = first + second;
    const ReplyAssembler::Step step = assembler.add(arrival);
    QCOMPARE(step.taken, first.size());
    QVERIFY(step.complete);

    // Until startNext(), the complete reply stays as it is.
    const ReplyAssembler::Step again = assembler.add(arrival, step.taken);
    QCOMPARE(again.taken, 0);
    QVERIFY(again.complete);
    QCOMPARE(assembler.current(), first);

    assembler.startNext();
    QCOMPARE(assembler.expectedSize(), -1);
    QVERIFY(assembler.isEmpty());
    QCOMPARE(assembler.add(arrival, arrival.size() + 1).taken, 0); // past the end: nothing
    QCOMPARE(assembler.add(arrival, -1).taken, 0);
    const ReplyAssembler::Step next = assembler.add(arrival, step.taken);
    QCOMPARE(next.taken, second.size());
    QVERIFY(next.complete);
    QCOMPARE(assembler.current(), second);
}

void TestReplyAssembler::storageIsReused()
{
    // Continuous mode assembles thousands of equal replies a second; after
    // the first, they go into the same storage.
    const QByteArray one = reply(16, 'r');
    ReplyAssembler assembler;
    assembler.add(one);
    const char* storage = assembler.current().constData();
    for (int i = 0; i < 3; ++i) {
        assembler.startNext();
        for (const QByteArray& piece : pieces(one, {7, 21}))
            assembler.add(piece);
        QCOMPARE(assembler.current(), one);
        QCOMPARE(assembler.current().constData(), storage);
    }
}

QTEST_APPLESS_MAIN(TestReplyAssembler)
#include "tst_reply_assembler.moc"
