// SPDX-License-Identifier: GPL-3.0-or-later
// What became of every request of one session, counted once by the rules all
// three programs share. Fed the engine's events and a clock; hands each
// decided exchange to its sink and keeps the counts and the round-trip
// histogram. Pure bookkeeping: no socket, no timer, no widget.
//
// Counting rules. Which request a reply answers is the engine's to say; the
// tracker counts what it says. A request is decided once: Answered when a
// whole reply for it comes (checked against the request as it went: its
// round trip is recorded when it was timed and passed every check, each
// failed check counted otherwise); Lost when the engine gives it up or the
// session ends first; Unanswered when the caller cuts the run short. A reply
// for a request already counted lost is late: counted apart, never a reply
// and never lost a second time. A reply that answers no request is
// unexpected. At every moment sent = replies + lost + unanswered + waiting.
#pragma once

#include "codec/reply_check.h"
#include "session/exchange.h"
#include "session/latency_histogram.h"

#include <array>
#include <deque>
#include <functional>

struct ArrivedReply;
struct GivenUpRequest;
struct SentRequest;

class RequestTracker {
public:
    static constexpr int kLostReasons = 4;

    struct Counts {
        quint64 sent = 0;
        quint64 replies = 0; // answered in time, whether or not they passed the checks
        quint64 lost = 0;
        quint64 unanswered = 0;
        quint64 late = 0; // replies for requests already counted lost (not in `replies`)
        quint64 unexpected = 0;
        quint64 failed = 0; // replies that failed a check
        quint64 untimed = 0; // replies another request could have drawn
        std::array<quint64, kLostReasons> lostBy{}; // indexed by Exchange::LostReason
        std::array<quint64, kReplyFaultKinds> faults{}; // per check, bit order of ReplyFault

        // Another session's counts added, for figures summed over several.
        Counts& operator+=(const Counts& other);
        // Lost share of the requests whose fate is known (replied or lost), in %.
        double lostPercent() const;
    };

    using Sink = std::function<void(const Exchange&)>;

    // Whether the exchange's round trip goes into the histogram: a reply
    // that was timed and passed every check.
    static bool recordsRoundTrip(const Exchange& exchange)
    {
        return exchange.answered() && exchange.timed() && exchange.faults == 0;
    }

    // `connection` goes into every exchange; `histogramBits` sets the
    // histogram's precision (LatencyHistogram).
    explicit RequestTracker(int connection = 1, int histogramBits = 8);

    // Where each decided exchange goes, as it is decided.
    void setSink(Sink sink) { m_sink = std::move(sink); }

    // The engine's events, each with the time it came on the caller's
    // clock (nanoseconds, any origin, the same for every call).
    void requestSent(const SentRequest& request, qint64 nowNs);
    // Whole replies only; a reply still coming in is ignored.
    void replyArrived(const ArrivedReply& reply, qint64 nowNs);
    void requestGivenUp(const GivenUpRequest& request, qint64 nowNs);
    // The session ended: every request still waiting is lost with it.
    void sessionEnded(qint64 nowNs);
    // The run is cut short: every request still waiting is unanswered.
    void cutShort(qint64 nowNs);

    const Counts& counts() const { return m_counts; }
    quint64 waiting() const { return static_cast<quint64>(m_waiting.size()); }
    // Round trips of the replies that were timed and passed every check.
    const LatencyHistogram& roundTrip() const { return m_roundTrip; }
    // When the first request counted went, and the last event came; -1
    // before the first.
    qint64 firstSentNs() const { return m_firstSentNs; }
    qint64 lastEventNs() const { return m_lastEventNs; }

    // Counts and histogram start again from nothing; the requests still
    // waiting stay waiting, counted sent, so the sum still holds.
    void resetStatistics();

private:
    struct Waiting {
        quint64 sequence = 0;
        qint64 sentNs = 0;
        QByteArray frame;
    };
    void decide(Exchange& exchange);
    // The exchange of a request that had no reply, taken off the waiting ones.
    Exchange unanswered(Waiting&& waiting, Exchange::Outcome outcome, Exchange::LostReason reason,
                        qint64 nowNs) const;
    void loseAll(Exchange::Outcome outcome, qint64 nowNs);
    void touch(qint64 nowNs);

    int m_connection;
    Sink m_sink;
    Counts m_counts;
    LatencyHistogram m_roundTrip;
    // Sent and not yet decided, oldest first; one in the normal course.
    std::deque<Waiting> m_waiting;
    qint64 m_firstSentNs = -1;
    qint64 m_lastEventNs = -1;
};
