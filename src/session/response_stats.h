// SPDX-License-Identifier: GPL-3.0-or-later
// Smallest and largest response time since the window loaded.
#pragma once

#include <QtGlobal>
#include <limits>

struct ResponseStats {
    // The first reply lowers the one and raises the other, so both start at
    // the far end of their range.
    qint32 MinTime = std::numeric_limits<qint32>::max();
    qint32 MaxTime = 0;

    // Two independent strict tests: a time equal to an extreme changes nothing.
    void record(qint32 elapsed)
    {
        if (elapsed < MinTime)
            MinTime = elapsed;
        if (elapsed > MaxTime)
            MaxTime = elapsed;
    }
};
