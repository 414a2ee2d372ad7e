// SPDX-License-Identifier: GPL-3.0-or-later
// One TCP client of the simulator: frames its requests, answers each one and
// applies the connection-level faults (close, reset, unsolicited frame).
#pragma once

#include "paced_sender.h"
#include "reply_shaper.h"
#include "request_framer.h"
#include "sim_options.h"
#include "tcp_transport.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <chrono>

class TcpConnection : public QObject {
    Q_OBJECT
public:
    // Takes `transport`, the accepted connection; deletes itself when the
    // peer goes away or the connection is ended. `number` counts the
    // server's connections from 1; each draws its own random faults.
    TcpConnection(TcpTransport* transport, const SimOptions& options, quint64 number,
                  QObject* parent = nullptr);

private:
    void onReceived(const QByteArray& bytes, std::chrono::steady_clock::time_point arrived);
    void answer(const QByteArray& request, std::chrono::steady_clock::time_point arrived);
    void writePiece(const QByteArray& piece, bool lastOfReply);
    void replySent();
    void stopAnswering();
    void finish();

    TcpTransport* m_transport;
    SimOptions m_options;
    QString m_peer;
    RequestFramer m_framer;
    ReplyShaper m_shaper;
    PacedSender m_sender;
    QTimer m_headerWaitTimer;
    int m_repliesSent = 0;
    bool m_finished = false;
};
