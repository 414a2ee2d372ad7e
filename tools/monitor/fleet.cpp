// SPDX-License-Identifier: GPL-3.0-or-later
// Starting, reloading and stopping the targets.
#include "fleet.h"

#include "reload_plan.h"

#include <mutex>
#include <vector>

namespace {

prometheus::Labels labelsOf(const TargetConfig& target)
{
    prometheus::Labels labels{{"target", target.name.toStdString()},
                              {"host", target.host.toStdString()},
                              {"protocol", protocolName(target.protocol).toStdString()}};
    for (const auto& [name, value] : target.labels)
        labels.emplace(name.toStdString(), value.toStdString());
    return labels;
}

} // namespace

Fleet::Fleet(MonitorMetrics& metrics, TargetRunner::Log log, QObject* parent)
    : QObject(parent)
    , m_metrics(metrics)
    , m_log(std::move(log))
{
}

Fleet::~Fleet() = default;

std::unique_ptr<TargetRunner> Fleet::makeRunner(const TargetConfig& config, const TargetMetrics& metrics)
{
    return std::make_unique<TargetRunner>(config, metrics, m_log);
}

void Fleet::start(const MonitorConfig& config)
{
    std::vector<TargetRunner*> started;
    {
        const std::lock_guard<std::mutex> lock(m_metrics.changeLock());
        for (const TargetConfig& target : config.targets) {
            auto runner = makeRunner(target, m_metrics.addTarget(labelsOf(target)));
            started.push_back(runner.get());
            m_targets[target.name] = std::move(runner);
        }
    }
    for (TargetRunner* runner : started)
        runner->start();
}

void Fleet::reload(const QString& path)
{
    const MonitorConfigRead read = loadMonitorConfig(path);
    if (!read.config) {
        m_metrics.countReload(false);
        m_log(QStringLiteral("reload refused, the %1 running targets stay: %2")
                  .arg(m_targets.size())
                  .arg(read.error));
        return;
    }
    apply(*read.config, path);
    m_metrics.countReload(true);
}

void Fleet::apply(const MonitorConfig& config, const QString& path)
{
    std::vector<TargetConfig> running;
    for (const auto& [name, runner] : m_targets)
        running.push_back(runner->config());
    const ReloadPlan plan = planReload(running, config.targets);

    std::vector<TargetRunner*> started;
    {
        // A scrape sees the targets before the reload or after it, each
        // with all its metrics.
        const std::lock_guard<std::mutex> lock(m_metrics.changeLock());
        for (const QString& name : plan.removed) {
            const auto it = m_targets.find(name);
            const TargetMetrics metrics = it->second->metrics();
            // The runner goes first: it must not count into removed metrics.
            m_targets.erase(it);
            m_metrics.removeTarget(metrics);
        }
        for (const TargetConfig& target : plan.restarted) {
            std::unique_ptr<TargetRunner>& slot = m_targets[target.name];
            const TargetMetrics metrics = slot->metrics();
            slot.reset();
            slot = makeRunner(target, metrics);
            started.push_back(slot.get());
        }
        for (const TargetConfig& target : plan.added) {
            auto runner = makeRunner(target, m_metrics.addTarget(labelsOf(target)));
            started.push_back(runner.get());
            m_targets[target.name] = std::move(runner);
        }
    }
    for (TargetRunner* runner : started)
        runner->start();

    const std::size_t kept = plan.unchanged.size() + plan.restarted.size();
    m_log(QStringLiteral("reloaded %1: %2 targets; %3 kept (%4 with new settings), %5 added, %6 removed")
              .arg(path)
              .arg(m_targets.size())
              .arg(kept)
              .arg(plan.restarted.size())
              .arg(plan.added.size())
              .arg(plan.removed.size()));
}
