// SPDX-License-Identifier: GPL-3.0-or-later
// Monotonic millisecond counter.
#include "session/tick_counter.h"

#include <chrono>

qint32 tick::GetTickCount()
{
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    return static_cast<qint32>(static_cast<quint32>(static_cast<quint64>(ms)));
}
