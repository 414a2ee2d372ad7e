// SPDX-License-Identifier: GPL-3.0-or-later
// What the probe reports for a person: the line per reply, the summary as
// text, and the exit status that follows from a run's counts.
#include "run_report.h"

#include "harness/exchange_script.h"
#include "tally_script.h"

#include <QtTest>

namespace {

// A request's exchange as the tracker hands it on: a 30-byte reply with
// state and Code/No 0000, or `reply` as given.
Exchange exchangeOf(Exchange::Outcome outcome, int connection, quint64 sequence, qint64 roundTripNs = -1,
                    const QString& fault = QString())
{
    Exchange e;
    e.outcome = outcome;
    e.connection = connection;
    e.sequence = sequence;
    e.roundTripNs = roundTripNs;
    e.request = requestFrame(quint16(sequence));
    if (outcome == Exchange::Outcome::Answered || outcome == Exchange::Outcome::Late) {
        e.reply = exchange_script::faultyReply(e.request, fault);
        e.faults = checkReply(e.request, e.reply);
    }
    return e;
}

ProbeOptions optionsOf(int connections)
{
    ProbeOptions o;
    o.host = QStringLiteral("10.0.0.5");
    o.connections = connections;
    o.timeoutMs = 1000;
    return o;
}

constexpr qint64 kRunNs = 2'000'000'000;

} // namespace

Q_DECLARE_METATYPE(Exchange)
Q_DECLARE_METATYPE(RunEnd::Kind)

class TestRunReport : public QObject {
    Q_OBJECT
private slots:
    void lines_data();
    void lines();
    void milliseconds_data();
    void milliseconds();
    void summaryCounts();
    void summaryPerConnection();
    void summaryWithoutReplies();
    void exitStatus_data();
    void exitStatus();
};

void TestRunReport::lines_data()
{
    QTest::addColumn<Exchange>("exchange");
    QTest::addColumn<bool>("showConnection");
    QTest::addColumn<QString>("line");

    using O = Exchange::Outcome;
    QTest::newRow("a reply, as ping prints it")
        << exchangeOf(O::Answered, 1, 7, 5'123'456) << false
        << "30 bytes from 10.0.0.5: seq=7 state=0000 code=0000 time=5.123 ms";
    QTest::newRow("with several connections")
        << exchangeOf(O::Answered, 3, 7, 5'123'456) << true
        << "30 bytes from 10.0.0.5: conn=3 seq=7 state=0000 code=0000 time=5.123 ms";
    QTest::newRow("an untimed reply says so")
        << exchangeOf(O::Answered, 1, 7) << false
        << "30 bytes from 10.0.0.5: seq=7 state=0000 code=0000 untimed (another request could have drawn it)";
    QTest::newRow("a reply that fails a check")
        << exchangeOf(O::Answered, 1, 2, 800'000, "checksum") << false
        << "30 bytes from 10.0.0.5: seq=2 state=0000 code=0000 time=0.800 ms MALFORMED: "
           "header checksum 95, the header sums to 94";
    QTest::newRow("a reply too short for state and Code/No")
        << exchangeOf(O::Answered, 1, 4, 1'000'000, "short") << false
        << "12 bytes from 10.0.0.5: seq=4 time=1.000 ms MALFORMED: only 12 bytes, a response has at least 30";
    QTest::newRow("lost by timeout") << exchangeOf(O::Lost, 1, 3) << false
                                     << "no reply from 10.0.0.5: seq=3 within 1000 ms";
    Exchange partial = exchangeOf(O::Lost, 1, 3);
    partial.arrivedBytes = 12;
    partial.expectedBytes = 30;
    QTest::newRow("lost with part of its reply in")
        << partial << false << "no reply from 10.0.0.5: seq=3 within 1000 ms, 12 of 30 bytes arrived";
    Exchange ended = exchangeOf(O::Lost, 2, 9);
    ended.lostReason = Exchange::LostReason::SessionEnded;
    QTest::newRow("lost with the connection")
        << ended << true << "no reply from 10.0.0.5: conn=2 seq=9, the connection ended";
    QTest::newRow("unanswered at an interrupt: no line")
        << exchangeOf(O::Unanswered, 1, 5) << false << QString();
    QTest::newRow("a late reply") << exchangeOf(O::Late, 1, 3, 1'503'210'400) << false
                                  << "late reply from 10.0.0.5: seq=3 time=1503.210 ms, already counted lost";
    QTest::newRow("a late reply, untimed") << exchangeOf(O::Late, 1, 3) << false
                                           << "late reply from 10.0.0.5: seq=3 (untimed: requests sent since "
                                              "could have drawn it), already counted "
                                              "lost";
    Exchange unexpected = exchangeOf(O::Unexpected, 2, 0);
    unexpected.reply = responseTo(requestFrame(0));
    QTest::newRow("a reply that answers no request")
        << unexpected << true
        << "unexpected reply from 10.0.0.5: conn=2 30 bytes, invoke ID 0000 answers no request";
    unexpected.reply = QByteArray(5, '\x01');
    unexpected.hasInvokeId = false;
    QTest::newRow("bytes too few for a header")
        << unexpected << true
        << "unexpected bytes from 10.0.0.5: conn=2 5 bytes, too few for a reply's header";
}

void TestRunReport::lines()
{
    QFETCH(Exchange, exchange);
    QFETCH(bool, showConnection);
    QTEST(exchangeLine(exchange, QStringLiteral("10.0.0.5"), showConnection, 1000), "line");
    // A host named with '%' signs is printed as given.
    const QString odd = exchangeLine(exchange, QStringLiteral("%2%1"), showConnection, 1000);
    QVERIFY(odd.isEmpty() || odd.contains(QStringLiteral(" %2%1:")));
}

void TestRunReport::milliseconds_data()
{
    QTest::addColumn<qint64>("ns");
    QTest::addColumn<QString>("text");
    QTest::newRow("zero") << qint64(0) << "0.000";
    QTest::newRow("below half a microsecond") << qint64(499) << "0.000";
    QTest::newRow("half a microsecond rounds up") << qint64(1500) << "0.002";
    QTest::newRow("five milliseconds and change") << qint64(5'123'456) << "5.123";
    QTest::newRow("rounding carries into the millisecond") << qint64(4'999'600) << "5.000";
    QTest::newRow("over a second") << qint64(1'234'567'890) << "1234.568";
}

void TestRunReport::milliseconds()
{
    QFETCH(qint64, ns);
    QTEST(millisecondsText(ns), "text");
}

void TestRunReport::summaryCounts()
{
    RunTally tally(1);
    feed(tally,
         "S1@0 R1@1 S2@10 R2@12 S3@20 R3@23 S4@30 R4@34 S5@40 R5@45 S6@50 R6!checksum@52 "
         "S9@60 R9!invoke@62 S7@70 G7:timeout@1070 L7@1500 S8@1600 C@1601");

    const QStringList lines = summaryText(optionsOf(1), tally, kRunNs).split(u'\n');
    QCOMPARE(lines.value(0),
             QStringLiteral("--- 10.0.0.5 vexa-probe statistics (TCP port 2004, 1 connection) ---"));
    // Lost share of the seven whose fate is known; the interrupted one is neither.
    QCOMPARE(
        lines.value(1),
        QStringLiteral("9 sent, 7 received, 1 lost (12.50%), 2 failed checks, time 2.000 s, 4.5 requests/s"));
    QCOMPARE(lines.value(2),
             QStringLiteral("1 late (after their request was counted lost), "
                            "1 unanswered when the run stopped"));
    QCOMPARE(lines.value(3),
             QStringLiteral("failed checks: 1 header checksum wrong, 1 invoke ID not the request's"));
    // The failed reply's 2 ms is not among the round trips: 1..5 ms only.
    const QRegularExpression figures(QStringLiteral(
        "^round trip min/mean/p50/p90/p99/p99.9/max/stddev = 1\\.000/3\\.000/(\\d+\\.\\d{3})/(\\d+\\.\\d{3})/"
        "(\\d+\\.\\d{3})/(\\d+\\.\\d{3})/5\\.000/1\\.414 ms$"));
    const QRegularExpressionMatch match = figures.match(lines.value(4));
    QVERIFY2(match.hasMatch(), qPrintable(lines.value(4)));
    QVERIFY(std::abs(match.captured(1).toDouble() - 3.0) <= 0.003);
    QVERIFY(std::abs(match.captured(3).toDouble() - 5.0) <= 0.005);
    QCOMPARE(lines.size(), 6); // and the final newline
}

void TestRunReport::summaryPerConnection()
{
    RunTally tally(2);
    feed(tally, "1:S1@0 1:R1@1 1:S2@2 1:R2@3 2:S1@0 2:R1@3 2:S2@4 2:G2:timeout@1004");
    const QString text = summaryText(optionsOf(2), tally, kRunNs);
    QVERIFY2(text.contains(QStringLiteral("(TCP port 2004, 2 connections)")), qPrintable(text));
    QVERIFY(text.contains(QStringLiteral("\n4 sent, 3 received, 1 lost (25.00%), 0 failed checks,")));
    QVERIFY(text.contains(
        QStringLiteral("\nconnection 1: 2 sent, 2 received, 0 lost (0.00%), 0 failed checks; "
                       "round trip min/mean/p50/p99/max = 1.000/1.000/1.000/1.000/1.000 ms\n")));
    QVERIFY(text.contains(
        QStringLiteral("\nconnection 2: 2 sent, 1 received, 1 lost (50.00%), 0 failed checks; "
                       "round trip min/mean/p50/p99/max = 3.000/3.000/3.000/3.000/3.000 ms\n")));
}

void TestRunReport::summaryWithoutReplies()
{
    RunTally tally(1);
    feed(tally, "S1@0 G1:timeout@1000");
    const QString text = summaryText(optionsOf(1), tally, kRunNs);
    QVERIFY(text.endsWith(QStringLiteral("\nround trip: no reply passed the checks\n")));
    QVERIFY(text.contains(QStringLiteral("1 sent, 0 received, 1 lost (100.00%)")));
}

void TestRunReport::exitStatus_data()
{
    QTest::addColumn<RunEnd::Kind>("kind");
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("status");

    using Kind = RunEnd::Kind;
    QTest::newRow("every request answered") << Kind::Completed << "S1@0 R1@1 S2@2 R2@3" << 0;
    QTest::newRow("one lost") << Kind::Completed << "S1@0 R1@1 S2@2 G2:timeout@1002" << 1;
    QTest::newRow("one failed a check") << Kind::Completed << "S1@0 R1@1 S2@2 R2!company@3" << 1;
    QTest::newRow("a reply that answers no request") << Kind::Completed << "S1@0 R1@1 X@2" << 1;
    QTest::newRow("interrupted with one in flight") << Kind::Interrupted << "S1@0 R1@1 S2@2 C@3" << 0;
    QTest::newRow("interrupted before any reply") << Kind::Interrupted << "S1@0 C@3" << 1;
    QTest::newRow("the connection ended") << Kind::ConnectionEnded << "S1@0 R1@1" << 1;
    QTest::newRow("an output file could not be written") << Kind::OutputFailed << "S1@0 R1@1" << 1;
    QTest::newRow("unreachable") << Kind::Unreachable << "" << 3;
}

void TestRunReport::exitStatus()
{
    QFETCH(RunEnd::Kind, kind);
    QFETCH(QString, script);
    RunTally tally(1);
    feed(tally, script);
    QTEST(probeExitStatus({kind, {}}, tally.total()), "status");
}

QTEST_APPLESS_MAIN(TestRunReport)
#include "tst_run_report.moc"
