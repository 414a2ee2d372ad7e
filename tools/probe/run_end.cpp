// SPDX-License-Identifier: GPL-3.0-or-later
// Exit status and end words.
#include "run_end.h"

int probeExitStatus(const RunEnd& end, const ProbeFigures& total)
{
    if (end.kind == RunEnd::Kind::Unreachable)
        return 3;
    if (end.kind == RunEnd::Kind::ConnectionEnded || end.kind == RunEnd::Kind::OutputFailed)
        return 1;
    // Bytes that answer no request are the module's fault as much as a
    // reply that fails a check.
    if (total.received == 0 || total.lost > 0 || total.failed > 0 || total.unexpected > 0)
        return 1;
    return 0;
}

QString runEndWord(RunEnd::Kind kind)
{
    switch (kind) {
    case RunEnd::Kind::Completed:
        return QStringLiteral("completed");
    case RunEnd::Kind::Interrupted:
        return QStringLiteral("interrupted");
    case RunEnd::Kind::ConnectionEnded:
        return QStringLiteral("connection-ended");
    case RunEnd::Kind::Unreachable:
        return QStringLiteral("unreachable");
    case RunEnd::Kind::OutputFailed:
        return QStringLiteral("output-failed");
    }
    return {};
}
