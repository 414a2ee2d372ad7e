// SPDX-License-Identifier: GPL-3.0-or-later
// Which request a reply answers: the requests waiting for their replies,
// their deadlines, and the ones given up whose late replies may still come.
// Pure bookkeeping on numbers; the engine feeds it sends, replies and the
// clock.
//
// A reply is timed only when one request alone could have drawn it. When
// several could (requests sharing an invoke ID, or one given up while
// another waits), it is taken for the oldest of them, untimed: an empty
// time is honest, the time of the wrong request is not.
#pragma once

#include <QtGlobal>

#include <deque>
#include <optional>
#include <vector>

class ReplyLedger {
public:
    enum class Transport { Tcp, Udp };

    // What a reply whose invoke ID no request carries answers.
    enum class Unmatched {
        // Any request that could be waiting for it, so a module that does
        // not copy the invoke ID is still answered.
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
        // A reply that it may have drawn was taken for another request, so
        // its own reply cannot be told from that one's: never timed. Only
        // over UDP, where replies keep no order.
        bool shared = false;
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
        // Whether the round trip counts: only when no other request could
        // have drawn this reply.
        bool timed = false;
    };

    // How many given-up requests are remembered for their late replies.
    static constexpr std::size_t kRememberedGivenUp = 1024;
    // Without invoke IDs of their own, a given-up request's late reply is
    // awaited for this many reply timeouts past its deadline; after that the
    // request counts as lost for good, and a reply can be the next one's.
    static constexpr int kLateWindowTimeouts = 2;

    ReplyLedger(Transport transport = Transport::Tcp, Unmatched unmatched = Unmatched::ByOrder);

    void setTransport(Transport transport) { m_transport = transport; }
    // `distinctIds`: every request carries an invoke ID that no other of the
    // last 65536 carries, so a late reply's ID names its request for sure,
    // however late it comes.
    void setUnmatched(Unmatched unmatched, bool distinctIds);

    // A request has left.
    void sent(const Request& request);

    // A whole reply at `nowNs`, carrying `invokeId` (none when it is too short
    // to hold one). Requests past their deadline are given up first.
    Match reply(std::optional<quint16> invokeId, qint64 nowNs);

    // Gives up every waiting request whose deadline has come, and forgets the
    // given-up ones whose late window has passed.
    void expire(qint64 nowNs);
    // Gives up the oldest waiting request, or every one. Abandoning them
    // forgets the given-up ones too: no reply to any can come any more.
    void giveUpOldest(GiveUpReason reason);
    void giveUpAll(GiveUpReason reason);

    // What the last call gave up, oldest first; emptied by the next call.
    const std::vector<GivenUp>& givenUp() const { return m_givenUp; }

    bool isWaiting() const { return !m_waiting.empty(); }
    std::size_t waitingCount() const { return m_waiting.size(); }
    // A given-up request's late reply may still come and could not be told
    // from the next request's: a chain that sends one request at a time
    // waits for it, or for its late window to pass.
    bool awaitsLateReply() const { return !m_distinctIds && !m_remembered.empty(); }
    // The earliest moment expire() has something to do.
    std::optional<qint64> nextDeadlineNs() const;

private:
    struct Remembered {
        Request request;
        qint64 forgetNs = 0; // the end of its late window
    };
    using Waiting = std::deque<Request>;
    using Memory = std::deque<Remembered>;

    // The requests a reply carrying `invokeId` could answer: how many, and
    // the oldest of them in the waiting list and in the memory (end() when
    // none there). Counted in place, since it runs for every reply.
    struct Candidates {
        bool byId = true; // false: the reply's ID names none, any could have drawn it
        std::size_t count = 0;
        Waiting::iterator waiting;
        Memory::iterator remembered;
    };
    Candidates candidatesFor(std::optional<quint16> invokeId);
    // Over UDP: every candidate of an ambiguous reply but the one taken.
    void markShared(const Candidates& candidates, std::optional<quint16> invokeId);
    void giveUp(Waiting::iterator it, GiveUpReason reason);
    void remember(const Request& request);
    // When a given-up request's late reply can no longer be told apart.
    qint64 forgetAt(const Request& request) const;
    // Over TCP, what was sent before `sequence` can no longer be answered.
    void forgetOlderThan(quint64 sequence);

    Transport m_transport;
    Unmatched m_unmatched;
    bool m_distinctIds = false;
    quint64 m_lastSequence = 0;
    Waiting m_waiting; // in the order of sending
    Memory m_remembered; // given up, in the order of sending, newest last
    std::vector<GivenUp> m_givenUp;
};
