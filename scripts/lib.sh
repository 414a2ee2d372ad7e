# SPDX-License-Identifier: GPL-3.0-or-later
# shellcheck shell=bash
# Helpers shared by the scripts in this directory; source it after `cd` to the
# repository root. Gives exit hooks (on_exit), configuring a build directory
# (configure, configure_once), a private X server (start_xvfb) and the bundled
# module simulator started and waited for (start_module_sim).

# Messages start with the script's name: "build: ...", "run: ...".
script_tag=$(basename "$0" .sh)

# Commands to run when the script ends, however it ends; the last added runs
# first, so what was started last is stopped first. A script adds its own
# cleanup with on_exit instead of setting an EXIT trap, which would replace
# these. The script's exit status is kept.
_exit_hooks=()
on_exit() { _exit_hooks+=("$1"); }
_run_exit_hooks() {
    local status=$? i
    set +e
    for (( i = ${#_exit_hooks[@]} - 1; i >= 0; i-- )); do
        eval "${_exit_hooks[i]}"
    done
    return $status
}
trap _run_exit_hooks EXIT
# A signal ends the script through the same hooks, so nothing it started
# outlives it.
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# Asks a process to end, gives it five seconds, then kills it; reaps it when
# it is a child of this shell.
stop_process() {
    local pid=$1 i
    kill "$pid" 2>/dev/null || return 0
    for (( i = 0; i < 50; i++ )); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

# Configures a build directory from the repository root, or from the source
# directory given as -S dir.
# Usage: configure <build-dir> [-S source-dir] [cmake options...]
configure() {
    local build=$1 source=.
    shift
    if [ "${1:-}" = "-S" ]; then
        source=$2
        shift 2
    fi
    cmake -S "$source" -B "$build" "$@"
}

# Configures when the directory has no cache yet, or when a -D option asks
# for a value its cache does not hold (an option not set before, or set to
# something else); otherwise keeps the cache, and the build re-runs CMake by
# itself when a list file changed. An option left out keeps the value chosen
# before, as CMake keeps it. Of the same option given twice, the last counts,
# as for CMake.
# Usage: configure_once <build-dir> [-S source-dir] [cmake options...]
configure_once() {
    local build=$1 changed
    if [ ! -f "$build/CMakeCache.txt" ]; then
        echo "$script_tag: configuring $build"
        configure "$@"
        return
    fi
    changed=$(_options_not_in_cache "$@")
    if [ -n "$changed" ]; then
        echo "$script_tag: reconfiguring $build for$changed"
        configure "$@"
    fi
}

# Prints " NAME" for each -D option of a configure_once command line whose
# value differs from the one in the build directory's cache.
_options_not_in_cache() {
    local cache=$1/CMakeCache.txt option name value cached
    local -A wanted=()
    local -a order=()
    shift
    if [ "${1:-}" = "-S" ]; then
        shift 2
    fi
    while [ $# -gt 0 ]; do
        option=$1
        shift
        case $option in
            -D) option=-D${1:-}; shift || true ;;
            -D*) ;;
            *) continue ;;
        esac
        option=${option#-D}
        name=${option%%=*}
        name=${name%%:*}
        [ -v "wanted[$name]" ] || order+=("$name")
        wanted[$name]=${option#*=}
    done
    for name in "${order[@]}"; do
        value=${wanted[$name]}
        # The first line "NAME=..." or "NAME:TYPE=...".
        cached=$(awk -v name="$name" 'index($0, name) == 1 {
            rest = substr($0, length(name) + 1)
            if (rest ~ /^(:[A-Za-z_]+)?=/) { sub(/^[^=]*=/, "", rest); print rest; found = 1; exit }
        } END { if (!found) exit 1 }' "$cache") || { printf ' %s' "$name"; continue; }
        _same_cache_value "$value" "$cached" || printf ' %s' "$name"
    done
}

# Whether an option's value names what the cache holds: CMake keeps a
# compiler found on PATH and a relative path as absolute paths.
_same_cache_value() {
    local value=$1 cached=$2
    [ "$value" = "$cached" ] && return 0
    [ -n "$value" ] || return 1
    if [[ $value != */* ]] && [ "$(command -v -- "$value" 2>/dev/null)" = "$cached" ]; then
        return 0
    fi
    [ "$(realpath -m -- "$value" 2>/dev/null)" = "$cached" ]
}

# Starts Xvfb (24-bit colour) on a display number it picks itself, so that a
# desktop or another run is never hit; waits until it answers and exports
# DISPLAY. The server is stopped when the script ends.
# Usage: start_xvfb <width>x<height>
start_xvfb() {
    local size=$1 dir pid number="" i
    command -v xdpyinfo >/dev/null || { echo "$script_tag: xdpyinfo (x11-utils) is needed to wait for Xvfb" >&2; return 1; }
    dir=$(mktemp -d)
    on_exit "rm -rf '$dir'"
    : >"$dir/display"
    Xvfb -displayfd 3 -screen 0 "${size}x24" -nolisten tcp 3>"$dir/display" >"$dir/log" 2>&1 &
    pid=$!
    on_exit "stop_process $pid"
    # The server writes the number, newline-terminated, once it listens;
    # read succeeds only on a whole line.
    for (( i = 0; i < 100; i++ )); do
        read -r number <"$dir/display" 2>/dev/null && [[ $number =~ ^[0-9]+$ ]] && break
        number=""
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if [ -z "$number" ]; then
        echo "$script_tag: Xvfb did not start:" >&2
        sed 's/^/    /' "$dir/log" >&2
        return 1
    fi
    for (( i = 0; i < 100; i++ )); do
        xdpyinfo -display ":$number" >/dev/null 2>&1 && break
        sleep 0.1
    done
    if ! xdpyinfo -display ":$number" >/dev/null 2>&1; then
        echo "$script_tag: Xvfb on :$number does not answer" >&2
        return 1
    fi
    export DISPLAY=:$number
}

# Starts the module simulator and waits, at most SIM_START_SECONDS (default
# 10), for the line it prints once bound:
#   module-sim: listening on <host> tcp <port> udp <port>
# and sets SIM_PID, SIM_HOST, SIM_TCP_PORT and SIM_UDP_PORT from it. Its
# output then passes through to this script's stdout and stderr. When it exits
# or stays silent instead, prints why, with its own message, and returns
# non-zero. The simulator is stopped when the script ends.
# Usage: start_module_sim <program> [module-sim options...]
# shellcheck disable=SC2034 # the SIM_ variables are for the caller
start_module_sim() {
    local program=$1 fd line status=0 left deadline
    shift
    SIM_HOST="" SIM_TCP_PORT="" SIM_UDP_PORT=""
    _sim_dir=$(mktemp -d)
    _sim_forwarders=()
    on_exit _stop_module_sim
    mkfifo "$_sim_dir/out"
    "$program" "$@" >"$_sim_dir/out" 2>"$_sim_dir/err" &
    SIM_PID=$!
    exec {fd}<"$_sim_dir/out"
    deadline=$(( SECONDS + ${SIM_START_SECONDS:-10} ))
    while :; do
        left=$(( deadline - SECONDS ))
        if [ $left -le 0 ]; then
            status=timeout
            break
        fi
        if read -r -t "$left" -u "$fd" line; then
            if [[ $line =~ ^module-sim:\ listening\ on\ ([^ ]+)\ tcp\ ([0-9]+)\ udp\ ([0-9]+)$ ]]; then
                SIM_HOST=${BASH_REMATCH[1]}
                SIM_TCP_PORT=${BASH_REMATCH[2]}
                SIM_UDP_PORT=${BASH_REMATCH[3]}
                break
            fi
            printf '%s\n' "$line"
        elif [ $? -gt 128 ]; then
            status=timeout
            break
        else
            # End of its output: it has exited (or closed stdout, which it
            # never does while it runs).
            wait "$SIM_PID" && status=$? || status=$?
            break
        fi
    done
    if [ "$status" = 0 ] && [ -n "$SIM_HOST" ]; then
        cat <&"$fd" &
        _sim_forwarders+=($!)
        exec {fd}<&-
        tail -n +1 -f --pid="$SIM_PID" "$_sim_dir/err" >&2 &
        _sim_forwarders+=($!)
        return 0
    fi
    exec {fd}<&-
    if [ "$status" = timeout ]; then
        echo "$script_tag: $program did not report that it listens within ${SIM_START_SECONDS:-10} s" >&2
        stop_process "$SIM_PID"
    else
        echo "$script_tag: $program exited with status $status before it listened:" >&2
    fi
    if [ -s "$_sim_dir/err" ]; then
        sed 's/^/    /' "$_sim_dir/err" >&2
    else
        echo "    (it printed no reason)" >&2
    fi
    return 1
}

# Stops the simulator that start_module_sim started, before the script ends
# (to start another in its place).
stop_module_sim() {
    _stop_module_sim
    SIM_PID=""
}

_stop_module_sim() {
    local pid i
    [ -n "${SIM_PID:-}" ] && stop_process "$SIM_PID"
    # The forwarders end by themselves once the simulator's last words are out.
    for pid in "${_sim_forwarders[@]}"; do
        for (( i = 0; i < 20; i++ )); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        stop_process "$pid"
    done
    rm -rf "$_sim_dir"
}
