// SPDX-License-Identifier: GPL-3.0-or-later
// A module slower than the reply timeout, against the whole window: every
// figure in the time boxes is one the module took, the window says that
// replies come late and how to raise the timeout, and the timeout is set
// from the window itself.
#include "harness/message_box_catcher.h"
#include "harness/module_sim_process.h"
#include "harness/private_settings.h"

#include "codec/request_file.h"
#include "session/session_engine.h"
#include "ui/form_main.h"
#include "ui/main_window.h"

#include <QAction>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QtTest>

#include <memory>

namespace {

template <typename T> T* control(const QWidget& window, const char* name)
{
    T* found = window.findChild<T*>(QString::fromLatin1(name));
    Q_ASSERT_X(found, "control", name);
    return found;
}

QString statusText(const MainWindow& window, const char* label)
{
    return control<QLabel>(window, label)->text();
}

// The window of a test: quitting recorded instead of done.
struct Window {
    explicit Window(const QString& address)
    {
        form = window.findChild<FormMain*>();
        form->setEndProgramAction([this] { ++ended; });
        control<QLineEdit>(window, "txtIpAdd")->setText(address);
        window.show();
        // Shortcuts go to the active window.
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        // What the Response Time box shows after each whole reply (the
        // window has handled it before this hears of it).
        QLineEdit* time = control<QLineEdit>(window, "txtResTime");
        QObject::connect(form->findChild<SessionEngine*>(), &SessionEngine::replyArrived,
                         [this, time](const ArrivedReply& reply) {
                             if (reply.complete)
                                 times << time->text();
                         });
    }
    void click(const char* button)
    {
        QTest::mouseClick(control<QAbstractButton>(window, button), Qt::LeftButton);
    }

    MainWindow window;
    FormMain* form = nullptr;
    QStringList times;
    int ended = 0;
};

// Answers the Reply Timeout dialog with `ms` once it opens.
void answerTimeoutDialog(int ms)
{
    QTimer::singleShot(0, [ms] {
        auto* dialog = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        auto* spin = dialog->findChild<QSpinBox*>();
        QVERIFY(spin);
        spin->selectAll();
        QTest::keyClicks(spin, QString::number(ms));
        QTest::keyClick(spin, Qt::Key_Return);
    });
}

} // namespace

class TestLateReplies : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void slowModule_data();
    void slowModule();
    void timeoutSetFromTheWindow();

private:
    std::unique_ptr<PrivateSettings> m_settings;
};

void TestLateReplies::initTestCase()
{
    m_settings = std::make_unique<PrivateSettings>(QStringLiteral("tst_late_replies"));
    QVERIFY(m_settings->isValid());
}

void TestLateReplies::init()
{
    QSettings().clear();
}

void TestLateReplies::slowModule_data()
{
    QTest::addColumn<bool>("udp");
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("timeoutMs"); // set from the window; 0 keeps the default
    QTest::addColumn<bool>("numbered");
    QTest::addColumn<QString>("notice"); // how the line below the form begins

    const QString late = QStringLiteral("replies came after the 1000 ms timeout");
    QTest::newRow("tcp, 1000 ms timeout: late replies timed in full")
        << false << "127.0.1.10" << 0 << false << late;
    QTest::newRow("udp, 1000 ms timeout: late replies timed in full")
        << true << "127.0.1.11" << 0 << false << late;
    QTest::newRow("udp, numbered invoke IDs: late replies told apart")
        << true << "127.0.1.12" << 0 << true << late;
    QTest::newRow("tcp, timeout raised to 2500 ms in the window: in time, nothing to say")
        << false << "127.0.1.13" << 2500 << false << "";
}

// Continuous mode against a module that answers every request 1500 ms
// late: no figure is ever less than the module took (a reply timed from a
// request sent after its own would show about 500 ms).
void TestLateReplies::slowModule()
{
    QFETCH(bool, udp);
    QFETCH(QString, address);
    QFETCH(int, timeoutMs);
    QFETCH(bool, numbered);
    QFETCH(QString, notice);
    constexpr int kDelayMs = 1500;
    ModuleSimProcess sim(address, {"--delay", QString::number(kDelayMs)});
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    Window w(address);
    MessageBoxCatcher boxes;
    if (timeoutMs > 0) {
        answerTimeoutDialog(timeoutMs);
        QTest::keySequence(&w.window, QKeySequence(Qt::CTRL | Qt::Key_T));
        QCOMPARE(statusText(w.window, "lblReplyTimeout"),
                 QStringLiteral("Reply timeout %1 ms").arg(timeoutMs));
    }
    if (numbered)
        control<QAction>(w.window, "actionNumberInvokeIds")->trigger();
    if (udp)
        w.click("optUDP");
    w.click("cmdConnect");
    QTRY_VERIFY(control<QPushButton>(w.window, "cmdCont")->isEnabled());
    w.click("cmdCont");
    QTRY_VERIFY_WITH_TIMEOUT(w.times.size() >= 3, 15000);
    w.click("cmdCont");

    // Empty only before the first timed reply; never less than the module took.
    for (const QString& shown : std::as_const(w.times)) {
        QVERIFY2(shown.isEmpty() || (shown.toInt() >= kDelayMs && shown.toInt() < kDelayMs + 400),
                 qPrintable(w.times.join(u' ')));
    }
    QVERIFY2(!w.times.last().isEmpty(), qPrintable(w.times.join(u' ')));
    QCOMPARE(control<QLineEdit>(w.window, "txtMinTime")->text().toInt() >= kDelayMs, true);
    const QString said = statusText(w.window, "lblTimingNotice");
    if (notice.isEmpty()) {
        QCOMPARE(said, QString());
    } else {
        QVERIFY2(said.contains(notice), qPrintable(said));
        QVERIFY2(said.contains(QStringLiteral("Session \u203A Reply Timeout\u2026")), qPrintable(said));
        QCOMPARE(said.contains(QStringLiteral("Session \u203A Number Invoke IDs")), !numbered);
    }
    if (numbered) {
        // The header shows the numbers that went out; switched off, the
        // typed ID comes back.
        auto* invokeId = control<QLineEdit>(w.window, "txtReqInvokeId");
        QVERIFY2(invokeId->text().toUInt(nullptr, 16) >= 3, qPrintable(invokeId->text()));
        QCOMPARE(control<QLineEdit>(w.window, "txtResInvokeId")->text().size(), 4);
        control<QAction>(w.window, "actionNumberInvokeIds")->trigger();
        QCOMPARE(invokeId->text(), QStringLiteral("0000"));
    }
    QCOMPARE(boxes.count(), 0);
    QCOMPARE(w.ended, 0);
}

// Session > Reply Timeout from the keyboard: shown below the form, used for
// the next request, remembered for the next run and saved in request files.
void TestLateReplies::timeoutSetFromTheWindow()
{
    {
        Window w(QStringLiteral("127.0.1.14"));
        QCOMPARE(statusText(w.window, "lblReplyTimeout"), QStringLiteral("Reply timeout 1000 ms"));
        answerTimeoutDialog(4200);
        QTest::keySequence(&w.window, QKeySequence(Qt::CTRL | Qt::Key_T));
        QCOMPARE(w.form->replyTimeoutMs(), 4200);
        QCOMPARE(statusText(w.window, "lblReplyTimeout"), QStringLiteral("Reply timeout 4200 ms"));
        w.window.close();
    }
    Window again(QStringLiteral("127.0.1.14"));
    QCOMPARE(statusText(again.window, "lblReplyTimeout"), QStringLiteral("Reply timeout 4200 ms"));
    QCOMPARE(again.form->replyTimeoutMs(), 4200);
}

QTEST_MAIN(TestLateReplies)
#include "tst_late_replies.moc"
