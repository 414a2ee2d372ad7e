// SPDX-License-Identifier: GPL-3.0-or-later
// recvmsg with SO_TIMESTAMPNS, the stamp moved onto the steady clock.
#include "stamped_receive.h"

#include <cstring>
#include <sys/uio.h>
#include <time.h>

namespace sim {

void enableArrivalStamps(int fd)
{
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
}

ssize_t receiveStamped(int fd, char* buffer, std::size_t size, sockaddr_storage* from, socklen_t* fromLength,
                       std::chrono::steady_clock::time_point& arrived)
{
    using namespace std::chrono;
    iovec data{buffer, size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    msghdr message{};
    message.msg_name = from;
    message.msg_namelen = from ? sizeof(sockaddr_storage) : 0;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t received = ::recvmsg(fd, &message, MSG_DONTWAIT);
    if (received < 0)
        return received;
    if (fromLength)
        *fromLength = message.msg_namelen;
    arrived = steady_clock::now();
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS)
            continue;
        // The stamp is on the wall clock; its age is what carries over.
        timespec stamp;
        std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
        timespec wall;
        ::clock_gettime(CLOCK_REALTIME, &wall);
        const auto age = (seconds(wall.tv_sec) + nanoseconds(wall.tv_nsec))
            - (seconds(stamp.tv_sec) + nanoseconds(stamp.tv_nsec));
        // A wall clock set back or forth meanwhile makes nonsense of it.
        if (age >= nanoseconds(0) && age < milliseconds(100))
            arrived -= duration_cast<steady_clock::duration>(age);
    }
    return received;
}

} // namespace sim
