#!/usr/bin/env bash
# The Windows build from start to end, on Debian: installs what it needs,
# builds Qt for Windows once (cached, see qt.sh), builds the project, its
# Windows zip and its installer, runs both programs and the Windows tests
# from the zip under Wine against the module simulator (see wine.sh),
# installs, upgrades and removes the installer under Wine (see wine-msi.sh),
# and runs the Windows tests and the programs again under Wine inside the
# test virtual machine, on real serial drivers
# (tests/vm/windows_guest_tests.sh).
#   tools/windows/test.sh [SCREENSHOT.png]
# MELVIX_BUILD_DIR names the Linux build that provides the simulator
# (default: build); the Windows build goes to build-windows.
set -euo pipefail
cd "$(dirname "$0")/../.."
tools/setup-debian.sh windows
linux_build=${MELVIX_BUILD_DIR:-build}

start=$SECONDS
qt=$(tools/windows/qt.sh)
echo "windows: Qt for Windows in $qt, ready after $((SECONDS - start)) s"

start=$SECONDS
cmake -S . -B "$linux_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$linux_build" --target modulesim >/dev/null
deliverables=$(tools/windows/build.sh build-windows)
zip=$(head -1 <<<"$deliverables")
echo "windows: project built and packed in $((SECONDS - start)) s: ${deliverables//$'\n'/, }"
unzip -l "$zip"

# Each in a Wine prefix of its own; each run comes even when one before it
# failed.
export MELVIX_BUILD_DIR=$linux_build
rc=0
tools/windows/wine.sh build-windows "$@" || rc=$?
tools/windows/wine-msi.sh build-windows || rc=$?

# The guest's processor is emulated: Wine's programs take tens of seconds
# each there, and the machine may be shared.
start=$SECONDS
prefix=$(tools/vm/wine-prefix.sh)
echo "windows: Wine prefix for the virtual machine in $prefix, ready after $((SECONDS - start)) s"
MELVIX_WINDOWS_BUILD_DIR=build-windows MELVIX_WINE_PREFIX=$prefix \
    MELVIX_VM_TIME_LIMIT=${MELVIX_VM_TIME_LIMIT:-2400} \
    tools/vm/guest.sh "$linux_build" tests/vm/windows_guest_tests.sh || rc=$?
exit "$rc"
