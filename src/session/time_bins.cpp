// SPDX-License-Identifier: GPL-3.0-or-later
// Time bins that widen by merging neighbours, or slide over a ring of bins of
// one width, so memory stays the same.
#include "session/time_bins.h"

#include <algorithm>

namespace {

// Five bits: buckets at most 6 % wide, medians within 3 %, about 5 KiB per
// bin in use. A plot shows no finer.
constexpr int kBinBits = 5;

} // namespace

TimeBins::TimeBins(int binCount, qint64 firstWidthNs, Window window)
    : m_window(window)
    , m_firstWidthNs(std::max<qint64>(firstWidthNs, 1))
    , m_widthNs(m_firstWidthNs)
    , m_slots(static_cast<size_t>(std::max(binCount, 2)))
{
}

TimeBins::Slot* TimeBins::slidingSlotFor(qint64 atNs)
{
    const qint64 index = std::max<qint64>(atNs, 0) / m_widthNs;
    const qint64 n = qint64(m_slots.size());
    if (index <= m_newest - n)
        return nullptr; // it fell out of the window already
    advanceTo(atNs);
    return &m_slots[static_cast<size_t>(index % n)];
}

void TimeBins::advanceTo(qint64 nowNs)
{
    if (m_window != Window::Sliding)
        return;
    const qint64 index = std::max<qint64>(nowNs, 0) / m_widthNs;
    const qint64 n = qint64(m_slots.size());
    // The bins that the window reaches now were last used a window ago:
    // emptied, their histograms kept to be filled again without allocating.
    // After a silence longer than the window, every bin once.
    for (qint64 k = std::max(m_newest + 1, index - n + 1); k <= index; ++k) {
        Slot& slot = m_slots[static_cast<size_t>(k % n)];
        if (slot.roundTrip)
            slot.roundTrip->reset();
        slot.lost = 0;
    }
    m_newest = std::max(m_newest, index);
}

void TimeBins::clear()
{
    for (Slot& slot : m_slots)
        slot = Slot{};
    m_widthNs = m_firstWidthNs;
    m_newest = -1;
}

qint64 TimeBins::windowEndNs() const
{
    const qint64 n = qint64(m_slots.size());
    return (m_window == Window::Sliding ? std::max(m_newest + 1, n) : n) * m_widthNs;
}

qint64 TimeBins::windowStartNs() const
{
    return windowEndNs() - qint64(m_slots.size()) * m_widthNs;
}

TimeBins::Slot& TimeBins::slotFor(qint64 atNs)
{
    atNs = std::max<qint64>(atNs, 0);
    while (atNs / m_widthNs >= qint64(m_slots.size()))
        widen();
    return m_slots[static_cast<size_t>(atNs / m_widthNs)];
}

void TimeBins::widen()
{
    const size_t n = m_slots.size();
    // Slot i takes slots 2i and 2i+1, which lie at or after it: each is read
    // before it is written.
    for (size_t i = 0; i < n; ++i) {
        Slot merged;
        for (size_t from = 2 * i; from < std::min(2 * i + 2, n); ++from) {
            Slot& part = m_slots[from];
            merged.lost += part.lost;
            if (part.roundTrip && merged.roundTrip)
                merged.roundTrip->merge(*part.roundTrip);
            else if (part.roundTrip)
                merged.roundTrip = std::move(part.roundTrip);
        }
        m_slots[i] = std::move(merged);
    }
    m_widthNs *= 2;
}

void TimeBins::addReply(qint64 atNs, qint64 roundTripNs)
{
    Slot* slot = m_window == Window::Sliding ? slidingSlotFor(atNs) : &slotFor(atNs);
    if (!slot)
        return;
    if (!slot->roundTrip)
        slot->roundTrip = std::make_unique<LatencyHistogram>(kBinBits);
    slot->roundTrip->record(roundTripNs);
}

void TimeBins::addLost(qint64 atNs)
{
    if (Slot* slot = m_window == Window::Sliding ? slidingSlotFor(atNs) : &slotFor(atNs))
        ++slot->lost;
}

QVector<TimeBins::Bin> TimeBins::bins() const
{
    static const LatencyHistogram none(kBinBits);
    QVector<Bin> result;
    // Sliding, the oldest bin in the window is the one after the newest in
    // the ring; growing, the first.
    const qint64 first = windowStartNs() / m_widthNs;
    const qint64 n = qint64(m_slots.size());
    for (qint64 k = first; k < first + n; ++k) {
        const Slot& slot = m_slots[static_cast<size_t>(k % n)];
        const LatencyHistogram& rtt = slot.roundTrip ? *slot.roundTrip : none;
        if (rtt.count() || slot.lost)
            result.append(Bin{k * m_widthNs, (k + 1) * m_widthNs, rtt.count(), slot.lost, rtt.min(),
                              rtt.percentile(50), rtt.max()});
    }
    return result;
}
