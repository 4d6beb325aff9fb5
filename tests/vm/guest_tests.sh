#!/bin/bash
# The tests on real serial drivers, run as root inside the test guest by
# tools/vm/guest.sh: COM1 is the console (ttyS0), COM2 a 16550 UART (ttyS1,
# the 8250 driver), COM3 and COM4 ports with no UART behind them, COM5 and
# COM6 FTDI adapters (ttyUSB0 and ttyUSB1, ftdi_sio; serial numbers
# MELVIX-USB1 and MELVIX-USB2, in the xHCI controller's ports 1 and 2). A module simulator on the host answers behind
# COM2 (channel 12, address WUAR), COM5 (34, WUSB) and COM6 (56, WUS2). No
# MELVIX_PORT_DIR: the default port map holds.
set -u
build=$MELVIX_BUILD_DIR
module=$build/cli/melvix-module
probe=$build/bench/startup_probe
export QT_QPA_PLATFORM=offscreen
unset MELVIX_PORT_DIR

failures=0
pass() { echo "ok - $1"; }
fail() {
    echo "FAIL - $1"
    shift
    [ $# -gt 0 ] && printf '    %s\n' "$@"
    failures=$((failures + 1))
}
# expect NAME TEXT PATTERN: TEXT holds a line that matches PATTERN (grep -E).
expect() {
    if grep -qE -- "$3" <<<"$2"; then pass "$1"; else fail "$1" "no line matches: $3" "got:" "$2"; fi
}

requests=0
# Asks the host (tools/vm/guest.sh) for something and waits until it is done.
ask_host() {
    requests=$((requests + 1))
    echo "@@vm s$requests $*" >/dev/console
    until [ -e "/mnt/done.s$requests" ]; do sleep 0.02; done
}

# Holds a port as another program would (flock), until release_ports. The
# holder is the process that sleeps, so that ending it lets go. It waits for
# the lock, which the check that it holds it takes for a moment.
held=()
hold_port() {
    bash -c 'exec 9<>"$1" && flock 9 && exec sleep 600' hold "$1" &
    held+=($!)
    local tries=500
    while flock -n "$1" true && [ $((tries -= 1)) -gt 0 ]; do sleep 0.02; done
}
release_ports() {
    local pid
    for pid in "${held[@]}"; do
        stop_process "$pid"
    done
    held=()
}

# Ends a process of this script with SIGTERM, or SIGKILL when it has not
# ended 10 s later; false in that case.
stop_process() {
    local tries=1000
    kill "$1" 2>/dev/null || return 0
    while kill -0 "$1" 2>/dev/null; do
        if [ $((tries -= 1)) -eq 0 ]; then
            kill -KILL "$1"
            wait "$1" 2>/dev/null
            return 1
        fi
        sleep 0.01
    done
    wait "$1" 2>/dev/null
    return 0
}

# ---- the default port map ----------------------------------------------
test_ports() {
    ports=$("$module" ports)
    echo "$ports" | sed 's/^/    /'
    expect "ports: COM1 is the console's UART" "$ports" '^COM1 \(/dev/ttyS0\): serial device'
    expect "ports: COM2 is the UART" "$ports" '^COM2 \(/dev/ttyS1\): serial device, can be opened$'
    expect "ports: COM3 has no UART behind it" "$ports" '^COM3 \(/dev/ttyS2\): no serial hardware behind this port$'
    expect "ports: COM4 has no UART behind it" "$ports" '^COM4 \(/dev/ttyS3\): no serial hardware behind this port$'
    expect "ports: COM5 is the first adapter" "$ports" '^COM5 \(/dev/ttyUSB0\): serial device, can be opened$'
    expect "ports: COM6 is the second adapter" "$ports" '^COM6 \(/dev/ttyUSB1\): serial device, can be opened$'
    expect "the devices are owned as udev owns them" "$(stat -c '%n %U:%G %a' /dev/ttyS1 /dev/ttyUSB0)" \
        '^/dev/ttyUSB0 root:dialout 660$'
    expect "ports: COM5's adapter on the line below it" "$(grep -A1 '^COM5 ' <<<"$ports")" \
        '^    USB 0403:6001, .*serial number MELVIX-USB1, driver ftdi_sio$'
    local json com5 com2
    json=$("$module" ports --json)
    expect "ports --json: COM3 has no hardware" "$json" '"port":"COM3","state":"no-hardware"'
    # Each port's object on a line of its own.
    com5=$(sed 's/{"description"/\n&/g' <<<"$json" | grep '"port":"COM5"')
    com2=$(sed 's/{"description"/\n&/g' <<<"$json" | grep '"port":"COM2"')
    echo "    $com5"
    echo "    $com2"
    for fact in '"vendorId":"0403"' '"productId":"6001"' '"serialNumber":"MELVIX-USB1"' \
        '"driver":"ftdi_sio"' \
        '"byId":\["/dev/serial/by-id/usb-QEMU_QEMU_USB_SERIAL_MELVIX-USB1-if00-port0"\]' \
        '"byPath":\["/dev/serial/by-path/pci-[0-9a-f:.]+-usb-0:[0-9.]+:1\.0-port0"\]'; do
        expect "ports --json: COM5's identity has $fact" "$com5" "$fact"
    done
    expect "ports --json: COM2's identity is its UART's driver" "$com2" '"identity":\{"driver":"serial"\}'
}

# ---- detect, read and write on both drivers ---------------------------------
test_commands() {
    expect "detect finds the module on the UART first" "$("$module" detect 2>&1)" '^COM2: channel 12, address WUAR$'
    expect "detect --parallel finds the module on the UART" "$("$module" detect --parallel 2>&1)" '^COM2: channel 12, address WUAR$'
    hold_port /dev/ttyS1
    expect "detect goes on to the adapter when the UART is held" "$("$module" detect 2>&1)" '^COM5: channel 34, address WUSB$'
    expect "detect --parallel goes on to the adapter" "$("$module" detect --parallel 2>&1)" '^COM5: channel 34, address WUSB$'
    release_ports
    for port in COM2:12:WUAR COM5:34:WUSB COM6:56:WUS2; do
        IFS=: read -r name channel address <<<"$port"
        expect "read on $name" "$("$module" read --port "$name" 2>&1)" "^$name: channel $channel, address $address\$"
        expect "write on $name" "$("$module" write --port "$name" --channel 77 2>&1)" "^$name: channel 77, address $address\$"
        expect "read on $name after the write" "$("$module" read --port "$name" 2>&1)" "^$name: channel 77, address $address\$"
        "$module" write --port "$name" --channel "$channel" >/dev/null
    done
}

# ---- a user who is not root -------------------------------------------------
test_not_root() {
    denied=$(setpriv --reuid=65534 --regid=65534 --clear-groups "$module" read --port COM5 2>&1)
    status=$?
    [ $status -ne 0 ] && pass "outside dialout: read fails (exit $status)" || fail "outside dialout: read fails" "$denied"
    expect "outside dialout: the dialout remedy is given" "$denied" 'permission denied.*dialout'
    expect "in dialout: read works" \
        "$(setpriv --reuid=65534 --regid=65534 --groups=dialout "$module" read --port COM5 2>&1)" \
        '^COM5: channel 34, address WUSB$'
}

# ---- idle on real drivers ---------------------------------------------------
# Context switches of every thread of a process so far.
switches() {
    cat /proc/"$1"/task/*/status 2>/dev/null |
        awk '/^(non)?voluntary_ctxt_switches:/ { sum += $2 } END { print sum + 0 }'
}
# The window's program with its port open on DEVICE, idle for 5 s: sets
# idle_rate to its wake-ups a second and idle_wchans to where its threads
# sleep.
idle_figure() {
    local device=$1 label=$2
    shift 2
    local pid before after tries=600
    idle_rate=none idle_wchans=
    env "$@" "$probe" --stay 60000 >/tmp/probe.out 2>&1 &
    pid=$!
    until grep -q shown /tmp/probe.out || [ $((tries -= 1)) -eq 0 ]; do sleep 0.05; done
    if ! ls -l /proc/$pid/fd 2>/dev/null | grep -q " $device\$"; then
        fail "$label: the window has $device open" "$(ls -l /proc/$pid/fd 2>&1)" "$(cat /tmp/probe.out)"
        stop_process $pid
        return
    fi
    sleep 1
    before=$(switches $pid)
    sleep 5
    after=$(switches $pid)
    idle_wchans=$(for task in /proc/$pid/task/*; do cat "$task/wchan"; echo; done | xargs)
    if ! kill -0 $pid 2>/dev/null; then
        fail "$label: the window ended before it was measured" "$(cat /tmp/probe.out)"
    elif ! stop_process $pid; then
        fail "$label: the window did not end on SIGTERM" "$(cat /tmp/probe.out)"
    else
        idle_rate=$(awk -v d=$((after - before)) 'BEGIN { printf "%.1f", d / 5 }')
    fi
    echo "figure: $label: $idle_rate wake-ups/s (its threads sleep in: $idle_wchans)"
}
# The window idle on DEVICE (behind DRIVER, whose TIOCMIWAIT sleeps in
# WAIT), beside the same with its lines sampled as without TIOCMIWAIT.
idle_on() {
    local device=$1 driver=$2 wait=$3 rate
    idle_figure "$device" "idle on the $driver, waiting in TIOCMIWAIT"
    rate=$idle_rate
    expect "idle on the $driver: the watcher sleeps in the driver's TIOCMIWAIT" "$idle_wchans" "$wait"
    idle_figure "$device" "idle on the $driver, lines sampled (no TIOCMIWAIT)" \
        LD_PRELOAD="$build/tests/vm/libno_modem_wait.so"
    if awk -v r="$rate" 'BEGIN { exit !(r <= 1) }'; then
        pass "idle on the $driver: $rate wake-ups/s (at most 1); sampled: $idle_rate"
    else
        fail "idle on the $driver: $rate wake-ups/s, more than 1 (sampled: $idle_rate)"
    fi
}
test_idle() {
    hold_port /dev/ttyS0
    idle_on /dev/ttyS1 "UART (8250)" uart_wait_modem_status
    hold_port /dev/ttyS1
    idle_on /dev/ttyUSB0 "adapter (ftdi_sio)" usb_serial_generic_tiocmiwait
    release_ports
}

# ---- modem lines and a real unplug under the window ------------------------
test_window() {
    if "$build/tests/vm/real_driver_tests" --gtest_brief=1; then
        pass "real_driver_tests"
    else
        fail "real_driver_tests"
    fi
}

# ---- the adapter pulled out while melvix-module write waits to read back ----
test_write_unplug() {
    local written status
    # The adapter is pulled out the moment the write command reaches the
    # module: inside the 500 ms that the command waits before it reads back.
    ask_host unplug-on-write usb1
    written=$(timeout 10 "$module" write --port COM5 --channel 44 2>&1)
    status=$?
    [ $status -ne 0 ] && [ $status -ne 124 ] && pass "unplugged during write: it fails (exit $status)" ||
        fail "unplugged during write: it fails at once" "exit $status: $written"
    # COM5 names the second adapter meanwhile: the default map numbers the
    # adapters present.
    expect "unplugged during write: it says that the device went away after the write" "$written" \
        'the device behind COM5 went away after the write command was sent'
    expect "meanwhile COM5 is the second adapter" "$("$module" ports)" '^COM5 \(/dev/ttyUSB1\)'
    [ ! -e /dev/ttyUSB0 ] && pass "unplugged during write: the adapter is gone" ||
        fail "unplugged during write: the adapter is gone"
    ask_host plug usb1
    until [ -e /dev/ttyUSB0 ]; do sleep 0.02; done
    /mnt/own-like-udev.sh
    expect "plugged in again: the adapter has its serial number and links again" \
        "$("$module" ports --json)" '"byId":\["/dev/serial/by-id/[^"]*_MELVIX-USB1-if00-port0"\],[^}]*"serialNumber":"MELVIX-USB1"[^}]*\},"port":"COM5"'
    expect "plugged in again: the write had been sent" "$("$module" read --port COM5 2>&1)" '^COM5: channel 44, address WUSB$'
    "$module" write --port COM5 --channel 34 >/dev/null
}

# ---- the production line: the adapter plugged out and in three times ------
# Lines of the log so far.
count_lines() { wc -l <"$1"; }
# Waits up to 30 s until FILE has COUNT lines.
wait_lines() {
    local tries=1500
    until [ "$(count_lines "$1")" -ge "$2" ] || [ $((tries -= 1)) -eq 0 ]; do sleep 0.02; done
}
test_each() {
    local log=/mnt/each.log err=/mnt/each.err pid round
    "$module" write --channel 40 --each --json >"$log" 2>"$err" &
    pid=$!
    # The modules plugged in from the start: the UART's and both adapters'.
    wait_lines "$log" 3
    for round in 1 2 3; do
        ask_host unplug usb1
        until [ ! -e /dev/ttyUSB0 ]; do sleep 0.02; done
        ask_host plug usb1
        until [ -e /dev/ttyUSB0 ]; do sleep 0.02; done
        /mnt/own-like-udev.sh
        wait_lines "$log" $((3 + round))
    done
    # Past two checks that the modules that stay are still there.
    sleep 2.5
    local status=0 lines tries=1000
    kill "$pid"
    while kill -0 "$pid" 2>/dev/null && [ $((tries -= 1)) -gt 0 ]; do sleep 0.01; done
    kill -0 "$pid" 2>/dev/null && fail "each: SIGTERM ends it within 10 s" && kill -KILL "$pid"
    wait "$pid" || status=$?
    lines=$(cat "$log")
    [ $status -eq 0 ] && pass "each: exit 0 with nothing failed" || fail "each: exit 0" "exit $status"
    [ "$(count_lines "$log")" -eq 6 ] && pass "each: one line a module plugged in" ||
        fail "each: one line a module plugged in" "$lines"
    [ "$(grep -c '"address":"WUSB"' <<<"$lines")" -eq 4 ] &&
        pass "each: the adapter's module is written each time it is plugged in" ||
        fail "each: the adapter's module is written each time it is plugged in" "$lines"
    [ "$(grep -c '"address":"WUAR"' <<<"$lines")" -eq 1 ] &&
        [ "$(grep -c '"address":"WUS2"' <<<"$lines")" -eq 1 ] &&
        pass "each: modules that stay plugged in are written once" ||
        fail "each: modules that stay plugged in are written once" "$lines"
    [ "$(grep -c '"channel":40,.*"exit":0' <<<"$lines")" -eq 6 ] &&
        pass "each: every write verified" || fail "each: every write verified" "$lines"
    expect "each: the summary" "$(cat "$err")" '6 programmed, 0 failed'
    "$module" write --port COM2 --channel 12 >/dev/null
    "$module" write --port COM5 --channel 34 >/dev/null
    "$module" write --port COM6 --channel 56 >/dev/null
}

# ---- port maps that follow the sockets and the adapters ---------------------
# Waits up to 10 s until the test CONDITION holds.
wait_until() {
    local tries=500
    until "$@" || [ $((tries -= 1)) -eq 0 ]; do sleep 0.02; done
}
# Pulls both adapters out and plugs FIRST into socket 1 and SECOND into
# socket 2, in that order: FIRST becomes ttyUSB0.
replug_adapters() {
    ask_host unplug usb1
    ask_host unplug usb2
    wait_until test ! -e /dev/ttyUSB0 -a ! -e /dev/ttyUSB1
    ask_host plug "$1" 1
    wait_until test -e /dev/ttyUSB0
    ask_host plug "$2" 2
    wait_until test -e /dev/ttyUSB1
    /mnt/own-like-udev.sh
}
# The COM numbers of a map's table with the names they lead through, less
# the devices that those lead to now.
map_links() {
    sed -nE 's/^(COM[0-9]+: [^ ]+).*/\1/p' <<<"$1"
}
test_map() {
    local by_path by_id json again
    rm -rf /tmp/line-path /tmp/line-id
    by_path=$("$module" map /tmp/line-path 2>&1)
    by_id=$("$module" map /tmp/line-id --by-id 2>&1)
    echo "$by_path" | sed 's/^/    /'
    echo "$by_id" | sed 's/^/    /'
    expect "map: COM1 stays the first UART" "$by_path" '^COM1: /dev/ttyS0$'
    expect "map --by-path: socket 1 is COM5" "$by_path" \
        '^COM5: /dev/serial/by-path/pci-[0-9a-f:.]+-usb-0:1:1\.0-port0 -> /dev/ttyUSB0$'
    expect "map --by-path: socket 2 is COM6" "$by_path" \
        '^COM6: /dev/serial/by-path/pci-[0-9a-f:.]+-usb-0:2:1\.0-port0 -> /dev/ttyUSB1$'
    expect "map: the table tells the adapter's identity" "$(grep -A1 '^COM5: ' <<<"$by_path")" \
        '^    USB 0403:6001, .*serial number MELVIX-USB1, driver ftdi_sio$'
    expect "map --by-id: MELVIX-USB1 is COM5" "$by_id" \
        '^COM5: /dev/serial/by-id/usb-QEMU_QEMU_USB_SERIAL_MELVIX-USB1-if00-port0 -> /dev/ttyUSB0$'
    expect "map --by-id: MELVIX-USB2 is COM6" "$by_id" \
        '^COM6: /dev/serial/by-id/usb-QEMU_QEMU_USB_SERIAL_MELVIX-USB2-if00-port0 -> /dev/ttyUSB1$'

    # The second adapter first, into socket 1; the first into socket 2.
    replug_adapters usb2 usb1
    expect "swapped: ttyUSB0 is the second adapter in socket 1" "$("$module" ports --json)" \
        '"byPath":\["/dev/serial/by-path/[^"]*-usb-0:1:1\.0-port0"\],[^}]*"serialNumber":"MELVIX-USB2"[^}]*\},"port":"COM5"'
    again=$("$module" map /tmp/line-path 2>&1)
    [ "$(map_links "$again")" = "$(map_links "$by_path")" ] &&
        pass "map --by-path again: each socket keeps its COM number" ||
        fail "map --by-path again: each socket keeps its COM number" "before:" "$by_path" "now:" "$again"
    expect "map --by-path again: socket 1 leads to the other adapter now" \
        "$(MELVIX_PORT_DIR=/tmp/line-path "$module" ports | grep -A1 '^COM5 ')" 'serial number MELVIX-USB2'
    json=$("$module" map /tmp/line-id --by-id --json 2>&1)
    echo "    $json"
    again=$("$module" map /tmp/line-id --by-id 2>&1)
    [ "$(map_links "$again")" = "$(map_links "$by_id")" ] &&
        pass "map --by-id again: each adapter keeps its COM number" ||
        fail "map --by-id again: each adapter keeps its COM number" "before:" "$by_id" "now:" "$again"
    expect "map --by-id --json: COM5 is MELVIX-USB1, now ttyUSB1" "$json" \
        '\{"device":"/dev/ttyUSB1","identity":\{[^}]*"serialNumber":"MELVIX-USB1"[^}]*\},"link":"/dev/serial/by-id/[^"]*MELVIX-USB1[^"]*","port":"COM5"\}'
    for check in line-path:COM5:WUS2 line-path:COM6:WUSB line-id:COM5:WUSB line-id:COM6:WUS2; do
        IFS=: read -r map port address <<<"$check"
        expect "MELVIX_PORT_DIR=/tmp/$map: read on $port reaches $address" \
            "$(MELVIX_PORT_DIR=/tmp/$map "$module" read --port "$port" 2>&1)" "^$port: channel [0-9]+, address $address\$"
    done
    replug_adapters usb1 usb2
    expect "the adapters are back in their own sockets" "$("$module" ports)" '^COM6 \(/dev/ttyUSB1\)'
}

# The sections named on the command line, or all of them.
sections=("$@")
[ ${#sections[@]} -gt 0 ] || sections=(ports commands not_root idle window write_unplug each map)
for section in "${sections[@]}"; do
    if declare -F "test_$section" >/dev/null; then
        SECONDS=0
        "test_$section"
        echo "section $section took $SECONDS s"
    else
        fail "there is no section '$section'"
    fi
done
echo "tests done with $failures failures"
[ $failures -eq 0 ]
