// SPDX-License-Identifier: GPL-3.0-or-later
// When a target's requests are due: on a fixed grid of slots, one interval
// apart, so that a slow reply or a timeout delays one request but not the
// ones after it, and a target sends duration / interval requests.
#pragma once

#include <QtGlobal>

class RequestSchedule {
public:
    // Slots at `phaseNs` + k × `intervalNs` on the caller's clock. The phase
    // spreads the targets over the interval instead of sending every
    // target's request in the same millisecond.
    RequestSchedule(qint64 intervalNs, qint64 phaseNs);

    // Starts (again) at `nowNs`: the first slot is the next one on the grid,
    // and slots missed while stopped are not owed.
    void start(qint64 nowNs);
    void stop() { m_running = false; }
    bool running() const { return m_running; }

    // Counts the slots that have come by `nowNs`.
    void advance(qint64 nowNs);
    // Takes one slot that has come and has not had its request, if any: a
    // slot passed while a request waited is owed, and taken once it is
    // decided. At most kMaxOwed are owed, so that a long stall does not
    // end in a burst.
    bool takeDue(qint64 nowNs);
    // Whether a slot has come by `nowNs` that has not had its request.
    bool isDue(qint64 nowNs);
    // When the next slot comes.
    qint64 nextSlotNs() const;

    static constexpr int kMaxOwed = 2;

private:
    qint64 m_intervalNs;
    qint64 m_phaseNs;
    qint64 m_nextSlot = 0; // index of the first slot not yet counted
    int m_owed = 0;
    bool m_running = false;
};
