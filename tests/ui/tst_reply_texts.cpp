// SPDX-License-Identifier: GPL-3.0-or-later
// The window's texts of requests and replies: whatever they kept from the
// frames before, they read as texts built afresh from each frame's bytes.
#include "ui/reply_texts.h"

#include "codec/frame_layout.h"
#include "codec/request_encoder.h"
#include "session/session_engine.h"

#include <QtTest>

namespace {

QByteArray hex(const char* text)
{
    return QByteArray::fromHex(text);
}

// A 30-byte reply: invoke ID 0102, command 5401, data type 0100, state 0000,
// Code/No 0102.
const QByteArray kReply30 = hex("4B4F52562D54414D4245 000000 B0 0102 0A00 00 5A"
                                "5401 0100 0000 0000 0102");

// `frame` with another invoke ID, its checksum made to fit.
QByteArray withInvokeId(QByteArray frame, quint16 invokeId)
{
    setInvokeId(frame, invokeId);
    return frame;
}

QByteArray withByte(QByteArray frame, int offset, char byte)
{
    frame[offset] = byte;
    return frame;
}

QStringList listed(const HeaderTexts& t)
{
    return {t.comId, t.src, t.invokeId, t.length, t.checkSum};
}

QStringList listed(const ResponseTexts& t)
{
    return listed(t.header) + QStringList{t.cmnd, t.dataType, t.state, t.code, t.data};
}

} // namespace

class TestReplyTexts : public QObject {
    Q_OBJECT
private slots:
    void textsFollowTheBytes_data();
    void textsFollowTheBytes();
    void timeTexts_data();
    void timeTexts();
};

void TestReplyTexts::textsFollowTheBytes_data()
{
    QTest::addColumn<QList<QByteArray>>("frames"); // in the order they go out or come in
    const QByteArray r = kReply30;
    const QByteArray zeros = withByte(withByte(r, 2, '\0'), 3, '\0'); // "KO\0\0V-TAMBE"
    QTest::newRow("the same frame again") << QList<QByteArray>{r, r, r};
    QTest::newRow("the invoke ID and checksum alone change, twice")
        << QList<QByteArray>{r, withInvokeId(r, 1), withInvokeId(r, 0xABCD)};
    QTest::newRow("a new invoke ID, then the first one back") << QList<QByteArray>{r, withInvokeId(r, 1), r};
    QTest::newRow("the checksum alone changes")
        << QList<QByteArray>{r, withByte(r, frame::kCheckSumOffset, 0x11)};
    QTest::newRow("the invoke ID changes and the source too")
        << QList<QByteArray>{r, withInvokeId(withByte(r, frame::kSourceOffset, '\xB1'), 2)};
    QTest::newRow("the invoke ID changes and a data byte too")
        << QList<QByteArray>{r + hex("AA"), withInvokeId(r + hex("AB"), 3)};
    QTest::newRow("the invoke ID changes and the length too")
        << QList<QByteArray>{r, withInvokeId(withByte(r, frame::kLengthHighOffset, 0x01), 4)};
    QTest::newRow("cut short after a whole one, the same up to there") << QList<QByteArray>{r, r.left(25)};
    QTest::newRow("a header alone, then another with a new invoke ID")
        << QList<QByteArray>{r.left(20), withInvokeId(r, 5).left(20)};
    QTest::newRow("19 bytes twice with new invoke IDs: no checksum in")
        << QList<QByteArray>{r.left(19), withByte(r, frame::kInvokeIdOffset + 1, 0x07).left(19)};
    QTest::newRow("too short for any field, then whole, then too short again")
        << QList<QByteArray>{r.left(4), r, r.left(4)};
    QTest::newRow("empty after a whole one, twice, then whole again")
        << QList<QByteArray>{r, QByteArray(), QByteArray(), r};
    QTest::newRow("company ID with zero bytes, then a new invoke ID, then the plain one")
        << QList<QByteArray>{zeros, withInvokeId(zeros, 6), withInvokeId(r, 6)};
    QTest::newRow("company ID all zero bytes")
        << QList<QByteArray>{r, withInvokeId(QByteArray(10, '\0') + r.mid(10), 7)};
}

// Request headers and replies alike: after each frame the texts equal those
// built from its bytes alone, and the texts handed out before (which the
// boxes hold) stay those of their own frame.
void TestReplyTexts::textsFollowTheBytes()
{
    QFETCH(QList<QByteArray>, frames);
    ReplyTexts texts;
    QList<QStringList> headers, responses;
    for (const QByteArray& bytes : frames) {
        SentRequest request;
        request.frame = bytes;
        ArrivedReply reply;
        reply.bytes = bytes;
        reply.bytesTotal = static_cast<qint32>(bytes.size());
        const qint32 n = static_cast<qint32>(bytes.size());
        headers << listed(texts.requestHeader(request));
        QCOMPARE(headers.last(), listed(headerTexts(bytes, n)));
        responses << listed(texts.response(reply));
        QCOMPARE(responses.last(), listed(responseTexts(bytes, n)));
    }
    for (qsizetype i = 0; i < frames.size(); ++i) {
        const qint32 n = static_cast<qint32>(frames.at(i).size());
        QCOMPARE(headers.at(i), listed(headerTexts(frames.at(i), n)));
        QCOMPARE(responses.at(i), listed(responseTexts(frames.at(i), n)));
    }
}

using Times = QList<QList<qint32>>; // elapsed, MinTime, MaxTime of each timed reply

void TestReplyTexts::timeTexts_data()
{
    QTest::addColumn<Times>("times");
    QTest::addColumn<QStringList>("shown"); // the three texts after each reply, joined by spaces
    QTest::newRow("a first reply of 0 ms shows 0 in all three") << Times{{0, 0, 0}} << QStringList{"0 0 0"};
    QTest::newRow("each number changes on its own")
        << Times{{5, 5, 5}, {3, 3, 5}, {9, 3, 9}, {9, 3, 9}, {5, 3, 9}}
        << QStringList{"5 5 5", "3 3 5", "9 3 9", "9 3 9", "5 3 9"};
    QTest::newRow("back to a number shown before")
        << Times{{12, 12, 12}, {7, 7, 12}, {12, 7, 12}} << QStringList{"12 12 12", "7 7 12", "12 7 12"};
}

void TestReplyTexts::timeTexts()
{
    QFETCH(Times, times);
    QFETCH(QStringList, shown);
    ReplyTexts texts;
    QStringList seen;
    for (const QList<qint32>& t : times) {
        ArrivedReply reply;
        reply.elapsed = t.at(0);
        reply.MinTime = t.at(1);
        reply.MaxTime = t.at(2);
        const ReplyTexts::Times& now = texts.times(reply);
        seen << QStringList{now.elapsed, now.minTime, now.maxTime}.join(u' ');
    }
    QCOMPARE(seen, shown);
}

QTEST_APPLESS_MAIN(TestReplyTexts)
#include "tst_reply_texts.moc"
