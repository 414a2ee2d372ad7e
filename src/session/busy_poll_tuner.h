// SPDX-License-Identifier: GPL-3.0-or-later
// Decides, from the rate replies come at, whether a back-to-back run should
// busy-poll for its replies or sleep until they come.
//
// Busy polling keeps the tool's own wake-up out of each cycle, which on an
// idle machine makes cycles shorter. On a machine with no processor to spare
// it takes the processor from the module (or whatever else must run) and
// makes them longer; for a module slower than the busy-poll time it only
// burns the processor. So the run tries both in turn, keeps whichever gives
// clearly shorter cycles (sleeping unless busy polling wins), and tries again
// now and then, as the machine's load changes.
#pragma once

#include <QtGlobal>

class BusyPollTuner {
public:
    // Each trial lasts `trialReplies` replies; the choice is then kept for
    // `keptTrials` times as many, before the next pair of trials.
    explicit BusyPollTuner(int trialReplies = 256, int keptTrials = 16);

    bool busyPolling() const { return m_busyPolling; }
    // A reply was taken at `nowNs` (any steady clock).
    void replied(qint64 nowNs);

private:
    enum class Phase { TryBusy, TrySleep, Keep };

    void startPhase(Phase phase, qint64 nowNs);

    int m_trialReplies;
    int m_keptTrials;
    Phase m_phase = Phase::TryBusy;
    bool m_busyPolling = true;
    int m_replies = -1; // in this phase; -1 until the phase's first reply
    qint64 m_phaseStartNs = 0;
    qint64 m_busyNs = 0; // the busy trial's length
};
