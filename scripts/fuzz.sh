#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the codec's libFuzzer targets with clang-14 (fuzz/, build-fuzz/) and
# runs each for a bounded time on its seed corpus; any finding fails the run
# and leaves the crashing input in build-fuzz/findings/<target>/.
# Usage: scripts/fuzz.sh [seconds-per-target] [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
seconds=${1:-30}
build=${2:-build-fuzz}
scripts/install-deps.sh clang-14 libclang-rt-14-dev
configure_once "$build" -S fuzz -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j"${FUZZ_JOBS:-2}"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
for target in fuzz_frame_display fuzz_request_encoder fuzz_reply_assembler; do
    # New inputs go to a scratch directory so the committed seeds stay small.
    work="$build/corpus/$target"
    findings="$build/findings/$target"
    mkdir -p "$work" "$findings"
    echo "fuzz: $target for ${seconds}s"
    "$build/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$findings/" "$work" "fuzz/corpus/$target"
done
echo "fuzz: no findings"
