#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds Release in build-bench and runs vexa-bench: the socket floor and the
# window in continuous mode, offscreen and on an X server. Starts Xvfb when
# DISPLAY is unset and Xvfb is installed. Extra arguments go to vexa-bench
# (--cycles N, --no-fidelity, --platform offscreen|xcb).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
build="build-bench"
scripts/install-deps.sh xvfb x11-utils
configure_once "$build" -DCMAKE_BUILD_TYPE=Release
cmake --build "$build" -j2 --target vexa-bench module-sim
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    XDG_RUNTIME_DIR=/tmp/runtime-$(id -u)
    export XDG_RUNTIME_DIR
    mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
fi
if [ -z "${DISPLAY:-}" ] && command -v Xvfb >/dev/null; then
    start_xvfb 1024x768
    echo "bench: Xvfb on $DISPLAY"
fi
"$build/bench/vexa-bench" "$@"
