// SPDX-License-Identifier: GPL-3.0-or-later
// Round trips and losses over a session's time, in a fixed number of bins:
// what a plot of round trip against time is drawn from, for a whole run or
// for the last minute or so of a live one.
#pragma once

#include "session/latency_histogram.h"

#include <QVector>

#include <memory>
#include <vector>

// Round trips over time in a fixed number of bins, for the plot: however
// long the run, memory stays the same. Growing, when the run outgrows the
// bins, neighbours are merged in pairs and each bin covers twice the time.
// Sliding, the bins keep their width and cover the latest stretch of time
// only: the newest value moves the window on and bins older than it are
// emptied for reuse, so a live chart of the last minute costs the same per
// value however long the session runs.
class TimeBins {
public:
    enum class Window { Growing, Sliding };

    struct Bin {
        qint64 startNs = 0;
        qint64 endNs = 0;
        quint64 replies = 0;
        quint64 lost = 0;
        qint64 minNs = 0; // round-trip figures, when replies > 0
        qint64 medianNs = 0; // to within 3 %
        qint64 maxNs = 0;
    };

    explicit TimeBins(int binCount = 500, qint64 firstWidthNs = 10'000'000, Window window = Window::Growing);

    // `atNs`: when the request was sent, since the run began. Sliding, a
    // value before the window is dropped, and one after it moves it on.
    void addReply(qint64 atNs, qint64 roundTripNs);
    void addLost(qint64 atNs);
    // Sliding: moves the window on to hold `nowNs` even when nothing comes
    // in, so that a silence shows as empty bins rather than a stopped chart.
    // Growing: nothing.
    void advanceTo(qint64 nowNs);
    // Empty again, of the same shape and, growing, of the first width.
    void clear();

    qint64 widthNs() const { return m_widthNs; }
    bool sliding() const { return m_window == Window::Sliding; }
    // The time the bins cover, binCount bins long: growing, from 0; sliding,
    // up to the end of the newest bin (from 0 until the session is that long).
    qint64 windowStartNs() const;
    qint64 windowEndNs() const;
    // The bins that hold anything, in time order.
    QVector<Bin> bins() const;

private:
    struct Slot {
        std::unique_ptr<LatencyHistogram> roundTrip; // made on first use
        quint64 lost = 0;
    };
    Slot& slotFor(qint64 atNs);
    Slot* slidingSlotFor(qint64 atNs);
    void widen();

    Window m_window;
    qint64 m_firstWidthNs;
    qint64 m_widthNs;
    std::vector<Slot> m_slots;
    // Sliding: the index (start / width) of the newest bin, -1 before any;
    // bin k lives in slot k % size.
    qint64 m_newest = -1;
};
