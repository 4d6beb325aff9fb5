# What the scripts that start programs, and the tests of those scripts, share:
# a temporary folder and the processes started, stopped however the script
# ends; waiting for a condition; a virtual display; a window's screenshot;
# counted PASS and FAIL lines; the version and window title of a build.
# Sourced, never run:
#   source "$(dirname "$0")/lib.sh"
# shellcheck shell=bash

# Processes that stop_all ends, last started first: the program closes its
# port while the simulator still holds the other end.
pids=()
# A command that stop_all runs once they have ended, before the folder goes.
stop_also=()
# The temporary folder that stop_all removes.
work=

# start_work NAME: makes the temporary folder $work (NAME.XXXXXX, in TMPDIR)
# and has stop_all run however the script ends: at its end, on an error, or on
# SIGHUP, SIGINT or SIGTERM, after which it exits with the signal's status.
start_work() {
    trap stop_all EXIT
    trap 'exit 129' HUP
    trap 'exit 130' INT
    trap 'exit 143' TERM
    work=$(mktemp -d -t "$1.XXXXXX")
}

# stop_all: ends every process in pids with SIGTERM, last started first,
# waiting for each to end; then runs stop_also and removes $work.
stop_all() {
    local i
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill "${pids[i]}" 2>/dev/null || true
        wait "${pids[i]}" 2>/dev/null || true
    done
    if [ ${#stop_also[@]} -gt 0 ]; then
        "${stop_also[@]}" 2>/dev/null || true
    fi
    [ -z "$work" ] || rm -rf "$work"
}

# wait_for TENTHS COMMAND [ARGUMENTS]: waits up to TENTHS tenths of a second
# for the command to succeed, trying it every tenth; gives up at once when it
# fails with status 2, by which a condition says that waiting is useless.
wait_for() {
    local tries=$1 rc
    shift
    for (( ; tries > 0; tries--)); do
        rc=0
        "$@" >/dev/null 2>&1 || rc=$?
        [ "$rc" -ne 0 ] || return 0
        [ "$rc" -ne 2 ] || return 1
        sleep 0.1
    done
    return 1
}

# ended PID: the process has ended (or is none of this user's).
ended() {
    ! kill -0 "$1" 2>/dev/null
}

# start_xvfb FOLDER: starts a virtual display, 800x600 in 24 bits and closed to
# the network, appends it to pids and exports DISPLAY once it is up, which
# its number, written to FOLDER/display, tells. False when it is not up
# within 10 s.
start_xvfb() {
    local display
    Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$1/display" 2>/dev/null &
    pids+=($!)
    wait_for 100 test -s "$1/display" || return 1
    display=$(cat "$1/display")
    export DISPLAY=":$display"
}

# window_shot WINDOW_ID FILE: saves the window, as the X server shows it, as
# a PNG.
window_shot() {
    xwd -silent -id "$1" | xwdtopnm 2>/dev/null | pnmtopng >"$2"
}

# pass NAME, fail NAME [OUTPUT]: a PASS line on standard output or a FAIL line
# on standard error, counted in passed and failed; the output that shows why
# something failed follows its line, indented.
passed=0
failed=0
pass() {
    passed=$((passed + 1))
    echo "PASS: $1"
}
fail() {
    failed=$((failed + 1))
    echo "FAIL: $1" >&2
    # shellcheck disable=SC2001 # a prefix for every line
    [ -z "${2:-}" ] || sed 's/^/    /' <<<"$2" >&2
}

# read_program_version BUILD_DIR: sets program_version, window_title,
# product_name and publisher to those of the programs in the build, which
# CMake writes from project() when it configures it. False, with a message, for a folder CMake never
# configured.
# shellcheck disable=SC2034 # for the scripts that source this
program_version=
# shellcheck disable=SC2034
window_title=
# shellcheck disable=SC2034
product_name=
# shellcheck disable=SC2034
publisher=
read_program_version() {
    local constants=$1/program-version.sh
    if [ ! -f "$constants" ]; then
        echo "$(basename "$0"): $constants is missing: $1 is not a configured build" >&2
        return 1
    fi
    # shellcheck source=/dev/null # written by CMake into the build
    source "$constants"
}
