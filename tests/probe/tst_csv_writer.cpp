// SPDX-License-Identifier: GPL-3.0-or-later
// CSV rows as written, and a file that cannot take them reported as such.
#include "csv_writer.h"

#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(RequestOutcome)

namespace {

RequestOutcome outcome(RequestOutcome::Verdict verdict, qint64 sentNs, qint64 roundTripNs = -1,
                       unsigned faults = 0)
{
    RequestOutcome o;
    o.connection = 2;
    o.sequence = 17;
    o.sentNs = sentNs;
    o.verdict = verdict;
    o.roundTripNs = roundTripNs;
    o.faults = faults;
    if (verdict == RequestOutcome::Verdict::Answered) {
        o.bytes = 40;
        o.state = QStringLiteral("00A0");
        o.code = QStringLiteral("0001");
    }
    return o;
}

} // namespace

class TestCsvWriter : public QObject {
    Q_OBJECT
private slots:
    void rows_data();
    void rows();
    void fileHoldsEveryRow();
    void fullDiskIsAnError();
    void missingDirectory();
};

void TestCsvWriter::rows_data()
{
    QTest::addColumn<RequestOutcome>("outcome");
    QTest::addColumn<qint64>("startUs");
    QTest::addColumn<QByteArray>("row");
    using V = RequestOutcome::Verdict;
    QTest::newRow("answered") << outcome(V::Answered, 1'500, 5'123'456) << qint64(1'700'000'000'123'456)
                              << QByteArray("17,2,1700000000.123457,5123,40,00A0,0001,ok\n");
    QTest::newRow("microseconds carry into the second")
        << outcome(V::Answered, 2'000, 499) << qint64(1'700'000'000'999'999)
        << QByteArray("17,2,1700000001.000001,0,40,00A0,0001,ok\n");
    QTest::newRow("leading zeros of the microseconds kept")
        << outcome(V::Answered, 0, 1'000) << qint64(1'700'000'000'000'042)
        << QByteArray("17,2,1700000000.000042,1,40,00A0,0001,ok\n");
    QTest::newRow("lost: no round trip, no reply fields")
        << outcome(V::Lost, 0) << qint64(1'000'000) << QByteArray("17,2,1.000000,,0,,,lost\n");
    QTest::newRow("unanswered") << outcome(V::Unanswered, 0) << qint64(1'000'000)
                                << QByteArray("17,2,1.000000,,0,,,unanswered\n");
    QTest::newRow("failed checks named")
        << outcome(V::Answered, 0, 2'000'000, 0x2 | 0x10) << qint64(1'000'000)
        << QByteArray("17,2,1.000000,2000,40,00A0,0001,malformed:checksum+invoke-id\n");
}

void TestCsvWriter::rows()
{
    QFETCH(RequestOutcome, outcome);
    QFETCH(qint64, startUs);
    QTEST(CsvWriter::row(outcome, startUs), "row");
}

void TestCsvWriter::fileHoldsEveryRow()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("run.csv");
    CsvWriter csv;
    QVERIFY(csv.open(path));
    QByteArray expected = CsvWriter::header();
    // Enough rows to pass the writer's own buffer several times.
    for (int i = 0; i < 5000; ++i) {
        RequestOutcome o = outcome(RequestOutcome::Verdict::Answered, i * 1000, 1'000'000 + i);
        o.sequence = quint64(i + 1);
        QVERIFY(csv.write(o, 0));
        expected += CsvWriter::row(o, 0);
    }
    QVERIFY(csv.close());
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), expected);
}

void TestCsvWriter::fullDiskIsAnError()
{
    CsvWriter csv;
    QVERIFY(csv.open(QStringLiteral("/dev/full")));
    const RequestOutcome o = outcome(RequestOutcome::Verdict::Lost, 0);
    QVERIFY(csv.write(o, 0));
    QVERIFY(!csv.flush());
    QVERIFY(csv.failed());
    QVERIFY2(csv.errorString().contains(QStringLiteral("No space left on device")),
             qPrintable(csv.errorString()));
    QVERIFY(!csv.write(o, 0));
    QVERIFY(!csv.close());
}

void TestCsvWriter::missingDirectory()
{
    CsvWriter csv;
    QVERIFY(!csv.open(QStringLiteral("/nonexistent-directory-of-the-probe/run.csv")));
    QVERIFY(!csv.errorString().isEmpty());
}

QTEST_APPLESS_MAIN(TestCsvWriter)
#include "tst_csv_writer.moc"
