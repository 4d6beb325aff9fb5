#!/usr/bin/env bash
# The run command's ways to end: the simulator's own answer at once when it
# ends first (help, a bad option), a plain message when nothing is built, and
# on SIGTERM the program closed before everything stops. The temporary
# folder goes on every path.
set -euo pipefail
tools=$(cd "$(dirname "$0")/../tools" && pwd)
demo=$tools/demo.sh
# shellcheck source=tools/lib.sh
source "$tools/lib.sh"
read_program_version "$MELVIX_BUILD_DIR"
# The window must reach the X display each case gives it, whatever platform
# the caller's environment chose for Qt (packagers often set offscreen).
unset QT_QPA_PLATFORM
# Its own process group for each background job, so that cleaning up reaches
# whatever a stuck run left.
set -m

scratch=$(mktemp -d)
# Each of pids leads a process group.
cleanup() {
    local group
    for group in "${pids[@]}"; do
        kill -KILL -- "-$group" 2>/dev/null || true
    done
    rm -rf "$scratch"
}
trap cleanup EXIT

left_behind() {
    find "$scratch/tmp" -maxdepth 1 -name 'melvix-demo.*' | grep -q .
}
mkdir "$scratch/tmp"

# arguments | build directory | exit status | text in its output
cases=(
    "--help|$MELVIX_BUILD_DIR|0|Usage: modulesim"
    "--com 3 --bogus|$MELVIX_BUILD_DIR|2|unknown option '--bogus'"
    "--com 0|$MELVIX_BUILD_DIR|2|--com takes"
    "|$scratch/no-build|1|is not built"
)
for entry in "${cases[@]}"; do
    IFS='|' read -r arguments build expected says <<<"$entry"
    status=0
    # shellcheck disable=SC2086 # the arguments are words
    env -u DISPLAY TMPDIR="$scratch/tmp" MELVIX_BUILD_DIR="$build" \
        "$demo" $arguments >"$scratch/output.txt" 2>&1 || status=$?
    [ "$status" = "$expected" ] || fail "'$arguments': exit status $status, not $expected"
    grep -qF -- "$says" "$scratch/output.txt" ||
        fail "'$arguments' does not say '$says': $(cat "$scratch/output.txt")"
    ! grep -q 'did not' "$scratch/output.txt" ||
        fail "'$arguments' blames the start: $(cat "$scratch/output.txt")"
    ! left_behind || fail "'$arguments' left its temporary folder"
done

# With a display of its own, as a desktop session has one.
start_xvfb "$scratch" || { echo "FAIL: Xvfb did not start" >&2; exit 1; }
TMPDIR="$scratch/tmp" "$demo" >"$scratch/output.txt" 2>&1 &
run=$!
pids+=("$run")
wait_for 300 xwininfo -name "$window_title" ||
    fail "the window did not appear: $(cat "$scratch/output.txt")"
kill -TERM "$run"
# Generous: the program closes its port and the simulator its link.
if ! wait_for 300 ended "$run"; then
    fail "SIGTERM did not end the run while the program was open"
else
    status=0
    wait "$run" || status=$?
    [ "$status" = 143 ] || fail "after SIGTERM the exit status is $status, not 143"
    ! xwininfo -name "$window_title" >/dev/null 2>&1 || fail "the window outlived the run"
    ! left_behind || fail "SIGTERM left the temporary folder"
fi

[ "$failed" -eq 0 ] || exit 1
echo "help, bad options, a missing build and SIGTERM each end the run cleanly"
