// Drives FormMain as a user would: connect or start, Cont, and Stop after a
// fixed number of replies, with the simulator as a separate process.
#include "tool_run.h"

#include "common/module_sim_process.h"
#include "ui/form_main.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <functional>

namespace {

// Counts the paint events of the top-level window only; children's paints
// belong to the same frame.
class PaintCounter : public QObject {
public:
    long paints = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return QObject::eventFilter(watched, event);
    }
};

bool waitFor(const std::function<bool()>& done, int timeoutMs)
{
    return QTest::qWaitFor(done, timeoutMs);
}

// One simulator and one window, connected (TCP) or started (UDP).
struct Session {
    Session(const QString& address, const QString& protocol, const QStringList& simArgs)
        : sim(address, simArgs)
    {
        if (!sim.start()) {
            error = QStringLiteral("module-sim did not start: ") + sim.output();
            return;
        }
        form.setEndProgramAction([this] { ended = true; });
        form.txtIpAdd->setText(address);
        form.show();
        if (QGuiApplication::platformName() != QLatin1String("offscreen")
            && !QTest::qWaitForWindowExposed(&form)) {
            error = QStringLiteral("the window was never exposed");
            return;
        }
        if (protocol == QLatin1String("udp"))
            QTest::mouseClick(form.optUDP, Qt::LeftButton);
        QTest::mouseClick(form.cmdConnect, Qt::LeftButton);
        if (!waitFor([this] { return form.cmdCont->isEnabled() || ended; }, 10000) || ended)
            error = QStringLiteral("could not connect to module-sim");
    }

    // Runs the chain until `finished` is set by the reply counter, failing
    // when replies stop for two seconds (a message box is then closed).
    void runChain(const bool& finished, long& replies)
    {
        QEventLoop loop;
        long seen = -1;
        QTimer watchdog;
        QObject::connect(&watchdog, &QTimer::timeout, &loop, [&] {
            if (replies == seen) {
                if (QWidget* modal = QApplication::activeModalWidget())
                    modal->close();
                error = QStringLiteral("replies stopped after %1").arg(replies);
                loop.quit();
            }
            seen = replies;
        });
        watchdog.start(2000);
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
            if (finished || ended)
                loop.quit();
        });
        poll.start(20);
        QTest::mouseClick(form.cmdCont, Qt::LeftButton);
        loop.exec();
        if (ended && error.isEmpty())
            error = QStringLiteral("the window ended the program");
        // Stop, if the chain did not get that far, and let the last reply land.
        if (form.ContinuousMode == FormMain::True)
            QTest::mouseClick(form.cmdCont, Qt::LeftButton);
        QTest::qWait(50);
    }

    ModuleSimProcess sim;
    FormMain form;
    bool ended = false;
    QString error;
};

} // namespace

long statusKiB(const char* field)
{
    QFile file(QStringLiteral("/proc/self/status"));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray key = QByteArray(field) + ':';
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray& line : lines) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toLong();
    }
    return 0;
}

int FidelityRun::median() const
{
    if (shown.isEmpty())
        return -1;
    QVector<int> sorted = shown;
    std::sort(sorted.begin(), sorted.end());
    return sorted.at(sorted.size() / 2);
}

ToolRun runContinuous(const QString& address, const QString& protocol, long cycles)
{
    ToolRun run;
    Session session(address, protocol, {});
    if (!session.error.isEmpty()) {
        run.error = session.error;
        return run;
    }
    PaintCounter counter;
    session.form.installEventFilter(&counter);

    long replies = 0;
    bool finished = false;
    QElapsedTimer clock;
    // Connected after the window's own handler, so each count comes after
    // the window has shown the reply and sent the next request.
    QObject::connect(session.form.tcpClient, &ClientSocket::dataArrival, &session.form, [&] {
        ++replies;
        if (replies == 10000)
            run.rssAt10kKiB = statusKiB("VmRSS");
        if (replies == cycles) {
            run.seconds = clock.nsecsElapsed() / 1e9;
            run.rssAtEndKiB = statusKiB("VmRSS");
            run.paints = counter.paints;
            QTest::mouseClick(session.form.cmdCont, Qt::LeftButton);
            finished = true;
        }
    });
    clock.start();
    session.runChain(finished, replies);
    run.cycles = std::min(replies, cycles);
    run.error = session.error;
    run.ok = finished && run.error.isEmpty();
    return run;
}

FidelityRun runFidelity(const QString& address, const QString& protocol, int delayMs, int replies)
{
    FidelityRun run;
    Session session(address, protocol, {QStringLiteral("--delay"), QString::number(delayMs)});
    if (!session.error.isEmpty()) {
        run.error = session.error;
        return run;
    }
    long count = 0;
    bool finished = false;
    QObject::connect(session.form.tcpClient, &ClientSocket::dataArrival, &session.form, [&] {
        if (finished)
            return;
        ++count;
        run.shown.append(session.form.txtResTime->text().toInt());
        if (count == replies) {
            QTest::mouseClick(session.form.cmdCont, Qt::LeftButton);
            finished = true;
        }
    });
    session.runChain(finished, count);
    run.error = session.error;
    run.ok = finished && run.error.isEmpty();
    return run;
}
