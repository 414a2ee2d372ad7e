// SPDX-License-Identifier: GPL-3.0-or-later
// The tool's one window: request and response boxes and the session buttons,
// whose handlers read and write the controls and drive a session engine.
#pragma once

#include <QSet>
#include <QWidget>
#include <functional>
#include <memory>

class QAbstractButton;
class QGroupBox;
class QLineEdit;
class QPushButton;
class QRadioButton;
class ReplyTexts;
class SessionEngine;
struct ArrivedReply;
struct SocketEnd;
struct GivenUpRequest;
struct HeaderTexts;
struct ResponseTexts;
struct SentRequest;
enum class RequestField;
struct RequestSetup;

class FormMain final : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FormMain)
public:
    explicit FormMain(QWidget* parent = nullptr);
    ~FormMain() override;

    // What EndProgram does besides stopping the handlers: quitting the
    // application by default; a test or a benchmark records the call instead.
    void setEndProgramAction(std::function<void()> action) { m_endProgramAction = std::move(action); }

    // How long a request waits for its reply before it is given up; for
    // requests sent from now on.
    void setReplyTimeoutMs(int ms);
    int replyTimeoutMs() const;

    // Each request carries its own invoke ID, numbered from the session's
    // first, instead of the typed one: late replies are then told apart
    // exactly. Switched off, the box gets back the ID typed before.
    void setNumberedInvokeIds(bool numbered);
    bool numberedInvokeIds() const { return m_numbered; }

    // A line on what the times leave out: requests given up, replies that
    // came late, replies that could not be timed, and what to do about it;
    // empty while every reply was timed in time.
    QString timingNotice() const;

    // The form's session, for what follows it beside the boxes (the
    // exchange log); the form alone drives it.
    SessionEngine* sessionEngine() const { return m_engine; }

signals:
    void timingNoticeChanged(const QString& notice);

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    enum class MousePointer { Default = 0, Hourglass = 11 };

    void findControls();
    void connectEvents();

    // Replaces a box's text, unless it is the same, and shows its start.
    void showText(QLineEdit* box, const QString& text);
    void SetMousePointer(MousePointer pointer);
    // Modal, critical icon, one OK button.
    void ShowMessage(const QString& prompt, const QString& title);
    // Ends the program at once; after it no handler does anything more.
    void EndProgram();

    // The one path by which a request is sent: build, send, echo the header.
    void SendAndEcho();
    // The request boxes' texts go to the engine whenever one changes, so the
    // next request (continuous mode sends without a click) is built from them.
    void passRequestTexts();
    void ShowRequestHeader(const HeaderTexts& texts);
    // The echo leaves a box alone while the user is editing it: it has the
    // focus and was typed into since the last echo.
    void echoInto(QLineEdit* box, const QString& text);
    QLineEdit* requestBox(RequestField field) const;
    // A red frame, with the message as tooltip and accessible description,
    // on the one box whose text cannot be sent; none for nullptr.
    void markWrongText(QLineEdit* box, const QString& message);
    void ShowResponse(const ResponseTexts& texts);
    void reportRefusal(const QString& reason);
    // Applies a protocol choice; keeps the engine's protocol on refusal.
    void chooseProtocol(bool tcp, const QString& caption);
    // The Cont/Stop caption and the Send button for continuous mode on or off.
    void showContinuousMode(bool on);
    // The address and protocol are the session's now; requests can be sent.
    void showSessionOpen();

    // Handlers.
    void Form_Load();
    void Form_Unload();
    void optTCP_Click();
    void optUDP_Click();
    void cmdConnect_Click();
    void cmdSend_Click();
    void cmdCont_Click();
    void cmdClose_Click();
    void tcpClient_Connect();
    void tcpClient_RequestSent(const SentRequest& request);
    void tcpClient_DataArrival(const ArrivedReply& reply);
    void tcpClient_RequestGivenUp(const GivenUpRequest& request);
    // How many requests went without a reply, on the Response Time box's
    // tooltip and accessible description: told without moving any control.
    void showGivenUpCount();
    // The Response Time box's tooltip, opened above the box: below it, it
    // would cover the buttons that the next click is aimed at.
    void showTimeToolTip();
    void tcpClient_ContinuousModeChanged(bool on);
    void tcpClient_SessionEnding(const SocketEnd& end);
    void tcpClient_RequestTextWrong(RequestField field, const QString& message);
    void tcpClient_RequestTextsGood();

    SessionEngine* m_engine = nullptr;
    // The texts of what the engine sent and received, for the boxes.
    std::unique_ptr<ReplyTexts> m_texts;

    // Controls, named after their objectName.
    QLineEdit* txtIpAdd = nullptr;
    QRadioButton *optTCP = nullptr, *optUDP = nullptr;
    QLineEdit *txtReqComId = nullptr, *txtReqSrc = nullptr, *txtReqInvokeId = nullptr;
    QLineEdit *txtReqLength = nullptr, *txtReqCheckSum = nullptr;
    QLineEdit *txtResComId = nullptr, *txtResSrc = nullptr, *txtResInvokeId = nullptr;
    QLineEdit *txtResLength = nullptr, *txtResCheckSum = nullptr;
    QLineEdit *txtReqCmnd = nullptr, *txtReqDataType = nullptr, *txtReqVarNo = nullptr, *txtReqData = nullptr;
    QLineEdit *txtResCmnd = nullptr, *txtResDataType = nullptr, *txtResState = nullptr;
    QLineEdit *txtResCode = nullptr, *txtResData = nullptr;
    QLineEdit *txtResTime = nullptr, *txtMinTime = nullptr, *txtMaxTime = nullptr;
    QPushButton *cmdConnect = nullptr, *cmdSend = nullptr, *cmdCont = nullptr, *cmdClose = nullptr;

    MousePointer m_pointer = MousePointer::Default;
    QSet<const QLineEdit*> m_editedSinceEcho;
    QLineEdit* m_wrongBox = nullptr;
    quint64 m_givenUp = 0;
    quint64 m_late = 0; // replies to requests already given up
    quint64 m_untimed = 0; // replies another request could have drawn
    QString m_notice;
    bool m_numbered = false;
    QString m_typedInvokeId; // while numbered: the box's text before
    bool m_revertingOption = false;
    std::function<void()> m_endProgramAction;

    // --- The request as one value, for request files and remembered texts.
public:
    // The seven request texts, the address and the protocol, as shown.
    RequestSetup requestSetup() const;
    // Sets the seven texts as typing them would (the engine takes them at
    // once, also in continuous mode); the address and the protocol only while
    // their controls are enabled, that is while no session holds them.
    void setRequestSetup(const RequestSetup& setup);

signals:
    // One of the seven texts, the address or the protocol changed, typed or set.
    void requestEdited();

private:
    void connectRequestEdited();
};
