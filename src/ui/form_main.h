// The tool's one window: request and response boxes, the session buttons,
// the socket, and the handlers that drive a test session with the module.
#pragma once

#include "codec/frame_display.h"
#include "codec/request_encoder.h"
#include "net/client_socket.h"
#include "session/response_stats.h"

#include <QByteArray>
#include <QString>
#include <QWidget>
#include <functional>

class QAbstractButton;
class QGroupBox;
class QLabel;
class QLineEdit;
class QRadioButton;
class QPushButton;

class FormMain : public QWidget {
    Q_OBJECT
public:
    explicit FormMain(QWidget* parent = nullptr);
    ~FormMain() override;

    // Window operations: the only way the session code touches the controls.
    enum class MousePointer { Default = 0, Hourglass = 11 };
    QString GetText(const QLineEdit* box) const;
    void SetText(QLineEdit* box, const QString& text);
    bool IsSelected(const QRadioButton* option) const;
    void SetSelected(QRadioButton* option);
    void SetEnabled(QWidget* control, bool enabled);
    void SetCaption(QAbstractButton* button, const QString& caption);
    void SetMousePointer(MousePointer pointer);
    MousePointer mousePointer() const { return m_pointer; }
    // Modal, critical icon, one OK button.
    void ShowMessage(const QString& prompt, const QString& title);
    // Ends the program at once; after it no handler does anything more.
    void EndProgram();
    bool programEnded() const { return m_ended; }
    // What EndProgram does besides stopping the handlers: quitting the
    // application by default, recording the call in tests.
    void setEndProgramAction(std::function<void()> action) { m_endProgramAction = std::move(action); }

    // True = -1 and False = 0: the flag is toggled by bitwise complement.
    static constexpr qint16 True = -1;
    static constexpr qint16 False = 0;
    qint16 ContinuousMode = False;

    // Values shared by the send and reply paths for the whole run.
    QByteArray SendBuffer;
    qint32 SendTick = 0;
    ResponseStats stats;

    ClientSocket* tcpClient = nullptr;

    // Controls, named after their objectName.
    QGroupBox *frmTCP, *frmReqHeader, *Frame2, *Frame3, *Frame1;
    QLineEdit* txtIpAdd;
    QRadioButton *optTCP, *optUDP;
    QLineEdit *txtReqComId, *txtReqSrc, *txtReqInvokeId, *txtReqLength, *txtReqCheckSum;
    QLineEdit *txtResComId, *txtResSrc, *txtResInvokeId, *txtResLength, *txtResCheckSum;
    QLineEdit *txtReqCmnd, *txtReqDataType, *txtReqVarNo, *txtReqData;
    QLineEdit *txtResCmnd, *txtResDataType, *txtResState, *txtResCode, *txtResData;
    QLineEdit *txtResTime, *txtMinTime, *txtMaxTime;
    QPushButton *cmdConnect, *cmdSend, *cmdCont, *cmdClose;

    // The one path by which a request is sent: build, send, echo the header.
    void SendAndEcho();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void buildControls();
    void applyTabOrder();
    void connectEvents();

    // Frame codec steps that move texts and bytes between boxes and socket.
    bool BuildAndSend();
    void ShowRequestHeader(const QByteArray& frame);
    void ShowResponse(const QByteArray& frame, qint32 bytesTotal);
    // A send that did not happen must not leave a chain silently waiting.
    void reportSendFailure(const QString& reason);
    void reportRefusal(const QString& reason);
    // Applies a protocol choice; keeps the socket's protocol on refusal.
    void chooseProtocol(ClientSocket::Protocol protocol, const QString& caption);

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
    void tcpClient_DataArrival(qint32 bytesTotal);
    void tcpClient_Close();
    void tcpClient_Error(int number, const QString& description);
    void tcpClient_SendComplete();

    // Socket events are ignored from the moment a message that ends the
    // program is up.
    bool acceptsSocketEvents() const { return !m_ending && !m_ended; }

    // A number shown in a box, with its text: the three times rarely change
    // from one reply to the next.
    struct ShownNumber {
        qint32 value = 0;
        QString text;
    };
    const QString& numberText(ShownNumber& shown, qint32 value);

    QByteArray m_received; // reused between arrivals to spare an allocation
    // Replies and requests in continuous mode repeat byte for byte; their
    // texts are built again only when the bytes they come from change. The
    // boxes are still written (and compared) on every reply.
    QByteArray m_responseBytes;
    ResponseTexts m_responseTexts;
    QByteArray m_headerBytes;
    HeaderTexts m_headerTexts;
    ShownNumber m_resTime, m_minTime, m_maxTime;
    // The texts SendBuffer was last encoded from, and a shallow copy of it:
    // the same texts over the same untouched buffer encode to the same bytes.
    RequestTexts m_encodedTexts;
    QByteArray m_encodedBuffer;
    MousePointer m_pointer = MousePointer::Default;
    bool m_ending = false;
    bool m_revertingOption = false;
    bool m_ended = false;
    std::function<void()> m_endProgramAction;
};
