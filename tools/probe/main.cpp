// SPDX-License-Identifier: GPL-3.0-or-later
// vexa-probe: the module's latency and load test from the command line.
#include "plot_render.h"
#include "probe_runner.h"
#include "run_recorder.h"
#include "signal_pipe.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>

#include <csignal>
#include <cstdio>
#include <memory>

namespace {

void printError(const QString& message)
{
    std::fprintf(stderr, "vexa-probe: %s\n", qPrintable(message));
}

void printOut(const QString& text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
}

// The plot is drawn at the end; a directory it cannot go into is found out
// before the run rather than after an hour of it.
std::optional<QString> checkPlotPath(const QString& path)
{
    const QFileInfo file(path);
    const QFileInfo dir(file.absolutePath());
    if (!dir.isDir())
        return QStringLiteral("--plot %1: the directory %2 does not exist").arg(path, dir.filePath());
    if (!dir.isWritable())
        return QStringLiteral("--plot %1: the directory %2 is not writable").arg(path, dir.filePath());
    if (file.isDir())
        return QStringLiteral("--plot %1: is a directory").arg(path);
    return std::nullopt;
}

PlotInput plotInput(const ProbeOptions& options, const RunTally& tally, const TimeBins& bins,
                    const ProbeRunner& runner)
{
    const ProbeFigures& total = tally.total();
    PlotInput input;
    input.title = QStringLiteral("vexa-probe %1 (%2 port %3): %4 sent, %5 received, %6 lost (%7%), %8 failed")
                      .arg(options.host, options.udp ? QStringLiteral("UDP") : QStringLiteral("TCP"),
                           QString::number(options.effectivePort()), QString::number(total.sent),
                           QString::number(total.received), QString::number(total.lost),
                           QString::number(total.lostPercent(), 'f', 2), QString::number(total.failed));
    const QDateTime started = QDateTime::fromMSecsSinceEpoch(runner.startEpochUs() / 1000, Qt::UTC);
    QString figures;
    if (total.roundTrip.count()) {
        figures = QStringLiteral("; round trip p50 %1 ms, p99 %2 ms, max %3 ms")
                      .arg(millisecondsText(total.roundTrip.percentile(50)),
                           millisecondsText(total.roundTrip.percentile(99)),
                           millisecondsText(total.roundTrip.max()));
    }
    const QString connections = options.connections == 1
        ? QStringLiteral("1 connection")
        : QStringLiteral("%1 connections").arg(options.connections);
    input.subtitle =
        QStringLiteral("%1 UTC, %2 s, %3, interval %4 ms, timeout %5 ms%6")
            .arg(started.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                 QString::number(double(runner.elapsedNs()) / 1e9, 'f', 1), connections,
                 QString::number(options.intervalMs), QString::number(options.timeoutMs), figures);
    input.bins = bins.bins();
    input.durationNs = runner.elapsedNs();
    input.distribution = total.roundTrip;
    return input;
}

// Qt's own warnings (a missing runtime directory for the offscreen
// platform, say) are no business of the probe's user; errors still show.
void quietQtMessages(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "vexa-probe: %s\n", qPrintable(message));
}

} // namespace

int main(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const ProbeCommandLine commandLine = parseProbeCommandLine(arguments);
    switch (commandLine.action) {
    case ProbeCommandLine::Action::Help:
        printOut(probeHelpText());
        return 0;
    case ProbeCommandLine::Action::Version:
        printOut(QStringLiteral("vexa-probe %1\n").arg(QLatin1String(VEXA_VERSION)));
        return 0;
    case ProbeCommandLine::Action::Error:
        printError(commandLine.error);
        std::fputs("Try 'vexa-probe --help' for more information.\n", stderr);
        return 2;
    case ProbeCommandLine::Action::Run:
        break;
    }
    const ProbeOptions& options = commandLine.options;
    // A file that outgrows the size limit is a failed write, reported as
    // such, not the end of the process.
    std::signal(SIGXFSZ, SIG_IGN);

    // The arguments are ours alone: Qt gets none to interpret. Text in a plot
    // needs fonts, hence a GUI application, on a platform that needs no
    // display.
    qInstallMessageHandler(quietQtMessages);
    static int qtArgc = 1;
    static char* qtArgv[] = {argv[0], nullptr};
    std::unique_ptr<QCoreApplication> app;
    if (!options.plotPath.isEmpty()) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        app = std::make_unique<QGuiApplication>(qtArgc, qtArgv);
    } else {
        app = std::make_unique<QCoreApplication>(qtArgc, qtArgv);
    }

    if (!options.plotPath.isEmpty()) {
        if (auto error = checkPlotPath(options.plotPath)) {
            printError(*error);
            return 2;
        }
    }
    std::unique_ptr<CsvWriter> csv;
    if (!options.csvPath.isEmpty()) {
        csv = std::make_unique<CsvWriter>();
        if (!csv->open(options.csvPath)) {
            printError(QStringLiteral("--csv %1: %2").arg(options.csvPath, csv->errorString()));
            return 2;
        }
    }

    ProbeRunner runner(options);
    RunRecorder recorder(options, runner, csv.get());

    SignalPipe signalPipe;
    if (!signalPipe.install())
        printError(QStringLiteral("cannot catch Ctrl+C; it will end the run without a summary"));
    QObject::connect(&signalPipe, &SignalPipe::interrupted, &runner, &ProbeRunner::interrupt);
    QObject::connect(&runner, &ProbeRunner::notice, app.get(), [](const QString& text) { printError(text); });

    QObject::connect(&runner, &ProbeRunner::finished, app.get(), [&](RunEnd end) {
        recorder.stop();
        std::fflush(stdout);
        // An output that could not be written is how the run ended, unless
        // it ended worse.
        auto outputFailed = [&end](const QString& message) {
            printError(message);
            if (end.kind == RunEnd::Kind::Completed || end.kind == RunEnd::Kind::Interrupted)
                end = {RunEnd::Kind::OutputFailed, message};
        };
        if (!end.message.isEmpty() && end.kind != RunEnd::Kind::Interrupted)
            printError(end.message);
        if (csv && !csv->close() && end.kind != RunEnd::Kind::OutputFailed)
            outputFailed(QStringLiteral("--csv %1: %2").arg(options.csvPath, csv->errorString()));
        const bool plots = recorder.timeBins() && end.kind != RunEnd::Kind::Unreachable;
        auto drawPlot = [&] {
            QString error;
            if (!writePlot(options.plotPath, options.plotSize,
                           plotInput(options, recorder.tally(), *recorder.timeBins(), runner), &error))
                outputFailed(QStringLiteral("--plot %1: %2").arg(options.plotPath, error));
        };
        // The JSON summary tells whether the plot was written, so it is
        // drawn first, and a second Ctrl+C meanwhile waits for the summary.
        // The text summary goes first instead: a second Ctrl+C while the
        // plot is drawn then loses only the plot.
        if (plots && options.json) {
            SignalPipe::holdSecondSignal(true);
            drawPlot();
        }

        const int status = probeExitStatus(end, recorder.tally().total());
        if (options.json) {
            const QByteArray json = summaryJson(options, recorder.tally(), runner.elapsedNs(), end, status);
            std::fwrite(json.constData(), 1, size_t(json.size()), stdout);
            std::fflush(stdout);
            QCoreApplication::exit(status);
            return;
        }
        if (end.kind != RunEnd::Kind::Unreachable) {
            printOut((options.quiet ? QString() : QStringLiteral("\n"))
                     + summaryText(options, recorder.tally(), runner.elapsedNs()));
        }
        std::fflush(stdout);
        if (plots)
            drawPlot();
        QCoreApplication::exit(status);
    });

    runner.start();
    return QCoreApplication::exec();
}
