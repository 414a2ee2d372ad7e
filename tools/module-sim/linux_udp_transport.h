// SPDX-License-Identifier: GPL-3.0-or-later
// The simulator's UDP socket as a plain Linux descriptor.
#pragma once

#include "udp_transport.h"

class QSocketNotifier;

// A plain socket: a request costs one receive and one send, where QUdpSocket
// asks first whether a datagram waits and how big it is. Receives carry the
// kernel's arrival stamps.
class LinuxUdpTransport : public UdpTransport {
    Q_OBJECT
public:
    explicit LinuxUdpTransport(QObject* parent = nullptr);
    ~LinuxUdpTransport() override;
    LinuxUdpTransport(const LinuxUdpTransport&) = delete;
    LinuxUdpTransport& operator=(const LinuxUdpTransport&) = delete;

    bool bind(const QHostAddress& host, quint16 port, QString* error) override;
    quint16 port() const override { return m_port; }
    std::optional<QString> sendTo(const QByteArray& datagram, const UdpEndpoint& to) override;

private:
    void onReadable();

    // The largest payload a UDP datagram can carry.
    static constexpr qsizetype kLargestDatagram = 65507;

    int m_fd = -1;
    quint16 m_port = 0;
    QSocketNotifier* m_readable = nullptr;
    QByteArray m_buffer;
};
