// SPDX-License-Identifier: GPL-3.0-or-later
// The request tracker as one table: a session's events in, the exchanges it
// decides, its counts and its round trips out. The probe, the monitor and
// the window all count by it.
#include "harness/exchange_script.h"
#include "session/request_tracker.h"

#include <QtTest>

namespace {

// "2 lost timeout", "1 ok 5.000", "1 ok untimed", "0 unexpected",
// "3 failed checksum+invoke-id 2.000".
QString describe(const Exchange& e)
{
    QString text = QString::number(e.sequence) + u' ';
    switch (e.outcome) {
    case Exchange::Outcome::Answered:
        text += e.faults ? QStringLiteral("failed ") + faultWords(e.faults) : QStringLiteral("ok");
        break;
    case Exchange::Outcome::Lost:
        text += QStringLiteral("lost ") + QLatin1String(lostReasonWord(e.lostReason));
        break;
    case Exchange::Outcome::Unanswered:
        text += QStringLiteral("unanswered");
        break;
    case Exchange::Outcome::Late:
        text += QStringLiteral("late");
        break;
    case Exchange::Outcome::Unexpected:
        text += QStringLiteral("unexpected");
        break;
    }
    if (e.answered() || e.outcome == Exchange::Outcome::Late)
        text += e.timed() ? u' ' + QString::number(double(e.roundTripNs) / 1e6, 'f', 3)
                          : QStringLiteral(" untimed");
    return text;
}

// "sent 3 replies 1 lost 1 late 0 unexpected 0 failed 0 untimed 0 unanswered 0 waiting 1"
QString countsOf(const RequestTracker& t)
{
    const RequestTracker::Counts& c = t.counts();
    return QStringLiteral(
               "sent %1 replies %2 lost %3 late %4 unexpected %5 failed %6 untimed %7 unanswered %8 "
               "waiting %9")
        .arg(c.sent)
        .arg(c.replies)
        .arg(c.lost)
        .arg(c.late)
        .arg(c.unexpected)
        .arg(c.failed)
        .arg(c.untimed)
        .arg(c.unanswered)
        .arg(t.waiting());
}

} // namespace

class TestRequestTracker : public QObject {
    Q_OBJECT
private slots:
    void decides_data();
    void decides();
    void countsByKind_data();
    void countsByKind();
    void percentiles();
};

void TestRequestTracker::decides_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QStringList>("exchanges");
    QTest::addColumn<QString>("counts");

    QTest::newRow("a reply in time is timed from its request's send")
        << "S1@0 R1@5" << QStringList{"1 ok 5.000"}
        << "sent 1 replies 1 lost 0 late 0 unexpected 0 failed 0 untimed 0 unanswered 0 waiting 0";
    QTest::newRow("an untimed reply is a reply all the same")
        << "S1@0 R1~@5" << QStringList{"1 ok untimed"}
        << "sent 1 replies 1 lost 0 late 0 unexpected 0 failed 0 untimed 1 unanswered 0 waiting 0";
    QTest::newRow("half a reply decides nothing")
        << "S1@0 P1@3" << QStringList{}
        << "sent 1 replies 0 lost 0 late 0 unexpected 0 failed 0 untimed 0 unanswered 0 waiting 1";
    QTest::newRow("given up at its deadline, then its late reply: lost once, late apart")
        << "S1@0 G1:timeout@1000 L1@1500" << QStringList{"1 lost timeout", "1 late 1500.000"}
        << "sent 1 replies 0 lost 1 late 1 unexpected 0 failed 0 untimed 0 unanswered 0 waiting 0";
    QTest::newRow("a request given up twice is lost once")
        << "S1@0 G1:timeout@1000 G1:abandoned@1001" << QStringList{"1 lost timeout"}
        << "sent 1 replies 0 lost 1 late 0 unexpected 0 failed 0 untimed 0 unanswered 0 waiting 0";
    QTest::newRow("overtaken and superseded keep their reasons")
        << "S1@0 S2@1 G1:overtaken@3 R2@3 S3@4 G3:superseded@5"
        << QStringList{"1 lost overtaken", "2 ok 2.000", "3 lost superseded"}
        << "sent 3 replies 1 lost 2 late 0 unexpected 0 failed 0 untimed 0 unanswered 0 waiting 0";
    QTest::newRow("the session's end loses every request still waiting")
        << "S1@0 S2@1 R1@2 S3@3 E@4"
        << QStringList{"1 ok 2.000", "2 lost session-ended", "3 lost session-ended"}
        << "sent 3 replies 1 lost 2 late 0 unexpected 0 failed 0 untimed 0 unanswered 0 waiting 0";
    QTest::newRow("abandoned as the session closes is lost with it")
        << "S1@0 G1:abandoned@5" << QStringList{"1 lost session-ended"}
        << "sent 1 replies 0 lost 1 late 0 unexpected 0 failed 0 untimed 0 unanswered 0 waiting 0";
    QTest::newRow("a run cut short leaves its request unanswered, not lost")
        << "S1@0 R1@1 S2@2 C@3 E@4" << QStringList{"1 ok 1.000", "2 unanswered"}
        << "sent 2 replies 1 lost 0 late 0 unexpected 0 failed 0 untimed 0 unanswered 1 waiting 0";
    QTest::newRow("bytes that answer nothing are unexpected, whole or not")
        << "S1@0 X@1 x@2 R1@3" << QStringList{"0 unexpected", "0 unexpected", "1 ok 3.000"}
        << "sent 1 replies 1 lost 0 late 0 unexpected 2 failed 0 untimed 0 unanswered 0 waiting 0";
    QTest::newRow("a reply that fails a check is a reply, failed, and no round trip")
        << "S1@0 R1!checksum@2" << QStringList{"1 failed checksum 2.000"}
        << "sent 1 replies 1 lost 0 late 0 unexpected 0 failed 1 untimed 0 unanswered 0 waiting 0";
    QTest::newRow("a reply for a request the tracker never saw is no reply")
        << "R7@2" << QStringList{"7 late 2.000"}
        << "sent 0 replies 0 lost 0 late 1 unexpected 0 failed 0 untimed 0 unanswered 0 waiting 0";
    QTest::newRow("statistics reset: the request waiting stays counted sent")
        << "S1@0 R1@1 S2@2 Z@3 R2@4" << QStringList{"1 ok 1.000", "2 ok 2.000"}
        << "sent 1 replies 1 lost 0 late 0 unexpected 0 failed 0 untimed 0 unanswered 0 waiting 0";
    QTest::newRow("several waiting, answered out of order")
        << "S1@0 S2@1 S3@2 R3@5 R1@6 G2:timeout@1001"
        << QStringList{"3 ok 3.000", "1 ok 6.000", "2 lost timeout"}
        << "sent 3 replies 2 lost 1 late 0 unexpected 0 failed 0 untimed 0 unanswered 0 waiting 0";
}

void TestRequestTracker::decides()
{
    QFETCH(QString, script);
    RequestTracker tracker;
    QStringList exchanges;
    tracker.setSink([&](const Exchange& e) { exchanges << describe(e); });
    // Token by token: every request is sent, replied, lost, unanswered or
    // waiting at every moment.
    ExchangeScript feed(tracker);
    for (const QString& token : script.split(u' ')) {
        QString error;
        QVERIFY2(feed.run(token, &error), qPrintable(error));
        const RequestTracker::Counts& c = tracker.counts();
        QVERIFY2(c.sent == c.replies + c.lost + c.unanswered + tracker.waiting(), qPrintable(token));
    }
    QTEST(exchanges, "exchanges");
    QTEST(countsOf(tracker), "counts");
}

void TestRequestTracker::countsByKind_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QList<quint64>>("faults"); // short, checksum, length, company, invoke
    QTest::addColumn<QList<quint64>>("lostBy"); // timeout, overtaken, superseded, session-ended

    QTest::newRow("each failed check by its kind")
        << "S1@0 R1!checksum@1 S2@2 R2!length@3 S3@4 R3!company@5 S4@6 R4!invoke@7 S5@8 R5!short@9"
        << QList<quint64>{1, 1, 1, 1, 1} << QList<quint64>{0, 0, 0, 0};
    QTest::newRow("each reason a request was lost")
        << "S1@0 G1:timeout@1 S2@2 G2:overtaken@3 S3@4 G3:superseded@5 S4@6 E@7"
        << QList<quint64>{0, 0, 0, 0, 0} << QList<quint64>{1, 1, 1, 1};
}

void TestRequestTracker::countsByKind()
{
    QFETCH(QString, script);
    RequestTracker tracker;
    QVERIFY(ExchangeScript(tracker).run(script));
    const RequestTracker::Counts& c = tracker.counts();
    QTEST((QList<quint64>{c.faults.begin(), c.faults.end()}), "faults");
    QTEST((QList<quint64>{c.lostBy.begin(), c.lostBy.end()}), "lostBy");
}

void TestRequestTracker::percentiles()
{
    // 1..100 ms, one reply each, with a failed and an untimed reply beside
    // them that must stay out of the figures.
    RequestTracker tracker;
    QString script;
    for (int i = 1; i <= 100; ++i)
        script += QStringLiteral("S%1@%2 R%1@%3 ").arg(i).arg(i * 1000).arg(i * 1000 + i);
    script += QStringLiteral("S101@200000 R101!checksum@200900 S102@201000 R102~@201950");
    QVERIFY(ExchangeScript(tracker).run(script));
    const LatencyHistogram& rtt = tracker.roundTrip();
    QCOMPARE(rtt.count(), quint64(100));
    QCOMPARE(rtt.max(), qint64(100'000'000));
    for (const auto& [percent, ms] : {std::pair{50.0, 50.0}, {90.0, 90.0}, {99.0, 99.0}})
        QVERIFY2(std::abs(double(rtt.percentile(percent)) / 1e6 - ms) <= ms * 0.005,
                 qPrintable(QString::number(percent)));
    QCOMPARE(tracker.firstSentNs(), qint64(1'000'000'000));
    tracker.resetStatistics();
    QCOMPARE(tracker.roundTrip().count(), quint64(0));
    QCOMPARE(tracker.firstSentNs(), qint64(-1));
}

QTEST_APPLESS_MAIN(TestRequestTracker)
#include "tst_request_tracker.moc"
