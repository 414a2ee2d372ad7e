#!/usr/bin/env bash
# Builds Release in build-bench and runs vexa-bench: the socket floor and the
# window in continuous mode, offscreen and on an X server. Starts Xvfb when
# DISPLAY is unset and Xvfb is installed. Extra arguments go to vexa-bench
# (--cycles N, --no-fidelity, --platform offscreen|xcb).
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-bench
scripts/install-deps.sh xvfb
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release
fi
cmake --build "$build" -j2 --target vexa-bench module-sim
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    export XDG_RUNTIME_DIR=/tmp/runtime-$(id -u)
    mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
fi
if [ -z "${DISPLAY:-}" ] && command -v Xvfb >/dev/null; then
    display=:${BENCH_DISPLAY:-96}
    Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb=$!
    trap 'kill $xvfb 2>/dev/null || true' EXIT
    for _ in $(seq 50); do
        [ -e "/tmp/.X11-unix/X${display#:}" ] && break
        sleep 0.1
    done
    export DISPLAY=$display
fi
"$build/bench/vexa-bench" "$@"
