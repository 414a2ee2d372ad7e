// SPDX-License-Identifier: GPL-3.0-or-later
// Counting outcomes into figures.
#include "run_tally.h"

#include <algorithm>

double ProbeFigures::lostPercent() const
{
    const quint64 known = received + lost;
    return known ? 100.0 * double(lost) / double(known) : 0.0;
}

RunTally::RunTally(int connections)
    : m_perConnection(static_cast<size_t>(std::max(connections, 1)))
{
    for (ProbeFigures& figures : m_perConnection)
        figures.roundTrip = LatencyHistogram(kConnectionBits);
    m_total.roundTrip = LatencyHistogram(kTotalBits);
}

ProbeFigures& RunTally::at(int connection)
{
    const size_t index = static_cast<size_t>(std::clamp(connection, 1, connections()) - 1);
    return m_perConnection[index];
}

const ProbeFigures& RunTally::connection(int connection) const
{
    return const_cast<RunTally*>(this)->at(connection);
}

void RunTally::addSent(int connection)
{
    ++at(connection).sent;
    ++m_total.sent;
}

void RunTally::count(ProbeFigures& figures, const RequestOutcome& outcome)
{
    switch (outcome.verdict) {
    case RequestOutcome::Verdict::Answered:
        ++figures.received;
        if (outcome.faults) {
            ++figures.failed;
            for (int i = 0; i < kReplyFaultKinds; ++i) {
                if (outcome.faults & (1u << i))
                    ++figures.faults[static_cast<size_t>(i)];
            }
        } else {
            figures.roundTrip.record(outcome.roundTripNs);
        }
        break;
    case RequestOutcome::Verdict::Lost:
        ++figures.lost;
        break;
    case RequestOutcome::Verdict::Unanswered:
        ++figures.unanswered;
        break;
    }
}

void RunTally::add(const RequestOutcome& outcome)
{
    count(at(outcome.connection), outcome);
    count(m_total, outcome);
}

void RunTally::add(const StrayReply& stray)
{
    ProbeFigures& figures = at(stray.connection);
    if (stray.kind == StrayReply::Kind::Late) {
        ++figures.late;
        ++m_total.late;
    } else {
        ++figures.unexpected;
        ++m_total.unexpected;
    }
}
