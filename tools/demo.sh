#!/usr/bin/env bash
# Starts the module simulator as COM3 in a fresh port map directory and the
# program on that map. Options are the simulator's (see modulesim --help);
# it starts with channel 5 and address WXYZ unless told otherwise.
#
# With a display, the program shows there and everything stops when its
# window closes. With none, it runs under Xvfb: once the window is up (it
# appears only after detection has filled it) a screenshot is saved as a PNG,
# its path printed, and everything stops.
#
# MELVIX_BUILD_DIR names the build directory (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${MELVIX_BUILD_DIR:-build}
simulator=$build/tools/modulesim/modulesim
program=$build/app/melvix-programmer
title="Melvix Radio Module Programmer 1.45"

work=$(mktemp -d -t melvix-demo.XXXXXX)
pids=()
stop_all() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work/ports" "$work/display"
}
trap stop_all EXIT
trap 'exit 130' INT TERM

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

"$simulator" --port-dir "$work/ports" --com 3 "$@" &
pids+=($!)
wait_for 50 test -L "$work/ports/com3" || { echo "the simulator did not start" >&2; exit 1; }

if [ -n "${DISPLAY:-}" ]; then
    MELVIX_PORT_DIR=$work/ports "$program"
    exit
fi

Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
pids+=($!)
wait_for 100 test -s "$work/display" || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(cat "$work/display")"

MELVIX_PORT_DIR=$work/ports "$program" &
pids+=($!)
# The window is shown only once detection is over: up to 21 ports.
wait_for 300 xwininfo -name "$title" || { echo "the window did not appear" >&2; exit 1; }
sleep 1 # let it paint
window=$(xwininfo -name "$title" | awk '/Window id:/ { print $4 }')
screenshot=$work/melvix-programmer.png
xwd -silent -id "$window" | xwdtopnm 2>/dev/null | pnmtopng >"$screenshot"
echo "$screenshot"
