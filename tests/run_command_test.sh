#!/usr/bin/env bash
# The run command without a display: it must save a screenshot of the whole
# window, taken once detection has found the simulator on the port asked
# for, whatever platform the caller's environment names for Qt, and leave
# nothing behind but the screenshot.
set -euo pipefail
unset DISPLAY
export QT_QPA_PLATFORM=offscreen
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
TMPDIR=$scratch "$(dirname "$0")/../tools/demo.sh" --com 4 >"$scratch/output.txt"
screenshot=$(tail -n 1 "$scratch/output.txt")
grep -q '^COM4: ' "$scratch/output.txt" || {
    echo "the simulator was not started as COM4:" >&2
    cat "$scratch/output.txt" >&2
    exit 1
}
[ -s "$screenshot" ] || { echo "no screenshot at '$screenshot'" >&2; exit 1; }
left=$(cd "$scratch" && find . -maxdepth 1 -name 'melvix-demo.*')
[ -z "$left" ] || { echo "left behind: $left" >&2; exit 1; }
pngtopnm "$screenshot" >"$scratch/screenshot.pnm"
size=$(head -c 64 "$scratch/screenshot.pnm" | sed -n 2p)
[ "$size" = "459 387" ] || { echo "the screenshot is $size, not the window's 459 387" >&2; exit 1; }
echo "screenshot of $size pixels"
