// SPDX-License-Identifier: GPL-3.0-or-later
// Every target of the configuration, run side by side: started from the
// first file, and changed in place by a reload, keeping the counters of the
// targets that stay.
#pragma once

#include "monitor_config.h"
#include "monitor_metrics.h"
#include "target_runner.h"

#include <QObject>

#include <map>
#include <memory>

class Fleet : public QObject {
    Q_OBJECT
public:
    Fleet(MonitorMetrics& metrics, TargetRunner::Log log, QObject* parent = nullptr);
    ~Fleet() override;

    void start(const MonitorConfig& config);
    // Reads `path` again and applies it. A file that cannot be used is
    // refused, said and counted, and the running targets stay as they are.
    void reload(const QString& path);

    std::size_t size() const { return m_targets.size(); }

private:
    void apply(const MonitorConfig& config, const QString& path);
    std::unique_ptr<TargetRunner> makeRunner(const TargetConfig& config, const TargetMetrics& metrics);

    MonitorMetrics& m_metrics;
    TargetRunner::Log m_log;
    std::map<QString, std::unique_ptr<TargetRunner>> m_targets;
};
