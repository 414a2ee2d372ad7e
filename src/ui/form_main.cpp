// SPDX-License-Identifier: GPL-3.0-or-later
// The main window: its controls, the window operations, and the handlers
// that turn clicks into steps of the session engine and its events into
// texts in the boxes.
#include "ui/form_main.h"

#include "codec/frame_layout.h"
#include "codec/request_file.h"
#include "session/session_engine.h"
#include "ui/form_builder.h"
#include "ui/form_layout.h"
#include "ui/frame_paced_repaint.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFont>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>

namespace {
const QString kOwnTitle = QString::fromUtf8(form::kTitle);
} // namespace

FormMain::FormMain(QWidget* parent)
    : QWidget(parent)
    , m_engine(new SessionEngine(this))
    , m_endProgramAction([] { QCoreApplication::exit(0); })
{
    setObjectName(QStringLiteral("formMain"));
    // The layout was drawn for a compact 8-point sans-serif face; these have
    // its metrics, so every caption fits beside its box.
    QFont face;
    face.setFamilies({QStringLiteral("Liberation Sans"), QStringLiteral("Arial"),
                      QStringLiteral("Nimbus Sans"), QStringLiteral("DejaVu Sans")});
    face.setPointSize(8);
    setFont(face);
    setWindowTitle(kOwnTitle);
    setFixedSize(form::pixels(form::kClientWidth), form::pixels(form::kClientHeight));
    form::buildControls(this);
    findControls();
    // Tab reaches the option group through its selected option only.
    optUDP->setFocusPolicy(Qt::ClickFocus);
    connectEvents();
    // In continuous mode the boxes change with every reply, thousands of
    // times a second; painting each change would cost more than the whole
    // request/reply cycle, and no eye sees more than one frame of them.
    new FramePacedRepaint(this);
    Form_Load();
    txtIpAdd->setFocus(Qt::OtherFocusReason);
    connectRequestEdited();
}

FormMain::~FormMain() = default;

void FormMain::setReplyTimeoutMs(int ms)
{
    m_engine->setReplyTimeoutMs(ms);
    showGivenUpCount();
}

int FormMain::replyTimeoutMs() const
{
    return m_engine->replyTimeoutMs();
}

void FormMain::findControls()
{
    auto get = [this](auto*& member, const char* name) {
        member = findChild<std::remove_reference_t<decltype(member)>>(QString::fromLatin1(name));
        Q_ASSERT(member);
    };
    get(txtIpAdd, "txtIpAdd");
    get(optTCP, "optTCP");
    get(optUDP, "optUDP");
    get(txtReqComId, "txtReqComId");
    get(txtReqSrc, "txtReqSrc");
    get(txtReqInvokeId, "txtReqInvokeId");
    get(txtReqLength, "txtReqLength");
    get(txtReqCheckSum, "txtReqCheckSum");
    get(txtResComId, "txtResComId");
    get(txtResSrc, "txtResSrc");
    get(txtResInvokeId, "txtResInvokeId");
    get(txtResLength, "txtResLength");
    get(txtResCheckSum, "txtResCheckSum");
    get(txtReqCmnd, "txtReqCmnd");
    get(txtReqDataType, "txtReqDataType");
    get(txtReqVarNo, "txtReqVarNo");
    get(txtReqData, "txtReqData");
    get(txtResCmnd, "txtResCmnd");
    get(txtResDataType, "txtResDataType");
    get(txtResState, "txtResState");
    get(txtResCode, "txtResCode");
    get(txtResData, "txtResData");
    get(txtResTime, "txtResTime");
    get(txtMinTime, "txtMinTime");
    get(txtMaxTime, "txtMaxTime");
    get(cmdConnect, "cmdConnect");
    get(cmdSend, "cmdSend");
    get(cmdCont, "cmdCont");
    get(cmdClose, "cmdClose");
}

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
    for (QLineEdit* box :
         {txtReqComId, txtReqSrc, txtReqInvokeId, txtReqCmnd, txtReqDataType, txtReqVarNo, txtReqData}) {
        connect(box, &QLineEdit::textChanged, this, &FormMain::passRequestTexts);
        // Typing only; the echo's own writes do not count.
        connect(box, &QLineEdit::textEdited, this, [this, box] { m_editedSinceEcho.insert(box); });
    }
    connect(m_engine, &SessionEngine::connected, this, &FormMain::tcpClient_Connect);
    connect(m_engine, &SessionEngine::requestSent, this, &FormMain::tcpClient_RequestSent);
    connect(m_engine, &SessionEngine::replyArrived, this, &FormMain::tcpClient_DataArrival);
    connect(m_engine, &SessionEngine::requestGivenUp, this, &FormMain::tcpClient_RequestGivenUp);
    connect(m_engine, &SessionEngine::refused, this, &FormMain::reportRefusal);
    connect(m_engine, &SessionEngine::continuousModeChanged, this,
            &FormMain::tcpClient_ContinuousModeChanged);
    connect(m_engine, &SessionEngine::sessionEnding, this, &FormMain::tcpClient_SessionEnding);
    connect(m_engine, &SessionEngine::requestTextWrong, this, &FormMain::tcpClient_RequestTextWrong);
    connect(m_engine, &SessionEngine::requestTextsGood, this, &FormMain::tcpClient_RequestTextsGood);
    connect(m_engine, &SessionEngine::ended, this, &FormMain::EndProgram);
}

// --- Window operations -------------------------------------------------------

QString FormMain::GetText(const QLineEdit* box) const
{
    return box->text();
}

void FormMain::SetText(QLineEdit* box, const QString& text)
{
    // An unchanged text needs no repaint; replies often repeat fields.
    if (box->text() == text)
        return;
    box->setText(text);
    // Show the start of a long text (the data), as a fresh box would.
    box->setCursorPosition(0);
}

bool FormMain::IsSelected(const QRadioButton* option) const
{
    return option->isChecked();
}

void FormMain::SetSelected(QRadioButton* option)
{
    option->setChecked(true);
}

void FormMain::SetEnabled(QWidget* control, bool enabled)
{
    control->setEnabled(enabled);
}

void FormMain::SetCaption(QAbstractButton* button, const QString& caption)
{
    button->setText(caption);
}

void FormMain::SetMousePointer(MousePointer pointer)
{
    if (pointer == m_pointer)
        return;
    // The window's own pointer: message boxes, windows of their own, keep
    // theirs.
    if (pointer == MousePointer::Hourglass)
        setCursor(Qt::WaitCursor);
    else
        unsetCursor();
    m_pointer = pointer;
}

void FormMain::ShowMessage(const QString& prompt, const QString& title)
{
    QMessageBox box(QMessageBox::Critical, title, prompt, QMessageBox::Ok, this);
    box.exec();
}

void FormMain::EndProgram()
{
    SetMousePointer(MousePointer::Default);
    if (m_endProgramAction)
        m_endProgramAction();
}

void FormMain::closeEvent(QCloseEvent* event)
{
    Form_Unload();
    event->accept();
}

// --- Frame steps -------------------------------------------------------------

void FormMain::SendAndEcho()
{
    // The engine echoes what it sent through requestSent.
    m_engine->SendAndEcho();
}

void FormMain::passRequestTexts()
{
    m_engine->setRequestTexts({GetText(txtReqComId), GetText(txtReqSrc), GetText(txtReqInvokeId),
                               GetText(txtReqCmnd), GetText(txtReqDataType), GetText(txtReqVarNo),
                               GetText(txtReqData)});
}

void FormMain::ShowRequestHeader(const HeaderTexts& texts)
{
    echoInto(txtReqComId, texts.comId);
    echoInto(txtReqSrc, texts.src);
    echoInto(txtReqInvokeId, texts.invokeId);
    SetText(txtReqLength, texts.length);
    SetText(txtReqCheckSum, texts.checkSum);
}

void FormMain::echoInto(QLineEdit* box, const QString& text)
{
    // What is being typed goes out with a later frame, once it can.
    if (box->hasFocus() && m_editedSinceEcho.contains(box))
        return;
    m_editedSinceEcho.remove(box);
    SetText(box, text);
}

QLineEdit* FormMain::requestBox(RequestField field) const
{
    switch (field) {
    case RequestField::ComId:
        return txtReqComId;
    case RequestField::Src:
        return txtReqSrc;
    case RequestField::InvokeId:
        return txtReqInvokeId;
    case RequestField::Cmnd:
        return txtReqCmnd;
    case RequestField::DataType:
        return txtReqDataType;
    case RequestField::VarNo:
        return txtReqVarNo;
    case RequestField::Data:
        return txtReqData;
    }
    return nullptr;
}

void FormMain::markWrongText(QLineEdit* box, const QString& message)
{
    if (m_wrongBox && m_wrongBox != box) {
        m_wrongBox->setStyleSheet(QString());
        m_wrongBox->setToolTip(QString());
        m_wrongBox->setAccessibleDescription(QString());
    }
    m_wrongBox = box;
    if (!box)
        return;
    box->setStyleSheet(QStringLiteral("QLineEdit { border: 2px solid #C00000; }"));
    box->setToolTip(message);
    box->setAccessibleDescription(message);
}

void FormMain::ShowResponse(const ResponseTexts& texts)
{
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

void FormMain::reportRefusal(const QString& reason)
{
    ShowMessage(reason, kOwnTitle);
}

void FormMain::chooseProtocol(bool tcp, const QString& caption)
{
    if (auto refusal =
            m_engine->SetProtocol(tcp ? ClientSocket::Protocol::Tcp : ClientSocket::Protocol::Udp)) {
        // The options keep showing the protocol the engine really uses.
        m_revertingOption = true;
        SetSelected(m_engine->protocol() == ClientSocket::Protocol::Tcp ? optTCP : optUDP);
        m_revertingOption = false;
        reportRefusal(*refusal);
        return;
    }
    SetCaption(cmdConnect, caption);
}

// --- Handlers ----------------------------------------------------------------

void FormMain::Form_Load()
{
    m_engine->Load();
    passRequestTexts();
    showGivenUpCount();
}

void FormMain::Form_Unload()
{
    m_engine->Close();
}

void FormMain::optTCP_Click()
{
    chooseProtocol(true, QStringLiteral("Connect"));
}

void FormMain::optUDP_Click()
{
    chooseProtocol(false, QStringLiteral("Start"));
}

void FormMain::cmdConnect_Click()
{
    const QString host = GetText(txtIpAdd);
    if (IsSelected(optTCP)) {
        const MousePointer before = m_pointer;
        SetMousePointer(MousePointer::Hourglass);
        if (auto refusal = m_engine->Connect(host, frame::kTcpPort)) {
            SetMousePointer(before);
            reportRefusal(*refusal);
        }
        return;
    }
    if (auto refusal = m_engine->Start(host, frame::kUdpPort)) {
        reportRefusal(*refusal);
        return;
    }
    // The session is bound to this address and protocol from now on, as a
    // TCP connection is: leaving them open would take edits it ignores.
    SetEnabled(txtIpAdd, false);
    SetEnabled(optTCP, false);
    SetEnabled(optUDP, false);
    SetEnabled(cmdConnect, false);
    SetEnabled(cmdSend, true);
    SetEnabled(cmdCont, true);
}

void FormMain::tcpClient_Connect()
{
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
    const auto mode = static_cast<qint16>(~m_engine->ContinuousMode());
    // The controls first: switching on sends at once, and a request that
    // cannot go out switches it off again.
    showContinuousMode(mode);
    m_engine->SetContinuousMode(mode);
}

void FormMain::tcpClient_RequestSent(const SentRequest& request)
{
    // A frame kept while a text cannot be sent is not what the boxes say;
    // echoing it would undo the user's edits.
    if (request.keptFrame)
        return;
    ShowRequestHeader(request.header);
}

void FormMain::tcpClient_DataArrival(const ArrivedReply& reply)
{
    if (reply.timed) {
        SetText(txtResTime, reply.elapsedText);
        SetText(txtMinTime, reply.minText);
        SetText(txtMaxTime, reply.maxText);
    }
    ShowResponse(reply.texts);
}

void FormMain::tcpClient_RequestGivenUp(const GivenUpRequest& request)
{
    // Requests dropped because the socket closed were never the module's to
    // answer.
    if (request.reason == ReplyLedger::GiveUpReason::Abandoned)
        return;
    ++m_givenUp;
    showGivenUpCount();
}

void FormMain::showGivenUpCount()
{
    const QString text = QStringLiteral("Requests given up without a reply: %1 (reply timeout %2 ms)")
                             .arg(QString::number(m_givenUp), QString::number(m_engine->replyTimeoutMs()));
    txtResTime->setToolTip(text);
    txtResTime->setAccessibleDescription(text);
}

void FormMain::tcpClient_ContinuousModeChanged(qint16 mode)
{
    showContinuousMode(mode);
}

void FormMain::showContinuousMode(qint16 mode)
{
    const bool on = mode == SessionEngine::True;
    SetCaption(cmdCont, on ? QStringLiteral("Stop") : QStringLiteral("Cont"));
    // One chain at a time: Send would start a second one beside it.
    SetEnabled(cmdSend, !on);
}

void FormMain::tcpClient_SessionEnding(const QString& title, const QString& text)
{
    // A connection attempt that failed is over.
    SetMousePointer(MousePointer::Default);
    ShowMessage(text, title);
}

void FormMain::tcpClient_RequestTextWrong(RequestField field, const QString& message)
{
    markWrongText(requestBox(field), message);
}

void FormMain::tcpClient_RequestTextsGood()
{
    markWrongText(nullptr, QString());
}

void FormMain::cmdClose_Click()
{
    m_engine->Close();
    // Closing also ends a connection attempt, which raises no event.
    SetMousePointer(MousePointer::Default);
    // Nothing can answer a closed socket, so no chain goes on.
    if (m_engine->ContinuousMode() == SessionEngine::True) {
        m_engine->SetContinuousMode(SessionEngine::False);
        showContinuousMode(SessionEngine::False);
    }
}

// --- The request as one value ------------------------------------------------

RequestSetup FormMain::requestSetup() const
{
    return {{GetText(txtReqComId), GetText(txtReqSrc), GetText(txtReqInvokeId), GetText(txtReqCmnd),
             GetText(txtReqDataType), GetText(txtReqVarNo), GetText(txtReqData)},
            GetText(txtIpAdd),
            IsSelected(optUDP) ? RequestProtocol::Udp : RequestProtocol::Tcp};
}

void FormMain::setRequestSetup(const RequestSetup& setup)
{
    const RequestTexts& texts = setup.texts;
    SetText(txtReqComId, texts.comId);
    SetText(txtReqSrc, texts.src);
    SetText(txtReqInvokeId, texts.invokeId);
    SetText(txtReqCmnd, texts.cmnd);
    SetText(txtReqDataType, texts.dataType);
    SetText(txtReqVarNo, texts.varNo);
    SetText(txtReqData, texts.data);
    // A session is bound to its address and protocol; the locked controls
    // keep showing the session's.
    if (txtIpAdd->isEnabled())
        SetText(txtIpAdd, setup.host);
    QRadioButton* option = setup.protocol == RequestProtocol::Udp ? optUDP : optTCP;
    // Selecting runs the option's handler, as a click does.
    if (option->isEnabled() && !IsSelected(option))
        SetSelected(option);
}

void FormMain::connectRequestEdited()
{
    for (QLineEdit* box : {txtReqComId, txtReqSrc, txtReqInvokeId, txtReqCmnd, txtReqDataType, txtReqVarNo,
                           txtReqData, txtIpAdd})
        connect(box, &QLineEdit::textChanged, this, &FormMain::requestEdited);
    // One of the two toggles on every change; the other would repeat it.
    connect(optUDP, &QRadioButton::toggled, this, &FormMain::requestEdited);
}
