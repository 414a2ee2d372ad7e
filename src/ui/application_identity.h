// SPDX-License-Identifier: GPL-3.0-or-later
// The names the application goes by: where its settings live, its version,
// and how desktops match its windows to its desktop entry.
#pragma once

// After the QApplication exists, before any window or QSettings.
void applyApplicationIdentity();
