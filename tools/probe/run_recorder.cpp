// SPDX-License-Identifier: GPL-3.0-or-later
// Fan-out of the runner's findings; the progress line is drawn with a
// carriage return and erase-to-end-of-line.
#include "run_recorder.h"

#include "probe_runner.h"

#include <QTimer>

#include <cstdio>
#include <unistd.h>

namespace {

// Buffered output is handed on at least this often, so a run's lines and
// rows show up in a file while it goes on, and a full disk is noticed.
constexpr int kFlushMs = 1000;
constexpr int kProgressMs = 250;

} // namespace

RunRecorder::RunRecorder(const ProbeOptions& options, ProbeRunner& runner, CsvWriter* csv, QObject* parent)
    : QObject(parent)
    , m_options(options)
    , m_runner(runner)
    , m_csv(csv)
    , m_tally(options.connections)
    , m_flushTimer(new QTimer(this))
    , m_progressTimer(new QTimer(this))
    , m_lines(!options.quiet && !options.json)
    , m_stdoutIsTerminal(::isatty(STDOUT_FILENO) == 1)
    , m_progress(::isatty(STDERR_FILENO) == 1 && (options.count > 0 || options.deadlineMs > 0))
{
    if (!options.plotPath.isEmpty())
        m_bins = std::make_unique<TimeBins>();
    connect(&runner, &ProbeRunner::began, this, [this] {
        m_flushTimer->start(kFlushMs);
        if (m_progress)
            m_progressTimer->start(kProgressMs);
    });
    connect(&runner, &ProbeRunner::requestSent, this,
            [this](int connection) { m_tally.addSent(connection); });
    connect(&runner, &ProbeRunner::outcome, this, &RunRecorder::onOutcome);
    connect(&runner, &ProbeRunner::stray, this, [this](const StrayReply& stray) {
        m_tally.add(stray);
        if (m_lines)
            printLine(strayLine(stray, m_options.host, m_options.connections > 1));
    });
    connect(m_flushTimer, &QTimer::timeout, this, &RunRecorder::flush);
    connect(m_progressTimer, &QTimer::timeout, this, &RunRecorder::drawProgress);
}

void RunRecorder::onOutcome(const RequestOutcome& outcome)
{
    m_tally.add(outcome);
    if (m_csv && !m_csv->failed() && !m_csv->write(outcome, m_runner.startEpochUs())) {
        m_runner.abort({RunEnd::Kind::OutputFailed,
                        QStringLiteral("--csv %1: %2").arg(m_options.csvPath, m_csv->errorString())});
    }
    if (m_bins) {
        if (outcome.verdict == RequestOutcome::Verdict::Answered && !outcome.faults)
            m_bins->addReply(outcome.sentNs, outcome.roundTripNs);
        else if (outcome.verdict == RequestOutcome::Verdict::Lost)
            m_bins->addLost(outcome.sentNs);
    }
    if (m_lines && outcome.verdict != RequestOutcome::Verdict::Unanswered)
        printLine(outcomeLine(outcome, m_options.host, m_options.connections > 1, m_options.timeoutMs));
}

void RunRecorder::printLine(const QString& line)
{
    // The progress line shares the terminal: wiped first, redrawn on its
    // next tick.
    if (m_stdoutIsTerminal)
        clearProgress();
    const QByteArray bytes = line.toLocal8Bit() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    // Each line at once when they come slowly; in bulk when back to back.
    if (m_options.intervalMs > 0)
        std::fflush(stdout);
}

void RunRecorder::flush()
{
    std::fflush(stdout);
    if (m_csv && !m_csv->failed() && !m_csv->flush()) {
        m_runner.abort({RunEnd::Kind::OutputFailed,
                        QStringLiteral("--csv %1: %2").arg(m_options.csvPath, m_csv->errorString())});
    }
}

void RunRecorder::drawProgress()
{
    const ProbeFigures& total = m_tally.total();
    const QByteArray line =
        progressText(total.sent, total.lost, m_runner.elapsedNs(), m_options.count, m_options.deadlineMs)
            .toLocal8Bit();
    std::fprintf(stderr, "\r%s\x1b[K", line.constData());
    std::fflush(stderr);
    m_progressShown = true;
}

void RunRecorder::clearProgress()
{
    if (!m_progressShown)
        return;
    std::fputs("\r\x1b[K", stderr);
    std::fflush(stderr);
    m_progressShown = false;
}

void RunRecorder::stop()
{
    m_flushTimer->stop();
    m_progressTimer->stop();
    clearProgress();
}
