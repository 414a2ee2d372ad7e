// SPDX-License-Identifier: GPL-3.0-or-later
// Runs a step a set number of milliseconds from now, to within the wake-up
// time of a sleeping thread rather than the millisecond a timer keeps.
#pragma once

#include <QObject>
#include <chrono>
#include <functional>

namespace sim {

// Calls `step` on `context`'s thread `delayMs` after `since`, unless
// `context` is gone by then.
void runAfter(QObject* context, std::chrono::steady_clock::time_point since, int delayMs,
              std::function<void()> step);

} // namespace sim
