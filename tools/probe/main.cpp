// SPDX-License-Identifier: GPL-3.0-or-later
// vexa-probe: the module's latency and load test from the command line.
#include "probe_runner.h"
#include "report/exchange_csv.h"
#include "report/plot_render.h"
#include "run_report.h"
#include "signal_pipe.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <unistd.h>

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

// Takes the runner's findings as they come and hands each where it belongs:
// the tally, a line on stdout, a CSV row, the plot's time bins; and keeps
// the progress line on a terminal's stderr during a run with a count or a
// deadline (never written to a pipe or a file), drawn with a carriage
// return and erase-to-end-of-line.
class RunRecorder {
public:
    // `csv` may be null (no --csv); the time bins are kept only with --plot.
    RunRecorder(const ProbeOptions& options, ProbeRunner& runner, ExchangeCsvWriter* csv)
        : m_options(options)
        , m_runner(runner)
        , m_csv(csv)
        , m_lines(!options.quiet && !options.json)
        , m_stdoutIsTerminal(::isatty(STDOUT_FILENO) == 1)
        , m_progress(::isatty(STDERR_FILENO) == 1 && (options.count > 0 || options.deadlineMs > 0))
    {
        if (!options.plotPath.isEmpty())
            m_bins = std::make_unique<TimeBins>();
        // The timer is the context: the connections go with the recorder.
        QObject::connect(&runner, &ProbeRunner::began, &m_flushTimer, [this] {
            m_flushTimer.start(kFlushMs);
            if (m_progress)
                m_progressTimer.start(kProgressMs);
        });
        QObject::connect(&runner, &ProbeRunner::exchanged, &m_flushTimer,
                         [this](const Exchange& exchange) { onExchange(exchange); });
        QObject::connect(&m_flushTimer, &QTimer::timeout, [this] { flush(); });
        QObject::connect(&m_progressTimer, &QTimer::timeout, [this] { drawProgress(); });
    }

    const TimeBins* timeBins() const { return m_bins.get(); }

    // Stops the progress line and the periodic flushes; the run is over.
    void stop()
    {
        m_flushTimer.stop();
        m_progressTimer.stop();
        clearProgress();
    }

private:
    // Buffered output is handed on at least this often, so a run's lines and
    // rows show up in a file while it goes on, and a full disk is noticed.
    static constexpr int kFlushMs = 1000;
    static constexpr int kProgressMs = 250;

    void onExchange(const Exchange& exchange)
    {
        if (m_csv && exchange.isRequest() && !m_csv->failed()
            && !m_csv->write(exchange, m_runner.startEpochUs()))
            csvFailed();
        if (m_bins) {
            if (RequestTracker::recordsRoundTrip(exchange))
                m_bins->addReply(exchange.sentNs, exchange.roundTripNs);
            else if (exchange.outcome == Exchange::Outcome::Lost)
                m_bins->addLost(exchange.sentNs);
        }
        if (m_lines && exchange.outcome != Exchange::Outcome::Unanswered)
            printLine(exchangeLine(exchange, m_options.host, m_options.connections > 1, m_options.timeoutMs));
    }

    void csvFailed()
    {
        m_runner.abort({RunEnd::Kind::OutputFailed,
                        QStringLiteral("--csv %1: %2").arg(m_options.csvPath, m_csv->errorString())});
    }

    void printLine(const QString& line)
    {
        // The progress line shares the terminal: wiped first, redrawn on its
        // next tick.
        if (m_stdoutIsTerminal)
            clearProgress();
        printOut(line + u'\n');
        // Each line at once when they come slowly; in bulk when back to back.
        if (m_options.intervalMs > 0)
            std::fflush(stdout);
    }

    void flush()
    {
        std::fflush(stdout);
        if (m_csv && !m_csv->failed() && !m_csv->flush())
            csvFailed();
    }

    void drawProgress()
    {
        const ProbeFigures total = m_runner.tally().total();
        const QByteArray line =
            progressText(total.sent, total.lost, m_runner.elapsedNs(), m_options.count, m_options.deadlineMs)
                .toLocal8Bit();
        std::fprintf(stderr, "\r%s\x1b[K", line.constData());
        std::fflush(stderr);
        m_progressShown = true;
    }

    void clearProgress()
    {
        if (!m_progressShown)
            return;
        std::fputs("\r\x1b[K", stderr);
        std::fflush(stderr);
        m_progressShown = false;
    }

    const ProbeOptions& m_options;
    ProbeRunner& m_runner;
    ExchangeCsvWriter* m_csv;
    std::unique_ptr<TimeBins> m_bins;
    QTimer m_flushTimer;
    QTimer m_progressTimer;
    bool m_lines;
    bool m_stdoutIsTerminal;
    bool m_progress; // stderr is a terminal and the run has a bound
    bool m_progressShown = false;
};

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
    const ProbeFigures total = tally.total();
    const LatencyHistogram& rtt = *total.roundTrip;
    PlotInput input;
    input.title =
        QStringLiteral("vexa-probe %1 (%2 port %3): %4 sent, %5 received, %6 lost (%7%), %8 failed")
            .arg(options.host, options.protocolName(), QString::number(options.effectivePort()),
                 QString::number(total.sent), QString::number(total.replies), QString::number(total.lost),
                 QString::number(total.lostPercent(), 'f', 2), QString::number(total.failed));
    const QDateTime started = QDateTime::fromMSecsSinceEpoch(runner.startEpochUs() / 1000, Qt::UTC);
    QString figures;
    if (rtt.count()) {
        figures = QStringLiteral("; round trip p50 %1 ms, p99 %2 ms, max %3 ms")
                      .arg(millisecondsText(rtt.percentile(50)), millisecondsText(rtt.percentile(99)),
                           millisecondsText(rtt.max()));
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
    input.distribution = rtt;
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

    // The arguments are ours alone: Qt gets none to interpret. Text in a plot
    // needs fonts, hence a GUI application, on a platform that needs no
    // display.
    qInstallMessageHandler(quietQtMessages);
    static int qtArgc = 1;
    static char* qtArgv[] = {argv[0], nullptr};
    std::unique_ptr<QCoreApplication> app;
    if (!options.plotPath.isEmpty()) {
        if (auto error = checkPlotPath(options.plotPath)) {
            printError(*error);
            return 2;
        }
        qputenv("QT_QPA_PLATFORM", "offscreen");
        // On Windows that platform reads fonts from one folder, Qt's own
        // (none beside the zip's DLLs) unless told: the system's, then.
        if (!qEnvironmentVariableIsSet("QT_QPA_FONTDIR") && qEnvironmentVariableIsSet("WINDIR"))
            qputenv("QT_QPA_FONTDIR",
                    QDir(qEnvironmentVariable("WINDIR")).filePath(QStringLiteral("Fonts")).toUtf8());
        app = std::make_unique<QGuiApplication>(qtArgc, qtArgv);
        // A plot without text is no use, and would be found out only after
        // the run.
        if (QFontDatabase::families().isEmpty()) {
            printError(QStringLiteral("--plot %1: no fonts to write its text with; QT_QPA_FONTDIR can name "
                                      "a folder of font files")
                           .arg(options.plotPath));
            return 2;
        }
    } else {
        app = std::make_unique<QCoreApplication>(qtArgc, qtArgv);
    }
    std::unique_ptr<ExchangeCsvWriter> csv;
    if (!options.csvPath.isEmpty()) {
        csv = std::make_unique<ExchangeCsvWriter>();
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
                           plotInput(options, runner.tally(), *recorder.timeBins(), runner), &error))
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

        const int status = probeExitStatus(end, runner.tally().total());
        if (options.json) {
            const QByteArray json = summaryJson(options, runner.tally(), runner.elapsedNs(), end, status);
            std::fwrite(json.constData(), 1, size_t(json.size()), stdout);
        } else if (end.kind != RunEnd::Kind::Unreachable) {
            printOut((options.quiet ? QString() : QStringLiteral("\n"))
                     + summaryText(options, runner.tally(), runner.elapsedNs()));
        }
        std::fflush(stdout);
        if (plots && !options.json)
            drawPlot();
        QCoreApplication::exit(status);
    });

    runner.start();
    return QCoreApplication::exec();
}
