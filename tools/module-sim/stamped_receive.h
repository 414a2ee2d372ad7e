// SPDX-License-Identifier: GPL-3.0-or-later
// Receiving with the system's own stamp of when the bytes reached this
// machine, so that a delay counts from there and not from when the simulator
// woke to read them (after a long sleep, a tenth of a millisecond later).
#pragma once

#include <chrono>
#include <cstddef>
#include <sys/socket.h>
#include <sys/types.h>

namespace sim {

// Asks the system to stamp what `fd` receives.
void enableArrivalStamps(int fd);

// One recvmsg on `fd` (non-blocking) into `buffer`; `from` may be null. On
// success `arrived` is the stamp on this process's steady clock, or now when
// there is none.
ssize_t receiveStamped(int fd, char* buffer, std::size_t size, sockaddr_storage* from, socklen_t* fromLength,
                       std::chrono::steady_clock::time_point& arrived);

} // namespace sim
