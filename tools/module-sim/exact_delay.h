// SPDX-License-Identifier: GPL-3.0-or-later
// Runs a step a set number of milliseconds from now, to within the wake-up
// time of a sleeping thread rather than the millisecond a timer keeps.
#pragma once

#include <QObject>
#include <chrono>
#include <functional>

namespace sim {

// Calls `step` on `context`'s thread `delay` after `since`, unless
// `context` is gone by then. Each call has its own timer, so any number of
// steps may wait at once and run in the order they fall due.
void runAfter(QObject* context, std::chrono::steady_clock::time_point since, std::chrono::microseconds delay,
              std::function<void()> step);

} // namespace sim
