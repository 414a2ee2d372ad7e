#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Configures (once) and builds the project incrementally.
# Usage: scripts/build.sh [build-dir] [extra cmake options...]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
build=${1:-build}
shift || true
configure_once "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
echo "build: building $build"
cmake --build "$build" -j"$(nproc)"
