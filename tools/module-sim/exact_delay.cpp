// SPDX-License-Identifier: GPL-3.0-or-later
// A timer fires within a millisecond of its time, mostly late, and a client
// timing the module would see that millisecond as the module's. So the timer
// is set a millisecond early and the rest is waited out awake: a thread woken
// from a sleep here comes back up to a few hundred microseconds late.
#include "exact_delay.h"

#include <QTimer>

#include <chrono>

namespace sim {

void runAfter(QObject* context, std::chrono::steady_clock::time_point since, std::chrono::microseconds delay,
              std::function<void()> step)
{
    using namespace std::chrono;
    const auto due = since + delay;
    const auto timerMs = duration_cast<milliseconds>(due - steady_clock::now()) - milliseconds(1);
    QTimer::singleShot(std::max<qint64>(0, timerMs.count()), Qt::PreciseTimer, context,
                       [due, step = std::move(step)] {
                           while (steady_clock::now() < due) { }
                           step();
                       });
}

} // namespace sim
