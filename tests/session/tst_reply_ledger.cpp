// SPDX-License-Identifier: GPL-3.0-or-later
// Which request each reply answers, its round trip, and what is given up:
// short scripts of sends, replies and deadlines, and what the ledger made
// of them.
#include "session/reply_ledger.h"

#include <QRegularExpression>
#include <QStringList>
#include <QtTest>

namespace {

constexpr qint64 kMs = 1'000'000;

// Runs a script of space-separated steps, times in ms:
//   S<id>@<t>  a request with invoke ID <id> (four hex digits) leaves at t
//   R<id>@<t>  a reply carrying <id> arrives at t; R-@<t>: too short for one
//   E@<t>      the deadline timer fires at t
//   C@<t>      may a chain that sends one request at a time send the next?
// and writes what came of each step: -<seq>d given up at its deadline,
// -<seq>o overtaken by a later request's reply, A<seq>=<ms> answered with
// that round trip, A<seq> answered but untimed (another request could have
// drawn it), L<seq>=<ms> late and timed, L<seq> late and untimed, N answers
// nothing, go or wait for C.
QString run(ReplyLedger& ledger, int timeoutMs, const QString& script)
{
    static const QRegularExpression step(QStringLiteral("^([SREC])([0-9A-F]{4}|-)?@(\\d+)$"));
    QStringList log;
    quint64 sequence = 0;
    auto givenUp = [&] {
        for (const ReplyLedger::GivenUp& entry : ledger.givenUp()) {
            const char* reason = entry.reason == ReplyLedger::GiveUpReason::Deadline ? "d" : "o";
            log << QStringLiteral("-%1%2").arg(entry.request.sequence).arg(QLatin1String(reason));
        }
    };
    for (const QString& text : script.split(u' ', Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch m = step.match(text);
        if (!m.hasMatch())
            return QStringLiteral("bad step ") + text;
        const qint64 nowNs = m.captured(3).toLongLong() * kMs;
        const QString id = m.captured(2);
        switch (m.captured(1).at(0).toLatin1()) {
        case 'S':
            ledger.sent({++sequence, static_cast<quint16>(id.toUInt(nullptr, 16)), nowNs,
                         static_cast<qint32>(nowNs / kMs), nowNs + timeoutMs * kMs});
            break;
        case 'E':
            ledger.expire(nowNs);
            givenUp();
            break;
        case 'C':
            ledger.expire(nowNs);
            givenUp();
            log << (ledger.isWaiting() || ledger.awaitsLateReply() ? QStringLiteral("wait")
                                                                   : QStringLiteral("go"));
            break;
        case 'R': {
            const std::optional<quint16> invokeId =
                id == u'-' ? std::nullopt : std::optional<quint16>(id.toUInt(nullptr, 16));
            const ReplyLedger::Match match = ledger.reply(invokeId, nowNs);
            givenUp();
            const qint64 ms = (nowNs - match.request.sentNs) / kMs;
            const QString time = match.timed ? QStringLiteral("=%1").arg(ms) : QString();
            switch (match.kind) {
            case ReplyLedger::Match::Kind::Answer:
                log << QStringLiteral("A%1%2").arg(match.request.sequence).arg(time);
                break;
            case ReplyLedger::Match::Kind::Late:
                log << QStringLiteral("L%1%2").arg(match.request.sequence).arg(time);
                break;
            case ReplyLedger::Match::Kind::Nothing:
                log << QStringLiteral("N");
                break;
            }
            break;
        }
        }
    }
    return log.join(u' ');
}

} // namespace

class TestReplyLedger : public QObject {
    Q_OBJECT
private slots:
    void matching_data();
    void matching();
    void numberingSwitchedOffAfterALoss();
};

void TestReplyLedger::matching_data()
{
    QTest::addColumn<bool>("tcp");
    // Numbered: every request its own invoke ID, and a reply that carries
    // none of them answers nothing; otherwise such a reply goes by order.
    QTest::addColumn<bool>("numbered");
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("outcome");

    // Typed invoke IDs, as the window sends them: all alike. A reply is
    // timed only when no other request could have drawn it.
    QTest::newRow("one request at a time: each reply timed")
        << true << false << 1000 << "S0000@0 R0000@15 S0000@20 R0000@35"
        << "A1=15 A2=15";
    QTest::newRow("tcp, two waiting with one ID: the first reply untimed, the second by order")
        << true << false << 1000 << "S0000@0 S0000@10 R0000@15 R0000@25"
        << "A1 A2=15";
    QTest::newRow("udp, two waiting with one ID: neither reply can be timed")
        << false << false << 1000 << "S0000@0 S0000@5 R0000@8 R0000@9"
        << "A1 A2";
    QTest::newRow("a late reply, nothing sent since: timed")
        << true << false << 100 << "S0000@0 E@100 R0000@150"
        << "-1d L1=150";
    QTest::newRow("a reply 1 ms past the timeout, before the timer fired: given up, late")
        << false << false << 1000 << "S0000@0 R0000@1001"
        << "-1d L1=1001";
    QTest::newRow("the reply at the deadline's own moment is late")
        << true << false << 1000 << "S0000@0 R0000@1000"
        << "-1d L1=1000";
    QTest::newRow("tcp, slow module with single sends: every reply untimed, never the next one's time")
        << true << false << 1000 << "S0000@0 E@1000 S0000@1000 R0000@1500 E@2000 S0000@2000 R0000@2500"
        << "-1d L1 -2d L2";
    QTest::newRow("udp, slow module with single sends: every reply untimed, never the next one's time")
        << false << false << 1000 << "S0000@0 E@1000 S0000@1000 R0000@1500 E@2000 S0000@2000 R0000@2500"
        << "-1d L1 -2d L2";
    QTest::newRow("a chain waits for a given-up request's late reply, which is then timed")
        << true << false << 1000 << "S0000@0 C@999 E@1000 C@1000 R0000@1500 C@1500"
        << "wait -1d wait L1=1500 go";
    QTest::newRow("a chain goes on once the late window of an ignored request has passed")
        << false << false << 1000 << "S0000@0 E@1000 C@2999 C@3000 S0000@3000 R0000@3001"
        << "-1d wait go A2=1";
    QTest::newRow("tcp, two given-up requests remembered: the first reply untimed, the second by order")
        << true << false << 100 << "S0000@0 E@100 S0000@100 E@200 R0000@250 R0000@260"
        << "-1d -2d L1 L2=160";
    QTest::newRow("udp, two given-up requests remembered: neither reply can be timed")
        << false << false << 100 << "S0000@0 E@100 S0000@100 E@200 R0000@250 R0000@260"
        << "-1d -2d L1 L2";
    QTest::newRow("tcp, requests ignored, the next answered at once: untimed, not the ignored one's seconds")
        << true << false << 5000 << "S0000@0 R0000@1 S0000@1000 S0000@2000 S0000@3000 R0000@3001"
        << "A1=1 A2";
    QTest::newRow("tcp, request ignored, the next answered after its late window, the third late")
        << true << false << 1000 << "S0000@0 E@1000 S0000@5000 R0000@5001 S0000@8000 E@9000 R0000@9300"
        << "-1d A2=1 -3d L3=1300";
    QTest::newRow("tcp, request ignored, the next answered within its late window, the third late")
        << true << false << 1000 << "S0000@0 E@1000 S0000@1500 R0000@1501 S0000@5000 E@6000 R0000@6300"
        << "-1d L1 -2d -3d L3=1300";
    QTest::newRow("tcp, an overtaken request is forgotten: its reply answers nothing")
        << true << false << 1000 << "S0007@0 S0008@10 R0008@12 R0007@20"
        << "-1o A2=2 N";
    QTest::newRow("udp, a late reply named by its own typed ID: timed")
        << false << false << 100 << "S0007@0 E@100 S0008@100 R0007@150 R0008@160"
        << "-1d L1=150 A2=60";
    QTest::newRow("an invoke ID nobody sent, one request waiting: timed")
        << true << false << 1000 << "S0001@0 R0009@4"
        << "A1=4";
    QTest::newRow("an invoke ID nobody sent, two waiting: either could have drawn it")
        << false << false << 1000 << "S0001@0 S0002@5 R0009@8"
        << "A1";
    QTest::newRow("too short for an invoke ID: by order") << true << false << 1000 << "S0001@0 R-@4"
                                                          << "A1=4";
    QTest::newRow("tcp, by order, nothing waiting, the skipped request forgotten: answers nothing")
        << true << false << 100 << "S0001@0 E@100 S0002@100 R0002@101 R0009@120"
        << "-1d A2=1 N";
    QTest::newRow("bytes before any request answer nothing")
        << true << false << 1000 << "R0000@0 S0000@1 R0000@3"
        << "N A1=2";

    // Numbered invoke IDs, as the probe sends them.
    QTest::newRow("tcp, a skipped request is given up by the next one's reply")
        << true << true << 1000 << "S0001@0 S0002@10 R0002@12"
        << "-1o A2=2";
    QTest::newRow("tcp, its reply after that is late, and timed by its own ID")
        << true << true << 1000 << "S0001@0 S0002@10 R0002@12 R0001@20"
        << "-1o A2=2 L1=20";
    QTest::newRow("a slow reply overtaken at its deadline: both replies told apart")
        << true << true << 200 << "S0003@0 E@200 S0004@200 R0004@201 R0003@400"
        << "-1d A2=1 L1=400";
    QTest::newRow("udp, replies out of order are each timed right")
        << false << true << 1000 << "S0001@0 S0002@5 R0002@8 R0001@9"
        << "A2=3 A1=9";
    QTest::newRow("a frame sent on connect answers nothing")
        << true << true << 1000 << "R0000@0 S0001@1 R0001@3"
        << "N A1=2";
    QTest::newRow("a second reply to one request answers nothing")
        << true << true << 1000 << "S0001@0 R0001@5 R0001@6"
        << "A1=5 N";
    QTest::newRow("a module that does not copy the ID: no reply answers anything")
        << true << true << 100 << "S0001@0 R0000@5 E@100 S0002@100 R0000@105"
        << "N -1d N";
    QTest::newRow("too short for an invoke ID: answers nothing") << true << true << 1000 << "S0001@0 R-@4"
                                                                 << "N";
    QTest::newRow("given up the moment its deadline comes") << true << true << 100 << "S0001@0 E@100"
                                                            << "-1d";
    QTest::newRow("a chain never waits for a late reply that its own ID would name")
        << true << true << 100 << "S0001@0 E@100 C@100"
        << "-1d go";
    QTest::newRow("several requests past their deadline are given up at once, oldest first")
        << false << true << 100 << "S0001@0 S0002@10 E@99 E@150"
        << "-1d -2d";
}

void TestReplyLedger::matching()
{
    QFETCH(bool, tcp);
    QFETCH(bool, numbered);
    QFETCH(int, timeoutMs);
    QFETCH(QString, script);
    ReplyLedger ledger(tcp ? ReplyLedger::Transport::Tcp : ReplyLedger::Transport::Udp);
    ledger.setUnmatched(numbered ? ReplyLedger::Unmatched::Nothing : ReplyLedger::Unmatched::ByOrder,
                        numbered);
    QTEST(run(ledger, timeoutMs, script), "outcome");
}

// A request given up while numbered is remembered without end; once the
// numbering is off, its late window ends like any other's, and a chain goes
// on.
void TestReplyLedger::numberingSwitchedOffAfterALoss()
{
    ReplyLedger ledger(ReplyLedger::Transport::Tcp);
    ledger.setUnmatched(ReplyLedger::Unmatched::Nothing, true);
    QCOMPARE(run(ledger, 100, "S0001@0 E@100 C@100"), QStringLiteral("-1d go"));
    ledger.setUnmatched(ReplyLedger::Unmatched::ByOrder, false);
    QCOMPARE(run(ledger, 100, "C@299 C@300"), QStringLiteral("wait go"));
}

QTEST_APPLESS_MAIN(TestReplyLedger)
#include "tst_reply_ledger.moc"
