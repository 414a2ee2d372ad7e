#!/usr/bin/env bash
# Configures (once) and builds the project incrementally.
# Usage: scripts/build.sh [build-dir] [extra cmake options...]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shift || true
if [ ! -f "$build/CMakeCache.txt" ]; then
    echo "build: configuring $build"
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
fi
echo "build: building $build"
cmake --build "$build" -j"$(nproc)"
