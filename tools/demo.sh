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
# shellcheck source=tools/lib.sh
source tools/lib.sh
build=${MELVIX_BUILD_DIR:-build}
simulator=$build/tools/modulesim/modulesim
program=$build/app/melvix-programmer

for built in "$simulator" "$program"; do
    [ -x "$built" ] || { echo "$0: $built is not built (tools/run.sh builds it)" >&2; exit 1; }
done
read_program_version "$build" || exit 1

start_work melvix-demo

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

start_xvfb "$work" || { echo "Xvfb did not start" >&2; exit 1; }

# The display started here is an X server, whatever platform the caller's
# environment names.
MELVIX_PORT_DIR=$ports QT_QPA_PLATFORM=xcb "$program" &
pids+=($!)
# The window is shown only once detection is over: up to 21 ports.
wait_for 300 xwininfo -name "$window_title" || { echo "the window did not appear" >&2; exit 1; }
sleep 1 # let it paint
window=$(xwininfo -name "$window_title" | awk '/Window id:/ { print $4 }')
window_shot "$window" "$work/window.png"
screenshot=$(mktemp --suffix=.png -t melvix-programmer.XXXXXX)
mv "$work/window.png" "$screenshot"
echo "$screenshot"
