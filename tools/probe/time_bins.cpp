// SPDX-License-Identifier: GPL-3.0-or-later
// Time bins for the plot.
#include "time_bins.h"

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
    for (size_t i = 0; i < n; ++i) {
        Slot merged;
        if (2 * i < n) {
            Slot& a = m_slots[2 * i];
            Slot& b = m_slots[2 * i + 1 < n ? 2 * i + 1 : 2 * i];
            merged.lost = a.lost + (&a == &b ? 0 : b.lost);
            merged.roundTrip = std::move(a.roundTrip);
            if (&a != &b && b.roundTrip) {
                if (merged.roundTrip)
                    merged.roundTrip->merge(*b.roundTrip);
                else
                    merged.roundTrip = std::move(b.roundTrip);
            }
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
    QVector<Bin> result;
    for (size_t i = 0; i < m_slots.size(); ++i) {
        const Slot& slot = m_slots[i];
        const quint64 replies = slot.roundTrip ? slot.roundTrip->count() : 0;
        if (replies == 0 && slot.lost == 0)
            continue;
        Bin bin;
        bin.startNs = qint64(i) * m_widthNs;
        bin.endNs = bin.startNs + m_widthNs;
        bin.replies = replies;
        bin.lost = slot.lost;
        if (replies) {
            bin.minNs = slot.roundTrip->min();
            bin.medianNs = slot.roundTrip->percentile(50);
            bin.maxNs = slot.roundTrip->max();
        }
        result.append(bin);
    }
    return result;
}
