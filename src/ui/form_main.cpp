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
#include "ui/reply_texts.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFont>
#include <QHelpEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QToolTip>

namespace {
const QString kOwnTitle = QString::fromUtf8(form::kTitle);

// In continuous mode the engine waits for each reply on the socket for up
// to this long before the event loop runs again: short enough that a click
// on Stop and a repaint wait no longer than a display frame, long enough
// that the passes of the event loop cost the cycles little.
constexpr int kReplyWaitSliceMs = 10;
// And it busy-polls this long per wait while that makes cycles shorter.
constexpr int kBusyPollUs = 50;

QString counted(quint64 n, const char* one, const char* many)
{
    return QStringLiteral("%1 %2").arg(QString::number(n), QLatin1String(n == 1 ? one : many));
}
} // namespace

FormMain::FormMain(QWidget* parent)
    : QWidget(parent)
    , m_engine(new SessionEngine(this))
    , m_texts(std::make_unique<ReplyTexts>())
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
    m_engine->setAwaitsReplies(kReplyWaitSliceMs, kBusyPollUs);
    Form_Load();
    txtIpAdd->setFocus(Qt::OtherFocusReason);
    connectRequestEdited();
    txtResTime->installEventFilter(this);
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

void FormMain::setNumberedInvokeIds(bool numbered)
{
    if (numbered == m_numbered)
        return;
    m_numbered = numbered;
    if (numbered)
        m_typedInvokeId = txtReqInvokeId->text();
    m_engine->setNumberedInvokeIds(numbered);
    if (!numbered)
        showText(txtReqInvokeId, m_typedInvokeId);
    showGivenUpCount();
}

QString FormMain::timingNotice() const
{
    // Short enough for three lines beside the reply timeout.
    const QString timeout = QStringLiteral("the %1 ms timeout").arg(m_engine->replyTimeoutMs());
    QStringList facts;
    if (m_late > 0)
        facts << QStringLiteral("%1 after %2").arg(counted(m_late, "reply came", "replies came"), timeout);
    else if (m_givenUp > 0)
        facts << QStringLiteral("%1 within %2")
                     .arg(counted(m_givenUp, "request got no reply", "requests got no reply"), timeout);
    if (m_untimed > 0) {
        facts << QStringLiteral("%1 not timed: another request could have drawn %2")
                     .arg(counted(m_untimed, "reply", "replies"),
                          QLatin1String(m_untimed == 1 ? "it" : "them"));
    }
    if (facts.isEmpty())
        return {};
    QString notice = facts.join(QStringLiteral("; ")) + u'.';
    if (m_late > 0 || m_untimed > 0) {
        notice += QStringLiteral(" Raise it: Session \u203A Reply Timeout\u2026");
        if (!m_numbered)
            notice += QStringLiteral(", or Session \u203A Number Invoke IDs");
        notice += u'.';
    }
    return notice;
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

void FormMain::showText(QLineEdit* box, const QString& text)
{
    // An unchanged text needs no repaint; replies often repeat fields.
    if (box->text() == text)
        return;
    box->setText(text);
    // Show the start of a long text (the data), as a fresh box would.
    box->setCursorPosition(0);
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
    m_engine->setRequestTexts({txtReqComId->text(), txtReqSrc->text(), txtReqInvokeId->text(),
                               txtReqCmnd->text(), txtReqDataType->text(), txtReqVarNo->text(),
                               txtReqData->text()});
}

void FormMain::ShowRequestHeader(const HeaderTexts& texts)
{
    echoInto(txtReqComId, texts.comId);
    echoInto(txtReqSrc, texts.src);
    echoInto(txtReqInvokeId, texts.invokeId);
    showText(txtReqLength, texts.length);
    showText(txtReqCheckSum, texts.checkSum);
}

void FormMain::echoInto(QLineEdit* box, const QString& text)
{
    // What is being typed goes out with a later frame, once it can.
    if (box->hasFocus() && m_editedSinceEcho.contains(box))
        return;
    m_editedSinceEcho.remove(box);
    showText(box, text);
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
    // Once its style sheet is cleared again, a box would take the
    // application's font instead of the form's: it holds the form's as its own.
    box->setFont(box->font());
    box->setStyleSheet(QStringLiteral("QLineEdit { border: 2px solid #C00000; }"));
    box->setToolTip(message);
    box->setAccessibleDescription(message);
}

void FormMain::ShowResponse(const ResponseTexts& texts)
{
    showText(txtResComId, texts.header.comId);
    showText(txtResSrc, texts.header.src);
    showText(txtResInvokeId, texts.header.invokeId);
    showText(txtResLength, texts.header.length);
    showText(txtResCheckSum, texts.header.checkSum);
    showText(txtResCmnd, texts.cmnd);
    showText(txtResDataType, texts.dataType);
    showText(txtResState, texts.state);
    showText(txtResCode, texts.code);
    showText(txtResData, texts.data);
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
        (m_engine->protocol() == ClientSocket::Protocol::Tcp ? optTCP : optUDP)->setChecked(true);
        m_revertingOption = false;
        reportRefusal(*refusal);
        return;
    }
    cmdConnect->setText(caption);
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
    const QString host = txtIpAdd->text();
    if (optTCP->isChecked()) {
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
    showSessionOpen();
}

void FormMain::tcpClient_Connect()
{
    showSessionOpen();
    SetMousePointer(MousePointer::Default);
}

void FormMain::showSessionOpen()
{
    txtIpAdd->setEnabled(false);
    optTCP->setEnabled(false);
    optUDP->setEnabled(false);
    cmdConnect->setEnabled(false);
    cmdSend->setEnabled(true);
    cmdCont->setEnabled(true);
}

void FormMain::cmdSend_Click()
{
    SendAndEcho();
}

void FormMain::cmdCont_Click()
{
    const bool on = !m_engine->ContinuousMode();
    // The controls first: switching on sends at once, and a request that
    // cannot go out switches it off again.
    showContinuousMode(on);
    m_engine->SetContinuousMode(on);
}

void FormMain::tcpClient_RequestSent(const SentRequest& request)
{
    // A frame kept while a text cannot be sent is not what the boxes say;
    // echoing it would undo the user's edits.
    if (request.keptFrame)
        return;
    ShowRequestHeader(m_texts->requestHeader(request));
}

void FormMain::tcpClient_DataArrival(const ArrivedReply& reply)
{
    if (reply.timed) {
        const ReplyTexts::Times& times = m_texts->times(reply);
        showText(txtResTime, times.elapsed);
        showText(txtMinTime, times.minTime);
        showText(txtMaxTime, times.maxTime);
    }
    ShowResponse(m_texts->response(reply));
    if (reply.complete && reply.sequence != 0 && (reply.late || !reply.timed)) {
        m_late += reply.late ? 1 : 0;
        m_untimed += reply.timed ? 0 : 1;
        showGivenUpCount();
    }
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
    const QString notice = timingNotice();
    if (notice != m_notice) {
        m_notice = notice;
        emit timingNoticeChanged(m_notice);
    }
}

bool FormMain::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == txtResTime && event->type() == QEvent::ToolTip) {
        showTimeToolTip();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void FormMain::showTimeToolTip()
{
    const QPoint boxTop = txtResTime->mapToGlobal(QPoint(0, 0));
    QToolTip::showText(boxTop, txtResTime->toolTip(), txtResTime);
    // Qt places a tip below the pointer and offers no other side: the tip is
    // moved up once shown, its bottom edge just above the box.
    for (QWidget* top : QApplication::topLevelWidgets()) {
        if (top->inherits("QTipLabel") && top->isVisible()) {
            // Its size as it is about to be drawn: it may still grow once polished.
            top->ensurePolished();
            top->adjustSize();
            top->move(boxTop.x(), boxTop.y() - top->height() - 2);
        }
    }
}

void FormMain::tcpClient_ContinuousModeChanged(bool on)
{
    showContinuousMode(on);
}

void FormMain::showContinuousMode(bool on)
{
    cmdCont->setText(on ? QStringLiteral("Stop") : QStringLiteral("Cont"));
    // One chain at a time: Send would start a second one beside it.
    cmdSend->setEnabled(!on);
}

void FormMain::tcpClient_SessionEnding(const SocketEnd& end)
{
    // A connection attempt that failed keeps the busy pointer while its
    // message is up; EndProgram clears it.
    if (end.reason == SocketEnd::Reason::Closed)
        ShowMessage(QStringLiteral("Close!"), QStringLiteral("WinSock Message"));
    else
        ShowMessage(end.description, QStringLiteral("Winsock Error"));
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
    if (m_engine->ContinuousMode()) {
        m_engine->SetContinuousMode(false);
        showContinuousMode(false);
    }
}

// --- The request as one value ------------------------------------------------

RequestSetup FormMain::requestSetup() const
{
    // While numbered, the box shows what went out; the typed ID is kept.
    return {{txtReqComId->text(), txtReqSrc->text(), m_numbered ? m_typedInvokeId : txtReqInvokeId->text(),
             txtReqCmnd->text(), txtReqDataType->text(), txtReqVarNo->text(), txtReqData->text()},
            txtIpAdd->text(),
            optUDP->isChecked() ? RequestProtocol::Udp : RequestProtocol::Tcp};
}

void FormMain::setRequestSetup(const RequestSetup& setup)
{
    const RequestTexts& texts = setup.texts;
    showText(txtReqComId, texts.comId);
    showText(txtReqSrc, texts.src);
    showText(txtReqInvokeId, texts.invokeId);
    if (m_numbered)
        m_typedInvokeId = texts.invokeId;
    showText(txtReqCmnd, texts.cmnd);
    showText(txtReqDataType, texts.dataType);
    showText(txtReqVarNo, texts.varNo);
    showText(txtReqData, texts.data);
    // A session is bound to its address and protocol; the locked controls
    // keep showing the session's.
    if (txtIpAdd->isEnabled())
        showText(txtIpAdd, setup.host);
    QRadioButton* option = setup.protocol == RequestProtocol::Udp ? optUDP : optTCP;
    // Selecting runs the option's handler, as a click does.
    if (option->isEnabled() && !option->isChecked())
        option->setChecked(true);
}

void FormMain::connectRequestEdited()
{
    for (QLineEdit* box : {txtReqComId, txtReqSrc, txtReqInvokeId, txtReqCmnd, txtReqDataType, txtReqVarNo,
                           txtReqData, txtIpAdd})
        connect(box, &QLineEdit::textChanged, this, &FormMain::requestEdited);
    // One of the two toggles on every change; the other would repeat it.
    connect(optUDP, &QRadioButton::toggled, this, &FormMain::requestEdited);
}
