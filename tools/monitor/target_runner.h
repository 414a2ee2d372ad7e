// SPDX-License-Identifier: GPL-3.0-or-later
// One target watched: a session with the module kept open (a new engine for
// each connection attempt, with a backoff between them), a request on each
// slot of the schedule with one in flight, and every request's fate counted
// in the target's metrics, which outlive the connections.
#pragma once

#include "monitor_config.h"
#include "monitor_metrics.h"
#include "reconnect_backoff.h"
#include "request_schedule.h"
#include "session/request_tracker.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>

class QTimer;
class SessionEngine;
struct ArrivedReply;
struct GivenUpRequest;
struct SentRequest;
struct SocketEnd;

class TargetRunner : public QObject {
    Q_OBJECT
public:
    // Where the runner says what happened to its connection, one line each.
    using Log = std::function<void(const QString&)>;

    // A TCP connection not open by then has failed.
    static constexpr int kConnectTimeoutMs = 5000;

    TargetRunner(const TargetConfig& config, const TargetMetrics& metrics, Log log,
                 QObject* parent = nullptr);
    // Closes the session; a request in flight is counted lost with it.
    ~TargetRunner() override;

    // Opens the first session.
    void start();

    const TargetConfig& config() const { return m_config; }
    const TargetMetrics& metrics() const { return m_metrics; }

private:
    void attempt();
    void opened();
    void onConnected();
    void onSessionEnding(const SocketEnd& end);
    void onRefused(const QString& reason);
    void onConnectTimeout();
    // The session is over (or never opened): counted, said, and tried again
    // after the backoff.
    void endSession(const QString& why);
    // Lets go of the engine; `close` when it has not closed itself.
    void retireEngine(bool close);
    void onTick();
    void sendIfDue();
    void sendSoonIfDue();
    void armTick();
    // One exchange the tracker decided, into the metrics.
    void count(const Exchange& exchange);
    bool isTcp() const { return m_config.protocol == RequestProtocol::Tcp; }
    QString where() const;
    // On the system's monotonic clock, which every target shares, so that
    // slots on the same step of the grid come at the same moment.
    static qint64 nowNs();

    TargetConfig m_config;
    TargetMetrics m_metrics;
    Log m_log;
    SessionEngine* m_engine = nullptr;
    QTimer* m_tickTimer = nullptr;
    QTimer* m_retryTimer = nullptr;
    QTimer* m_connectTimer = nullptr;
    // Sends from the event loop: a reply is announced from inside the
    // engine's reply path, which must be left before the next request.
    QTimer* m_sendSoon = nullptr;
    RequestSchedule m_schedule;
    ReconnectBackoff m_backoff;
    bool m_open = false;
    // Outlives the sessions: a request in flight when one ends is counted
    // lost with it.
    RequestTracker m_tracker;
    // The last failure said, and the wait after it: a module that stays
    // down is said once at the longest wait, not every minute.
    QString m_lastFailure;
    int m_lastWaitMs = 0;
};
