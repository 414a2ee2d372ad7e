// SPDX-License-Identifier: GPL-3.0-or-later
// TCP listening for the module simulator.
#include "tcp_server.h"

#include "sim_network.h"
#include "tcp_connection.h"

TcpServer::TcpServer(const SimOptions& options, QObject* parent)
    : QTcpServer(parent)
    , m_options(options)
{
}

bool TcpServer::listen(QString* error)
{
    if (QTcpServer::listen(m_options.host, m_options.tcpPort))
        return true;
    *error = QString("cannot listen on TCP %1 port %2: %3")
                 .arg(m_options.host.toString())
                 .arg(m_options.tcpPort)
                 .arg(errorString());
    return false;
}

void TcpServer::incomingConnection(qintptr descriptor)
{
    // The UDP side draws stream 0.
    new TcpConnection(makeTcpTransport(descriptor), m_options, ++m_connections, this);
}
