#!/usr/bin/env bash
# A termination signal must end the program as closing its window does: the
# serial port is closed and released, so that another open of it succeeds
# afterwards. Tried on a simulated module, whose own end keeps the device
# held open, as an unprivileged user, since root ignores the exclusive mark.
#   signal_test.sh PROGRAM MODULESIM
set -euo pipefail
# shellcheck source=tools/lib.sh
source "$(dirname "$0")/../tools/lib.sh"
program=$1
simulator=$2

as_user=()
if [ "$(id -u)" = 0 ]; then
    as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
fi
# Background jobs get SIGINT's default action only under job control.
set -m

work=$(mktemp -d)
chmod 755 "$work"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill -KILL "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

mkdir "$work/ports"
[ "$(id -u)" != 0 ] || chown 65534:65534 "$work/ports"
"${as_user[@]}" "$simulator" --port-dir "$work/ports" --com 3 >"$work/simulator.out" &
pids+=($!)
wait_for 100 test -s "$work/simulator.out" || true
device=$(sed -n 's/.* -> //p' "$work/simulator.out")
[ -n "$device" ] || { echo "FAIL: the simulator did not start" >&2; exit 1; }

opens() {
    "${as_user[@]}" bash -c 'exec 3<>"$1"' opener "$device" 2>/dev/null
}

opens || { echo "FAIL: $device cannot be opened even before the program runs" >&2; exit 1; }

for signal in TERM INT HUP; do
    QT_QPA_PLATFORM=offscreen MELVIX_PORT_DIR=$work/ports "${as_user[@]}" "$program" \
        >"$work/program.out" 2>&1 &
    pid=$!
    pids+=("$pid")
    # Held: the program has found the module and keeps its port exclusively.
    held=false
    for _ in $(seq 300); do
        if ! opens; then
            held=true
            break
        fi
        sleep 0.1
    done
    if ! $held; then
        echo "FAIL: the program never held the port" >&2
        cat "$work/program.out" >&2
        exit 1
    fi
    # As the documentation says: the exclusive mark does not stop root.
    if [ "$(id -u)" = 0 ] && ! bash -c 'exec 3<>"$1"' opener "$device" 2>/dev/null; then
        fail "root could not open the held port"
    fi
    kill -s "$signal" "$pid"
    status=0
    wait "$pid" || status=$?
    expected=$((128 + $(kill -l "$signal")))
    if [ "$status" != "$expected" ]; then
        fail "SIG$signal: exit status $status, not $expected (ended by the signal)"
    fi
    if ! opens; then
        fail "SIG$signal: the port cannot be opened after the program ended"
    fi
done
[ "$failed" -eq 0 ] || exit 1
echo "SIGTERM, SIGINT and SIGHUP each closed and released the port"
