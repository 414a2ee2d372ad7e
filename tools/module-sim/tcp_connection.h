// SPDX-License-Identifier: GPL-3.0-or-later
// One TCP client of the simulator: frames its requests, answers each one and
// applies the connection-level faults (close, reset, unsolicited frame).
#pragma once

#include "paced_sender.h"
#include "reply_shaper.h"
#include "request_framer.h"
#include "sim_options.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <chrono>

class QSocketNotifier;

class TcpConnection : public QObject {
    Q_OBJECT
public:
    // Takes ownership of the accepted descriptor; deletes itself when the
    // peer goes away. A plain descriptor, so that a request costs one
    // receive and one send: Qt's socket asks the size first, and its writes
    // wake the event loop twice more. `number` counts the server's
    // connections from 1; each draws its own random faults.
    TcpConnection(int descriptor, const SimOptions& options, quint64 number, QObject* parent = nullptr);
    ~TcpConnection() override;
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

private:
    void onReadable();
    void onWritable();
    void answer(const QByteArray& request, std::chrono::steady_clock::time_point arrived);
    void write(const QByteArray& bytes);
    void writePiece(const QByteArray& piece, bool lastOfReply);
    void replySent();
    void closeWhenWritten();
    void resetNow();
    void finish();

    int m_fd;
    SimOptions m_options;
    QString m_peer;
    QSocketNotifier* m_readable = nullptr;
    QSocketNotifier* m_writable = nullptr;
    QByteArray m_buffer;
    // What the system has not taken yet, sent when it can.
    QByteArray m_unsent;
    RequestFramer m_framer;
    ReplyShaper m_shaper;
    PacedSender m_sender;
    QTimer m_headerWaitTimer;
    int m_repliesSent = 0;
    bool m_finished = false;
    bool m_closePending = false;
    bool m_resetPending = false;
};
