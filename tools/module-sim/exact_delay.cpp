// SPDX-License-Identifier: GPL-3.0-or-later
// A timer fires within a millisecond of its time, mostly late, and a client
// timing the module would see that millisecond as the module's. So the timer
// is set a millisecond early and the rest is waited out awake: a thread woken
// from a sleep here comes back up to a few hundred microseconds late.
#include "exact_delay.h"

#include <QTimer>

#include <chrono>

namespace sim {

void runAfter(QObject* context, int delayMs, std::function<void()> step)
{
    const auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs);
    QTimer::singleShot(std::max(0, delayMs - 1), Qt::PreciseTimer, context, [due, step = std::move(step)] {
        while (std::chrono::steady_clock::now() < due) { }
        step();
    });
}

} // namespace sim
