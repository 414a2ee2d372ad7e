// SPDX-License-Identifier: GPL-3.0-or-later
// Matching replies to requests by invoke ID, order and deadline.
#include "session/reply_ledger.h"

#include <algorithm>
#include <limits>

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
    // The memory's ends in time follow from whether IDs are distinct.
    for (Remembered& entry : m_remembered)
        entry.forgetNs = forgetAt(entry.request);
}

qint64 ReplyLedger::forgetAt(const Request& request) const
{
    if (m_distinctIds)
        return std::numeric_limits<qint64>::max();
    const qint64 timeoutNs = std::max<qint64>(request.deadlineNs - request.sentNs, 0);
    return request.deadlineNs + kLateWindowTimeouts * timeoutNs;
}

void ReplyLedger::sent(const Request& request)
{
    m_givenUp.clear();
    m_lastSequence = request.sequence;
    m_waiting.push_back(request);
}

ReplyLedger::Candidates ReplyLedger::candidatesFor(std::optional<quint16> invokeId)
{
    Candidates found{true, 0, m_waiting.end(), m_remembered.end()};
    if (invokeId) {
        for (auto it = m_waiting.begin(); it != m_waiting.end(); ++it) {
            if (it->invokeId != *invokeId)
                continue;
            if (found.waiting == m_waiting.end())
                found.waiting = it;
            ++found.count;
        }
        // Distinct IDs name a waiting request for sure: no need to look
        // through the memory, which may be long.
        if (m_distinctIds && found.count > 0)
            return found;
        for (auto it = m_remembered.begin(); it != m_remembered.end(); ++it) {
            if (it->request.invokeId != *invokeId)
                continue;
            if (found.remembered == m_remembered.end())
                found.remembered = it;
            ++found.count;
        }
        if (found.count > 0 || m_unmatched == Unmatched::Nothing)
            return found;
    } else if (m_unmatched == Unmatched::Nothing) {
        return found;
    }
    // A module that does not copy the invoke ID: any request could have
    // drawn the reply.
    found.byId = false;
    found.count = m_waiting.size() + m_remembered.size();
    found.waiting = m_waiting.begin();
    found.remembered = m_remembered.begin();
    return found;
}

void ReplyLedger::markShared(const Candidates& candidates, std::optional<quint16> invokeId)
{
    const auto candidate = [&](const Request& request) {
        return !candidates.byId || (invokeId && request.invokeId == *invokeId);
    };
    for (Request& request : m_waiting) {
        if (candidate(request))
            request.shared = true;
    }
    for (Remembered& entry : m_remembered) {
        if (candidate(entry.request))
            entry.request.shared = true;
    }
}

ReplyLedger::Match ReplyLedger::reply(std::optional<quint16> invokeId, qint64 nowNs)
{
    expire(nowNs);
    // expire() emptied the list; what it gave up stays listed for the caller.
    const Candidates candidates = candidatesFor(invokeId);
    if (candidates.count == 0)
        return {};

    // The oldest candidate: over TCP the module answers in order, so a reply
    // is never one to a request sent after another that still waits for it.
    const bool fromWaiting = candidates.remembered == m_remembered.end()
        || (candidates.waiting != m_waiting.end()
            && candidates.waiting->sequence < candidates.remembered->request.sequence);
    Match match;
    match.kind = fromWaiting ? Match::Kind::Answer : Match::Kind::Late;
    match.request = fromWaiting ? *candidates.waiting : candidates.remembered->request;
    const bool alone = candidates.count == 1;
    match.timed = alone && !match.request.shared;
    if (match.kind == Match::Kind::Late && m_distinctIds && invokeId
        && m_lastSequence - match.request.sequence >= kInvokeIdCycle)
        match.timed = false; // its ID has been sent again since

    if (!alone && m_transport == Transport::Udp) {
        // Whichever of them is still to be answered, its reply cannot be
        // told from this one's.
        markShared(candidates, invokeId);
    }
    if (fromWaiting)
        m_waiting.erase(candidates.waiting);
    else
        m_remembered.erase(candidates.remembered);
    if (m_transport == Transport::Tcp)
        forgetOlderThan(match.request.sequence);
    return match;
}

void ReplyLedger::forgetOlderThan(quint64 sequence)
{
    // The module answers in order: whatever was sent before has been skipped.
    // Without IDs of their own, their replies could never be told from later
    // ones, so they are forgotten; with them, a module that answers out of
    // order after all is still timed right.
    while (!m_waiting.empty() && m_waiting.front().sequence < sequence)
        giveUp(m_waiting.begin(), GiveUpReason::Overtaken);
    while (!m_distinctIds && !m_remembered.empty() && m_remembered.front().request.sequence < sequence)
        m_remembered.pop_front();
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
    // With distinct IDs the memory has no end in time, and may be long.
    if (m_distinctIds)
        return;
    m_remembered.erase(std::remove_if(m_remembered.begin(), m_remembered.end(),
                                      [nowNs](const Remembered& entry) { return entry.forgetNs <= nowNs; }),
                       m_remembered.end());
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
    if (reason == GiveUpReason::Abandoned)
        m_remembered.clear();
}

void ReplyLedger::giveUp(Waiting::iterator it, GiveUpReason reason)
{
    const Request request = *it;
    m_waiting.erase(it);
    m_givenUp.push_back({request, reason});
    // An abandoned request's reply cannot reach the socket any more. Over
    // TCP, an overtaken one's, or one whose reply was cut short by the next
    // request, would come before the replies after it: awaited only where
    // its own ID would name it.
    if (reason == GiveUpReason::Abandoned || (reason != GiveUpReason::Deadline && !m_distinctIds))
        return;
    remember(request);
}

void ReplyLedger::remember(const Request& request)
{
    const Remembered entry{request, forgetAt(request)};
    // Kept in the order of sending, which giving up need not follow.
    const auto at = std::upper_bound(
        m_remembered.begin(), m_remembered.end(), request.sequence,
        [](quint64 sequence, const Remembered& other) { return sequence < other.request.sequence; });
    m_remembered.insert(at, entry);
    if (m_remembered.size() > kRememberedGivenUp)
        m_remembered.pop_front();
}

std::optional<qint64> ReplyLedger::nextDeadlineNs() const
{
    std::optional<qint64> earliest;
    auto consider = [&earliest](qint64 ns) {
        if (!earliest || ns < *earliest)
            earliest = ns;
    };
    for (const Request& request : m_waiting)
        consider(request.deadlineNs);
    // With distinct IDs the memory has no end in time.
    if (!m_distinctIds) {
        for (const Remembered& entry : m_remembered)
            consider(entry.forgetNs);
    }
    return earliest;
}
