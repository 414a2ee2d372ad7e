// SPDX-License-Identifier: GPL-3.0-or-later
// Runs a probe: K session engines side by side, each with one request in
// flight, paced by the interval, bounded by the count or the deadline, with
// a timeout per request. Each connection's request tracker decides what
// became of every request; the runner hands each exchange on through its
// signal, and printing and files are someone else's.
#pragma once

#include "probe_options.h"
#include "run_end.h"
#include "run_report.h"

#include <QElapsedTimer>
#include <QObject>

#include <memory>
#include <optional>
#include <vector>

class QTimer;
struct SocketEnd;
class SessionEngine;

class ProbeRunner : public QObject {
    Q_OBJECT
public:
    explicit ProbeRunner(const ProbeOptions& options, QObject* parent = nullptr);
    ~ProbeRunner() override;

    // Opens the sessions (TCP: connects, within the connect timeout) and
    // starts sending once all are open.
    void start();
    // Ctrl+C: ends the run now. Requests in flight become Unanswered.
    void interrupt();
    // Ends the run now with `end` (an output that cannot be written).
    void abort(const RunEnd& end);

    // Since the first request; the whole run once finished.
    qint64 elapsedNs() const;
    // When the run began, in microseconds since the Unix epoch.
    qint64 startEpochUs() const { return m_startEpochUs; }
    // The counts so far, per connection and summed.
    const RunTally& tally() const { return m_tally; }

signals:
    // Every session is open; the first requests go out now.
    void began();
    void requestSent(int connection);
    // A request decided, or reply bytes beside one (late, unexpected).
    void exchanged(const Exchange& exchange);
    // Something about the module worth saying once, for a person.
    void notice(const QString& text);
    // Once, after the last outcome.
    void finished(const RunEnd& end);

private:
    struct Connection {
        int index = 1;
        SessionEngine* engine = nullptr;
        QTimer* pause = nullptr;
        bool open = false;
        RequestTracker* tracker = nullptr; // the tally's
        bool waits() const { return tracker->waiting() > 0; }
    };

    void setUp(Connection& c);
    void onConnected(Connection& c);
    void begin();
    void sendNext(Connection& c);
    void onSessionEnding(Connection& c, const SocketEnd& end);
    void onExchange(Connection& c, const Exchange& exchange);
    // A request of `c` has been decided; send the next one or wind down.
    void afterDecided(Connection& c);
    // A reply that answers no request.
    void onAnswersNothing(const Exchange& exchange);
    void adviseOnInvokeIds();
    void checkDeadline();
    bool maySend() const;
    void stopSending();
    void finishIfDone();
    void finish(const RunEnd& end);
    QString where() const;

    ProbeOptions m_options;
    std::vector<std::unique_ptr<Connection>> m_connections;
    QTimer* m_connectTimer = nullptr;
    QTimer* m_deadlineTimer = nullptr;
    QElapsedTimer m_clock;
    RunTally m_tally;
    qint64 m_startEpochUs = 0;
    qint64 m_durationNs = -1;
    quint64 m_sent = 0;
    // Replies that answered a request of this run, and those that answered
    // none: numbered invoke IDs that never come back mean a module that does
    // not copy them.
    quint64 m_matchedReplies = 0;
    quint64 m_unmatchedReplies = 0;
    QString m_unmatchedInvokeId; // the last one such a reply carried
    bool m_advisedOnInvokeIds = false;
    int m_open = 0;
    bool m_begun = false;
    bool m_stopping = false; // no further requests: deadline reached or count sent
    bool m_finished = false;
    bool m_anyReply = false;
};
