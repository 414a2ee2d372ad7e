// SPDX-License-Identifier: GPL-3.0-or-later
// One TCP client of the simulator: frames its requests, answers each one and
// applies the connection-level faults (close, reset, unsolicited frame).
#pragma once

#include "paced_sender.h"
#include "reply_shaper.h"
#include "request_framer.h"
#include "sim_options.h"

#include <QObject>
#include <QTimer>

class QTcpSocket;

class TcpConnection : public QObject {
    Q_OBJECT
public:
    // Takes ownership of the socket; deletes itself when the peer goes away.
    TcpConnection(QTcpSocket* socket, const SimOptions& options, QObject* parent = nullptr);

private:
    void onReadyRead();
    void onBytesWritten();
    void answer(const QByteArray& request);
    void writePiece(const QByteArray& piece, bool lastOfReply);
    void replySent();
    void resetNow();
    void finish();

    QTcpSocket* m_socket;
    SimOptions m_options;
    QString m_peer;
    RequestFramer m_framer;
    ReplyShaper m_shaper;
    PacedSender m_sender;
    QTimer m_headerWaitTimer;
    int m_repliesSent = 0;
    bool m_finished = false;
    bool m_resetPending = false;
};
