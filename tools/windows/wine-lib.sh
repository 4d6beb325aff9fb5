# What the runs under Wine share (wine.sh runs the zip, wine-msi.sh the
# installer): a Wine prefix of their own that no real serial device reaches,
# module simulators mapped into it as COM ports, and checks of a program's
# exit status and output. Sourced after tools/lib.sh, never run:
#   source tools/windows/wine-lib.sh
# MELVIX_BUILD_DIR names the Linux build that provides the simulator (default:
# build).
# shellcheck shell=bash

wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
simulator=$(realpath "${MELVIX_BUILD_DIR:-build}/tools/modulesim/modulesim")
# The prefix's COM links (set by start_prefix).
ports=

# start_prefix: a fresh Wine prefix in $work/prefix (start_work first), ready
# for programs, in a virtual display, with one Wine server that stop_all
# ends. A fresh prefix maps COM1 to /dev/ttyS0, the console or a real port,
# and Wine maps every serial device it finds whenever its services start. So
# the prefix is told that COM1 to COM255 are taken, one persistent Wine server
# keeps the services from starting again, and before every program each COM
# link that does not lead to a simulator's pseudo-terminal is removed
# (run_wine): no program ever writes to a real device.
start_prefix() {
    local number
    # shellcheck disable=SC2154 # work and stop_also are tools/lib.sh's
    export WINEPREFIX=$work/prefix WINEDEBUG=-all
    # No Mono or Gecko, and no menu builder, which turns each shortcut made
    # in the prefix into a desktop entry and icons in the user's home. (One
    # list: "mscoree,mshtml=,winemenubuilder.exe=" would disable the first
    # two only.)
    export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
    ports=$WINEPREFIX/dosdevices
    # shellcheck disable=SC2034
    stop_also=("$wineserver" -k)
    # Every Wine program runs in a virtual display: without one, Wine starts
    # its desktop process again and again, and programs wait seconds for it.
    start_xvfb "$work" || { echo "$(basename "$0"): Xvfb did not start" >&2; exit 1; }

    mkdir "$WINEPREFIX"
    # Its output, such as the object dump it writes when it ends, is its own.
    "$wineserver" -p >"$work/wineserver.log" 2>&1
    "$wine" wineboot -i >/dev/null 2>&1
    printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n' >"$work/ports.reg"
    for number in $(seq 255); do
        printf '"COM%d"=""\n' "$number" >>"$work/ports.reg"
    done
    "$wine" regedit /S "Z:${work//\//\\}\\ports.reg"
    rm -f "$ports"/com*
    only_simulated_ports
    # Wine's desktop process ends soon after the last program that used it,
    # and the next program waits 10 s for a new one: a command prompt waiting
    # for input holds it for the whole run, and ends with the script's end of
    # the pipe.
    mkfifo "$work/hold"
    exec 4<>"$work/hold"
    "$wine" cmd.exe <"$work/hold" >/dev/null 2>&1 &
    pids+=($!)
    # The desktop process keeps the output of the program that started it:
    # started by a check's program whose output a pipe reads, it would hold
    # that pipe open, and the check wait, for the whole run. So it is up
    # before any check, started by a program without output.
    "$wine" cmd.exe /c exit >/dev/null 2>&1
}

# Removes every COM link that does not lead to a pseudo-terminal. Wine makes
# one only when its services start, and then, with COM1 to COM255 taken, as
# COM256, which no program here opens.
only_simulated_ports() {
    local link
    for link in "$ports"/com*; do
        [ -L "$link" ] || continue
        case "$(readlink "$link")" in
        /dev/pts/*) ;;
        *)
            echo "$(basename "$0"): removing $(basename "$link") -> $(readlink "$link"), which Wine made" >&2
            rm -f "$link"
            ;;
        esac
    done
}

# run_wine PROGRAM [ARGUMENTS]: runs a Windows program in the prefix. One
# that hangs fails its check (exit status 124) instead of the run.
run_wine() {
    only_simulated_ports
    timeout 120 "$wine" "$@"
}

# simulate N [OPTIONS]: a simulated module on COMN.
simulate() {
    local number=$1
    shift
    "$simulator" --port-dir "$ports" --com "$number" "$@" >"$work/simulator$number.out" &
    pids+=($!)
    wait_for 50 test -L "$ports/com$number" ||
        { echo "$(basename "$0"): no simulator on COM$number" >&2; exit 1; }
}

# expect NAME STATUS PATTERN PROGRAM [ARGUMENTS]: passes when the program
# exits with STATUS and its output, both streams, matches the extended
# regular expression PATTERN.
expect() {
    local name=$1 status=$2 pattern=$3 output rc=0
    shift 3
    output=$(run_wine "$@" 2>&1) || rc=$?
    output=${output//$'\r'/}
    if [ "$rc" -eq "$status" ] && grep -qE "$pattern" <<<"$output"; then
        pass "$name"
    else
        fail "$name (exit status $rc, expected $status)" "$output"
    fi
}
