// SPDX-License-Identifier: GPL-3.0-or-later
// vexa-probe as a user runs it: a process against the module simulator or a
// loopback peer of the test's own, judged by its exit status, its output and
// the files it writes.
#include "harness/module_sim_process.h"
#include "net/socket_backends.h"

#include <QDir>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kRunMs = 60000;

struct ProbeResult {
    int exitCode = -1;
    bool crashed = false;
    QByteArray out;
    QByteArray err;
    QJsonObject json() const { return QJsonDocument::fromJson(out).object(); }
};

// Runs the probe to its end; the test's event loop is not needed meanwhile.
ProbeResult runProbe(const QStringList& arguments)
{
    QProcess process;
    process.start(QStringLiteral(VEXA_PROBE_PATH), arguments);
    ProbeResult result;
    if (!process.waitForStarted(kRunMs) || !process.waitForFinished(kRunMs)) {
        process.kill();
        process.waitForFinished();
        result.crashed = true;
    }
    result.exitCode = process.exitCode();
    result.crashed = result.crashed || process.exitStatus() != QProcess::NormalExit;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

// The simulator on free ports of its own loopback address.
struct Simulator {
    Simulator(const QString& address, const QStringList& switches)
        : process(address, QStringList{"--tcp-port", "0", "--udp-port", "0"} + switches)
    {
    }
    bool start()
    {
        if (!process.start())
            return false;
        tcp = QString::number(process.tcpPort());
        udp = QString::number(process.udpPort());
        return process.tcpPort() != 0;
    }
    // What it printed, for a failure message.
    QString output() const { return process.output(); }
    ModuleSimProcess process;
    QString tcp;
    QString udp;
};

// The port for the probe's arguments: UDP when they ask for it.
QStringList withPort(QStringList arguments, const Simulator& sim)
{
    return arguments << "--port" << (arguments.contains("--udp") ? sim.udp : sim.tcp);
}

// A port on `address` where nothing listens: bound once, then let go.
quint16 closedPort(const QString& address)
{
    QTcpServer server;
    if (!server.listen(QHostAddress(address), 0))
        return 0;
    const quint16 port = server.serverPort();
    server.close();
    return port;
}

QList<QByteArrayList> csvRows(const QString& path)
{
    QFile file(path);
    QList<QByteArrayList> rows;
    if (!file.open(QIODevice::ReadOnly))
        return rows;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (!line.isEmpty())
            rows << line.split(',');
    }
    return rows;
}

} // namespace

class TestProbeProcess : public QObject {
    Q_OBJECT
private slots:
    void counts_data();
    void counts();
    void misbehavingModule_data();
    void misbehavingModule();
    void exitStatus_data();
    void exitStatus();
    void connectTimeout();
    void csvAndJsonAgree();
    void outputNotWritten_data();
    void outputNotWritten();
    void plotFile_data();
    void plotFile();
    void interruptPrintsTheSummary_data();
    void interruptPrintsTheSummary();
    void deadlineEndsTheRun();
};

void TestProbeProcess::counts_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QStringList>("simulator");
    QTest::addColumn<QStringList>("probe");
    QTest::addColumn<int>("connections");
    QTest::addColumn<int>("sent");
    QTest::addColumn<int>("received");
    QTest::addColumn<int>("lost");
    QTest::addColumn<int>("failed");
    QTest::addColumn<double>("leastMedianMs");
    QTest::addColumn<double>("leastSeconds");

    QTest::newRow("TCP, replies 5 ms late")
        << "127.0.0.150" << QStringList{"--delay", "5"} << QStringList{"-c", "5", "-i", "0"} << 1 << 5 << 5
        << 0 << 0 << 5.0 << 0.0;
    QTest::newRow("UDP, replies 5 ms late")
        << "127.0.0.151" << QStringList{"--delay", "5"} << QStringList{"--udp", "-c", "5", "-i", "0"} << 1
        << 5 << 5 << 0 << 0 << 5.0 << 0.0;
    QTest::newRow("TCP, every 4th reply dropped")
        << "127.0.0.152" << QStringList{"--drop-every", "4"} << QStringList{"-c", "8", "-i", "0", "-W", "500"}
        << 1 << 8 << 6 << 2 << 0 << 0.0 << 0.0;
    QTest::newRow("UDP, every 4th reply dropped")
        << "127.0.0.153" << QStringList{"--drop-every", "4"}
        << QStringList{"--udp", "-c", "8", "-i", "0", "-W", "500"} << 1 << 8 << 6 << 2 << 0 << 0.0 << 0.0;
    QTest::newRow("TCP, every reply in three pieces")
        << "127.0.0.154" << QStringList{"--pieces", "3", "--piece-gap", "5"}
        << QStringList{"-c", "4", "-i", "0"} << 1 << 4 << 4 << 0 << 0 << 10.0 << 0.0;
    QTest::newRow("UDP, replies two bytes longer than their length field")
        << "127.0.0.155" << QStringList{"--extra", "2"} << QStringList{"--udp", "-c", "3", "-i", "0"} << 1
        << 3 << 3 << 0 << 3 << 0.0 << 0.0;
    QTest::newRow("TCP, paced by the interval")
        << "127.0.0.156" << QStringList{"--delay", "2"} << QStringList{"-c", "3", "-i", "100"} << 1 << 3 << 3
        << 0 << 0 << 2.0 << 0.2;
    QTest::newRow("TCP, three connections side by side")
        << "127.0.0.175" << QStringList{"--delay", "2"}
        << QStringList{"--connections", "3", "-c", "30", "-i", "0"} << 3 << 30 << 30 << 0 << 0 << 2.0 << 0.0;
}

void TestProbeProcess::counts()
{
    QFETCH(QString, address);
    QFETCH(QStringList, simulator);
    QFETCH(QStringList, probe);
    Simulator sim(address, simulator);
    QVERIFY2(sim.start(), qPrintable(sim.output()));

    const ProbeResult run = runProbe(withPort(probe, sim) << "--json" << address);
    QVERIFY(!run.crashed);
    const QJsonObject summary = run.json();
    QVERIFY2(!summary.isEmpty(), run.out + run.err);
    QTEST(summary["sent"].toInt(), "sent");
    QTEST(summary["received"].toInt(), "received");
    QTEST(summary["lost"].toInt(), "lost");
    QTEST(summary["failed"].toInt(), "failed");
    QCOMPARE(summary["unexpected"].toInt(), 0);
    QCOMPARE(summary["late"].toInt(), 0);

    QFETCH(int, lost);
    QFETCH(int, failed);
    QCOMPARE(run.exitCode, lost || failed ? 1 : 0);
    QCOMPARE(summary["exit_status"].toInt(), run.exitCode);

    // The round trip cannot be shorter than the delay the simulator adds.
    QFETCH(double, leastMedianMs);
    const QJsonObject rtt = summary["round_trip_ms"].toObject();
    if (!failed) {
        QVERIFY2(rtt["p50"].toDouble() >= leastMedianMs, qPrintable(QString::number(rtt["p50"].toDouble())));
        QVERIFY(rtt["min"].toDouble() <= rtt["p50"].toDouble());
        QVERIFY(rtt["p50"].toDouble() <= rtt["p99"].toDouble());
        QVERIFY(rtt["p99"].toDouble() <= rtt["max"].toDouble());
    }
    QFETCH(double, leastSeconds);
    QVERIFY(summary["duration_s"].toDouble() >= leastSeconds);

    // The connections' own counts add up to the totals, and each connection
    // carried its part of the load.
    QFETCH(int, connections);
    QFETCH(int, sent);
    QCOMPARE(summary["connections"].toInt(), connections);
    const QJsonArray perConnection = summary["per_connection"].toArray();
    QCOMPARE(perConnection.size(), connections);
    int sentSum = 0;
    int receivedSum = 0;
    for (const QJsonValue& entry : perConnection) {
        QVERIFY(entry["sent"].toInt() >= sent / (2 * connections));
        sentSum += entry["sent"].toInt();
        receivedSum += entry["received"].toInt();
    }
    QCOMPARE(sentSum, sent);
    QTEST(receivedSum, "received");
}

void TestProbeProcess::misbehavingModule_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QStringList>("simulator");
    QTest::addColumn<QStringList>("probe");
    QTest::addColumn<int>("received");
    QTest::addColumn<int>("lost");
    QTest::addColumn<int>("late");
    QTest::addColumn<int>("unexpected");
    QTest::addColumn<int>("failed");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("said"); // on stdout or stderr

    // The run ends once the last request is given up, before its reply.
    QTest::newRow("every reply after the timeout: all lost, each late reply told")
        << "127.0.0.180" << QStringList{"--delay", "150"} << QStringList{"-c", "4", "-i", "200", "-W", "100"}
        << 0 << 4 << 3 << 0 << 0 << 1 << "late reply from 127.0.0.180: seq=3 time=15";
    QTest::newRow("a frame sent on connect answers no request")
        << "127.0.0.181" << QStringList{"--unsolicited"} << QStringList{"-c", "3", "-i", "0"} << 3 << 0 << 0
        << 1 << 0 << 1 << "invoke ID 0000 answers no request";
    QTest::newRow("one request answered late, the next ones at once")
        << "127.0.0.182" << QStringList{"--late", "3:400"} << QStringList{"-c", "6", "-i", "100", "-W", "200"}
        << 5 << 1 << 1 << 0 << 0 << 1 << "late reply from 127.0.0.182: seq=3 time=4";
    QTest::newRow("an ignored request costs its own timeout only")
        << "127.0.0.183" << QStringList{"--ignore", "2"} << QStringList{"-c", "4", "-i", "0", "-W", "200"}
        << 3 << 1 << 0 << 0 << 0 << 1 << "no reply from 127.0.0.183: seq=2 within 200 ms";
    QTest::newRow("a reply cut short: what arrived is said at the timeout")
        << "127.0.0.184" << QStringList{"--cut", "25"} << QStringList{"-c", "1", "-W", "200"} << 0 << 1 << 0
        << 0 << 0 << 1 << "seq=1 within 200 ms, 25 of 40 bytes arrived";
    QTest::newRow("a module that does not copy invoke IDs is told of once")
        << "127.0.0.185" << QStringList{"--invoke-id", "1234"}
        << QStringList{"-c", "3", "-i", "0", "-W", "100"} << 0 << 3 << 0 << 3 << 0 << 1
        << "(they carry 1234): the module does not seem to copy invoke IDs; try --invoke-id 1234";
    QTest::newRow("... and answered with --invoke-id")
        << "127.0.0.185" << QStringList{"--invoke-id", "1234"}
        << QStringList{"-c", "3", "-i", "0", "--invoke-id", "1234"} << 3 << 0 << 0 << 0 << 0 << 0 << "";
    QTest::newRow("the module closes the connection with a request waiting")
        << "127.0.0.188" << QStringList{"--close-after", "2"} << QStringList{"-c", "5", "-i", "0"} << 2 << 1
        << 0 << 0 << 0 << 1 << "no reply from 127.0.0.188: seq=3, the connection ended";
    QTest::newRow("UDP, a late datagram told from its successor's reply")
        << "127.0.0.187" << QStringList{"--late", "2:300"}
        << QStringList{"--udp", "-c", "4", "-i", "100", "-W", "200"} << 3 << 1 << 1 << 0 << 0 << 1
        << "late reply from 127.0.0.187: seq=2 time=3";
    QTest::newRow("UDP, a lost datagram's successor is timed alone")
        << "127.0.0.186" << QStringList{"--ignore", "1"}
        << QStringList{"--udp", "-c", "2", "-i", "0", "-W", "200"} << 1 << 1 << 0 << 0 << 0 << 1 << "seq=2";
}

// Modules that ignore, delay, reorder or garble: every count is what the
// module did.
void TestProbeProcess::misbehavingModule()
{
    QFETCH(QString, address);
    QFETCH(QStringList, simulator);
    QFETCH(QStringList, probe);
    QFETCH(QString, said);
    // A simulator of its own for each run: it counts requests from its start.
    auto runAgainstSimulator = [&](const QStringList& extra) {
        Simulator sim(address, simulator);
        if (!sim.start())
            qWarning("%s", qPrintable(sim.output()));
        return runProbe(withPort(probe + extra, sim) << address);
    };
    const ProbeResult run = runAgainstSimulator({});
    QVERIFY(!run.crashed);
    const QByteArray all = run.out + run.err;
    QVERIFY2(all.contains(said.toLatin1()), all);
    QVERIFY2(all.count("does not seem to copy") <= 1, all);
    QTEST(run.exitCode, "exitCode");
    const ProbeResult json = runAgainstSimulator({"--json"});
    const QJsonObject summary = json.json();
    QVERIFY2(!summary.isEmpty(), json.out + json.err);
    QTEST(summary["received"].toInt(), "received");
    QTEST(summary["lost"].toInt(), "lost");
    QTEST(summary["late"].toInt(), "late");
    QTEST(summary["unexpected"].toInt(), "unexpected");
    QTEST(summary["failed"].toInt(), "failed");
}

void TestProbeProcess::exitStatus_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QStringList>("simulator"); // empty: none started
    QTest::addColumn<QStringList>("probe");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");

    QTest::newRow("every request answered")
        << "127.0.0.160" << QStringList{"-v"} << QStringList{"-c", "3", "-i", "0"} << 0 << QString();
    QTest::newRow("a reply dropped") << "127.0.0.161" << QStringList{"--drop-every", "2"}
                                     << QStringList{"-c", "3", "-i", "0", "-W", "400"} << 1 << QString();
    QTest::newRow("a reply failing a check") << "127.0.0.162" << QStringList{"--extra", "1"}
                                             << QStringList{"--udp", "-c", "2", "-i", "0"} << 1 << QString();
    QTest::newRow("the module closes the connection")
        << "127.0.0.163" << QStringList{"--close-after", "2"} << QStringList{"-c", "5", "-i", "100"} << 1
        << "vexa-probe: the module closed the connection\n";
    QTest::newRow("the module resets the connection")
        << "127.0.0.164" << QStringList{"--reset-after", "2"} << QStringList{"-c", "5", "-i", "0"} << 1
        << "vexa-probe: the connection failed: Connection reset by peer\n";
    QTest::newRow("a request text that cannot be sent")
        << "127.0.0.165" << QStringList{} << QStringList{"--command", "5X00"} << 2
        << "vexa-probe: --command: Command: \"5X00\" is not hexadecimal.\n"
           "Try 'vexa-probe --help' for more information.\n";
    QTest::newRow("a data text that cannot be sent")
        << "127.0.0.167" << QStringList{} << QStringList{"--data", "08002551573X", "-c", "1"} << 2
        << "vexa-probe: --data: Data: \"08002551573X\" is not hexadecimal.\n"
           "Try 'vexa-probe --help' for more information.\n";
    QTest::newRow("an option value out of range")
        << "127.0.0.165" << QStringList{} << QStringList{"-W", "0"} << 2
        << "vexa-probe: -W/--timeout wants a whole number from 1 to 3600000, got \"0\"\n"
           "Try 'vexa-probe --help' for more information.\n";
    QTest::newRow("nothing listening on the port")
        << "127.0.0.166" << QStringList{} << QStringList{"-c", "1", "--port", "CLOSED"} << 3
        << "vexa-probe: cannot reach 127.0.0.166 TCP port CLOSED: Connection refused\n";
    QTest::newRow("unknown host")
        << "no-such-host.invalid" << QStringList{} << QStringList{"-c", "1"} << 3
        << "vexa-probe: cannot reach no-such-host.invalid TCP port 2004: Host not found\n";
}

void TestProbeProcess::exitStatus()
{
    QFETCH(QString, address);
    QFETCH(QStringList, simulator);
    QFETCH(QStringList, probe);
    QFETCH(int, status);
    QFETCH(QString, message);

    std::unique_ptr<Simulator> sim;
    if (!simulator.isEmpty()) {
        sim = std::make_unique<Simulator>(address, simulator);
        QVERIFY(sim->start());
        probe = withPort(probe, *sim);
    }
    const int closed = probe.indexOf("CLOSED");
    if (closed >= 0) {
        const QString port = QString::number(closedPort(address));
        probe[closed] = port;
        message.replace("CLOSED", port);
    }
    // Plain Qt reports a reset exactly like an orderly close.
    if (!socketAbilities(defaultSocketBackend()).reportsPeerReset
        && message.contains(QLatin1String("reset by peer")))
        message = QStringLiteral("vexa-probe: the module closed the connection\n");
    // A usage error is found before anything is sent: a listener at the
    // address is never connected to.
    QTcpServer listener;
    if (status == 2) {
        QVERIFY(listener.listen(QHostAddress(address), 0));
        probe << "--port" << QString::number(listener.serverPort());
    }
    const ProbeResult run = runProbe(probe << address);
    QVERIFY(!run.crashed);
    QCOMPARE(run.exitCode, status);
    // Only what went wrong on stderr: no progress line into a pipe.
    QCOMPARE(QString::fromLocal8Bit(run.err), message);
    if (status == 2) {
        QCOMPARE(run.out, QByteArray());
        // A connection the probe had opened would wait in the backlog by now.
        QVERIFY(!listener.waitForNewConnection(0));
    }
}

void TestProbeProcess::connectTimeout()
{
    // A listener whose one-place backlog is taken and that never accepts:
    // the kernel drops further connection requests, which then hang.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ::inet_pton(AF_INET, "127.0.0.168", &address.sin_addr);
    socklen_t length = sizeof address;
    QVERIFY(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
    QVERIFY(::listen(listener, 0) == 0);
    QVERIFY(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0);
    QVERIFY(::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);

    QElapsedTimer clock;
    clock.start();
    const ProbeResult run = runProbe({"--port", QString::number(ntohs(address.sin_port)), "--connect-timeout",
                                      "0.5", "-c", "1", "127.0.0.168"});
    const qint64 took = clock.elapsed();
    ::close(filler);
    ::close(listener);
    QCOMPARE(run.exitCode, 3);
    QVERIFY2(run.err.contains("no connection within 0.5 s"), run.err);
    QVERIFY2(took >= 500 && took < 4000, qPrintable(QString::number(took)));
}

void TestProbeProcess::csvAndJsonAgree()
{
    Simulator sim("127.0.0.170", {"--drop-every", "3"});
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    QTemporaryDir dir;
    const QString csv = dir.filePath("run.csv");
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    const ProbeResult run =
        runProbe(withPort({"-c", "6", "-i", "0", "-W", "400", "--csv", csv, "--json"}, sim) << "127.0.0.170");
    const qint64 after = QDateTime::currentMSecsSinceEpoch();
    QCOMPARE(run.exitCode, 1);

    // One JSON object on one line, and nothing else on stdout.
    QCOMPARE(run.out.count('\n'), 1);
    const QJsonObject summary = run.json();
    QCOMPARE(summary["sent"].toInt(), 6);
    QCOMPARE(summary["received"].toInt(), 4);
    QCOMPARE(summary["lost"].toInt(), 2);
    QCOMPARE(summary["ended"].toString(), QStringLiteral("completed"));
    QCOMPARE(summary["round_trip_ms"].toObject()["count"].toInt(), 4);

    const QList<QByteArrayList> rows = csvRows(csv);
    QCOMPARE(rows.size(), 7);
    QCOMPARE(rows[0].join(','), QByteArray("sequence,connection,send_time,rtt_us,bytes,state,code,verdict"));
    const QByteArrayList verdicts{"ok", "ok", "lost", "ok", "ok", "lost"};
    double previousSend = 0;
    double slowest = 0;
    for (int i = 1; i <= 6; ++i) {
        const QByteArrayList& row = rows[i];
        QCOMPARE(row.size(), 8);
        QCOMPARE(row[0].toInt(), i);
        QCOMPARE(row[1], QByteArray("1"));
        const double sent = row[2].toDouble();
        QVERIFY(sent >= before / 1000.0 - 0.001 && sent <= after / 1000.0 + 0.001);
        QVERIFY(sent >= previousSend);
        previousSend = sent;
        QCOMPARE(row[7], verdicts[i - 1]);
        if (row[7] == "ok") {
            QCOMPARE(row[4], QByteArray("40"));
            QCOMPARE(row[5], QByteArray("0000"));
            QCOMPARE(row[6], QByteArray("0000"));
            slowest = std::max(slowest, row[3].toDouble() / 1000.0);
        } else {
            QCOMPARE(row[3], QByteArray());
        }
    }
    // The JSON's maximum is the slowest CSV round trip, to the microsecond.
    QVERIFY(std::abs(summary["round_trip_ms"].toObject()["max"].toDouble() - slowest) <= 0.0011);
}

void TestProbeProcess::outputNotWritten_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<bool>("removeFolder"); // the plot's folder goes while the run is on
    QTest::addColumn<bool>("sizeLimit"); // files may not grow past 8 KiB, as on a disk that fills up
    QTest::addColumn<QString>("message");
    QTest::newRow("a full disk under the CSV file")
        << "--csv" << false << false << "vexa-probe: --csv /dev/full: No space left on device";
    QTest::newRow("the plot's folder removed during the run")
        << "--plot" << true << false << "vexa-probe: --plot ";
    QTest::newRow("the disk full part way through the plot")
        << "--plot" << false << true << "vexa-probe: --plot ";
}

// An output that cannot be written ends the run as failed, and the JSON
// summary says so with the reason.
void TestProbeProcess::outputNotWritten()
{
    QFETCH(QString, option);
    QFETCH(bool, removeFolder);
    QFETCH(bool, sizeLimit);
    QFETCH(QString, message);
    Simulator sim("127.0.0.171", {"-v"});
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    QTemporaryDir dir;
    const QString folder = dir.filePath("plots");
    QVERIFY(QDir().mkpath(folder));
    const QString path = option == "--plot" ? folder + "/plot.png" : QStringLiteral("/dev/full");
    QProcess probe;
    // Long enough for the rows to be handed to the file while it runs.
    const QStringList arguments = withPort({"-c", "30", "-i", "100", option, path, "--json"}, sim)
        << "127.0.0.171";
    if (sizeLimit) {
        // ulimit counts 512-byte blocks; a plot is tens of KiB.
        probe.start("/bin/sh",
                    QStringList{"-c", "ulimit -f 16; exec \"$0\" \"$@\"", VEXA_PROBE_PATH} + arguments);
    } else {
        probe.start(QStringLiteral(VEXA_PROBE_PATH), arguments);
    }
    if (removeFolder) {
        QTRY_VERIFY_WITH_TIMEOUT(sim.output().contains("request"), 20000);
        QVERIFY(QDir(folder).removeRecursively());
    }
    QVERIFY(probe.waitForFinished(kRunMs));
    const QByteArray err = probe.readAllStandardError();
    QCOMPARE(probe.exitCode(), 1);
    QVERIFY2(err.contains(message.toLatin1()), err);
    const QJsonObject summary = QJsonDocument::fromJson(probe.readAllStandardOutput()).object();
    QCOMPARE(summary["ended"].toString(), QStringLiteral("output-failed"));
    QVERIFY2(summary["message"].toString().startsWith(message.mid(12)),
             qPrintable(summary["message"].toString()));
    QCOMPARE(summary["exit_status"].toInt(), 1);
    // Nothing, not half a picture.
    QVERIFY(!QFile::exists(folder + "/plot.png"));
}

void TestProbeProcess::plotFile_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("size");
    QTest::newRow("PNG of the asked size") << "plot.png"
                                           << "640x480";
    QTest::newRow("SVG of the asked size") << "plot.svg"
                                           << "900x700";
}

void TestProbeProcess::plotFile()
{
    QFETCH(QString, name);
    QFETCH(QString, size);
    Simulator sim("127.0.0.172", {"--delay", "1"});
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    QTemporaryDir dir;
    const QString path = dir.filePath(name);
    const ProbeResult run = runProbe(
        withPort({"-c", "20", "-i", "0", "-q", "--plot", path, "--plot-size", size}, sim) << "127.0.0.172");
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.err, QByteArray());
    const QStringList sides = size.split('x');
    if (name.endsWith(".png")) {
        const QImage image(path);
        QVERIFY(!image.isNull());
        QCOMPARE(image.size(), QSize(sides[0].toInt(), sides[1].toInt()));
    } else {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QXmlStreamReader xml(&file);
        QVERIFY(xml.readNextStartElement());
        QCOMPARE(xml.name(), QLatin1String("svg"));
        QCOMPARE(xml.attributes().value("width").toString(), sides[0]);
        QCOMPARE(xml.attributes().value("height").toString(), sides[1]);
        while (!xml.atEnd())
            xml.readNext();
        QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
    }
}

void TestProbeProcess::interruptPrintsTheSummary_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QStringList>("probe");
    QTest::addColumn<int>("lines"); // printed before the interrupt
    QTest::newRow("paced") << "127.0.0.173" << QStringList{"-i", "20"} << 3;
    QTest::newRow("back to back") << "127.0.0.173" << QStringList{"-i", "0"} << 3;
    // 4294967.5 s is 2^32 ms and a half second: a deadline kept in a 32-bit
    // count of milliseconds would end the run after half a second.
    QTest::newRow("a deadline past 2^32 ms not cut short")
        << "127.0.0.178" << QStringList{"-w", "4294967.5", "-i", "50"} << 20;
}

// A run without an end, interrupted: it was still going, and ends with its
// summary and a zero status.
void TestProbeProcess::interruptPrintsTheSummary()
{
    QFETCH(QString, address);
    QFETCH(QStringList, probe);
    QFETCH(int, lines);
    Simulator sim(address, {});
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    QProcess process;
    process.start(QStringLiteral(VEXA_PROBE_PATH), probe << "--port" << sim.tcp << address);
    QVERIFY(process.waitForStarted());
    QByteArray out;
    QTRY_VERIFY_WITH_TIMEOUT((out += process.readAllStandardOutput()).count('\n') >= lines, 30000);
    QCOMPARE(process.state(), QProcess::Running);
    ::kill(static_cast<pid_t>(process.processId()), SIGINT);
    QVERIFY(process.waitForFinished(20000));
    out += process.readAllStandardOutput();
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QVERIFY2(out.contains("\n--- " + address.toLatin1() + " vexa-probe statistics (TCP port "
                          + sim.tcp.toLatin1()),
             out);
    const QRegularExpression counts(QStringLiteral("\n(\\d+) sent, (\\d+) received, 0 lost"));
    const QRegularExpressionMatch match = counts.match(QString::fromLatin1(out));
    QVERIFY2(match.hasMatch(), out);
    QVERIFY(match.captured(2).toInt() >= 3);
}

void TestProbeProcess::deadlineEndsTheRun()
{
    Simulator sim("127.0.0.177", {});
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    const ProbeResult run = runProbe(withPort({"-w", "0.5", "-i", "100", "--json"}, sim) << "127.0.0.177");
    QCOMPARE(run.exitCode, 0);
    const QJsonObject summary = run.json();
    QCOMPARE(summary["ended"].toString(), QStringLiteral("completed"));
    QVERIFY(summary["duration_s"].toDouble() >= 0.5);
    QVERIFY(summary["duration_s"].toDouble() < 3.0);
    QVERIFY(summary["sent"].toInt() >= 3 && summary["sent"].toInt() <= 6);
    QCOMPARE(summary["received"].toInt(), summary["sent"].toInt());
}

QTEST_GUILESS_MAIN(TestProbeProcess)
#include "tst_probe_process.moc"
