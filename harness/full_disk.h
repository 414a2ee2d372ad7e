// SPDX-License-Identifier: GPL-3.0-or-later
// A full disk for as long as one lives: file writes beyond a few bytes fail,
// even for root, whom a read-only folder does not stop.
#pragma once

#include <csignal>
#include <sys/resource.h>

class FullDisk {
public:
    FullDisk()
    {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &m_before);
        rlimit tiny = m_before;
        tiny.rlim_cur = 16;
        setrlimit(RLIMIT_FSIZE, &tiny);
    }
    ~FullDisk() { setrlimit(RLIMIT_FSIZE, &m_before); }
    FullDisk(const FullDisk&) = delete;
    FullDisk& operator=(const FullDisk&) = delete;

private:
    rlimit m_before{};
};
