// SPDX-License-Identifier: GPL-3.0-or-later
// A bare module stand-in for measuring vexa-probe alone: blocking POSIX
// sockets on a thread of the benchmark, no Qt, answering every request of a
// known size with one fixed reply.
#pragma once

#include <atomic>
#include <cstddef>
#include <thread>
#include <vector>

class BareResponder {
public:
    // Listens on `address` (IPv4 loopback) at free TCP and UDP ports.
    BareResponder(const char* address, std::size_t requestSize, const unsigned char* reply,
                  std::size_t replySize);
    ~BareResponder();
    BareResponder(const BareResponder&) = delete;
    BareResponder& operator=(const BareResponder&) = delete;

    bool ok() const { return m_tcp >= 0 && m_udp >= 0; }
    unsigned short tcpPort() const { return m_tcpPort; }
    unsigned short udpPort() const { return m_udpPort; }

private:
    void serveTcp();
    void serveUdp();

    std::size_t m_requestSize;
    std::vector<unsigned char> m_reply;
    int m_tcp = -1;
    int m_udp = -1;
    unsigned short m_tcpPort = 0;
    unsigned short m_udpPort = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_tcpThread;
    std::thread m_udpThread;
};
