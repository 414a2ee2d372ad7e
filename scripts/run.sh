#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is missing, builds, starts the bundled module simulator on
# 127.0.0.1 (TCP 2004, UDP 2005), says where it really listens and opens the
# tool; the simulator stops when the window closes. When the simulator cannot
# start (say the address is taken), prints its reason and opens nothing.
# Usage: scripts/run.sh [module-sim options...]   (RUN_BUILD picks the build
# directory, default build)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
build=${RUN_BUILD:-build}
scripts/install-deps.sh
scripts/build.sh "$build"
echo "run: starting $build/tools/module-sim/module-sim"
if ! start_module_sim "$build/tools/module-sim/module-sim" "$@"; then
    echo "run: the simulator did not start, so the tool was not opened" >&2
    exit 1
fi
echo "run: simulator listening on $SIM_HOST, TCP port $SIM_TCP_PORT, UDP port $SIM_UDP_PORT"
echo "run: opening $build/src/app/vexa-test"
# In the background, so that a signal to this script reaches its exit hooks
# at once and stops the simulator.
"$build/src/app/vexa-test" &
app=$!
on_exit "stop_process $app"
wait "$app"
