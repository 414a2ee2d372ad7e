// The real window for an end-to-end test: EndProgram recorded instead of
// quitting, clicks, and the boxes and controls read back as lists.
#pragma once

#include "ui/form_main.h"

#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTest>

struct WindowDriver {
    enum class Proto { Tcp, Udp };

    explicit WindowDriver(const QString& address)
        : sends(form.tcpClient, &ClientSocket::sendComplete)
        , arrivals(form.tcpClient, &ClientSocket::dataArrival)
    {
        form.setEndProgramAction([this] { ++ended; });
        form.txtIpAdd->setText(address);
        form.show();
    }

    void click(QAbstractButton* button) { QTest::mouseClick(button, Qt::LeftButton); }

    // Connect (TCP) or Start (UDP); false when a TCP connection did not open.
    bool open(Proto proto)
    {
        if (proto == Proto::Udp) {
            click(form.optUDP);
            click(form.cmdConnect);
            return form.cmdSend->isEnabled();
        }
        click(form.cmdConnect);
        return QTest::qWaitFor([this] { return form.cmdSend->isEnabled(); }, 5000);
    }

    qint64 bytesArrived() const
    {
        qint64 total = 0;
        for (const QList<QVariant>& arrival : arrivals)
            total += arrival.at(0).toInt();
        return total;
    }

    QStringList responseBoxes() const
    {
        QStringList texts;
        for (const QLineEdit* box :
             {form.txtResComId, form.txtResSrc, form.txtResInvokeId, form.txtResLength, form.txtResCheckSum,
              form.txtResCmnd, form.txtResDataType, form.txtResState, form.txtResCode, form.txtResData})
            texts << box->text();
        return texts;
    }

    QStringList requestHeaderBoxes() const
    {
        return {form.txtReqComId->text(), form.txtReqSrc->text(), form.txtReqInvokeId->text(),
                form.txtReqLength->text(), form.txtReqCheckSum->text()};
    }

    // The seven boxes a request is built from.
    QList<QLineEdit*> requestBoxes() const
    {
        return {form.txtReqComId,    form.txtReqSrc,   form.txtReqInvokeId, form.txtReqCmnd,
                form.txtReqDataType, form.txtReqVarNo, form.txtReqData};
    }

    // The request boxes' texts, then Length and Check Sum.
    QStringList requestTexts() const
    {
        QStringList texts;
        for (const QLineEdit* box : requestBoxes())
            texts << box->text();
        texts << form.txtReqLength->text() << form.txtReqCheckSum->text();
        return texts;
    }

    // Enabled state of txtIpAdd, optTCP, optUDP, cmdConnect, cmdSend, cmdCont, cmdClose.
    QList<bool> sessionControls() const
    {
        QList<bool> states;
        for (const QWidget* w :
             std::initializer_list<const QWidget*>{form.txtIpAdd, form.optTCP, form.optUDP, form.cmdConnect,
                                                   form.cmdSend, form.cmdCont, form.cmdClose})
            states << w->isEnabled();
        return states;
    }

    FormMain form;
    QSignalSpy sends;
    QSignalSpy arrivals;
    int ended = 0;
};
