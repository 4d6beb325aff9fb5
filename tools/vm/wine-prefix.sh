#!/usr/bin/env bash
# Prepares the Wine prefix that the test virtual machine's Windows run starts
# from (tests/vm/windows_guest_tests.sh): wineboot takes seconds here and
# minutes on the guest's emulated processor, so it runs here, once per Wine
# version, into the virtual machine's cache. The guest reads it through its
# read-only view of this machine's root and links it into a writable prefix
# of its own.
#   tools/vm/wine-prefix.sh     prints the prefix's directory
# MELVIX_VM_CACHE names the cache directory (default ~/.cache/melvix-vm).
#
# A fresh prefix maps COM1 to /dev/ttyS0, and Wine's services map every
# serial device they find whenever they start. So, as in tools/windows/wine.sh,
# COM1 to COM255 are marked taken, which leaves the services only COM256 and
# up, and the prefix holds no COM link at all: the guest links the ports it
# tests itself. Wine's null display driver stands in for an X server, which
# the guest has none of.
set -euo pipefail
cache=${MELVIX_VM_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/melvix-vm}
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
[ -x "$wine" ] || { echo "wine-prefix.sh: Wine is missing: run tools/setup-debian.sh windows" >&2; exit 1; }

version=$(dpkg-query -W -f='${Version}' wine64)
prefix=$cache/wine-prefix-$version
if [ -f "$prefix.ready" ] && [ -d "$prefix" ]; then
    echo "$prefix"
    exit 0
fi

mkdir -p "$cache"
work=$(mktemp -d "$cache/wine-work.XXXXXX")
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=,winemenubuilder.exe="
unset DISPLAY WAYLAND_DISPLAY
trap '"$wineserver" -k 2>/dev/null || true; rm -rf "$work"' EXIT

mkdir "$WINEPREFIX"
"$wine" wineboot -i >/dev/null 2>&1
{
    printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n'
    for number in $(seq 255); do
        printf '"COM%d"=""\n' "$number"
    done
    printf '\n[HKEY_CURRENT_USER\\Software\\Wine\\Drivers]\n"Graphics"="null"\n'
} >"$work/settings.reg"
"$wine" regedit /S "Z:${work//\//\\}\\settings.reg"
# The registry is on disk once the server has ended, by itself.
"$wineserver" -w
rm -f "$WINEPREFIX"/dosdevices/com*

rm -rf "$prefix" "$prefix.ready"
mv "$WINEPREFIX" "$prefix"
touch "$prefix.ready"
echo "$prefix"
