// SPDX-License-Identifier: GPL-3.0-or-later
// The window with its exchange log against the simulator: the counts line
// and the log's rows say what the simulator did to each request; the log
// shown and hidden with Ctrl+L, the form where it was, remembered; the
// statistics reset; the log exported as the probe's CSV, or refused.
#include "harness/full_disk.h"
#include "harness/message_box_catcher.h"
#include "harness/module_sim_process.h"
#include "harness/private_settings.h"

#include "report/exchange_csv.h"
#include "report/svg_page.h"
#include "session/session_engine.h"
#include "ui/form_main.h"
#include "ui/main_window.h"

#include <QAction>
#include <QDateTime>
#include <QFileDialog>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableView>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

template <typename T> T* control(const QWidget& window, const char* name)
{
    T* found = window.findChild<T*>(QString::fromLatin1(name));
    Q_ASSERT_X(found, "control", name);
    return found;
}

QString number(quint64 n)
{
    return QLocale(QLocale::English, QLocale::UnitedStates).toString(qulonglong(n));
}

// The window of a test: quitting recorded instead of done, requests sent
// counted from its session's own events.
struct Window {
    explicit Window(const QString& address)
    {
        form = window.findChild<FormMain*>();
        form->setEndProgramAction([this] { ++ended; });
        control<QLineEdit>(window, "txtIpAdd")->setText(address);
        QObject::connect(form->sessionEngine(), &SessionEngine::requestSent, [this] { ++sent; });
        window.show();
        // Shortcuts go to the active window.
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
    }
    void click(const char* button)
    {
        QTest::mouseClick(control<QAbstractButton>(window, button), Qt::LeftButton);
    }
    void press(QKeySequence keys) { QTest::keySequence(&window, keys); }
    QWidget* pane() const { return control<QWidget>(window, "paneExchangeLog"); }
    QTableView* table() const { return control<QTableView>(window, "tblExchangeLog"); }
    QString counts() const { return control<QLabel>(window, "lblExchangeCounts")->text(); }
    QString cell(int row, int column) const
    {
        const QAbstractItemModel* model = table()->model();
        return model->data(model->index(row, column)).toString();
    }
    int rows() const { return table()->model()->rowCount(); }

    // Continuous mode until `n` requests went, then Stop, then every one of
    // them in the log.
    bool run(int n)
    {
        click("cmdCont");
        if (!QTest::qWaitFor([this, n] { return sent >= n || ended > 0; }, 60000))
            return false;
        click("cmdCont");
        return QTest::qWaitFor([this] { return rows() == sent; }, 10000) && ended == 0;
    }

    MainWindow window;
    FormMain* form = nullptr;
    int sent = 0;
    int ended = 0;
};

enum class Fault { None, DropEveryThird, BadChecksum };

QByteArray contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Column numbers as the log shows them, left to right.
enum { Sequence, Time, InvokeId, Outcome, RoundTrip, RequestBytes, ReplyBytes };

} // namespace

Q_DECLARE_METATYPE(Fault)

class TestWorkbenchWindow : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void faultyModule_data();
    void faultyModule();
    void paneBesideTheForm();
    void resetStatistics();
    void exportThroughTheDialog();
    void exportRefused_data();
    void exportRefused();
    void chartExported();
    void exportMatchesTheProbe_data();
    void exportMatchesTheProbe();

private:
    std::unique_ptr<PrivateSettings> m_settings;
    QTemporaryDir m_files;
};

void TestWorkbenchWindow::initTestCase()
{
    m_settings = std::make_unique<PrivateSettings>(QStringLiteral("tst_workbench_window"));
    QVERIFY(m_settings->isValid());
    QVERIFY(m_files.isValid());
}

void TestWorkbenchWindow::init()
{
    QSettings().clear();
}

void TestWorkbenchWindow::faultyModule_data()
{
    QTest::addColumn<bool>("udp");
    QTest::addColumn<QString>("address");
    QTest::addColumn<Fault>("fault");

    QTest::newRow("tcp, every third reply dropped: lost at the timeout")
        << false << "127.0.7.1" << Fault::DropEveryThird;
    QTest::newRow("udp, every third reply dropped: lost at the timeout")
        << true << "127.0.7.2" << Fault::DropEveryThird;
    QTest::newRow("tcp, every checksum wrong: every reply failed")
        << false << "127.0.7.3" << Fault::BadChecksum;
    QTest::newRow("udp, every checksum wrong: every reply failed")
        << true << "127.0.7.4" << Fault::BadChecksum;
}

// A few hundred exchanges in continuous mode, then what the pane says of
// them against what the simulator did.
void TestWorkbenchWindow::faultyModule()
{
    QFETCH(bool, udp);
    QFETCH(QString, address);
    QFETCH(Fault, fault);
    constexpr int kRequests = 300;
    // Short, so that the dropped ones cost the run little; numbered invoke
    // IDs, so that the chain need not wait out a late reply that never comes.
    constexpr int kTimeoutMs = 40;
    ModuleSimProcess sim(address,
                         fault == Fault::DropEveryThird ? QStringList{"--drop-every", "3"}
                                                        : QStringList{"--bad-checksum"});
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    Window w(address);
    MessageBoxCatcher boxes;
    w.window.setReplyTimeoutMs(kTimeoutMs);
    control<QAction>(w.window, "actionNumberInvokeIds")->trigger();
    w.press(QKeySequence(Qt::CTRL | Qt::Key_L));
    QTRY_VERIFY(w.pane()->isVisible());
    if (udp)
        w.click("optUDP");
    w.click("cmdConnect");
    QTRY_VERIFY(control<QPushButton>(w.window, "cmdCont")->isEnabled());
    QVERIFY2(w.run(kRequests), qPrintable(QStringLiteral("%1 sent, %2 rows").arg(w.sent).arg(w.rows())));

    const quint64 n = quint64(w.sent);
    const quint64 lost = fault == Fault::DropEveryThird ? n / 3 : 0;
    const QString sep = QStringLiteral(" \u00B7 ");
    QString expected = QStringLiteral("Sent %1").arg(number(n)) + sep
        + QStringLiteral("Replies %1").arg(number(n - lost)) + sep
        + QStringLiteral("Lost %1").arg(number(lost));
    if (lost)
        expected += QStringLiteral(" (timeout %1)").arg(number(lost));
    expected += sep + QStringLiteral("Late 0") + sep + QStringLiteral("Unexpected 0") + sep;
    expected += fault == Fault::BadChecksum ? QStringLiteral("Failed checks %1 (checksum %1)").arg(number(n))
                                            : QStringLiteral("Failed checks 0");
    // The counts line catches up with the last batch.
    QTRY_COMPARE(w.counts().section(u'\n', 0, 0), expected);
    const QString times = w.counts().section(u'\n', 1);
    if (fault == Fault::BadChecksum) {
        QVERIFY2(times.startsWith(QStringLiteral("Round trip: no reply passed the checks yet")),
                 qPrintable(times));
    } else {
        static const QRegularExpression figures(
            QStringLiteral("^Round trip p50 \\d+\\.\\d{3} ms \u00B7 p90 \\d+\\.\\d{3} ms \u00B7 "
                           "p99 \\d+\\.\\d{3} ms \u00B7 max \\d+\\.\\d{3} ms"));
        QVERIFY2(figures.match(times).hasMatch(), qPrintable(times));
    }
    static const QRegularExpression rate(QStringLiteral(" \u00B7 [\\d,]+ requests/s$"));
    QVERIFY2(rate.match(times).hasMatch(), qPrintable(times));
    // The chart marks every lost request of the run, which lies within its
    // minute: its legend, read from an SVG of it, counts them.
    if (svgPagesBuilt()) {
        const QString chart = m_files.filePath(QStringLiteral("chart-%1.svg").arg(address));
        QVERIFY(w.window.exportChart(chart));
        const QByteArray svg = contents(chart);
        QVERIFY2(svg.contains(QStringLiteral("lost (%1)").arg(lost).toUtf8()) == (lost > 0),
                 svg.right(2000).constData());
    }

    static const QRegularExpression millis(QStringLiteral("^\\d+\\.\\d{3} ms$"));
    static const QRegularExpression clock(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3}$"));
    QCOMPARE(quint64(w.rows()), n);
    for (int row = 0; row < w.rows(); ++row) {
        const quint64 sequence = quint64(row) + 1;
        const bool dropped = fault == Fault::DropEveryThird && sequence % 3 == 0;
        const QString where = QStringLiteral("row %1: %2").arg(row).arg(w.cell(row, Outcome));
        QCOMPARE(w.cell(row, Sequence), QString::number(sequence));
        QVERIFY2(clock.match(w.cell(row, Time)).hasMatch(), qPrintable(where));
        QCOMPARE(w.cell(row, InvokeId),
                 QStringLiteral("%1").arg(sequence, 4, 16, QLatin1Char('0')).toUpper());
        QCOMPARE(w.cell(row, Outcome),
                 dropped                           ? QStringLiteral("lost: timeout")
                     : fault == Fault::BadChecksum ? QStringLiteral("failed: checksum")
                                                   : QStringLiteral("ok"));
        QVERIFY2(dropped ? w.cell(row, RoundTrip).isEmpty() : millis.match(w.cell(row, RoundTrip)).hasMatch(),
                 qPrintable(where + u' ' + w.cell(row, RoundTrip)));
        QCOMPARE(w.cell(row, RequestBytes), QStringLiteral("38"));
        QCOMPARE(w.cell(row, ReplyBytes), dropped ? QString() : QStringLiteral("40"));
    }

    // The newest row in sight; picked, its frames field by field, and the
    // form's boxes still show the reply as it came.
    QTableView* table = w.table();
    QTRY_COMPARE(table->rowAt(table->viewport()->height() - 1) < 0
                     ? w.rows() - 1
                     : table->rowAt(table->viewport()->height() - 1),
                 w.rows() - 1);
    int last = w.rows() - 1;
    while (w.cell(last, ReplyBytes).isEmpty())
        --last;
    table->selectRow(last);
    const QString detail = control<QPlainTextEdit>(w.window, "txtExchangeDetail")->toPlainText();
    const QString checksum = control<QLineEdit>(w.window, "txtResCheckSum")->text();
    QVERIFY2(detail.contains(QStringLiteral("Reply, 40 bytes\n")), qPrintable(detail));
    QVERIFY2(detail.contains(QStringLiteral("  checksum   ") + checksum + u'\n'), qPrintable(detail));
    if (fault == Fault::BadChecksum) {
        QVERIFY2(
            detail.contains(
                QStringLiteral("Failed checks:\n  header checksum %1, the header sums to ").arg(checksum)),
            qPrintable(detail));
    } else {
        QVERIFY2(!detail.contains(QStringLiteral("Failed checks")), qPrintable(detail));
    }
    QCOMPARE(boxes.count(), 0);
    QCOMPARE(w.ended, 0);
}

// Ctrl+L shows the log beside the form: the window wider by it, the form
// where it was and as large; again, and the window is as it was. The
// choice holds for the next run.
void TestWorkbenchWindow::paneBesideTheForm()
{
    QSize alone;
    QRect form;
    {
        Window w(QStringLiteral("127.0.7.10"));
        QVERIFY(!w.pane()->isVisible());
        alone = w.window.size();
        form = QRect(w.form->mapTo(&w.window, QPoint(0, 0)), w.form->size());
        w.press(QKeySequence(Qt::CTRL | Qt::Key_L));
        QTRY_VERIFY(w.pane()->isVisible());
        QVERIFY(control<QAction>(w.window, "actionExchangeLog")->isChecked());
        QTRY_COMPARE(w.window.width(), alone.width() + w.pane()->width());
        QCOMPARE(w.window.height(), alone.height());
        QCOMPARE(QRect(w.form->mapTo(&w.window, QPoint(0, 0)), w.form->size()), form);
        // Beside the form, not over it.
        QCOMPARE(w.pane()->mapTo(&w.window, QPoint(0, 0)), form.topRight() + QPoint(1, 0));
        w.window.close();
    }
    {
        Window w(QStringLiteral("127.0.7.10"));
        QTRY_VERIFY(w.pane()->isVisible());
        QVERIFY(control<QAction>(w.window, "actionExchangeLog")->isChecked());
        QTRY_COMPARE(w.window.width(), alone.width() + w.pane()->width());
        w.press(QKeySequence(Qt::CTRL | Qt::Key_L));
        QTRY_VERIFY(!w.pane()->isVisible());
        QTRY_COMPARE(w.window.size(), alone);
        QCOMPARE(QRect(w.form->mapTo(&w.window, QPoint(0, 0)), w.form->size()), form);
        w.window.close();
    }
    Window w(QStringLiteral("127.0.7.10"));
    QVERIFY(!w.pane()->isVisible());
    QCOMPARE(w.window.size(), alone);
}

// Reset Statistics starts the counts again; the form's Min and Max keep
// every reply since the session began.
void TestWorkbenchWindow::resetStatistics()
{
    const QString address = QStringLiteral("127.0.7.20");
    ModuleSimProcess sim(address);
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    Window w(address);
    MessageBoxCatcher boxes;
    w.press(QKeySequence(Qt::CTRL | Qt::Key_L));
    w.click("cmdConnect");
    QTRY_VERIFY(control<QPushButton>(w.window, "cmdCont")->isEnabled());
    QVERIFY(w.run(50));
    QTRY_VERIFY(w.counts().startsWith(QStringLiteral("Sent %1 \u00B7").arg(w.sent)));
    const QString min = control<QLineEdit>(w.window, "txtMinTime")->text();
    const QString max = control<QLineEdit>(w.window, "txtMaxTime")->text();

    control<QAction>(w.window, "actionResetStatistics")->trigger();
    QCOMPARE(w.counts(),
             QStringLiteral("Sent 0 \u00B7 Replies 0 \u00B7 Lost 0 \u00B7 Late 0 \u00B7 Unexpected 0 "
                            "\u00B7 Failed checks 0\nRound trip: no reply passed the checks yet"));
    QCOMPARE(control<QLineEdit>(w.window, "txtMinTime")->text(), min);
    QCOMPARE(control<QLineEdit>(w.window, "txtMaxTime")->text(), max);
    // The log keeps its rows; only the counts start again.
    QCOMPARE(w.rows(), w.sent);

    w.click("cmdSend");
    QTRY_VERIFY2(w.counts().startsWith(QStringLiteral("Sent 1 \u00B7 Replies 1 \u00B7 Lost 0 ")),
                 qPrintable(w.counts()));
    QVERIFY2(w.counts().section(u'\n', 1).startsWith(QStringLiteral("Round trip p50 ")),
             qPrintable(w.counts()));
    QCOMPARE(boxes.count(), 0);
}

// File > Export Log from the keyboard: the probe's header, one row per
// request in order, each in its format.
void TestWorkbenchWindow::exportThroughTheDialog()
{
    const QString address = QStringLiteral("127.0.7.30");
    ModuleSimProcess sim(address);
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    Window w(address);
    MessageBoxCatcher boxes;
    w.click("cmdConnect");
    QTRY_VERIFY(control<QPushButton>(w.window, "cmdCont")->isEnabled());
    // The log fills also while the pane is hidden.
    QVERIFY(w.run(120));

    const QString path = m_files.filePath(QStringLiteral("through-dialog.csv"));
    bool answered = false;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        QCOMPARE(dialog->objectName(), QStringLiteral("exportLogDialog"));
        dialog->selectFile(path);
        answered = true;
        static_cast<QDialog*>(dialog)->accept();
    });
    w.press(QKeySequence(Qt::CTRL | Qt::Key_E));
    QVERIFY(answered);
    const QList<QByteArray> lines = contents(path).split('\n');
    QVERIFY2(lines.size() > 1, qPrintable(path));
    QCOMPARE(lines.first() + '\n', QByteArray(exchange_csv::kHeader));
    QCOMPARE(lines.last(), QByteArray()); // the last row ends its line
    QCOMPARE(lines.size() - 2, w.sent);
    static const QRegularExpression row(QStringLiteral("^(\\d+),1,\\d{10}\\.\\d{6},\\d+,40,0000,0000,ok$"));
    for (int i = 1; i < lines.size() - 1; ++i) {
        const QRegularExpressionMatch m = row.match(QString::fromLatin1(lines.at(i)));
        QVERIFY2(m.hasMatch(), lines.at(i).constData());
        QCOMPARE(m.captured(1).toInt(), i);
    }
    QCOMPARE(boxes.count(), 0);
}

void TestWorkbenchWindow::exportRefused_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("fullDisk");
    QTest::addColumn<QByteArray>("before"); // the file there before; empty: none

    QTest::newRow("into a folder that is not there") << "missing/log.csv" << false << QByteArray();
    QTest::newRow("onto a full disk, over an earlier export")
        << "earlier.csv" << true << QByteArray("an earlier export\n");
    QTest::newRow("the chart into a folder that is not there")
        << "missing/chart.png" << false << QByteArray();
    QTest::newRow("the chart as a kind of picture it cannot draw")
        << "earlier-chart.bmp" << false << QByteArray("an earlier picture\n");
}

// Refused with the path and the reason; an earlier file stays whole.
void TestWorkbenchWindow::exportRefused()
{
    QFETCH(QString, name);
    QFETCH(bool, fullDisk);
    QFETCH(QByteArray, before);
    const QString path = m_files.filePath(name);
    if (!before.isEmpty()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(before);
    }
    Window w(QStringLiteral("127.0.7.40"));
    MessageBoxCatcher boxes;
    bool exported = true;
    const bool chart = !name.endsWith(QStringLiteral(".csv"));
    {
        std::unique_ptr<FullDisk> full(fullDisk ? new FullDisk : nullptr);
        exported = chart ? w.window.exportChart(path) : w.window.exportLog(path);
    }
    QVERIFY(!exported);
    QCOMPARE(boxes.count(), 1);
    const QString prefix =
        QStringLiteral("Cannot export the %1 to %2:\n")
            .arg(chart ? QStringLiteral("chart") : QStringLiteral("log"), QDir::toNativeSeparators(path));
    const QString text = boxes.messages().at(0).text;
    QVERIFY2(text.startsWith(prefix) && text.size() > prefix.size(), qPrintable(text));
    QCOMPARE(boxes.messages().at(0).icon, QMessageBox::Critical);
    QCOMPARE(contents(path), before);
    QCOMPARE(QFileInfo::exists(path), !before.isEmpty());
    // Nothing left beside it either.
    QCOMPARE(QDir(QFileInfo(path).absolutePath())
                 .entryList(QDir::Files)
                 .filter(QFileInfo(path).completeBaseName())
                 .size(),
             before.isEmpty() ? 0 : 1);
}

void TestWorkbenchWindow::exportMatchesTheProbe_data()
{
    QTest::addColumn<bool>("udp");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QStringList>("simArguments");
    QTest::newRow("tcp, every third reply dropped")
        << false << "127.0.7.42" << QStringList{"--drop-every", "3"};
    QTest::newRow("udp, every checksum wrong") << true << "127.0.7.43" << QStringList{"--bad-checksum"};
}

// The window's export and the probe's CSV of the same run against the same
// module: the same columns, and row by row the same fields but for the
// times, which are each run's own.
void TestWorkbenchWindow::exportMatchesTheProbe()
{
    QFETCH(bool, udp);
    QFETCH(QString, address);
    QFETCH(QStringList, simArguments);
    constexpr int kRequests = 12;
    constexpr int kTimeoutMs = 200;
    const QString windowCsv = m_files.filePath(QStringLiteral("window-%1.csv").arg(address));
    const QString probeCsv = m_files.filePath(QStringLiteral("probe-%1.csv").arg(address));
    int sent = 0;
    {
        ModuleSimProcess sim(address, simArguments);
        QVERIFY2(sim.start(), qPrintable(sim.output()));
        Window w(address);
        MessageBoxCatcher boxes;
        w.window.setReplyTimeoutMs(kTimeoutMs);
        control<QAction>(w.window, "actionNumberInvokeIds")->trigger();
        if (udp)
            w.click("optUDP");
        w.click("cmdConnect");
        QTRY_VERIFY(control<QPushButton>(w.window, "cmdCont")->isEnabled());
        QVERIFY(w.run(kRequests));
        QVERIFY(w.window.exportLog(windowCsv));
        sent = w.sent;
    }
    {
        // A fresh simulator, so that its count of replies starts again.
        ModuleSimProcess sim(address, simArguments);
        QVERIFY2(sim.start(), qPrintable(sim.output()));
        QStringList arguments{"-c",     QString::number(sent),
                              "-i",     "0",
                              "-W",     QString::number(kTimeoutMs),
                              "-q",     "--csv",
                              probeCsv, address};
        if (udp)
            arguments.prepend(QStringLiteral("--udp"));
        QProcess probe;
        probe.start(QStringLiteral(VEXA_PROBE_PATH), arguments);
        QVERIFY(probe.waitForFinished(60000));
    }
    const QList<QByteArray> fromWindow = contents(windowCsv).split('\n');
    const QList<QByteArray> fromProbe = contents(probeCsv).split('\n');
    QCOMPARE(fromWindow.size(), sent + 2); // the header, the rows, the empty end
    QCOMPARE(fromWindow.size(), fromProbe.size());
    QCOMPARE(fromWindow.first(), fromProbe.first());
    const qint64 nowUs = QDateTime::currentMSecsSinceEpoch() * 1000;
    for (int i = 1; i <= sent; ++i) {
        const QList<QByteArray> a = fromWindow[i].split(',');
        const QList<QByteArray> b = fromProbe[i].split(',');
        QCOMPARE(a.size(), 8);
        QCOMPARE(b.size(), 8);
        for (int field : {0, 1, 4, 5, 6, 7})
            QCOMPARE(a[field], b[field]);
        QCOMPARE(a[3].isEmpty(), b[3].isEmpty());
        // Sent within the last minute, as seconds since the epoch.
        const qint64 sentUs = qint64(a[2].toDouble() * 1e6);
        QVERIFY2(sentUs <= nowUs && sentUs > nowUs - 60'000'000, a[2].constData());
    }
}

// The chart as a picture of the probe's plot's size, with nothing in it yet
// or after a run.
void TestWorkbenchWindow::chartExported()
{
    Window w(QStringLiteral("127.0.7.41"));
    MessageBoxCatcher boxes;
    const QString path = m_files.filePath(QStringLiteral("chart.png"));
    QVERIFY(w.window.exportChart(path));
    QCOMPARE(boxes.count(), 0);
    const QImage image(path);
    QCOMPARE(image.size(), QSize(1200, 800));
}

QTEST_MAIN(TestWorkbenchWindow)
#include "tst_workbench_window.moc"
