#!/usr/bin/env bash
# Runs the Windows deliverable under Wine against module simulators:
# melvix-module.exe's commands, the Windows tests, and melvix-programmer.exe
# in a virtual display, found, read, written and closed.
#   tools/windows/wine.sh WINDOWS_BUILD_DIR [SCREENSHOT.png]
# The programs run from the zip that tools/windows/build.sh packed in
# WINDOWS_BUILD_DIR, the tests from beside them; the simulator is the Linux
# build's (MELVIX_BUILD_DIR, default build). The window's screenshot once it has found
# the module is saved as SCREENSHOT (or in a temporary file), and one after a
# write through the window beside it as SCREENSHOT-written.png; both paths are
# printed.
#
# Wine runs in a prefix of its own in a temporary folder, which no real serial
# device reaches (see wine-lib.sh).
set -euo pipefail
cd "$(dirname "$0")/../.."
# shellcheck source=tools/lib.sh
source tools/lib.sh
# shellcheck source=tools/windows/wine-lib.sh
source tools/windows/wine-lib.sh
windows_build=$(realpath "$1")
screenshot=${2:-}
read_program_version "$windows_build" || exit 1
zip=$windows_build/melvix-programmer-$program_version-windows-x86_64.zip

start_work melvix-wine

start=$SECONDS
start_prefix
echo "wine: prefix ready in $((SECONDS - start)) s"

app=$work/app
mkdir "$app"
(cd "$app" && unzip -q "$zip")
app=$(echo "$app"/*/)
module=$app/melvix-module.exe
program=$app/melvix-programmer.exe
# Beside the zip's DLLs, as a Windows user would run it.
cp "$windows_build/windows_tests.exe" "$app"
tests=$app/windows_tests.exe

checks=$SECONDS
# Nothing mapped: nothing found, and no port listed as there.
expect "ports with nothing mapped" 0 '^COM21: ' "$module" ports
expect "detect with nothing mapped" 1 'not found|no module' "$module" detect
expect "read on an unmapped port" 1 'COM3' "$module" read --port COM3

simulate 3
simulate 5 --channel 9 --address WQRS
# What Wine's serial layer does on a pseudo-terminal, where it differs from
# Windows (see serial_probe.c).
x86_64-w64-mingw32-gcc-posix -O2 -Wall -Werror -o "$work/serial_probe.exe" \
    tools/windows/serial_probe.c
run_wine "$work/serial_probe.exe" COM3 | tr -d '\r' | sed 's/^/wine: COM3: /'
expect "ports" 0 'COM3 .*can be opened' "$module" ports
expect "ports lists COM5" 0 'COM5 .*can be opened' "$module" ports
# Wine's device manager has no device for a COM port that is a link in
# dosdevices, and its serial port map (SERIALCOMM) lists only the ports that
# Wine mapped itself: a simulated port has no identity, and none is made up.
expect "ports --json: COM3 is there, and Wine tells nothing of its device" 0 \
    '"device":"\\\\\\\\.\\\\COM3","port":"COM3","state":"available"' "$module" ports --json
expect "detect" 0 '^COM3: channel 5, address WXYZ$' "$module" detect
expect "detect --json" 0 '"address":"WXYZ","channel":5,.*"found":true,.*"port":"COM3"' \
    "$module" detect --json
expect "detect --parallel" 0 '^COM3: channel 5, address WXYZ$' "$module" detect --parallel
expect "read COM5" 0 '^COM5: channel 9, address WQRS$' "$module" read --port COM5
expect "read COM5 --json" 0 '"address":"WQRS","channel":9,.*"found":true,.*"port":"COM5"' \
    "$module" read --port COM5 --json
expect "write COM3" 0 'channel 7' "$module" write --channel 7 --port COM3
expect "read back COM3" 0 '^COM3: channel 7, address WXYZ$' "$module" read --port COM3
expect "write --json" 0 '"channel":11,.*"written":true' \
    "$module" write --channel 11 --port COM3 --json
# The production record through the Windows file calls: a started line on
# disk before the write, its result after the read-back; then the same module
# with the same channel is only checked.
record="Z:$work/line.csv"
expect "write --log" 0 'channel 21' "$module" write --channel 21 --port COM3 --log "$record"
lines=$(tr -d '\r' <"$work/line.csv")
if grep -q '^record,time,host,user,port' <<<"$lines" &&
    [ "$(sed -n 2p <<<"$lines" | cut -d, -f1)" = started ] &&
    [ "$(sed -n 3p <<<"$lines" | cut -d, -f1,14)" = result,verified ]; then
    pass "the record holds a header, the started line and then the result"
else
    fail "the record holds a header, the started line and then the result" "$lines"
fi
expect "write --log of a module programmed already" 0 'already programmed at 20' \
    "$module" write --channel 21 --port COM3 --log "$record"
# A module that stays plugged in is written once by --each: its device did
# not go away between two looks.
only_simulated_ports
each=$(timeout 10 "$wine" "$module" write --channel 13 --each --port COM5 --json 2>/dev/null) || true
if [ "$(grep -c '"written":true' <<<"$each")" -eq 1 ]; then
    pass "--each writes a module that stays plugged in once"
else
    fail "--each writes a module that stays plugged in once" "$each"
fi
expect "usage error" 64 'unknown command' "$module" frobnicate
# A module that never answers: the read ends and says so. Each reply wait
# ends by a timer, which under Wine may fire before the wait's deadline or
# go unseen, and a wait that relied on one wake never ended then; that
# happens in few reads, so the read is tried several times.
simulate 6 --silent
silent_reads=10
for ((try = 1; try <= silent_reads; try++)); do
    rc=0
    output=$(run_wine "$module" read --port COM6 2>&1) || rc=$?
    output=${output//$'\r'/}
    { [ "$rc" -eq 1 ] && grep -q 'the module on COM6 does not answer' <<<"$output"; } || break
done
if [ "$try" -gt "$silent_reads" ]; then
    pass "read on a module that never answers ends, $silent_reads times of $silent_reads"
else
    fail "read on a module that never answers ends (try $try: exit status $rc, expected 1)" "$output"
fi
echo "wine: melvix-module.exe checks in $((SECONDS - checks)) s"

checks=$SECONDS
simulate 4
only_simulated_ports
# On a terminal, where Wine gives a console program a console: the console
# control events need one.
rc=0
MELVIX_TEST_COM=4 MELVIX_TEST_FREE_COM=7 script -qec "$wine $tests >$work/tests.out 2>&1" \
    /dev/null >/dev/null </dev/null || rc=$?
tr -d '\r' <"$work/tests.out" | grep -E '^\[ +(OK|FAILED|PASSED|SKIPPED) +\]|^\[=+\]' || true
if [ "$rc" -eq 0 ]; then
    pass "windows_tests.exe"
else
    fail "windows_tests.exe (exit status $rc)" "$(tr -d '\r' <"$work/tests.out" | tail -40)"
fi
echo "wine: windows_tests.exe in $((SECONDS - checks)) s"

# The window.
checks=$SECONDS

# click WINDOW X Y: a left click at X,Y inside the window.
click() {
    xdotool mousemove --window "$1" "$2" "$3" click 1
    sleep 0.3
}
# Where the window's controls are (Radio.ui, as Wine lays it out).
channel_box="40 228"
read_button="272 224"
write_button="272 248"
exit_button="390 326"

only_simulated_ports
"$wine" "$program" >"$work/program.out" 2>&1 &
program_pid=$!
pids+=("$program_pid")
# The window is shown once detection is over; a program that ended is not
# waited for.
window_up() {
    kill -0 "$program_pid" 2>/dev/null || return 2
    xdotool search --name "^$window_title\$" >/dev/null 2>&1
}
if wait_for 600 window_up; then
    pass "the window opens"
    window=$(xdotool search --name "^$window_title\$" | head -1)
    sleep 2 # let it paint
    [ -n "$screenshot" ] || screenshot=$(mktemp --suffix=.png -t melvix-programmer-wine.XXXXXX)
    window_shot "$window" "$screenshot"
    echo "$screenshot"

    # Write channel 12 through the window, then Read: the simulator takes
    # the write, and the program reads it back.
    click "$window" $channel_box
    xdotool key --window "$window" ctrl+a
    xdotool type --window "$window" 12
    click "$window" $write_button
    sleep 2
    click "$window" $read_button
    sleep 1
    window_shot "$window" "${screenshot%.png}-written.png"
    echo "${screenshot%.png}-written.png"

    # Exit closes the port and ends the program. (Ctrl+C cannot reach it:
    # Wine, as Windows, sends console control events only to a program with
    # a console, and this one is a window program.)
    click "$window" $exit_button
    rc=0
    wait_for 100 ended "$program_pid" && wait "$program_pid" || rc=$?
    if [ "$rc" -eq 0 ]; then
        pass "Exit ends the program"
    else
        fail "Exit ends the program (exit status $rc)" "$(cat "$work/program.out")"
    fi
    expect "the window wrote channel 12, and the port is free again" 0 \
        '^COM3: channel 12, address WXYZ$' "$module" read --port COM3
else
    fail "the window opens" "$(cat "$work/program.out")"
fi
echo "wine: window checks in $((SECONDS - checks)) s"

# Log-off or shutdown: a window program gets no console control event, but
# the end of the session, after which Windows, and Wine as it, ends the
# process. Wine's trace of the serial calls shows whether the port was closed
# before that: closing restores the port's timeouts as its last call. Last,
# since it ends every program of the prefix.
checks=$SECONDS
only_simulated_ports
: >"$work/session.out"
WINEDEBUG=+comm "$wine" "$program" >>"$work/session.out" 2>&1 &
program_pid=$!
pids+=("$program_pid")
if wait_for 600 window_up; then
    echo "@@ the session ends" >>"$work/session.out"
    "$wine" wineboot --end-session >"$work/wineboot.out" 2>&1 || true
    if wait_for 100 ended "$program_pid"; then
        # Ended by Wine with SIGKILL, as Windows ends it.
        wait "$program_pid" 2>/dev/null || true
        pass "the end of the session ends the program"
    else
        fail "the end of the session ends the program" "$(cat "$work/wineboot.out")"
    fi
    if sed -n '/^@@ the session ends/,$p' "$work/session.out" | grep -q 'IOCTL_SERIAL_SET_TIMEOUTS'; then
        pass "the port is closed before the session's end ends the program"
    else
        fail "the port is closed before the session's end ends the program" \
            "$(sed -n '/^@@ the session ends/,$p' "$work/session.out" | grep -v WAIT_ON_MASK | tail -20)"
    fi
    expect "after the end of the session the port is free" 0 \
        '^COM3: channel 12, address WXYZ$' "$module" read --port COM3
else
    fail "the window opens again" "$(cat "$work/session.out")"
fi
echo "wine: session end checks in $((SECONDS - checks)) s"

echo "wine: $((SECONDS - start)) s in all"
echo "wine: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
