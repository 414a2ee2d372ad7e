// SPDX-License-Identifier: GPL-3.0-or-later
// How a run ended, and the exit status that follows from it.
#pragma once

#include "run_tally.h"

#include <QString>

struct RunEnd {
    enum class Kind {
        Completed, // the count or the deadline was reached
        Interrupted, // Ctrl+C (or SIGTERM)
        ConnectionEnded, // the module closed or reset a connection, or a send failed
        Unreachable, // no connection could be opened or the host is unknown
        OutputFailed, // the CSV file could not be written
    };
    Kind kind = Kind::Completed;
    QString message; // what happened, for a person; empty when completed
};

// Exit status of a run: 0 every request answered and every reply passed the
// checks, 1 anything else (lost, failed, nothing answered, the connection
// ended, an output file could not be written), 3 unreachable. Requests still
// in flight when the run was interrupted count neither way.
int probeExitStatus(const RunEnd& end, const ProbeFigures& total);

// The word for a run's end in the JSON summary.
QString runEndWord(RunEnd::Kind kind);
