#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Cross-builds the tool, the probe and the simulator for 64-bit Windows with
# Debian's mingw-w64, and packs them with what they need to run into a zip.
#
# Qt for Windows (qtbase and Qt Svg) is built from Debian's own qt6-base and
# qt6-svg sources, with Debian's Qt as the host Qt (the two must be the same
# version), once per machine, into
#   ${XDG_CACHE_HOME:-$HOME/.cache}/vexa/qt-<version>-mingw64
# A prefix with qtbase finished holds the file .complete, written last; one
# without it (an interrupted build) is built again. Qt Svg, built on it, is
# marked by .svg-complete and tried again on each run until there. The
# programs are configured with that prefix's bin/qt-cmake, which chains to the
# mingw toolchain file kept there.
#
# Usage: scripts/build-windows.sh [--packages|--qt-only] [--tests] [build-dir]
#   --packages  only install the Debian packages it needs
#   --qt-only   only make sure the cached Qt for Windows is there
#   --check-cache  with --qt-only: exit 0 when qtbase is cached, 1 when not
#   --tests     also build the suites that run under Wine (ctest runs them
#               through wine; scripts/test-windows.sh does)
#   build-dir   where the programs are built (default build-windows)
# Environment: JOBS (default: nproc) for both builds.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

usage() { sed -n 's/^# \{0,1\}//; /^Usage:/,/^Environment:.*/p' "$0"; }

packages_only=0
check_cache=0
qt_only=0
tests=0
build="build-windows"
while [ $# -gt 0 ]; do
    case $1 in
        --packages) packages_only=1 ;;
        --qt-only) qt_only=1 ;;
        --check-cache) check_cache=1 ;;
        --tests) tests=1 ;;
        -h|--help) usage; exit 0 ;;
        -*) echo "build-windows: unknown option $1" >&2; usage >&2; exit 2 ;;
        *) build=$1 ;;
    esac
    shift
done

jobs=${JOBS:-$(nproc)}
triplet=x86_64-w64-mingw32
cc=$triplet-gcc-posix
cxx=$triplet-g++-posix
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo

# Prints how long the stage that began at $1 (a $SECONDS value) took.
stage_done() {
    local took=$(( SECONDS - $1 ))
    printf 'build-windows: %s took %dm%02ds\n' "$2" $(( took / 60 )) $(( took % 60 ))
}

# --- Packages ---------------------------------------------------------------
# Qt 6 needs the posix thread model of mingw-w64 (std::thread, std::mutex);
# its build needs the host Qt's tools (moc, rcc, uic) of the same version.
t=$SECONDS
scripts/install-deps.sh mingw-w64 gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix \
    binutils-mingw-w64-x86-64 wine wine64 ninja-build dpkg-dev qt6-base-dev qt6-base-dev-tools qt6-svg-dev \
    perl zip
stage_done $t "packages"
[ "$packages_only" -eq 1 ] && exit 0

qt_source_version=$(dpkg-query -W -f='${source:Version}' qt6-base-dev)
qt_version=${qt_source_version%%+*}
qt_version=${qt_version%%-*}
qt_version=${qt_version#*:}
svg_source_version=$(dpkg-query -W -f='${source:Version}' qt6-svg-dev)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/vexa
qt=$cache/qt-$qt_version-mingw64
work=$cache/qt-$qt_version-mingw64.work
if [ "$check_cache" -eq 1 ]; then
    [ -f "$qt/.complete" ]
    exit
fi

# --- deb-src entry, present only while the script runs ----------------------
# Made from the Debian entries already configured, deb822 (*.sources) or
# one-line (sources.list, *.list), with the same addresses, suites and
# components; removed when the script ends, and the lists updated again so
# the source indexes go with it.
src_entry_base=/etc/apt/sources.list.d/vexa-build-windows-src
remove_deb_src() {
    if [ -e "$src_entry_base.sources" ] || [ -e "$src_entry_base.list" ]; then
        $sudo rm -f "$src_entry_base.sources" "$src_entry_base.list"
        echo "build-windows: removed the temporary deb-src entry"
        $sudo apt-get update -qq || echo "build-windows: apt-get update after removing the deb-src entry failed" >&2
    fi
}

add_deb_src() {
    local files=() f sources="" list=""
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] && [[ $f != "$src_entry_base".* ]] && files+=("$f")
    done
    if [ ${#files[@]} -eq 0 ]; then
        echo "build-windows: no apt sources to make a deb-src entry from" >&2
        return 1
    fi
    if grep -qsE '^[[:space:]]*(Types:.*[[:space:]]deb-src([[:space:]]|$)|deb-src[[:space:]])' "${files[@]}"; then
        echo "build-windows: a deb-src entry is already configured; updating the package lists"
        $sudo apt-get update -qq
        return 0
    fi
    for f in "${files[@]}"; do
        case $f in
            *.sources)
                # Each stanza whose Types has "deb" and whose URIs is a Debian
                # archive, with Types changed to deb-src. Comments dropped.
                sources+=$(awk '
                    function flush() {
                        if (n && deb && debian && !disabled) {
                            for (i = 1; i <= n; i++) print lines[i]
                            print ""
                        }
                        n = 0; deb = 0; debian = 0; disabled = 0
                    }
                    /^[[:space:]]*#/ { next }
                    /^[[:space:]]*$/ { flush(); next }
                    {
                        line = $0
                        if (tolower($1) == "types:") {
                            for (i = 2; i <= NF; i++) if ($i == "deb") deb = 1
                            line = "Types: deb-src"
                        }
                        if (tolower($1) == "uris:" && $0 ~ /debian/) debian = 1
                        if (tolower($1) == "enabled:" && tolower($2) == "no") disabled = 1
                        lines[++n] = line
                    }
                    END { flush() }' "$f")$'\n\n'
                ;;
            *)
                list+=$(sed -nE 's/^[[:space:]]*deb[[:space:]]+(.*debian.*)$/deb-src \1/p' "$f")$'\n'
                ;;
        esac
    done
    if [ -z "${sources//[[:space:]]/}" ] && [ -z "${list//[[:space:]]/}" ]; then
        echo "build-windows: no Debian entry in the apt sources to make a deb-src entry from" >&2
        return 1
    fi
    on_exit remove_deb_src
    if [ -n "${sources//[[:space:]]/}" ]; then
        printf '%s' "$sources" | $sudo tee "$src_entry_base.sources" >/dev/null
    fi
    if [ -n "${list//[[:space:]]/}" ]; then
        printf '%s' "$list" | $sudo tee "$src_entry_base.list" >/dev/null
    fi
    echo "build-windows: added a temporary deb-src entry; updating the package lists"
    $sudo apt-get update -qq
}

# --- Qt for Windows -----------------------------------------------------------
write_toolchain() {
    cat >"$1" <<EOF
# mingw-w64 (posix threads) for x86_64 Windows; Debian's mingw sysroot.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER $cc)
set(CMAKE_CXX_COMPILER $cxx)
set(CMAKE_RC_COMPILER $triplet-windres)
set(CMAKE_FIND_ROOT_PATH /usr/$triplet)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
EOF
}

# Unpacks source package $1 (name=version) into $work/source, once: an
# interrupted build resumes on what is there.
fetch_source() {
    local pkg=${1%%=*}
    mkdir -p "$work/source"
    [ -f "$work/source/.unpacked-$pkg" ] && return 0
    add_deb_src
    rm -rf "${work:?}/source/$pkg"[-_]*
    if ! (cd "$work/source" && apt-get source -qq "$1"); then
        echo "build-windows: apt-get source $1 failed" >&2
        remove_deb_src
        return 1
    fi
    : >"$work/source/.unpacked-$pkg"
    remove_deb_src
}

# The unpacked source directory of source package $1.
source_dir() {
    local dir
    dir=$(find "$work/source" -mindepth 1 -maxdepth 1 -type d -name "$1-*" | head -n 1)
    if [ -z "$dir" ] || [ ! -f "$dir/CMakeLists.txt" ]; then
        echo "build-windows: no unpacked $1 source in $work/source" >&2
        rm -f "$work/source/.unpacked-$1"
        return 1
    fi
    printf '%s\n' "$dir"
}

# Runs a configure step with its output in log $1; on failure shows its end.
configure_logged() {
    local log=$1
    shift
    "$@" >"$log" 2>&1 || {
        echo "build-windows: configuring failed; the end of $log:" >&2
        tail -n 40 "$log" | sed 's/^/    /' >&2
        return 1
    }
}

# qtbase: Core, Gui, Widgets, Network and Test, into a new prefix.
build_qtbase() {
    local t src
    echo "build-windows: building Qt $qt_version for Windows into $qt"
    t=$SECONDS
    fetch_source "qt6-base=$qt_source_version"
    stage_done $t "getting the qt6-base source"
    src=$(source_dir qt6-base)
    rm -rf "$qt"
    mkdir -p "$qt"
    write_toolchain "$qt/mingw64-toolchain.cmake"

    t=$SECONDS
    # Debian's source has no 3rdparty/wintab, so tablet events are off;
    # OpenGL off takes both the feature and its input (else dynamic OpenGL
    # stays on); direct2d stays at its default, as qwindows.dll does not
    # link without it. FreeType stays in: under Wine the default font engine
    # draws no text in line edits, and windows:fontengine=freetype does.
    configure_logged "$work/configure-base.log" \
        cmake -S "$src" -B "$work/build-base" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$qt/mingw64-toolchain.cmake" \
        -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$qt" \
        -DQT_HOST_PATH=/usr \
        -DQT_HOST_PATH_CMAKE_DIR="/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/cmake" \
        -DQT_QMAKE_TARGET_MKSPEC=win32-g++ \
        -DBUILD_SHARED_LIBS=ON \
        -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
        -DQT_BUILD_MANUAL_TESTS=OFF -DQT_BUILD_TOOLS_WHEN_CROSSCOMPILING=OFF \
        -DFEATURE_pkg_config=OFF \
        -DFEATURE_sql=OFF -DFEATURE_dbus=OFF -DFEATURE_printsupport=OFF \
        -DFEATURE_xml=OFF -DFEATURE_concurrent=OFF \
        -DFEATURE_opengl=OFF -DINPUT_opengl=no -DFEATURE_vulkan=OFF \
        -DFEATURE_tabletevent=OFF \
        -DFEATURE_jpeg=OFF -DFEATURE_gif=OFF
    stage_done $t "configuring qtbase"

    t=$SECONDS
    cmake --build "$work/build-base" --parallel "$jobs"
    stage_done $t "building qtbase"

    t=$SECONDS
    cmake --install "$work/build-base" >"$work/install-base.log"
    stage_done $t "installing qtbase"
    if [ ! -x "$qt/bin/qt-cmake" ] || [ ! -f "$qt/plugins/platforms/qwindows.dll" ]; then
        echo "build-windows: the qtbase install in $qt has no bin/qt-cmake or platforms/qwindows.dll" >&2
        return 1
    fi
    printf 'qt6-base %s\n' "$qt_source_version" >"$qt/.complete"
    rm -rf "$work/build-base" "$work/source"/qt6-base[-_]* "$work/source/.unpacked-qt6-base"
    echo "build-windows: qtbase for Windows is in $qt ($(du -sh "$qt" | cut -f1))"
}

# Configures the Qt module whose source is $2 in build directory $1, on the
# installed qtbase (its qt-configure-module works in the current directory).
configure_module() (
    cd "$1"
    "$qt/bin/qt-configure-module" "$2" -- -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF
)

# Qt Svg, which the probe draws its SVG plots with, added to the prefix;
# marked by .svg-complete. Where its source cannot be had, says so and goes
# on without it: the probe then draws PNG plots only, and qtbase is kept.
build_qtsvg() {
    local t src
    if [[ $svg_source_version != "$qt_version"[-+]* && $svg_source_version != *:"$qt_version"[-+]* ]]; then
        echo "build-windows: WARNING: the host's qt6-svg-dev is $svg_source_version, not Qt $qt_version; no Qt Svg for Windows" >&2
        return 0
    fi
    t=$SECONDS
    if ! fetch_source "qt6-svg=$svg_source_version"; then
        echo "build-windows: WARNING: no qt6-svg source, so no Qt Svg for Windows: its probe draws PNG plots only" >&2
        rm -rf "$work"
        return 0
    fi
    stage_done $t "getting the qt6-svg source"
    src=$(source_dir qt6-svg)
    t=$SECONDS
    rm -rf "$work/build-svg"
    mkdir -p "$work/build-svg"
    configure_logged "$work/configure-svg.log" configure_module "$work/build-svg" "$src"
    stage_done $t "configuring qtsvg"
    t=$SECONDS
    cmake --build "$work/build-svg" --parallel "$jobs"
    cmake --install "$work/build-svg" >"$work/install-svg.log"
    stage_done $t "building and installing qtsvg"
    if [ ! -f "$qt/bin/Qt6Svg.dll" ] || [ ! -f "$qt/lib/cmake/Qt6Svg/Qt6SvgConfig.cmake" ]; then
        echo "build-windows: the qtsvg install in $qt has no Qt6Svg.dll or its CMake package" >&2
        return 1
    fi
    printf 'qt6-svg %s\n' "$svg_source_version" >"$qt/.svg-complete"
    rm -rf "$work"
}

# One run at a time builds a given Qt; another waits for it and then uses it.
mkdir -p "$cache"
exec {qt_lock}>"$qt.lock"
if ! flock -n "$qt_lock"; then
    echo "build-windows: another run is building Qt $qt_version; waiting for it"
    flock "$qt_lock"
fi
if [ -f "$qt/.complete" ]; then
    echo "build-windows: using qtbase $qt_version for Windows from $qt"
else
    t_qt=$SECONDS
    build_qtbase
    stage_done $t_qt "qtbase for Windows, all stages"
fi
if [ -f "$qt/.svg-complete" ]; then
    echo "build-windows: using Qt Svg $qt_version for Windows from $qt"
else
    build_qtsvg
fi
exec {qt_lock}>&-
[ "$qt_only" -eq 1 ] && exit 0

# --- The programs -------------------------------------------------------------
# Their own build directory, configured with the cached prefix's qt-cmake (the
# toolchain it chains to finds Qt there; CMAKE_PREFIX_PATH would not) on each
# run, which takes a second once configured; a directory configured for
# another prefix is configured afresh. ctest runs the suites through
# scripts/wine-test-runner.sh.
programs=(vexa-test vexa-probe module-sim)
toolchain=$qt/lib/cmake/Qt6/qt.toolchain.cmake
t=$SECONDS
fresh=()
if [ -f "$build/CMakeCache.txt" ] &&
    [ "$(sed -n 's/^CMAKE_TOOLCHAIN_FILE:[A-Z]*=//p' "$build/CMakeCache.txt")" != "$toolchain" ]; then
    echo "build-windows: $build was configured without $toolchain; configuring it afresh"
    fresh=(--fresh)
fi
echo "build-windows: configuring $build"
mkdir -p "$build"
"$qt/bin/qt-cmake" "${fresh[@]}" -S . -B "$build" -G Ninja \
    -DCMAKE_BUILD_TYPE=Release \
    -DVEXA_PORTABLE_SOCKET=ON \
    -DBUILD_TESTING=ON \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$PWD/scripts/wine-test-runner.sh" >"$build/vexa-configure.log" 2>&1 || {
    echo "build-windows: configuring $build failed:" >&2
    sed 's/^/    /' "$build/vexa-configure.log" >&2
    exit 1
}
stage_done $t "configuring $build"

t=$SECONDS
echo "build-windows: building ${programs[*]} in $build"
cmake --build "$build" --parallel "$jobs" --target "${programs[@]}"
stage_done $t "building the programs"
if [ "$tests" -eq 1 ]; then
    t=$SECONDS
    echo "build-windows: building the suites in $build"
    cmake --build "$build" --parallel "$jobs" --target vexa-tests
    stage_done $t "building the suites"
fi

# --- The zip ------------------------------------------------------------------
# The programs, the platform and style plugins, and every DLL they import
# that comes from the Qt prefix or the mingw runtime (looked up again for each
# DLL added), all stripped: the zip runs on a Windows machine with nothing
# else installed. An import named like a Qt or mingw DLL that is found in
# neither place fails the packing instead of making a zip that cannot start.
t=$SECONDS
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
name=vexa-${version:-unknown}-windows-x86_64
stage=$build/$name
rm -rf "$stage" "$build/$name.zip"
mkdir -p "$stage/platforms" "$stage/styles"
for p in "${programs[@]}"; do
    # Where the build puts it, not a copy from an earlier zip.
    exe=$(find "$build/src" "$build/tools" -type f -name "$p.exe" | head -n 1)
    if [ -z "$exe" ]; then
        echo "build-windows: $p.exe was not built in $build" >&2
        exit 1
    fi
    cp "$exe" "$stage/"
done
# The window's platform, and the offscreen one the probe draws its plots on.
cp "$qt/plugins/platforms/qwindows.dll" "$qt/plugins/platforms/qoffscreen.dll" "$stage/platforms/"
if [ -d "$qt/plugins/styles" ]; then
    cp "$qt"/plugins/styles/*.dll "$stage/styles/"
fi
dll_dirs=("$qt/bin")
for f in libstdc++-6.dll libwinpthread-1.dll; do
    p=$($cxx -print-file-name="$f")
    if [ "$p" = "$f" ] || [ ! -f "$p" ]; then
        echo "build-windows: $cxx does not find $f" >&2
        exit 1
    fi
    dll_dirs+=("$(dirname "$(realpath "$p")")")
done
pending=("$stage"/*.exe "$stage"/platforms/*.dll "$stage"/styles/*.dll)
while [ ${#pending[@]} -gt 0 ]; do
    f=${pending[0]}
    pending=("${pending[@]:1}")
    while read -r dll; do
        [ -e "$stage/$dll" ] && continue
        found=""
        for d in "${dll_dirs[@]}"; do
            if [ -f "$d/$dll" ]; then
                found=$d/$dll
                break
            fi
        done
        if [ -n "$found" ]; then
            cp "$found" "$stage/"
            pending+=("$stage/$dll")
        elif [[ $dll == Qt6* || $dll == lib*.dll ]]; then
            echo "build-windows: $(basename "$f") needs $dll, found in none of ${dll_dirs[*]}" >&2
            exit 1
        fi
    done < <($triplet-objdump -p "$f" | sed -n 's/^[[:space:]]*DLL Name: //p')
done
find "$stage" -type f \( -name '*.exe' -o -name '*.dll' \) -exec $triplet-strip --strip-unneeded {} +
# The Wireshark dissector, for the user to copy into Wireshark's plug-in
# folder (the README says where).
cp packaging/wireshark/vexa.lua "$stage/"
(cd "$build" && zip -qr "$name.zip" "$name")
stage_done $t "packing"
echo "build-windows: $build/$name.zip ($(du -h "$build/$name.zip" | cut -f1)):"
(cd "$stage" && find . -type f | sed 's|^\./|    |' | sort)
