// SPDX-License-Identifier: GPL-3.0-or-later
// vexa-log-bench: the window's continuous rate against the simulator with
// the exchange log shown beside hidden, in one run: the phases alternate so
// that a change in the machine's load falls on both alike.
#include "harness/module_sim_process.h"
#include "harness/private_settings.h"
#include "session/session_engine.h"
#include "ui/form_main.h"
#include "ui/main_window.h"

#include <QAction>
#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <vector>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription("Continuous mode with the exchange log shown and hidden.");
    parser.addHelpOption();
    const QCommandLineOption seconds("seconds", "Seconds per condition (default 5).", "s", "5");
    const QCommandLineOption address("address", "Loopback address for the simulator.", "ip", "127.0.0.230");
    parser.addOptions({seconds, address});
    parser.process(app);
    const int totalMs = int(parser.value(seconds).toDouble() * 1000);
    const QString host = parser.value(address);
    // Short phases, hidden and shown by turns, each condition totalMs in
    // all: the median phase of each is the figure, so that a burst of other
    // work on the machine spoils a phase or two, not the comparison.
    constexpr int kPhaseMs = 500;
    const int phases = std::max(2, 2 * totalMs / kPhaseMs);

    PrivateSettings settings(QStringLiteral("vexa-log-bench"));
    ModuleSimProcess sim(host);
    if (!sim.start()) {
        std::fprintf(stderr, "vexa-log-bench: module-sim did not start: %s\n", qPrintable(sim.output()));
        return 1;
    }
    MainWindow window;
    auto* form = window.findChild<FormMain*>();
    form->setEndProgramAction([] { std::fprintf(stderr, "vexa-log-bench: the session ended\n"); });
    window.findChild<QLineEdit*>(QStringLiteral("txtIpAdd"))->setText(host);
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        std::fprintf(stderr, "vexa-log-bench: the window was not exposed; measuring anyway\n");
    long sent = 0;
    QObject::connect(form->sessionEngine(), &SessionEngine::requestSent, [&sent] { ++sent; });
    auto* cont = window.findChild<QPushButton*>(QStringLiteral("cmdCont"));
    QTest::mouseClick(window.findChild<QPushButton*>(QStringLiteral("cmdConnect")), Qt::LeftButton);
    if (!QTest::qWaitFor([cont] { return cont->isEnabled(); }, 10000)) {
        std::fprintf(stderr, "vexa-log-bench: could not connect to module-sim\n");
        return 1;
    }
    auto* logAction = window.findChild<QAction*>(QStringLiteral("actionExchangeLog"));
    QTest::mouseClick(cont, Qt::LeftButton);
    // A moment to warm up, then the phases.
    QTest::qWait(300);
    std::vector<double> rates[2];
    for (int phase = 0; phase < phases; ++phase) {
        const bool shown = phase % 2 == 1;
        logAction->setChecked(shown);
        QTest::qWait(50); // the window's new size settles
        const long before = sent;
        QElapsedTimer clock;
        clock.start();
        QTest::qWait(kPhaseMs);
        rates[shown].push_back(double(sent - before) * 1e9 / double(clock.nsecsElapsed()));
    }
    QTest::mouseClick(cont, Qt::LeftButton);
    const auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    const double hidden = median(rates[0]);
    const double shown = median(rates[1]);
    std::printf("vexa-log-bench: %s, tcp, %d phases of %d ms, median requests/s per condition\n",
                qPrintable(QGuiApplication::platformName()), phases, kPhaseMs);
    std::printf("  log hidden  %8.0f requests/s\n", hidden);
    std::printf("  log shown   %8.0f requests/s  (%.1f %% of hidden)\n", shown, 100 * shown / hidden);
    return 0;
}
