#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Opens the tool under a virtual X server and writes a PNG of the screen.
# With --session it first starts the bundled simulator on 127.0.0.1 and
# clicks Connect and Send, so the picture shows a request and its reply.
# Usage: scripts/screenshot.sh [--session] [output.png] [build-dir]
# (QT_SCALE_FACTOR and other Qt variables pass through to the tool.)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
session=0
if [ "${1:-}" = "--session" ]; then session=1; shift; fi
out=${1:-docs/screenshot.png}
build=${2:-build}
scripts/install-deps.sh xvfb xdotool x11-utils imagemagick
scale=${QT_SCALE_FACTOR:-1}
width=$(( 470 * scale )); height=$(( 580 * scale ))

start_xvfb "${width}x${height}"
echo "screenshot: Xvfb on $DISPLAY (${width}x${height})"

if [ $session -eq 1 ]; then
    echo "screenshot: starting the simulator on 127.0.0.1"
    start_module_sim "$build/tools/module-sim/module-sim" >/dev/null
fi
echo "screenshot: opening $build/src/app/vexa-test"
# A configuration folder of its own, so that the picture shows the default
# texts rather than what was typed last.
config=$(mktemp -d)
on_exit "rm -rf '$config'"
QT_QPA_PLATFORM=xcb XDG_CONFIG_HOME="$config" "$build/src/app/vexa-test" &
app=$!
on_exit "stop_process $app"
window=""
for _ in $(seq 100); do
    window=$(xdotool search --name "Vexa Test" 2>/dev/null | head -n1) && [ -n "$window" ] && break
    sleep 0.1
done
sleep 1
# The menu bar stands above the form, whose height is 486 logical pixels.
eval "$(xdotool getwindowgeometry --shell "$window")"
# The form (486 pixels high) lies between the menu bar and the status line
# below it (43 pixels with the default fonts).
menu=$(( HEIGHT - (486 + 43) * scale ))
if [ $session -eq 1 ]; then
    # Button centres in logical pixels from the form's corner: Connect (52, 468), Send (140, 468).
    xdotool mousemove $(( 52 * scale )) $(( 468 * scale + menu )) click 1
    sleep 0.5
    xdotool mousemove $(( 140 * scale )) $(( 468 * scale + menu )) click 1
    sleep 0.5
    xdotool mousemove $(( 460 * scale )) $(( HEIGHT + 5 ))
    sleep 0.3
fi
mkdir -p "$(dirname "$out")"
import -window root -crop "${WIDTH}x${HEIGHT}+0+0" "$out"
echo "screenshot: wrote $out"
