#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Windows zip and the Windows suites (scripts/build-windows.sh),
# then tests them under Wine:
#   1. the codec's, the engine's and the probe's own suites, through ctest
#      and wine;
#   2. the zip's vexa-probe.exe against the Linux simulator on loopback, TCP
#      and UDP, short runs whose JSON counts, CSV and plot are checked; a
#      closed port (exit status 3); an SVG plot in a build without Qt SVG and
#      a plot with no fonts (exit status 2); Ctrl+C (the summary, exit
#      status 0);
#   3. the zip's vexa-test.exe on a private X server, its form found by its
#      title and written to a screenshot, then a request sent from it to the
#      Linux simulator and answered, in a second screenshot; the simulator
#      stopped and, in a second run, a refused connection, each box's title
#      compared whole with what the X server holds.
# Each part prints how long it took; any failure fails the script.
# Usage: scripts/test-windows.sh [windows-build-dir] [linux-build-dir]
#   The Linux build (default build) gives the simulator; it is built when
#   it has none.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

build=${1:-build-windows}
linux_build=${2:-build}
# set -e ends the script in silence; say where.
trap 'echo "test-windows: failed at line $LINENO: $BASH_COMMAND" >&2' ERR
t_all=$SECONDS

part_done() {
    local took=$(( SECONDS - $1 ))
    printf 'test-windows: %s took %dm%02ds\n' "$2" $(( took / 60 )) $(( took % 60 ))
}

t=$SECONDS
scripts/build-windows.sh --tests "$build"
scripts/install-deps.sh xvfb xdotool x11-utils imagemagick jq unzip fonts-dejavu-core
part_done $t "building for Windows"

sim=$linux_build/tools/module-sim/module-sim
if [ ! -x "$sim" ]; then
    t=$SECONDS
    scripts/build.sh "$linux_build"
    part_done $t "building the Linux simulator"
fi

# --- Wine ---------------------------------------------------------------------
# A prefix of the build's own, made once, so that no earlier run's registry
# (the window's saved texts) or desktop settings count; no debug chatter. One
# X server for every part: Wine wants a display even for console programs.
t=$SECONDS
export WINEPREFIX=$PWD/$build/wine-prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
start_xvfb 1024x768
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot --init >/dev/null 2>&1
fi
# A Windows font folder with fonts in it, as every Windows has: Wine's own
# is empty, and the probe draws its plots' text from there.
cp -n /usr/share/fonts/truetype/dejavu/DejaVuSans*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
wineserver --wait 2>/dev/null || true
part_done $t "preparing Wine"

# The Windows path of a file, through the drive Z: that Wine maps to "/";
# worked out here rather than by winepath, which starts Wine each time.
windows_path() {
    local path
    path=$(realpath -m "$1")
    printf 'Z:%s' "${path//\//\\}"
}

# Windows paths of the Qt DLLs and the mingw runtime, for the suites (the
# zip's programs bring their own).
triplet=x86_64-w64-mingw32
qt_bin=$(sed -n 's/^Qt6Core_DIR:[A-Z]*=//p' "$build/CMakeCache.txt")
winepath=$(windows_path "$qt_bin/../../../bin")
for f in libstdc++-6.dll libwinpthread-1.dll; do
    winepath+=";$(windows_path "$(dirname "$(realpath "$($triplet-g++-posix -print-file-name="$f")")")")"
done
export WINEPATH=$winepath

# --- 1. The suites ------------------------------------------------------------
t=$SECONDS
log=$build/wine-ctest.log
status=0
# The whole log to a file; here each program's line, and what failed.
ctest --test-dir "$build" -R '^tst_' -j1 -V >"$log" 2>&1 || status=$?
grep -E '^ *[0-9]+/[0-9]+ Test|tests passed|^[0-9]+: (FAIL!|XPASS|   Actual|   Expected|.*failure location)' "$log" || true
# Each Qt Test program ends with "Totals: P passed, F failed, S skipped, ...".
awk '/^[0-9]+: Totals: / { p += $3; f += $5; s += $7 }
     END { printf "test-windows: under Wine, test functions: %d passed, %d failed, %d skipped\n", p, f, s }' "$log"
part_done $t "the suites under Wine"
[ $status -eq 0 ] || { echo "test-windows: suites failed under Wine (log: $log)" >&2; exit 1; }

# --- 2. The probe against the Linux simulator ---------------------------------
# From here on the zip's programs, with nothing but the zip's DLLs.
unset WINEPATH
t=$SECONDS
name=$(basename "$build"/vexa-*-windows-x86_64.zip .zip)
unpacked=$build/unzipped
rm -rf "$unpacked"
mkdir -p "$unpacked"
unzip -q "$build/$name.zip" -d "$unpacked"
programs=$unpacked/$name
start_module_sim "$sim" --host 127.0.0.77 --tcp-port 0 --udp-port 0 >/dev/null
# Runs the probe with the given options, a CSV and a PNG plot, and checks
# its JSON (every request sent, answered and passed; none lost, late or
# unexpected; exit status 0) and its files (a row per request; a PNG).
probe_run() {
    local label=$1 json=$build/probe-$1.json status=0 rows
    shift
    rm -f "$programs/probe-$label.csv" "$programs/probe-$label.png"
    (cd "$programs" && wine ./vexa-probe.exe "$@" --count 200 --interval 0 --timeout 2000 --json \
        --csv "probe-$label.csv" --plot "probe-$label.png" "$SIM_HOST") \
        >"$json" 2>"$build/probe-$label.err" || status=$?
    rows=$(tail -n +2 "$programs/probe-$label.csv" 2>/dev/null | grep -c ',ok\r\?$' || true)
    if [ $status -ne 0 ] ||
        ! jq -e '.sent == 200 and .received == 200 and .lost == 0 and .late == 0
                 and .unexpected == 0 and .failed == 0 and .exit_status == 0
                 and .ended == "completed"' "$json" >/dev/null ||
        [ "$rows" != 200 ] ||
        [ "$(head -c 8 "$programs/probe-$label.png" 2>/dev/null | od -An -tx1 | tr -d ' \n')" != 89504e470d0a1a0a ]; then
        echo "test-windows: vexa-probe.exe over $label: exit status $status, $rows CSV rows ok, JSON and errors:" >&2
        sed 's/^/    /' "$json" "$build/probe-$label.err" >&2
        return 1
    fi
    echo "test-windows: vexa-probe.exe over $label: 200 sent, 200 answered, exit status 0," \
        "200 CSV rows, a PNG plot; round trip p50 $(jq -r '.round_trip_ms.p50' "$json") ms"
}
probe_run tcp --port "$SIM_TCP_PORT"
probe_run udp --udp --port "$SIM_UDP_PORT"
# Runs the zip's probe with the arguments after the first two and checks
# that it ends with exit status $1, saying $2 on stderr.
probe_ends() {
    local want=$1 says=$2 status=0 message
    shift 2
    message=$( (cd "$programs" && wine ./vexa-probe.exe "$@") 2>&1 >/dev/null | tr -d '\r') || status=$?
    if [ $status -ne "$want" ] || [[ $message != *"$says"* ]]; then
        echo "test-windows: vexa-probe.exe $*: exit status $status, not $want, saying \"$says\":" >&2
        sed 's/^/    /' <<<"$message" >&2
        exit 1
    fi
    echo "test-windows: vexa-probe.exe $*: exit status $want: $(grep -m1 -F -- "$says" <<<"$message")"
}
# Nothing listens on the TCP port of another address: unreachable.
probe_ends 3 "cannot reach" --count 1 --connect-timeout 2 --port "$SIM_TCP_PORT" 127.0.0.78
# A zip without Qt SVG says so before anything is sent: bad usage.
if [ ! -e "$programs/Qt6Svg.dll" ]; then
    probe_ends 2 "this build draws no SVG" --count 1 --plot run.svg "$SIM_HOST"
fi
# A plot with no fonts for its text is refused before anything is sent (Wine
# hands QT_ variables to a program only under the prefix WINEQT_).
fontless=$(mktemp -d)
on_exit "rm -rf '$fontless'"
WINEQT_QPA_FONTDIR=$(windows_path "$fontless") \
    probe_ends 2 "no fonts to write its text with" --count 1 --plot fontless.png --port "$SIM_TCP_PORT" "$SIM_HOST"
# Ctrl+C (SIGINT, which Wine hands to the console control handler) ends a
# run without a count with its summary and status 0, as on Linux.
(cd "$programs" && exec wine ./vexa-probe.exe --json --interval 10 --port "$SIM_TCP_PORT" "$SIM_HOST") \
    >"$build/probe-interrupted.json" 2>/dev/null &
probe=$!
on_exit "stop_process $probe"
sleep 3
kill -INT $probe
status=0
wait $probe || status=$?
if [ $status -ne 0 ] || ! jq -e '.ended == "interrupted" and .sent > 0 and .lost == 0' \
    "$build/probe-interrupted.json" >/dev/null; then
    echo "test-windows: vexa-probe.exe after Ctrl+C: exit status $status, JSON:" >&2
    sed 's/^/    /' "$build/probe-interrupted.json" >&2
    exit 1
fi
echo "test-windows: vexa-probe.exe after Ctrl+C: exit status 0," \
    "$(jq -r '.sent' "$build/probe-interrupted.json") sent and answered, the summary printed"
part_done $t "the probe under Wine"

# --- 3. The window --------------------------------------------------------------
# Under Wine, line edits draw their text only with FreeType's font engine.
t=$SECONDS
# Starts the zip's vexa-test.exe, logging to $1, and waits for its window:
# $app is the process, $window the window titled "Vexa Test".
open_window() {
    local log=$1
    (cd "$programs" && WINEQT_QPA_PLATFORM=windows:fontengine=freetype exec wine ./vexa-test.exe) \
        >"$log" 2>&1 &
    app=$!
    on_exit "stop_process $app"
    window=""
    for _ in $(seq 300); do
        window=$(xdotool search --onlyvisible --name "^Vexa Test$" 2>/dev/null | head -n1) && [ -n "$window" ] && break
        kill -0 "$app" 2>/dev/null || break
        sleep 0.1
    done
    if [ -z "$window" ]; then
        echo "test-windows: vexa-test.exe showed no window titled \"Vexa Test\":" >&2
        sed 's/^/    /' "$log" >&2
        exit 1
    fi
}
on_exit "wineserver --kill 2>/dev/null"
shot=$build/windows-window.png
open_window "$build/window.log"
sleep 2
import -window root "$shot"
eval "$(xdotool getwindowgeometry --shell "$window")"
echo "test-windows: vexa-test.exe showed \"Vexa Test\", ${WIDTH}x${HEIGHT}; screenshot in $shot"

# A session from the window to the Linux simulator, on the module's own
# ports on an address of its own: the address typed, Connect and Send
# clicked (at their places on the form, below the 17-pixel menu bar), and
# the request and its reply seen by the simulator.
stop_module_sim
sim_log=$build/window-sim.log
start_module_sim "$sim" --host 127.0.0.83 -v >"$sim_log"
xdotool mousemove --window "$window" 92 67 click 1 key ctrl+a type 127.0.0.83
xdotool mousemove --window "$window" 52 485 click 1
sleep 1
xdotool mousemove --window "$window" 140 485 click 1
for _ in $(seq 100); do
    grep -q '^tcp .* reply 40 bytes' "$sim_log" && break
    sleep 0.1
done
sleep 1
shot=$build/windows-session.png
import -window root "$shot"
if ! grep -q '^tcp .* request 38 bytes' "$sim_log" || ! grep -q '^tcp .* reply 40 bytes' "$sim_log"; then
    echo "test-windows: the simulator saw no request from vexa-test.exe and answered none:" >&2
    sed 's/^/    /' "$sim_log" >&2
    exit 1
fi
echo "test-windows: vexa-test.exe connected to the Linux simulator, sent the default request and" \
    "got its reply; screenshot in $shot"

# The socket's message boxes under the titles the window gives them, as the
# X server holds them (Wine puts a window's text there): the module closing
# the connection, then, in a second run, a refused connection. Qt appends
# the application's name to a title when told one, which they must not show.
box_title() {
    local title=$1 box="" name
    for _ in $(seq 200); do
        box=$(xdotool search --onlyvisible --name "^$title" 2>/dev/null | head -n1) && [ -n "$box" ] && break
        sleep 0.1
    done
    if [ -z "$box" ]; then
        echo "test-windows: no window whose title begins \"$title\"" >&2
        return 1
    fi
    name=$(xprop -id "$box" _NET_WM_NAME | sed -n 's/^_NET_WM_NAME(UTF8_STRING) = "\(.*\)"$/\1/p')
    if [ "$name" != "$title" ]; then
        echo "test-windows: the box shows the title \"$name\", not \"$title\"" >&2
        return 1
    fi
    xdotool key --window "$box" Return
    echo "test-windows: vexa-test.exe's box is titled \"$name\" on the X server"
}
stop_module_sim
box_title "WinSock Message"
for _ in $(seq 100); do kill -0 "$app" 2>/dev/null || break; sleep 0.1; done
open_window "$build/window-refused.log"
sleep 1
# An address of its own with nothing listening: the connection is refused.
xdotool mousemove --window "$window" 92 67 click 1 key ctrl+a type 127.0.1.30
xdotool mousemove --window "$window" 52 485 click 1
box_title "Winsock Error"
part_done $t "the window under Wine"
part_done $t_all "all of it"
