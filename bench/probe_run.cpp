// SPDX-License-Identifier: GPL-3.0-or-later
// Runs vexa-probe back to back (-i 0 -q --json) against a fresh simulator.
#include "probe_run.h"

#include "harness/module_sim_process.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

ProbeRun runProbe(const QString& address, const QString& protocol, long requests, int connections,
                  const QStringList& simArgs, const QStringList& probeArgs)
{
    ModuleSimProcess sim(address, simArgs);
    if (!sim.start()) {
        ProbeRun failed;
        failed.error = QStringLiteral("module-sim did not start: ") + sim.output();
        return failed;
    }
    return runProbeAt(address, protocol, protocol == QLatin1String("udp") ? sim.udpPort() : sim.tcpPort(),
                      requests, connections, probeArgs);
}

ProbeRun runProbeAt(const QString& address, const QString& protocol, quint16 port, long requests,
                    int connections, const QStringList& probeArgs)
{
    ProbeRun run;
    QStringList args{QStringLiteral("-c"),        QString::number(requests), QStringLiteral("-i"),
                     QStringLiteral("0"),         QStringLiteral("--json"),  QStringLiteral("--connections"),
                     QString::number(connections)};
    if (protocol == QLatin1String("udp"))
        args << QStringLiteral("--udp");
    args << probeArgs;
    args << QStringLiteral("--port") << QString::number(port) << address;
    QProcess probe;
    probe.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    probe.start(QStringLiteral(VEXA_PROBE_PATH), args);
    if (!probe.waitForFinished(-1) || probe.exitStatus() != QProcess::NormalExit) {
        run.error = QStringLiteral("vexa-probe did not finish");
        return run;
    }
    const QJsonObject summary = QJsonDocument::fromJson(probe.readAllStandardOutput()).object();
    run.perSecond = summary.value(QStringLiteral("rate_per_s")).toDouble();
    run.p50Ms =
        summary.value(QStringLiteral("round_trip_ms")).toObject().value(QStringLiteral("p50")).toDouble();
    run.lost = summary.value(QStringLiteral("lost")).toInteger();
    run.ok = probe.exitCode() == 0 && run.perSecond > 0;
    if (!run.ok)
        run.error = QStringLiteral("vexa-probe exited with %1").arg(probe.exitCode());
    return run;
}
