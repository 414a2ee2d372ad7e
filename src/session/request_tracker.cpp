// SPDX-License-Identifier: GPL-3.0-or-later
// Deciding each request once, and counting what was decided.
#include "session/request_tracker.h"

#include "codec/request_encoder.h"
#include "session/session_engine.h"

#include <algorithm>

const char* lostReasonWord(Exchange::LostReason reason)
{
    switch (reason) {
    case Exchange::LostReason::Deadline:
        return "timeout";
    case Exchange::LostReason::Overtaken:
        return "overtaken";
    case Exchange::LostReason::Superseded:
        return "superseded";
    case Exchange::LostReason::SessionEnded:
        return "session-ended";
    }
    return "timeout";
}

namespace {

Exchange::LostReason lostReasonOf(ReplyLedger::GiveUpReason reason)
{
    switch (reason) {
    case ReplyLedger::GiveUpReason::Deadline:
        return Exchange::LostReason::Deadline;
    case ReplyLedger::GiveUpReason::Overtaken:
        return Exchange::LostReason::Overtaken;
    case ReplyLedger::GiveUpReason::Superseded:
        return Exchange::LostReason::Superseded;
    case ReplyLedger::GiveUpReason::Abandoned:
        return Exchange::LostReason::SessionEnded;
    }
    return Exchange::LostReason::Deadline;
}

} // namespace

RequestTracker::Counts& RequestTracker::Counts::operator+=(const Counts& other)
{
    sent += other.sent;
    replies += other.replies;
    lost += other.lost;
    unanswered += other.unanswered;
    late += other.late;
    unexpected += other.unexpected;
    failed += other.failed;
    untimed += other.untimed;
    for (size_t i = 0; i < lostBy.size(); ++i)
        lostBy[i] += other.lostBy[i];
    for (size_t i = 0; i < faults.size(); ++i)
        faults[i] += other.faults[i];
    return *this;
}

double RequestTracker::Counts::lostPercent() const
{
    const quint64 known = replies + lost;
    return known ? 100.0 * double(lost) / double(known) : 0.0;
}

RequestTracker::RequestTracker(int connection, int histogramBits)
    : m_connection(connection)
    , m_roundTrip(histogramBits)
{
}

void RequestTracker::touch(qint64 nowNs)
{
    m_lastEventNs = nowNs;
}

void RequestTracker::requestSent(const SentRequest& request, qint64 nowNs)
{
    touch(nowNs);
    if (m_firstSentNs < 0)
        m_firstSentNs = nowNs;
    ++m_counts.sent;
    m_waiting.push_back({request.sequence, nowNs, request.frame});
}

void RequestTracker::decide(Exchange& exchange)
{
    switch (exchange.outcome) {
    case Exchange::Outcome::Answered:
        ++m_counts.replies;
        if (!exchange.timed())
            ++m_counts.untimed;
        if (exchange.faults) {
            ++m_counts.failed;
            for (int i = 0; i < kReplyFaultKinds; ++i)
                m_counts.faults[size_t(i)] += (exchange.faults >> i) & 1u;
        }
        if (recordsRoundTrip(exchange))
            m_roundTrip.record(exchange.roundTripNs);
        break;
    case Exchange::Outcome::Lost:
        ++m_counts.lost;
        ++m_counts.lostBy[size_t(exchange.lostReason)];
        break;
    case Exchange::Outcome::Unanswered:
        ++m_counts.unanswered;
        break;
    case Exchange::Outcome::Late:
        ++m_counts.late;
        break;
    case Exchange::Outcome::Unexpected:
        ++m_counts.unexpected;
        break;
    }
    if (m_sink)
        m_sink(exchange);
}

void RequestTracker::replyArrived(const ArrivedReply& reply, qint64 nowNs)
{
    if (!reply.complete)
        return;
    touch(nowNs);
    Exchange e;
    e.connection = m_connection;
    e.decidedNs = nowNs;
    e.reply = reply.bytes;
    if (reply.sequence == 0) {
        e.outcome = Exchange::Outcome::Unexpected;
        e.sentNs = nowNs;
        const std::optional<quint16> id = invokeIdOf(reply.bytes);
        e.hasInvokeId = id.has_value();
        e.invokeId = id.value_or(0);
        decide(e);
        return;
    }
    e.sequence = reply.sequence;
    e.invokeId = reply.requestInvokeId;
    e.roundTripNs = reply.timed ? reply.elapsedNs : -1;
    const auto it = std::find_if(m_waiting.begin(), m_waiting.end(),
                                 [&](const Waiting& w) { return w.sequence == reply.sequence; });
    if (reply.late || it == m_waiting.end()) {
        // Its request was counted lost already, or was counted before the
        // statistics were reset: late either way, never a reply.
        e.outcome = Exchange::Outcome::Late;
        e.sentNs = e.timed() ? nowNs - e.roundTripNs : nowNs;
        decide(e);
        return;
    }
    e.outcome = Exchange::Outcome::Answered;
    e.sentNs = it->sentNs;
    e.request = std::move(it->frame);
    m_waiting.erase(it);
    // Checked against the request as it went, whose invoke ID may be its own.
    e.faults = checkReply(e.request, e.reply);
    decide(e);
}

Exchange RequestTracker::unanswered(Waiting&& waiting, Exchange::Outcome outcome, Exchange::LostReason reason,
                                    qint64 nowNs) const
{
    Exchange e;
    e.connection = m_connection;
    e.sequence = waiting.sequence;
    e.sentNs = waiting.sentNs;
    e.decidedNs = nowNs;
    e.outcome = outcome;
    e.lostReason = reason;
    e.request = std::move(waiting.frame);
    e.invokeId = invokeIdOf(e.request).value_or(0);
    return e;
}

void RequestTracker::requestGivenUp(const GivenUpRequest& request, qint64 nowNs)
{
    const auto it = std::find_if(m_waiting.begin(), m_waiting.end(),
                                 [&](const Waiting& w) { return w.sequence == request.sequence; });
    if (it == m_waiting.end())
        return;
    touch(nowNs);
    Exchange e = unanswered(std::move(*it), Exchange::Outcome::Lost, lostReasonOf(request.reason), nowNs);
    e.arrivedBytes = request.arrivedBytes;
    e.expectedBytes = request.expectedBytes;
    m_waiting.erase(it);
    decide(e);
}

void RequestTracker::loseAll(Exchange::Outcome outcome, qint64 nowNs)
{
    if (m_waiting.empty())
        return;
    touch(nowNs);
    while (!m_waiting.empty()) {
        Waiting w = std::move(m_waiting.front());
        m_waiting.pop_front();
        Exchange e = unanswered(std::move(w), outcome, Exchange::LostReason::SessionEnded, nowNs);
        decide(e);
    }
}

void RequestTracker::sessionEnded(qint64 nowNs)
{
    loseAll(Exchange::Outcome::Lost, nowNs);
}

void RequestTracker::cutShort(qint64 nowNs)
{
    loseAll(Exchange::Outcome::Unanswered, nowNs);
}

void RequestTracker::resetStatistics()
{
    m_counts = Counts{};
    m_counts.sent = m_waiting.size();
    m_roundTrip.reset();
    m_firstSentNs = m_waiting.empty() ? -1 : m_waiting.front().sentNs;
}
