// SPDX-License-Identifier: GPL-3.0-or-later
// Round trips and losses over a session's time, in a fixed number of bins:
// what a plot of round trip against time is drawn from.
#pragma once

#include "session/latency_histogram.h"

#include <QVector>

#include <memory>
#include <vector>

// Round trips over the run's time in a fixed number of bins, for the plot:
// however long the run, memory stays the same. When the run outgrows the
// bins, neighbours are merged in pairs and each bin covers twice the time.
class TimeBins {
public:
    struct Bin {
        qint64 startNs = 0;
        qint64 endNs = 0;
        quint64 replies = 0;
        quint64 lost = 0;
        qint64 minNs = 0; // round-trip figures, when replies > 0
        qint64 medianNs = 0; // to within 3 %
        qint64 maxNs = 0;
    };

    explicit TimeBins(int binCount = 500, qint64 firstWidthNs = 10'000'000);

    // `atNs`: when the request was sent, since the run began.
    void addReply(qint64 atNs, qint64 roundTripNs);
    void addLost(qint64 atNs);

    qint64 widthNs() const { return m_widthNs; }
    // The bins that hold anything, in time order.
    QVector<Bin> bins() const;

private:
    struct Slot {
        std::unique_ptr<LatencyHistogram> roundTrip; // made on first use
        quint64 lost = 0;
    };
    Slot& slotFor(qint64 atNs);
    void widen();

    qint64 m_widthNs;
    std::vector<Slot> m_slots;
};
