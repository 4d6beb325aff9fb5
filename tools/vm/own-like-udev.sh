#!/bin/sh
# What Debian's udev rules do for serial devices, which the test guest has no
# udev to do: root:dialout, mode 660. The guest runs it at start; a script
# runs it again (/mnt/own-like-udev.sh) after plugging an adapter in.
for device in /dev/ttyS[0-9]* /dev/ttyUSB[0-9]* /dev/ttyACM[0-9]*; do
    [ -e "$device" ] || continue
    chown root:dialout "$device" && chmod 660 "$device"
done
