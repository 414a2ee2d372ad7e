// SPDX-License-Identifier: GPL-3.0-or-later
// vexa-monitor-bench: a plant's worth of targets (500 by default, a request
// a second each) served by a few simulators on loopback, the monitor run for
// a given time, and its cost and figures printed: its own CPU time as a share
// of one core, its resident memory at the start and the end, the round trip
// per target against the simulators' delays, and the requests sent per
// target against duration / interval.
#include "harness/metrics_page.h"
#include "harness/module_sim_process.h"
#include "harness/monitor_process.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {

// The simulators' loopback addresses and delays, one each; the monitor
// listens on the next address.
const char* const kSimAddresses[] = {"127.0.0.234", "127.0.0.235", "127.0.0.236", "127.0.0.237",
                                     "127.0.0.238"};
const int kSimDelaysMs[] = {2, 5, 10, 20, 50};
const QString kMonitorAddress = QStringLiteral("127.0.0.239");
constexpr int kSims = 5;

struct ProcessTimes {
    double cpuSeconds = 0; // user + system
    long rssKiB = 0;
    int descriptors = 0;
};

// utime and stime from /proc/<pid>/stat (fields 14 and 15, after the
// command in parentheses, which may hold spaces), VmRSS from its status.
ProcessTimes processTimes(qint64 pid)
{
    ProcessTimes times;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (stat.open(QIODevice::ReadOnly)) {
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        // Field 3 is the first after the command: utime is field 14.
        if (fields.size() > 12) {
            const double ticks = double(::sysconf(_SC_CLK_TCK));
            times.cpuSeconds = (fields[11].toDouble() + fields[12].toDouble()) / ticks;
        }
    }
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:"))
                times.rssKiB = line.mid(6).trimmed().split(' ').front().toLong();
        }
    }
    times.descriptors = int(QDir(QStringLiteral("/proc/%1/fd").arg(pid))
                                .entryList(QDir::NoDotAndDotDot | QDir::AllEntries)
                                .size());
    return times;
}

struct TargetPlan {
    QString name;
    int sim = 0;
    QString protocol;
};

double percentile(std::vector<double> values, double q)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[size_t(q * double(values.size() - 1) + 0.5)];
}

void print(const QString& text)
{
    std::fputs(qPrintable(text + u'\n'), stdout);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("vexa-monitor's cost and figures for a plant's worth of targets."));
    parser.addHelpOption();
    const QCommandLineOption secondsOption("seconds", "How long to measure (default 60).", "s", "60");
    const QCommandLineOption targetsOption("targets", "How many targets (default 500).", "n", "500");
    const QCommandLineOption intervalOption("interval-ms", "Each target's interval (default 1000).", "ms",
                                            "1000");
    const QCommandLineOption scrapeOption(
        "scrape-s", "Read /metrics this often, as Prometheus would (default 15).", "s", "15");
    parser.addOptions({secondsOption, targetsOption, intervalOption, scrapeOption});
    parser.process(app);
    const int seconds = parser.value(secondsOption).toInt();
    const int targetCount = parser.value(targetsOption).toInt();
    const int intervalMs = parser.value(intervalOption).toInt();
    const int scrapeS = std::max(1, parser.value(scrapeOption).toInt());
    if (seconds <= 0 || targetCount <= 0 || intervalMs < 10) {
        std::fputs("vexa-monitor-bench: --seconds, --targets above 0, --interval-ms at least 10\n", stderr);
        return 2;
    }

    std::vector<std::unique_ptr<ModuleSimProcess>> sims;
    for (int i = 0; i < kSims; ++i) {
        sims.push_back(std::make_unique<ModuleSimProcess>(
            QLatin1String(kSimAddresses[i]),
            QStringList{"--tcp-port", "0", "--udp-port", "0", "--delay", QString::number(kSimDelaysMs[i])}));
        if (!sims.back()->start()) {
            std::fprintf(stderr, "vexa-monitor-bench: the simulator on %s did not start: %s\n",
                         kSimAddresses[i], qPrintable(sims.back()->output()));
            return 1;
        }
    }

    QTemporaryDir dir;
    QFile request(dir.filePath("read.vexa"));
    if (!dir.isValid() || !request.open(QIODevice::WriteOnly))
        return 1;
    request.write(R"({"format": "vexa-request", "version": 1})");
    request.close();
    std::vector<TargetPlan> plans;
    QByteArray config;
    for (int i = 0; i < targetCount; ++i) {
        // Several targets per simulator, half of them over UDP.
        TargetPlan plan{QStringLiteral("t%1").arg(i + 1, 3, 10, QLatin1Char('0')), i % kSims,
                        (i / kSims) % 2 ? QStringLiteral("udp") : QStringLiteral("tcp")};
        const ModuleSimProcess& sim = *sims[size_t(plan.sim)];
        const quint16 port = plan.protocol == QLatin1String("udp") ? sim.udpPort() : sim.tcpPort();
        config += QStringLiteral(
                      "[%1]\nhost = %2\nprotocol = %3\nport = %4\nrequest = read.vexa\ninterval = %5ms\n\n")
                      .arg(plan.name, QLatin1String(kSimAddresses[plan.sim]), plan.protocol,
                           QString::number(port), QString::number(intervalMs))
                      .toUtf8();
        plans.push_back(plan);
    }
    QFile targets(dir.filePath("targets.conf"));
    if (!targets.open(QIODevice::WriteOnly) || targets.write(config) != config.size())
        return 1;
    targets.close();

    harness::MonitorProcess monitor(VEXA_MONITOR_PATH,
                                    {"--listen", kMonitorAddress + ":0", dir.filePath("targets.conf")});
    if (!monitor.start()) {
        std::fprintf(stderr, "vexa-monitor-bench: the monitor did not start: %s\n",
                     qPrintable(monitor.errorOutput()));
        return 1;
    }
    const ProcessTimes started = processTimes(monitor.pid());

    // Warm-up: every target connected and through its first slots.
    QThread::sleep(5);
    std::optional<harness::MetricsPage> first = monitor.metrics();
    QElapsedTimer clock;
    clock.start();
    const ProcessTimes before = processTimes(monitor.pid());
    if (!first) {
        std::fputs("vexa-monitor-bench: no metrics from the monitor\n", stderr);
        return 1;
    }
    qint64 slowestScrapeMs = 0;
    while (clock.elapsed() < qint64(seconds) * 1000) {
        QThread::msleep(static_cast<unsigned long>(
            std::min<qint64>(qint64(scrapeS) * 1000, qint64(seconds) * 1000 - clock.elapsed())));
        if (clock.elapsed() >= qint64(seconds) * 1000)
            break;
        QElapsedTimer scrape;
        scrape.start();
        monitor.metrics();
        slowestScrapeMs = std::max(slowestScrapeMs, scrape.elapsed());
    }
    const ProcessTimes after = processTimes(monitor.pid());
    QElapsedTimer scrape;
    scrape.start();
    const std::optional<harness::MetricsPage> last = monitor.metrics();
    slowestScrapeMs = std::max(slowestScrapeMs, scrape.elapsed());
    const double wallS = double(clock.elapsed()) / 1000.0;
    if (!last) {
        std::fputs("vexa-monitor-bench: no metrics from the monitor at the end\n", stderr);
        return 1;
    }

    print(QStringLiteral(
              "vexa-monitor-bench: %1 targets (%2 simulators, half TCP, half UDP), a request every %3 ms "
              "each, measured for %4 s after a 5 s warm-up")
              .arg(targetCount)
              .arg(kSims)
              .arg(intervalMs)
              .arg(wallS, 0, 'f', 1));
    print(QStringLiteral("monitor CPU: %1 % of one core (%2 s user+system in %3 s)")
              .arg(100.0 * (after.cpuSeconds - before.cpuSeconds) / wallS, 0, 'f', 2)
              .arg(after.cpuSeconds - before.cpuSeconds, 0, 'f', 2)
              .arg(wallS, 0, 'f', 1));
    print(QStringLiteral(
              "monitor RSS: %1 MiB at start, %2 MiB after the warm-up, %3 MiB at the end; %4 descriptors")
              .arg(double(started.rssKiB) / 1024.0, 0, 'f', 1)
              .arg(double(before.rssKiB) / 1024.0, 0, 'f', 1)
              .arg(double(after.rssKiB) / 1024.0, 0, 'f', 1)
              .arg(after.descriptors));
    print(QStringLiteral("slowest /metrics read: %1 ms (one every %2 s)").arg(slowestScrapeMs).arg(scrapeS));

    const double expected = wallS * 1000.0 / intervalMs;
    double worstDeviation = 0;
    double lostTotal = 0;
    double sentTotal = 0;
    print(
        QStringLiteral("\n delay  proto targets   p50 min/median/max ms   mean min/max ms   sent per target "
                       "min/max (expected %1)")
            .arg(expected, 0, 'f', 1));
    for (int s = 0; s < kSims; ++s) {
        for (const QString& protocol : {QStringLiteral("tcp"), QStringLiteral("udp")}) {
            std::vector<double> medians, means, sends;
            for (const TargetPlan& plan : plans) {
                if (plan.sim != s || plan.protocol != protocol)
                    continue;
                const harness::MetricLabels labels{{"target", plan.name}};
                const double sent = last->value("vexa_requests_sent_total", labels).value_or(0)
                    - first->value("vexa_requests_sent_total", labels).value_or(0);
                const double lost = last->value("vexa_requests_lost_total", labels).value_or(0)
                    - first->value("vexa_requests_lost_total", labels).value_or(0);
                const double count = last->value("vexa_round_trip_seconds_count", labels).value_or(0);
                const double sum = last->value("vexa_round_trip_seconds_sum", labels).value_or(0);
                sends.push_back(sent);
                sentTotal += sent;
                lostTotal += lost;
                worstDeviation = std::max(worstDeviation, std::abs(sent - expected) / expected);
                medians.push_back(last->quantile(0.5, "vexa_round_trip_seconds", labels).value_or(0)
                                  * 1000.0);
                means.push_back(count > 0 ? sum / count * 1000.0 : 0);
            }
            if (sends.empty())
                continue;
            print(QStringLiteral("%1 ms  %2   %3   %4 / %5 / %6   %7 / %8   %9 / %10")
                      .arg(kSimDelaysMs[s], 3)
                      .arg(protocol)
                      .arg(sends.size(), 5)
                      .arg(percentile(medians, 0), 6, 'f', 3)
                      .arg(percentile(medians, 0.5), 6, 'f', 3)
                      .arg(percentile(medians, 1), 6, 'f', 3)
                      .arg(percentile(means, 0), 6, 'f', 3)
                      .arg(percentile(means, 1), 6, 'f', 3)
                      .arg(percentile(sends, 0), 0, 'f', 0)
                      .arg(percentile(sends, 1), 0, 'f', 0));
        }
    }
    print(QStringLiteral(
              "\nsent %1 requests, %2 lost; worst deviation of a target's sends from duration/interval: "
              "%3 % (one request is %4 %)")
              .arg(sentTotal, 0, 'f', 0)
              .arg(lostTotal, 0, 'f', 0)
              .arg(100.0 * worstDeviation, 0, 'f', 2)
              .arg(100.0 / expected, 0, 'f', 2));
    const int status = monitor.stop();
    return status == 0 ? 0 : 1;
}
