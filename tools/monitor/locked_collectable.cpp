// SPDX-License-Identifier: GPL-3.0-or-later
// The registry behind a lock for scrapes.
#include "locked_collectable.h"

#include <prometheus/metric_family.h>

#include <utility>

LockedCollectable::LockedCollectable(std::shared_ptr<prometheus::Registry> registry)
    : m_registry(std::move(registry))
{
}

std::vector<prometheus::MetricFamily> LockedCollectable::Collect() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_registry->Collect();
}
