// SPDX-License-Identifier: GPL-3.0-or-later
// Soak driver: runs the real window in continuous mode against a module
// simulator until a cycle count or a time limit, and fails on any message,
// lost or malformed reply, or memory growth.
#include "harness/resident_memory.h"
#include "harness/window_driver.h"
#include "session/session_engine.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include <cstdio>

namespace {

// The simulator's reply to the default request is 40 bytes and echoes its data.
constexpr qint32 kReplyBytes = 40;
const QString kEchoedData = QStringLiteral("0800255157302E302E30");

class Soak : public QObject {
public:
    Soak(qint64 cycles, qint64 seconds, qint64 warmup, qint64 maxGrowthKb)
        : m_cycleLimit(cycles)
        , m_secondLimit(seconds)
        , m_warmup(warmup)
        , m_maxGrowthKb(maxGrowthKb)
    {
        m_w.form.setEndProgramAction([this] { fail(QStringLiteral("the window ended the program")); });
        connect(m_w.engine, &SessionEngine::replyArrived, this, [this](const ArrivedReply& reply) {
            // A reply in pieces counts once, when it is whole.
            if (reply.complete)
                onArrival(reply.bytesTotal);
        });
        connect(m_w.engine, &SessionEngine::connected, this, [this] { m_w.cmdCont->click(); });

        // A reply that never comes stalls the chain for good.
        m_stall.setSingleShot(true);
        m_stall.setInterval(5000);
        connect(&m_stall, &QTimer::timeout, this,
                [this] { fail(QStringLiteral("no reply for 5 s: a reply was lost")); });

        // A message box would block the chain; report and dismiss it.
        m_watch.setInterval(100);
        connect(&m_watch, &QTimer::timeout, this, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                const QString text = box->windowTitle() + QStringLiteral(": ") + box->text();
                box->done(0);
                fail(QStringLiteral("message shown: ") + text);
            }
        });
    }

    void start(const QString& host, bool udp)
    {
        m_w.txtIpAdd->setText(host);
        m_clock.start();
        m_watch.start();
        m_stall.start();
        if (udp) {
            m_w.optUDP->click();
            m_w.cmdConnect->click();
            m_w.cmdCont->click();
        } else {
            m_w.cmdConnect->click();
        }
    }

    int exitCode() const { return m_failed ? 1 : 0; }

private:
    void onArrival(qint32 bytesTotal)
    {
        if (m_done)
            return;
        m_stall.start();
        ++m_cycles;
        if (bytesTotal != kReplyBytes || m_w.txtResData->text() != kEchoedData) {
            fail(QStringLiteral("cycle %1: reply of %2 bytes, data \"%3\"")
                     .arg(m_cycles)
                     .arg(bytesTotal)
                     .arg(m_w.txtResData->text().left(60)));
            return;
        }
        if (m_cycles == 1)
            report("first");
        if (m_cycles == m_warmup) {
            m_startRss = harness::residentKiB();
            report("start");
        } else if (m_cycles % 100000 == 0) {
            report("progress");
        }
        if (m_cycles >= m_cycleLimit || m_clock.elapsed() >= 1000 * m_secondLimit) {
            // Stop, while the engine is still handing out this reply: the
            // next request has not left, so nothing is in flight any more.
            m_w.cmdCont->click();
            finish();
        }
    }

    void report(const char* what)
    {
        std::printf("soak: %s cycles=%lld rss_kb=%lld elapsed_s=%.1f\n", what,
                    static_cast<long long>(m_cycles), static_cast<long long>(harness::residentKiB()),
                    m_clock.elapsed() / 1000.0);
        std::fflush(stdout);
    }

    void finish()
    {
        m_done = true;
        m_stall.stop();
        // Let anything still on its way land before counting.
        QTimer::singleShot(200, this, [this] {
            const qint64 endRss = harness::residentKiB();
            report("end");
            if (m_w.sends.size() != m_cycles)
                fail(
                    QStringLiteral("%1 requests sent, %2 replies shown").arg(m_w.sends.size()).arg(m_cycles));
            if (m_startRss < 0)
                fail(QStringLiteral("the run ended before the warm-up of %1 cycles").arg(m_warmup));
            else if (endRss - m_startRss > m_maxGrowthKb)
                fail(QStringLiteral("memory grew by %1 KiB").arg(endRss - m_startRss));
            std::printf("soak: %s\n", m_failed ? "FAILED" : "passed");
            m_w.cmdClose->click();
            QCoreApplication::exit(exitCode());
        });
    }

    void fail(const QString& reason)
    {
        std::fprintf(stderr, "soak: %s\n", qPrintable(reason));
        m_failed = true;
        if (!m_done) {
            m_done = true;
            report("end");
            m_w.cmdClose->click();
            QTimer::singleShot(0, [] { QCoreApplication::exit(1); });
        }
    }

    WindowDriver m_w{QString()};
    QTimer m_stall;
    QTimer m_watch;
    QElapsedTimer m_clock;
    const qint64 m_cycleLimit;
    const qint64 m_secondLimit;
    const qint64 m_warmup;
    const qint64 m_maxGrowthKb;
    qint64 m_cycles = 0;
    qint64 m_startRss = -1;
    bool m_done = false;
    bool m_failed = false;
};

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Runs the window in continuous mode against a module simulator."));
    parser.addHelpOption();
    const QCommandLineOption host(QStringLiteral("host"), QStringLiteral("Simulator address."),
                                  QStringLiteral("address"), QStringLiteral("127.0.0.90"));
    const QCommandLineOption cycles(QStringLiteral("cycles"), QStringLiteral("Stop after N replies."),
                                    QStringLiteral("n"), QStringLiteral("1000000"));
    const QCommandLineOption seconds(QStringLiteral("seconds"), QStringLiteral("Stop after S seconds."),
                                     QStringLiteral("s"), QStringLiteral("600"));
    const QCommandLineOption warmup(
        QStringLiteral("warmup"),
        QStringLiteral("Take the starting RSS after N replies, once ASan's quarantine has filled."),
        QStringLiteral("n"), QStringLiteral("100000"));
    const QCommandLineOption growth(QStringLiteral("max-growth-kb"),
                                    QStringLiteral("Most RSS growth allowed."), QStringLiteral("kib"),
                                    QStringLiteral("16384"));
    const QCommandLineOption udp(QStringLiteral("udp"), QStringLiteral("Use UDP instead of TCP."));
    parser.addOptions({host, cycles, seconds, warmup, growth, udp});
    parser.process(app);

    Soak soak(parser.value(cycles).toLongLong(), parser.value(seconds).toLongLong(),
              parser.value(warmup).toLongLong(), parser.value(growth).toLongLong());
    soak.start(parser.value(host), parser.isSet(udp));
    return app.exec();
}
