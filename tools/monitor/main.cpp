// SPDX-License-Identifier: GPL-3.0-or-later
// vexa-monitor: every module of a plant watched around the clock, its round
// trips and losses served to Prometheus.
#include "fleet.h"
#include "monitor_config.h"
#include "monitor_log.h"
#include "monitor_metrics.h"
#include "monitor_options.h"
#include "signal_pipe.h"

#include <prometheus/exposer.h>

#include <QCoreApplication>

#include <cstdio>
#include <exception>
#include <memory>
#include <sys/resource.h>

namespace {

void printOut(const QString& text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
}

// Bad usage, a targets file that cannot be used, an address that cannot be
// listened on: nothing has been started.
constexpr int kUsageStatus = 2;

// Each target holds a socket or two (a TCP connection keeps a second
// descriptor to tell a reset from a close), and a plant's worth of them
// passes the 1024 a service gets by default. The hard limit is ours to take.
void raiseFileLimit()
{
    struct rlimit limit { };
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vexa-monitor"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VEXA_VERSION));

    const MonitorCommandLine commandLine = parseMonitorCommandLine(QCoreApplication::arguments());
    switch (commandLine.action) {
    case MonitorCommandLine::Action::Help:
        printOut(monitorHelpText());
        return 0;
    case MonitorCommandLine::Action::Version:
        printOut(QStringLiteral("vexa-monitor %1\n").arg(QLatin1String(VEXA_VERSION)));
        return 0;
    case MonitorCommandLine::Action::Error:
        logLine(commandLine.error);
        std::fputs("Try 'vexa-monitor --help' for more information.\n", stderr);
        return kUsageStatus;
    case MonitorCommandLine::Action::Run:
        break;
    }

    const MonitorConfigRead read = loadMonitorConfig(commandLine.configPath);
    if (!read.config) {
        logLine(read.error);
        return kUsageStatus;
    }

    raiseFileLimit();
    MonitorMetrics metrics;
    // Declared after the metrics, so it stops serving them before they go.
    std::unique_ptr<prometheus::Exposer> exposer;
    try {
        exposer = std::make_unique<prometheus::Exposer>(commandLine.listen.text().toStdString());
    } catch (const std::exception&) {
        // The web server only says that it could not start.
        logLine(QStringLiteral("cannot listen on %1: the port is in use, or the address is not this "
                               "machine's")
                    .arg(commandLine.listen.text()));
        return kUsageStatus;
    }
    exposer->RegisterCollectable(metrics.collectable());
    const std::vector<int> ports = exposer->GetListeningPorts();
    const int port = ports.empty() ? commandLine.listen.port : ports.front();

    SignalPipe signalPipe;
    if (!signalPipe.install() || !signalPipe.catchReload())
        logLine(QStringLiteral("cannot catch SIGINT, SIGTERM and SIGHUP; they will end the monitor at once"));

    Fleet fleet(metrics, &logLine);
    QObject::connect(&signalPipe, &SignalPipe::interrupted, &app, &QCoreApplication::quit);
    QObject::connect(&signalPipe, &SignalPipe::reloadRequested, &fleet,
                     [&fleet, &commandLine] { fleet.reload(commandLine.configPath); });
    fleet.start(*read.config);
    logLine(QStringLiteral("serving http://%1:%2/metrics, %3 targets from %4")
                .arg(commandLine.listen.host)
                .arg(port)
                .arg(fleet.size())
                .arg(commandLine.configPath));

    const int status = QCoreApplication::exec();
    logLine(QStringLiteral("stopped"));
    return status;
}
