// SPDX-License-Identifier: GPL-3.0-or-later
// What a reload does to the running targets: which stay as they are, which
// keep their counters but start again with new settings, which come and
// which go.
#pragma once

#include "monitor_config.h"

#include <QString>

#include <vector>

struct ReloadPlan {
    std::vector<QString> removed; // gone from the file, or relabelled
    std::vector<QString> unchanged; // left running as they are
    std::vector<TargetConfig> restarted; // same labels, new settings: counters kept
    std::vector<TargetConfig> added; // new, or relabelled: counters from 0
};

// A target keeps its metrics while its labels stay: name, host, protocol
// and the file's labels. A change of any of them is another series to
// Prometheus, so the old one goes and a new one starts.
bool sameLabels(const TargetConfig& a, const TargetConfig& b);

ReloadPlan planReload(const std::vector<TargetConfig>& running, const std::vector<TargetConfig>& next);
