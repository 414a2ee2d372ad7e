// SPDX-License-Identifier: GPL-3.0-or-later
// What became of one request, replies that answer no waiting request, and
// how the run ended: the runner's findings, which the tally, the lines, the
// summaries, the CSV, the plot and the exit status all take from here.
#pragma once

#include <QString>
#include <QtGlobal>

struct RequestOutcome {
    enum class Verdict {
        Answered, // a reply came in time; `faults` says whether it passed the checks
        Lost, // no reply within the timeout, or the connection ended first
        Unanswered, // still waiting when the run was interrupted
    };
    int connection = 1; // counted from 1
    quint64 sequence = 0; // the session's request number, from 1
    qint64 sentNs = 0; // when it was sent, since the run began
    Verdict verdict = Verdict::Lost;
    qint64 roundTripNs = -1; // Answered only
    int bytes = 0; // the reply's size; 0 without one
    QString state; // the reply's state and Code/No as hex texts; empty without
    QString code;
    unsigned faults = 0; // ReplyFault bits
    QString faultText; // describeFaults(), when faults != 0
    bool connectionEnded = false; // Lost because the connection ended, not by timeout
    // Lost over TCP: what had arrived of its reply, and the size the reply
    // announced (-1 before its header was in).
    int arrivedBytes = 0;
    int expectedBytes = -1;
};

// A whole reply that no waiting request takes: one for a request already
// counted lost (late), or one that answers no request (unexpected).
struct StrayReply {
    enum class Kind { Late, Unexpected };
    Kind kind = Kind::Unexpected;
    int connection = 1;
    quint64 sequence = 0; // Late: the lost request it answers
    qint64 roundTripNs = -1; // Late: how long after that request it came; -1 untimed
    int bytes = 0;
    QString invokeId; // Unexpected: the invoke ID it carries; empty when too short for one
};

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
