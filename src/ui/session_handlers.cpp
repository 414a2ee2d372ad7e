// The window's handlers: protocol choice, connect or start, sending once or
// continuously, timing and showing every reply, and ending the session.
#include "ui/form_main.h"

#include "codec/frame_display.h"
#include "codec/frame_layout.h"
#include "codec/request_encoder.h"
#include "session/tick_counter.h"
#include "ui/form_layout.h"

#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include <algorithm>
#include <limits>

namespace {
const QString kOwnTitle = QString::fromUtf8(form::kTitle);

bool sameTexts(const RequestTexts& a, const RequestTexts& b)
{
    return a.comId == b.comId && a.src == b.src && a.invokeId == b.invokeId && a.cmnd == b.cmnd
        && a.dataType == b.dataType && a.varNo == b.varNo && a.data == b.data;
}
} // namespace

void FormMain::connectEvents()
{
    connect(cmdConnect, &QPushButton::clicked, this, &FormMain::cmdConnect_Click);
    connect(cmdSend, &QPushButton::clicked, this, &FormMain::cmdSend_Click);
    connect(cmdCont, &QPushButton::clicked, this, &FormMain::cmdCont_Click);
    connect(cmdClose, &QPushButton::clicked, this, &FormMain::cmdClose_Click);
    // Click on an option means choosing it; clicking the chosen one again
    // changes nothing and raises nothing.
    connect(optTCP, &QRadioButton::toggled, this, [this](bool on) {
        optTCP->setFocusPolicy(on ? Qt::StrongFocus : Qt::ClickFocus);
        if (on && !m_revertingOption)
            optTCP_Click();
    });
    connect(optUDP, &QRadioButton::toggled, this, [this](bool on) {
        optUDP->setFocusPolicy(on ? Qt::StrongFocus : Qt::ClickFocus);
        if (on && !m_revertingOption)
            optUDP_Click();
    });
    connect(tcpClient, &ClientSocket::connected, this, &FormMain::tcpClient_Connect);
    connect(tcpClient, &ClientSocket::dataArrival, this, &FormMain::tcpClient_DataArrival);
    connect(tcpClient, &ClientSocket::peerClosed, this, &FormMain::tcpClient_Close);
    connect(tcpClient, &ClientSocket::error, this, &FormMain::tcpClient_Error);
    connect(tcpClient, &ClientSocket::sendComplete, this, &FormMain::tcpClient_SendComplete);
}

// --- Frame codec steps ---------------------------------------------------

bool FormMain::BuildAndSend()
{
    const RequestTexts texts{GetText(txtReqComId), GetText(txtReqSrc),      GetText(txtReqInvokeId),
                             GetText(txtReqCmnd),  GetText(txtReqDataType), GetText(txtReqVarNo),
                             GetText(txtReqData)};
    // A buffer changed by anyone else has been detached from the copy.
    if (!SendBuffer.isSharedWith(m_encodedBuffer) || !sameTexts(texts, m_encodedTexts)) {
        if (auto error = encodeRequest(texts, SendBuffer)) {
            reportSendFailure(*error);
            return false;
        }
        m_encodedTexts = texts;
        m_encodedBuffer = SendBuffer;
    }
    if (auto refusal = tcpClient->SendBytes(SendBuffer)) {
        reportSendFailure(*refusal);
        return false;
    }
    // Read once the socket has taken the bytes: building the frame lies
    // before the measured interval.
    SendTick = tick::GetTickCount();
    return true;
}

void FormMain::ShowRequestHeader(const QByteArray& frame)
{
    // The texts depend on the header bytes only.
    const QByteArrayView header(frame.constData(), std::min<qsizetype>(frame.size(), frame::kHeaderSize));
    if (m_headerBytes.isNull() || header != m_headerBytes) {
        m_headerTexts = headerTexts(frame, static_cast<qint32>(frame.size()));
        m_headerBytes = header.toByteArray();
    }
    const HeaderTexts& texts = m_headerTexts;
    SetText(txtReqComId, texts.comId);
    SetText(txtReqSrc, texts.src);
    SetText(txtReqInvokeId, texts.invokeId);
    SetText(txtReqLength, texts.length);
    SetText(txtReqCheckSum, texts.checkSum);
}

void FormMain::ShowResponse(const QByteArray& frame, qint32 bytesTotal)
{
    // Exactly the bytes the texts are made of: a count beyond the frame is
    // capped to it, as responseTexts does.
    const QByteArrayView shown(frame.constData(), std::clamp<qsizetype>(bytesTotal, 0, frame.size()));
    if (m_responseBytes.isNull() || shown != m_responseBytes) {
        m_responseTexts = responseTexts(frame, bytesTotal);
        // Never null, even for an empty reply, so that it counts as seen.
        m_responseBytes = shown.isEmpty() ? QByteArray("", 0) : shown.toByteArray();
    }
    const ResponseTexts& texts = m_responseTexts;
    SetText(txtResComId, texts.header.comId);
    SetText(txtResSrc, texts.header.src);
    SetText(txtResInvokeId, texts.header.invokeId);
    SetText(txtResLength, texts.header.length);
    SetText(txtResCheckSum, texts.header.checkSum);
    SetText(txtResCmnd, texts.cmnd);
    SetText(txtResDataType, texts.dataType);
    SetText(txtResState, texts.state);
    SetText(txtResCode, texts.code);
    SetText(txtResData, texts.data);
}

const QString& FormMain::numberText(ShownNumber& shown, qint32 value)
{
    if (shown.text.isNull() || shown.value != value) {
        shown.value = value;
        shown.text = QString::number(value);
    }
    return shown.text;
}

void FormMain::SendAndEcho()
{
    if (BuildAndSend())
        ShowRequestHeader(SendBuffer);
}

void FormMain::reportSendFailure(const QString& reason)
{
    // Switched off before the message, so that no reply handled while the
    // box is open sends again.
    if (ContinuousMode == True) {
        ContinuousMode = False;
        SetCaption(cmdCont, QStringLiteral("Cont"));
    }
    ShowMessage(reason, kOwnTitle);
}

void FormMain::reportRefusal(const QString& reason)
{
    ShowMessage(reason, kOwnTitle);
}

void FormMain::chooseProtocol(ClientSocket::Protocol protocol, const QString& caption)
{
    if (auto refusal = tcpClient->SetProtocol(protocol)) {
        // The options keep showing the protocol the socket really uses.
        m_revertingOption = true;
        SetSelected(tcpClient->protocol() == ClientSocket::Protocol::Tcp ? optTCP : optUDP);
        m_revertingOption = false;
        reportRefusal(*refusal);
        return;
    }
    SetCaption(cmdConnect, caption);
}

// --- Handlers --------------------------------------------------------------

void FormMain::Form_Load()
{
    stats.MinTime = std::numeric_limits<qint32>::max();
    stats.MaxTime = 0;
    InitHeader(SendBuffer);
}

void FormMain::Form_Unload()
{
    tcpClient->Close();
}

void FormMain::optTCP_Click()
{
    chooseProtocol(ClientSocket::Protocol::Tcp, QStringLiteral("Connect"));
}

void FormMain::optUDP_Click()
{
    chooseProtocol(ClientSocket::Protocol::Udp, QStringLiteral("Start"));
}

void FormMain::cmdConnect_Click()
{
    tcpClient->SetRemoteHost(GetText(txtIpAdd));
    if (IsSelected(optTCP)) {
        const MousePointer before = m_pointer;
        SetMousePointer(MousePointer::Hourglass);
        tcpClient->SetRemotePort(frame::kTcpPort);
        if (auto refusal = tcpClient->Connect()) {
            SetMousePointer(before);
            reportRefusal(*refusal);
        }
        return;
    }
    tcpClient->SetRemotePort(frame::kUdpPort);
    SetEnabled(cmdConnect, false);
    SetEnabled(cmdSend, true);
    SetEnabled(cmdCont, true);
}

void FormMain::tcpClient_Connect()
{
    if (!acceptsSocketEvents())
        return;
    SetEnabled(txtIpAdd, false);
    SetEnabled(optTCP, false);
    SetEnabled(optUDP, false);
    SetEnabled(cmdConnect, false);
    SetEnabled(cmdSend, true);
    SetEnabled(cmdCont, true);
    SetMousePointer(MousePointer::Default);
}

void FormMain::cmdSend_Click()
{
    SendAndEcho();
}

void FormMain::cmdCont_Click()
{
    ContinuousMode = static_cast<qint16>(~ContinuousMode);
    if (ContinuousMode == True) {
        SetCaption(cmdCont, QStringLiteral("Stop"));
        SendAndEcho();
    } else {
        SetCaption(cmdCont, QStringLiteral("Cont"));
    }
}

void FormMain::tcpClient_DataArrival(qint32 bytesTotal)
{
    if (!acceptsSocketEvents())
        return;
    // First, before the reply is fetched or shown.
    const qint32 elapsed = tick::elapsedMs(tick::GetTickCount(), SendTick);
    stats.record(elapsed);
    SetText(txtResTime, numberText(m_resTime, elapsed));
    SetText(txtMinTime, numberText(m_minTime, stats.MinTime));
    SetText(txtMaxTime, numberText(m_maxTime, stats.MaxTime));
    tcpClient->ReceiveAll(m_received);
    ShowResponse(m_received, bytesTotal);
    if (ContinuousMode == True)
        SendAndEcho();
}

void FormMain::tcpClient_Close()
{
    if (!acceptsSocketEvents())
        return;
    m_ending = true;
    ShowMessage(QStringLiteral("Close!"), QStringLiteral("WinSock Message"));
    tcpClient->Close();
    EndProgram();
}

void FormMain::tcpClient_Error(int number, const QString& description)
{
    Q_UNUSED(number);
    if (!acceptsSocketEvents())
        return;
    m_ending = true;
    ShowMessage(description, QStringLiteral("Winsock Error"));
    tcpClient->Close();
    EndProgram();
}

void FormMain::cmdClose_Click()
{
    tcpClient->Close();
}

void FormMain::tcpClient_SendComplete()
{
    // Nothing to do: a request counts as sent once the socket has taken it.
}
