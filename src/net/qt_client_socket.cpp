// SPDX-License-Identifier: GPL-3.0-or-later
// The client socket on Qt's sockets: TCP connections and UDP datagrams.
#include "net/qt_client_socket.h"

#include "net/socket_refusals.h"

#include <QAbstractSocket>
#include <QMetaObject>
#include <QNetworkDatagram>
#include <QTcpSocket>
#include <QUdpSocket>

#include <utility>

namespace {

SocketEnd endOf(const QAbstractSocket& socket)
{
    return {socket.error() == QAbstractSocket::ConnectionRefusedError ? SocketEnd::Reason::Refused
                                                                      : SocketEnd::Reason::Failed,
            socket.errorString()};
}

} // namespace

QtClientSocket::QtClientSocket(QObject* parent)
    : ClientSocket(parent)
    , m_tcp(new QTcpSocket(this))
    , m_udp(new QUdpSocket(this))
    , m_destination(this, [this](const UdpDestination::Held& held) { onHeldDone(held); })
{
    connect(m_tcp, &QTcpSocket::connected, this, [this] {
        if (m_closing)
            return;
        // Frames are small and a reply is awaited after each; Nagle would
        // hold them back.
        m_tcp->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        emit connected();
    });
    connect(m_tcp, &QTcpSocket::readyRead, this, &QtClientSocket::onTcpReadyRead);
    connect(m_tcp, &QTcpSocket::disconnected, this, &QtClientSocket::onTcpDisconnected);
    connect(m_tcp, &QTcpSocket::errorOccurred, this, &QtClientSocket::onTcpError);
    connect(m_udp, &QUdpSocket::readyRead, this, &QtClientSocket::onUdpReadyRead);
    connect(m_udp, &QUdpSocket::errorOccurred, this, &QtClientSocket::onUdpError);
}

QtClientSocket::~QtClientSocket()
{
    // The sockets are destroyed after this body; they must not call back
    // into a half-destroyed object while they abort.
    disconnect(m_tcp, nullptr, this, nullptr);
    disconnect(m_udp, nullptr, this, nullptr);
    Close();
}

SocketRefusal QtClientSocket::SetProtocol(Protocol protocol)
{
    if (protocol == m_protocol)
        return std::nullopt;
    if (m_tcp->state() != QAbstractSocket::UnconnectedState
        || m_udp->state() != QAbstractSocket::UnconnectedState || m_destination.holds())
        return socket_refusal::closeFirst();
    m_protocol = protocol;
    return std::nullopt;
}

void QtClientSocket::SetRemoteHost(const QString& host)
{
    m_remoteHost = host;
    m_destination.setHost(host);
    if (m_protocol == Protocol::Udp && !host.isEmpty())
        m_destination.resolve();
}

SocketRefusal QtClientSocket::Connect()
{
    if (m_protocol != Protocol::Tcp)
        return socket_refusal::udpNoConnect();
    switch (m_tcp->state()) {
    case QAbstractSocket::UnconnectedState:
        break;
    case QAbstractSocket::HostLookupState:
    case QAbstractSocket::ConnectingState:
        return socket_refusal::connecting();
    default:
        return socket_refusal::alreadyConnected();
    }
    if (m_remoteHost.isEmpty())
        return socket_refusal::noHost();
    m_tcpEndReported = false;
    m_tcp->connectToHost(hostForLookup(m_remoteHost), m_remotePort);
    return std::nullopt;
}

SocketRefusal QtClientSocket::SendBytes(const QByteArray& bytes)
{
    if (m_remoteHost.isEmpty())
        return socket_refusal::noHost();
    if (m_protocol == Protocol::Tcp) {
        if (m_tcp->state() != QAbstractSocket::ConnectedState)
            return socket_refusal::notConnected();
        // QTcpSocket would only queue the frame and send it on a later pass
        // of the event loop, a wait inside the measured response time; the
        // flush hands it to the system now. A socket that fails meanwhile
        // reports through onTcpError.
        m_tcp->write(bytes);
        m_tcp->flush();
        emit sendComplete();
        return std::nullopt;
    }

    m_destination.resolve();
    switch (m_destination.state()) {
    case UdpDestination::State::Resolved:
        sendDatagram(bytes, m_remotePort);
        break;
    case UdpDestination::State::Failed:
        queueFailure(m_destination.failure());
        break;
    case UdpDestination::State::NotStarted:
    case UdpDestination::State::Pending:
        m_destination.hold(bytes, m_remotePort);
        break;
    }
    return std::nullopt;
}

void QtClientSocket::onHeldDone(const UdpDestination::Held& held)
{
    if (m_destination.state() == UdpDestination::State::Resolved)
        sendDatagram(held.bytes, held.port);
    else
        emit error({SocketEnd::Reason::Failed, m_destination.failure()});
}

void QtClientSocket::sendDatagram(const QByteArray& bytes, std::uint16_t port)
{
    // writeDatagram reports its own failure synchronously; the caller is
    // promised failures only after it has regained control.
    m_inUdpWrite = true;
    const qint64 sent = m_udp->writeDatagram(bytes, m_destination.address(), port);
    m_inUdpWrite = false;
    if (sent < 0) {
        queueFailure(m_udp->errorString());
        return;
    }
    m_destination.sentTo(m_destination.address(), port);
    emit sendComplete();
}

void QtClientSocket::ReceiveAll(QByteArray& into)
{
    if (m_protocol == Protocol::Tcp) {
        const qint64 waiting = m_tcp->bytesAvailable();
        into.resize(waiting);
        if (waiting > 0) {
            const qint64 got = m_tcp->read(into.data(), waiting);
            into.resize(got > 0 ? got : 0);
        }
        return;
    }
    if (m_udpReply) {
        into = *std::exchange(m_udpReply, std::nullopt);
        return;
    }
    if (!readUdpReply(into))
        into.resize(0);
}

bool QtClientSocket::readUdpReply(QByteArray& into)
{
    while (m_udp->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = m_udp->receiveDatagram();
        if (!datagram.isValid())
            return false;
        if (m_destination.isFromPeer(datagram.senderAddress(),
                                     static_cast<std::uint16_t>(datagram.senderPort()))) {
            into = datagram.data();
            return true;
        }
    }
    return false;
}

bool QtClientSocket::WaitForArrival(int msecs, int spinUs)
{
    Q_UNUSED(msecs);
    Q_UNUSED(spinUs);
    return false;
}

void QtClientSocket::Close()
{
    // Anything queued for the connection being closed is dropped with it.
    ++m_generation;
    m_closing = true;
    m_tcp->abort();
    m_udp->abort();
    m_closing = false;
    m_tcpEndReported = false;
    m_destination.dropHeld();
    m_destination.forgetPeer();
    m_udpReply.reset();
}

void QtClientSocket::onTcpReadyRead()
{
    if (m_closing)
        return;
    const qint64 waiting = m_tcp->bytesAvailable();
    if (waiting > 0)
        emit dataArrival(static_cast<qint32>(qMin<qint64>(waiting, INT32_MAX)));
}

void QtClientSocket::onUdpReadyRead()
{
    if (m_closing)
        return;
    const quint64 generation = m_generation;
    QByteArray reply;
    while (readUdpReply(reply)) {
        m_udpReply = reply;
        emit dataArrival(static_cast<qint32>(qMin<qint64>(reply.size(), INT32_MAX)));
        if (generation != m_generation || m_udp->state() != QAbstractSocket::BoundState)
            return;
        // A reply the handler left behind is dropped; the next one is
        // announced on its own.
        m_udpReply.reset();
    }
}

void QtClientSocket::onTcpDisconnected()
{
    if (m_closing || m_tcpEndReported)
        return;
    m_tcpEndReported = true;
    emit peerClosed();
}

void QtClientSocket::onTcpError()
{
    if (m_closing || m_tcpEndReported)
        return;
    // Errors on a TCP socket end the connection; the disconnected() that
    // may follow belongs to the same end.
    m_tcpEndReported = true;
    // Qt reports a reset by the peer as an orderly close on most systems.
    if (m_tcp->error() == QAbstractSocket::RemoteHostClosedError)
        emit peerClosed();
    else
        emit error(endOf(*m_tcp));
}

void QtClientSocket::onUdpError()
{
    if (m_closing || m_inUdpWrite)
        return;
    emit error(endOf(*m_udp));
}

void QtClientSocket::queueFailure(const QString& description)
{
    QMetaObject::invokeMethod(
        this,
        [this, generation = m_generation, description] {
            if (generation == m_generation)
                emit error({SocketEnd::Reason::Failed, description});
        },
        Qt::QueuedConnection);
}
