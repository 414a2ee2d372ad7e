// SPDX-License-Identifier: GPL-3.0-or-later
// The plainest client there is, for comparing the probe's round trips with:
// blocking POSIX calls, one request, then its reply, timed around the two.
#pragma once

#include <cstddef>

// Sends `request` `count` times to `address`:`port` (IPv4), each after the
// previous reply of `replySize` bytes, and returns the median round trip in
// milliseconds; a negative value when a call failed.
double blockingMedianMs(const char* address, unsigned short port, bool udp, const unsigned char* request,
                        std::size_t requestSize, std::size_t replySize, int count);
