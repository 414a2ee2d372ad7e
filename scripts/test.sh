#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is missing, builds and runs the whole test suite. The
# Prometheus server is for the monitor's test against a real one, Xvfb and
# xprop for the window titles as an X server holds them, tshark and
# tcpdump for the Wireshark dissector's tests.
# Usage: scripts/test.sh [build-dir] [extra cmake options...]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
scripts/install-deps.sh prometheus xvfb x11-utils tshark tcpdump
scripts/build.sh "$@"
echo "test: running ctest in $build"
ctest --test-dir "$build" --output-on-failure -j1
