// SPDX-License-Identifier: GPL-3.0-or-later
// Raw peers on a test's own loopback address, at the module's ports or at
// free ones: they record what the tool sends and answer only when the test
// tells them to. A TcpClient and a UdpPeer at port 0 stand in for the tool
// when a test talks to the simulator.
#pragma once

#include "codec/frame_layout.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>

// A TCP peer at <address>:<port> (2004 unless told; 0 picks a free one) that
// records every byte that arrives.
class TcpPeer {
public:
    explicit TcpPeer(const QString& address, quint16 port = frame::kTcpPort)
    {
        QVERIFY2(m_server.listen(QHostAddress(address), port), qPrintable(m_server.errorString()));
        QObject::connect(&m_server, &QTcpServer::newConnection, [this] {
            m_socket = m_server.nextPendingConnection();
            QObject::connect(m_socket, &QTcpSocket::readyRead, [this] { m_received += m_socket->readAll(); });
        });
    }
    QTcpSocket* socket() const { return m_socket; }
    bool isListening() const { return m_server.isListening(); }
    quint16 port() const { return m_server.serverPort(); }
    void send(const QByteArray& bytes)
    {
        m_socket->write(bytes);
        m_socket->flush();
    }
    QByteArray received() const { return m_received; }

private:
    QTcpServer m_server;
    QTcpSocket* m_socket = nullptr;
    QByteArray m_received;
};

// A UDP peer at <address>:<port> (2005 unless told; 0 picks a free one) that
// records datagrams and answers the sender of the last one.
class UdpPeer {
public:
    explicit UdpPeer(const QString& address, quint16 port = frame::kUdpPort)
    {
        QVERIFY2(m_socket.bind(QHostAddress(address), port), qPrintable(m_socket.errorString()));
        QObject::connect(&m_socket, &QUdpSocket::readyRead, [this] {
            while (m_socket.hasPendingDatagrams()) {
                QByteArray datagram(m_socket.pendingDatagramSize(), '\0');
                m_socket.readDatagram(datagram.data(), datagram.size(), &m_sender, &m_senderPort);
                m_datagrams.append(datagram);
            }
        });
    }
    const QList<QByteArray>& datagrams() const { return m_datagrams; }
    bool isBound() const { return m_socket.state() == QAbstractSocket::BoundState; }
    quint16 port() const { return m_socket.localPort(); }
    // The port the last datagram came from; 0 before the first.
    quint16 senderPort() const { return m_senderPort; }
    void reply(const QByteArray& bytes) { m_socket.writeDatagram(bytes, m_sender, m_senderPort); }
    void sendTo(const QByteArray& bytes, const QHostAddress& address, quint16 port)
    {
        m_socket.writeDatagram(bytes, address, port);
    }
    // For a test that wants to know when datagrams arrive: its own slot on
    // readyRead runs after the one that records them.
    QUdpSocket& socket() { return m_socket; }

private:
    QUdpSocket m_socket;
    QList<QByteArray> m_datagrams;
    QHostAddress m_sender;
    quint16 m_senderPort = 0;
};

// A TCP client of <address>:<port> that keeps every read as it came, so a
// test can tell how a reply was split as well as what it held.
class TcpClient {
public:
    TcpClient(const QHostAddress& address, quint16 port)
    {
        QObject::connect(&m_socket, &QTcpSocket::readyRead, [this] { m_reads.append(m_socket.readAll()); });
        m_socket.connectToHost(address, port);
    }
    TcpClient(const TcpClient&) = delete;
    TcpClient& operator=(const TcpClient&) = delete;

    // Waits until the connection is up; false when it does not come within
    // five seconds.
    bool connected()
    {
        return QTest::qWaitFor([this] { return m_socket.state() == QAbstractSocket::ConnectedState; }, 5000);
    }
    void write(const QByteArray& bytes)
    {
        m_socket.write(bytes);
        m_socket.flush();
    }
    QTcpSocket& socket() { return m_socket; }
    const QList<QByteArray>& reads() const { return m_reads; }
    QByteArray received() const { return m_reads.join(); }
    void clear() { m_reads.clear(); }

private:
    // Declared first so the socket, whose slot appends to it, goes first.
    QList<QByteArray> m_reads;
    QTcpSocket m_socket;
};
