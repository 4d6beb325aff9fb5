#!/bin/sh
# What Debian's udev rules do for serial devices, which the test guest has no
# udev to do: root:dialout, mode 660, and for USB serial devices the links in
# /dev/serial/by-id and /dev/serial/by-path that 60-serial.rules makes, named
# as udev's usb_id and path_id builtins name them. The guest runs it at
# start; a script runs it again (/mnt/own-like-udev.sh) after plugging an
# adapter in, and the links are made anew, as udev removes a pulled
# adapter's.
for device in /dev/ttyS[0-9]* /dev/ttyUSB[0-9]* /dev/ttyACM[0-9]*; do
    [ -e "$device" ] || continue
    chown root:dialout "$device" && chmod 660 "$device"
done

# A USB descriptor's string as usb_id puts it into a name: white space at
# either end dropped, each run of it inside one "_", and every character but
# letters, digits and "#+-.:=@_" a "_".
name_part() {
    printf '%s' "$1" | sed -E 's/^[[:space:]]+//; s/[[:space:]]+$//; s/[[:space:]]+/_/g;
        s/[^0-9A-Za-z#+.:=@_-]/_/g'
}

# The first directory from $1 upwards that has the file $2.
up_to() {
    directory=$1
    until [ -e "$directory/$2" ]; do
        [ "$directory" = /sys/devices ] && return 1
        directory=${directory%/*}
    done
    echo "$directory"
}

rm -rf /dev/serial
for device in /dev/ttyUSB[0-9]* /dev/ttyACM[0-9]*; do
    [ -e "$device" ] || continue
    tty=${device#/dev/}
    node=$(readlink -f "/sys/class/tty/$tty/device")
    # A USB-serial driver numbers the ports of one interface; cdc_acm's tty
    # hangs on the interface itself, with no number.
    port=
    [ -r "$node/port_number" ] && port=-port$(cat "$node/port_number")
    interface=$(up_to "$node" bInterfaceNumber) || continue
    usb=${interface%/*}
    # path_id: the nearest PCI device, then the USB ports from the root hub
    # down and the interface, as the interface's name has them after the bus
    # number ("3-1:1.0").
    pci=$usb
    until case "$(readlink "$pci/subsystem")" in */pci) true ;; *) false ;; esac; do
        [ "$pci" = /sys/devices ] && continue 2
        pci=${pci%/*}
    done
    interface_name=${interface##*/}
    mkdir -p /dev/serial/by-path /dev/serial/by-id
    ln -s "../../$tty" "/dev/serial/by-path/pci-${pci##*/}-usb-0:${interface_name#*-}$port"
    # usb_id: manufacturer and product (their IDs where the device names
    # none), and the serial number unless it holds a control character, a
    # byte above 0x7f or a comma.
    vendor=$(cat "$usb/manufacturer" 2>/dev/null || cat "$usb/idVendor")
    model=$(cat "$usb/product" 2>/dev/null || cat "$usb/idProduct")
    serial=$(cat "$usb/serial" 2>/dev/null)
    printf '%s' "$serial" | LC_ALL=C grep -q '[^ -~]\|,' && serial=
    id=usb-$(name_part "$vendor")_$(name_part "$model")
    [ -n "$serial" ] && id=${id}_$(name_part "$serial")
    ln -s "../../$tty" "/dev/serial/by-id/$id-if$(cat "$interface/bInterfaceNumber")$port"
done
