// SPDX-License-Identifier: GPL-3.0-or-later
// The choice between busy polling and sleeping, from the cycle lengths each
// gives in its trial.
#include "session/busy_poll_tuner.h"

#include <QtTest>

namespace {

constexpr int kTrial = 4;
constexpr int kKept = 3;

// Feeds `replies` replies `cycleNs` apart, continuing from `nowNs`.
void feed(BusyPollTuner& tuner, qint64& nowNs, int replies, qint64 cycleNs)
{
    for (int i = 0; i < replies; ++i) {
        nowNs += cycleNs;
        tuner.replied(nowNs);
    }
}

} // namespace

class TestBusyPollTuner : public QObject {
    Q_OBJECT
private slots:
    void keepsTheFasterWay_data();
    void keepsTheFasterWay();
};

void TestBusyPollTuner::keepsTheFasterWay_data()
{
    QTest::addColumn<qint64>("busyCycleNs");
    QTest::addColumn<qint64>("sleepCycleNs");
    QTest::addColumn<bool>("busyPolls");
    QTest::newRow("busy polling clearly faster (idle machine)") << qint64(20'000) << qint64(30'000) << true;
    QTest::newRow("sleeping faster (no processor to spare)") << qint64(40'000) << qint64(30'000) << false;
    QTest::newRow("a tie: sleep, busy polling costs a processor")
        << qint64(29'000) << qint64(30'000) << false;
    QTest::newRow("a module slower than the busy poll") << qint64(1'000'000) << qint64(1'000'000) << false;
}

void TestBusyPollTuner::keepsTheFasterWay()
{
    QFETCH(qint64, busyCycleNs);
    QFETCH(qint64, sleepCycleNs);
    QFETCH(bool, busyPolls);
    BusyPollTuner tuner(kTrial, kKept);
    qint64 now = 0;
    // The run starts busy polling; the first reply only starts the clock.
    QVERIFY(tuner.busyPolling());
    feed(tuner, now, 1 + kTrial, busyCycleNs);
    QVERIFY(!tuner.busyPolling());
    feed(tuner, now, kTrial, sleepCycleNs);
    QCOMPARE(tuner.busyPolling(), busyPolls);
    // The choice holds for its time, whatever the cycles do meanwhile...
    feed(tuner, now, kTrial * kKept - 1, busyPolls ? sleepCycleNs / 2 : busyCycleNs / 2);
    QCOMPARE(tuner.busyPolling(), busyPolls);
    // ...and then both are tried again, as the machine may have changed.
    feed(tuner, now, 1, busyCycleNs);
    QVERIFY(tuner.busyPolling());
    feed(tuner, now, kTrial, sleepCycleNs * 2);
    feed(tuner, now, kTrial, sleepCycleNs);
    QVERIFY(!tuner.busyPolling());
}

QTEST_APPLESS_MAIN(TestBusyPollTuner)
#include "tst_busy_poll_tuner.moc"
