// SPDX-License-Identifier: GPL-3.0-or-later
// Everything a summary states besides the tally: what was probed, how, for
// how long, and how the run ended.
#pragma once

#include "run_end.h"

#include <QString>

struct RunSummary {
    QString host;
    bool udp = false;
    quint16 port = 0;
    int connections = 1;
    int timeoutMs = 0;
    qint64 durationNs = 0; // from the first request to the end of the run
    RunEnd end;
};
