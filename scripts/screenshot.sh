#!/usr/bin/env bash
# Opens the tool under a virtual X server and writes a PNG of the screen.
# Usage: scripts/screenshot.sh [output.png] [build-dir]   (extra env, e.g. QT_SCALE_FACTOR=2, passes through)
set -euo pipefail
out=${1:-docs/screenshot.png}
build=${2:-build}
display=:${SCREENSHOT_DISPLAY:-97}
echo "screenshot: starting Xvfb on $display"
Xvfb "$display" -screen 0 ${SCREENSHOT_SCREEN:-520x560x24} -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $app $xvfb 2>/dev/null || true' EXIT
for _ in $(seq 50); do xdpyinfo -display "$display" >/dev/null 2>&1 && break; sleep 0.1; done
echo "screenshot: opening $build/src/vexa-test"
DISPLAY=$display QT_QPA_PLATFORM=xcb "$build/src/vexa-test" &
app=$!
for _ in $(seq 100); do xdotool search --name "Vexa Test" >/dev/null 2>&1 && break; sleep 0.1; done
sleep 1
mkdir -p "$(dirname "$out")"
DISPLAY=$display import -window root "$out"
echo "screenshot: wrote $out"
