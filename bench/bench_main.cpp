// SPDX-License-Identifier: GPL-3.0-or-later
// vexa-bench: continuous mode measured beside the socket floor. Without
// arguments it measures the floor, then runs itself once per display
// platform (offscreen, and xcb when DISPLAY is set) and prints one table.
#include "bare_responder.h"
#include "blocking_client.h"
#include "codec/frame_layout.h"
#include "codec/request_encoder.h"
#include "floor_loop.h"
#include "harness/module_sim_process.h"
#include "harness/resident_memory.h"
#include "probe_run.h"
#include "tool_run.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTextStream>

#include <cstdio>

namespace {

// The window's default request, as it goes out: 38 bytes.
const QByteArray kRequest = QByteArray::fromHex("4B4F52562D54414D4245"
                                                "000000"
                                                "33"
                                                "0000"
                                                "1200"
                                                "00"
                                                "1D"
                                                "5400"
                                                "0100"
                                                "0000"
                                                "1000"
                                                "0800255157302E302E30");

// What the simulator answers to it: source B0, length 20, state and code
// zero, the data echoed; 40 bytes.
QByteArray simulatorReply()
{
    QByteArray reply = QByteArray::fromHex("4B4F52562D54414D4245"
                                           "000000"
                                           "B0"
                                           "0000"
                                           "1400"
                                           "00"
                                           "00"
                                           "5400"
                                           "0100"
                                           "0000"
                                           "0000"
                                           "0000"
                                           "0800255157302E302E30");
    reply[frame::kCheckSumOffset] =
        static_cast<char>(ByteSum(reply, frame::kCheckSumFirst, frame::kCheckSumLast));
    return reply;
}

const int kDelays[] = {0, 5, 50, 200};
constexpr int kFidelityReplies = 50;

QTextStream& out()
{
    static QTextStream stream(stdout);
    return stream;
}

// Child mode: everything that needs the window, on the platform in
// QT_QPA_PLATFORM, printed as RUN, FID and ERR lines for the parent.
int runTool(const QString& address, const QString& protocol, long cycles, bool fidelity)
{
    const QString platform = QGuiApplication::platformName();
    if (!fidelity) {
        const ToolRun run = runContinuous(address, protocol, cycles);
        if (!run.ok) {
            out() << "ERR " << platform << ' ' << protocol << ' ' << run.error << Qt::endl;
            return 1;
        }
        out() << "RUN " << platform << ' ' << protocol << ' ' << run.cycles << ' '
              << QString::number(run.seconds, 'f', 6) << ' ' << run.rssAt10kKiB << ' ' << run.rssAtEndKiB
              << ' ' << harness::statusKiB("VmHWM") << ' ' << run.paints << ' '
              << QString::number(run.clickWaitMaxMs, 'f', 1) << ' '
              << QString::number(run.idleCpuPercent, 'f', 1) << Qt::endl;
        return 0;
    }
    for (int delay : kDelays) {
        const FidelityRun run = runFidelity(address, protocol, delay, kFidelityReplies);
        if (!run.ok) {
            out() << "ERR " << platform << ' ' << protocol << " delay " << delay << ' ' << run.error
                  << Qt::endl;
            continue;
        }
        const auto [lo, hi] = std::minmax_element(run.shown.begin(), run.shown.end());
        out() << "FID " << platform << ' ' << protocol << ' ' << delay << ' ' << run.median() << ' ' << *lo
              << ' ' << *hi << Qt::endl;
    }
    return 0;
}

struct Row {
    QString platform, protocol;
    double floorPerSecond = 0;
    double perSecond = 0;
    long growthKiB = 0;
    long hwmKiB = 0;
    double paintsPerSecond = 0;
    QString clickWaitMaxMs, idleCpuPercent;
};

QString fmt(double value, int decimals)
{
    return QString::number(value, 'f', decimals);
}

// Runs this program in child mode on `platform` and returns its stdout lines.
QStringList runChild(const QString& self, const QString& platform, const QStringList& args,
                     QStringList& errors)
{
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
    env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("qt.qpa.*=false"));
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(self, QStringList{QStringLiteral("--child")} + args);
    child.waitForFinished(-1);
    const QStringList lines = QString::fromLocal8Bit(child.readAllStandardOutput()).split('\n');
    for (const QString& line : lines) {
        if (line.startsWith(QLatin1String("ERR ")))
            errors << line;
    }
    if (child.exitStatus() != QProcess::NormalExit)
        errors << QStringLiteral("ERR %1 %2 crashed").arg(platform, args.join(' '));
    return lines;
}

// vexa-probe back to back beside the same floor: its share and its own cost
// per cycle, 8 connections against 1, and its median against the
// simulator's delay.
template <typename FloorRate>
void runProbeRows(FloorRate floorRate, long cycles, bool fidelity, QStringList& errors)
{
    const QByteArray reply = simulatorReply();
    BareResponder bare("127.0.0.221", static_cast<std::size_t>(kRequest.size()),
                       reinterpret_cast<const unsigned char*>(reply.constData()),
                       static_cast<std::size_t>(reply.size()));
    if (!bare.ok())
        errors << QStringLiteral("ERR the bare responder could not listen");
    const QString address = QStringLiteral("127.0.0.220");
    const QStringList asleep{QStringLiteral("--busy-poll"), QStringLiteral("0")};
    out() << Qt::endl
          << "vexa-probe -i 0 -q, " << cycles << " requests per run; \"asleep\" is --busy-poll 0" << Qt::endl
          << QStringLiteral("%1 %2 %3 %4 %5 %6")
                 .arg("run", -24)
                 .arg("proto", -5)
                 .arg("floor/s", 8)
                 .arg("probe/s", 8)
                 .arg("share", 6)
                 .arg("us/cycle", 9)
          << Qt::endl;
    // One line: the rate beside the floor, or beside another rate (a ratio).
    const auto line = [](const QString& label, const QString& protocol, double rate, double floor,
                         double against) {
        QString text = QStringLiteral("%1 %2 ").arg(label, -24).arg(protocol, -5);
        if (floor > 0) {
            text += QStringLiteral("%1 %2 %3 %4")
                        .arg(fmt(floor, 0), 8)
                        .arg(fmt(rate, 0), 8)
                        .arg(fmt(100 * rate / floor, 0) + "%", 6)
                        .arg(fmt(1e6 / rate - 1e6 / floor, 1), 9);
        } else {
            text += QStringLiteral("%1 %2 %3")
                        .arg("", 8)
                        .arg(fmt(rate, 0), 8)
                        .arg(fmt(rate / against, 2) + "x", 6);
        }
        out() << text << Qt::endl;
    };
    for (const QString& protocol : {QStringLiteral("tcp"), QStringLiteral("udp")}) {
        const quint16 barePort = protocol == QLatin1String("udp") ? bare.udpPort() : bare.tcpPort();
        const double before = floorRate(protocol);
        const ProbeRun one = runProbe(address, protocol, cycles, 1, {});
        const ProbeRun oneAsleep = runProbe(address, protocol, cycles, 1, {}, asleep);
        const ProbeRun eight = runProbe(address, protocol, cycles, 8, {});
        const ProbeRun alone = runProbeAt(QStringLiteral("127.0.0.221"), protocol, barePort, cycles, 1);
        const ProbeRun aloneAsleep =
            runProbeAt(QStringLiteral("127.0.0.221"), protocol, barePort, cycles, 1, asleep);
        const double after = floorRate(protocol);
        bool ok = true;
        for (const ProbeRun* run : {&one, &oneAsleep, &eight, &alone, &aloneAsleep}) {
            if (!run->ok && ok) {
                errors << QStringLiteral("ERR probe %1 %2").arg(protocol, run->error);
                ok = false;
            }
        }
        if (!ok)
            continue;
        const double floor = std::max(before, after);
        line(QStringLiteral("simulator"), protocol, one.perSecond, floor, 0);
        line(QStringLiteral("simulator, asleep"), protocol, oneAsleep.perSecond, floor, 0);
        line(QStringLiteral("simulator, 8 connections"), protocol, eight.perSecond, 0, one.perSecond);
        line(QStringLiteral("bare responder"), protocol, alone.perSecond, floor, 0);
        line(QStringLiteral("bare responder, asleep"), protocol, aloneAsleep.perSecond, floor, 0);
    }
    if (!fidelity)
        return;
    out() << Qt::endl
          << "median round trip against the simulator's --delay, 200 requests: vexa-probe, and a blocking"
          << Qt::endl
          << "POSIX client on the same simulator just after" << Qt::endl;
    for (const QString& protocol : {QStringLiteral("tcp"), QStringLiteral("udp")}) {
        for (int delay : {5, 50}) {
            const bool udp = protocol == QLatin1String("udp");
            ModuleSimProcess sim(address, {QStringLiteral("--delay"), QString::number(delay)});
            if (!sim.start()) {
                errors << QStringLiteral("ERR module-sim did not start: %1").arg(sim.output());
                continue;
            }
            const quint16 port = udp ? sim.udpPort() : sim.tcpPort();
            const ProbeRun run = runProbeAt(address, protocol, port, 200, 1);
            const double plain = blockingMedianMs(
                "127.0.0.220", port, udp, reinterpret_cast<const unsigned char*>(kRequest.constData()),
                static_cast<std::size_t>(kRequest.size()), static_cast<std::size_t>(reply.size()), 200);
            if (!run.ok || plain < 0) {
                errors << QStringLiteral("ERR probe %1 delay %2: %3")
                              .arg(protocol)
                              .arg(delay)
                              .arg(run.ok ? QStringLiteral("the blocking client failed") : run.error);
                continue;
            }
            out() << QStringLiteral("%1 delay %2 ms: probe %3 ms (%4 over), blocking client %5 ms (%6 over)")
                         .arg(protocol, -5)
                         .arg(delay, 3)
                         .arg(fmt(run.p50Ms, 3))
                         .arg(fmt(run.p50Ms - delay, 3))
                         .arg(fmt(plain, 3))
                         .arg(fmt(plain - delay, 3))
                  << Qt::endl;
        }
    }
}

int runDriver(const QString& self, long cycles, bool fidelity, const QString& onlyPlatform, bool probeOnly)
{
    const QByteArray request = kRequest;
    const QByteArray reply = simulatorReply();
    const auto* req = reinterpret_cast<const unsigned char*>(request.constData());
    const auto* rep = reinterpret_cast<const unsigned char*>(reply.constData());
    // The best of the floor runs just before and just after each tool run:
    // other load on the machine slows both alike, and the floor is a bound.
    auto floorRate = [&](const QString& protocol) {
        const FloorResult r = protocol == QLatin1String("tcp")
            ? runTcpFloor("127.0.0.210", req, request.size(), rep, reply.size(), cycles / 2)
            : runUdpFloor("127.0.0.210", req, request.size(), rep, reply.size(), cycles / 2);
        if (!r.ok)
            out() << "floor failed: " << QString::fromStdString(r.error) << Qt::endl;
        return r.perSecond();
    };

    out() << "vexa-bench: " << request.size() << "-byte request, " << reply.size() << "-byte reply, "
          << cycles << " cycles per tool run" << Qt::endl;
    QStringList platforms{QStringLiteral("offscreen")};
    if (!qEnvironmentVariableIsEmpty("DISPLAY"))
        platforms << QStringLiteral("xcb");
    else
        out() << "vexa-bench: DISPLAY is not set; measuring offscreen only" << Qt::endl;
    if (!onlyPlatform.isEmpty())
        platforms = QStringList{onlyPlatform};
    if (probeOnly)
        platforms.clear();

    QList<Row> rows;
    QStringList fidelityLines, errors;
    int index = 0;
    for (const QString& platform : platforms) {
        const QString address = QStringLiteral("127.0.0.%1").arg(200 + index++);
        for (const QString& protocol : {QStringLiteral("tcp"), QStringLiteral("udp")}) {
            const double before = floorRate(protocol);
            const QStringList lines =
                runChild(self, platform,
                         {QStringLiteral("--address"), address, QStringLiteral("--protocol"), protocol,
                          QStringLiteral("--cycles"), QString::number(cycles)},
                         errors);
            const double after = floorRate(protocol);
            for (const QString& line : lines) {
                const QStringList f = line.split(' ');
                if (f.value(0) != QLatin1String("RUN") || f.size() < 11)
                    continue;
                Row row;
                row.platform = f[1];
                row.protocol = f[2];
                row.floorPerSecond = std::max(before, after);
                const double seconds = f[4].toDouble();
                row.perSecond = f[3].toDouble() / seconds;
                row.growthKiB = f[6].toLong() - f[5].toLong();
                row.hwmKiB = f[7].toLong();
                row.paintsPerSecond = f[8].toDouble() / seconds;
                row.clickWaitMaxMs = f[9];
                row.idleCpuPercent = f[10];
                rows << row;
            }
        }
        if (!fidelity)
            continue;
        for (const QString& protocol : {QStringLiteral("tcp"), QStringLiteral("udp")}) {
            const QStringList lines =
                runChild(self, platform,
                         {QStringLiteral("--address"), address, QStringLiteral("--protocol"), protocol,
                          QStringLiteral("--fidelity")},
                         errors);
            for (const QString& line : lines) {
                if (line.startsWith(QLatin1String("FID ")))
                    fidelityLines << line;
            }
        }
    }

    out() << Qt::endl
          << QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8 %9 %10 %11")
                 .arg("run", -15)
                 .arg("proto", -5)
                 .arg("floor/s", 8)
                 .arg("tool/s", 8)
                 .arg("share", 6)
                 .arg("us/cycle", 9)
                 .arg("paints/s", 9)
                 .arg("click ms", 9)
                 .arg("idle CPU", 9)
                 .arg("VmHWM MiB", 10)
                 .arg("RSS 10k->end KiB", 17)
          << Qt::endl;
    for (const Row& row : rows) {
        const double share = row.perSecond / row.floorPerSecond;
        const double cost = 1e6 / row.perSecond - 1e6 / row.floorPerSecond;
        out() << QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8 %9 %10 %11")
                     .arg(row.platform, -15)
                     .arg(row.protocol, -5)
                     .arg(fmt(row.floorPerSecond, 0), 8)
                     .arg(fmt(row.perSecond, 0), 8)
                     .arg(fmt(100 * share, 0) + "%", 6)
                     .arg(fmt(cost, 1), 9)
                     .arg(fmt(row.paintsPerSecond, 0), 9)
                     .arg(row.clickWaitMaxMs, 9)
                     .arg(row.idleCpuPercent + "%", 9)
                     .arg(fmt(row.hwmKiB / 1024.0, 1), 10)
                     .arg(row.growthKiB, 17)
              << Qt::endl;
    }
    if (!fidelityLines.isEmpty()) {
        out() << Qt::endl
              << "response time shown (txtResTime) against the simulator's --delay, " << kFidelityReplies
              << " replies each" << Qt::endl
              << QStringLiteral("%1 %2 %3 %4 %5 %6")
                     .arg("run", -15)
                     .arg("proto", -5)
                     .arg("delay", 6)
                     .arg("median", 7)
                     .arg("min", 5)
                     .arg("max", 5)
              << Qt::endl;
        for (const QString& line : fidelityLines) {
            const QStringList f = line.split(' ');
            const int delay = f[3].toInt();
            const int median = f[4].toInt();
            out() << QStringLiteral("%1 %2 %3 %4 %5 %6 %7")
                         .arg(f[1], -15)
                         .arg(f[2], -5)
                         .arg(delay, 6)
                         .arg(median, 7)
                         .arg(f[5], 5)
                         .arg(f[6], 5)
                         .arg(qAbs(median - delay) <= 1 ? "ok" : "OFF BY MORE THAN 1 MS")
                  << Qt::endl;
        }
    }
    runProbeRows(floorRate, cycles, fidelity, errors);
    for (const QString& error : errors)
        out() << error << Qt::endl;
    return errors.isEmpty() ? 0 : 1;
}

} // namespace

int main(int argc, char* argv[])
{
    const bool child = argc > 1 && qstrcmp(argv[1], "--child") == 0;
    if (!child) {
        QCoreApplication app(argc, argv);
        QCommandLineParser parser;
        parser.setApplicationDescription("Continuous mode beside the socket floor.");
        parser.addHelpOption();
        const QCommandLineOption cycles("cycles", "Replies per run (default 100000).", "n", "100000");
        const QCommandLineOption noFidelity("no-fidelity", "Skip the response-time check.");
        const QCommandLineOption platform("platform", "Measure only this platform (offscreen or xcb).",
                                          "name");
        const QCommandLineOption probeOnly("probe-only", "Measure only vexa-probe beside the floor.");
        parser.addOptions({cycles, noFidelity, platform, probeOnly});
        parser.process(app);
        return runDriver(QCoreApplication::applicationFilePath(), parser.value(cycles).toLong(),
                         !parser.isSet(noFidelity), parser.value(platform), parser.isSet(probeOnly));
    }
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const QString address = args.value(args.indexOf(QStringLiteral("--address")) + 1);
    const QString protocol = args.value(args.indexOf(QStringLiteral("--protocol")) + 1);
    const long cycles = args.value(args.indexOf(QStringLiteral("--cycles")) + 1).toLong();
    return runTool(address, protocol, cycles, args.contains(QStringLiteral("--fidelity")));
}
