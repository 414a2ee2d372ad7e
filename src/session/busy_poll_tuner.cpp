// SPDX-License-Identifier: GPL-3.0-or-later
// Busy polling against sleeping, tried in turn.
#include "session/busy_poll_tuner.h"

BusyPollTuner::BusyPollTuner(int trialReplies, int keptTrials)
    : m_trialReplies(trialReplies)
    , m_keptTrials(keptTrials)
{
}

void BusyPollTuner::startPhase(Phase phase, qint64 nowNs)
{
    m_phase = phase;
    m_phaseStartNs = nowNs;
    m_replies = 0;
}

void BusyPollTuner::replied(qint64 nowNs)
{
    if (m_replies < 0) {
        // The first reply of the run starts the clock: the connection and
        // the first request are not cycles.
        startPhase(Phase::TryBusy, nowNs);
        return;
    }
    ++m_replies;
    switch (m_phase) {
    case Phase::TryBusy:
        if (m_replies < m_trialReplies)
            return;
        m_busyNs = nowNs - m_phaseStartNs;
        m_busyPolling = false;
        startPhase(Phase::TrySleep, nowNs);
        return;
    case Phase::TrySleep: {
        if (m_replies < m_trialReplies)
            return;
        const qint64 sleepNs = nowNs - m_phaseStartNs;
        // Busy polling must be clearly faster (by a twentieth) to be kept:
        // it costs a processor, and a tie is noise.
        m_busyPolling = m_busyNs * 20 < sleepNs * 19;
        startPhase(Phase::Keep, nowNs);
        return;
    }
    case Phase::Keep:
        if (m_replies < m_trialReplies * m_keptTrials)
            return;
        m_busyPolling = true;
        startPhase(Phase::TryBusy, nowNs);
        return;
    }
}
