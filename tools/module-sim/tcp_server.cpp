// SPDX-License-Identifier: GPL-3.0-or-later
// TCP listening for the module simulator.
#include "tcp_server.h"

#include "tcp_connection.h"

#include <QTcpSocket>

TcpServer::TcpServer(const SimOptions& options, QObject* parent)
    : QObject(parent)
    , m_options(options)
{
    connect(&m_server, &QTcpServer::newConnection, this, &TcpServer::acceptPending);
}

bool TcpServer::listen(QString* error)
{
    if (m_server.listen(m_options.host, m_options.tcpPort))
        return true;
    *error = QString("cannot listen on TCP %1 port %2: %3")
                 .arg(m_options.host.toString())
                 .arg(m_options.tcpPort)
                 .arg(m_server.errorString());
    return false;
}

void TcpServer::acceptPending()
{
    while (QTcpSocket* socket = m_server.nextPendingConnection())
        new TcpConnection(socket, m_options, this);
}
