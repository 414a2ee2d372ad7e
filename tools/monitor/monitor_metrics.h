// SPDX-License-Identifier: GPL-3.0-or-later
// The monitor's metric families, and each target's children in them: what
// /metrics serves.
#pragma once

#include "codec/reply_check.h"
#include "locked_collectable.h"

#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/labels.h>

#include <array>
#include <memory>
#include <vector>

// One target's metrics. They live as long as the target stays in the
// configuration with the same labels, whatever becomes of its connections.
struct TargetMetrics {
    prometheus::Labels labels;
    prometheus::Counter* sent = nullptr;
    prometheus::Counter* replies = nullptr;
    prometheus::Counter* lost = nullptr;
    prometheus::Counter* late = nullptr;
    prometheus::Counter* unexpected = nullptr;
    // By the bit number of the ReplyFault.
    std::array<prometheus::Counter*, kReplyFaultKinds> checkFailures{};
    prometheus::Histogram* roundTrip = nullptr;
    prometheus::Gauge* connected = nullptr;
    prometheus::Gauge* lastReply = nullptr;
    prometheus::Counter* attempts = nullptr;
    prometheus::Counter* failures = nullptr;
};

class MonitorMetrics {
public:
    MonitorMetrics();
    MonitorMetrics(const MonitorMetrics&) = delete;
    MonitorMetrics& operator=(const MonitorMetrics&) = delete;

    // For the web server.
    std::shared_ptr<LockedCollectable> collectable() const { return m_collectable; }
    // Held around addTarget and removeTarget calls that belong together.
    std::mutex& changeLock() const { return m_collectable->changeLock(); }

    // The target's children, at 0, or the ones it already has under the same
    // labels.
    TargetMetrics addTarget(const prometheus::Labels& labels);
    void removeTarget(const TargetMetrics& metrics);

    void countReload(bool success);

private:
    std::shared_ptr<prometheus::Registry> m_registry;
    std::shared_ptr<LockedCollectable> m_collectable;
    prometheus::Family<prometheus::Counter>& m_sent;
    prometheus::Family<prometheus::Counter>& m_replies;
    prometheus::Family<prometheus::Counter>& m_lost;
    prometheus::Family<prometheus::Counter>& m_late;
    prometheus::Family<prometheus::Counter>& m_unexpected;
    prometheus::Family<prometheus::Counter>& m_checkFailures;
    prometheus::Family<prometheus::Histogram>& m_roundTrip;
    prometheus::Family<prometheus::Gauge>& m_connected;
    prometheus::Family<prometheus::Gauge>& m_lastReply;
    prometheus::Family<prometheus::Counter>& m_attempts;
    prometheus::Family<prometheus::Counter>& m_failures;
    prometheus::Family<prometheus::Counter>& m_reloads;
    prometheus::Counter& m_reloadsSucceeded;
    prometheus::Counter& m_reloadsFailed;
    prometheus::Gauge& m_lastReloadSuccessful;
    std::vector<double> m_buckets;
};
