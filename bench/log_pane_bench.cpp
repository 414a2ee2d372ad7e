// SPDX-License-Identifier: GPL-3.0-or-later
// vexa-log-bench: the window's continuous rate against the simulator with
// the exchange log shown beside hidden, in one run: the phases alternate so
// that a change in the machine's load falls on both alike.
#include "harness/module_sim_process.h"
#include "harness/private_settings.h"
#include "harness/resident_memory.h"
#include "session/exchange.h"
#include "session/session_engine.h"
#include "ui/exchange_log_model.h"
#include "ui/form_main.h"
#include "ui/main_window.h"

#include <QAction>
#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

struct PaintCounter : QObject {
    long count = 0;
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            ++count;
        return false;
    }
};

} // namespace

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
    const auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    std::printf("vexa-log-bench: %s, %d phases of %d ms per protocol, median requests/s per condition\n",
                qPrintable(QGuiApplication::platformName()), phases, kPhaseMs);
    // A window of its own for each protocol: a window opens one session.
    for (const char* protocol : {"tcp", "udp"}) {
        const bool udp = protocol[0] == 'u';
        MainWindow window;
        auto* form = window.findChild<FormMain*>();
        form->setEndProgramAction([] { std::fprintf(stderr, "vexa-log-bench: the session ended\n"); });
        window.findChild<QLineEdit*>(QStringLiteral("txtIpAdd"))->setText(host);
        if (udp)
            QTest::mouseClick(window.findChild<QRadioButton*>(QStringLiteral("optUDP")), Qt::LeftButton);
        window.show();
        if (!QTest::qWaitForWindowExposed(&window))
            std::fprintf(stderr, "vexa-log-bench: the window was not exposed; measuring anyway\n");
        long sent = 0;
        QObject::connect(form->sessionEngine(), &SessionEngine::requestSent, [&sent] { ++sent; });
        auto* cont = window.findChild<QPushButton*>(QStringLiteral("cmdCont"));
        QTest::mouseClick(window.findChild<QPushButton*>(QStringLiteral("cmdConnect")), Qt::LeftButton);
        if (!QTest::qWaitFor([cont] { return cont->isEnabled(); }, 10000)) {
            std::fprintf(stderr, "vexa-log-bench: could not open a %s session with module-sim\n", protocol);
            return 1;
        }
        auto* logAction = window.findChild<QAction*>(QStringLiteral("actionExchangeLog"));
        auto* pane = window.findChild<QWidget*>(QStringLiteral("paneExchangeLog"));
        // Repaints of the pane's widgets, and how long a click waits for
        // the event loop: a zero timer posted every 100 ms stands for a
        // click on Stop, whose handler runs once the loop gets to it.
        PaintCounter paints;
        pane->findChild<QWidget*>(QStringLiteral("chartRoundTrip"))->installEventFilter(&paints);
        QTest::mouseClick(cont, Qt::LeftButton);
        // A moment to warm up, then the phases.
        QTest::qWait(300);
        std::vector<double> rates[2];
        qint64 longestWaitNs = 0;
        long shownPaints = 0;
        qint64 shownNs = 0;
        for (int phase = 0; phase < phases; ++phase) {
            const bool shown = phase % 2 == 1;
            logAction->setChecked(shown);
            QTest::qWait(50); // the window's new size settles
            const long before = sent;
            const long paintsBefore = paints.count;
            QElapsedTimer clock;
            clock.start();
            while (clock.elapsed() < kPhaseMs) {
                QElapsedTimer posted;
                posted.start();
                QTimer::singleShot(0, [&] {
                    if (shown)
                        longestWaitNs = std::max(longestWaitNs, posted.nsecsElapsed());
                });
                QTest::qWait(100);
            }
            rates[shown].push_back(double(sent - before) * 1e9 / double(clock.nsecsElapsed()));
            if (shown) {
                shownPaints += paints.count - paintsBefore;
                shownNs += clock.nsecsElapsed();
            }
        }
        QTest::mouseClick(cont, Qt::LeftButton);
        const double hidden = median(rates[0]);
        const double shown = median(rates[1]);
        std::printf("  %s log hidden  %8.0f requests/s\n", protocol, hidden);
        std::printf("  %s log shown   %8.0f requests/s  (%.1f %% of hidden); a click waited at most %.1f ms; "
                    "the chart repainted %.0f times/s\n",
                    protocol, shown, 100 * shown / hidden, double(longestWaitNs) / 1e6,
                    double(shownPaints) * 1e9 / double(std::max<qint64>(shownNs, 1)));
    }

    // The log's memory as exchanges keep coming: flat once its ring is full.
    ExchangeLogModel log;
    Exchange e;
    e.outcome = Exchange::Outcome::Answered;
    e.roundTripNs = 1'000'000;
    e.request = QByteArray(38, '\x01');
    std::printf("  resident memory with the log's ring of %d exchanges:", log.capacity());
    constexpr int kExchanges = 1'000'000;
    for (int i = 1; i <= kExchanges; ++i) {
        e.sequence = quint64(i);
        e.sentNs = qint64(i) * 50'000;
        // Each reply its own bytes, as from the socket.
        e.reply = QByteArray(40, char(i));
        log.append(e);
        if (i % 1000 == 0)
            log.flush();
        if (i % 250'000 == 0)
            std::printf(" %d: %ld MiB%s", i, harness::residentKiB() / 1024, i == kExchanges ? "\n" : ",");
    }
    return 0;
}
