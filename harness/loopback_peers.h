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

// What a peer does with what it receives besides recording it.
enum class PeerReply { None, Echo };

// A TCP peer at <address>:<port> (2004 unless told; 0 picks a free one) that
// records every byte that arrives on any of its connections, and echoes
// them when asked to.
class TcpPeer {
public:
    explicit TcpPeer(const QString& address, quint16 port = frame::kTcpPort,
                     PeerReply reply = PeerReply::None)
    {
        QVERIFY2(m_server.listen(QHostAddress(address), port), qPrintable(m_server.errorString()));
        QObject::connect(&m_server, &QTcpServer::newConnection, [this, reply] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                m_socket = socket;
                ++m_connections;
                QObject::connect(socket, &QTcpSocket::readyRead, [this, socket, reply] {
                    const QByteArray bytes = socket->readAll();
                    m_received += bytes;
                    if (reply == PeerReply::Echo)
                        socket->write(bytes);
                });
            }
        });
    }
    // The latest connection; null before the first.
    QTcpSocket* socket() const { return m_socket; }
    int connectionCount() const { return m_connections; }
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
    int m_connections = 0;
    QByteArray m_received;
};

// A UDP peer at <address>:<port> (2005 unless told; 0 picks a free one) that
// records datagrams and answers the sender of the last one, or echoes each
// when asked to.
class UdpPeer {
public:
    explicit UdpPeer(const QString& address, quint16 port = frame::kUdpPort,
                     PeerReply reply = PeerReply::None)
    {
        QVERIFY2(m_socket.bind(QHostAddress(address), port), qPrintable(m_socket.errorString()));
        QObject::connect(&m_socket, &QUdpSocket::readyRead, [this, reply] {
            while (m_socket.hasPendingDatagrams()) {
                QByteArray datagram(m_socket.pendingDatagramSize(), '\0');
                m_socket.readDatagram(datagram.data(), datagram.size(), &m_sender, &m_senderPort);
                m_datagrams.append(datagram);
                if (reply == PeerReply::Echo)
                    this->reply(datagram);
            }
        });
    }
    const QList<QByteArray>& datagrams() const { return m_datagrams; }
    bool isBound() const { return m_socket.state() == QAbstractSocket::BoundState; }
    quint16 port() const { return m_socket.localPort(); }
    // Where the last datagram came from; a null address and 0 before the
    // first.
    QHostAddress sender() const { return m_sender; }
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
