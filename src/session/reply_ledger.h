// SPDX-License-Identifier: GPL-3.0-or-later
// Which request a reply answers: the requests waiting for their replies,
// their deadlines, and the ones given up. Pure bookkeeping on numbers; the
// engine feeds it sends, replies and the clock.
#pragma once

#include <QtGlobal>

#include <deque>
#include <optional>
#include <vector>

class ReplyLedger {
public:
    enum class Transport { Tcp, Udp };

    // What a reply whose invoke ID no waiting request carries answers.
    enum class Unmatched {
        // A request by order: the oldest over TCP, the newest over UDP, so a
        // module that does not copy the invoke ID is still timed.
        ByOrder,
        // Nothing: every request carries an invoke ID of its own.
        Nothing,
    };

    struct Request {
        quint64 sequence = 0; // from 1, in the order of sending
        quint16 invokeId = 0; // the two bytes as sent, first byte high
        qint64 sentNs = 0;
        qint32 sentTick = 0;
        qint64 deadlineNs = 0;
    };

    enum class GiveUpReason {
        Deadline, // no reply in time
        Overtaken, // over TCP, a later request was answered first
        Superseded, // a new request took its place (a reply cut short, a datagram still held)
        Abandoned, // the session closed or the caller gave up
    };

    struct GivenUp {
        Request request;
        GiveUpReason reason = GiveUpReason::Deadline;
    };

    struct Match {
        enum class Kind {
            Answer, // a waiting request's reply
            Late, // the reply of a request already given up
            Nothing, // answers no request
        };
        Kind kind = Kind::Nothing;
        Request request; // Answer and Late
        // Whether the round trip counts: always for an answer; for a late
        // reply only when no request sent since could have drawn it.
        bool timed = false;
    };

    // How many given-up requests are remembered for their late replies.
    static constexpr std::size_t kRememberedGivenUp = 1024;

    ReplyLedger(Transport transport = Transport::Tcp, Unmatched unmatched = Unmatched::ByOrder);

    void setTransport(Transport transport) { m_transport = transport; }
    // `distinctIds`: every request carries an invoke ID that no other of the
    // last 65536 carries, so a late reply's ID names its request for sure.
    void setUnmatched(Unmatched unmatched, bool distinctIds);

    // A request has left.
    void sent(const Request& request);

    // A whole reply at `nowNs`, carrying `invokeId` (none when it is too short
    // to hold one). Requests past their deadline are given up first.
    Match reply(std::optional<quint16> invokeId, qint64 nowNs);

    // Gives up every waiting request whose deadline has come.
    void expire(qint64 nowNs);
    // Gives up the oldest waiting request, or every one.
    void giveUpOldest(GiveUpReason reason);
    void giveUpAll(GiveUpReason reason);

    // What the last call gave up, oldest first; emptied by the next call.
    const std::vector<GivenUp>& givenUp() const { return m_givenUp; }

    bool isWaiting() const { return !m_waiting.empty(); }
    std::size_t waitingCount() const { return m_waiting.size(); }
    // The earliest deadline of a waiting request.
    std::optional<qint64> nextDeadlineNs() const;

private:
    using Queue = std::deque<Request>;

    void giveUp(Queue::iterator it, GiveUpReason reason);
    void remember(const Request& request);
    Match answer(Queue::iterator it);
    Match late(Queue::iterator it, bool byInvokeId);
    static Queue::iterator oldestWith(Queue& queue, quint16 invokeId);

    Transport m_transport;
    Unmatched m_unmatched;
    bool m_distinctIds = false;
    quint64 m_lastSequence = 0;
    Queue m_waiting; // in the order of sending
    Queue m_remembered; // given up, in the order of sending, newest last
    std::vector<GivenUp> m_givenUp;
};
