// SPDX-License-Identifier: GPL-3.0-or-later
// Runs a probe: K session engines side by side, each with one request in
// flight, paced by the interval, bounded by the count or the deadline, with
// a timeout per request. It decides what became of every request and says
// so through its signals; counting, printing and files are someone else's.
#pragma once

#include "busy_poll_tuner.h"
#include "probe_options.h"
#include "request_outcome.h"
#include "run_end.h"

#include <QElapsedTimer>
#include <QObject>
#include <QSet>

#include <deque>
#include <memory>
#include <optional>
#include <vector>

class QTimer;
class SessionEngine;
struct ArrivedReply;
struct SentRequest;

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
    bool hasBegun() const { return m_begun; }

signals:
    // Every session is open; the first requests go out now.
    void began();
    void requestSent(int connection);
    void outcome(const RequestOutcome& outcome);
    void stray(const StrayReply& stray);
    // Once, after the last outcome.
    void finished(const RunEnd& end);

private:
    struct Pending {
        quint64 sequence = 0;
        qint64 sentNs = 0;
    };
    // A reply the engine matched to a request already counted lost, while the
    // next request waits: either that request's late reply, or (if the
    // module never answered the lost one) the waiting request's own reply.
    // The next event tells: another reply means late, a timeout means it was
    // the waiting request's.
    struct Undecided {
        quint64 lostSequence = 0;
        qint64 arrivedNs = 0; // on the runner's clock
        qint64 roundTripNs = 0; // from the lost request
        RequestOutcome asAnswer; // the reply's fields, should it be the waiting request's
    };
    struct Connection {
        int index = 1;
        SessionEngine* engine = nullptr;
        QTimer* timeout = nullptr;
        QTimer* pause = nullptr;
        bool open = false;
        // Requests sent and not yet decided, oldest first; one in the
        // normal course.
        std::deque<Pending> pending;
        // Requests counted lost, so that a reply for one is known as late.
        std::deque<quint64> lostOrder;
        QSet<quint64> lost;
        // The latest lost request whose late reply has not come: what a
        // reply that answers nothing waiting is taken for.
        quint64 lateCandidate = 0;
        qint64 lateCandidateSentNs = 0;
        std::optional<Undecided> undecided;
        // The engine still waits for a request whose reply has been taken:
        // it must give that up before the next request goes out.
        bool engineBehind = false;
        // A request as sent: what the replies are checked against.
        QByteArray request;
        bool resumeQueued = false;
        // Whether a back-to-back wait busy-polls first.
        BusyPollTuner busyPoll;
    };

    void setUp(Connection& c);
    void onConnected(Connection& c);
    void begin();
    void sendNext(Connection& c);
    void onRequestSent(Connection& c, const SentRequest& request);
    void onReply(Connection& c, const ArrivedReply& reply);
    void onTimeout(Connection& c);
    void onSessionEnding(Connection& c, const QString& text);
    void onRefused(Connection& c, const QString& reason);
    // A request of `c` has been decided; send the next one or wind down.
    void afterDecided(Connection& c, bool insideReply);
    void declareLost(Connection& c, const Pending& pending, bool connectionEnded);
    void emitLate(Connection& c, quint64 sequence, qint64 roundTripNs, int bytes);
    // A reply that answers no request this run knows of.
    void emitUnexpected(const Connection& c, int bytes);
    RequestOutcome answerOutcome(const Connection& c, const Pending& request,
                                 const ArrivedReply& reply) const;
    void settleUndecidedAsLate(Connection& c);
    void armTimeout(Connection& c);
    void keepTimeout(Connection& c);
    bool drives() const;
    void queueDrive();
    void drive();
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
    qint64 m_startEpochUs = 0;
    qint64 m_durationNs = -1;
    qint64 m_timeoutNs = 0;
    quint64 m_sent = 0;
    int m_open = 0;
    bool m_begun = false;
    bool m_stopping = false; // no further requests: deadline reached or count sent
    bool m_finished = false;
    bool m_anyReply = false;
    bool m_driveQueued = false;
};
