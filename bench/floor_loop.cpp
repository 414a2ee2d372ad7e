// SPDX-License-Identifier: GPL-3.0-or-later
// Blocking TCP and UDP request/reply loops between two threads of one process.
#include "floor_loop.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace {

// Closes a descriptor when the scope ends, whatever path leaves it.
struct Fd {
    int fd = -1;
    explicit Fd(int f)
        : fd(f)
    {
    }
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

std::string lastError(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

bool sendAll(int fd, const unsigned char* bytes, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::send(fd, bytes, size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// A TCP reply may come in pieces; the loop is only done with all of it.
bool recvAll(int fd, unsigned char* bytes, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::recv(fd, bytes, size, 0);
        if (n <= 0)
            return false;
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

sockaddr_in loopback(const char* address)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = 0;
    ::inet_pton(AF_INET, address, &sa.sin_addr);
    return sa;
}

void setNoDelay(int fd)
{
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

FloorResult runTcpFloor(const char* address, const unsigned char* request, std::size_t requestSize,
                        const unsigned char* reply, std::size_t replySize, long cycles)
{
    FloorResult result;
    Fd listener(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in sa = loopback(address);
    socklen_t len = sizeof sa;
    if (::bind(listener.fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(listener.fd, 1) != 0
        || ::getsockname(listener.fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        result.error = lastError("tcp listen");
        return result;
    }

    std::thread peer([&] {
        Fd conn(::accept(listener.fd, nullptr, nullptr));
        if (conn.fd < 0)
            return;
        setNoDelay(conn.fd);
        std::vector<unsigned char> in(requestSize);
        for (long i = 0; i < cycles; ++i) {
            if (!recvAll(conn.fd, in.data(), requestSize) || !sendAll(conn.fd, reply, replySize))
                return;
        }
    });

    Fd client(::socket(AF_INET, SOCK_STREAM, 0));
    if (::connect(client.fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        result.error = lastError("tcp connect");
        ::shutdown(listener.fd, SHUT_RDWR);
        peer.join();
        return result;
    }
    setNoDelay(client.fd);
    std::vector<unsigned char> in(replySize);
    const auto start = std::chrono::steady_clock::now();
    long done = 0;
    for (; done < cycles; ++done) {
        if (!sendAll(client.fd, request, requestSize) || !recvAll(client.fd, in.data(), replySize))
            break;
    }
    result.seconds = secondsSince(start);
    result.cycles = done;
    ::shutdown(client.fd, SHUT_RDWR);
    peer.join();
    result.ok = done == cycles;
    if (!result.ok)
        result.error = lastError("tcp loop");
    return result;
}

FloorResult runUdpFloor(const char* address, const unsigned char* request, std::size_t requestSize,
                        const unsigned char* reply, std::size_t replySize, long cycles)
{
    FloorResult result;
    Fd server(::socket(AF_INET, SOCK_DGRAM, 0));
    sockaddr_in sa = loopback(address);
    socklen_t len = sizeof sa;
    if (::bind(server.fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0
        || ::getsockname(server.fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        result.error = lastError("udp bind");
        return result;
    }
    // Loopback does not lose datagrams, but a stuck loop must still end.
    const timeval timeout{2, 0};
    ::setsockopt(server.fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

    std::thread peer([&] {
        std::vector<unsigned char> in(requestSize + 64);
        for (long i = 0; i < cycles; ++i) {
            sockaddr_in from{};
            socklen_t fromLen = sizeof from;
            if (::recvfrom(server.fd, in.data(), in.size(), 0, reinterpret_cast<sockaddr*>(&from), &fromLen)
                < 0)
                return;
            ::sendto(server.fd, reply, replySize, 0, reinterpret_cast<sockaddr*>(&from), fromLen);
        }
    });

    Fd client(::socket(AF_INET, SOCK_DGRAM, 0));
    ::setsockopt(client.fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (::connect(client.fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        result.error = lastError("udp connect");
        peer.join();
        return result;
    }
    std::vector<unsigned char> in(replySize + 64);
    const auto start = std::chrono::steady_clock::now();
    long done = 0;
    for (; done < cycles; ++done) {
        if (::send(client.fd, request, requestSize, 0) != static_cast<ssize_t>(requestSize)
            || ::recv(client.fd, in.data(), in.size(), 0) != static_cast<ssize_t>(replySize))
            break;
    }
    result.seconds = secondsSince(start);
    result.cycles = done;
    peer.join();
    result.ok = done == cycles;
    if (!result.ok)
        result.error = lastError("udp loop");
    return result;
}
