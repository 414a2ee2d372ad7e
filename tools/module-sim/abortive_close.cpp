// SPDX-License-Identifier: GPL-3.0-or-later
// SO_LINGER with a zero time, so that close() resets the connection.
#include "abortive_close.h"

#include <sys/socket.h>

namespace sim {

void makeCloseAbortive(int fd)
{
    const linger abortive{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
}

} // namespace sim
