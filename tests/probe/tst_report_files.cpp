// SPDX-License-Identifier: GPL-3.0-or-later
// What the probe reports for scripts: the JSON summary, CSV rows as
// written, and a file that cannot take them reported as such.
#include "run_report.h"

#include "harness/exchange_script.h"
#include "report/exchange_csv.h"
#include "tally_script.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(Exchange)

namespace {

// Request 17 of connection 2; answered with a 40-byte reply whose state is
// 00A0 and Code/No 0001.
Exchange exchangeOf(Exchange::Outcome outcome, qint64 sentNs, qint64 roundTripNs = -1, unsigned faults = 0)
{
    Exchange e;
    e.connection = 2;
    e.sequence = 17;
    e.sentNs = sentNs;
    e.outcome = outcome;
    e.roundTripNs = roundTripNs;
    e.faults = faults;
    e.request = requestFrame(17) + QByteArray(10, '\x07');
    if (outcome == Exchange::Outcome::Answered) {
        e.reply = responseTo(e.request);
        e.reply[frame::kStateOffset + 1] = char(0xA0);
        e.reply[frame::kCodeOffset + 1] = char(0x01);
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

class TestReportFiles : public QObject {
    Q_OBJECT
private slots:
    void rows_data();
    void rows();
    void repliesBesideRequestsHaveNoRow();
    void fileHoldsEveryRow();
    void fullDiskIsAnError();
    void missingDirectory();
    void json();
};

void TestReportFiles::rows_data()
{
    QTest::addColumn<Exchange>("exchange");
    QTest::addColumn<qint64>("startUs");
    QTest::addColumn<QByteArray>("row");
    using V = Exchange::Outcome;
    QTest::newRow("answered") << exchangeOf(V::Answered, 1'500, 5'123'456) << qint64(1'700'000'000'123'456)
                              << QByteArray("17,2,1700000000.123457,5123,40,00A0,0001,ok\n");
    QTest::newRow("microseconds carry into the second")
        << exchangeOf(V::Answered, 2'000, 499) << qint64(1'700'000'000'999'999)
        << QByteArray("17,2,1700000001.000001,0,40,00A0,0001,ok\n");
    QTest::newRow("leading zeros of the microseconds kept")
        << exchangeOf(V::Answered, 0, 1'000) << qint64(1'700'000'000'000'042)
        << QByteArray("17,2,1700000000.000042,1,40,00A0,0001,ok\n");
    QTest::newRow("lost: no round trip, no reply fields")
        << exchangeOf(V::Lost, 0) << qint64(1'000'000) << QByteArray("17,2,1.000000,,0,,,lost\n");
    QTest::newRow("unanswered") << exchangeOf(V::Unanswered, 0) << qint64(1'000'000)
                                << QByteArray("17,2,1.000000,,0,,,unanswered\n");
    QTest::newRow("half a microsecond rounds up, in every output")
        << exchangeOf(V::Answered, 0, 5'123'500) << qint64(1'000'000)
        << QByteArray("17,2,1.000000,5124,40,00A0,0001,ok\n");
    QTest::newRow("just under half a microsecond rounds down")
        << exchangeOf(V::Answered, 0, 5'123'499) << qint64(1'000'000)
        << QByteArray("17,2,1.000000,5123,40,00A0,0001,ok\n");
    QTest::newRow("a round trip of over an hour")
        << exchangeOf(V::Answered, 0, 3'723'456'789'500) << qint64(1'000'000)
        << QByteArray("17,2,1.000000,3723456790,40,00A0,0001,ok\n");
    QTest::newRow("untimed: no round trip, the reply's fields kept")
        << exchangeOf(V::Answered, 0) << qint64(1'000'000) << QByteArray("17,2,1.000000,,40,00A0,0001,ok\n");
    QTest::newRow("failed checks named")
        << exchangeOf(V::Answered, 0, 2'000'000, 0x2 | 0x10) << qint64(1'000'000)
        << QByteArray("17,2,1.000000,2000,40,00A0,0001,malformed:checksum+invoke-id\n");
}

void TestReportFiles::rows()
{
    QFETCH(Exchange, exchange);
    QFETCH(qint64, startUs);
    const QByteArray row = exchange_csv::row(exchange, startUs);
    QTEST(row, "row");
    if (!exchange.answered() || exchange.faults || !exchange.timed())
        return;
    // The same round trip in the line and in the JSON, to the microsecond.
    const qint64 csvUs = row.split(',').at(3).toLongLong();
    const QString line = exchangeLine(exchange, QStringLiteral("h"), false, 1000);
    QString lineMs = line.section(QStringLiteral("time="), 1).section(u' ', 0, 0);
    QCOMPARE(lineMs.remove(u'.').toLongLong(), csvUs);
    RunTally tally(2);
    tally.record(exchange);
    const QJsonObject rtt = QJsonDocument::fromJson(summaryJson(optionsOf(2), tally, kRunNs, {}, 0))
                                .object()["round_trip_ms"]
                                .toObject();
    for (const char* key : {"min", "max"})
        QCOMPARE(qRound64(rtt[QLatin1String(key)].toDouble() * 1000), csvUs);
}

void TestReportFiles::repliesBesideRequestsHaveNoRow()
{
    for (const Exchange::Outcome outcome : {Exchange::Outcome::Late, Exchange::Outcome::Unexpected})
        QVERIFY(exchange_csv::row(exchangeOf(outcome, 0, 5'000), 0).isEmpty());
}

void TestReportFiles::fileHoldsEveryRow()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("run.csv");
    ExchangeCsvWriter csv;
    QVERIFY(csv.open(path));
    QByteArray expected = exchange_csv::kHeader;
    // Enough rows to pass the writer's own buffer several times.
    for (int i = 0; i < 5000; ++i) {
        Exchange e = exchangeOf(Exchange::Outcome::Answered, i * 1000, 1'000'000 + i);
        e.sequence = quint64(i + 1);
        QVERIFY(csv.write(e, 0));
        expected += exchange_csv::row(e, 0);
    }
    QVERIFY(csv.close());
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), expected);
}

void TestReportFiles::fullDiskIsAnError()
{
    if (!QFile::exists(QStringLiteral("/dev/full")))
        QSKIP("no /dev/full, a device that is always full");
    ExchangeCsvWriter csv;
    QVERIFY(csv.open(QStringLiteral("/dev/full")));
    const Exchange o = exchangeOf(Exchange::Outcome::Lost, 0);
    QVERIFY(csv.write(o, 0));
    QVERIFY(!csv.flush());
    QVERIFY(csv.failed());
    QVERIFY2(csv.errorString().contains(QStringLiteral("No space left on device")),
             qPrintable(csv.errorString()));
    QVERIFY(!csv.write(o, 0));
    QVERIFY(!csv.close());
}

void TestReportFiles::missingDirectory()
{
    ExchangeCsvWriter csv;
    QVERIFY(!csv.open(QStringLiteral("/nonexistent-directory-of-the-probe/run.csv")));
    QVERIFY(!csv.errorString().isEmpty());
}

void TestReportFiles::json()
{
    RunTally tally(2);
    feed(tally, "1:S1@0 1:R1@5 1:S2@10 1:R2!length@17 1:S3@20 1:G3:timeout@1020 2:S1@0 2:R1@6");
    ProbeOptions options = optionsOf(2);
    options.udp = true;
    const RunEnd end{RunEnd::Kind::ConnectionEnded, QStringLiteral("the module closed the connection")};

    const QByteArray bytes = summaryJson(options, tally, kRunNs, end, 1);
    QVERIFY(bytes.endsWith('\n'));
    QCOMPARE(bytes.count('\n'), 1);
    QJsonParseError error;
    const QJsonObject o = QJsonDocument::fromJson(bytes, &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(o["host"].toString(), QStringLiteral("10.0.0.5"));
    QCOMPARE(o["protocol"].toString(), QStringLiteral("udp"));
    QCOMPARE(o["port"].toInt(), 2005);
    QCOMPARE(o["ended"].toString(), QStringLiteral("connection-ended"));
    QCOMPARE(o["message"].toString(), QStringLiteral("the module closed the connection"));
    QCOMPARE(o["exit_status"].toInt(), 1);
    QCOMPARE(o["sent"].toInt(), 4);
    QCOMPARE(o["received"].toInt(), 3);
    QCOMPARE(o["lost"].toInt(), 1);
    QCOMPARE(o["lost_percent"].toDouble(), 25.0);
    QCOMPARE(o["failed"].toInt(), 1);
    QCOMPARE(o["failed_checks"].toObject()["length"].toInt(), 1);
    QCOMPARE(o["lost_by"].toObject()["timeout"].toInt(), 1);
    QCOMPARE(o["lost_by"].toObject()["session_ended"].toInt(), 0);
    QCOMPARE(o["duration_s"].toDouble(), 2.0);
    QCOMPARE(o["rate_per_s"].toDouble(), 2.0);
    const QJsonObject rtt = o["round_trip_ms"].toObject();
    QCOMPARE(rtt["count"].toInt(), 2);
    QCOMPARE(rtt["min"].toDouble(), 5.0);
    QCOMPARE(rtt["max"].toDouble(), 6.0);
    QCOMPARE(rtt["mean"].toDouble(), 5.5);
    QVERIFY(rtt.contains("p99_9") && rtt.contains("stddev") && rtt.contains("p90"));
    const QJsonArray perConnection = o["per_connection"].toArray();
    QCOMPARE(perConnection.size(), 2);
    QCOMPARE(perConnection[1].toObject()["connection"].toInt(), 2);
    QCOMPARE(perConnection[1].toObject()["sent"].toInt(), 1);
    QCOMPARE(perConnection[0].toObject()["lost"].toInt(), 1);

    // 990 replies of 1 ms, 9 of 2 ms and one of 50 ms: p99 1 ms, p99.9 2 ms.
    RunTally spread(1);
    QString script;
    for (int i = 1; i <= 1000; ++i)
        script += QStringLiteral("S%1@%2 R%1@%3 ")
                      .arg(i)
                      .arg(i * 100)
                      .arg(i * 100
                           + (i <= 990       ? 1
                                  : i < 1000 ? 2
                                             : 50));
    feed(spread, script);
    const QJsonObject tail = QJsonDocument::fromJson(summaryJson(optionsOf(1), spread, kRunNs, {}, 0))
                                 .object()["round_trip_ms"]
                                 .toObject();
    QVERIFY(std::abs(tail["p99"].toDouble() - 1.0) <= 0.001);
    QVERIFY2(std::abs(tail["p99_9"].toDouble() - 2.0) <= 0.001,
             qPrintable(QString::number(tail["p99_9"].toDouble())));
    QCOMPARE(tail["max"].toDouble(), 50.0);

    RunTally none(1);
    feed(none, "S1@0");
    const QJsonObject empty =
        QJsonDocument::fromJson(summaryJson(optionsOf(1), none, kRunNs, {}, 1)).object();
    QVERIFY(empty["round_trip_ms"].isNull());
}

QTEST_APPLESS_MAIN(TestReportFiles)
#include "tst_report_files.moc"
