#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs a Qt Test program built for Windows under Wine, as ctest's emulator
# for the Windows build: Qt Test's log on stdout does not come through Wine,
# so the program writes it to a file, which is then printed. The program's
# exit status is kept.
# Usage: scripts/wine-test-runner.sh <program.exe> [Qt Test options...]
set -uo pipefail
log=$(mktemp --suffix=.txt)
trap 'rm -f "$log"' EXIT
# The log's Windows path, on the drive Z: that Wine maps to "/".
wine "$@" -o "Z:${log//\//\\},txt"
status=$?
cat "$log"
exit $status
