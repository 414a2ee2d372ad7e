// SPDX-License-Identifier: GPL-3.0-or-later
// The millisecond counter that times each reply, read as a 32-bit signed
// value, and the wrap-safe difference of two readings.
#pragma once

#include <QtGlobal>

// In a namespace of its own, so that it never meets the Win32 function of
// the same name.
namespace tick {

// Milliseconds of a monotonic clock (time since system start on Linux),
// truncated to 32 bits; it wraps after about 49.7 days.
qint32 GetTickCount();

// Milliseconds from `since` to `now`. Computed modulo 2^32, so the result
// stays right when the counter crosses 2147483647 between the two readings.
constexpr qint32 elapsedMs(qint32 now, qint32 since)
{
    return static_cast<qint32>(static_cast<quint32>(now) - static_cast<quint32>(since));
}

} // namespace tick
