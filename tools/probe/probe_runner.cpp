// SPDX-License-Identifier: GPL-3.0-or-later
// The probe's run over its session engines.
//
// Counting rules. Which request a reply answers is the engine's to say; the
// run counts what it says. A request is decided once: Answered when a whole
// reply for it comes within the timeout; Lost when the engine gives it up
// (no reply by its deadline, a later request answered first over TCP) or
// when the connection ends; Unanswered when the run is interrupted. A reply
// for a request already counted lost is late: reported and counted apart,
// never received and never lost a second time. A reply that answers no
// request is unexpected. By default every request carries its sequence
// number as its invoke ID, so each of these is told apart exactly.
#include "probe_runner.h"

#include "codec/frame_display.h"
#include "codec/frame_layout.h"
#include "codec/reply_check.h"
#include "net/client_socket.h"
#include "session/session_engine.h"

#include <QTimer>

#include <algorithm>
#include <chrono>

namespace {

// How long a back-to-back run waits on its socket before it lets the event
// loop have a pass: the most that a timer, a signal or a socket event of
// its own waits behind the replies.
constexpr int kReplyWaitSliceMs = 20;

// Replies that answer nothing, with none that answered a request, before
// the run says the module seems not to copy invoke IDs.
constexpr quint64 kUnmatchedBeforeAdvice = 3;

// A single-shot timer of `parent`'s: precise, since a coarse one may fire
// early, giving up or sending before the time the user gave.
QTimer* preciseTimer(QObject* parent)
{
    auto* timer = new QTimer(parent);
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    return timer;
}

} // namespace

ProbeRunner::ProbeRunner(const ProbeOptions& options, QObject* parent)
    : QObject(parent)
    , m_options(options)
{
}

ProbeRunner::~ProbeRunner() = default;

QString ProbeRunner::where() const
{
    return QStringLiteral("%1 %2 port %3")
        .arg(m_options.host, m_options.protocolName(), QString::number(m_options.effectivePort()));
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
    const auto unreachable = [this](const QString& why) {
        finish({RunEnd::Kind::Unreachable, QStringLiteral("cannot reach %1: %2").arg(where(), why)});
    };
    if (m_options.udp) {
        // Nothing to open: datagrams go out with the first request.
        for (auto& c : m_connections) {
            if (auto refusal = c->engine->Start(m_options.host, m_options.effectivePort()))
                return unreachable(*refusal);
            c->open = true;
        }
        m_open = m_options.connections;
        begin();
        return;
    }
    m_connectTimer = preciseTimer(this);
    connect(m_connectTimer, &QTimer::timeout, this, [this, unreachable] {
        unreachable(QStringLiteral("no connection within %1 s")
                        .arg(QString::number(m_options.connectTimeoutMs / 1000.0, 'g', 6)));
    });
    m_connectTimer->start(m_options.connectTimeoutMs);
    for (auto& c : m_connections) {
        if (auto refusal = c->engine->Connect(m_options.host, m_options.effectivePort()))
            return unreachable(*refusal);
    }
}

void ProbeRunner::setUp(Connection& c)
{
    c.engine = new SessionEngine(this);
    (void)c.engine->SetProtocol(m_options.udp ? ClientSocket::Protocol::Udp : ClientSocket::Protocol::Tcp);
    c.engine->setRequestTexts(m_options.texts);
    c.engine->setReplyTimeoutMs(m_options.timeoutMs);
    c.engine->setNumberedInvokeIds(m_options.numberedInvokeIds);

    c.pause = preciseTimer(this);

    Connection* conn = &c;
    connect(c.pause, &QTimer::timeout, this, [this, conn] { sendNext(*conn); });
    connect(c.engine, &SessionEngine::connected, this, [this, conn] { onConnected(*conn); });
    connect(c.engine, &SessionEngine::requestSent, this,
            [this, conn](const SentRequest& request) { onRequestSent(*conn, request); });
    connect(c.engine, &SessionEngine::replyArrived, this,
            [this, conn](const ArrivedReply& reply) { onReply(*conn, reply); });
    connect(c.engine, &SessionEngine::requestGivenUp, this,
            [this, conn](const GivenUpRequest& request) { onGivenUp(*conn, request); });
    connect(c.engine, &SessionEngine::sessionEnding, this,
            [this, conn](const SocketEnd& end) { onSessionEnding(*conn, end); });
    connect(c.engine, &SessionEngine::refused, this, [this, conn](const QString& reason) {
        finish({RunEnd::Kind::ConnectionEnded,
                QStringLiteral("connection %1: request not sent: %2")
                    .arg(QString::number(conn->index), reason)});
    });
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
        m_deadlineTimer = preciseTimer(this);
        connect(m_deadlineTimer, &QTimer::timeout, this, &ProbeRunner::checkDeadline);
        checkDeadline();
    }
    // Back to back on one connection, each reply is awaited on the socket
    // itself: a cycle then costs a poll instead of a pass of the event loop
    // with its timers and notifiers, and while busy polling gives shorter
    // cycles the wait does not even sleep for the first --busy-poll
    // microseconds, which keeps the probe's own wake-up out of the cycle.
    if (m_options.intervalMs == 0 && m_connections.size() == 1
        && m_connections.front()->engine->canAwaitArrival())
        m_connections.front()->engine->setAwaitsReplies(kReplyWaitSliceMs, m_options.busyPollUs);
    for (auto& c : m_connections) {
        if (m_finished)
            return;
        sendNext(*c);
    }
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
        c->engine->SetContinuousMode(false);
    }
}

void ProbeRunner::sendNext(Connection& c)
{
    if (!maySend()) {
        finishIfDone();
        return;
    }
    if (m_options.intervalMs > 0) {
        c.engine->SendAndEcho();
        return;
    }
    // Back to back: the engine's continuous mode sends each next request
    // the moment the one before is answered or given up. Switching it on
    // sends the first.
    if (c.engine->ContinuousMode())
        c.engine->SendAndEcho();
    else
        c.engine->SetContinuousMode(true);
}

void ProbeRunner::onRequestSent(Connection& c, const SentRequest& request)
{
    if (m_finished)
        return;
    ++m_sent;
    c.pending.push_back({request.sequence, m_clock.nsecsElapsed()});
    if (c.request.isEmpty())
        c.request = request.frame;
    emit requestSent(c.index);
    if (m_options.count > 0 && m_sent >= quint64(m_options.count))
        stopSending();
}

std::optional<RequestOutcome> ProbeRunner::decide(Connection& c, quint64 sequence,
                                                  RequestOutcome::Verdict verdict)
{
    const auto it = std::find_if(c.pending.begin(), c.pending.end(),
                                 [sequence](const Pending& p) { return p.sequence == sequence; });
    if (it == c.pending.end())
        return std::nullopt;
    RequestOutcome result;
    result.connection = c.index;
    result.sequence = it->sequence;
    result.sentNs = it->sentNs;
    result.verdict = verdict;
    c.pending.erase(it);
    return result;
}

void ProbeRunner::decideAll(Connection& c, RequestOutcome::Verdict verdict, bool connectionEnded)
{
    while (!c.pending.empty()) {
        RequestOutcome result = *decide(c, c.pending.front().sequence, verdict);
        result.connectionEnded = connectionEnded;
        emit outcome(result);
    }
}

void ProbeRunner::onReply(Connection& c, const ArrivedReply& reply)
{
    if (m_finished || !reply.complete)
        return;
    if (reply.sequence == 0) {
        onAnswersNothing(c, reply);
        return;
    }
    ++m_matchedReplies;
    if (reply.late) {
        StrayReply late;
        late.kind = StrayReply::Kind::Late;
        late.connection = c.index;
        late.sequence = reply.sequence;
        late.roundTripNs = reply.timed ? reply.elapsedNs : -1;
        late.bytes = static_cast<int>(reply.bytes.size());
        emit stray(late);
        return;
    }
    std::optional<RequestOutcome> answered = decide(c, reply.sequence, RequestOutcome::Verdict::Answered);
    if (!answered)
        return;
    m_anyReply = true;
    // Checked against the request it answers, whose invoke ID may be its own.
    setInvokeId(c.request, reply.requestInvokeId);
    // A reply that another request could have drawn has no round trip.
    answered->roundTripNs = reply.timed ? reply.elapsedNs : -1;
    answered->bytes = static_cast<int>(reply.bytes.size());
    answered->state = hexFieldText(reply.bytes, frame::kStateOffset, frame::kFieldPairSize);
    answered->code = hexFieldText(reply.bytes, frame::kCodeOffset, frame::kFieldPairSize);
    answered->faults = checkReply(c.request, reply.bytes);
    if (answered->faults)
        answered->faultText = describeFaults(c.request, reply.bytes, answered->faults);
    emit outcome(*answered);
    afterDecided(c);
}

void ProbeRunner::onAnswersNothing(const Connection& c, const ArrivedReply& reply)
{
    StrayReply other;
    other.connection = c.index;
    other.bytes = static_cast<int>(reply.bytes.size());
    other.invokeId = hexFieldText(reply.bytes, frame::kInvokeIdOffset, frame::kInvokeIdSize);
    emit stray(other);
    if (!other.invokeId.isEmpty())
        m_unmatchedInvokeId = other.invokeId;
    if (++m_unmatchedReplies >= kUnmatchedBeforeAdvice)
        adviseOnInvokeIds();
}

void ProbeRunner::adviseOnInvokeIds()
{
    if (m_advisedOnInvokeIds || m_matchedReplies > 0 || m_unmatchedReplies == 0
        || !m_options.numberedInvokeIds || m_unmatchedInvokeId.isEmpty())
        return;
    m_advisedOnInvokeIds = true;
    emit notice(QStringLiteral("no reply carried its request's invoke ID (they carry %1): the module does "
                               "not seem to copy invoke IDs; try --invoke-id %1")
                    .arg(m_unmatchedInvokeId));
}

void ProbeRunner::onGivenUp(Connection& c, const GivenUpRequest& request)
{
    // Requests dropped as the connection ends are decided with its end.
    if (m_finished || request.reason == ReplyLedger::GiveUpReason::Abandoned)
        return;
    std::optional<RequestOutcome> lost = decide(c, request.sequence, RequestOutcome::Verdict::Lost);
    if (!lost)
        return;
    lost->arrivedBytes = request.arrivedBytes;
    lost->expectedBytes = request.expectedBytes;
    emit outcome(*lost);
    afterDecided(c);
}

void ProbeRunner::afterDecided(Connection& c)
{
    if (m_finished)
        return;
    if (!maySend() || !c.pending.empty()) {
        finishIfDone();
        return;
    }
    // Back to back, the engine's continuous mode has sent the next request
    // already, or does once this handler returns.
    if (m_options.intervalMs > 0)
        c.pause->start(m_options.intervalMs);
}

void ProbeRunner::finishIfDone()
{
    if (m_finished || maySend())
        return;
    const auto waits = [](const auto& c) { return !c->pending.empty(); };
    if (std::none_of(m_connections.begin(), m_connections.end(), waits))
        finish({RunEnd::Kind::Completed, {}});
}

void ProbeRunner::onSessionEnding(Connection& c, const SocketEnd& end)
{
    if (m_finished)
        return;
    const bool closed = end.reason == SocketEnd::Reason::Closed;
    const QString& text = end.description;
    if (!m_begun || (m_options.udp && !m_anyReply)) {
        finish({RunEnd::Kind::Unreachable,
                QStringLiteral("cannot reach %1: %2")
                    .arg(where(), closed ? QStringLiteral("the connection was closed") : text)});
        return;
    }
    const QString what = closed ? QStringLiteral("the module closed the connection")
                                : QStringLiteral("the connection failed: %1").arg(text);
    decideAll(c, RequestOutcome::Verdict::Lost, true);
    finish({RunEnd::Kind::ConnectionEnded,
            m_options.connections > 1
                ? QStringLiteral("connection %1: %2").arg(QString::number(c.index), what)
                : what});
}

void ProbeRunner::interrupt()
{
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
    adviseOnInvokeIds();
    // Set first: whoever hears of the outcomes below may not end the run again.
    m_finished = true;
    m_durationNs = m_begun ? m_clock.nsecsElapsed() : 0;
    // Whatever is still waiting gets no chance to be answered.
    for (auto& c : m_connections)
        decideAll(*c, RequestOutcome::Verdict::Unanswered, false);
    if (m_connectTimer)
        m_connectTimer->stop();
    if (m_deadlineTimer)
        m_deadlineTimer->stop();
    stopSending();
    // Closed and announced from the event loop: this may run inside an
    // engine's own signal, which must be allowed to return first.
    QTimer::singleShot(0, this, [this, end] {
        for (auto& c : m_connections)
            c->engine->Close();
        emit finished(end);
    });
}
