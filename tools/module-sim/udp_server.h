// SPDX-License-Identifier: GPL-3.0-or-later
// The simulator's UDP side: every datagram is one request, answered to its
// sender with the same reply faults as TCP.
#pragma once

#include "paced_sender.h"
#include "reply_shaper.h"
#include "sim_options.h"

#include <QByteArray>
#include <QObject>

#include <chrono>
#include <sys/socket.h>

class QSocketNotifier;

class UdpServer : public QObject {
    Q_OBJECT
public:
    explicit UdpServer(const SimOptions& options, QObject* parent = nullptr);
    ~UdpServer() override;
    UdpServer(const UdpServer&) = delete;
    UdpServer& operator=(const UdpServer&) = delete;

    // False with *error set when the address or port cannot be bound.
    bool listen(QString* error);
    // The port bound: a port of 0 asked for is the one picked.
    quint16 port() const { return m_port; }

private:
    void onReadable();
    void answer(const QByteArray& request, const sockaddr_storage& sender, socklen_t senderLength,
                std::chrono::steady_clock::time_point arrived);

    // The largest payload a UDP datagram can carry.
    static constexpr qsizetype kLargestDatagram = 65507;

    SimOptions m_options;
    // A plain socket: a request costs one receive and one send, where
    // QUdpSocket asks first whether a datagram waits and how big it is.
    int m_fd = -1;
    quint16 m_port = 0;
    QSocketNotifier* m_readable = nullptr;
    QByteArray m_buffer;
    ReplyShaper m_shaper;
    PacedSender m_sender;
};
