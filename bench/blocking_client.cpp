// SPDX-License-Identifier: GPL-3.0-or-later
// A blocking request/reply client with a round-trip median.
#include "blocking_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <vector>

double blockingMedianMs(const char* address, unsigned short port, bool udp, const unsigned char* request,
                        std::size_t requestSize, std::size_t replySize, int count)
{
    const int fd = ::socket(AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &sa.sin_addr);
    const int one = 1;
    const timeval timeout{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (!udp)
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    std::vector<double> roundTrips;
    std::vector<unsigned char> reply(replySize + 64);
    for (int i = 0; i < count; ++i) {
        const auto start = std::chrono::steady_clock::now();
        if (::send(fd, request, requestSize, MSG_NOSIGNAL) != static_cast<ssize_t>(requestSize))
            break;
        std::size_t have = 0;
        while (have < replySize) {
            const ssize_t n = ::recv(fd, reply.data() + have, reply.size() - have, 0);
            if (n <= 0)
                break;
            have += static_cast<std::size_t>(n);
        }
        if (have < replySize)
            break;
        roundTrips.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    ::close(fd);
    if (roundTrips.size() != static_cast<std::size_t>(count))
        return -1;
    std::nth_element(roundTrips.begin(), roundTrips.begin() + count / 2, roundTrips.end());
    return roundTrips[static_cast<std::size_t>(count / 2)];
}
