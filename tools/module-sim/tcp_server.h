// SPDX-License-Identifier: GPL-3.0-or-later
// The simulator's TCP listener: hands every accepted client to its own
// TcpConnection, so any number of clients are served at once.
#pragma once

#include "sim_options.h"

#include <QObject>
#include <QTcpServer>

// Qt listens and accepts on every network layer; each accepted descriptor
// goes to the layer's transport as it is, and that to a TcpConnection.
class TcpServer : public QTcpServer {
    Q_OBJECT
public:
    explicit TcpServer(const SimOptions& options, QObject* parent = nullptr);

    // False with *error set when the address or port cannot be bound.
    bool listen(QString* error);
    // Where it listens once bound: a port of 0 asked for is the one picked.
    QHostAddress address() const { return serverAddress(); }
    quint16 port() const { return serverPort(); }

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    SimOptions m_options;
    quint64 m_connections = 0;
};
