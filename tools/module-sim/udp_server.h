// SPDX-License-Identifier: GPL-3.0-or-later
// The simulator's UDP side: every datagram is one request, answered to its
// sender with the same reply faults as TCP.
#pragma once

#include "paced_sender.h"
#include "reply_shaper.h"
#include "sim_options.h"

#include <QObject>
#include <QUdpSocket>

class UdpServer : public QObject {
    Q_OBJECT
public:
    explicit UdpServer(const SimOptions& options, QObject* parent = nullptr);

    // False with *error set when the address or port cannot be bound.
    bool listen(QString* error);
    // The port bound: a port of 0 asked for is the one picked.
    quint16 port() const { return m_socket.localPort(); }

private:
    void onReadyRead();
    void answer(const QByteArray& request, const QHostAddress& sender, quint16 senderPort);

    // The largest payload a UDP datagram can carry.
    static constexpr qint64 kLargestDatagram = 65507;

    SimOptions m_options;
    QUdpSocket m_socket;
    QByteArray m_buffer;
    ReplyShaper m_shaper;
    PacedSender m_sender;
};
