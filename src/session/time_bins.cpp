// SPDX-License-Identifier: GPL-3.0-or-later
// Time bins that widen by merging neighbours, so memory stays the same.
#include "session/time_bins.h"

#include <algorithm>

namespace {

// Five bits: buckets at most 6 % wide, medians within 3 %, about 5 KiB per
// bin in use. A plot shows no finer.
constexpr int kBinBits = 5;

} // namespace

TimeBins::TimeBins(int binCount, qint64 firstWidthNs)
    : m_widthNs(std::max<qint64>(firstWidthNs, 1))
    , m_slots(static_cast<size_t>(std::max(binCount, 2)))
{
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
    Slot& slot = slotFor(atNs);
    if (!slot.roundTrip)
        slot.roundTrip = std::make_unique<LatencyHistogram>(kBinBits);
    slot.roundTrip->record(roundTripNs);
}

void TimeBins::addLost(qint64 atNs)
{
    ++slotFor(atNs).lost;
}

QVector<TimeBins::Bin> TimeBins::bins() const
{
    static const LatencyHistogram none(kBinBits);
    QVector<Bin> result;
    for (size_t i = 0; i < m_slots.size(); ++i) {
        const LatencyHistogram& rtt = m_slots[i].roundTrip ? *m_slots[i].roundTrip : none;
        if (rtt.count() || m_slots[i].lost)
            result.append(Bin{qint64(i) * m_widthNs, qint64(i + 1) * m_widthNs, rtt.count(), m_slots[i].lost,
                              rtt.min(), rtt.percentile(50), rtt.max()});
    }
    return result;
}
