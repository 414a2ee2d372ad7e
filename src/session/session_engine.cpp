// SPDX-License-Identifier: GPL-3.0-or-later
// The session engine: send path, reply path, timing and the end of a session.
#include "session/session_engine.h"

#include "codec/frame_layout.h"
#include "session/tick_counter.h"

#include <algorithm>

namespace {

bool sameTexts(const RequestTexts& a, const RequestTexts& b)
{
    return a.comId == b.comId && a.src == b.src && a.invokeId == b.invokeId && a.cmnd == b.cmnd
        && a.dataType == b.dataType && a.varNo == b.varNo && a.data == b.data;
}

// The three times rarely change from one reply to the next, so their texts
// are built again only when their values do.
void setNumberText(QString& text, qint32& shown, qint32 value)
{
    if (text.isNull() || shown != value) {
        shown = value;
        text = QString::number(value);
    }
}

} // namespace

SessionEngine::SessionEngine(QObject* parent)
    : QObject(parent)
    , tcpClient(new ClientSocket(this))
{
    connect(tcpClient, &ClientSocket::connected, this, &SessionEngine::tcpClient_Connect);
    connect(tcpClient, &ClientSocket::dataArrival, this, &SessionEngine::tcpClient_DataArrival);
    connect(tcpClient, &ClientSocket::peerClosed, this, &SessionEngine::tcpClient_Close);
    connect(tcpClient, &ClientSocket::error, this, &SessionEngine::tcpClient_Error);
    connect(tcpClient, &ClientSocket::sendComplete, this, &SessionEngine::tcpClient_SendComplete);
    m_sendClock.start();
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
    return tcpClient->SetProtocol(protocol);
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

void SessionEngine::Start(const QString& host, quint16 port)
{
    tcpClient->SetRemoteHost(host);
    tcpClient->SetRemotePort(port);
}

void SessionEngine::Close()
{
    tcpClient->Close();
}

void SessionEngine::setRequestTexts(const RequestTexts& texts)
{
    m_texts = texts;
}

void SessionEngine::SetContinuousMode(qint16 mode)
{
    m_continuousMode = mode;
    if (m_continuousMode == True)
        SendAndEcho();
}

bool SessionEngine::SendAndEcho()
{
    if (!BuildAndSend())
        return false;
    echoRequest();
    return true;
}

bool SessionEngine::BuildAndSend()
{
    // A buffer changed by anyone else has been detached from the copy.
    if (!m_sendBuffer.isSharedWith(m_encodedBuffer) || !sameTexts(m_texts, m_encodedTexts)) {
        if (auto error = encodeRequest(m_texts, m_sendBuffer)) {
            stopContinuousMode();
            emit refused(*error);
            return false;
        }
        m_encodedTexts = m_texts;
        m_encodedBuffer = m_sendBuffer;
    }
    if (auto refusal = tcpClient->SendBytes(m_sendBuffer)) {
        stopContinuousMode();
        emit refused(*refusal);
        return false;
    }
    // Read once the socket has taken the bytes: building the frame lies
    // before the measured interval.
    SendTick = tick::GetTickCount();
    m_request.sequence = ++m_sequence;
    m_reply.sequence = m_request.sequence;
    m_sendClock.restart();
    return true;
}

void SessionEngine::echoRequest()
{
    // The header texts depend on the header bytes only.
    const QByteArrayView header(m_sendBuffer.constData(),
                                std::min<qsizetype>(m_sendBuffer.size(), frame::kHeaderSize));
    if (m_headerBytes.isNull() || header != m_headerBytes) {
        m_request.header = headerTexts(m_sendBuffer, static_cast<qint32>(m_sendBuffer.size()));
        m_headerBytes = header.toByteArray();
    }
    m_request.frame = m_sendBuffer;
    emit requestSent(m_request);
}

void SessionEngine::stopContinuousMode()
{
    // Switched off before anyone hears of the failure, so that no reply
    // handled meanwhile sends again.
    if (m_continuousMode != True)
        return;
    m_continuousMode = False;
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
    if (!acceptsSocketEvents())
        return;
    // First, before the reply is fetched or shown.
    const qint32 elapsed = tick::elapsedMs(tick::GetTickCount(), SendTick);
    const qint64 elapsedNs = m_sendClock.nsecsElapsed();
    m_stats.record(elapsed);
    ArrivedReply& reply = m_reply;
    reply.elapsedNs = elapsedNs;
    setNumberText(reply.elapsedText, reply.elapsed, elapsed);
    setNumberText(reply.minText, reply.MinTime, m_stats.MinTime);
    setNumberText(reply.maxText, reply.MaxTime, m_stats.MaxTime);

    tcpClient->ReceiveAll(m_responseBytes);
    // Exactly the bytes the texts are made of: a count beyond the frame is
    // capped to it, as responseTexts does.
    const QByteArrayView shown(m_responseBytes.constData(),
                               std::clamp<qsizetype>(bytesTotal, 0, m_responseBytes.size()));
    if (reply.bytes.isNull() || shown != reply.bytes) {
        reply.texts = responseTexts(m_responseBytes, bytesTotal);
        // Never null, even for an empty reply, so that it counts as seen.
        reply.bytes = shown.isEmpty() ? QByteArray("", 0) : shown.toByteArray();
    }
    reply.bytesTotal = bytesTotal;
    emit replyArrived(reply);
    if (m_continuousMode == True)
        SendAndEcho();
}

void SessionEngine::tcpClient_Close()
{
    if (!acceptsSocketEvents())
        return;
    endSession(QStringLiteral("WinSock Message"), QStringLiteral("Close!"));
}

void SessionEngine::tcpClient_Error(int number, const QString& description)
{
    Q_UNUSED(number);
    if (!acceptsSocketEvents())
        return;
    endSession(QStringLiteral("Winsock Error"), description);
}

void SessionEngine::tcpClient_SendComplete()
{
    // Nothing to do: a request counts as sent once the socket has taken it.
}

void SessionEngine::endSession(const QString& title, const QString& text)
{
    // Socket events are ignored from here on: the session is over once its
    // message is up.
    m_ending = true;
    emit sessionEnding(title, text);
    tcpClient->Close();
    emit ended();
}
