// SPDX-License-Identifier: GPL-3.0-or-later
// Blocking TCP and UDP responders, each on its own thread: one receive and
// one send per request, like the floor's peer. Their receives time out
// every 100 ms so that they see when to stop.
#include "bare_responder.h"

#include "codec/frame_layout.h"

#include <cerrno>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int boundSocket(const char* address, int type, unsigned short& port)
{
    const int fd = ::socket(AF_INET, type, 0);
    if (fd < 0)
        return -1;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    ::inet_pton(AF_INET, address, &sa.sin_addr);
    socklen_t length = sizeof sa;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0
        || (type == SOCK_STREAM && ::listen(fd, 4) != 0)
        || ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &length) != 0) {
        ::close(fd);
        return -1;
    }
    port = ntohs(sa.sin_port);
    return fd;
}

// True when `fd` has something to read within 100 ms.
bool readable(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 100) > 0;
}

// A blocking receive on `fd` gives up after 100 ms (EAGAIN).
void wakeEvery100Ms(int fd)
{
    const timeval timeout{0, 100'000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

bool timedOut(ssize_t received)
{
    return received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
}

// A module copies the request's invoke ID into its reply, under a checksum
// that covers it.
void copyInvokeId(const unsigned char* request, std::size_t size, std::vector<unsigned char>& reply)
{
    if (size < frame::kHeaderSize || reply.size() < frame::kHeaderSize)
        return;
    reply[frame::kInvokeIdOffset] = request[frame::kInvokeIdOffset];
    reply[frame::kInvokeIdOffset + 1] = request[frame::kInvokeIdOffset + 1];
    unsigned sum = 0;
    for (int i = frame::kCheckSumFirst; i <= frame::kCheckSumLast; ++i)
        sum += reply[i];
    reply[frame::kCheckSumOffset] = static_cast<unsigned char>(sum);
}

} // namespace

BareResponder::BareResponder(const char* address, std::size_t requestSize, const unsigned char* reply,
                             std::size_t replySize)
    : m_requestSize(requestSize)
    , m_reply(reply, reply + replySize)
{
    m_tcp = boundSocket(address, SOCK_STREAM, m_tcpPort);
    m_udp = boundSocket(address, SOCK_DGRAM, m_udpPort);
    if (!ok())
        return;
    m_tcpThread = std::thread([this] { serveTcp(); });
    m_udpThread = std::thread([this] { serveUdp(); });
}

BareResponder::~BareResponder()
{
    m_stop = true;
    if (m_tcpThread.joinable())
        m_tcpThread.join();
    if (m_udpThread.joinable())
        m_udpThread.join();
    for (int fd : {m_tcp, m_udp}) {
        if (fd >= 0)
            ::close(fd);
    }
}

void BareResponder::serveTcp()
{
    std::vector<unsigned char> request(m_requestSize);
    std::vector<unsigned char> reply = m_reply;
    while (!m_stop) {
        if (!readable(m_tcp))
            continue;
        const int connection = ::accept(m_tcp, nullptr, nullptr);
        if (connection < 0)
            continue;
        const int one = 1;
        ::setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        wakeEvery100Ms(connection);
        std::size_t have = 0;
        while (!m_stop) {
            const ssize_t n = ::recv(connection, request.data() + have, request.size() - have, 0);
            if (timedOut(n))
                continue;
            if (n <= 0)
                break;
            have += static_cast<std::size_t>(n);
            if (have < request.size())
                continue;
            have = 0;
            copyInvokeId(request.data(), request.size(), reply);
            if (::send(connection, reply.data(), reply.size(), MSG_NOSIGNAL) <= 0)
                break;
        }
        ::close(connection);
    }
}

void BareResponder::serveUdp()
{
    std::vector<unsigned char> request(65536);
    std::vector<unsigned char> reply = m_reply;
    wakeEvery100Ms(m_udp);
    while (!m_stop) {
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t n =
            ::recvfrom(m_udp, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (n > 0) {
            copyInvokeId(request.data(), static_cast<std::size_t>(n), reply);
            ::sendto(m_udp, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
        }
    }
}
