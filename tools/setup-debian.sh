#!/usr/bin/env bash
# Installs what a task needs on Debian 12, asking apt only when something is
# missing. Runs as root, or through sudo.
#   tools/setup-debian.sh run    building and running the program (Xvfb and
#                                the screenshot tools only without a display)
#   tools/setup-debian.sh test   that, and what the tests, benchmarks and fuzz
#                                targets need (the default)
#   tools/setup-debian.sh windows  the Windows build and its run under Wine:
#                                mingw-w64, the sources of Qt and GoogleTest
#                                (apt-get source needs dpkg-dev), wixl for
#                                the installer with uuidgen for its codes,
#                                Wine, a virtual display that xdotool
#                                drives, and the virtual machine with real
#                                serial drivers
#   tools/setup-debian.sh ci     test and windows, and the format check
set -euo pipefail

build=(cmake ninja-build g++ qt6-base-dev libgl-dev)
# The virtual machine with real serial drivers (tools/vm/).
vm=(qemu-system-x86 busybox-static kmod cpio xz-utils)
# The run command without a display: a virtual one, and the tools that find
# the window and save its screenshot.
headless=(xvfb x11-utils x11-apps netpbm fonts-dejavu-core)
test=(
    libgtest-dev libgmock-dev
    dpkg-dev file desktop-file-utils man-db lintian bash-completion
    clang libclang-rt-14-dev valgrind strace tmux "${vm[@]}"
)
checks=(clang-format g++-mingw-w64-x86-64-posix)
windows=(
    cmake ninja-build qt6-base-dev g++-mingw-w64-x86-64-posix dpkg-dev googletest zip unzip
    wixl uuid-runtime wine64 xdotool "${headless[@]}" "${vm[@]}"
)

case "${1:-test}" in
run)
    packages=("${build[@]}")
    [ -n "${DISPLAY:-}" ] || packages+=("${headless[@]}")
    ;;
test) packages=("${build[@]}" "${headless[@]}" "${test[@]}") ;;
windows) packages=("${windows[@]}") ;;
ci) packages=("${build[@]}" "${headless[@]}" "${test[@]}" "${checks[@]}" "${windows[@]}") ;;
*) echo "usage: $0 [run|test|windows|ci]" >&2; exit 2 ;;
esac

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' ||
        missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update
"${as_root[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
