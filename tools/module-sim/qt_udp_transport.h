// SPDX-License-Identifier: GPL-3.0-or-later
// The simulator's UDP socket on QUdpSocket, for every system.
#pragma once

#include "udp_transport.h"

class QUdpSocket;

// Arrival is when readyRead came, as Qt has no arrival stamps.
class QtUdpTransport : public UdpTransport {
    Q_OBJECT
public:
    explicit QtUdpTransport(QObject* parent = nullptr);

    bool bind(const QHostAddress& host, quint16 port, QString* error) override;
    quint16 port() const override;
    std::optional<QString> sendTo(const QByteArray& datagram, const UdpEndpoint& to) override;

private:
    void onReadyRead();

    QUdpSocket* m_socket;
};
