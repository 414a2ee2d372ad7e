// SPDX-License-Identifier: GPL-3.0-or-later
// The window's one client socket: TCP connections and UDP datagrams to the module.
#include "net/client_socket.h"

#include <QAbstractSocket>
#include <QHostInfo>
#include <QMetaObject>
#include <QNetworkDatagram>
#include <QTcpSocket>
#include <QUdpSocket>

#include <cerrno>
#include <chrono>
#include <utility>

#if VEXA_LINUX_SOCKET_PATHS
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

const QString kNotConnected = QStringLiteral("The socket is not connected.");
const QString kAlreadyConnected = QStringLiteral("The socket is already connected.");
const QString kConnecting = QStringLiteral("A connection is already being opened.");
const QString kCloseFirst = QStringLiteral("Close the socket before changing the protocol.");
const QString kNoHost = QStringLiteral("No remote host is set.");
const QString kUdpNoConnect =
    QStringLiteral("UDP sends without a connection; Connect is only used with TCP.");

// The host text as Qt takes it: an IPv6 address in brackets, as written in
// URLs, loses them; any other text is left alone, so "[name]" still fails.
QString hostForLookup(const QString& text)
{
    if (text.size() > 2 && text.startsWith(QLatin1Char('[')) && text.endsWith(QLatin1Char(']'))) {
        const QString inner = text.mid(1, text.size() - 2);
        QHostAddress address;
        if (address.setAddress(inner) && address.protocol() == QAbstractSocket::IPv6Protocol)
            return inner;
    }
    return text;
}

} // namespace

ClientSocket::ClientSocket(QObject* parent)
    : QObject(parent)
    , m_tcp(new QTcpSocket(this))
    , m_udp(new QUdpSocket(this))
{
    connect(m_tcp, &QTcpSocket::connected, this, &ClientSocket::onTcpConnected);
    connect(m_tcp, &QTcpSocket::readyRead, this, &ClientSocket::onTcpReadyRead);
    connect(m_tcp, &QTcpSocket::disconnected, this, &ClientSocket::onTcpDisconnected);
    connect(m_tcp, &QTcpSocket::errorOccurred, this, &ClientSocket::onTcpError);
    connect(m_udp, &QUdpSocket::readyRead, this, &ClientSocket::onUdpReadyRead);
    connect(m_udp, &QUdpSocket::errorOccurred, this, &ClientSocket::onUdpError);
}

ClientSocket::~ClientSocket()
{
    if (m_udpLookupId >= 0)
        QHostInfo::abortHostLookup(m_udpLookupId);
    // The sockets are destroyed after this body; they must not call back
    // into a half-destroyed object while they abort.
    disconnect(m_tcp, nullptr, this, nullptr);
    disconnect(m_udp, nullptr, this, nullptr);
    resetTcp();
    resetUdp();
}

SocketRefusal ClientSocket::SetProtocol(Protocol protocol)
{
    if (protocol == m_protocol)
        return std::nullopt;
    if (m_tcp->state() != QAbstractSocket::UnconnectedState
        || m_udp->state() != QAbstractSocket::UnconnectedState || m_udpHeld)
        return kCloseFirst;
    m_protocol = protocol;
    return std::nullopt;
}

void ClientSocket::SetRemoteHost(const QString& host)
{
    m_remoteHost = host;
    if (m_udpLookupId >= 0)
        QHostInfo::abortHostLookup(m_udpLookupId);
    m_udpLookupId = -1;
    ++m_udpLookupSerial;
    m_udpLookup = UdpLookup::NotStarted;
    m_udpAddress.clear();
    m_udpLookupError.clear();
    // A held datagram was meant for the old destination.
    m_udpHeld.reset();
    if (m_protocol == Protocol::Udp && !host.isEmpty())
        startUdpLookup();
}

void ClientSocket::SetRemotePort(std::uint16_t port)
{
    m_remotePort = port;
}

SocketRefusal ClientSocket::Connect()
{
    if (m_protocol != Protocol::Tcp)
        return kUdpNoConnect;
    switch (m_tcp->state()) {
    case QAbstractSocket::UnconnectedState:
        break;
    case QAbstractSocket::HostLookupState:
    case QAbstractSocket::ConnectingState:
        return kConnecting;
    default:
        return kAlreadyConnected;
    }
    if (m_remoteHost.isEmpty())
        return kNoHost;
    m_tcpEndReported = false;
    m_tcp->connectToHost(hostForLookup(m_remoteHost), m_remotePort);
    return std::nullopt;
}

SocketRefusal ClientSocket::SendBytes(const QByteArray& bytes)
{
    if (m_remoteHost.isEmpty())
        return kNoHost;
    if (m_protocol == Protocol::Tcp) {
        if (m_tcp->state() != QAbstractSocket::ConnectedState)
            return kNotConnected;
        writeTcp(bytes);
        announceSendComplete();
        return std::nullopt;
    }

    if (m_udpLookup == UdpLookup::NotStarted)
        startUdpLookup();
    switch (m_udpLookup) {
    case UdpLookup::Resolved:
        sendDatagram(bytes, m_remotePort);
        break;
    case UdpLookup::Failed:
        queueError(QAbstractSocket::HostNotFoundError, m_udpLookupError);
        break;
    case UdpLookup::NotStarted:
    case UdpLookup::Pending:
        // Only the latest request is worth sending once the address is known.
        m_udpHeld = bytes;
        m_udpHeldPort = m_remotePort;
        break;
    }
    return std::nullopt;
}

void ClientSocket::sendDatagram(const QByteArray& bytes, std::uint16_t port)
{
    // writeDatagram reports its own failure synchronously; the caller is
    // promised failures only after it has regained control.
    m_inUdpWrite = true;
    const qint64 sent = m_udp->writeDatagram(bytes, m_udpAddress, port);
    m_inUdpWrite = false;
    if (sent < 0) {
        queueError(m_udp->error(), m_udp->errorString());
        return;
    }
    m_udpPeerAddress = m_udpAddress;
    m_udpPeerPort = port;
    announceSendComplete();
}

void ClientSocket::writeTcp(const QByteArray& bytes)
{
    qint64 sent = 0;
#if VEXA_LINUX_SOCKET_PATHS
    // QTcpSocket only queues what it is given and sends it on a later pass
    // of the event loop, after a poll for writability: a wake-up and a poll
    // per request, and that wait would lie inside the measured response
    // time. With nothing queued ahead, the frame goes to the kernel now.
    if (m_tcp->bytesToWrite() == 0) {
        const ssize_t n = ::send(static_cast<int>(m_tcp->socketDescriptor()), bytes.constData(),
                                 static_cast<size_t>(bytes.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0)
            sent = n;
    }
#endif
    // The rest (all of it if the kernel took nothing or refused) goes the
    // usual way; a socket that has failed reports through onTcpError. A
    // short write can only come from a socket that has just failed.
    if (sent < bytes.size())
        m_tcp->write(bytes.constData() + sent, bytes.size() - sent);
}

void ClientSocket::ReceiveAll(QByteArray& into)
{
    if (m_protocol == Protocol::Tcp) {
        // Bytes WaitForArrival read come before any Qt has read since.
        into.swap(m_tcpArrived);
        m_tcpArrived.resize(0);
        const qsizetype before = into.size();
        const qint64 waiting = m_tcp->bytesAvailable();
        into.resize(before + waiting);
        if (waiting > 0) {
            const qint64 got = m_tcp->read(into.data() + before, waiting);
            into.resize(before + (got > 0 ? got : 0));
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

bool ClientSocket::readUdpReply(QByteArray& into)
{
    while (m_udp->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = m_udp->receiveDatagram();
        if (!datagram.isValid())
            return false;
        if (isFromPeer(datagram.senderAddress(), static_cast<std::uint16_t>(datagram.senderPort()))) {
            into = datagram.data();
            return true;
        }
    }
    return false;
}

bool ClientSocket::isFromPeer(const QHostAddress& sender, std::uint16_t senderPort) const
{
    // A dual-stack socket reports an IPv4 sender in its IPv6 form.
    return m_udpPeerPort != 0 && senderPort == m_udpPeerPort
        && sender.isEqual(m_udpPeerAddress, QHostAddress::ConvertV4MappedToIPv4);
}

bool ClientSocket::WaitForArrival(int msecs, int spinUs)
{
#if VEXA_LINUX_SOCKET_PATHS
    if (m_closing)
        return false;
    return m_protocol == Protocol::Tcp ? waitForTcpArrival(msecs, spinUs) : waitForUdpArrival(msecs, spinUs);
#else
    Q_UNUSED(msecs);
    Q_UNUSED(spinUs);
    return false;
#endif
}

#if VEXA_LINUX_SOCKET_PATHS
namespace {

// Large enough for any datagram and for everything a TCP arrival brings.
constexpr qsizetype kWaitBufferSize = 65536;

// One receive from `fd` into `buffer`, waiting for it first: up to `spinUs`
// microseconds by trying again without sleeping, then up to `msecs` asleep
// in poll. Returns what recv or recvfrom returned, or -1 with errno EAGAIN
// when nothing came in time. An error or a hang-up that poll sees is left in
// place, and a signal ends the wait early (EINTR), so that the event loop
// hears of either at once.
ssize_t receiveWithin(int fd, QByteArray& buffer, int msecs, int spinUs, sockaddr_storage* from)
{
    buffer.resize(kWaitBufferSize);
    socklen_t fromLength = sizeof(sockaddr_storage);
    const auto receive = [&] {
        return from ? ::recvfrom(fd, buffer.data(), kWaitBufferSize, MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(from), &fromLength)
                    : ::recv(fd, buffer.data(), kWaitBufferSize, MSG_DONTWAIT);
    };
    if (spinUs > 0) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(spinUs);
        for (;;) {
            const ssize_t n = receive();
            if (n >= 0 || errno != EAGAIN || std::chrono::steady_clock::now() >= until)
                return n;
        }
    }
    pollfd watched{fd, POLLIN, 0};
    if (::poll(&watched, 1, msecs) != 1 || (watched.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0
        || (watched.revents & POLLIN) == 0) {
        errno = EAGAIN;
        return -1;
    }
    return receive();
}

} // namespace

bool ClientSocket::waitForTcpArrival(int msecs, int spinUs)
{
    // Bytes Qt has already buffered must come first, through its own event.
    if (m_tcp->state() != QAbstractSocket::ConnectedState || m_tcp->bytesAvailable() > 0
        || !m_tcpArrived.isEmpty())
        return false;
    const ssize_t n =
        receiveWithin(static_cast<int>(m_tcp->socketDescriptor()), m_waitBuffer, msecs, spinUs, nullptr);
    // Nothing read may be the end of the connection or a failure: Qt reads
    // the same and reports it from the event loop. A reset taken here still
    // reads as one there, from the duplicate descriptor's state.
    if (n <= 0)
        return false;
    m_tcpArrived = m_waitBuffer.first(n);
    emit dataArrival(static_cast<qint32>(n));
    return true;
}

bool ClientSocket::waitForUdpArrival(int msecs, int spinUs)
{
    if (m_udp->state() != QAbstractSocket::BoundState || m_udpPeerPort == 0 || m_udpReply)
        return false;
    sockaddr_storage from{};
    const ssize_t n =
        receiveWithin(static_cast<int>(m_udp->socketDescriptor()), m_waitBuffer, msecs, spinUs, &from);
    if (n < 0)
        return false;
    // Only the module's replies count; anything else is read and dropped,
    // as on the event loop's path.
    const std::uint16_t senderPort = from.ss_family == AF_INET6
        ? ntohs(reinterpret_cast<const sockaddr_in6*>(&from)->sin6_port)
        : ntohs(reinterpret_cast<const sockaddr_in*>(&from)->sin_port);
    if (!isFromPeer(QHostAddress(reinterpret_cast<const sockaddr*>(&from)), senderPort))
        return true;
    m_udpReply = m_waitBuffer.first(n);
    emit dataArrival(static_cast<qint32>(n));
    m_udpReply.reset();
    return true;
}
#endif

void ClientSocket::Close()
{
    // Anything queued for the connection being closed is dropped with it.
    ++m_generation;
    resetTcp();
    resetUdp();
}

void ClientSocket::onTcpConnected()
{
    if (m_closing)
        return;
    // Frames are small and a reply is awaited after each; Nagle would hold
    // them back.
    m_tcp->setSocketOption(QAbstractSocket::LowDelayOption, 1);
#if VEXA_LINUX_SOCKET_PATHS
    closeShadowDescriptor();
    // Close-on-exec, so a started process cannot keep the connection alive.
    m_tcpShadowFd = ::fcntl(static_cast<int>(m_tcp->socketDescriptor()), F_DUPFD_CLOEXEC, 0);
#endif
    emit connected();
}

void ClientSocket::onTcpReadyRead()
{
    if (m_closing)
        return;
    const qint64 waiting = m_tcp->bytesAvailable();
    if (waiting > 0)
        emit dataArrival(static_cast<qint32>(qMin<qint64>(waiting, INT32_MAX)));
}

void ClientSocket::onUdpReadyRead()
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

void ClientSocket::onTcpDisconnected()
{
    if (m_closing)
        return;
    closeShadowDescriptor();
    if (m_tcpEndReported)
        return;
    m_tcpEndReported = true;
    emit peerClosed();
}

void ClientSocket::onTcpError()
{
    if (m_closing)
        return;
    const QAbstractSocket::SocketError code = m_tcp->error();
    if (code == QAbstractSocket::RemoteHostClosedError) {
        if (m_tcpEndReported)
            return;
        m_tcpEndReported = true;
        const bool reset = peerResetConnection();
        closeShadowDescriptor();
        if (reset)
            emit error(QAbstractSocket::NetworkError, qt_error_string(ECONNRESET));
        else
            emit peerClosed();
        return;
    }
    // Errors on a TCP socket end the connection; the disconnected() that
    // may follow belongs to the same failure, not to a peer close.
    m_tcpEndReported = true;
    if (m_tcp->state() == QAbstractSocket::UnconnectedState)
        closeShadowDescriptor();
    emit error(code, m_tcp->errorString());
}

void ClientSocket::onUdpError()
{
    if (m_closing || m_inUdpWrite)
        return;
    emit error(m_udp->error(), m_udp->errorString());
}

void ClientSocket::resetTcp()
{
    m_closing = true;
    closeShadowDescriptor();
    m_tcp->abort();
    m_closing = false;
    m_tcpEndReported = false;
    m_tcpArrived.clear();
}

void ClientSocket::resetUdp()
{
    m_closing = true;
    m_udp->abort();
    m_closing = false;
    m_udpHeld.reset();
    m_udpReply.reset();
    m_udpPeerAddress.clear();
    m_udpPeerPort = 0;
}

void ClientSocket::startUdpLookup()
{
    const QString host = hostForLookup(m_remoteHost);
    if (m_udpAddress.setAddress(host)) {
        m_udpLookup = UdpLookup::Resolved;
        return;
    }
    // A name server that does not answer must not freeze the window: the
    // lookup runs in Qt's resolver threads and its answer comes as an event.
    m_udpLookup = UdpLookup::Pending;
    const quint64 lookup = ++m_udpLookupSerial;
    m_udpLookupId = QHostInfo::lookupHost(
        host, this, [this, lookup](const QHostInfo& info) { onUdpLookupDone(lookup, info); });
}

void ClientSocket::onUdpLookupDone(quint64 lookup, const QHostInfo& info)
{
    if (lookup != m_udpLookupSerial)
        return;
    m_udpLookupId = -1;
    const QList<QHostAddress> addresses = info.addresses();
    if (info.error() != QHostInfo::NoError || addresses.isEmpty()) {
        m_udpLookup = UdpLookup::Failed;
        m_udpLookupError = info.error() != QHostInfo::NoError
            ? info.errorString()
            : QStringLiteral("Host %1 has no address.").arg(m_remoteHost);
    } else {
        // The module speaks IPv4; "localhost" lists ::1 first on many
        // systems, where nothing of the module's would be listening.
        m_udpAddress = addresses.first();
        for (const QHostAddress& address : addresses) {
            if (address.protocol() == QAbstractSocket::IPv4Protocol) {
                m_udpAddress = address;
                break;
            }
        }
        m_udpLookup = UdpLookup::Resolved;
    }

    const std::optional<QByteArray> held = std::exchange(m_udpHeld, std::nullopt);
    if (!held)
        return;
    if (m_udpLookup == UdpLookup::Resolved)
        sendDatagram(*held, m_udpHeldPort);
    else
        emit error(QAbstractSocket::HostNotFoundError, m_udpLookupError);
}

void ClientSocket::announceSendComplete()
{
    // At once rather than queued: a queued event would wake the event loop
    // once more per request, a cost inside every measured cycle, for an
    // event whose only listener does nothing.
    emit sendComplete();
}

void ClientSocket::queueError(int number, const QString& description)
{
    QMetaObject::invokeMethod(
        this,
        [this, generation = m_generation, number, description] {
            if (generation == m_generation)
                emit error(number, description);
        },
        Qt::QueuedConnection);
}

bool ClientSocket::peerResetConnection() const
{
#if VEXA_LINUX_SOCKET_PATHS
    // Qt reports a reset exactly like an orderly close. The duplicate
    // descriptor keeps the kernel socket alive after Qt closes its own, and
    // its TCP state tells the two apart: an orderly close leaves it waiting
    // for our side to close, a reset has already torn it down.
    if (m_tcpShadowFd < 0)
        return false;
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(m_tcpShadowFd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0)
        return false;
    return info.tcpi_state == TCP_CLOSE;
#else
    return false;
#endif
}

void ClientSocket::closeShadowDescriptor()
{
#if VEXA_LINUX_SOCKET_PATHS
    if (m_tcpShadowFd >= 0) {
        ::close(m_tcpShadowFd);
        m_tcpShadowFd = -1;
    }
#endif
}
