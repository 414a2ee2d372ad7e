// SPDX-License-Identifier: GPL-3.0-or-later
// The difference between the running targets and a file read again.
#include "reload_plan.h"

#include <algorithm>

namespace {

const TargetConfig* findByName(const std::vector<TargetConfig>& targets, const QString& name)
{
    const auto it = std::find_if(targets.begin(), targets.end(),
                                 [&name](const TargetConfig& target) { return target.name == name; });
    return it == targets.end() ? nullptr : &*it;
}

} // namespace

bool sameLabels(const TargetConfig& a, const TargetConfig& b)
{
    return a.name == b.name && a.host == b.host && a.protocol == b.protocol && a.labels == b.labels;
}

ReloadPlan planReload(const std::vector<TargetConfig>& running, const std::vector<TargetConfig>& next)
{
    ReloadPlan plan;
    for (const TargetConfig& old : running) {
        const TargetConfig* kept = findByName(next, old.name);
        if (!kept || !sameLabels(old, *kept))
            plan.removed.push_back(old.name);
    }
    for (const TargetConfig& target : next) {
        const TargetConfig* old = findByName(running, target.name);
        if (!old || !sameLabels(*old, target))
            plan.added.push_back(target);
        else if (sameSettings(*old, target))
            plan.unchanged.push_back(target.name);
        else
            plan.restarted.push_back(target);
    }
    return plan;
}
