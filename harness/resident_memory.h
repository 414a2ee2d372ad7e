// SPDX-License-Identifier: GPL-3.0-or-later
// Reads this process's memory figures, to tell a leak from a steady state.
#pragma once

namespace harness {

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM"); 0 where there is none.
long statusKiB(const char* field);
inline long residentKiB()
{
    return statusKiB("VmRSS");
}

} // namespace harness
