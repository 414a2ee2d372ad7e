// SPDX-License-Identifier: GPL-3.0-or-later
// Slot arithmetic for the fixed request grid.
#include "request_schedule.h"

#include <algorithm>

RequestSchedule::RequestSchedule(qint64 intervalNs, qint64 phaseNs)
    : m_intervalNs(std::max<qint64>(1, intervalNs))
    , m_phaseNs(phaseNs % m_intervalNs)
{
}

void RequestSchedule::start(qint64 nowNs)
{
    m_running = true;
    m_owed = 0;
    // The first slot at or after now.
    const qint64 sinceFirst = nowNs - m_phaseNs;
    m_nextSlot = sinceFirst <= 0 ? 0 : (sinceFirst + m_intervalNs - 1) / m_intervalNs;
}

void RequestSchedule::advance(qint64 nowNs)
{
    if (!m_running || nowNs < nextSlotNs())
        return;
    const qint64 come = (nowNs - nextSlotNs()) / m_intervalNs + 1;
    m_nextSlot += come;
    m_owed = static_cast<int>(std::min<qint64>(kMaxOwed, m_owed + come));
}

bool RequestSchedule::takeDue(qint64 nowNs)
{
    advance(nowNs);
    if (!m_running || m_owed == 0)
        return false;
    --m_owed;
    return true;
}

bool RequestSchedule::isDue(qint64 nowNs)
{
    advance(nowNs);
    return m_running && m_owed > 0;
}

qint64 RequestSchedule::nextSlotNs() const
{
    return m_phaseNs + m_nextSlot * m_intervalNs;
}
