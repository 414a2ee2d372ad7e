// SPDX-License-Identifier: GPL-3.0-or-later
// The top-level window: request files opened, edited, saved and refused,
// dropped files, the title, the texts remembered between runs, and the
// program's command line.
#include "ui/main_window.h"

#include "harness/full_disk.h"
#include "harness/message_box_catcher.h"

#include "codec/request_file.h"

#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QWindow>
#include <QtTest>

namespace {

template <typename T> T* control(const MainWindow& window, const char* name)
{
    T* found = window.findChild<T*>(QString::fromLatin1(name));
    Q_ASSERT_X(found, "control", name);
    return found;
}

QLineEdit* box(const MainWindow& window, const char* name)
{
    return control<QLineEdit>(window, name);
}

// The seven request boxes, the address and the protocol, as a user reads them.
QStringList shown(const MainWindow& window)
{
    QStringList texts;
    for (const char* name : {"txtReqComId", "txtReqSrc", "txtReqInvokeId", "txtReqCmnd", "txtReqDataType",
                             "txtReqVarNo", "txtReqData", "txtIpAdd"})
        texts << box(window, name)->text();
    texts << (control<QRadioButton>(window, "optUDP")->isChecked() ? "UDP" : "TCP");
    return texts;
}

// The title the window system shows, the modified mark in place.
QString title(const MainWindow& window)
{
    return window.windowHandle() ? window.windowHandle()->title() : QString();
}

void retype(QLineEdit* box, const QString& text)
{
    box->setFocus();
    box->selectAll();
    QTest::keyClicks(box, text);
}

// As typed with a keyboard layout that has the characters: the test's own
// keyboard knows ASCII only.
void retypeAnyText(QLineEdit* box, const QString& text)
{
    box->setFocus();
    box->selectAll();
    box->insert(text);
}

void press(MainWindow& window, QKeySequence keys)
{
    QTest::keySequence(&window, keys);
}

QByteArray contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void write(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

const QByteArray kReadVar = R"({
    "connection": {"host": "127.0.0.240", "protocol": "udp"},
    "format": "vexa-request",
    "request": {"comId": "ACME", "source": "0B", "invokeId": "1A2B", "command": "5800",
                "dataType": "0200", "varNo": "0001", "data": "0800"},
    "version": 1
})";
const QStringList kReadVarShown = {"ACME", "0B",   "1A2B",        "5800", "0200",
                                   "0001", "0800", "127.0.0.240", "UDP"};
const QStringList kStartShown = {"KORV-TAMBE",           "33",        "0000", "5400", "0100", "1000",
                                 "0800255157302E302E30", "127.0.0.1", "TCP"};

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void openEditSaveReopen();
    void openDuringSession();
    void saveKeepsThePort_data();
    void saveKeepsThePort();
    void refusedFiles_data();
    void refusedFiles();
    void failedSave_data();
    void failedSave();
    void droppedFileOpens();
    void typedTextsComeBack();
    void endedProgramKeepsTexts();
    void commandLine_data();
    void commandLine();

private:
    QTemporaryDir m_settings;
    QTemporaryDir m_files;
    QString path(const char* name) const { return m_files.filePath(QString::fromLatin1(name)); }
};

void TestMainWindow::initTestCase()
{
    QVERIFY(m_settings.isValid() && m_files.isValid());
    // Before any QSettings exists, so that the user's own are never touched.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_settings.path());
    QCoreApplication::setOrganizationName(QStringLiteral("vexa-test"));
    QCoreApplication::setApplicationName(QStringLiteral("tst_main_window"));
    QVERIFY2(QSettings().fileName().startsWith(m_settings.path()), qPrintable(QSettings().fileName()));
}

void TestMainWindow::init()
{
    QSettings settings;
    settings.clear();
    settings.sync();
    write(path("read-var.vexa"), kReadVar);
}

void TestMainWindow::openEditSaveReopen()
{
    const QString file = path("read-var.vexa");
    {
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QCOMPARE(title(window), QStringLiteral("Vexa Test"));
        QVERIFY(window.openFile(file));
        QCOMPARE(shown(window), kReadVarShown);
        QCOMPARE(title(window), QStringLiteral("read-var.vexa \u2014 Vexa Test"));

        retype(box(window, "txtReqCmnd"), QStringLiteral("5801"));
        QCOMPARE(title(window), QStringLiteral("read-var.vexa* \u2014 Vexa Test"));
        // Typed back as it was, nothing is left to save.
        retype(box(window, "txtReqCmnd"), QStringLiteral("5800"));
        QCOMPARE(title(window), QStringLiteral("read-var.vexa \u2014 Vexa Test"));
        retype(box(window, "txtReqCmnd"), QStringLiteral("5801"));
        retype(box(window, "txtReqData"), QStringLiteral("0900"));
        press(window, QKeySequence(Qt::CTRL | Qt::Key_S));
        QCOMPARE(title(window), QStringLiteral("read-var.vexa \u2014 Vexa Test"));
    }
    const RequestFileRead saved = loadRequestFile(file);
    QCOMPARE(saved.error, QString());
    QCOMPARE(saved.file->texts.cmnd, QStringLiteral("5801"));

    // A new window, as on the next start: Open Recent has the file.
    MainWindow again;
    again.show();
    const QList<QAction*> recent = control<QMenu>(again, "menuRecent")->actions();
    QVERIFY(!recent.isEmpty());
    QCOMPARE(recent.first()->text(), QStringLiteral("&1 read-var.vexa"));
    recent.first()->trigger();
    QStringList expected = kReadVarShown;
    expected[3] = QStringLiteral("5801");
    expected[6] = QStringLiteral("0900");
    QCOMPARE(shown(again), expected);
    QCOMPARE(title(again), QStringLiteral("read-var.vexa \u2014 Vexa Test"));
}

void TestMainWindow::openDuringSession()
{
    const QString file = path("tcp.vexa");
    write(file, R"({"format": "vexa-request", "version": 1, "request": {"command": "5802"},
                    "connection": {"host": "127.0.0.242", "protocol": "tcp"}})");
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    retype(box(window, "txtIpAdd"), QStringLiteral("127.0.0.241"));
    QTest::mouseClick(control<QRadioButton>(window, "optUDP"), Qt::LeftButton);
    MessageBoxCatcher boxes;
    // Start: the UDP session holds the address and the protocol from now on.
    QTest::mouseClick(control<QPushButton>(window, "cmdConnect"), Qt::LeftButton);
    QVERIFY(control<QPushButton>(window, "cmdSend")->isEnabled());

    QVERIFY(window.openFile(file));
    QStringList expected = kStartShown;
    expected[3] = QStringLiteral("5802");
    expected[7] = QStringLiteral("127.0.0.241");
    expected[8] = QStringLiteral("UDP");
    QCOMPARE(shown(window), expected);
    QCOMPARE(boxes.count(), 0);
    QCOMPARE(title(window), QStringLiteral("tcp.vexa \u2014 Vexa Test"));
    // Save writes what the window shows: the session's address and protocol.
    press(window, QKeySequence(Qt::CTRL | Qt::Key_S));
    const RequestFileRead saved = loadRequestFile(file);
    QVERIFY(saved.file);
    QCOMPARE(saved.file->host, QStringLiteral("127.0.0.241"));
    QCOMPARE(saved.file->protocol, RequestProtocol::Udp);
}

void TestMainWindow::saveKeepsThePort_data()
{
    QTest::addColumn<int>("before"); // the port of a file opened first; 0: none opened
    QTest::addColumn<int>("port"); // the port of the file saved; 0: it names none
    QTest::newRow("a port of the file's own is kept") << 0 << 2504;
    QTest::newRow("a file without a port gets none") << 0 << 0;
    QTest::newRow("the port of the file opened before is not carried over") << 2504 << 0;
    QTest::newRow("the file's own port, not the one opened before") << 3000 << 2504;
}

// The window has no box for a port: Save writes back the one the file named,
// and only that file's.
void TestMainWindow::saveKeepsThePort()
{
    QFETCH(int, before);
    QFETCH(int, port);
    const auto request = [](int port) {
        QByteArray connection = R"("host": "127.0.0.198", "protocol": "udp")";
        if (port != 0)
            connection += ", \"port\": " + QByteArray::number(port);
        return R"({"format": "vexa-request", "version": 1, "request": {"command": "5800"},
                   "connection": {)"
            + connection + "}}";
    };
    const QString file = path("port.vexa");
    write(file, request(port));
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    if (before != 0) {
        write(path("before.vexa"), request(before));
        QVERIFY(window.openFile(path("before.vexa")));
    }
    QVERIFY(window.openFile(file));
    retype(box(window, "txtReqCmnd"), QStringLiteral("5801"));
    press(window, QKeySequence(Qt::CTRL | Qt::Key_S));

    const RequestFileRead saved = loadRequestFile(file);
    QCOMPARE(saved.error, QString());
    QCOMPARE(saved.file->texts.cmnd, QStringLiteral("5801"));
    QCOMPARE(saved.file->port.has_value(), port != 0);
    QCOMPARE(int(saved.file->port.value_or(0)), port);
}

void TestMainWindow::refusedFiles_data()
{
    QTest::addColumn<QByteArray>("bytes"); // null: no file
    QTest::addColumn<QString>("message");
    QTest::newRow("no such file") << QByteArray() << "Cannot read the file: No such file or directory.";
    QTest::newRow("not a request file") << QByteArray("[Request]\n") << "Not a request file";
    QTest::newRow("a newer format version") << QByteArray(R"({"format": "vexa-request", "version": 9})")
                                            << "Format version 9 is newer than this program reads (1)";
    QTest::newRow("a text that cannot be sent")
        << QByteArray(R"({"format": "vexa-request", "version": 1, "request": {"command": "5X00"}})")
        << "Command: \"5X00\" is not hexadecimal.";
}

void TestMainWindow::refusedFiles()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, message);
    const QString file = path("bad.vexa");
    QFile::remove(file);
    if (!bytes.isNull())
        write(file, bytes);
    MainWindow window;
    window.show();
    QVERIFY(window.openFile(path("read-var.vexa")));
    retype(box(window, "txtReqVarNo"), QStringLiteral("0002"));
    const QStringList before = shown(window);
    const QString titleBefore = title(window);

    MessageBoxCatcher boxes;
    QVERIFY(!window.openFile(file));
    QCOMPARE(boxes.count(), 1);
    QCOMPARE(boxes.messages().first().title, QStringLiteral("Vexa Test"));
    QCOMPARE(boxes.messages().first().icon, QMessageBox::Critical);
    const QString text = boxes.messages().first().text;
    QVERIFY2(text.startsWith("Cannot open " + file + ":\n") && text.contains(message), qPrintable(text));
    QCOMPARE(shown(window), before);
    QCOMPARE(title(window), titleBefore);
}

void TestMainWindow::failedSave_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<bool>("diskFull");
    QTest::addColumn<QString>("message");
    QTest::newRow("the disk is full") << "5801" << true << "Cannot write the file: File too large.";
    // It could not be opened again.
    QTest::newRow("a text that cannot be sent")
        << "5X" << false << "Command: \"5X\" is too short; type four hexadecimal digits.";
}

void TestMainWindow::failedSave()
{
    QFETCH(QString, command);
    QFETCH(bool, diskFull);
    QFETCH(QString, message);
    const QString file = path("read-var.vexa");
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QVERIFY(window.openFile(file));
    retype(box(window, "txtReqCmnd"), command);

    MessageBoxCatcher boxes;
    {
        std::optional<FullDisk> full;
        if (diskFull)
            full.emplace();
        press(window, QKeySequence(Qt::CTRL | Qt::Key_S));
    }
    QCOMPARE(boxes.count(), 1);
    QCOMPARE(boxes.messages().first().title, QStringLiteral("Vexa Test"));
    QCOMPARE(boxes.messages().first().text, "Cannot save " + file + ":\n" + message);
    QCOMPARE(contents(file), kReadVar);
    // No half-written copy is left beside it.
    QCOMPARE(QDir(m_files.path()).entryList({"read-var.vexa*"}, QDir::Files | QDir::Hidden),
             QStringList{"read-var.vexa"});
    QCOMPARE(title(window), QStringLiteral("read-var.vexa* \u2014 Vexa Test"));
}

void TestMainWindow::droppedFileOpens()
{
    MainWindow window;
    window.show();
    QLineEdit* data = box(window, "txtReqData");
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(path("read-var.vexa"))});
    // File managers offer the path as text too, which a box would take.
    mime.setText(path("read-var.vexa"));
    const QPoint at = data->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(data, &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(data, &drop);
    QTRY_COMPARE(title(window), QStringLiteral("read-var.vexa \u2014 Vexa Test"));
    QCOMPARE(shown(window), kReadVarShown);
}

void TestMainWindow::typedTextsComeBack()
{
    const QString settingsFile = QSettings().fileName();
    {
        MainWindow window;
        window.show();
        QCOMPARE(shown(window), kStartShown);
        retypeAnyText(box(window, "txtReqComId"), QString::fromUtf8("A,B=\"%\xe2\x82\xac"));
        retype(box(window, "txtReqData"), QStringLiteral("0A0B"));
        retype(box(window, "txtIpAdd"), QStringLiteral("192.168.0.10"));
        QTest::mouseClick(control<QRadioButton>(window, "optUDP"), Qt::LeftButton);
        window.setReplyTimeoutMs(2500);
        // On disk within a second, with no close: a killed program keeps them.
        QTRY_VERIFY_WITH_TIMEOUT(contents(settingsFile).contains("192.168.0.10"), 1500);
    }
    MainWindow next;
    next.show();
    QCOMPARE(shown(next),
             (QStringList{QString::fromUtf8("A,B=\"%\xe2\x82\xac"), "33", "0000", "5400", "0100", "1000",
                          "0A0B", "192.168.0.10", "UDP"}));
    QCOMPARE(control<QPushButton>(next, "cmdConnect")->text(), QStringLiteral("Start"));
    QCOMPARE(next.findChild<FormMain*>()->replyTimeoutMs(), 2500);
    QCOMPARE(title(next), QStringLiteral("Vexa Test"));
}

void TestMainWindow::endedProgramKeepsTexts()
{
    const QString settingsFile = QSettings().fileName();
    MainWindow window;
    window.show();
    retype(box(window, "txtIpAdd"), QStringLiteral("no-such-host.invalid"));
    retype(box(window, "txtReqVarNo"), QStringLiteral("0777"));
    MessageBoxCatcher boxes;
    QTest::mouseClick(control<QPushButton>(window, "cmdConnect"), Qt::LeftButton);
    // The host is unknown: the message, then the end of the program, which
    // writes what was typed at once rather than after the usual moment.
    QTRY_COMPARE(boxes.count(), 1);
    QCOMPARE(boxes.messages().first().title, QStringLiteral("Winsock Error"));
    QTRY_VERIFY_WITH_TIMEOUT(contents(settingsFile).contains("0777"), 200);
}

void TestMainWindow::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out"); // a part of standard output; empty: none at all
    QTest::addColumn<QString>("err"); // the first line of standard error
    QTest::newRow("--help prints the usage, --reply-timeout in it")
        << QStringList{"--help"} << 0 << "      --reply-timeout=MS "
        << "";
    QTest::newRow("--version prints the version")
        << QStringList{"--version"} << 0 << "vexa-test " VEXA_VERSION "\n"
        << "";
    QTest::newRow("a reply timeout of zero")
        << QStringList{"--reply-timeout", "0"} << 2 << ""
        << "vexa-test: --reply-timeout wants a whole number from 1 to 3600000, got \"0\"";
    QTest::newRow("two files") << QStringList{"a.vexa", "b.vexa"} << 2 << ""
                               << "vexa-test: one FILE only; also got \"b.vexa\"";
}

void TestMainWindow::commandLine()
{
    QFETCH(QStringList, arguments);
    QProcess program;
    program.start(QStringLiteral(VEXA_TEST_PATH), arguments);
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QTEST(program.exitCode(), "status");
    QFETCH(QString, out);
    const QString printed = QString::fromLocal8Bit(program.readAllStandardOutput());
    QVERIFY2(out.isEmpty() ? printed.isEmpty() : printed.contains(out), qPrintable(printed));
    QTEST(QString::fromLocal8Bit(program.readAllStandardError()).section(u'\n', 0, 0), "err");
}

QTEST_MAIN(TestMainWindow)
#include "tst_main_window.moc"
