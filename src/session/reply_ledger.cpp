// SPDX-License-Identifier: GPL-3.0-or-later
// Matching replies to requests by invoke ID, order and deadline.
#include "session/reply_ledger.h"

#include <algorithm>

namespace {

// Invoke IDs are 16 bits: numbered requests repeat one after this many.
constexpr quint64 kInvokeIdCycle = 65536;

} // namespace

ReplyLedger::ReplyLedger(Transport transport, Unmatched unmatched)
    : m_transport(transport)
    , m_unmatched(unmatched)
{
}

void ReplyLedger::setUnmatched(Unmatched unmatched, bool distinctIds)
{
    m_unmatched = unmatched;
    m_distinctIds = distinctIds;
}

void ReplyLedger::sent(const Request& request)
{
    m_givenUp.clear();
    m_lastSequence = request.sequence;
    m_waiting.push_back(request);
}

ReplyLedger::Queue::iterator ReplyLedger::oldestWith(Queue& queue, quint16 invokeId)
{
    return std::find_if(queue.begin(), queue.end(),
                        [invokeId](const Request& request) { return request.invokeId == invokeId; });
}

ReplyLedger::Match ReplyLedger::reply(std::optional<quint16> invokeId, qint64 nowNs)
{
    expire(nowNs);
    // expire() emptied the list; what it gave up stays listed for the caller.
    if (invokeId) {
        if (auto it = oldestWith(m_waiting, *invokeId); it != m_waiting.end())
            return answer(it);
        if (auto it = oldestWith(m_remembered, *invokeId); it != m_remembered.end())
            return late(it, true);
    }
    if (m_unmatched == Unmatched::Nothing)
        return {};
    const bool tcp = m_transport == Transport::Tcp;
    if (!m_waiting.empty())
        return answer(tcp ? m_waiting.begin() : std::prev(m_waiting.end()));
    if (!m_remembered.empty())
        return late(tcp ? m_remembered.begin() : std::prev(m_remembered.end()), false);
    return {};
}

ReplyLedger::Match ReplyLedger::answer(Queue::iterator it)
{
    Match match;
    match.kind = Match::Kind::Answer;
    match.request = *it;
    match.timed = true;
    if (m_transport == Transport::Tcp) {
        // The module answers in order: whatever was sent before this request
        // and still waits has been skipped.
        while (m_waiting.begin() != it)
            giveUp(m_waiting.begin(), GiveUpReason::Overtaken);
        m_waiting.pop_front();
    } else {
        m_waiting.erase(it);
    }
    return match;
}

ReplyLedger::Match ReplyLedger::late(Queue::iterator it, bool byInvokeId)
{
    Match match;
    match.kind = Match::Kind::Late;
    match.request = *it;
    // Its own invoke ID names it for sure when IDs are distinct; otherwise
    // any request sent since could have drawn this reply.
    const quint64 since = m_lastSequence - match.request.sequence;
    match.timed = since == 0 || (byInvokeId && m_distinctIds && since < kInvokeIdCycle);
    m_remembered.erase(it);
    return match;
}

void ReplyLedger::expire(qint64 nowNs)
{
    m_givenUp.clear();
    // Deadlines need not follow the order of sending (the timeout may have
    // changed between two sends), so every waiting request is looked at.
    for (auto it = m_waiting.begin(); it != m_waiting.end();) {
        if (it->deadlineNs <= nowNs) {
            const auto index = it - m_waiting.begin();
            giveUp(it, GiveUpReason::Deadline);
            it = m_waiting.begin() + index;
        } else {
            ++it;
        }
    }
}

void ReplyLedger::giveUpOldest(GiveUpReason reason)
{
    m_givenUp.clear();
    if (!m_waiting.empty())
        giveUp(m_waiting.begin(), reason);
}

void ReplyLedger::giveUpAll(GiveUpReason reason)
{
    m_givenUp.clear();
    while (!m_waiting.empty())
        giveUp(m_waiting.begin(), reason);
}

void ReplyLedger::giveUp(Queue::iterator it, GiveUpReason reason)
{
    const Request request = *it;
    m_waiting.erase(it);
    m_givenUp.push_back({request, reason});
    remember(request);
}

void ReplyLedger::remember(const Request& request)
{
    // Kept in the order of sending, which giving up need not follow.
    const auto at =
        std::upper_bound(m_remembered.begin(), m_remembered.end(), request.sequence,
                         [](quint64 sequence, const Request& other) { return sequence < other.sequence; });
    m_remembered.insert(at, request);
    if (m_remembered.size() > kRememberedGivenUp)
        m_remembered.pop_front();
}

std::optional<qint64> ReplyLedger::nextDeadlineNs() const
{
    if (m_waiting.empty())
        return std::nullopt;
    const auto earliest =
        std::min_element(m_waiting.begin(), m_waiting.end(),
                         [](const Request& a, const Request& b) { return a.deadlineNs < b.deadlineNs; });
    return earliest->deadlineNs;
}
