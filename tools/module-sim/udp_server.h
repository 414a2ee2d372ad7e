// SPDX-License-Identifier: GPL-3.0-or-later
// The simulator's UDP side: every datagram is one request, answered to its
// sender with the same reply faults as TCP.
#pragma once

#include "paced_sender.h"
#include "reply_shaper.h"
#include "sim_options.h"
#include "udp_transport.h"

#include <QByteArray>
#include <QObject>

#include <chrono>

class UdpServer : public QObject {
    Q_OBJECT
public:
    // Answers over `transport`, which it takes.
    UdpServer(const SimOptions& options, UdpTransport* transport, QObject* parent = nullptr);

    // False with *error set when the address or port cannot be bound.
    bool listen(QString* error);
    // The port bound: a port of 0 asked for is the one picked.
    quint16 port() const { return m_transport->port(); }

private:
    void answer(const QByteArray& request, const UdpEndpoint& sender,
                std::chrono::steady_clock::time_point arrived);

    SimOptions m_options;
    UdpTransport* m_transport;
    ReplyShaper m_shaper;
    PacedSender m_sender;
};
