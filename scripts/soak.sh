#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Soak: the window in continuous mode against the module simulator for one
# million cycles or ten minutes, whichever comes first, in an ASan+UBSan
# build; fails on any sanitizer report, message, lost reply or memory growth.
# Usage: scripts/soak.sh [cycles] [seconds] [--udp]   (not part of CI)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
cycles=${1:-1000000}
seconds=${2:-600}
shift 2 || shift $# || true
build=${SOAK_BUILD:-build-soak}
host=${SOAK_HOST:-127.0.0.90}
configure_once "$build" -DCMAKE_BUILD_TYPE=Debug -DVEXA_SANITIZE=ON -DVEXA_SOAK=ON -DBUILD_TESTING=OFF
cmake --build "$build" -j"${SOAK_JOBS:-2}" --target vexa-soak module-sim

# A small quarantine, so that freed memory held back by ASan does not pass
# for growth.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:quarantine_size_mb=16"
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export QT_QPA_PLATFORM=offscreen QT_LOGGING_RULES="qt.qpa.*=false"

start_module_sim "$build/tools/module-sim/module-sim" --host "$host" ||
    { echo "soak: simulator did not start"; exit 1; }

echo "soak: $cycles cycles or ${seconds}s against $host (tcp $SIM_TCP_PORT, udp $SIM_UDP_PORT)"
"$build/tools/soak/vexa-soak" --host "$host" --cycles "$cycles" --seconds "$seconds" "$@"
