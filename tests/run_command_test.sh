#!/usr/bin/env bash
# The run command without a display: it must save a screenshot of the whole
# window, taken once detection has found the simulator.
set -euo pipefail
unset DISPLAY
screenshot=$("$(dirname "$0")/../tools/demo.sh" | tail -n 1)
trap 'rm -rf "$(dirname "$screenshot")"' EXIT
[ -s "$screenshot" ] || { echo "no screenshot at '$screenshot'" >&2; exit 1; }
pngtopnm "$screenshot" >"$screenshot.pnm"
size=$(head -c 64 "$screenshot.pnm" | sed -n 2p)
[ "$size" = "459 387" ] || { echo "the screenshot is $size, not the window's 459 387" >&2; exit 1; }
echo "screenshot of $size pixels"
