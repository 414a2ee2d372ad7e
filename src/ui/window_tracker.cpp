// SPDX-License-Identifier: GPL-3.0-or-later
// Feeding the request tracker from the engine's signals.
#include "ui/window_tracker.h"

#include "session/session_engine.h"

#include <chrono>

namespace {

// The chart's minute: 120 bins of half a second.
constexpr int kRecentBins = 120;
constexpr qint64 kRecentBinNs = 500'000'000;

} // namespace

WindowTracker::WindowTracker(SessionEngine* engine, QObject* parent)
    : QObject(parent)
    , m_recent(kRecentBins, kRecentBinNs, TimeBins::Window::Sliding)
{
    m_tracker.setSink([this](const Exchange& exchange) {
        if (RequestTracker::recordsRoundTrip(exchange))
            m_recent.addReply(exchange.sentNs, exchange.roundTripNs);
        else if (exchange.outcome == Exchange::Outcome::Lost)
            m_recent.addLost(exchange.sentNs);
        if (m_sink)
            m_sink(exchange);
    });
    // Taken together, so that a time on the clock maps to the epoch within
    // a microsecond or two.
    m_clock.start();
    m_epochUsAtZero = std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
    // Direct calls: the tracker does a few counts and a copy per event, no
    // more, at the thousands of events a second of continuous mode.
    connect(engine, &SessionEngine::requestSent, this,
            [this](const SentRequest& request) { m_tracker.requestSent(request, now()); });
    connect(engine, &SessionEngine::replyArrived, this,
            [this](const ArrivedReply& reply) { m_tracker.replyArrived(reply, now()); });
    connect(engine, &SessionEngine::requestGivenUp, this,
            [this](const GivenUpRequest& request) { m_tracker.requestGivenUp(request, now()); });
    connect(engine, &SessionEngine::sessionEnding, this, [this] { m_tracker.sessionEnded(now()); });
}

double WindowTracker::requestsPerSecond() const
{
    const qint64 first = m_tracker.firstSentNs();
    const qint64 last = m_tracker.lastEventNs();
    if (first < 0 || last <= first)
        return 0;
    return double(m_tracker.counts().sent) * 1e9 / double(last - first);
}

void WindowTracker::resetStatistics()
{
    m_tracker.resetStatistics();
    m_recent.clear();
    emit statisticsReset();
}
