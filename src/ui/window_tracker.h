// SPDX-License-Identifier: GPL-3.0-or-later
// The window's request tracker: what became of every request of the form's
// session, counted from the engine's events on a clock of its own.
#pragma once

#include "session/request_tracker.h"

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
    void setSink(RequestTracker::Sink sink) { m_tracker.setSink(std::move(sink)); }

    const RequestTracker::Counts& counts() const { return m_tracker.counts(); }
    const LatencyHistogram& roundTrip() const { return m_tracker.roundTrip(); }
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
    QElapsedTimer m_clock;
    qint64 m_epochUsAtZero = 0;
};
