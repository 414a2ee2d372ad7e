// SPDX-License-Identifier: GPL-3.0-or-later
// Drives FormMain as a user would: connect or start, Cont, and Stop after a
// fixed number of replies, with the simulator as a separate process.
#include "tool_run.h"

#include "harness/module_sim_process.h"
#include "harness/paint_recorder.h"
#include "harness/resident_memory.h"
#include "harness/window_driver.h"
#include "session/session_engine.h"

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

#include <sys/resource.h>

namespace {

bool waitFor(const std::function<bool()>& done, int timeoutMs)
{
    return QTest::qWaitFor(done, timeoutMs);
}

// Processor time this process has used, user and system, in seconds.
double processorSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return double(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// One simulator and one window, connected (TCP) or started (UDP).
struct Session {
    Session(const QString& address, const QString& protocol, const QStringList& simArgs)
        : sim(address, simArgs)
        , w(address)
    {
        if (!sim.start()) {
            error = QStringLiteral("module-sim did not start: ") + sim.output();
            return;
        }
        if (QGuiApplication::platformName() != QLatin1String("offscreen")
            && !QTest::qWaitForWindowExposed(&w.form)) {
            error = QStringLiteral("the window was never exposed");
            return;
        }
        if (protocol == QLatin1String("udp"))
            QTest::mouseClick(w.optUDP, Qt::LeftButton);
        QTest::mouseClick(w.cmdConnect, Qt::LeftButton);
        if (!waitFor([this] { return w.cmdCont->isEnabled() || w.ended > 0; }, 10000) || w.ended > 0)
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
            if (finished || w.ended > 0)
                loop.quit();
        });
        poll.start(20);
        QTest::mouseClick(w.cmdCont, Qt::LeftButton);
        loop.exec();
        if (w.ended > 0 && error.isEmpty())
            error = QStringLiteral("the window ended the program");
        // Stop, if the chain did not get that far, and let the last reply land.
        if (w.cmdCont->text() == QLatin1String("Stop"))
            QTest::mouseClick(w.cmdCont, Qt::LeftButton);
        QTest::qWait(50);
    }

    ModuleSimProcess sim;
    WindowDriver w;
    QString error;
};

} // namespace

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
    // The top-level window only: its children's paints belong to the same frame.
    PaintRecorder counter(&session.w.form);

    long replies = 0;
    bool finished = false;
    QElapsedTimer clock;
    // Connected after the window's own handler, so each count comes after
    // the window has shown the reply and sent the next request.
    QObject::connect(session.w.engine, &SessionEngine::replyArrived, &session.w.form, [&] {
        ++replies;
        if (replies == 10000)
            run.rssAt10kKiB = harness::residentKiB();
        if (replies == cycles) {
            run.seconds = clock.nsecsElapsed() / 1e9;
            run.rssAtEndKiB = harness::residentKiB();
            run.paints = counter.paints;
            QTest::mouseClick(session.w.cmdCont, Qt::LeftButton);
            finished = true;
        }
    });
    // Every thousand replies, a timer due 2 ms later stands in for a click:
    // it waits for the same pass of the event loop.
    QTimer click;
    click.setSingleShot(true);
    click.setTimerType(Qt::PreciseTimer);
    qint64 clickDueNs = 0;
    QObject::connect(&click, &QTimer::timeout, &session.w.form, [&] {
        run.clickWaitMaxMs = std::max(run.clickWaitMaxMs, (clock.nsecsElapsed() - clickDueNs) / 1e6);
    });
    QObject::connect(session.w.engine, &SessionEngine::replyArrived, &session.w.form, [&] {
        if (replies % 1000 == 0 && !click.isActive() && !finished) {
            clickDueNs = clock.nsecsElapsed() + 2'000'000;
            click.start(2);
        }
    });
    clock.start();
    session.runChain(finished, replies);
    // Stopped: the window must now cost nothing.
    const double idleFrom = processorSeconds();
    QTest::qWait(1000);
    run.idleCpuPercent = 100 * (processorSeconds() - idleFrom);
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
    QObject::connect(session.w.engine, &SessionEngine::replyArrived, &session.w.form, [&] {
        if (finished)
            return;
        ++count;
        run.shown.append(session.w.txtResTime->text().toInt());
        if (count == replies) {
            QTest::mouseClick(session.w.cmdCont, Qt::LeftButton);
            finished = true;
        }
    });
    session.runChain(finished, count);
    run.error = session.error;
    run.ok = finished && run.error.isEmpty();
    return run;
}
