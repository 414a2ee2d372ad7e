// SPDX-License-Identifier: GPL-3.0-or-later
// A target's session loop, and its request tracker's exchanges counted in
// the target's metrics. The counting rules are the tracker's; every request
// carries its own number as its invoke ID, so late, lost and unexpected
// replies are told apart exactly.
#include "target_runner.h"

#include "net/client_socket.h"
#include "session/session_engine.h"

#include <QDateTime>
#include <QTimer>

#include <algorithm>
#include <chrono>

namespace {

// FNV-1a of the name: a phase that stays the same from one run to the next.
quint64 nameHash(const QString& name)
{
    quint64 hash = 14695981039346656037ull;
    for (const char byte : name.toUtf8()) {
        hash ^= static_cast<quint8>(byte);
        hash *= 1099511628211ull;
    }
    return hash;
}

// Where in the interval a target's slots lie, from its name: the targets
// spread over the interval, but on a grid of kPhaseStepMs, so that the
// slots of several targets come in one pass of the event loop. Each pass
// polls every socket, which for hundreds of targets costs more than the
// requests themselves.
constexpr qint64 kPhaseStepMs = 10;

qint64 phaseNs(const TargetConfig& config)
{
    const quint64 steps = quint64(std::max<qint64>(1, config.intervalMs / kPhaseStepMs));
    return static_cast<qint64>(nameHash(config.name) % steps) * kPhaseStepMs * 1'000'000;
}

QTimer* preciseTimer(QObject* parent)
{
    auto* timer = new QTimer(parent);
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    return timer;
}

QString secondsText(int ms)
{
    return QStringLiteral("%1 s").arg(QString::number(ms / 1000.0, 'g', 4));
}

} // namespace

TargetRunner::TargetRunner(const TargetConfig& config, const TargetMetrics& metrics, Log log, QObject* parent)
    : QObject(parent)
    , m_config(config)
    , m_metrics(metrics)
    , m_log(std::move(log))
    , m_tickTimer(preciseTimer(this))
    , m_retryTimer(preciseTimer(this))
    , m_connectTimer(preciseTimer(this))
    , m_sendSoon(preciseTimer(this))
    , m_schedule(config.intervalMs * 1'000'000, phaseNs(config))
{
    m_tracker.setSink([this](const Exchange& exchange) { count(exchange); });
    m_sendSoon->setInterval(0);
    connect(m_tickTimer, &QTimer::timeout, this, &TargetRunner::onTick);
    connect(m_retryTimer, &QTimer::timeout, this, &TargetRunner::attempt);
    connect(m_connectTimer, &QTimer::timeout, this, &TargetRunner::onConnectTimeout);
    connect(m_sendSoon, &QTimer::timeout, this, &TargetRunner::sendIfDue);
}

qint64 TargetRunner::nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

TargetRunner::~TargetRunner()
{
    if (m_engine)
        retireEngine(true);
    m_metrics.connected->Set(0);
}

QString TargetRunner::where() const
{
    const QString host = m_config.host.contains(u':') ? u'[' + m_config.host + u']' : m_config.host;
    return QStringLiteral("%1 %2 port %3")
        .arg(host, protocolName(m_config.protocol), QString::number(m_config.port));
}

void TargetRunner::start()
{
    attempt();
}

void TargetRunner::attempt()
{
    m_metrics.attempts->Increment();
    m_engine = new SessionEngine(this);
    (void)m_engine->SetProtocol(isTcp() ? ClientSocket::Protocol::Tcp : ClientSocket::Protocol::Udp);
    m_engine->setRequestTexts(m_config.texts);
    m_engine->setReplyTimeoutMs(static_cast<int>(m_config.replyTimeoutMs));
    m_engine->setNumberedInvokeIds(true);
    connect(m_engine, &SessionEngine::connected, this, &TargetRunner::onConnected);
    connect(m_engine, &SessionEngine::sessionEnding, this, &TargetRunner::onSessionEnding);
    connect(m_engine, &SessionEngine::refused, this, &TargetRunner::onRefused);
    connect(m_engine, &SessionEngine::requestSent, this, [this](const SentRequest& request) {
        m_tracker.requestSent(request, nowNs());
        m_metrics.sent->Increment();
    });
    connect(m_engine, &SessionEngine::replyArrived, this,
            [this](const ArrivedReply& reply) { m_tracker.replyArrived(reply, nowNs()); });
    connect(m_engine, &SessionEngine::requestGivenUp, this,
            [this](const GivenUpRequest& request) { m_tracker.requestGivenUp(request, nowNs()); });

    const SocketRefusal refusal = isTcp() ? m_engine->Connect(m_config.host, m_config.port)
                                          : m_engine->Start(m_config.host, m_config.port);
    if (refusal) {
        retireEngine(true);
        endSession(*refusal);
        return;
    }
    if (isTcp())
        m_connectTimer->start(kConnectTimeoutMs);
    else
        opened();
}

void TargetRunner::onConnected()
{
    if (!m_open)
        opened();
}

void TargetRunner::opened()
{
    m_open = true;
    m_connectTimer->stop();
    m_metrics.connected->Set(1);
    // A UDP session opens without a word from the module; its backoff waits
    // for a reply before it starts again from a second.
    if (isTcp())
        m_backoff.reset();
    m_lastFailure.clear();
    m_lastWaitMs = 0;
    m_log(QStringLiteral("%1: %2 %3")
              .arg(m_config.name, isTcp() ? QStringLiteral("connected to") : QStringLiteral("sending to"),
                   where()));
    m_schedule.start(nowNs());
    sendIfDue();
}

void TargetRunner::onSessionEnding(const SocketEnd& end)
{
    retireEngine(false);
    endSession(end.reason == SocketEnd::Reason::Closed ? QStringLiteral("the module closed the connection")
                                                       : end.description);
}

void TargetRunner::onRefused(const QString& reason)
{
    // A request the socket would not take: the session is no use any more.
    retireEngine(true);
    endSession(QStringLiteral("request not sent: %1").arg(reason));
}

void TargetRunner::onConnectTimeout()
{
    retireEngine(true);
    endSession(QStringLiteral("no connection within %1").arg(secondsText(kConnectTimeoutMs)));
}

void TargetRunner::retireEngine(bool close)
{
    if (!m_engine)
        return;
    // The request in flight goes with the session, counted lost; nothing
    // the engine says from here on is about this target's figures.
    m_tracker.sessionEnded(nowNs());
    m_engine->disconnect(this);
    if (close)
        m_engine->Close();
    m_engine->deleteLater();
    m_engine = nullptr;
}

void TargetRunner::endSession(const QString& why)
{
    const bool wasOpen = m_open;
    m_open = false;
    m_schedule.stop();
    m_tickTimer->stop();
    m_sendSoon->stop();
    m_connectTimer->stop();
    m_metrics.connected->Set(0);
    // A TCP connection that opened and later ended was no failure to
    // connect; every end of a UDP session is a socket error.
    if (!wasOpen || !isTcp())
        m_metrics.failures->Increment();
    const int waitMs = m_backoff.next();
    const bool saidAlready =
        waitMs == m_lastWaitMs && waitMs == ReconnectBackoff::kLongestMs && why == m_lastFailure;
    m_lastFailure = why;
    m_lastWaitMs = waitMs;
    m_retryTimer->start(waitMs);
    if (saidAlready)
        return;
    QString again = QStringLiteral("trying again in %1").arg(secondsText(waitMs));
    if (waitMs == ReconnectBackoff::kLongestMs)
        again += QStringLiteral(", then every %1 without saying so").arg(secondsText(waitMs));
    if (isTcp() && wasOpen)
        m_log(QStringLiteral("%1: disconnected from %2: %3; %4").arg(m_config.name, where(), why, again));
    else if (isTcp())
        m_log(QStringLiteral("%1: cannot connect to %2: %3; %4").arg(m_config.name, where(), why, again));
    else
        m_log(QStringLiteral("%1: stopped sending to %2: %3; %4").arg(m_config.name, where(), why, again));
}

void TargetRunner::onTick()
{
    m_schedule.advance(nowNs());
    sendIfDue();
}

void TargetRunner::sendIfDue()
{
    if (!m_open || !m_engine)
        return;
    if (!m_engine->isWaiting() && m_schedule.takeDue(nowNs()))
        m_engine->SendAndEcho(); // a refusal ends the session through refused()
    armTick();
}

void TargetRunner::armTick()
{
    if (!m_open || !m_schedule.running())
        return;
    // Slots passed while a request waited are owed, not waited for.
    const qint64 now = nowNs();
    m_schedule.advance(now);
    const qint64 leftNs = m_schedule.nextSlotNs() - now;
    // Rounded up: a timer set to it never fires before the slot.
    m_tickTimer->start(static_cast<int>(std::max<qint64>(0, (leftNs + 999'999) / 1'000'000)));
}

void TargetRunner::count(const Exchange& exchange)
{
    switch (exchange.outcome) {
    case Exchange::Outcome::Unexpected:
        m_metrics.unexpected->Increment();
        return;
    case Exchange::Outcome::Late:
        m_metrics.late->Increment();
        return;
    case Exchange::Outcome::Lost:
    case Exchange::Outcome::Unanswered:
        m_metrics.lost->Increment();
        // Requests dropped as the session ends wait for the next session.
        if (exchange.lostReason != Exchange::LostReason::SessionEnded)
            sendSoonIfDue();
        return;
    case Exchange::Outcome::Answered:
        break;
    }
    m_metrics.replies->Increment();
    m_metrics.lastReply->Set(double(QDateTime::currentMSecsSinceEpoch()) / 1000.0);
    if (!isTcp())
        m_backoff.reset();
    if (RequestTracker::recordsRoundTrip(exchange))
        m_metrics.roundTrip->Observe(double(exchange.roundTripNs) / 1e9);
    for (int i = 0; i < kReplyFaultKinds; ++i) {
        if (exchange.faults & (1u << i))
            m_metrics.checkFailures[size_t(i)]->Increment();
    }
    sendSoonIfDue();
}

void TargetRunner::sendSoonIfDue()
{
    // Most replies come well before the next slot, whose timer sends it:
    // only a slot passed while the request waited is sent from here, which
    // spares the event loop a pass per reply.
    if (m_schedule.isDue(nowNs()))
        m_sendSoon->start();
}
