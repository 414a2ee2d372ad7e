// SPDX-License-Identifier: GPL-3.0-or-later
// The client socket on plain Linux descriptors.
#include "net/linux_client_socket.h"

#include "net/socket_refusals.h"

#include <QHostInfo>
#include <QMetaObject>
#include <QSocketNotifier>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

// Large enough for any datagram and for everything a TCP arrival brings.
constexpr qsizetype kReadSize = 65536;

// The system's text for an errno value, as every end is described.
QString systemText(int number)
{
    return QString::fromLocal8Bit(std::strerror(number));
}

SocketEnd endFromErrno(int number)
{
    switch (number) {
    case ECONNREFUSED:
        return {SocketEnd::Reason::Refused, systemText(number)};
    case ECONNRESET:
    case EPIPE:
        return {SocketEnd::Reason::Reset, systemText(ECONNRESET)};
    default:
        return {SocketEnd::Reason::Failed, systemText(number)};
    }
}

bool wouldBlock(int number)
{
    return number == EAGAIN || number == EWOULDBLOCK || number == EINTR;
}

// `address` and `port` as a socket address; the family is AF_UNSPEC for an
// address that has none.
sockaddr_storage socketAddress(const QHostAddress& address, std::uint16_t port, socklen_t& length)
{
    sockaddr_storage storage{};
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        auto* in = reinterpret_cast<sockaddr_in*>(&storage);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        in->sin_addr.s_addr = htonl(address.toIPv4Address());
        length = sizeof(sockaddr_in);
    } else if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&in6->sin6_addr, bytes.c, sizeof bytes.c);
        const QString scope = address.scopeId();
        if (!scope.isEmpty()) {
            bool numeric = false;
            const uint index = scope.toUInt(&numeric);
            in6->sin6_scope_id = numeric ? index : ::if_nametoindex(scope.toLocal8Bit().constData());
        }
        length = sizeof(sockaddr_in6);
    } else {
        length = 0;
    }
    return storage;
}

std::uint16_t portOf(const sockaddr_storage& from)
{
    return from.ss_family == AF_INET6 ? ntohs(reinterpret_cast<const sockaddr_in6*>(&from)->sin6_port)
                                      : ntohs(reinterpret_cast<const sockaddr_in*>(&from)->sin_port);
}

// One receive from `fd` into `buffer`, replacing its content, without
// waiting; returns what recv or recvfrom returned.
ssize_t receiveNow(int fd, QByteArray& buffer, sockaddr_storage* from)
{
    buffer.resize(kReadSize);
    socklen_t fromLength = sizeof(sockaddr_storage);
    const ssize_t n = from ? ::recvfrom(fd, buffer.data(), kReadSize, MSG_DONTWAIT,
                                        reinterpret_cast<sockaddr*>(from), &fromLength)
                           : ::recv(fd, buffer.data(), kReadSize, MSG_DONTWAIT);
    const int number = errno;
    buffer.resize(n > 0 ? n : 0);
    errno = number;
    return n;
}

// The same, waiting for it first: up to `spinUs` microseconds by trying
// again without sleeping, then up to `msecs` asleep in poll. Returns -1
// with errno EAGAIN when nothing came in time; a signal ends the wait early,
// so that the event loop hears of it at once.
ssize_t receiveWithin(int fd, QByteArray& buffer, int msecs, int spinUs, sockaddr_storage* from)
{
    if (spinUs > 0) {
        const auto start = std::chrono::steady_clock::now();
        const auto until = start + std::chrono::microseconds(spinUs);
        ssize_t n = 0;
        auto now = start;
        do {
            n = receiveNow(fd, buffer, from);
            now = std::chrono::steady_clock::now();
        } while (n < 0 && errno == EAGAIN && now < until);
        if (n >= 0 || errno != EAGAIN)
            return n;
        msecs -= static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(now - start).count());
        if (msecs <= 0)
            return n;
    }
    pollfd watched{fd, POLLIN, 0};
    if (::poll(&watched, 1, msecs) != 1) {
        errno = EAGAIN;
        return -1;
    }
    return receiveNow(fd, buffer, from);
}

} // namespace

LinuxClientSocket::LinuxClientSocket(QObject* parent)
    : ClientSocket(parent)
    , m_destination(this, [this](const UdpDestination::Held& held) { onHeldDone(held); })
{
}

LinuxClientSocket::~LinuxClientSocket()
{
    Close();
}

SocketRefusal LinuxClientSocket::SetProtocol(Protocol protocol)
{
    if (protocol == m_protocol)
        return std::nullopt;
    if (m_tcpState != TcpState::Idle || m_udp.fd >= 0 || m_destination.holds())
        return socket_refusal::closeFirst();
    m_protocol = protocol;
    return std::nullopt;
}

void LinuxClientSocket::SetRemoteHost(const QString& host)
{
    m_remoteHost = host;
    m_destination.setHost(host);
    if (m_protocol == Protocol::Udp && !host.isEmpty())
        m_destination.resolve();
}

SocketRefusal LinuxClientSocket::Connect()
{
    if (m_protocol != Protocol::Tcp)
        return socket_refusal::udpNoConnect();
    if (m_tcpState == TcpState::Connected)
        return socket_refusal::alreadyConnected();
    if (m_tcpState != TcpState::Idle)
        return socket_refusal::connecting();
    if (m_remoteHost.isEmpty())
        return socket_refusal::noHost();

    m_connectErrno = 0;
    const QString host = hostForLookup(m_remoteHost);
    QHostAddress address;
    if (address.setAddress(host)) {
        m_candidates = {address};
        m_tcpState = TcpState::Connecting;
        connectNext();
        return std::nullopt;
    }
    m_tcpState = TcpState::LookingUp;
    m_lookupId = QHostInfo::lookupHost(host, this, [this, generation = m_generation](const QHostInfo& info) {
        if (generation != m_generation)
            return;
        m_lookupId = -1;
        if (info.error() != QHostInfo::NoError || info.addresses().isEmpty()) {
            m_tcpState = TcpState::Idle;
            emit error({SocketEnd::Reason::Failed,
                        info.error() != QHostInfo::NoError
                            ? info.errorString()
                            : QStringLiteral("Host %1 has no address.").arg(m_remoteHost)});
            return;
        }
        m_candidates = info.addresses();
        m_tcpState = TcpState::Connecting;
        connectNext();
    });
    return std::nullopt;
}

void LinuxClientSocket::connectNext()
{
    // Each address in turn, as a name may list several and only one of
    // them may be listening.
    while (!m_candidates.isEmpty()) {
        const QHostAddress address = m_candidates.takeFirst();
        socklen_t length = 0;
        const sockaddr_storage to = socketAddress(address, m_remotePort, length);
        if (length == 0)
            continue;
        const int fd = ::socket(to.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            m_connectErrno = errno;
            continue;
        }
        m_tcp.fd = fd;
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), length) == 0 || errno == EINPROGRESS) {
            // Done once the descriptor is writable; on loopback that may be
            // at once, and still comes from the event loop.
            m_tcp.writable = new QSocketNotifier(fd, QSocketNotifier::Write, this);
            connect(m_tcp.writable, &QSocketNotifier::activated, this, &LinuxClientSocket::onConnectWritable);
            return;
        }
        m_connectErrno = errno;
        release(m_tcp);
    }
    m_tcpState = TcpState::Idle;
    const SocketEnd end = endFromErrno(m_connectErrno ? m_connectErrno : EHOSTUNREACH);
    post([this, end] { emit error(end); });
}

void LinuxClientSocket::onConnectWritable()
{
    int failure = 0;
    socklen_t length = sizeof failure;
    if (::getsockopt(m_tcp.fd, SOL_SOCKET, SO_ERROR, &failure, &length) != 0)
        failure = errno;
    if (failure != 0) {
        m_connectErrno = failure;
        release(m_tcp);
        connectNext();
        return;
    }
    // Frames are small and a reply is awaited after each; Nagle would hold
    // them back.
    const int one = 1;
    ::setsockopt(m_tcp.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    m_candidates.clear();
    disconnect(m_tcp.writable, nullptr, this, nullptr);
    connect(m_tcp.writable, &QSocketNotifier::activated, this, &LinuxClientSocket::onTcpWritable);
    m_tcp.writable->setEnabled(false);
    m_tcp.readable = new QSocketNotifier(m_tcp.fd, QSocketNotifier::Read, this);
    connect(m_tcp.readable, &QSocketNotifier::activated, this, &LinuxClientSocket::onTcpReadable);
    m_tcpState = TcpState::Connected;
    emit connected();
}

SocketRefusal LinuxClientSocket::SendBytes(const QByteArray& bytes)
{
    if (m_remoteHost.isEmpty())
        return socket_refusal::noHost();
    if (m_protocol == Protocol::Udp) {
        m_destination.resolve();
        switch (m_destination.state()) {
        case UdpDestination::State::Resolved:
            sendDatagram(bytes, m_remotePort);
            break;
        case UdpDestination::State::Failed:
            post([this, end = SocketEnd{SocketEnd::Reason::Failed, m_destination.failure()}] {
                emit error(end);
            });
            break;
        case UdpDestination::State::NotStarted:
        case UdpDestination::State::Pending:
            m_destination.hold(bytes, m_remotePort);
            break;
        }
        return std::nullopt;
    }

    if (m_tcpState != TcpState::Connected)
        return socket_refusal::notConnected();
    m_unsent.append(bytes);
    flushUnsent();
    emit sendComplete();
    return std::nullopt;
}

void LinuxClientSocket::flushUnsent()
{
    // The frame goes to the kernel now, not on a later pass of the event
    // loop, which would lie inside the measured response time. What the
    // kernel cannot take yet waits for the descriptor to be writable.
    while (!m_unsent.isEmpty()) {
        const ssize_t n = ::send(m_tcp.fd, m_unsent.constData(), static_cast<size_t>(m_unsent.size()),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (wouldBlock(errno))
                break;
            endConnection(endFromErrno(errno));
            return;
        }
        m_unsent.remove(0, n);
    }
    m_tcp.writable->setEnabled(!m_unsent.isEmpty());
}

void LinuxClientSocket::onTcpWritable()
{
    flushUnsent();
}

void LinuxClientSocket::onTcpReadable()
{
    const qsizetype before = m_arrived.size();
    m_arrived.resize(before + kReadSize);
    const ssize_t n = ::recv(m_tcp.fd, m_arrived.data() + before, kReadSize, MSG_DONTWAIT);
    const int number = errno;
    m_arrived.resize(before + (n > 0 ? n : 0));
    if (n > 0)
        emit dataArrival(static_cast<qint32>(qMin<qsizetype>(m_arrived.size(), INT32_MAX)));
    else if (n == 0)
        endConnection({SocketEnd::Reason::Closed, {}});
    else if (!wouldBlock(number))
        endConnection(endFromErrno(number));
}

void LinuxClientSocket::endConnection(const SocketEnd& end)
{
    // Nothing more is read or written; the bytes already read stay for the
    // handler.
    release(m_tcp);
    m_unsent.clear();
    m_tcpState = TcpState::Idle;
    post([this, end] {
        if (end.reason == SocketEnd::Reason::Closed)
            emit peerClosed();
        else
            emit error(end);
    });
}

void LinuxClientSocket::onHeldDone(const UdpDestination::Held& held)
{
    if (m_destination.state() == UdpDestination::State::Resolved)
        sendDatagram(held.bytes, held.port);
    else
        emit error({SocketEnd::Reason::Failed, m_destination.failure()});
}

bool LinuxClientSocket::openUdpSocket(int family)
{
    if (m_udp.fd >= 0 && m_udpFamily == family)
        return true;
    release(m_udp);
    const int fd = ::socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    m_udp.fd = fd;
    m_udpFamily = family;
    m_udp.readable = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_udp.readable, &QSocketNotifier::activated, this, &LinuxClientSocket::onUdpReadable);
    return true;
}

void LinuxClientSocket::sendDatagram(const QByteArray& bytes, std::uint16_t port)
{
    socklen_t length = 0;
    const sockaddr_storage to = socketAddress(m_destination.address(), port, length);
    if (length == 0 || !openUdpSocket(to.ss_family)
        || ::sendto(m_udp.fd, bytes.constData(), static_cast<size_t>(bytes.size()), MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(&to), length)
            < 0) {
        const SocketEnd end{SocketEnd::Reason::Failed, systemText(length == 0 ? EAFNOSUPPORT : errno)};
        post([this, end] { emit error(end); });
        return;
    }
    m_destination.sentTo(m_destination.address(), port);
    emit sendComplete();
}

void LinuxClientSocket::onUdpReadable()
{
    const quint64 generation = m_generation;
    for (;;) {
        sockaddr_storage from{};
        const ssize_t n = receiveNow(m_udp.fd, m_datagram, &from);
        if (n < 0)
            return;
        // Only the module's replies count; anything else is read and dropped.
        if (!m_destination.isFromPeer(QHostAddress(reinterpret_cast<const sockaddr*>(&from)), portOf(from)))
            continue;
        m_datagramReady = true;
        emit dataArrival(static_cast<qint32>(n));
        if (generation != m_generation || m_udp.fd < 0)
            return;
        // A reply the handler left behind is dropped; the next one is
        // announced on its own.
        m_datagramReady = false;
    }
}

void LinuxClientSocket::ReceiveAll(QByteArray& into)
{
    // Swapped rather than copied: the two buffers trade places, and neither
    // is allocated again once both have grown to a read's size.
    into.resize(0);
    if (m_protocol == Protocol::Tcp) {
        into.swap(m_arrived);
    } else if (m_datagramReady) {
        into.swap(m_datagram);
        m_datagramReady = false;
    }
}

bool LinuxClientSocket::WaitForArrival(int msecs, int spinUs)
{
    if (m_protocol == Protocol::Tcp) {
        if (m_tcpState != TcpState::Connected || !m_arrived.isEmpty())
            return false;
        const ssize_t n = receiveWithin(m_tcp.fd, m_arrived, msecs, spinUs, nullptr);
        const int number = errno;
        if (n > 0) {
            emit dataArrival(static_cast<qint32>(n));
            return true;
        }
        if (n == 0)
            endConnection({SocketEnd::Reason::Closed, {}});
        else if (!wouldBlock(number))
            endConnection(endFromErrno(number));
        return false;
    }

    if (m_udp.fd < 0 || !m_destination.hasPeer() || m_datagramReady)
        return false;
    sockaddr_storage from{};
    const ssize_t n = receiveWithin(m_udp.fd, m_datagram, msecs, spinUs, &from);
    if (n < 0)
        return false;
    // A stranger's datagram is dropped here as on the event loop's path;
    // the wait still ends, as something came.
    if (!m_destination.isFromPeer(QHostAddress(reinterpret_cast<const sockaddr*>(&from)), portOf(from)))
        return true;
    m_datagramReady = true;
    emit dataArrival(static_cast<qint32>(n));
    m_datagramReady = false;
    return true;
}

void LinuxClientSocket::Close()
{
    ++m_generation;
    if (m_lookupId >= 0)
        QHostInfo::abortHostLookup(m_lookupId);
    m_lookupId = -1;
    release(m_tcp);
    m_tcpState = TcpState::Idle;
    m_candidates.clear();
    m_arrived.resize(0);
    m_unsent.clear();
    release(m_udp);
    m_destination.dropHeld();
    m_destination.forgetPeer();
    m_datagramReady = false;
}

void LinuxClientSocket::post(std::function<void()> step)
{
    QMetaObject::invokeMethod(
        this,
        [this, generation = m_generation, step = std::move(step)] {
            if (generation == m_generation)
                step();
        },
        Qt::QueuedConnection);
}

void LinuxClientSocket::release(Watched& watched)
{
    // The notifiers go first: a descriptor must not be watched once closed.
    // They may be the very sender of the signal being handled, so they are
    // deleted later.
    for (QSocketNotifier* notifier : {watched.readable, watched.writable}) {
        if (notifier) {
            notifier->setEnabled(false);
            disconnect(notifier, nullptr, this, nullptr);
            notifier->deleteLater();
        }
    }
    if (watched.fd >= 0)
        ::close(watched.fd);
    watched = Watched{};
}
