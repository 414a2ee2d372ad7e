// SPDX-License-Identifier: GPL-3.0-or-later
// Metric names, help texts and the children of each target.
#include "monitor_metrics.h"

#include "round_trip_buckets.h"

#include <prometheus/registry.h>

namespace {

using prometheus::Counter;
using prometheus::Family;
using prometheus::Gauge;

Family<Counter>& counter(prometheus::Registry& registry, const char* name, const char* help)
{
    return prometheus::BuildCounter().Name(name).Help(help).Register(registry);
}

Family<Gauge>& gauge(prometheus::Registry& registry, const char* name, const char* help)
{
    return prometheus::BuildGauge().Name(name).Help(help).Register(registry);
}

// The check label's value for each ReplyFault bit: Prometheus label values
// are conventionally snake_case.
constexpr std::array<const char*, kReplyFaultKinds> kCheckNames = {"short", "checksum", "length",
                                                                   "company_id", "invoke_id"};

prometheus::Labels with(prometheus::Labels labels, const char* name, const char* value)
{
    labels.emplace(name, value);
    return labels;
}

} // namespace

MonitorMetrics::MonitorMetrics()
    : m_registry(std::make_shared<prometheus::Registry>())
    , m_collectable(std::make_shared<LockedCollectable>(m_registry))
    , m_sent(counter(*m_registry, "vexa_requests_sent_total", "Requests sent to the module."))
    , m_replies(counter(*m_registry, "vexa_replies_total",
                        "Replies that answered their request within the reply timeout."))
    , m_lost(counter(*m_registry, "vexa_requests_lost_total",
                     "Requests given up without a reply in time (timeout, overtaken, or the connection "
                     "ended)."))
    , m_late(counter(*m_registry, "vexa_replies_late_total",
                     "Replies that came after their request had been given up."))
    , m_unexpected(counter(*m_registry, "vexa_replies_unexpected_total", "Replies that answered no request."))
    , m_checkFailures(counter(*m_registry, "vexa_reply_check_failures_total",
                              "Replies in time that failed a check, by check."))
    , m_roundTrip(prometheus::BuildHistogram()
                      .Name("vexa_round_trip_seconds")
                      .Help("Round trip of the replies in time that passed every check.")
                      .Register(*m_registry))
    , m_connected(gauge(*m_registry, "vexa_target_connected",
                        "1 while the TCP connection is open or the UDP session runs without a socket error."))
    , m_lastReply(gauge(*m_registry, "vexa_last_reply_timestamp_seconds",
                        "Unix time of the last reply in time; 0 before the first."))
    , m_attempts(counter(*m_registry, "vexa_connection_attempts_total",
                         "TCP connections opened or tried, UDP sessions started."))
    , m_failures(counter(*m_registry, "vexa_connection_failures_total",
                         "TCP connections that could not be opened, UDP sessions ended by a socket error."))
    , m_reloads(counter(*m_registry, "vexa_monitor_config_reloads_total",
                        "Reloads of the targets file, by result."))
    , m_reloadsSucceeded(m_reloads.Add({{"result", "success"}}))
    , m_reloadsFailed(m_reloads.Add({{"result", "failure"}}))
    , m_lastReloadSuccessful(gauge(*m_registry, "vexa_monitor_config_last_reload_successful",
                                   "1 when the targets file in use is the last one read, 0 when that was "
                                   "refused.")
                                 .Add({}))
    , m_buckets(roundTripBuckets())
{
    m_lastReloadSuccessful.Set(1);
}

TargetMetrics MonitorMetrics::addTarget(const prometheus::Labels& labels)
{
    TargetMetrics m;
    m.labels = labels;
    m.sent = &m_sent.Add(labels);
    m.replies = &m_replies.Add(labels);
    m.lost = &m_lost.Add(labels);
    m.late = &m_late.Add(labels);
    m.unexpected = &m_unexpected.Add(labels);
    for (int i = 0; i < kReplyFaultKinds; ++i)
        m.checkFailures[size_t(i)] = &m_checkFailures.Add(with(labels, "check", kCheckNames[size_t(i)]));
    m.roundTrip = &m_roundTrip.Add(labels, m_buckets);
    m.connected = &m_connected.Add(labels);
    m.lastReply = &m_lastReply.Add(labels);
    m.attempts = &m_attempts.Add(labels);
    m.failures = &m_failures.Add(labels);
    return m;
}

void MonitorMetrics::removeTarget(const TargetMetrics& m)
{
    m_sent.Remove(m.sent);
    m_replies.Remove(m.replies);
    m_lost.Remove(m.lost);
    m_late.Remove(m.late);
    m_unexpected.Remove(m.unexpected);
    for (prometheus::Counter* failures : m.checkFailures)
        m_checkFailures.Remove(failures);
    m_roundTrip.Remove(m.roundTrip);
    m_connected.Remove(m.connected);
    m_lastReply.Remove(m.lastReply);
    m_attempts.Remove(m.attempts);
    m_failures.Remove(m.failures);
}

void MonitorMetrics::countReload(bool success)
{
    (success ? m_reloadsSucceeded : m_reloadsFailed).Increment();
    m_lastReloadSuccessful.Set(success ? 1 : 0);
}
