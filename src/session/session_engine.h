// SPDX-License-Identifier: GPL-3.0-or-later
// One test session with the module, without any window: the client socket,
// the request frame, the send and reply paths, the response times and
// continuous mode. Request texts go in; the bytes sent and received and their
// times come out, and whoever shows them (the window, the command-line
// probe) turns them into texts of its own.
#pragma once

#include "codec/request_encoder.h"
#include "net/client_socket.h"
#include "session/busy_poll_tuner.h"
#include "session/reply_assembler.h"
#include "session/reply_ledger.h"
#include "session/response_stats.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <optional>

class QTimer;

// A request that has just left: its sequence number (1 for the first of the
// session) and the whole frame.
struct SentRequest {
    quint64 sequence = 0;
    QByteArray frame;

    // Continuous mode sent the last frame that could be sent again, because
    // a text (being edited) cannot be: the texts are not what went out.
    bool keptFrame = false;
};

// Reply bytes as they arrive, with their timing: a reply still coming in
// (complete false), a whole one, or bytes nobody asked for.
struct ArrivedReply {
    QByteArray bytes; // the reply as far as it has arrived
    qint32 bytesTotal = 0; // bytes.size()
    qint32 arrivalBytes = 0; // how many of them came with this arrival
    bool complete = true; // the reply is whole
    // Timed against the request it answers; false while incomplete and for
    // bytes nobody asked for, which leave the times alone.
    bool timed = true;
    quint64 sequence = 0; // the request it answers; 0 when none
    // It answers a request already given up (sequence names it); timed only
    // when nothing sent since could have drawn it.
    bool late = false;
    quint16 requestInvokeId = 0; // the invoke ID of the request it answers
    qint32 elapsed = 0; // milliseconds on the tick counter
    qint64 elapsedNs = 0; // the same interval on a nanosecond clock
    qint32 MinTime = 0;
    qint32 MaxTime = 0;
};

// A request that waits no longer for its reply.
struct GivenUpRequest {
    quint64 sequence = 0;
    ReplyLedger::GiveUpReason reason = ReplyLedger::GiveUpReason::Deadline;
    qint64 waitedNs = 0; // from its send to being given up
    // Over TCP at its deadline, what had arrived of a reply: the bytes in,
    // and the size the reply announced (-1 before its header was in).
    qint32 arrivedBytes = 0;
    qint32 expectedBytes = -1;
};

class SessionEngine : public QObject {
    Q_OBJECT
public:
    explicit SessionEngine(QObject* parent = nullptr);
    ~SessionEngine() override;

    // Statistics to their far ends and a fresh request header.
    void Load();

    // Refused while a session is open; the protocol is TCP until changed.
    [[nodiscard]] SocketRefusal SetProtocol(ClientSocket::Protocol protocol);
    ClientSocket::Protocol protocol() const;
    // TCP: opens the connection; connected() or sessionEnding() follows.
    [[nodiscard]] SocketRefusal Connect(const QString& host, quint16 port);
    // UDP: sets where datagrams go; nothing is sent until a request is.
    // Refused without a host, as Connect is: no datagram could leave.
    SocketRefusal Start(const QString& host, quint16 port);
    // Closes the socket only: times, flag and request stay as they are.
    void Close();

    // The seven texts the next request is built from. While continuous mode
    // runs, or while a text is reported wrong, they are checked at once.
    void setRequestTexts(const RequestTexts& texts);

    // Builds the request from the texts, sends it and announces it; false
    // (and refused()) when it could not be sent, which also stops
    // continuous mode. Once continuous mode runs, a text that cannot be
    // sent does not stop it: each reply sends the last frame that could be
    // sent again, and requestTextWrong() says which text is at fault.
    bool SendAndEcho();

    // Gives up every request still waiting for its reply, and any reply half
    // in: whatever arrives next answers the next request.
    void GiveUpWaiting();
    // Whether a request sent waits for its reply.
    bool isWaiting() const { return m_ledger.isWaiting() || m_held.has_value(); }
    // Whether continuous mode waits before it sends the next request: for a
    // reply, or for the late reply of a request given up, which could not
    // be told from the next request's.
    bool holdsChain() const { return isWaiting() || m_ledger.awaitsLateReply(); }

    // Waits for the module's bytes (up to `spinUs` microseconds without
    // sleeping, then up to `msecs` asleep, never past a request's deadline)
    // and handles them, or the deadline, at once, with every event they
    // raise, before returning true; false when nothing came or the session
    // ended, which the event loop then handles. For a caller that runs back
    // to back and would rather not pay a pass of the event loop per reply;
    // canAwaitArrival() says whether it can.
    bool AwaitArrival(int msecs, int spinUs);
    bool canAwaitArrival() const { return tcpClient->abilities().waitsForArrival; }

    // In continuous mode, waits for each reply on the socket itself rather
    // than on the event loop, `sliceMs` at a time between passes of the
    // event loop (which keep repaints and clicks live), busy-polling up to
    // `busyPollUs` per wait while that gives shorter cycles. A slice of 0
    // leaves every wait to the event loop, as does a socket that cannot
    // wait.
    void setAwaitsReplies(int sliceMs, int busyPollUs);

    // Each request carries its own invoke ID, its sequence number modulo
    // 65536, instead of the typed one; a reply whose invoke ID no request
    // carries then answers nothing, rather than a request by order.
    void setNumberedInvokeIds(bool numbered);

    bool ContinuousMode() const { return m_continuousMode; }
    // Switching it on sends a request at once, unless one waits.
    void SetContinuousMode(bool on);

    const ResponseStats& stats() const { return m_stats; }

    // How long a request waits for its reply before it is given up.
    static constexpr int kDefaultReplyTimeoutMs = 1000;
    void setReplyTimeoutMs(int ms);
    int replyTimeoutMs() const { return m_replyTimeoutMs; }

signals:
    void connected();
    void requestSent(const SentRequest& request);
    // Raised before the reply that gave the request up, if one did.
    void requestGivenUp(const GivenUpRequest& request);
    void replyArrived(const ArrivedReply& reply);
    // An operation or a send that did not happen, and why.
    void refused(const QString& reason);
    // Continuous mode went off by itself (a request could not be sent).
    void continuousModeChanged(bool on);
    // A text that cannot be sent while continuous mode runs, raised when the
    // field or the message changes; requestTextsGood() once all can be again.
    void requestTextWrong(RequestField field, const QString& message);
    void requestTextsGood();
    // The session ends, and why: the handler may show it (modal, returning
    // when it is dismissed); the socket is closed after, and ended() follows.
    void sessionEnding(const SocketEnd& end);
    void ended();

private:
    // `chained`: sent by a reply in continuous mode, which keeps the last
    // good frame going out rather than stopping at a text that is wrong.
    bool sendAndEcho(bool chained);
    bool BuildAndSend(bool chained);
    void reportWrongText(std::optional<WrongRequestText> wrong);
    void echoRequest();
    void tcpClient_Connect();
    void tcpClient_DataArrival(qint32 bytesTotal);
    void tcpClient_Close();
    void tcpClient_Error(const SocketEnd& end);
    void tcpClient_SendComplete();
    void endSession(const SocketEnd& end);
    void stopContinuousMode();
    // The bytes of one arrival, cut into replies (TCP) or taken whole (UDP).
    void takeTcpArrival(qint32 nowTick, qint64 nowNs);
    void takeDatagram(qint32 nowTick, qint64 nowNs);
    // Announces `bytes` as a reply; a whole one that `answers` is matched to
    // its request and timed.
    void announce(QByteArrayView bytes, qint32 arrivalBytes, bool complete, bool answers, qint32 nowTick,
                  qint64 nowNs);
    // Tells of what the ledger's last call gave up.
    void announceGivenUp(qint64 nowNs);
    // A request's deadline may have come.
    void onDeadline();
    void armDeadline();
    void enterLedger(ReplyLedger::Request request);
    // In continuous mode the next request follows once nothing holds it.
    void continueChain(bool waitedBefore);
    // One slice of waiting for the chain's replies, and the next one queued
    // while the chain runs.
    void driveChain();
    void scheduleDrive();
    bool acceptsSocketEvents() const { return !m_ending; }

    ClientSocket* tcpClient = nullptr;
    QByteArray m_sendBuffer;
    qint32 SendTick = 0;
    ReplyLedger m_ledger;
    // A datagram held until its host's address is known: it enters the
    // ledger, timed from then, when it leaves.
    std::optional<ReplyLedger::Request> m_held;
    bool m_inSend = false;
    QTimer* m_deadlineTimer = nullptr;
    QTimer* m_driveTimer = nullptr;
    int m_driveSliceMs = 0;
    int m_busyPollUs = 0;
    BusyPollTuner m_busyPoll;
    qint64 m_timerDueNs = 0;
    bool m_numberedIds = false;
    ReplyAssembler m_assembler;
    QElapsedTimer m_clock;
    ResponseStats m_stats;
    bool m_continuousMode = false;
    RequestTexts m_texts;
    // The wrong text last reported, until the texts can be sent again.
    std::optional<WrongRequestText> m_wrongText;
    quint64 m_sequence = 0;
    bool m_ending = false;
    int m_replyTimeoutMs = kDefaultReplyTimeoutMs;

    // The texts the buffer was last encoded from, and a shallow copy of it:
    // the same texts over the same untouched buffer encode to the same bytes.
    RequestTexts m_encodedTexts;
    QByteArray m_encodedBuffer;
    SentRequest m_request;
    QByteArray m_received; // reused between arrivals to spare an allocation
    ArrivedReply m_reply;
};
