// SPDX-License-Identifier: GPL-3.0-or-later
// Runs a step a set number of milliseconds from now, to within the wake-up
// time of a sleeping thread rather than the millisecond a timer keeps.
#pragma once

#include <QObject>
#include <functional>

namespace sim {

// Calls `step` on `context`'s thread `delayMs` after this call, unless
// `context` is gone by then.
void runAfter(QObject* context, int delayMs, std::function<void()> step);

} // namespace sim
