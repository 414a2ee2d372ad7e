// SPDX-License-Identifier: GPL-3.0-or-later
// Log lines on stderr.
#include "monitor_log.h"

#include <cstdio>

void logLine(const QString& text)
{
    // One write per line, so that lines never interleave.
    const QByteArray line = "vexa-monitor: " + text.toLocal8Bit() + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}
