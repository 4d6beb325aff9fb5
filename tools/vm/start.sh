#!/bin/sh
# Runs in the test guest on the host's root, read-only: prepares what udev
# and a booted system would, runs the script the host put on the share, and
# powers the guest off with its exit status left on the share.
mkdir -p /dev/pts /dev/shm
mount -t devpts -o ptmxmode=0666,mode=0620,gid=5 devpts /dev/pts
mount -t tmpfs -o mode=1777 tmpfs /dev/shm
ln -sf /proc/self/fd /dev/fd
export PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin HOME=/tmp TMPDIR=/tmp LANG=C.UTF-8
export XDG_RUNTIME_DIR=/run/user/0
mkdir -p -m 700 "$XDG_RUNTIME_DIR"
. /mnt/environment
# The guest's own /tmp and /run cover the host's, where a clone of the
# project may lie (CI may put it anywhere): its source and build directories
# and the Wine prefix are brought back into sight from the host's root, bound
# without what is mounted on it.
bring_back() {
    case "$1" in /tmp/* | /run/*) ;; *) return 0 ;; esac
    # A build directory inside the source directory came back with it.
    [ -e "$1" ] && return 0
    [ -d /run/host ] || { mkdir -p /run/host && mount --bind / /run/host; }
    mkdir -p "$1"
    mount --bind "/run/host$1" "$1"
}
bring_back "$MELVIX_SOURCE_DIR"
bring_back "$MELVIX_BUILD_DIR"
bring_back "${MELVIX_WINDOWS_BUILD_DIR:-}"
bring_back "${MELVIX_WINE_PREFIX:-}"
/bin/sh /mnt/own-like-udev.sh
echo "@@vm started"
/bin/bash /mnt/run.sh "$@"
status=$?
echo $status >/mnt/status
sync
/bin/busybox poweroff -f
