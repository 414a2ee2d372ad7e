// SPDX-License-Identifier: GPL-3.0-or-later
// The socket floor: a bare request/reply loop over loopback with blocking
// POSIX calls and a peer thread, no Qt, as the bound the tool is held to.
#pragma once

#include <cstddef>
#include <string>

struct FloorResult {
    bool ok = false;
    std::string error;
    long cycles = 0;
    double seconds = 0;
    double perSecond() const { return seconds > 0 ? cycles / seconds : 0; }
};

// Sends `request` and waits for `reply` from a peer thread `cycles` times.
// `address` is an IPv4 loopback address; the ports are picked by the system.
FloorResult runTcpFloor(const char* address, const unsigned char* request, std::size_t requestSize,
                        const unsigned char* reply, std::size_t replySize, long cycles);
FloorResult runUdpFloor(const char* address, const unsigned char* request, std::size_t requestSize,
                        const unsigned char* reply, std::size_t replySize, long cycles);
