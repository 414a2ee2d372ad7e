// SPDX-License-Identifier: GPL-3.0-or-later
// The session engine: send path, reply path, timing and the end of a session.
#include "session/session_engine.h"

#include "net/socket_backends.h"
#include "session/tick_counter.h"

#include <QTimer>

#include <algorithm>
#include <climits>

namespace {

bool sameTexts(const RequestTexts& a, const RequestTexts& b)
{
    return a.comId == b.comId && a.src == b.src && a.invokeId == b.invokeId && a.cmnd == b.cmnd
        && a.dataType == b.dataType && a.varNo == b.varNo && a.data == b.data;
}

// Nanoseconds to whole milliseconds, rounded up: a timer set to it never
// fires before the moment.
int msecsUntil(qint64 ns)
{
    return static_cast<int>(std::clamp<qint64>((ns + 999'999) / 1'000'000, 0, INT_MAX));
}

// Replies in continuous mode repeat byte for byte: `bytes` is copied into
// `into` only where it differs, and into its own buffer while the size stays,
// so that a repeated reply costs no allocation.
void keepBytes(QByteArray& into, QByteArrayView bytes)
{
    if (bytes == into)
        return;
    if (into.size() == bytes.size())
        std::copy(bytes.begin(), bytes.end(), into.begin());
    else
        into = bytes.toByteArray();
}

} // namespace

SessionEngine::SessionEngine(QObject* parent)
    : QObject(parent)
    , tcpClient(makeClientSocket(this))
    , m_deadlineTimer(new QTimer(this))
    , m_driveTimer(new QTimer(this))
{
    m_driveTimer->setSingleShot(true);
    m_driveTimer->setInterval(0);
    connect(m_driveTimer, &QTimer::timeout, this, &SessionEngine::driveChain);
    m_deadlineTimer->setSingleShot(true);
    m_deadlineTimer->setTimerType(Qt::PreciseTimer);
    connect(m_deadlineTimer, &QTimer::timeout, this, &SessionEngine::onDeadline);
    connect(tcpClient, &ClientSocket::connected, this, &SessionEngine::tcpClient_Connect);
    connect(tcpClient, &ClientSocket::dataArrival, this, &SessionEngine::tcpClient_DataArrival);
    connect(tcpClient, &ClientSocket::peerClosed, this, &SessionEngine::tcpClient_Close);
    connect(tcpClient, &ClientSocket::error, this, &SessionEngine::tcpClient_Error);
    connect(tcpClient, &ClientSocket::sendComplete, this, &SessionEngine::tcpClient_SendComplete);
    m_clock.start();
    Load();
}

SessionEngine::~SessionEngine() = default;

void SessionEngine::Load()
{
    m_stats = ResponseStats{};
    InitHeader(m_sendBuffer);
}

SocketRefusal SessionEngine::SetProtocol(ClientSocket::Protocol protocol)
{
    auto refusal = tcpClient->SetProtocol(protocol);
    if (!refusal) {
        m_ledger.setTransport(protocol == ClientSocket::Protocol::Tcp ? ReplyLedger::Transport::Tcp
                                                                      : ReplyLedger::Transport::Udp);
    }
    return refusal;
}

ClientSocket::Protocol SessionEngine::protocol() const
{
    return tcpClient->protocol();
}

SocketRefusal SessionEngine::Connect(const QString& host, quint16 port)
{
    tcpClient->SetRemoteHost(host);
    tcpClient->SetRemotePort(port);
    return tcpClient->Connect();
}

SocketRefusal SessionEngine::Start(const QString& host, quint16 port)
{
    if (host.isEmpty())
        return QStringLiteral("No remote host is set.");
    tcpClient->SetRemoteHost(host);
    tcpClient->SetRemotePort(port);
    return std::nullopt;
}

void SessionEngine::Close()
{
    // No reply to anything sent before can reach a closed socket.
    GiveUpWaiting();
    tcpClient->Close();
}

void SessionEngine::GiveUpWaiting()
{
    const qint64 nowNs = m_clock.nsecsElapsed();
    m_ledger.giveUpAll(ReplyLedger::GiveUpReason::Abandoned);
    announceGivenUp(nowNs);
    if (m_held) {
        const GivenUpRequest held{m_held->sequence, ReplyLedger::GiveUpReason::Abandoned, 0, 0, -1};
        m_held.reset();
        emit requestGivenUp(held);
    }
    m_assembler.startNext();
    m_deadlineTimer->stop();
}

void SessionEngine::setNumberedInvokeIds(bool numbered)
{
    m_numberedIds = numbered;
    m_ledger.setUnmatched(numbered ? ReplyLedger::Unmatched::Nothing : ReplyLedger::Unmatched::ByOrder,
                          numbered);
}

void SessionEngine::setReplyTimeoutMs(int ms)
{
    m_replyTimeoutMs = ms;
}

bool SessionEngine::AwaitArrival(int msecs, int spinUs)
{
    if (!acceptsSocketEvents())
        return false;
    const std::optional<qint64> deadline = m_ledger.nextDeadlineNs();
    if (deadline) {
        const qint64 leftNs = *deadline - m_clock.nsecsElapsed();
        if (leftNs <= 0) {
            onDeadline();
            return true;
        }
        msecs = std::min(msecs, msecsUntil(leftNs));
    }
    if (tcpClient->WaitForArrival(msecs, spinUs))
        return true;
    if (deadline && *deadline <= m_clock.nsecsElapsed() && acceptsSocketEvents()) {
        onDeadline();
        return true;
    }
    return false;
}

void SessionEngine::setRequestTexts(const RequestTexts& texts)
{
    m_texts = texts;
    // Said as it is typed, not only when the next reply comes: a chain
    // whose reply was lost sends nothing more.
    if (m_continuousMode || m_wrongText)
        reportWrongText(findWrongRequestText(m_texts));
}

void SessionEngine::reportWrongText(std::optional<WrongRequestText> wrong)
{
    if (!wrong) {
        if (m_wrongText) {
            m_wrongText.reset();
            emit requestTextsGood();
        }
        return;
    }
    if (m_wrongText && m_wrongText->field == wrong->field && m_wrongText->message == wrong->message)
        return;
    m_wrongText = std::move(wrong);
    emit requestTextWrong(m_wrongText->field, m_wrongText->message);
}

void SessionEngine::SetContinuousMode(bool on)
{
    m_continuousMode = on;
    // One request of the chain in flight at most: while one waits, the chain
    // goes on from its reply or its deadline.
    if (m_continuousMode && !holdsChain())
        SendAndEcho();
    scheduleDrive();
}

bool SessionEngine::SendAndEcho()
{
    return sendAndEcho(false);
}

bool SessionEngine::sendAndEcho(bool chained)
{
    if (!BuildAndSend(chained))
        return false;
    echoRequest();
    return true;
}

bool SessionEngine::BuildAndSend(bool chained)
{
    bool keptFrame = false;
    // A buffer changed by anyone else has been detached from the copy.
    if (!m_sendBuffer.isSharedWith(m_encodedBuffer) || !sameTexts(m_texts, m_encodedTexts)) {
        if (auto error = encodeRequest(m_texts, m_sendBuffer)) {
            if (!chained) {
                stopContinuousMode();
                emit refused(*error);
                return false;
            }
            // A half-typed text must not end a run: the buffer, untouched by
            // the failed encoding, still holds the last frame that was sent.
            reportWrongText(findWrongRequestText(m_texts));
            keptFrame = true;
        } else {
            m_encodedTexts = m_texts;
            m_encodedBuffer = m_sendBuffer;
            reportWrongText(std::nullopt);
        }
    }
    // Read just before the bytes go: building the frame lies outside the
    // measured interval, and the send itself inside it. Read after the send,
    // a reply that the module got out while this thread was preempted in the
    // send would be timed from a moment after it already arrived.
    if (m_numberedIds) {
        // The engine's own copies let go first, so that the new ID is
        // written in place rather than into a fresh copy of the frame.
        m_encodedBuffer = QByteArray();
        m_request.frame = QByteArray();
        setInvokeId(m_sendBuffer, static_cast<quint16>((m_sequence + 1) & 0xFFFF));
        // Still what the texts encode to, with the ID that replaces theirs.
        m_encodedBuffer = m_sendBuffer;
    }
    const qint32 sendTick = tick::GetTickCount();
    const qint64 sentNs = m_clock.nsecsElapsed();
    m_inSend = true;
    const SocketRefusal refusal = tcpClient->SendBytes(m_sendBuffer);
    m_inSend = false;
    if (refusal) {
        stopContinuousMode();
        emit refused(*refusal);
        return false;
    }
    SendTick = sendTick;
    m_request.sequence = ++m_sequence;
    m_request.keptFrame = keptFrame;
    if (tcpClient->protocol() == ClientSocket::Protocol::Tcp && !m_assembler.isEmpty()) {
        // A reply that never completed has been shown as far as it came; its
        // request is given up and the next reply starts clean.
        m_assembler.startNext();
        m_ledger.giveUpOldest(ReplyLedger::GiveUpReason::Superseded);
        announceGivenUp(sentNs);
    }
    const ReplyLedger::Request request{m_request.sequence, invokeIdOf(m_sendBuffer).value_or(0), sentNs,
                                       sendTick, sentNs + qint64(m_replyTimeoutMs) * 1'000'000};
    if (tcpClient->protocol() == ClientSocket::Protocol::Udp && tcpClient->holdsDatagram()) {
        // The socket sends only the latest of the datagrams it holds.
        if (m_held)
            emit requestGivenUp({m_held->sequence, ReplyLedger::GiveUpReason::Superseded, 0, 0, -1});
        m_held = request;
        return true;
    }
    enterLedger(request);
    return true;
}

void SessionEngine::enterLedger(ReplyLedger::Request request)
{
    m_ledger.sent(request);
    armDeadline();
}

void SessionEngine::tcpClient_SendComplete()
{
    // A request counts as sent once the socket has taken it; only a held
    // datagram leaves later, and it is timed, and waits, from then.
    if (m_inSend || !m_held)
        return;
    ReplyLedger::Request request = *m_held;
    m_held.reset();
    request.sentNs = m_clock.nsecsElapsed();
    request.sentTick = tick::GetTickCount();
    request.deadlineNs = request.sentNs + qint64(m_replyTimeoutMs) * 1'000'000;
    SendTick = request.sentTick;
    enterLedger(request);
}

// The timer is moved only when it fires or a deadline comes before the one
// it is set for: replies in time cost no timer update.
void SessionEngine::armDeadline()
{
    const std::optional<qint64> deadline = m_ledger.nextDeadlineNs();
    if (!deadline) {
        m_deadlineTimer->stop();
        return;
    }
    if (m_deadlineTimer->isActive() && m_timerDueNs <= *deadline)
        return;
    m_timerDueNs = *deadline;
    m_deadlineTimer->start(msecsUntil(*deadline - m_clock.nsecsElapsed()));
}

void SessionEngine::onDeadline()
{
    if (!acceptsSocketEvents())
        return;
    const qint64 nowNs = m_clock.nsecsElapsed();
    const bool waitedBefore = holdsChain();
    m_ledger.expire(nowNs);
    announceGivenUp(nowNs);
    m_deadlineTimer->stop();
    armDeadline();
    continueChain(waitedBefore);
}

void SessionEngine::announceGivenUp(qint64 nowNs)
{
    bool first = true;
    for (const ReplyLedger::GivenUp& entry : m_ledger.givenUp()) {
        GivenUpRequest given{entry.request.sequence, entry.reason, nowNs - entry.request.sentNs, 0, -1};
        // Over TCP the oldest request's reply is the one coming in.
        if (first && entry.reason == ReplyLedger::GiveUpReason::Deadline
            && tcpClient->protocol() == ClientSocket::Protocol::Tcp && !m_assembler.isEmpty()) {
            given.arrivedBytes = static_cast<qint32>(m_assembler.current().size());
            given.expectedBytes = static_cast<qint32>(m_assembler.expectedSize());
        }
        first = false;
        emit requestGivenUp(given);
    }
}

void SessionEngine::continueChain(bool waitedBefore)
{
    // Bytes nobody asked for send nothing; a reply or a deadline that leaves
    // nothing waiting sends the next request.
    if (m_continuousMode && waitedBefore && !holdsChain() && !m_ending) {
        sendAndEcho(true);
        scheduleDrive();
    }
}

void SessionEngine::setAwaitsReplies(int sliceMs, int busyPollUs)
{
    m_driveSliceMs = std::max(sliceMs, 0);
    m_busyPollUs = std::max(busyPollUs, 0);
    scheduleDrive();
}

void SessionEngine::scheduleDrive()
{
    if (m_driveSliceMs > 0 && m_continuousMode && holdsChain() && !m_ending && canAwaitArrival()
        && !m_driveTimer->isActive())
        m_driveTimer->start();
}

void SessionEngine::driveChain()
{
    const qint64 sliceEndNs = m_clock.nsecsElapsed() + qint64(m_driveSliceMs) * 1'000'000;
    qint64 nowNs = 0;
    while (m_continuousMode && holdsChain() && !m_ending) {
        nowNs = m_clock.nsecsElapsed();
        if (nowNs >= sliceEndNs)
            break;
        // Ends at a request's deadline as well; false when nothing came in
        // the slice or there was nothing to wait on.
        if (!AwaitArrival(msecsUntil(sliceEndNs - nowNs), m_busyPoll.busyPolling() ? m_busyPollUs : 0)) {
            nowNs = m_clock.nsecsElapsed();
            break;
        }
    }
    // A slice that ended early had nothing to wait on (a datagram held for
    // its address, say): the event loop brings whatever comes next, rather
    // than a drive queued again and again.
    if (nowNs >= sliceEndNs)
        scheduleDrive();
}

void SessionEngine::echoRequest()
{
    m_request.frame = m_sendBuffer;
    emit requestSent(m_request);
}

void SessionEngine::stopContinuousMode()
{
    // Switched off before anyone hears of the failure, so that no reply
    // handled meanwhile sends again.
    if (!m_continuousMode)
        return;
    m_continuousMode = false;
    emit continuousModeChanged(m_continuousMode);
}

void SessionEngine::tcpClient_Connect()
{
    if (!acceptsSocketEvents())
        return;
    emit connected();
}

void SessionEngine::tcpClient_DataArrival(qint32 bytesTotal)
{
    Q_UNUSED(bytesTotal); // the bytes themselves are counted as they are taken
    if (!acceptsSocketEvents())
        return;
    // First, before the reply is fetched or shown.
    const qint32 nowTick = tick::GetTickCount();
    const qint64 nowNs = m_clock.nsecsElapsed();
    const bool waitedBefore = holdsChain();
    tcpClient->ReceiveAll(m_received);
    if (tcpClient->protocol() == ClientSocket::Protocol::Udp)
        takeDatagram(nowTick, nowNs);
    else
        takeTcpArrival(nowTick, nowNs);
    continueChain(waitedBefore);
}

void SessionEngine::takeDatagram(qint32 nowTick, qint64 nowNs)
{
    announce(m_received, static_cast<qint32>(m_received.size()), true, true, nowTick, nowNs);
}

void SessionEngine::takeTcpArrival(qint32 nowTick, qint64 nowNs)
{
    const QByteArrayView arrival(m_received);
    qsizetype offset = 0;
    while (offset < arrival.size()) {
        const ReplyAssembler::Step step = m_assembler.add(arrival, offset);
        offset += step.taken;
        if (!step.complete) {
            // The reply so far, shown at once; timed once it is whole.
            announce(m_assembler.current(), static_cast<qint32>(step.taken), false, false, nowTick, nowNs);
            return;
        }
        announce(m_assembler.current(), static_cast<qint32>(step.taken), true, true, nowTick, nowNs);
        m_assembler.startNext();
        if (m_ending)
            return;
        if (offset < arrival.size() && !m_ledger.isWaiting()) {
            // Nobody asked for the rest: shown as it is, and the next arrival
            // starts clean, so a module that fills its length field some
            // other way cannot put the tool out of step for good.
            const QByteArrayView rest = arrival.sliced(offset);
            announce(rest, static_cast<qint32>(rest.size()), true, false, nowTick, nowNs);
            return;
        }
    }
}

void SessionEngine::announce(QByteArrayView bytes, qint32 arrivalBytes, bool complete, bool answers,
                             qint32 nowTick, qint64 nowNs)
{
    ArrivedReply& reply = m_reply;
    reply.complete = complete;
    reply.timed = false;
    reply.late = false;
    reply.sequence = 0;
    if (complete && answers) {
        const ReplyLedger::Match match = m_ledger.reply(invokeIdOf(bytes), nowNs);
        announceGivenUp(nowNs);
        if (match.kind != ReplyLedger::Match::Kind::Nothing) {
            reply.sequence = match.request.sequence;
            reply.requestInvokeId = match.request.invokeId;
            reply.late = match.kind == ReplyLedger::Match::Kind::Late;
        }
        if (match.timed) {
            reply.timed = true;
            m_busyPoll.replied(nowNs);
            const qint32 elapsed = tick::elapsedMs(nowTick, match.request.sentTick);
            m_stats.record(elapsed);
            reply.elapsedNs = nowNs - match.request.sentNs;
            reply.elapsed = elapsed;
            reply.MinTime = m_stats.MinTime;
            reply.MaxTime = m_stats.MaxTime;
        }
    }
    keepBytes(reply.bytes, bytes);
    reply.bytesTotal = static_cast<qint32>(bytes.size());
    reply.arrivalBytes = arrivalBytes;
    emit replyArrived(reply);
}

void SessionEngine::tcpClient_Close()
{
    if (!acceptsSocketEvents())
        return;
    endSession({SocketEnd::Reason::Closed, {}});
}

void SessionEngine::tcpClient_Error(const SocketEnd& end)
{
    if (!acceptsSocketEvents())
        return;
    endSession(end);
}

void SessionEngine::endSession(const SocketEnd& end)
{
    // Socket events are ignored from here on: the session is over once its
    // message is up.
    m_ending = true;
    GiveUpWaiting();
    emit sessionEnding(end);
    tcpClient->Close();
    emit ended();
}
