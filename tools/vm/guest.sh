#!/usr/bin/env bash
# Boots the test virtual machine and runs a script in it as root; exits with
# the script's status. The guest runs this machine's root file system,
# read-only, so it runs the freshly built programs with nothing copied.
#   tools/vm/guest.sh BUILD_DIR SCRIPT [ARGUMENT...]
#
# The guest has the console on ttyS0, a 16550 UART as ttyS1 (COM2), and an
# FTDI adapter on an xHCI controller as ttyUSB0 (COM5), serial number
# MELVIX-USB1; ttyS2 and ttyS3 are ports with no UART behind them. With
# MELVIX_VM_SECOND_ADAPTER=1 a second FTDI adapter, MELVIX-USB2, is ttyUSB1
# (COM6). Each adapter sits in a socket of its own, usb1 in the xHCI
# controller's port 1 and usb2 in port 2, so that their /dev/serial/by-path
# names are fixed. The devices are root:dialout, mode 660, with their /dev/serial
# links, as Debian's udev rules make them. A module simulator on this
# machine serves the far end of each device through a QEMU socket character
# device; its options come from MELVIX_VM_UART_MODULE, MELVIX_VM_USB1_MODULE
# and MELVIX_VM_USB2_MODULE.
#
# The script sees MELVIX_BUILD_DIR, MELVIX_SOURCE_DIR and its arguments, and
# /mnt as a writable share; also MELVIX_WINDOWS_BUILD_DIR and
# MELVIX_WINE_PREFIX where they are set here, for the Windows build's run
# under Wine (tools/windows/test.sh). It asks this side for things with a line
# "@@vm ID REQUEST" on the console; once it is done, /mnt/done.ID exists.
#   unplug usb1             pulls the adapter out (QMP device_del)
#   unplug-on-read usb1     pulls it out the moment its module receives the
#                           next read command (done at once: it waits for that)
#   unplug-on-write usb1    the same with the next write command
#   plug usb1 [SOCKET]      plugs it in again (QMP device_add), into its own
#                           socket or into the controller's port SOCKET
#   module usb1 OPTION...   serves the device with a fresh simulator that has
#                           these options (the adapter stays plugged in)
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
[ $# -ge 2 ] || { echo "usage: $0 BUILD_DIR SCRIPT [ARGUMENT...]" >&2; exit 2; }
build_dir=$(cd "$1" && pwd)
script=$2
shift 2
modulesim=$build_dir/tools/modulesim/modulesim
limit=${MELVIX_VM_TIME_LIMIT:-300}

for tool in qemu-system-x86_64 busybox cpio depmod; do
    command -v "$tool" >/dev/null ||
        { echo "$0: $tool is missing: run tools/setup-debian.sh test" >&2; exit 1; }
done
image=$("$source_dir/tools/vm/image.sh")

dir=$(mktemp -d "${TMPDIR:-/tmp}/melvix-vm.XXXXXX")
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}" $(cat "$dir"/*.pid 2>/dev/null); do
        kill "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
    rm -rf "$dir"
}
trap cleanup EXIT

mkdir "$dir/share"
cp "$source_dir/tools/vm/start.sh" "$source_dir/tools/vm/own-like-udev.sh" "$dir/share/"
cp "$script" "$dir/share/run.sh"
{
    printf 'export MELVIX_BUILD_DIR=%q MELVIX_SOURCE_DIR=%q\n' "$build_dir" "$source_dir"
    for variable in MELVIX_WINDOWS_BUILD_DIR MELVIX_WINE_PREFIX; do
        [ -z "${!variable:-}" ] || printf 'export %s=%q\n' "$variable" "$(realpath "${!variable}")"
    done
    printf 'set --'
    [ $# -eq 0 ] || printf ' %q' "$@"
    printf '\n'
} >"$dir/share/environment"
# The guest's users need to reach the share and the scripts in it.
chmod -R a+rwX "$dir/share"
chmod 755 "$dir"

usb_devices=(usb1)
[ "${MELVIX_VM_SECOND_ADAPTER:-0}" = 1 ] && usb_devices+=(usb2)

mkfifo "$dir/console.in" "$dir/console.out" "$dir/qmp.in" "$dir/qmp.out"
qemu=(
    qemu-system-x86_64 -accel tcg -machine q35 -m 1024 -smp 2
    -nodefaults -no-user-config -display none -no-reboot
    -kernel "$image/vmlinux" -initrd "$image/initrd"
    -append "console=ttyS0 quiet panic=-1"
    -chardev "pipe,id=console,path=$dir/console" -serial chardev:console
    -chardev "socket,id=uart,path=$dir/uart.sock,server=on,wait=off" -serial chardev:uart
    -device qemu-xhci,id=xhci
    -fsdev local,id=root,path=/,security_model=none,readonly=on,multidevs=remap
    -device virtio-9p-pci,fsdev=root,mount_tag=root
    -fsdev "local,id=share,path=$dir/share,security_model=none"
    -device virtio-9p-pci,fsdev=share,mount_tag=share
    -chardev "pipe,id=qmp,path=$dir/qmp" -mon chardev=qmp,mode=control
)
# An adapter keeps its serial number when it is plugged in again.
usb_serial() {
    echo "MELVIX-${1^^}"
}
# The xHCI controller's port that an adapter is plugged into unless a
# request names another: usb1 in port 1, usb2 in port 2.
usb_socket() {
    echo "${1#usb}"
}
for usb in "${usb_devices[@]}"; do
    qemu+=(-chardev "socket,id=$usb,path=$dir/$usb.sock,server=on,wait=off"
        -device "usb-serial,bus=xhci.0,port=$(usb_socket "$usb"),chardev=$usb,id=$usb,always-plugged=on,serial=$(usb_serial "$usb")")
done

started=$(date +%s%N)
seconds_since_start() {
    local tenths=$((($(date +%s%N) - started) / 100000000))
    echo "$((tenths / 10)).$((tenths % 10))"
}

timeout --kill-after=5 "$limit" "${qemu[@]}" &
qemu_pid=$!
pids+=("$qemu_pid")
exec {qmp}>"$dir/qmp.in"
cat "$dir/qmp.out" >"$dir/qmp.log" &
pids+=($!)
echo '{"execute":"qmp_capabilities"}' >&"$qmp"

# The simulators connect once QEMU listens.
for _ in $(seq 100); do
    ready=1
    for socket in uart "${usb_devices[@]}"; do
        [ -S "$dir/$socket.sock" ] || ready=0
    done
    [ "$ready" = 1 ] && break
    sleep 0.05
done
# A simulator serves each device; a fresh one replaces it when the script
# asks for other options. The adapter stays plugged in meanwhile
# (always-plugged), as a module may be swapped behind a real adapter.
serve() {
    local socket=$1
    shift
    if [ -f "$dir/$socket.pid" ]; then
        local old
        old=$(cat "$dir/$socket.pid")
        kill "$old" 2>/dev/null || true
        while kill -0 "$old" 2>/dev/null; do sleep 0.01; done
    fi
    local served
    served=$(grep -c '^serving' "$dir/$socket.log" 2>/dev/null || true)
    "$modulesim" --socket "$dir/$socket.sock" --log-requests "$@" >>"$dir/$socket.log" 2>&1 &
    echo $! >"$dir/$socket.pid"
    # Connected once it says so.
    for _ in $(seq 200); do
        [ "$(grep -c '^serving' "$dir/$socket.log")" -gt "${served:-0}" ] && return
        sleep 0.01
    done
    echo "vm: the simulator for $socket did not connect" >&2
}
module_options() {
    case "$1" in
    uart) echo "${MELVIX_VM_UART_MODULE:---channel 12 --address WUAR}" ;;
    usb1) echo "${MELVIX_VM_USB1_MODULE:---channel 34 --address WUSB}" ;;
    usb2) echo "${MELVIX_VM_USB2_MODULE:---channel 56 --address WUS2}" ;;
    esac
}
for socket in uart "${usb_devices[@]}"; do
    # shellcheck disable=SC2046 # the options are words on purpose
    serve "$socket" $(module_options "$socket")
done

qmp_command() {
    echo "$1" >&"$qmp"
}
handle_request() {
    local request=$1 device=$2
    shift 2
    case "$request $device" in
    "unplug usb"[12])
        qmp_command "{\"execute\":\"device_del\",\"arguments\":{\"id\":\"$device\"}}" ;;
    "unplug-on-read usb"[12] | "unplug-on-write usb"[12])
        local pattern="^${request#unplug-on-} request" seen
        seen=$(grep -c "$pattern" "$dir/$device.log" || true)
        (
            for _ in $(seq 3000); do
                if [ "$(grep -c "$pattern" "$dir/$device.log")" -gt "$seen" ]; then
                    handle_request unplug "$device"
                    exit
                fi
                sleep 0.01
            done
        ) &
        ;;
    "plug usb"[12])
        local socket=${1:-$(usb_socket "$device")}
        [[ $socket =~ ^[1-4]$ ]] || { echo "vm: the controller has no port '$socket'" >&2; return; }
        qmp_command "{\"execute\":\"device_add\",\"arguments\":{\"driver\":\"usb-serial\",\"bus\":\"xhci.0\",\"port\":\"$socket\",\"chardev\":\"$device\",\"id\":\"$device\",\"always-plugged\":true,\"serial\":\"$(usb_serial "$device")\"}}" ;;
    "module uart" | "module usb"[12])
        serve "$device" "$@" ;;
    *) echo "vm: unknown request: $request $device $*" >&2 ;;
    esac
}

# The console: shown as it comes, without the control bytes that a program
# probing COM1 sends to it, and read for the script's requests.
while IFS= read -r line; do
    line=$(printf '%s' "$line" | LC_ALL=C tr -d '\000-\010\013-\037\177-\377')
    case "$line" in
    *"@@vm started")
        echo "vm: the guest's script started $(seconds_since_start) s after QEMU" ;;
    *"@@vm "*)
        # A request may follow what a program probing COM1 sent to the
        # console without a newline.
        read -r -a words <<<"${line#*@@vm }"
        handle_request "${words[@]:1}"
        touch "$dir/share/done.${words[0]}" ;;
    *) printf '%s\n' "$line" ;;
    esac
done <"$dir/console.out" &
pids+=($!)

status=0
wait "$qemu_pid" || status=$?
echo "vm: QEMU ended $(seconds_since_start) s after it started"
if [ "$status" = 124 ] || [ "$status" = 137 ]; then
    echo "vm: the guest ran longer than $limit s and was stopped" >&2
    exit 1
fi
if [ ! -f "$dir/share/status" ]; then
    echo "vm: the guest's script left no exit status (QEMU status $status)" >&2
    grep -i error "$dir/qmp.log" >&2 || true
    exit 1
fi
exit "$(cat "$dir/share/status")"
