// SPDX-License-Identifier: GPL-3.0-or-later
// A script of engine events fed to a probe run's tally, as its runner feeds
// it: each connection's tracker, and the summed round trips.
#pragma once

#include "harness/exchange_script.h"
#include "run_report.h"

#include <QtTest>

// Feeds `script` to the tally's trackers, as the probe's runner does.
inline void feed(RunTally& tally, const QString& script)
{
    for (int c = 1; c <= tally.connections(); ++c)
        tally.tracker(c).setSink([&tally](const Exchange& e) { tally.record(e); });
    QString error;
    QVERIFY2(
        ExchangeScript([&tally](int c) -> RequestTracker& { return tally.tracker(c); }).run(script, &error),
        qPrintable(error));
}
