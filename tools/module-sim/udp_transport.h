// SPDX-License-Identifier: GPL-3.0-or-later
// How the simulator's UDP side moves datagrams: the few operations a network
// layer provides, so that the request handling above is written once.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include <chrono>
#include <optional>

// Where a datagram came from, and so where its reply goes.
struct UdpEndpoint {
    QHostAddress address;
    quint16 port = 0;
};

class UdpTransport : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // Binds `host`:`port` without sharing the port with another socket;
    // false with the system's reason in *error when it cannot.
    virtual bool bind(const QHostAddress& host, quint16 port, QString* error) = 0;
    // The port bound: a port of 0 asked for is the one picked.
    virtual quint16 port() const = 0;
    // One datagram to `to`; the system's reason when it was not sent.
    virtual std::optional<QString> sendTo(const QByteArray& datagram, const UdpEndpoint& to) = 0;

signals:
    // One datagram, its sender, and when it reached this machine (or, where
    // the layer cannot tell, when it was read).
    void received(const QByteArray& datagram, const UdpEndpoint& sender,
                  std::chrono::steady_clock::time_point arrived);
};
