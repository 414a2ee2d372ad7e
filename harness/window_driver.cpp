// SPDX-License-Identifier: GPL-3.0-or-later
// Drives the window by clicks and reads it back by objectName.
#include "harness/window_driver.h"

#include "session/session_engine.h"

#include <QApplication>
#include <QImage>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

namespace {

template <typename T> T* control(FormMain& form, const char* name)
{
    T* found = form.findChild<T*>(QString::fromLatin1(name));
    Q_ASSERT_X(found, "WindowDriver", name);
    return found;
}

} // namespace

WindowDriver::WindowDriver(const QString& address)
    : engine(form.findChild<SessionEngine*>())
    , txtIpAdd(control<QLineEdit>(form, "txtIpAdd"))
    , txtReqComId(control<QLineEdit>(form, "txtReqComId"))
    , txtReqSrc(control<QLineEdit>(form, "txtReqSrc"))
    , txtReqInvokeId(control<QLineEdit>(form, "txtReqInvokeId"))
    , txtReqLength(control<QLineEdit>(form, "txtReqLength"))
    , txtReqCheckSum(control<QLineEdit>(form, "txtReqCheckSum"))
    , txtReqCmnd(control<QLineEdit>(form, "txtReqCmnd"))
    , txtReqDataType(control<QLineEdit>(form, "txtReqDataType"))
    , txtReqVarNo(control<QLineEdit>(form, "txtReqVarNo"))
    , txtReqData(control<QLineEdit>(form, "txtReqData"))
    , txtResComId(control<QLineEdit>(form, "txtResComId"))
    , txtResSrc(control<QLineEdit>(form, "txtResSrc"))
    , txtResInvokeId(control<QLineEdit>(form, "txtResInvokeId"))
    , txtResLength(control<QLineEdit>(form, "txtResLength"))
    , txtResCheckSum(control<QLineEdit>(form, "txtResCheckSum"))
    , txtResCmnd(control<QLineEdit>(form, "txtResCmnd"))
    , txtResDataType(control<QLineEdit>(form, "txtResDataType"))
    , txtResState(control<QLineEdit>(form, "txtResState"))
    , txtResCode(control<QLineEdit>(form, "txtResCode"))
    , txtResData(control<QLineEdit>(form, "txtResData"))
    , txtResTime(control<QLineEdit>(form, "txtResTime"))
    , txtMinTime(control<QLineEdit>(form, "txtMinTime"))
    , txtMaxTime(control<QLineEdit>(form, "txtMaxTime"))
    , optTCP(control<QRadioButton>(form, "optTCP"))
    , optUDP(control<QRadioButton>(form, "optUDP"))
    , cmdConnect(control<QPushButton>(form, "cmdConnect"))
    , cmdSend(control<QPushButton>(form, "cmdSend"))
    , cmdCont(control<QPushButton>(form, "cmdCont"))
    , cmdClose(control<QPushButton>(form, "cmdClose"))
{
    Q_ASSERT(engine);
    QObject::connect(engine, &SessionEngine::requestSent, &form, [this] { ++sends.n; });
    QObject::connect(engine, &SessionEngine::replyArrived, &form, [this](const ArrivedReply& reply) {
        ++arrivals.n;
        bytesArrived += reply.arrivalBytes;
    });
    form.setEndProgramAction([this] { ++ended; });
    txtIpAdd->setText(address);
    form.show();
}

void WindowDriver::click(QAbstractButton* button)
{
    QTest::mouseClick(button, Qt::LeftButton);
}

bool WindowDriver::open(Proto proto)
{
    if (proto == Proto::Udp) {
        click(optUDP);
        click(cmdConnect);
        return cmdSend->isEnabled();
    }
    click(cmdConnect);
    return QTest::qWaitFor([this] { return cmdSend->isEnabled() || ended > 0; }, 5000) && ended == 0;
}

Qt::CursorShape WindowDriver::cursorOverWindow() const
{
    return cursorOver(&form);
}

Qt::CursorShape WindowDriver::cursorOver(const QWidget* widget) const
{
    if (const QCursor* override = QApplication::overrideCursor())
        return override->shape();
    return widget->cursor().shape();
}

bool WindowDriver::framedInRed(QWidget* box) const
{
    const QImage shot = box->grab().toImage();
    // Red pixels all along the left edge, where a box's frame runs.
    int red = 0;
    for (int y = 0; y < shot.height(); ++y) {
        const QColor c = shot.pixelColor(1, y);
        if (c.red() > 150 && c.green() < 80 && c.blue() < 80)
            ++red;
    }
    return red > shot.height() / 2;
}

QStringList WindowDriver::responseBoxes() const
{
    QStringList texts;
    for (const QLineEdit* box : {txtResComId, txtResSrc, txtResInvokeId, txtResLength, txtResCheckSum,
                                 txtResCmnd, txtResDataType, txtResState, txtResCode, txtResData})
        texts << box->text();
    return texts;
}

QStringList WindowDriver::requestHeaderBoxes() const
{
    return {txtReqComId->text(), txtReqSrc->text(), txtReqInvokeId->text(), txtReqLength->text(),
            txtReqCheckSum->text()};
}

QList<QLineEdit*> WindowDriver::requestBoxes() const
{
    return {txtReqComId, txtReqSrc, txtReqInvokeId, txtReqCmnd, txtReqDataType, txtReqVarNo, txtReqData};
}

QStringList WindowDriver::requestTexts() const
{
    QStringList texts;
    for (const QLineEdit* box : requestBoxes())
        texts << box->text();
    texts << txtReqLength->text() << txtReqCheckSum->text();
    return texts;
}

QList<bool> WindowDriver::sessionControls() const
{
    QList<bool> states;
    for (const QWidget* w : std::initializer_list<const QWidget*>{txtIpAdd, optTCP, optUDP, cmdConnect,
                                                                  cmdSend, cmdCont, cmdClose})
        states << w->isEnabled();
    return states;
}
