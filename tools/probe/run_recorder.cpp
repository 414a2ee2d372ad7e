// SPDX-License-Identifier: GPL-3.0-or-later
// Fan-out of the runner's findings.
#include "run_recorder.h"

#include "probe_runner.h"
#include "report_lines.h"

#include <QTimer>

#include <cstdio>
#include <unistd.h>

namespace {

// Buffered output is handed on at least this often, so a run's lines and
// rows show up in a file while it goes on, and a full disk is noticed.
constexpr int kFlushMs = 1000;

} // namespace

RunRecorder::RunRecorder(const ProbeOptions& options, ProbeRunner& runner, CsvWriter* csv, QObject* parent)
    : QObject(parent)
    , m_options(options)
    , m_runner(runner)
    , m_csv(csv)
    , m_tally(options.connections)
    , m_progress(new ProgressLine(::isatty(STDERR_FILENO) == 1, options.count, options.deadlineMs, this))
    , m_flushTimer(new QTimer(this))
    , m_lines(!options.quiet && !options.json)
    , m_stdoutIsTerminal(::isatty(STDOUT_FILENO) == 1)
    // Each line at once when they come slowly; in bulk when back to back.
    , m_flushEachLine(options.intervalMs > 0)
{
    if (!options.plotPath.isEmpty())
        m_bins = std::make_unique<TimeBins>();
    connect(&runner, &ProbeRunner::began, this, &RunRecorder::onBegan);
    connect(&runner, &ProbeRunner::requestSent, this,
            [this](int connection) { m_tally.addSent(connection); });
    connect(&runner, &ProbeRunner::outcome, this, &RunRecorder::onOutcome);
    connect(&runner, &ProbeRunner::stray, this, &RunRecorder::onStray);
    connect(m_flushTimer, &QTimer::timeout, this, &RunRecorder::flush);
}

void RunRecorder::onBegan()
{
    m_flushTimer->start(kFlushMs);
    m_progress->start([this] {
        return ProgressLine::Snapshot{m_tally.sent(), m_tally.lost(), m_runner.elapsedNs()};
    });
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

void RunRecorder::onStray(const StrayReply& stray)
{
    m_tally.add(stray);
    if (m_lines)
        printLine(strayLine(stray, m_options.host, m_options.connections > 1));
}

void RunRecorder::printLine(const QString& line)
{
    // The progress line shares the terminal: wiped first, redrawn on its
    // next tick.
    if (m_stdoutIsTerminal)
        m_progress->clear();
    const QByteArray bytes = line.toLocal8Bit() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    if (m_flushEachLine)
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

void RunRecorder::stop()
{
    m_flushTimer->stop();
    m_progress->stop();
}
