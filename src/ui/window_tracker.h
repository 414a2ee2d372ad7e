// SPDX-License-Identifier: GPL-3.0-or-later
// The window's request tracker: what became of every request of the form's
// session, counted from the engine's events on a clock of its own.
#pragma once

#include "session/request_tracker.h"
#include "session/time_bins.h"

#include <QElapsedTimer>
#include <QObject>

class SessionEngine;

class WindowTracker final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(WindowTracker)
public:
    // Follows `engine` for as long as both live; the clock starts now.
    explicit WindowTracker(SessionEngine* engine, QObject* parent = nullptr);

    // Where each decided exchange goes, as it is decided: the exchange log.
    void setSink(RequestTracker::Sink sink) { m_sink = std::move(sink); }

    const RequestTracker::Counts& counts() const { return m_tracker.counts(); }
    const LatencyHistogram& roundTrip() const { return m_tracker.roundTrip(); }
    // The round trips and losses of about the last minute, for the chart;
    // moved on to the present by advance().
    const TimeBins& recent() const { return m_recent; }
    void advance() { m_recent.advanceTo(now()); }
    // The Unix time, in microseconds, of the clock's zero: exchanges' times
    // are on that clock, and the log and its CSV show them as local times.
    qint64 epochUsAtZero() const { return m_epochUsAtZero; }
    // Requests sent per second from the first one counted to the last
    // event; 0 before two events lie apart.
    double requestsPerSecond() const;

    // The counts and the round trips start again from nothing; nothing else
    // resets them.
    void resetStatistics();

signals:
    void statisticsReset();

private:
    qint64 now() const { return m_clock.nsecsElapsed(); }

    RequestTracker m_tracker;
    RequestTracker::Sink m_sink;
    TimeBins m_recent;
    QElapsedTimer m_clock;
    qint64 m_epochUsAtZero = 0;
};
