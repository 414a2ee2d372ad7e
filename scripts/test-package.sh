#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian package, installs it on this machine and checks the
# installed programs: vexa-test answers --version without a display, opens a
# request file in its window under Xvfb and closes cleanly when the window is
# asked to close, module-sim answers --help, .vexa files have their type, and
# tshark (where installed) loads the dissector from Wireshark's plug-in folder.
# Usage: scripts/test-package.sh [--keep]   (--keep leaves the package installed)
# Needs root or sudo, because it installs into the system; not part of CI.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
root=$PWD
keep=0
[ "${1:-}" = "--keep" ] && keep=1
build="build-pkg"
shot=/tmp/vexa-test-package.png

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "test-package: needs root or sudo" >&2; exit 1; }
    sudo="sudo -n"
fi
if ! command -v apt-get >/dev/null; then
    echo "test-package: skipped, no apt-get (this check is for Debian)"
    exit 0
fi

scripts/install-deps.sh dpkg-dev file xvfb xdotool x11-utils imagemagick

echo "test-package: building the package in $build (Release)"
# The package carries no tests, so they are not built for it.
configure "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j2
rm -f "$build"/vexa-test_*.deb
(cd "$build" && cpack -G DEB)
debs=("$build"/vexa-test_*.deb)
deb=$root/${debs[0]}
[ -f "$deb" ] || { echo "test-package: no .deb was made" >&2; exit 1; }
echo "test-package: $deb"
dpkg-deb --field "$deb" Package Version Architecture Section Maintainer Depends

# Put the machine back as found: only a package this run installed is removed.
was_installed=0
dpkg-query -W -f='${Status}' vexa-test 2>/dev/null | grep -q "install ok installed" && was_installed=1

remove_package() {
    if [ $keep -eq 0 ] && [ $was_installed -eq 0 ] && dpkg-query -W vexa-test >/dev/null 2>&1; then
        echo "test-package: removing the package again"
        DEBIAN_FRONTEND=noninteractive $sudo apt-get remove -y -qq vexa-test >/dev/null
    fi
}
on_exit remove_package

echo "test-package: installing"
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "$deb" >/dev/null

fail() { echo "test-package: FAIL: $*" >&2; exit 1; }
for path in /usr/bin/vexa-test /usr/bin/module-sim /usr/share/applications/vexa-test.desktop \
            /usr/share/man/man1/vexa-test.1 /usr/share/mime/packages/vexa-test.xml \
            /usr/share/icons/hicolor/scalable/apps/vexa-test.svg \
            /usr/share/icons/hicolor/48x48/apps/vexa-test.png \
            /usr/share/doc/vexa-test/copyright /usr/lib/x86_64-linux-gnu/wireshark/plugins/vexa.lua; do
    dpkg -L vexa-test | grep -qx "$path" || fail "$path is not in the package"
    [ -e "$path" ] || fail "$path is not on disk"
done
if file -L /usr/bin/vexa-test | grep -q "not stripped"; then fail "/usr/bin/vexa-test is not stripped"; fi

echo "test-package: /usr/bin/vexa-test --version, with no display"
version=$(env -u DISPLAY -u QT_QPA_PLATFORM /usr/bin/vexa-test --version) || fail "vexa-test --version exited with $?"
[ "$version" = "vexa-test $(dpkg-deb --field "$deb" Version)" ] || fail "vexa-test --version said \"$version\""
# The system's mime database is rebuilt by its own trigger on install.
if [ -f /usr/share/mime/globs2 ]; then
    grep -q ":application/x-vexa-request:\*\.vexa$" /usr/share/mime/globs2 \
        || fail "the mime database has no application/x-vexa-request for *.vexa"
fi

# Wireshark finds the installed dissector by itself, with no option.
if command -v tshark >/dev/null; then
    echo "test-package: tshark -G protocols"
    tshark -G protocols 2>/dev/null | grep -q $'^Vexa module protocol\tVEXA\tvexa$' \
        || fail "tshark does not list the installed vexa dissector"
fi

echo "test-package: /usr/bin/module-sim --help"
help=$(/usr/bin/module-sim --help) || fail "module-sim --help exited with $?"
grep -q -- "--delay" <<<"$help" || fail "module-sim --help does not list its switches"

start_xvfb 640x560 || fail "Xvfb did not start"
echo "test-package: Xvfb on $DISPLAY, starting /usr/bin/vexa-test with a request file"

# From /tmp and with no Qt hints from this shell, as a menu would start it
# for a file; a session would provide the runtime directory, so give it a
# private one, and a private configuration folder for what it remembers.
runtime=$(mktemp -d)
on_exit "rm -rf '$runtime'"
printf '{"format": "vexa-request", "version": 1, "request": {"command": "5800"}}\n' >"$runtime/read-var.vexa"
(cd /tmp && exec env -u QT_QPA_PLATFORM -u QT_SCALE_FACTOR -u LD_LIBRARY_PATH \
    XDG_RUNTIME_DIR="$runtime" XDG_CONFIG_HOME="$runtime/config" /usr/bin/vexa-test "$runtime/read-var.vexa") &
app=$!
on_exit "stop_process $app"
window=""
for _ in $(seq 100); do
    window=$(xdotool search --name '^read-var\.vexa .* Vexa Test$' 2>/dev/null | head -n1) && [ -n "$window" ] && break
    kill -0 "$app" 2>/dev/null || break
    sleep 0.1
done
[ -n "$window" ] || fail "no window titled \"read-var.vexa — Vexa Test\" appeared"
sleep 1
kill -0 "$app" 2>/dev/null || fail "vexa-test is not running after its window appeared"
echo "test-package: window $window is up; screenshot to $shot"
import -window root "$shot"

# Without a window manager nobody sends WM_DELETE_WINDOW, so send it the way
# a window manager's close button does; the tool must end with status 0.
python3 - "$window" <<'PY'
import ctypes, sys
x = ctypes.cdll.LoadLibrary("libX11.so.6")
x.XOpenDisplay.restype = ctypes.c_void_p
x.XInternAtom.restype = ctypes.c_ulong
x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
x.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
x.XFlush.argtypes = [ctypes.c_void_p]
x.XCloseDisplay.argtypes = [ctypes.c_void_p]

class ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("data", ctypes.c_long * 5),
                ("pad", ctypes.c_char * 192)]  # XSendEvent reads a whole XEvent

dpy = x.XOpenDisplay(None)
if not dpy:
    sys.exit("cannot open the display")
window = int(sys.argv[1])
event = ClientMessage(type=33, window=window, format=32,
                      message_type=x.XInternAtom(dpy, b"WM_PROTOCOLS", 0))
event.data[0] = x.XInternAtom(dpy, b"WM_DELETE_WINDOW", 0)
x.XSendEvent(dpy, window, 0, 0, ctypes.byref(event))
x.XFlush(dpy)
x.XCloseDisplay(dpy)
PY
for _ in $(seq 50); do kill -0 "$app" 2>/dev/null || break; sleep 0.1; done
kill -0 "$app" 2>/dev/null && fail "vexa-test did not end after its window was closed"
status=0
wait "$app" || status=$?
[ $status -eq 0 ] || fail "vexa-test exited with status $status after its window was closed"

echo "test-package: PASS"
