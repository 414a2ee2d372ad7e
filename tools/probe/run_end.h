// SPDX-License-Identifier: GPL-3.0-or-later
// How a run ended: with the tally, what the summaries and the exit status
// are made of.
#pragma once

#include <QString>
#include <QtGlobal>

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
