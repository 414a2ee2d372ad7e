// SPDX-License-Identifier: GPL-3.0-or-later
// The probe's run over its session engines.
//
// Counting rules. A request is decided once: Answered when a whole reply for
// it comes within the timeout (its round trip is the engine's elapsed
// time); Lost when the timeout passes first, when the reply's round trip
// exceeds the timeout (whichever the event loop saw first), or when the
// connection ends; Unanswered when the run is interrupted. A reply for a
// request already counted lost is late: reported and counted apart, never
// received and never lost a second time. A reply that answers nothing at all
// is unexpected.
//
// Matching replies to requests. Every request carries the same invoke ID, so
// only order and timing tell replies apart. The engine matches TCP replies to
// requests in order and keeps a lost request waiting, so a late reply is
// taken for it, as it should be. But a module that never answers a request
// would then put every later reply one request behind. So a reply for a lost
// request that comes while the next request waits stays undecided: if
// another reply follows, it was late; if the waiting request times out
// instead, it was that request's own reply (the lost one never got any), and
// the engine is told to give up the request it still waits for. Over UDP the
// engine gives up a waiting request when the next one is sent, so a late
// datagram is taken for the next request's reply, whose own reply then
// comes when nothing waits: a reply that answers nothing is taken for the
// latest lost request's late reply while one is owed. The counts stay
// right; one round trip is short.
#include "probe_runner.h"

#include "net/client_socket.h"
#include "reply_check.h"
#include "session/session_engine.h"

#include <QTimer>

#include <chrono>

namespace {

// Lost requests remembered per connection for telling late replies apart;
// a reply later than this many losses counts as unexpected instead.
constexpr size_t kRememberedLosses = 4096;

// How long a back-to-back run waits on its socket before it lets the event
// loop have a pass: the most that a timer, a signal or a socket event of
// its own waits behind the replies.
constexpr qint64 kDriveSliceNs = 20'000'000;

} // namespace

ProbeRunner::ProbeRunner(const ProbeOptions& options, QObject* parent)
    : QObject(parent)
    , m_options(options)
    , m_timeoutNs(qint64(options.timeoutMs) * 1'000'000)
{
}

ProbeRunner::~ProbeRunner() = default;

QString ProbeRunner::where() const
{
    return QStringLiteral("%1 %2 port %3")
        .arg(m_options.host, m_options.udp ? QStringLiteral("UDP") : QStringLiteral("TCP"),
             QString::number(m_options.effectivePort()));
}

qint64 ProbeRunner::elapsedNs() const
{
    if (m_durationNs >= 0)
        return m_durationNs;
    return m_begun ? m_clock.nsecsElapsed() : 0;
}

void ProbeRunner::start()
{
    for (int i = 1; i <= m_options.connections; ++i) {
        auto c = std::make_unique<Connection>();
        c->index = i;
        setUp(*c);
        m_connections.push_back(std::move(c));
    }
    if (m_options.udp) {
        // Nothing to open: datagrams go out with the first request.
        for (auto& c : m_connections) {
            if (auto refusal = c->engine->Start(m_options.host, m_options.effectivePort())) {
                finish({RunEnd::Kind::Unreachable,
                        QStringLiteral("cannot reach %1: %2").arg(where(), *refusal)});
                return;
            }
            c->open = true;
        }
        m_open = m_options.connections;
        begin();
        return;
    }
    m_connectTimer = new QTimer(this);
    m_connectTimer->setSingleShot(true);
    connect(m_connectTimer, &QTimer::timeout, this, [this] {
        const double seconds = m_options.connectTimeoutMs / 1000.0;
        finish({RunEnd::Kind::Unreachable,
                QStringLiteral("cannot reach %1: no connection within %2 s")
                    .arg(where(), QString::number(seconds, 'g', 6))});
    });
    m_connectTimer->start(m_options.connectTimeoutMs);
    for (auto& c : m_connections) {
        if (auto refusal = c->engine->Connect(m_options.host, m_options.effectivePort())) {
            finish({RunEnd::Kind::Unreachable, QStringLiteral("cannot reach %1: %2").arg(where(), *refusal)});
            return;
        }
    }
}

void ProbeRunner::setUp(Connection& c)
{
    c.engine = new SessionEngine(this);
    (void)c.engine->SetProtocol(m_options.udp ? ClientSocket::Protocol::Udp : ClientSocket::Protocol::Tcp);
    c.engine->setRequestTexts(m_options.texts);

    c.timeout = new QTimer(this);
    c.timeout->setSingleShot(true);
    c.timeout->setTimerType(Qt::PreciseTimer);
    c.pause = new QTimer(this);
    c.pause->setSingleShot(true);
    c.pause->setTimerType(Qt::PreciseTimer);

    Connection* conn = &c;
    connect(c.timeout, &QTimer::timeout, this, [this, conn] { onTimeout(*conn); });
    connect(c.pause, &QTimer::timeout, this, [this, conn] { sendNext(*conn); });
    connect(c.engine, &SessionEngine::connected, this, [this, conn] { onConnected(*conn); });
    connect(c.engine, &SessionEngine::requestSent, this,
            [this, conn](const SentRequest& request) { onRequestSent(*conn, request); });
    connect(c.engine, &SessionEngine::replyArrived, this,
            [this, conn](const ArrivedReply& reply) { onReply(*conn, reply); });
    connect(c.engine, &SessionEngine::sessionEnding, this,
            [this, conn](const QString&, const QString& text) { onSessionEnding(*conn, text); });
    connect(c.engine, &SessionEngine::refused, this,
            [this, conn](const QString& reason) { onRefused(*conn, reason); });
}

void ProbeRunner::onConnected(Connection& c)
{
    if (m_finished || c.open)
        return;
    c.open = true;
    if (++m_open == m_options.connections) {
        m_connectTimer->stop();
        begin();
    }
}

void ProbeRunner::begin()
{
    m_begun = true;
    m_clock.start();
    m_startEpochUs = std::chrono::duration_cast<std::chrono::microseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    emit began();
    if (m_options.deadlineMs > 0) {
        m_deadlineTimer = new QTimer(this);
        m_deadlineTimer->setSingleShot(true);
        m_deadlineTimer->setTimerType(Qt::PreciseTimer);
        connect(m_deadlineTimer, &QTimer::timeout, this, &ProbeRunner::checkDeadline);
        checkDeadline();
    }
    for (auto& c : m_connections) {
        if (m_finished)
            return;
        sendNext(*c);
    }
    if (drives())
        queueDrive();
}

bool ProbeRunner::drives() const
{
    return ClientSocket::kWaitsForArrival && m_options.intervalMs == 0 && m_connections.size() == 1;
}

void ProbeRunner::queueDrive()
{
    if (m_driveQueued || m_finished)
        return;
    m_driveQueued = true;
    QTimer::singleShot(0, this, &ProbeRunner::drive);
}

// Back to back on one connection, each reply is awaited on the socket
// itself: a cycle then costs a poll instead of a pass of the event loop with
// its timers and notifiers. While busy polling gives shorter cycles (see
// BusyPollTuner), the wait does not even sleep for the first --busy-poll
// microseconds, which keeps the probe's own wake-up out of the cycle. Every slice, and whenever the wait ends
// without bytes (a timeout due, a signal, the connection's end, a request
// still to be sent), the event loop gets its pass.
void ProbeRunner::drive()
{
    m_driveQueued = false;
    if (m_finished)
        return;
    Connection& c = *m_connections.front();
    const qint64 sliceEndNs = m_clock.nsecsElapsed() + kDriveSliceNs;
    while (!m_finished && !c.pending.empty()) {
        const qint64 nowNs = m_clock.nsecsElapsed();
        const qint64 untilNs = std::min(sliceEndNs, c.pending.front().sentNs + m_timeoutNs);
        if (untilNs <= nowNs)
            break;
        // Rounded up: the timeout's own timer decides, not this wait.
        if (!c.engine->AwaitArrival(int((untilNs - nowNs + 999'999) / 1'000'000),
                                    c.busyPoll.busyPolling() ? m_options.busyPollUs : 0))
            break;
    }
    queueDrive();
}

void ProbeRunner::checkDeadline()
{
    // A timer takes an int of milliseconds (under 25 days): a longer run is
    // timed in steps of at most an hour.
    constexpr qint64 kLongestStepMs = 3'600'000;
    const qint64 remainingMs = m_options.deadlineMs - m_clock.elapsed();
    if (remainingMs > 0) {
        m_deadlineTimer->start(int(std::min(remainingMs, kLongestStepMs)));
        return;
    }
    stopSending();
    finishIfDone();
}

bool ProbeRunner::maySend() const
{
    return !m_stopping && !m_finished && (m_options.count == 0 || m_sent < quint64(m_options.count));
}

void ProbeRunner::stopSending()
{
    m_stopping = true;
    for (auto& c : m_connections) {
        c->pause->stop();
        if (c->engine->ContinuousMode() == SessionEngine::True)
            c->engine->SetContinuousMode(SessionEngine::False);
    }
}

void ProbeRunner::sendNext(Connection& c)
{
    if (!maySend()) {
        finishIfDone();
        return;
    }
    const bool backToBack = m_options.intervalMs == 0;
    if (c.engineBehind) {
        // The engine still waits for a request this run has given up.
        c.engineBehind = false;
        c.engine->GiveUpWaiting();
    }
    if (!backToBack) {
        c.engine->SendAndEcho();
        return;
    }
    // Back to back: the engine's continuous mode sends each next request
    // the moment the replies have answered all that waited. Switching it
    // on sends the first.
    if (c.engine->ContinuousMode() == SessionEngine::True)
        c.engine->SendAndEcho();
    else
        c.engine->SetContinuousMode(SessionEngine::True);
}

void ProbeRunner::onRequestSent(Connection& c, const SentRequest& request)
{
    if (m_finished)
        return;
    ++m_sent;
    c.pending.push_back({request.sequence, m_clock.nsecsElapsed()});
    if (c.request.isEmpty())
        c.request = request.frame;
    keepTimeout(c);
    emit requestSent(c.index);
    if (m_options.count > 0 && m_sent >= quint64(m_options.count))
        stopSending();
}

// The timer runs while any request waits, due no later than the oldest
// one's timeout; it is moved only when it fires. Restarting it for every
// request would cost two timer updates per cycle.
void ProbeRunner::keepTimeout(Connection& c)
{
    if (!c.timeout->isActive())
        armTimeout(c);
}

void ProbeRunner::armTimeout(Connection& c)
{
    if (c.pending.empty()) {
        c.timeout->stop();
        return;
    }
    const qint64 dueNs = c.pending.front().sentNs + m_timeoutNs - m_clock.nsecsElapsed();
    // Rounded up: a timer never fires before the request has had its time.
    const qint64 dueMs = std::max<qint64>(0, (dueNs + 999'999) / 1'000'000);
    c.timeout->start(std::chrono::milliseconds(dueMs));
}

void ProbeRunner::declareLost(Connection& c, const Pending& pending, bool connectionEnded)
{
    RequestOutcome lost;
    lost.connection = c.index;
    lost.sequence = pending.sequence;
    lost.sentNs = pending.sentNs;
    lost.verdict = RequestOutcome::Verdict::Lost;
    lost.connectionEnded = connectionEnded;
    c.lateCandidate = pending.sequence;
    c.lateCandidateSentNs = pending.sentNs;
    c.lost.insert(pending.sequence);
    c.lostOrder.push_back(pending.sequence);
    if (c.lostOrder.size() > kRememberedLosses) {
        c.lost.remove(c.lostOrder.front());
        c.lostOrder.pop_front();
    }
    emit outcome(lost);
}

void ProbeRunner::emitLate(Connection& c, quint64 sequence, qint64 roundTripNs, int bytes)
{
    c.lost.remove(sequence);
    if (c.lateCandidate == sequence)
        c.lateCandidate = 0;
    StrayReply late;
    late.kind = StrayReply::Kind::Late;
    late.connection = c.index;
    late.sequence = sequence;
    late.roundTripNs = roundTripNs;
    late.bytes = bytes;
    emit stray(late);
}

void ProbeRunner::emitUnexpected(const Connection& c, int bytes)
{
    StrayReply other;
    other.connection = c.index;
    other.bytes = bytes;
    emit stray(other);
}

void ProbeRunner::settleUndecidedAsLate(Connection& c)
{
    if (!c.undecided)
        return;
    const Undecided late = *c.undecided;
    c.undecided.reset();
    emitLate(c, late.lostSequence, late.roundTripNs, late.asAnswer.bytes);
}

RequestOutcome ProbeRunner::answerOutcome(const Connection& c, const Pending& request,
                                          const ArrivedReply& reply) const
{
    RequestOutcome result;
    result.connection = c.index;
    result.sequence = request.sequence;
    result.sentNs = request.sentNs;
    result.verdict = RequestOutcome::Verdict::Answered;
    result.roundTripNs = reply.elapsedNs;
    result.bytes = static_cast<int>(reply.bytes.size());
    result.state = reply.texts.state;
    result.code = reply.texts.code;
    result.faults = checkReply(c.request, reply.bytes);
    if (result.faults)
        result.faultText = describeFaults(c.request, reply.bytes, result.faults);
    return result;
}

void ProbeRunner::onReply(Connection& c, const ArrivedReply& reply)
{
    if (m_finished || !reply.complete)
        return;
    const int bytes = static_cast<int>(reply.bytes.size());

    if (!reply.timed) {
        // Nothing waited for it: the latest lost request's late reply if one
        // is still owed, else unexpected.
        if (c.lateCandidate && c.lost.contains(c.lateCandidate)) {
            emitLate(c, c.lateCandidate, m_clock.nsecsElapsed() - c.lateCandidateSentNs, bytes);
        } else {
            emitUnexpected(c, bytes);
        }
        return;
    }

    // Another reply in order: the one left undecided was late after all.
    settleUndecidedAsLate(c);

    auto found = c.pending.end();
    for (auto it = c.pending.begin(); it != c.pending.end(); ++it) {
        if (it->sequence == reply.sequence) {
            found = it;
            break;
        }
    }

    if (found == c.pending.end()) {
        if (c.lost.contains(reply.sequence)) {
            if (c.pending.empty()) {
                emitLate(c, reply.sequence, reply.elapsedNs, bytes);
            } else {
                Undecided undecided;
                undecided.lostSequence = reply.sequence;
                undecided.arrivedNs = m_clock.nsecsElapsed();
                undecided.roundTripNs = reply.elapsedNs;
                undecided.asAnswer = answerOutcome(c, c.pending.front(), reply);
                c.undecided = undecided;
            }
        } else {
            emitUnexpected(c, bytes);
        }
        return;
    }

    // Replies come in order: the requests before this one will get none.
    while (c.pending.begin() != found) {
        const Pending skipped = c.pending.front();
        c.pending.pop_front();
        declareLost(c, skipped, false);
    }
    const Pending answered = c.pending.front();
    c.pending.pop_front();
    keepTimeout(c);

    if (reply.elapsedNs > m_timeoutNs) {
        // Past the timeout, even if the timer had not yet had its turn.
        declareLost(c, answered, false);
        emitLate(c, answered.sequence, reply.elapsedNs, bytes);
    } else {
        m_anyReply = true;
        c.busyPoll.replied(m_clock.nsecsElapsed());
        emit outcome(answerOutcome(c, answered, reply));
    }
    afterDecided(c, true);
}

void ProbeRunner::onTimeout(Connection& c)
{
    if (m_finished)
        return;
    const qint64 now = m_clock.nsecsElapsed();
    bool decided = false;
    while (!c.pending.empty() && c.pending.front().sentNs + m_timeoutNs <= now) {
        const Pending waiting = c.pending.front();
        c.pending.pop_front();
        decided = true;
        if (c.undecided) {
            // No reply followed the undecided one: it was this request's
            // own, and the lost request before it never got any.
            RequestOutcome answer = c.undecided->asAnswer;
            answer.roundTripNs = c.undecided->arrivedNs - waiting.sentNs;
            c.undecided.reset();
            c.engineBehind = true;
            if (answer.roundTripNs <= m_timeoutNs) {
                m_anyReply = true;
                emit outcome(answer);
                continue;
            }
        }
        declareLost(c, waiting, false);
    }
    armTimeout(c);
    if (decided && c.pending.empty())
        afterDecided(c, false);
}

void ProbeRunner::afterDecided(Connection& c, bool insideReply)
{
    if (m_finished)
        return;
    if (!maySend() || !c.pending.empty()) {
        finishIfDone();
        return;
    }
    if (m_options.intervalMs > 0) {
        c.pause->start(m_options.intervalMs);
        return;
    }
    if (!insideReply) {
        sendNext(c);
        return;
    }
    // Inside the engine's reply signal: with continuous mode on, the engine
    // itself sends the next request once this handler returns. If a stray
    // reply switched it off, it is switched on again from the event loop,
    // since switching it on here would send twice.
    if (c.engine->ContinuousMode() == SessionEngine::True || c.resumeQueued)
        return;
    c.resumeQueued = true;
    Connection* conn = &c;
    QTimer::singleShot(0, this, [this, conn] {
        conn->resumeQueued = false;
        if (conn->pending.empty())
            sendNext(*conn);
    });
}

void ProbeRunner::finishIfDone()
{
    if (m_finished || maySend())
        return;
    for (const auto& c : m_connections) {
        if (!c->pending.empty())
            return;
    }
    finish({RunEnd::Kind::Completed, {}});
}

void ProbeRunner::onSessionEnding(Connection& c, const QString& text)
{
    if (m_finished)
        return;
    // The engine says "Close!" for an orderly close by the peer and gives
    // the socket's description of any other failure.
    const bool closed = text == QLatin1String("Close!");
    if (!m_begun || (m_options.udp && !m_anyReply)) {
        finish({RunEnd::Kind::Unreachable,
                QStringLiteral("cannot reach %1: %2")
                    .arg(where(), closed ? QStringLiteral("the connection was closed") : text)});
        return;
    }
    const QString what = closed ? QStringLiteral("the module closed the connection")
                                : QStringLiteral("the connection failed: %1").arg(text);
    while (!c.pending.empty()) {
        const Pending lost = c.pending.front();
        c.pending.pop_front();
        declareLost(c, lost, true);
    }
    finish({RunEnd::Kind::ConnectionEnded,
            m_options.connections > 1
                ? QStringLiteral("connection %1: %2").arg(QString::number(c.index), what)
                : what});
}

void ProbeRunner::onRefused(Connection& c, const QString& reason)
{
    if (m_finished)
        return;
    finish({RunEnd::Kind::ConnectionEnded,
            QStringLiteral("connection %1: request not sent: %2").arg(QString::number(c.index), reason)});
}

void ProbeRunner::interrupt()
{
    if (m_finished)
        return;
    finish({RunEnd::Kind::Interrupted, QStringLiteral("interrupted")});
}

void ProbeRunner::abort(const RunEnd& end)
{
    finish(end);
}

void ProbeRunner::finish(const RunEnd& end)
{
    if (m_finished)
        return;
    // Set first: whoever hears of the outcomes below may not end the run again.
    m_finished = true;
    m_durationNs = m_begun ? m_clock.nsecsElapsed() : 0;
    // Whatever is still waiting gets no chance to be answered.
    for (auto& c : m_connections) {
        while (!c->pending.empty()) {
            const Pending waiting = c->pending.front();
            c->pending.pop_front();
            RequestOutcome unanswered;
            unanswered.connection = c->index;
            unanswered.sequence = waiting.sequence;
            unanswered.sentNs = waiting.sentNs;
            unanswered.verdict = RequestOutcome::Verdict::Unanswered;
            emit outcome(unanswered);
        }
    }
    if (m_connectTimer)
        m_connectTimer->stop();
    if (m_deadlineTimer)
        m_deadlineTimer->stop();
    for (auto& c : m_connections) {
        c->timeout->stop();
        c->pause->stop();
        if (c->engine->ContinuousMode() == SessionEngine::True)
            c->engine->SetContinuousMode(SessionEngine::False);
    }
    // Closed and announced from the event loop: this may run inside an
    // engine's own signal, which must be allowed to return first.
    QTimer::singleShot(0, this, [this, end] {
        for (auto& c : m_connections)
            c->engine->Close();
        emit finished(end);
    });
}
