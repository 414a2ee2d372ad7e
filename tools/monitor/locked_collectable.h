// SPDX-License-Identifier: GPL-3.0-or-later
// What the web server scrapes: the registry, collected under a lock that a
// reload holds while it adds and removes targets, so that no scrape sees a
// target with half its metrics.
#pragma once

#include <prometheus/collectable.h>
#include <prometheus/registry.h>

#include <memory>
#include <mutex>
#include <vector>

class LockedCollectable : public prometheus::Collectable {
public:
    explicit LockedCollectable(std::shared_ptr<prometheus::Registry> registry);

    // Runs on the web server's threads.
    std::vector<prometheus::MetricFamily> Collect() const override;

    // Held while the set of metrics changes. Updating a value needs no lock:
    // prometheus-cpp's counters, gauges and histograms are safe to update
    // while they are collected.
    std::mutex& changeLock() const { return m_mutex; }

private:
    std::shared_ptr<prometheus::Registry> m_registry;
    mutable std::mutex m_mutex;
};
