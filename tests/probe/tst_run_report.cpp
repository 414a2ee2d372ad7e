// SPDX-License-Identifier: GPL-3.0-or-later
// What the probe reports for a person: the line per reply, the summary as
// text, and the exit status that follows from a run's counts.
#include "run_report.h"

#include <QtTest>

namespace {

RequestOutcome answered(int connection, quint64 sequence, qint64 roundTripNs, unsigned faults = 0)
{
    RequestOutcome o;
    o.connection = connection;
    o.sequence = sequence;
    o.verdict = RequestOutcome::Verdict::Answered;
    o.roundTripNs = roundTripNs;
    o.bytes = 40;
    o.state = QStringLiteral("0000");
    o.code = QStringLiteral("0000");
    o.faults = faults;
    if (faults)
        o.faultText = QStringLiteral("header checksum 1C, the header sums to 1D");
    return o;
}

RequestOutcome decided(int connection, quint64 sequence, RequestOutcome::Verdict verdict)
{
    RequestOutcome o;
    o.connection = connection;
    o.sequence = sequence;
    o.verdict = verdict;
    return o;
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

Q_DECLARE_METATYPE(RequestOutcome)
Q_DECLARE_METATYPE(RunEnd::Kind)

class TestRunReport : public QObject {
    Q_OBJECT
private slots:
    void lines_data();
    void lines();
    void strayLines();
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
    QTest::addColumn<RequestOutcome>("outcome");
    QTest::addColumn<bool>("showConnection");
    QTest::addColumn<QString>("line");

    QTest::newRow("a reply, as ping prints it")
        << answered(1, 7, 5'123'456) << false
        << "40 bytes from 10.0.0.5: seq=7 state=0000 code=0000 time=5.123 ms";
    QTest::newRow("with several connections")
        << answered(3, 7, 5'123'456) << true
        << "40 bytes from 10.0.0.5: conn=3 seq=7 state=0000 code=0000 time=5.123 ms";
    QTest::newRow("a reply that fails a check")
        << answered(1, 2, 800'000, 2) << false
        << "40 bytes from 10.0.0.5: seq=2 state=0000 code=0000 time=0.800 ms MALFORMED: "
           "header checksum 1C, the header sums to 1D";
    RequestOutcome shortReply = answered(1, 4, 1'000'000, 1);
    shortReply.bytes = 12;
    shortReply.state.clear();
    shortReply.code.clear();
    shortReply.faultText = QStringLiteral("only 12 bytes, a response has at least 30");
    QTest::newRow("a reply too short for state and Code/No")
        << shortReply << false
        << "12 bytes from 10.0.0.5: seq=4 time=1.000 ms MALFORMED: only 12 bytes, a response has at least 30";
    QTest::newRow("lost by timeout") << decided(1, 3, RequestOutcome::Verdict::Lost) << false
                                     << "no reply from 10.0.0.5: seq=3 within 1000 ms";
    RequestOutcome ended = decided(2, 9, RequestOutcome::Verdict::Lost);
    ended.connectionEnded = true;
    QTest::newRow("lost with the connection")
        << ended << true << "no reply from 10.0.0.5: conn=2 seq=9, the connection ended";
    QTest::newRow("unanswered at an interrupt: no line")
        << decided(1, 5, RequestOutcome::Verdict::Unanswered) << false << QString();
}

void TestRunReport::lines()
{
    QFETCH(RequestOutcome, outcome);
    QFETCH(bool, showConnection);
    QTEST(outcomeLine(outcome, QStringLiteral("10.0.0.5"), showConnection, 1000), "line");
}

void TestRunReport::strayLines()
{
    StrayReply late;
    late.kind = StrayReply::Kind::Late;
    late.sequence = 3;
    late.roundTripNs = 1'503'210'400;
    late.bytes = 40;
    QCOMPARE(strayLine(late, QStringLiteral("h"), false),
             QStringLiteral("late reply from h: seq=3 time=1503.210 ms, already counted lost"));
    late.roundTripNs = -1;
    QCOMPARE(strayLine(late, QStringLiteral("h"), false),
             QStringLiteral("late reply from h: seq=3 (untimed: requests sent since could have drawn it), "
                            "already counted lost"));
    StrayReply unexpected;
    unexpected.connection = 2;
    unexpected.bytes = 30;
    unexpected.invokeId = QStringLiteral("0000");
    QCOMPARE(strayLine(unexpected, QStringLiteral("h"), true),
             QStringLiteral("unexpected reply from h: conn=2 30 bytes, invoke ID 0000 answers no request"));
    unexpected.invokeId.clear();
    unexpected.bytes = 5;
    QCOMPARE(strayLine(unexpected, QStringLiteral("h"), true),
             QStringLiteral("unexpected bytes from h: conn=2 5 bytes, too few for a reply's header"));
    // A host named with '%' signs is printed as given.
    QCOMPARE(outcomeLine(answered(1, 1, 1000), QStringLiteral("%2%1"), false, 1000),
             QStringLiteral("40 bytes from %2%1: seq=1 state=0000 code=0000 time=0.001 ms"));
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
    for (int i = 1; i <= 8; ++i)
        tally.addSent(1);
    for (int i = 1; i <= 5; ++i)
        tally.add(answered(1, quint64(i), qint64(i) * 1'000'000));
    tally.add(answered(1, 6, 2'000'000, kFaultCheckSum | kFaultInvokeId));
    tally.add(decided(1, 7, RequestOutcome::Verdict::Lost));
    tally.add(decided(1, 8, RequestOutcome::Verdict::Unanswered));
    StrayReply late;
    late.kind = StrayReply::Kind::Late;
    tally.add(late);

    const QStringList lines = summaryText(optionsOf(1), tally, kRunNs).split(u'\n');
    QCOMPARE(lines.value(0),
             QStringLiteral("--- 10.0.0.5 vexa-probe statistics (TCP port 2004, 1 connection) ---"));
    // Lost share of the seven whose fate is known; the interrupted one is neither.
    QCOMPARE(
        lines.value(1),
        QStringLiteral("8 sent, 6 received, 1 lost (14.29%), 1 failed checks, time 2.000 s, 4.0 requests/s"));
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
    for (int c = 1; c <= 2; ++c) {
        tally.addSent(c);
        tally.addSent(c);
    }
    tally.add(answered(1, 1, 1'000'000));
    tally.add(answered(1, 2, 1'000'000));
    tally.add(answered(2, 1, 3'000'000));
    tally.add(decided(2, 2, RequestOutcome::Verdict::Lost));
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
    tally.addSent(1);
    tally.add(decided(1, 1, RequestOutcome::Verdict::Lost));
    const QString text = summaryText(optionsOf(1), tally, kRunNs);
    QVERIFY(text.endsWith(QStringLiteral("\nround trip: no reply passed the checks\n")));
    QVERIFY(text.contains(QStringLiteral("1 sent, 0 received, 1 lost (100.00%)")));
}

void TestRunReport::exitStatus_data()
{
    QTest::addColumn<RunEnd::Kind>("kind");
    QTest::addColumn<QList<RequestOutcome>>("outcomes");
    QTest::addColumn<int>("unexpected"); // replies that answer no request
    QTest::addColumn<int>("status");

    const RequestOutcome ok = answered(1, 1, 1000);
    const RequestOutcome lost = decided(1, 2, RequestOutcome::Verdict::Lost);
    const RequestOutcome waiting = decided(1, 3, RequestOutcome::Verdict::Unanswered);
    using Kind = RunEnd::Kind;
    QTest::newRow("every request answered") << Kind::Completed << QList<RequestOutcome>{ok, ok} << 0 << 0;
    QTest::newRow("one lost") << Kind::Completed << QList<RequestOutcome>{ok, lost} << 0 << 1;
    QTest::newRow("one failed a check")
        << Kind::Completed << QList<RequestOutcome>{ok, answered(1, 2, 1000, kFaultCompanyId)} << 0 << 1;
    QTest::newRow("a reply that answers no request")
        << Kind::Completed << QList<RequestOutcome>{ok, ok} << 1 << 1;
    QTest::newRow("interrupted with one in flight")
        << Kind::Interrupted << QList<RequestOutcome>{ok, waiting} << 0 << 0;
    QTest::newRow("interrupted before any reply")
        << Kind::Interrupted << QList<RequestOutcome>{waiting} << 0 << 1;
    QTest::newRow("the connection ended") << Kind::ConnectionEnded << QList<RequestOutcome>{ok} << 0 << 1;
    QTest::newRow("an output file could not be written")
        << Kind::OutputFailed << QList<RequestOutcome>{ok} << 0 << 1;
    QTest::newRow("unreachable") << Kind::Unreachable << QList<RequestOutcome>{} << 0 << 3;
}

void TestRunReport::exitStatus()
{
    QFETCH(RunEnd::Kind, kind);
    QFETCH(QList<RequestOutcome>, outcomes);
    QFETCH(int, unexpected);
    RunTally tally(1);
    for (const RequestOutcome& o : outcomes) {
        tally.addSent(1);
        tally.add(o);
    }
    for (int i = 0; i < unexpected; ++i)
        tally.add(StrayReply{});
    QTEST(probeExitStatus({kind, {}}, tally.total()), "status");
}

QTEST_APPLESS_MAIN(TestRunReport)
#include "tst_run_report.moc"
