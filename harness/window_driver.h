// SPDX-License-Identifier: GPL-3.0-or-later
// The real window for an end-to-end test or a measurement: EndProgram
// recorded instead of quitting, controls found by their objectName, clicks,
// and the boxes, controls and cursor read back as a user sees them.
#pragma once

#include "ui/form_main.h"

#include <QLineEdit>
#include <QList>
#include <QPushButton>
#include <QRadioButton>
#include <QStringList>

class SessionEngine;

struct WindowDriver {
    enum class Proto { Tcp, Udp };

    explicit WindowDriver(const QString& address);

    void click(QAbstractButton* button);
    // Connect (TCP) or Start (UDP); false when a TCP connection did not open.
    bool open(Proto proto);

    // The cursor a user sees over the window, or over any widget of the
    // application (a message box).
    Qt::CursorShape cursorOverWindow() const;
    Qt::CursorShape cursorOver(const QWidget* widget) const;
    // The box is drawn with a red frame.
    bool framedInRed(QWidget* box) const;
    QStringList responseBoxes() const;
    QStringList requestHeaderBoxes() const;
    // The seven boxes a request is built from.
    QList<QLineEdit*> requestBoxes() const;
    // The request boxes' texts, then Length and Check Sum.
    QStringList requestTexts() const;
    // Enabled state of txtIpAdd, optTCP, optUDP, cmdConnect, cmdSend, cmdCont, cmdClose.
    QList<bool> sessionControls() const;

    // Requests the window's session sent, reply arrivals it handled and
    // their bytes, counted from the engine's own events.
    struct Count {
        qsizetype n = 0;
        qsizetype size() const { return n; }
    };

    FormMain form;
    // The window's own session, for counting what it sends and receives.
    SessionEngine* engine;
    QLineEdit *txtIpAdd, *txtReqComId, *txtReqSrc, *txtReqInvokeId, *txtReqLength, *txtReqCheckSum;
    QLineEdit *txtReqCmnd, *txtReqDataType, *txtReqVarNo, *txtReqData;
    QLineEdit *txtResComId, *txtResSrc, *txtResInvokeId, *txtResLength, *txtResCheckSum;
    QLineEdit *txtResCmnd, *txtResDataType, *txtResState, *txtResCode, *txtResData;
    QLineEdit *txtResTime, *txtMinTime, *txtMaxTime;
    QRadioButton *optTCP, *optUDP;
    QPushButton *cmdConnect, *cmdSend, *cmdCont, *cmdClose;
    Count sends;
    Count arrivals;
    qint64 bytesArrived = 0;
    int ended = 0;
};
