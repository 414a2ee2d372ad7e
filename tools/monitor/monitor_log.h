// SPDX-License-Identifier: GPL-3.0-or-later
// The monitor's log: one line per event on stderr, which systemd's journal
// keeps, each starting "vexa-monitor: ".
#pragma once

#include <QString>

void logLine(const QString& text);
