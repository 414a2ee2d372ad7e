// SPDX-License-Identifier: GPL-3.0-or-later
// A TCP connection of the simulator on QTcpSocket, for every system.
#pragma once

#include "tcp_transport.h"

#include <functional>

class QTcpSocket;

// Arrival is when readyRead came, as Qt has no arrival stamps; each write is
// flushed at once, so that a reply does not wait for an event-loop pass and
// its pieces leave apart.
class QtTcpTransport : public TcpTransport {
    Q_OBJECT
public:
    // Called with the descriptor just before abort(), so that it resets the
    // connection rather than close it; none where the build cannot.
    using BeforeAbort = std::function<void(qintptr)>;

    QtTcpTransport(qintptr descriptor, BeforeAbort beforeAbort, QObject* parent = nullptr);

    QString peer() const override { return m_peer; }
    void write(const QByteArray& bytes) override;
    void closeWhenWritten() override;
    void resetWhenWritten() override;

private:
    void onReadyRead();
    void onBytesWritten();
    void onDisconnected();

    QTcpSocket* m_socket;
    BeforeAbort m_beforeAbort;
    QString m_peer;
    bool m_resetPending = false;
    // A close or reset was asked for, and the end has been reported.
    bool m_ending = false;
    bool m_over = false;
};
