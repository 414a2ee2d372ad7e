// SPDX-License-Identifier: GPL-3.0-or-later
// vexa-monitor as a service runs: a process on a targets file, against the
// module simulator, judged by the metrics it serves over HTTP, its exit
// status and its log lines.
#include "harness/metrics_page.h"
#include "harness/module_sim_process.h"
#include "harness/monitor_process.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <csignal>

using harness::MetricLabels;
using harness::MetricsPage;
using harness::MonitorProcess;

namespace {

// A request file of the default texts, TCP unless the target says otherwise.
const QByteArray kRequestFile = R"({"format": "vexa-request", "version": 1})";

// The simulator on free ports of its own loopback address.
struct Simulator {
    Simulator(const QString& address, const QStringList& switches)
        : process(address, QStringList{"--tcp-port", "0", "--udp-port", "0"} + switches)
    {
    }
    bool start() { return process.start() && process.tcpPort() != 0; }
    QString port(const QString& protocol) const
    {
        return QString::number(protocol == QLatin1String("udp") ? process.udpPort() : process.tcpPort());
    }
    ModuleSimProcess process;
};

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// A folder with the request file and a targets file of `targets`.
struct ConfigDir {
    explicit ConfigDir(const QByteArray& targets)
    {
        ok = dir.isValid() && writeFile(dir.filePath("read.vexa"), kRequestFile) && rewrite(targets);
    }
    bool rewrite(const QByteArray& targets) { return writeFile(path(), targets); }
    QString path() const { return dir.filePath("targets.conf"); }
    QTemporaryDir dir;
    bool ok = false;
};

QByteArray target(const QString& name, const QString& host, const QString& protocol, const QString& port,
                  const QByteArray& more = {})
{
    return QStringLiteral("[%1]\nhost = %2\nprotocol = %3\nport = %4\nrequest = read.vexa\n")
               .arg(name, host, protocol, port)
               .toUtf8()
        + more + '\n';
}

QStringList monitorArguments(const QString& listenHost, const QString& config)
{
    return {"--listen", listenHost + QStringLiteral(":0"), config};
}

// A value from the monitor's page, -1 when it cannot be had (so that a
// QTRY_VERIFY on it keeps waiting).
double valueOf(const MonitorProcess& monitor, const QString& name, const MetricLabels& labels)
{
    const std::optional<MetricsPage> page = monitor.metrics();
    if (!page)
        return -1;
    return page->value(name, labels).value_or(-1);
}

MetricLabels targetLabel(const QString& name)
{
    return {{"target", name}};
}

} // namespace

class TestMonitorProcess : public QObject {
    Q_OBJECT
private slots:
    void metricsAgainstTheSimulator_data();
    void metricsAgainstTheSimulator();
    void scheduleHoldsWhateverTheReplies_data();
    void scheduleHoldsWhateverTheReplies();
    void refusedAtStart_data();
    void refusedAtStart();
    void reloadKeepsWhatStays();
    void connectionTroubleIsRetried();
};

void TestMonitorProcess::metricsAgainstTheSimulator_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("protocol");
    QTest::addColumn<QStringList>("simulator");
    QTest::addColumn<double>("leastLoss");
    QTest::addColumn<double>("mostLoss");
    // The check every reply fails; none when empty.
    QTest::addColumn<QString>("failedCheck");

    // 80 requests at 20 % each: the loss ratio lies within three standard
    // deviations of 0.2.
    QTest::newRow("TCP, replies 5 ms late, a fifth of them lost")
        << "127.0.0.222"
        << "tcp" << QStringList{"--delay", "5", "--loss", "20", "--seed", "7"} << 0.06 << 0.36 << QString();
    QTest::newRow("UDP, replies 5 ms late, a fifth of them lost")
        << "127.0.0.223"
        << "udp" << QStringList{"--delay", "5", "--loss", "20", "--seed", "7"} << 0.06 << 0.36 << QString();
    QTest::newRow("UDP, replies two bytes longer than their length field")
        << "127.0.0.224"
        << "udp" << QStringList{"--delay", "5", "--extra", "2"} << 0.0 << 0.0 << "length";
}

void TestMonitorProcess::metricsAgainstTheSimulator()
{
    QFETCH(QString, address);
    QFETCH(QString, protocol);
    QFETCH(QStringList, simulator);
    Simulator sim(address, simulator);
    QVERIFY2(sim.start(), qPrintable(sim.process.output()));
    ConfigDir config(target("press-1", address, protocol, sim.port(protocol),
                            "interval = 50ms\nreply-timeout = 40ms\nlabel.site = north\n"));
    QVERIFY(config.ok);
    MonitorProcess monitor(VEXA_MONITOR_PATH, monitorArguments(address, config.path()));
    QVERIFY2(monitor.start(), qPrintable(monitor.errorOutput()));

    const MetricLabels labels{
        {"target", "press-1"}, {"host", address}, {"protocol", protocol}, {"site", "north"}};
    QTRY_VERIFY_WITH_TIMEOUT(valueOf(monitor, "vexa_requests_sent_total", labels) >= 80, 20000);
    const std::optional<MetricsPage> page = monitor.metrics();
    QVERIFY(page);
    auto value = [&](const char* name, MetricLabels with = {}) {
        with.insert(labels);
        const std::optional<double> found = page->value(QLatin1String(name), with);
        return found ? *found : -1.0;
    };
    const double sent = value("vexa_requests_sent_total");
    const double replies = value("vexa_replies_total");
    const double lost = value("vexa_requests_lost_total");
    // One request may be in flight as the page is read.
    QVERIFY2(sent - replies - lost >= 0 && sent - replies - lost <= 1,
             qPrintable(QStringLiteral("%1 sent, %2 replies, %3 lost").arg(sent).arg(replies).arg(lost)));
    QFETCH(double, leastLoss);
    QFETCH(double, mostLoss);
    QVERIFY2(lost / sent >= leastLoss && lost / sent <= mostLoss, qPrintable(QString::number(lost / sent)));
    QCOMPARE(value("vexa_replies_late_total"), 0.0);
    QCOMPARE(value("vexa_replies_unexpected_total"), 0.0);
    QCOMPARE(value("vexa_target_connected"), 1.0);
    QCOMPARE(value("vexa_connection_attempts_total"), 1.0);
    QCOMPARE(value("vexa_connection_failures_total"), 0.0);
    const double now = double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
    QVERIFY(qAbs(now - value("vexa_last_reply_timestamp_seconds")) < 10);

    QFETCH(QString, failedCheck);
    for (const char* check : {"short", "checksum", "length", "company_id", "invoke_id"}) {
        const double failures = value("vexa_reply_check_failures_total", {{"check", check}});
        QCOMPARE(failures, failedCheck == QLatin1String(check) ? replies : 0.0);
    }
    const double observed = value("vexa_round_trip_seconds_count");
    if (!failedCheck.isEmpty()) {
        // A reply that fails a check has no round trip worth plotting.
        QCOMPARE(observed, 0.0);
    } else {
        QCOMPARE(observed, replies);
        const std::optional<double> median = page->quantile(0.5, "vexa_round_trip_seconds", labels);
        QVERIFY(median);
        // The simulator's 5 ms and the loopback's fraction of one, within
        // the resolution of the buckets.
        QVERIFY2(*median >= 0.0045 && *median <= 0.0075, qPrintable(QString::number(*median)));
        const double mean = value("vexa_round_trip_seconds_sum") / observed;
        QVERIFY2(mean >= 0.005 && mean <= 0.009, qPrintable(QString::number(mean)));
        // The resolution promised: bounds from 100 µs past 10 s, none more
        // than 2^(1/4) and a rounding above the one before, written short.
        QList<double> bounds;
        for (const harness::MetricSample& bucket : page->samples("vexa_round_trip_seconds_bucket", labels)) {
            const QString le = bucket.labels.value("le");
            QVERIFY2(le == QLatin1String("+Inf") || le.size() <= 8, qPrintable(le));
            if (le != QLatin1String("+Inf"))
                bounds << le.toDouble();
        }
        std::sort(bounds.begin(), bounds.end());
        QVERIFY(!bounds.isEmpty());
        QCOMPARE(bounds.front(), 0.0001);
        QVERIFY(bounds.back() >= 10);
        for (qsizetype i = 1; i < bounds.size(); ++i)
            QVERIFY2(bounds[i] / bounds[i - 1] > 1.1 && bounds[i] / bounds[i - 1] < 1.2,
                     qPrintable(QString::number(bounds[i])));
    }
    // Steady state says nothing: the start, the connection, and no more.
    QCOMPARE(monitor.errorOutput().count(u'\n'), 2);
    QCOMPARE(monitor.stop(), 0);
}

void TestMonitorProcess::scheduleHoldsWhateverTheReplies_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("protocol");
    QTest::addColumn<QStringList>("simulator");

    // Were each request sent an interval after the last one's fate, these
    // would go at 12 and 15 a second instead of 20.
    QTest::newRow("TCP, replies taking 30 of the 50 ms") << "127.0.0.228"
                                                         << "tcp" << QStringList{"--delay", "30"};
    QTest::newRow("UDP, half the replies lost, each waited for 30 ms")
        << "127.0.0.229"
        << "udp" << QStringList{"--loss", "50", "--seed", "3"};
}

void TestMonitorProcess::scheduleHoldsWhateverTheReplies()
{
    QFETCH(QString, address);
    QFETCH(QString, protocol);
    QFETCH(QStringList, simulator);
    Simulator sim(address, simulator);
    QVERIFY2(sim.start(), qPrintable(sim.process.output()));
    ConfigDir config(
        target("slow", address, protocol, sim.port(protocol), "interval = 50ms\nreply-timeout = 30ms\n"));
    QVERIFY(config.ok);
    MonitorProcess monitor(VEXA_MONITOR_PATH, monitorArguments(address, config.path()));
    QVERIFY2(monitor.start(), qPrintable(monitor.errorOutput()));
    QTRY_VERIFY_WITH_TIMEOUT(valueOf(monitor, "vexa_requests_sent_total", targetLabel("slow")) >= 2, 10000);

    QElapsedTimer clock;
    clock.start();
    const double first = valueOf(monitor, "vexa_requests_sent_total", targetLabel("slow"));
    QTRY_VERIFY_WITH_TIMEOUT(clock.elapsed() >= 3000, 5000);
    const double last = valueOf(monitor, "vexa_requests_sent_total", targetLabel("slow"));
    const double perSecond = (last - first) * 1000.0 / double(clock.elapsed());
    QVERIFY2(perSecond >= 18 && perSecond <= 21, qPrintable(QString::number(perSecond)));
}

void TestMonitorProcess::refusedAtStart_data()
{
    QTest::addColumn<QByteArray>("targets");
    // Options before the file; "LISTEN" stands for an address whose port is
    // taken.
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("fileName"); // the targets file given, in the test's folder
    QTest::addColumn<QStringList>("message"); // parts of the one line said

    const QByteArray good = "[a]\nhost = 127.0.0.225\nrequest = read.vexa\n";
    QTest::newRow("a request file that does not exist")
        << QByteArray("[a]\nhost = 127.0.0.225\nrequest = raed.vexa\n") << QStringList() << "targets.conf"
        << QStringList{"targets.conf:3: the request file ", "raed.vexa does not exist"};
    QTest::newRow("a request text that cannot be sent")
        << QByteArray("[a]\nhost = 127.0.0.225\nrequest = bad.vexa\n") << QStringList() << "targets.conf"
        << QStringList{"targets.conf:3: the request file ", "bad.vexa cannot be used: Command: \"5X00\""};
    QTest::newRow("a host that is neither address nor name")
        << QByteArray("[a]\nhost = 127.0.0.256\nrequest = read.vexa\n") << QStringList() << "targets.conf"
        << QStringList{"targets.conf:2: host \"127.0.0.256\" is not an IP address or a host name"};
    QTest::newRow("two targets of one name")
        << good + "[a]\n"
        << QStringList() << "targets.conf" << QStringList{"targets.conf:4: a second target named \"a\""};
    QTest::newRow("an unknown key") << good + "reply_timeout = 1s\n"
                                    << QStringList() << "targets.conf"
                                    << QStringList{"targets.conf:4: unknown key \"reply_timeout\""};
    QTest::newRow("a bad duration") << good + "interval = 1 sec\n"
                                    << QStringList() << "targets.conf"
                                    << QStringList{"targets.conf:4: interval \"1 sec\" is not a duration"};
    QTest::newRow("no targets file") << good << QStringList() << "nowhere.conf"
                                     << QStringList{"nowhere.conf: cannot read it"};
    QTest::newRow("a --listen port in use") << good << QStringList{"--listen", "LISTEN"} << "targets.conf"
                                            << QStringList{"cannot listen on 127.0.0.225:"};
    QTest::newRow("a --listen address that is not IPv4")
        << good << QStringList{"--listen", "localhost:9720"} << "targets.conf"
        << QStringList{"--listen wants HOST:PORT, an IPv4 address and a port", "got \"localhost:9720\""};
}

void TestMonitorProcess::refusedAtStart()
{
    QFETCH(QByteArray, targets);
    QFETCH(QStringList, options);
    QFETCH(QString, fileName);
    QFETCH(QStringList, message);
    ConfigDir config(targets);
    QVERIFY(config.ok);
    QVERIFY(writeFile(config.dir.filePath("bad.vexa"),
                      R"({"format": "vexa-request", "version": 1, "request": {"command": "5X00"}})"));
    QTcpServer busy;
    QVERIFY(busy.listen(QHostAddress("127.0.0.225"), 0));
    options.replaceInStrings("LISTEN", QStringLiteral("127.0.0.225:%1").arg(busy.serverPort()));

    MonitorProcess monitor(VEXA_MONITOR_PATH, options << config.dir.filePath(fileName));
    QCOMPARE(monitor.runToEnd(), 2);
    const QString said = monitor.errorOutput();
    QVERIFY2(said.startsWith(QLatin1String("vexa-monitor: ")), qPrintable(said));
    for (const QString& part : message)
        QVERIFY2(said.contains(part), qPrintable(said));
    QVERIFY2(!said.contains(QLatin1String("serving")), qPrintable(said));
}

void TestMonitorProcess::reloadKeepsWhatStays()
{
    const QString address = QStringLiteral("127.0.0.226");
    Simulator sim(address, {"--delay", "1"});
    QVERIFY2(sim.start(), qPrintable(sim.process.output()));
    const QString tcp = sim.port("tcp");
    ConfigDir config(target("kept", address, "tcp", tcp, "interval = 100ms\n")
                     + target("changed", address, "tcp", tcp, "interval = 100ms\nlabel.site = north\n")
                     + target("removed", address, "udp", sim.port("udp"), "interval = 100ms\n"));
    QVERIFY(config.ok);
    MonitorProcess monitor(VEXA_MONITOR_PATH, monitorArguments(address, config.path()));
    QVERIFY2(monitor.start(), qPrintable(monitor.errorOutput()));
    QTRY_VERIFY_WITH_TIMEOUT(valueOf(monitor, "vexa_replies_total", targetLabel("kept")) >= 5
                                 && valueOf(monitor, "vexa_replies_total", targetLabel("changed")) >= 5,
                             10000);
    const double keptBefore = valueOf(monitor, "vexa_replies_total", targetLabel("kept"));
    const double changedBefore = valueOf(monitor, "vexa_replies_total", targetLabel("changed"));

    // Another interval for one, another target in place of the UDP one.
    QVERIFY(config.rewrite(target("kept", address, "tcp", tcp, "interval = 100ms\n")
                           + target("changed", address, "tcp", tcp, "interval = 200ms\nlabel.site = north\n")
                           + target("added", address, "tcp", tcp, "interval = 100ms\n")));
    monitor.sendSignal(SIGHUP);
    QVERIFY2(monitor.waitForLines("reloaded", 1), qPrintable(monitor.errorOutput()));
    QVERIFY2(monitor.errorOutput().contains("3 targets; 2 kept (1 with new settings), 1 added, 1 removed"),
             qPrintable(monitor.errorOutput()));
    std::optional<MetricsPage> page = monitor.metrics();
    QVERIFY(page);
    QVERIFY(page->value("vexa_replies_total", targetLabel("kept")).value_or(-1) >= keptBefore);
    QVERIFY(page->value("vexa_replies_total", targetLabel("changed")).value_or(-1) >= changedBefore);
    // The unchanged target kept its connection; the changed one opened a
    // new one, counted on the same counter.
    QCOMPARE(page->value("vexa_connection_attempts_total", targetLabel("kept")), 1.0);
    QTRY_COMPARE(valueOf(monitor, "vexa_connection_attempts_total", targetLabel("changed")), 2.0);
    QVERIFY(page->samples("vexa_requests_sent_total", targetLabel("removed")).isEmpty());
    QVERIFY(page->samples("vexa_round_trip_seconds_bucket", targetLabel("removed")).isEmpty());
    QTRY_VERIFY(valueOf(monitor, "vexa_replies_total", targetLabel("added")) >= 1);
    QCOMPARE(page->value("vexa_monitor_config_reloads_total", {{"result", "success"}}), 1.0);
    QCOMPARE(page->value("vexa_monitor_config_reloads_total", {{"result", "failure"}}), 0.0);
    QCOMPARE(page->value("vexa_monitor_config_last_reload_successful"), 1.0);

    // A file that cannot be used leaves the targets running as they were.
    QVERIFY(config.rewrite("[kept]\nhots = 127.0.0.226\n"));
    const double keptSent = valueOf(monitor, "vexa_requests_sent_total", targetLabel("kept"));
    monitor.sendSignal(SIGHUP);
    QVERIFY2(monitor.waitForLines("reload refused", 1), qPrintable(monitor.errorOutput()));
    QVERIFY2(monitor.errorOutput().contains("targets.conf:2: unknown key \"hots\""),
             qPrintable(monitor.errorOutput()));
    QTRY_VERIFY(valueOf(monitor, "vexa_requests_sent_total", targetLabel("kept")) > keptSent + 3);
    page = monitor.metrics();
    QVERIFY(page);
    QVERIFY(!page->samples("vexa_requests_sent_total", targetLabel("added")).isEmpty());
    QCOMPARE(page->value("vexa_monitor_config_reloads_total", {{"result", "failure"}}), 1.0);
    QCOMPARE(page->value("vexa_monitor_config_last_reload_successful"), 0.0);
    QCOMPARE(monitor.stop(), 0);
}

void TestMonitorProcess::connectionTroubleIsRetried()
{
    const QString address = QStringLiteral("127.0.0.227");
    Simulator sim(address, {"--close-after", "3"});
    QVERIFY2(sim.start(), qPrintable(sim.process.output()));
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress(address), 0));
    const QString closedPort = QString::number(closed.serverPort());
    closed.close();
    ConfigDir config(target("closing", address, "tcp", sim.port("tcp"), "interval = 100ms\n")
                     + target("refused", address, "tcp", closedPort, "interval = 100ms\n")
                     + target("unknown", "no-such-module.invalid", "udp", "2005", "interval = 100ms\n"));
    QVERIFY(config.ok);
    MonitorProcess monitor(VEXA_MONITOR_PATH, monitorArguments(address, config.path()));
    QVERIFY2(monitor.start(), qPrintable(monitor.errorOutput()));

    // Closed after three replies, and opened again a second later: a new
    // session answers, and answers again.
    QTRY_VERIFY_WITH_TIMEOUT(valueOf(monitor, "vexa_replies_total", targetLabel("closing")) >= 7, 15000);
    const std::optional<MetricsPage> page = monitor.metrics();
    QVERIFY(page);
    QVERIFY(page->value("vexa_connection_attempts_total", targetLabel("closing")).value_or(0) >= 3);
    QCOMPARE(page->value("vexa_connection_failures_total", targetLabel("closing")), 0.0);
    const QString log = monitor.errorOutput();
    QVERIFY2(log.contains("closing: disconnected from 127.0.0.227 tcp port " + sim.port("tcp")
                          + ": the module closed the connection; trying again in 1 s"),
             qPrintable(log));

    // Refused, and tried again after 1 s, then 2 s.
    QTRY_VERIFY(valueOf(monitor, "vexa_connection_failures_total", targetLabel("refused")) >= 2);
    QCOMPARE(valueOf(monitor, "vexa_target_connected", targetLabel("refused")), 0.0);
    QVERIFY2(monitor.errorOutput().contains("refused: cannot connect to 127.0.0.227 tcp port " + closedPort
                                            + ": Connection refused; trying again in 2 s"),
             qPrintable(monitor.errorOutput()));

    // A name that does not resolve is a failure of the session, not of the
    // monitor.
    QTRY_VERIFY(valueOf(monitor, "vexa_connection_failures_total", targetLabel("unknown")) >= 1);
    QCOMPARE(valueOf(monitor, "vexa_replies_total", targetLabel("unknown")), 0.0);
    QCOMPARE(monitor.stop(), 0);
}

QTEST_GUILESS_MAIN(TestMonitorProcess)
#include "tst_monitor_process.moc"
