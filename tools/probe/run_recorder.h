// SPDX-License-Identifier: GPL-3.0-or-later
// Takes the runner's findings as they come and hands each where it belongs:
// the tally, a line on stdout, a CSV row, the plot's time bins; and keeps
// the progress line on a terminal's stderr during a run with a count or a
// deadline (never written to a pipe or a file).
#pragma once

#include "run_report.h"
#include "time_bins.h"

#include <QObject>

#include <memory>

class ProbeRunner;
class QTimer;

class RunRecorder : public QObject {
    Q_OBJECT
public:
    // `csv` may be null (no --csv); the time bins are kept only with --plot.
    RunRecorder(const ProbeOptions& options, ProbeRunner& runner, CsvWriter* csv, QObject* parent = nullptr);

    const RunTally& tally() const { return m_tally; }
    const TimeBins* timeBins() const { return m_bins.get(); }
    // Stops the progress line and the periodic flushes; the run is over.
    void stop();

private:
    void onOutcome(const RequestOutcome& outcome);
    void printLine(const QString& line);
    void flush();
    void drawProgress();
    void clearProgress();

    const ProbeOptions& m_options;
    ProbeRunner& m_runner;
    CsvWriter* m_csv;
    RunTally m_tally;
    std::unique_ptr<TimeBins> m_bins;
    QTimer* m_flushTimer;
    QTimer* m_progressTimer;
    bool m_lines;
    bool m_stdoutIsTerminal;
    bool m_progress; // stderr is a terminal and the run has a bound
    bool m_progressShown = false;
};
