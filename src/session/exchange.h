// SPDX-License-Identifier: GPL-3.0-or-later
// One exchange with the module as the request tracker decided it: a request
// and what became of it, or reply bytes that answered nothing. The log rows,
// the probe's lines and CSV rows, and the monitor's counters are all made
// of these.
#pragma once

#include <QByteArray>
#include <QtGlobal>

struct Exchange {
    enum class Outcome {
        Answered, // a whole reply came in time; `faults` says whether it passed the checks
        Lost, // given up (`lostReason` says why) or dropped with the session
        Unanswered, // still waiting when the run was cut short
        Late, // the reply of a request already counted lost
        Unexpected, // reply bytes that answer no request
    };
    enum class LostReason {
        Deadline, // no reply within the reply timeout
        Overtaken, // over TCP, a later request was answered first
        Superseded, // a new request took its place before its reply was whole
        SessionEnded, // the connection ended or the session was closed
    };

    int connection = 1; // counted from 1
    // The request's number in its session, from 1; for Unexpected, 0.
    quint64 sequence = 0;
    // When the request was sent (Unexpected: when the bytes came), on the
    // tracker's clock, and when it was decided.
    qint64 sentNs = 0;
    qint64 decidedNs = 0;
    Outcome outcome = Outcome::Lost;
    LostReason lostReason = LostReason::Deadline;
    // The request's invoke ID; for Unexpected the reply's, when it is long
    // enough to carry one.
    quint16 invokeId = 0;
    bool hasInvokeId = true;
    // Answered and Late: the round trip, or -1 where another request could
    // have drawn the reply (untimed).
    qint64 roundTripNs = -1;
    unsigned faults = 0; // Answered: ReplyFault bits of the failed checks
    // The frames as they went and came; `reply` is empty without one.
    QByteArray request;
    QByteArray reply;
    // Lost over TCP: what had arrived of its reply, and the size the reply
    // announced (-1 before its header was in).
    int arrivedBytes = 0;
    int expectedBytes = -1;

    bool answered() const { return outcome == Outcome::Answered; }
    bool timed() const { return roundTripNs >= 0; }
    // A request's fate, rather than reply bytes beside one.
    bool isRequest() const { return outcome != Outcome::Late && outcome != Outcome::Unexpected; }
};

// The words the CSV, the log and the probe's JSON use for a lost request's
// reason: "timeout", "overtaken", "superseded", "session-ended".
const char* lostReasonWord(Exchange::LostReason reason);
