// SPDX-License-Identifier: GPL-3.0-or-later
// The dissector on a real capture: loopback captured with tcpdump while
// vexa-probe runs against the simulator, then read with tshark and compared,
// request by request, with the probe's own CSV of the same run.
#include "harness/module_sim_process.h"
#include "tcpdump_capture.h"
#include "tshark_run.h"

#include <QFile>
#include <QMap>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

namespace {

// What one request came to, as the probe or the capture tells it.
struct Outcome {
    QString verdict;
    qint64 rttUs = -1; // -1 without a reply that counts
};

// The probe's CSV by invoke ID: each request carries its sequence number.
QMap<QString, Outcome> probeOutcomes(const QString& path)
{
    QMap<QString, Outcome> outcomes;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return outcomes;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray& line : lines.mid(1)) {
        const QList<QByteArray> cells = line.split(',');
        if (cells.size() < 8)
            continue;
        const QString invokeId = QStringLiteral("%1").arg(cells[0].toUInt(), 4, 16, QLatin1Char('0'));
        outcomes[invokeId] = {QString::fromLatin1(cells[7]), cells[3].isEmpty() ? -1 : cells[3].toLongLong()};
    }
    return outcomes;
}

// The capture's verdicts by the probe's rules: no response, or one after
// the timeout, is lost; a response whose checksum is bad fails that check.
QMap<QString, Outcome> captureOutcomes(const QString& capture, const QStringList& options, int timeoutMs,
                                       QString* errors)
{
    QMap<QString, Outcome> outcomes;
    const TsharkResult requests =
        readFields(capture, {"vexa.invoke_id", "vexa.response_in"}, "vexa.var_no", options);
    const TsharkResult responses =
        readFields(capture, {"frame.number", "vexa.request_in", "vexa.time", "vexa.checksum.status"},
                   "vexa.state", options);
    *errors = requests.errors + responses.errors;
    if (!requests.ran || !responses.ran)
        return {};
    QMap<QString, QStringList> responseByFrame;
    for (const QString& line : responses.lines) {
        const QStringList cells = line.split('|');
        responseByFrame[cells[0]] = cells;
    }
    for (const QString& line : requests.lines) {
        const QStringList cells = line.split('|');
        const QStringList response = responseByFrame.value(cells[1]);
        Outcome outcome{QStringLiteral("lost"), -1};
        if (!response.isEmpty()) {
            const qint64 rttUs = qRound64(response[2].toDouble() * 1e6);
            if (rttUs <= qint64(timeoutMs) * 1000) {
                outcome.rttUs = rttUs;
                outcome.verdict =
                    response[3] == "0" ? QStringLiteral("malformed:checksum") : QStringLiteral("ok");
            }
        }
        outcomes[cells[0]] = outcome;
    }
    return outcomes;
}

QString describe(const QMap<QString, Outcome>& outcomes)
{
    QStringList lines;
    for (auto it = outcomes.cbegin(); it != outcomes.cend(); ++it)
        lines << it.key() + " " + it->verdict + " " + QString::number(it->rttUs);
    return lines.join(QStringLiteral("; "));
}

} // namespace

class TestDissectorCapture : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void probeAndCaptureAgree_data();
    void probeAndCaptureAgree();
};

void TestDissectorCapture::initTestCase()
{
    if (tsharkProgram().isEmpty())
        QSKIP("tshark is not installed (Debian package tshark)");
    if (TcpdumpCapture::program().isEmpty())
        QSKIP("tcpdump is not installed (Debian package tcpdump)");
}

void TestDissectorCapture::probeAndCaptureAgree_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QStringList>("simulator");
    QTest::addColumn<QStringList>("probe");
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<QStringList>("verdicts"); // of requests 1, 2, ...

    QTest::newRow("TCP, every reply in three pieces")
        << "127.0.0.191" << QStringList{"--pieces", "3", "--piece-gap", "5"}
        << QStringList{"-c", "4", "-i", "0"} << 1000 << QStringList{"ok", "ok", "ok", "ok"};
    QTest::newRow("TCP, every reply with a bad checksum")
        << "127.0.0.192" << QStringList{"--bad-checksum"} << QStringList{"-c", "3", "-i", "0"} << 1000
        << QStringList{"malformed:checksum", "malformed:checksum", "malformed:checksum"};
    QTest::newRow("TCP, the second reply after the timeout")
        << "127.0.0.193" << QStringList{"--late", "2:300"} << QStringList{"-c", "3", "-i", "400", "-W", "200"}
        << 200 << QStringList{"ok", "lost", "ok"};
    QTest::newRow("UDP, replies 2 ms late, the third never")
        << "127.0.0.194" << QStringList{"--delay", "2", "--ignore", "3"}
        << QStringList{"--udp", "-c", "4", "-i", "0", "-W", "300"} << 300
        << QStringList{"ok", "ok", "lost", "ok"};
}

void TestDissectorCapture::probeAndCaptureAgree()
{
    QFETCH(QString, address);
    QFETCH(QStringList, simulator);
    QFETCH(QStringList, probe);
    QFETCH(int, timeoutMs);
    QFETCH(QStringList, verdicts);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());

    ModuleSimProcess sim(address, simulator, ModuleSimProcess::Ports::Free);
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    const bool udp = probe.contains("--udp");
    const quint16 port = udp ? sim.udpPort() : sim.tcpPort();

    // A datagram to a port of the same address where nothing listens marks
    // the end of the run in the capture.
    QUdpSocket markerSocket;
    QVERIFY(markerSocket.bind(QHostAddress(address), 0));
    const quint16 markerPort = markerSocket.localPort();
    const QString capturePath = dir.filePath("run.pcap");
    TcpdumpCapture capture(
        capturePath,
        QStringLiteral("host %1 and (port %2 or port %3)").arg(address).arg(port).arg(markerPort));
    QVERIFY2(capture.start(), qPrintable(capture.messages()));

    const QString csvPath = dir.filePath("run.csv");
    QProcess probeProcess;
    probeProcess.start(QStringLiteral(VEXA_PROBE_PATH),
                       probe << "--port" << QString::number(port) << "-q"
                             << "--csv" << csvPath << address);
    QVERIFY(probeProcess.waitForFinished(60000));
    QVERIFY2(probeProcess.exitStatus() == QProcess::NormalExit, probeProcess.readAllStandardError());

    const QByteArray marker = "vexa capture ends " + QByteArray::number(QDateTime::currentMSecsSinceEpoch());
    QVERIFY(markerSocket.writeDatagram(marker, QHostAddress(address), markerPort) == marker.size());
    QVERIFY2(capture.waitForBytes(marker), qPrintable(capture.messages()));
    QVERIFY2(capture.stop(), qPrintable(capture.messages()));

    const QMap<QString, Outcome> byProbe = probeOutcomes(csvPath);
    QString errors;
    const QStringList options{"-o", "vexa.tcp_port:" + QString::number(sim.tcpPort()), "-o",
                              "vexa.udp_port:" + QString::number(sim.udpPort())};
    const QMap<QString, Outcome> byCapture = captureOutcomes(capturePath, options, timeoutMs, &errors);
    QVERIFY2(errors.isEmpty() || !byCapture.isEmpty(), qPrintable(errors));

    QStringList probeVerdicts;
    for (const Outcome& outcome : byProbe)
        probeVerdicts << outcome.verdict;
    QCOMPARE(probeVerdicts, verdicts);
    QCOMPARE(byCapture.keys(), byProbe.keys());
    for (auto it = byProbe.cbegin(); it != byProbe.cend(); ++it) {
        const Outcome seen = byCapture.value(it.key());
        const QString context =
            "invoke ID " + it.key() + ": probe " + describe(byProbe) + " | capture " + describe(byCapture);
        QVERIFY2(seen.verdict == it->verdict, qPrintable(context));
        if (it->rttUs >= 0 || seen.rttUs >= 0)
            QVERIFY2(qAbs(seen.rttUs - it->rttUs) <= 1000, qPrintable(context));
    }
}

QTEST_GUILESS_MAIN(TestDissectorCapture)
#include "tst_dissector_capture.moc"
