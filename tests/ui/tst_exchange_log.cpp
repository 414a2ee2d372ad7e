// SPDX-License-Identifier: GPL-3.0-or-later
// The exchange log as a user reads it: exchanges in, cell texts out; the
// ring's bound and the count of what it dropped; batches rather than a view
// update per exchange; the detail view's fields; the table following the
// newest row; and the log written as CSV.
#include "codec/frame_layout.h"
#include "codec/reply_check.h"
#include "codec/request_encoder.h"
#include "report/exchange_csv.h"
#include "session/session_engine.h"
#include "ui/exchange_detail.h"
#include "ui/exchange_log_export.h"
#include "ui/exchange_log_model.h"
#include "ui/exchange_log_pane.h"
#include "ui/window_tracker.h"

#include <QLabel>
#include <QScrollBar>
#include <QTableView>
#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr qint64 kUs = 1000;
constexpr qint64 kMs = 1000 * kUs;

// The window's default request as it goes out (38 bytes), and the module's
// good reply to it (40 bytes).
QByteArray request()
{
    return QByteArray::fromHex("4B4F52562D54414D4245000000330000120000"
                               "1D"
                               "540001000000100008002551573"
                               "02E302E30");
}

QByteArray reply(int invokeId = 0)
{
    QByteArray r = QByteArray::fromHex("4B4F52562D54414D4245000000B00000140000"
                                       "00"
                                       "5400010000000000000008002551573"
                                       "02E302E30");
    r[frame::kInvokeIdOffset] = char(invokeId >> 8);
    r[frame::kInvokeIdOffset + 1] = char(invokeId);
    r[frame::kCheckSumOffset] = char(ByteSum(r, frame::kCheckSumFirst, frame::kCheckSumLast));
    return r;
}

Exchange answered(quint64 sequence, qint64 roundTripNs = 250 * kUs)
{
    Exchange e;
    e.sequence = sequence;
    e.sentNs = qint64(sequence) * kMs;
    e.decidedNs = e.sentNs + roundTripNs;
    e.outcome = Exchange::Outcome::Answered;
    e.roundTripNs = roundTripNs;
    e.request = request();
    e.reply = reply();
    return e;
}

QStringList rowTexts(const ExchangeLogModel& model, int row)
{
    QStringList texts;
    for (int column = 0; column < model.columnCount(); ++column)
        texts << model.data(model.index(row, column)).toString();
    return texts;
}

QStringList sequences(const ExchangeLogModel& model)
{
    QStringList shown;
    for (int row = 0; row < model.rowCount(); ++row)
        shown << model.data(model.index(row, ExchangeLogModel::Sequence)).toString();
    return shown;
}

} // namespace

class TestExchangeLog : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cells_data();
    void cells();
    void localTime();
    void ringBound_data();
    void ringBound();
    void droppedCountShown();
    void batches();
    void detail_data();
    void detail();
    void followsNewest();
    void exportedRows();
};

void TestExchangeLog::initTestCase()
{
    // Local times are compared as UTC.
    qputenv("TZ", "UTC");
}

void TestExchangeLog::cells_data()
{
    QTest::addColumn<Exchange>("exchange");
    QTest::addColumn<QString>("shown"); // every cell but the time, joined by '|'
    QTest::addColumn<bool>("marked"); // drawn in a colour of its own

    Exchange e = answered(7, 1'234'567);
    e.invokeId = 0x1A2B;
    QTest::newRow("answered in time: round trip to the microsecond")
        << e << "7|1A2B|ok|1.235 ms|38|40" << false;
    QTest::newRow("a fast reply keeps its leading zero")
        << answered(8, 81 * kUs) << "8|0000|ok|0.081 ms|38|40" << false;
    QTest::newRow("a slow reply in milliseconds, not seconds")
        << answered(9, 2'000'000'600) << "9|0000|ok|2000.001 ms|38|40" << false;
    e = answered(10, -1);
    QTest::newRow("answered but another request could have drawn it")
        << e << "10|0000|ok, untimed||38|40" << false;
    e = answered(11);
    e.faults = kFaultCheckSum;
    QTest::newRow("checksum wrong") << e << "11|0000|failed: checksum|0.250 ms|38|40" << true;
    e.faults = kFaultCheckSum | kFaultInvokeId;
    QTest::newRow("two checks failed, named in words")
        << e << "11|0000|failed: checksum, invoke ID|0.250 ms|38|40" << true;
    e.faults = kFaultShort;
    e.reply = reply().left(24);
    QTest::newRow("a short reply") << e << "11|0000|failed: short|0.250 ms|38|24" << true;

    Exchange lost;
    lost.sequence = 12;
    lost.invokeId = 0x000C;
    lost.outcome = Exchange::Outcome::Lost;
    lost.request = request();
    QTest::newRow("lost at the timeout") << lost << "12|000C|lost: timeout||38|" << true;
    lost.arrivedBytes = 12;
    lost.expectedBytes = 40;
    QTest::newRow("lost with part of its reply in") << lost << "12|000C|lost: timeout||38|12 of 40" << true;
    lost.arrivedBytes = 0;
    lost.lostReason = Exchange::LostReason::Overtaken;
    QTest::newRow("overtaken by a later reply") << lost << "12|000C|lost: overtaken||38|" << true;
    lost.lostReason = Exchange::LostReason::Superseded;
    QTest::newRow("superseded") << lost << "12|000C|lost: superseded||38|" << true;
    lost.lostReason = Exchange::LostReason::SessionEnded;
    QTest::newRow("the session ended first") << lost << "12|000C|lost: session ended||38|" << true;

    Exchange late;
    late.sequence = 12;
    late.invokeId = 0x000C;
    late.outcome = Exchange::Outcome::Late;
    late.roundTripNs = 1500 * kMs;
    late.reply = reply(12);
    QTest::newRow("late: the reply has a row of its own") << late << "12|000C|late|1500.000 ms||40" << true;
    Exchange unexpected;
    unexpected.outcome = Exchange::Outcome::Unexpected;
    unexpected.invokeId = 0xBEEF;
    unexpected.reply = reply(0xBEEF);
    QTest::newRow("unexpected bytes: no sequence, their own invoke ID")
        << unexpected << "|BEEF|unexpected|||40" << true;
    unexpected.hasInvokeId = false;
    unexpected.reply = QByteArray("\x4B\x4F", 2);
    QTest::newRow("unexpected bytes too short for an invoke ID") << unexpected << "||unexpected|||2" << true;
}

void TestExchangeLog::cells()
{
    QFETCH(Exchange, exchange);
    QFETCH(QString, shown);
    QFETCH(bool, marked);
    ExchangeLogModel model;
    model.append(exchange);
    model.flush();
    QCOMPARE(model.rowCount(), 1);
    QStringList texts = rowTexts(model, 0);
    texts.removeAt(ExchangeLogModel::Time);
    QCOMPARE(texts.join(u'|'), shown);
    const QVariant colour = model.data(model.index(0, ExchangeLogModel::Outcome), Qt::ForegroundRole);
    QCOMPARE(colour.isValid(), marked);
    if (marked) {
        // Readable on the view's white: a dark colour, not a pale one.
        QVERIFY(colour.value<QBrush>().color().lightness() < 128);
    }
}

void TestExchangeLog::localTime()
{
    ExchangeLogModel model;
    // 2024-03-05 10:11:12.345678 UTC.
    model.setEpochUsAtZero(1709633472345678);
    Exchange e = answered(1);
    e.sentNs = 1'654'321'999; // 1.654321999 s after the clock's zero
    model.append(e);
    model.flush();
    QCOMPARE(model.data(model.index(0, ExchangeLogModel::Time)).toString(), QStringLiteral("10:11:13.999"));
}

void TestExchangeLog::ringBound_data()
{
    QTest::addColumn<QList<int>>("batches"); // exchanges appended before each flush
    QTest::addColumn<QString>("kept"); // sequences shown, oldest first
    QTest::addColumn<int>("dropped");

    QTest::newRow("fewer than the bound") << QList<int>{3} << "1 2 3" << 0;
    QTest::newRow("exactly the bound") << QList<int>{5} << "1 2 3 4 5" << 0;
    QTest::newRow("one over in one batch") << QList<int>{6} << "2 3 4 5 6" << 1;
    QTest::newRow("a batch larger than the bound") << QList<int>{12} << "8 9 10 11 12" << 7;
    QTest::newRow("over in several batches") << QList<int>{4, 4, 4} << "8 9 10 11 12" << 7;
    QTest::newRow("wrapped many times, one at a time")
        << QList<int>{1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1} << "9 10 11 12 13" << 8;
}

void TestExchangeLog::ringBound()
{
    QFETCH(QList<int>, batches);
    QFETCH(QString, kept);
    QFETCH(int, dropped);
    ExchangeLogModel model(5);
    QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
    quint64 sequence = 0;
    int shown = 0;
    for (int n : batches) {
        for (int i = 0; i < n; ++i)
            model.append(answered(++sequence));
        model.flush();
        shown = std::min(5, shown + n);
        QCOMPARE(model.rowCount(), shown);
    }
    QCOMPARE(sequences(model).join(u' '), kept);
    QCOMPARE(model.dropped(), quint64(dropped));
    // A view is told of every row that left, or its rows would show the
    // wrong exchanges.
    int told = 0;
    for (const QList<QVariant>& args : std::as_const(removed))
        told += args.at(2).toInt() - args.at(1).toInt() + 1;
    QCOMPARE(told, dropped);
}

// The count of dropped exchanges, as the pane says it.
void TestExchangeLog::droppedCountShown()
{
    SessionEngine engine;
    WindowTracker tracker(&engine);
    ExchangeLogModel model(10);
    ExchangeLogPane pane(&model, &tracker);
    pane.show();
    auto* dropped = pane.findChild<QLabel*>(QStringLiteral("lblExchangesDropped"));
    QVERIFY(dropped);
    QVERIFY(!dropped->isVisible());
    for (quint64 s = 1; s <= 11; ++s)
        model.append(answered(s));
    model.flush();
    QCOMPARE(dropped->text(), QStringLiteral("1 older exchange dropped"));
    QVERIFY(dropped->isVisible());
    for (quint64 s = 12; s <= 1244; ++s)
        model.append(answered(s));
    model.flush();
    QCOMPARE(dropped->text(), QStringLiteral("1,234 older exchanges dropped"));
}

// Thousands of exchanges reach the view as one batch, a moment later, not
// one update each.
void TestExchangeLog::batches()
{
    ExchangeLogModel model;
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    QSignalSpy shown(&model, &ExchangeLogModel::batchShown);
    for (quint64 s = 1; s <= 5000; ++s)
        model.append(answered(s));
    QCOMPARE(model.rowCount(), 0);
    QVERIFY(shown.wait(1000));
    QCOMPARE(model.rowCount(), 5000);
    QCOMPARE(inserted.count(), 1);
    QCOMPARE(inserted.at(0).at(1).toInt(), 0);
    QCOMPARE(inserted.at(0).at(2).toInt(), 4999);
    // Later ones follow in a batch of their own, after the rows before.
    model.append(answered(5001));
    QVERIFY(shown.wait(1000));
    QCOMPARE(model.rowCount(), 5001);
    QCOMPARE(sequences(model).constLast(), QStringLiteral("5001"));
    // Nothing pending: the timer does not keep the view busy.
    QVERIFY(!shown.wait(3 * ExchangeLogModel::kBatchIntervalMs));
}

void TestExchangeLog::detail_data()
{
    QTest::addColumn<Exchange>("exchange");
    QTest::addColumn<QString>("text");

    QTest::newRow("answered: both frames, every field and byte")
        << answered(1)
        << "Request, 38 bytes\n"
           "  company ID 4B 4F 52 56 2D 54 41 4D 42 45  \"KORV-TAMBE\"\n"
           "  reserved   00 00 00\n"
           "  source     33\n"
           "  invoke ID  00 00\n"
           "  length     12 00\n"
           "  reserved   00\n"
           "  checksum   1D\n"
           "  command    54 00\n"
           "  data type  01 00\n"
           "  reserved   00 00\n"
           "  var no     10 00\n"
           "  data       08 00 25 51 57 30 2E 30 2E 30\n"
           "Reply, 40 bytes\n"
           "  company ID 4B 4F 52 56 2D 54 41 4D 42 45  \"KORV-TAMBE\"\n"
           "  reserved   00 00 00\n"
           "  source     B0\n"
           "  invoke ID  00 00\n"
           "  length     14 00\n"
           "  reserved   00\n"
           "  checksum   9C\n"
           "  command    54 00\n"
           "  data type  01 00\n"
           "  reserved   00 00\n"
           "  state      00 00\n"
           "  code       00 00\n"
           "  data       08 00 25 51 57 30 2E 30 2E 30";

    Exchange bad = answered(2);
    bad.reply[frame::kCheckSumOffset] = char(0x9D);
    bad.faults = checkReply(bad.request, bad.reply);
    QString text = exchangeDetailText(answered(2));
    text.replace(QStringLiteral("checksum   9C"), QStringLiteral("checksum   9D"));
    QTest::newRow("failed: the checks described")
        << bad << text + "\n\nFailed checks:\n  header checksum 9D, the header sums to 9C";

    Exchange cut = answered(3);
    cut.reply = reply().left(21);
    cut.faults = checkReply(cut.request, cut.reply);
    QTest::newRow("a reply cut short inside a field") << cut
                                                      << exchangeDetailText(answered(3)).section(u'\n', 0, 12)
            + "\n"
              "Reply, 21 bytes\n"
              "  company ID 4B 4F 52 56 2D 54 41 4D 42 45  \"KORV-TAMBE\"\n"
              "  reserved   00 00 00\n"
              "  source     B0\n"
              "  invoke ID  00 00\n"
              "  length     14 00\n"
              "  reserved   00\n"
              "  checksum   9C\n"
              "  command    54  (cut short)\n"
              "  data type  (missing)\n"
              "  reserved   (missing)\n"
              "  state      (missing)\n"
              "  code       (missing)\n\n"
              "Failed checks:\n  only 21 bytes, a response has at least 30\n"
              "  length field 20, 1 body bytes came";

    Exchange lost;
    lost.sequence = 4;
    lost.outcome = Exchange::Outcome::Lost;
    lost.request = request();
    lost.arrivedBytes = 12;
    lost.expectedBytes = 40;
    QTest::newRow("lost with part of its reply in") << lost
                                                    << exchangeDetailText(answered(4)).section(u'\n', 0, 12)
            + "\n"
              "Reply: 12 bytes of 40 had come when it was given up";
    lost.arrivedBytes = 0;
    lost.expectedBytes = -1;
    QTest::newRow("lost without a byte of reply")
        << lost << exchangeDetailText(answered(4)).section(u'\n', 0, 12) + "\nNo reply";
}

void TestExchangeLog::detail()
{
    QFETCH(Exchange, exchange);
    QFETCH(QString, text);
    // Line by line, so that a failure names the line.
    QCOMPARE(exchangeDetailText(exchange).split(u'\n'), text.split(u'\n'));
}

// At the newest row the table stays with the newest; scrolled up, it stays
// where the user put it.
void TestExchangeLog::followsNewest()
{
    SessionEngine engine;
    WindowTracker tracker(&engine);
    ExchangeLogModel model;
    ExchangeLogPane pane(&model, &tracker);
    pane.resize(ExchangeLogPane::kWidth, 480);
    pane.show();
    QVERIFY(QTest::qWaitForWindowExposed(&pane));
    auto* table = pane.findChild<QTableView*>(QStringLiteral("tblExchangeLog"));
    QVERIFY(table);
    const auto visibleRows = [table] {
        const int top = table->rowAt(0);
        const int bottom = table->rowAt(table->viewport()->height() - 1);
        return std::pair{top, bottom < 0 ? table->model()->rowCount() - 1 : bottom};
    };
    quint64 sequence = 0;
    for (int i = 0; i < 200; ++i)
        model.append(answered(++sequence));
    model.flush();
    QTRY_COMPARE(visibleRows().second, 199);
    for (int i = 0; i < 200; ++i)
        model.append(answered(++sequence));
    model.flush();
    QTRY_COMPARE(visibleRows().second, 399);

    table->verticalScrollBar()->setValue(10);
    const int top = visibleRows().first;
    for (int i = 0; i < 200; ++i)
        model.append(answered(++sequence));
    model.flush();
    QCOMPARE(model.rowCount(), 600);
    QCOMPARE(visibleRows().first, top);
}

// The log's requests as the probe's CSV; the bytes beside them have no row.
void TestExchangeLog::exportedRows()
{
    ExchangeLogModel model;
    model.setEpochUsAtZero(1709633472000000);
    model.append(answered(1, 1'234'567));
    Exchange late;
    late.sequence = 1;
    late.outcome = Exchange::Outcome::Late;
    late.reply = reply();
    model.append(late);
    Exchange lost;
    lost.sequence = 2;
    lost.sentNs = 2 * kMs;
    lost.outcome = Exchange::Outcome::Lost;
    lost.request = request();
    model.append(lost);
    model.flush();
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log.csv"));
    QCOMPARE(exportExchangeLog(model, path), std::nullopt);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(),
             QByteArray(exchange_csv::kHeader)
                 + "1,1,1709633472.001000,1235,40,0000,0000,ok\n"
                   "2,1,1709633472.002000,,0,,,lost\n");
}

QTEST_MAIN(TestExchangeLog)
#include "tst_exchange_log.moc"
