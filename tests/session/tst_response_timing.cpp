// SPDX-License-Identifier: GPL-3.0-or-later
// Response timing: the wrap-safe elapsed time, the running extremes, and
// where a round trip starts.
#include "harness/engine_driver.h"
#include "harness/module_sim_process.h"
#include "harness/peer_address.h"
#include "net/client_socket.h"
#include "session/response_stats.h"
#include "session/tick_counter.h"

#include <QThread>
#include <QtTest>

#include <limits>

class TestResponseTiming : public QObject {
    Q_OBJECT
private slots:
    void elapsed_data();
    void elapsed();
    void extremes_data();
    void extremes();
    void counterRunsForward();
    void theSendIsInsideTheRoundTrip_data();
    void theSendIsInsideTheRoundTrip();
};

void TestResponseTiming::elapsed_data()
{
    constexpr qint32 kMax = std::numeric_limits<qint32>::max();
    constexpr qint32 kMin = std::numeric_limits<qint32>::min();
    QTest::addColumn<qint32>("since");
    QTest::addColumn<qint32>("now");
    QTest::addColumn<qint32>("elapsed");
    QTest::newRow("ordinary") << 1000 << 1012 << 12;
    QTest::newRow("same tick") << 5 << 5 << 0;
    QTest::newRow("across the signed boundary") << kMax - 2 << kMin + 3 << 6;
    QTest::newRow("across the unsigned wrap") << -4 << 3 << 7;
    QTest::newRow("nothing sent yet: the counter itself") << 0 << 123456 << 123456;
}

void TestResponseTiming::elapsed()
{
    QFETCH(qint32, since);
    QFETCH(qint32, now);
    QTEST(tick::elapsedMs(now, since), "elapsed");
}

void TestResponseTiming::extremes_data()
{
    QTest::addColumn<QList<qint32>>("times");
    QTest::addColumn<qint32>("min");
    QTest::addColumn<qint32>("max");
    QTest::newRow("first reply sets both") << QList<qint32>{7} << 7 << 7;
    QTest::newRow("first reply of 0 ms") << QList<qint32>{0} << 0 << 0;
    QTest::newRow("later replies widen the range") << QList<qint32>{7, 3, 9, 5} << 3 << 9;
    QTest::newRow("a negative time lowers the minimum") << QList<qint32>{4, -2} << -2 << 4;
}

void TestResponseTiming::extremes()
{
    QFETCH(QList<qint32>, times);
    ResponseStats stats;
    for (qint32 t : times)
        stats.record(t);
    QTEST(stats.MinTime, "min");
    QTEST(stats.MaxTime, "max");
}

void TestResponseTiming::counterRunsForward()
{
    const qint32 first = tick::GetTickCount();
    QTRY_VERIFY_WITH_TIMEOUT(tick::elapsedMs(tick::GetTickCount(), first) >= 2, 1000);
    QVERIFY(tick::elapsedMs(tick::GetTickCount(), first) < 1000);
}

void TestResponseTiming::theSendIsInsideTheRoundTrip_data()
{
    QTest::addColumn<ClientSocket::Protocol>("protocol");
    QTest::newRow("tcp") << ClientSocket::Protocol::Tcp;
    QTest::newRow("udp") << ClientSocket::Protocol::Udp;
}

// A thread preempted in the send, while the module already answers, must
// not time the reply from after the send: it would come out shorter than
// the module took. Here the "preemption" is a listener on the socket that
// holds the send for 30 ms; the simulator answers at once meanwhile.
void TestResponseTiming::theSendIsInsideTheRoundTrip()
{
    QFETCH(ClientSocket::Protocol, protocol);
    constexpr int kHeldMs = 30;
    const QString address = peerAddress(protocol, QStringLiteral("127.0.0.245"));
    ModuleSimProcess sim(address, {"--tcp-port", "0", "--udp-port", "0"});
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    EngineDriver driver(protocol);
    QVERIFY(driver.open(address, protocol == ClientSocket::Protocol::Tcp ? sim.tcpPort() : sim.udpPort()));
    driver.engine.setRequestTexts(
        {"KORV-TAMBE", "33", "0000", "5400", "0100", "1000", "0800255157302E302E30"});
    auto* socket = driver.engine.findChild<ClientSocket*>();
    QVERIFY(socket);
    QObject::connect(socket, &ClientSocket::sendComplete, socket, [] { QThread::msleep(kHeldMs); });
    QVERIFY(driver.engine.SendAndEcho());
    QTRY_COMPARE(driver.replies.size(), 1);
    const ArrivedReply& reply = driver.replies.constFirst();
    QVERIFY(reply.timed);
    QVERIFY2(reply.elapsedNs >= qint64(kHeldMs) * 1'000'000, qPrintable(QString::number(reply.elapsedNs)));
    QVERIFY(reply.elapsed >= kHeldMs - 1);
}

QTEST_GUILESS_MAIN(TestResponseTiming)
#include "tst_response_timing.moc"
