#!/usr/bin/env bash
# Runs a Windows program under Wine in a prefix that belongs to one CTest run, never ~/.wine.
#   cmake/wine-run.sh <program.exe> [arguments...]
#
# CTest starts this script both to list a test executable's tests (gtest discovery, before any
# test runs) and to run each test, so the prefix cannot come from a setup test: the first call of
# a run makes it, under a lock, and every later call of the same run finds it. A run is named by
# the CTest process (its pid and start time, so a reused pid is a different run). When that process
# is gone, a detached reaper stops the prefix's wineserver and deletes the prefix; a run killed
# before its reaper could act is swept by the next run. Called from anywhere but CTest, the program
# gets a prefix of its own that is deleted when it exits.
#
# The programs of a run are run one at a time, as they all write to the one registry.
#
# The wineserver is started persistent and before any test, with its output sent to a log: one
# server for the whole run keeps each test's start-up short, and a server started by a test would
# hold that test's output pipe open after the test ends.
set -euo pipefail

if [ "$#" -lt 1 ]; then
    echo "usage: $0 <program.exe> [arguments...]" >&2
    exit 2
fi

wine="$(command -v wine64 || true)"
[ -n "$wine" ] || wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine="$(command -v wine)"
wineserver="$(command -v wineserver || true)"
[ -n "$wineserver" ] || wineserver=/usr/lib/wine/wineserver

base="${TMPDIR:-/tmp}/qelconfig-wine-$(id -u)"
mkdir -p "$base"
chmod 700 "$base"

# The start time of a process, in clock ticks since boot; empty when it no longer exists.
start_time() {
    local stat
    stat="$(cat "/proc/$1/stat" 2>/dev/null)" || return 0
    # Field 22, counted after the command name, which may itself hold spaces.
    set -- ${stat##*) }
    echo "${20}"
}

# Wine's state for one run: the prefix and a home of its own, so nothing lands in the user's.
use_run() {
    run_dir="$1"
    export WINEPREFIX="$run_dir/prefix"
    export HOME="$run_dir/home"
    export XDG_CONFIG_HOME="$HOME/.config" XDG_DATA_HOME="$HOME/.local/share"
    export XDG_CACHE_HOME="$HOME/.cache"
    export WINEDEBUG="${QEL_WINEDEBUG:--all}"
    # No Mono or Gecko installer, no menu entries: console tests need none of them.
    export WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe=d"
    export WINEARCH=win64
    unset DISPLAY WAYLAND_DISPLAY
}

remove_run() {
    (
        use_run "$1"
        [ -d "$WINEPREFIX" ] && "$wineserver" -k >/dev/null 2>&1 || true
        [ -d "$WINEPREFIX" ] && "$wineserver" -w >/dev/null 2>&1 || true
    )
    rm -rf "$1" "$1.lock"
}

# Deletes the prefixes of runs whose CTest process has ended.
sweep() {
    local dir name pid started
    for dir in "$base"/run-*; do
        [ -d "$dir" ] || continue
        name="${dir##*/run-}"
        pid="${name%%-*}"
        started="${name#*-}"
        [ "$(start_time "$pid")" = "$started" ] && continue
        remove_run "$dir"
    done
}

make_prefix() {
    rm -rf "$run_dir"
    mkdir -p "$HOME" "$WINEPREFIX"
    # Neither the server nor the boot's processes may inherit the lock.
    "$wineserver" -p </dev/null >>"$run_dir/wine.log" 2>&1 9>&-
    if ! "$wine" wineboot -i </dev/null >>"$run_dir/wine.log" 2>&1 9>&-; then
        cat "$run_dir/wine.log" >&2
        echo "wine-run.sh: wineboot failed in $WINEPREFIX" >&2
        return 1
    fi
    touch "$run_dir/ready"
}

if [ "$1" = "--reap" ]; then
    # --reap <run dir> <pid> <start time>: waits for the run to end, then deletes its prefix.
    while [ "$(start_time "$3")" = "$4" ]; do sleep 1; done
    remove_run "$2"
    exit 0
fi

parent="$PPID"
if [ "$(cat "/proc/$parent/comm" 2>/dev/null)" = "ctest" ]; then
    started="$(start_time "$parent")"
    use_run "$base/run-$parent-$started"
    exec 9>"$run_dir.lock"
    flock 9
    if [ ! -e "$run_dir/ready" ]; then
        sweep
        make_prefix
        setsid "$0" --reap "$run_dir" "$parent" "$started" </dev/null >/dev/null 2>&1 9>&- &
    fi
    exec 9>&-
    # One program at a time, whatever ctest -j says: the tests of a run share one registry.
    # -o keeps the lock out of Wine's processes, which may outlive the program.
    exec flock -o "$run_dir/serial.lock" "$wine" "$@"
fi

use_run "$(mktemp -d "$base/single-XXXXXX")"
trap 'remove_run "$run_dir"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
make_prefix
status=0
"$wine" "$@" || status=$?
exit "$status"
