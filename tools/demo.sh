#!/usr/bin/env bash
# Starts the module simulator in a fresh port map directory and the program on
# that map. Options are the simulator's (see modulesim --help); it is COM3 on
# channel 5 with address WXYZ unless told otherwise. When the simulator ends
# before its link is up (--help, a bad option), this stops at once with the
# simulator's output and exit status.
#
# With a display, the program shows there and everything stops when its
# window closes. SIGINT, SIGTERM and SIGHUP are passed on to the program as
# SIGTERM, so that it closes its port before everything stops. With no
# display it runs under Xvfb: once the window is up (it appears only after
# detection has filled it) a screenshot is saved as a PNG, its path printed,
# and everything stops. The temporary folder goes on every path; only the
# screenshot stays.
#
# MELVIX_BUILD_DIR names the build directory (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${MELVIX_BUILD_DIR:-build}
simulator=$build/tools/modulesim/modulesim
program=$build/app/melvix-programmer
title="Melvix Radio Module Programmer 1.45"

for built in "$simulator" "$program"; do
    [ -x "$built" ] || { echo "$0: $built is not built (tools/run.sh builds it)" >&2; exit 1; }
done

work=$(mktemp -d -t melvix-demo.XXXXXX)
# Stopped last started first: the program closes its port while the
# simulator still holds the other end.
pids=()
stop_all() {
    local i
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill "${pids[i]}" 2>/dev/null || true
        wait "${pids[i]}" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap stop_all EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# Waits up to $1 tenths of a second for the command after it to succeed.
wait_for() {
    local tries=$1
    shift
    until "$@" >/dev/null 2>&1; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || return 1
        sleep 0.1
    done
}

# The simulator's options come after ours, so that the user's --com and
# --port-dir count; the link it reports says which port and map it took. Its
# output file is made here first: the background job opens it only once it
# runs, and reading it before then would end this script.
: >"$work/simulator.out"
"$simulator" --port-dir "$work/ports" --com 3 "$@" >>"$work/simulator.out" &
simulator_pid=$!
pids+=("$simulator_pid")
link=
for ((tries = 50; tries > 0; tries--)); do
    link=$(sed -n 's/^COM[0-9]*: \(.*\) -> .*$/\1/p' "$work/simulator.out")
    [ -z "$link" ] || break
    if ! kill -0 "$simulator_pid" 2>/dev/null; then
        cat "$work/simulator.out"
        status=0
        wait "$simulator_pid" || status=$?
        exit "$status"
    fi
    sleep 0.1
done
[ -n "$link" ] || { echo "$0: the simulator did not make its link" >&2; exit 1; }
cat "$work/simulator.out"
ports=$(dirname "$link")

if [ -n "${DISPLAY:-}" ]; then
    # In the background, so that a signal reaches the traps above at once
    # instead of after the program has ended.
    MELVIX_PORT_DIR=$ports "$program" &
    pids+=($!)
    status=0
    wait "${pids[-1]}" || status=$?
    exit "$status"
fi

Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
pids+=($!)
wait_for 100 test -s "$work/display" || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(cat "$work/display")"

# The display started here is an X server, whatever platform the caller's
# environment names.
MELVIX_PORT_DIR=$ports QT_QPA_PLATFORM=xcb "$program" &
pids+=($!)
# The window is shown only once detection is over: up to 21 ports.
wait_for 300 xwininfo -name "$title" || { echo "the window did not appear" >&2; exit 1; }
sleep 1 # let it paint
window=$(xwininfo -name "$title" | awk '/Window id:/ { print $4 }')
xwd -silent -id "$window" | xwdtopnm 2>/dev/null | pnmtopng >"$work/window.png"
screenshot=$(mktemp --suffix=.png -t melvix-programmer.XXXXXX)
mv "$work/window.png" "$screenshot"
echo "$screenshot"
