// SPDX-License-Identifier: GPL-3.0-or-later
// vexa-monitor scraped by a real Prometheus server: three simulated modules
// with their own delays and losses, the monitor, and Prometheus scraping it
// every second, all on loopback; the figures asked of Prometheus's API must
// be the ones the simulators were told, and a module that goes away and
// comes back must come back in them.
#include "harness/http_get.h"
#include "harness/module_sim_process.h"
#include "harness/monitor_process.h"
#include "harness/stop_process.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

#include <cmath>
#include <memory>
#include <optional>

namespace {

const QString kPrometheus = QStringLiteral("/usr/bin/prometheus");
const QString kMonitorAddress = QStringLiteral("127.0.0.233");

struct Module {
    const char* name;
    QString address;
    const char* protocol;
    QStringList switches;
    double delayS; // what the simulator adds to every reply
    double leastLoss, mostLoss;
};

// A request every 100 ms for about 15 s: 150 requests each. The loss
// margins are three standard deviations of that many; the delay margins
// cover the loopback's share and the buckets' resolution on a loaded
// machine.
const Module kModules[] = {
    {"steady", QStringLiteral("127.0.0.230"), "tcp", {"--delay", "5"}, 0.005, 0.0, 0.01},
    {"lossy",
     QStringLiteral("127.0.0.231"),
     "tcp",
     {"--delay", "20", "--loss", "10", "--seed", "11"},
     0.020,
     0.03,
     0.18},
    {"datagrams",
     QStringLiteral("127.0.0.232"),
     "udp",
     {"--delay", "2", "--loss", "30", "--seed", "5"},
     0.002,
     0.19,
     0.41},
};

quint16 freePort(const QString& address)
{
    QTcpServer server;
    if (!server.listen(QHostAddress(address), 0))
        return 0;
    return server.serverPort();
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

class PrometheusServer {
public:
    PrometheusServer(const QString& dir, const QString& address, const QString& scrapeTarget)
        : m_address(address)
        , m_port(freePort(address))
    {
        m_configOk = writeFile(dir + QStringLiteral("/prometheus.yml"),
                               QStringLiteral("global:\n"
                                              "  scrape_interval: 1s\n"
                                              "  evaluation_interval: 1s\n"
                                              "scrape_configs:\n"
                                              "  - job_name: vexa\n"
                                              "    static_configs:\n"
                                              "      - targets: ['%1']\n")
                                   .arg(scrapeTarget)
                                   .toUtf8());
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(kPrometheus,
                        {"--config.file=" + dir + "/prometheus.yml", "--storage.tsdb.path=" + dir + "/data",
                         QStringLiteral("--web.listen-address=%1:%2").arg(address).arg(m_port),
                         "--log.level=warn"});
    }

    ~PrometheusServer() { stopProcess(m_process, 10000); }

    // Waits until it answers that it is ready.
    bool waitReady(int timeoutMs)
    {
        const QDeadlineTimer deadline(timeoutMs);
        while (m_configOk && !deadline.hasExpired() && m_process.state() != QProcess::NotRunning) {
            const auto reply = harness::httpGet(m_address, m_port, "/-/ready", 1000);
            if (reply && reply->status == 200)
                return true;
            m_process.waitForFinished(200);
        }
        return false;
    }

    // An instant query's one value; nothing when it has none (yet), or is
    // NaN, as a quantile of no observations is.
    std::optional<double> query(const QString& expression) const
    {
        const auto reply =
            harness::httpGet(m_address, m_port, "/api/v1/query?query=" + QUrl::toPercentEncoding(expression));
        if (!reply || reply->status != 200)
            return std::nullopt;
        const QJsonArray result = QJsonDocument::fromJson(reply->body)["data"]["result"].toArray();
        if (result.size() != 1)
            return std::nullopt;
        bool ok = false;
        const double value = result[0]["value"].toArray()[1].toString().toDouble(&ok);
        if (!ok || std::isnan(value))
            return std::nullopt;
        return value;
    }

    QString output() { return QString::fromLocal8Bit(m_process.readAll()); }

private:
    QString m_address;
    quint16 m_port;
    bool m_configOk = false;
    QProcess m_process;
};

// -1 while Prometheus has no value, so that a QTRY keeps waiting.
double valueOf(const PrometheusServer& prometheus, const QString& expression)
{
    return prometheus.query(expression).value_or(-1);
}

QString medianOf(const char* target)
{
    return QStringLiteral(
               "histogram_quantile(0.5, sum by (le) (rate(vexa_round_trip_seconds_bucket{target=\"%1\"}"
               "[10s])))")
        .arg(QLatin1String(target));
}

QString lossRatioOf(const char* target)
{
    // Over the whole run: the counters started with it.
    return QStringLiteral("sum(increase(vexa_requests_lost_total{target=\"%1\"}[1m])) / "
                          "sum(increase(vexa_requests_sent_total{target=\"%1\"}[1m]))")
        .arg(QLatin1String(target));
}

} // namespace

class TestMonitorPrometheus : public QObject {
    Q_OBJECT
private slots:
    void figuresInPrometheus();
};

void TestMonitorPrometheus::figuresInPrometheus()
{
    if (!QFileInfo(kPrometheus).isExecutable())
        QSKIP(
            "/usr/bin/prometheus is not installed (Debian package prometheus; scripts/test.sh installs it)");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeFile(dir.filePath("read.vexa"), R"({"format": "vexa-request", "version": 1})"));

    std::vector<std::unique_ptr<ModuleSimProcess>> sims;
    QByteArray targets;
    for (const Module& m : kModules) {
        sims.push_back(std::make_unique<ModuleSimProcess>(
            m.address, QStringList{"--tcp-port", "0", "--udp-port", "0"} + m.switches));
        QVERIFY2(sims.back()->start(), qPrintable(sims.back()->output()));
        const quint16 port = QLatin1String(m.protocol) == QLatin1String("udp") ? sims.back()->udpPort()
                                                                               : sims.back()->tcpPort();
        targets +=
            QStringLiteral("[%1]\nhost = %2\nprotocol = %3\nport = %4\nrequest = read.vexa\n"
                           "interval = 100ms\nreply-timeout = 90ms\nlabel.site = test\n\n")
                .arg(QLatin1String(m.name), m.address, QLatin1String(m.protocol), QString::number(port))
                .toUtf8();
    }
    QVERIFY(writeFile(dir.filePath("targets.conf"), targets));
    harness::MonitorProcess monitor(VEXA_MONITOR_PATH,
                                    {"--listen", kMonitorAddress + ":0", dir.filePath("targets.conf")});
    QVERIFY2(monitor.start(), qPrintable(monitor.errorOutput()));

    PrometheusServer prometheus(dir.path(), kMonitorAddress,
                                QStringLiteral("%1:%2").arg(monitor.host()).arg(monitor.port()));
    QVERIFY2(prometheus.waitReady(20000), qPrintable(prometheus.output()));
    QTRY_COMPARE_WITH_TIMEOUT(valueOf(prometheus, "up{job=\"vexa\"}"), 1.0, 10000);

    // Fifteen scrapes of each target.
    QTRY_VERIFY_WITH_TIMEOUT(valueOf(prometheus, "min(count_over_time(vexa_requests_sent_total[1m]))") >= 15,
                             30000);
    for (const Module& m : kModules) {
        const QString what = QLatin1String(m.name);
        const double median = valueOf(prometheus, medianOf(m.name));
        QVERIFY2(median >= m.delayS * 0.9 && median <= m.delayS * 1.3 + 0.001,
                 qPrintable(QStringLiteral("%1: median %2 s").arg(what).arg(median)));
        const double loss = valueOf(prometheus, lossRatioOf(m.name));
        QVERIFY2(loss >= m.leastLoss && loss <= m.mostLoss,
                 qPrintable(QStringLiteral("%1: loss ratio %2").arg(what).arg(loss)));
    }
    // The same buckets for every target: one quantile over the whole fleet.
    // Its slowest percent are the lossy module's 20 ms replies.
    const double fleetP99 = valueOf(
        prometheus, "histogram_quantile(0.99, sum by (le) (rate(vexa_round_trip_seconds_bucket[10s])))");
    QVERIFY2(fleetP99 >= 0.018 && fleetP99 <= 0.027, qPrintable(QString::number(fleetP99)));

    // The steady module goes away: the connection ends and is refused.
    const quint16 steadyPort = sims.front()->tcpPort();
    sims.front().reset();
    QTRY_COMPARE_WITH_TIMEOUT(valueOf(prometheus, "vexa_target_connected{target=\"steady\"}"), 0.0, 10000);
    const double repliesBefore = valueOf(prometheus, "vexa_replies_total{target=\"steady\"}");
    QVERIFY(repliesBefore > 0);

    // Back on its port, it is back in the figures within the backoff.
    sims.front() = std::make_unique<ModuleSimProcess>(
        kModules[0].address,
        QStringList{"--tcp-port", QString::number(steadyPort), "--udp-port", "0"} + kModules[0].switches);
    QVERIFY2(sims.front()->start(), qPrintable(sims.front()->output()));
    QTRY_COMPARE_WITH_TIMEOUT(valueOf(prometheus, "vexa_target_connected{target=\"steady\"}"), 1.0, 15000);
    QTRY_VERIFY_WITH_TIMEOUT(valueOf(prometheus, "vexa_replies_total{target=\"steady\"}") > repliesBefore + 5,
                             10000);
    QVERIFY(valueOf(prometheus, "vexa_connection_attempts_total{target=\"steady\"}") >= 2);
    QCOMPARE(monitor.stop(), 0);
}

QTEST_GUILESS_MAIN(TestMonitorPrometheus)
#include "tst_monitor_prometheus.moc"
