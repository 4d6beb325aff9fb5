#!/usr/bin/env bash
# The Windows build from start to end, on Debian: installs what it needs,
# builds Qt for Windows once (cached, see qt.sh), builds the project, its
# Windows zip and its installer, runs both programs and the Windows tests
# from the zip under Wine against the module simulator (see wine.sh), and
# installs, upgrades and removes the installer under Wine (see wine-msi.sh).
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

# Each in a Wine prefix of its own; the installer's run comes even when the
# zip's failed.
export MELVIX_BUILD_DIR=$linux_build
rc=0
tools/windows/wine.sh build-windows "$@" || rc=$?
tools/windows/wine-msi.sh build-windows || rc=$?
exit "$rc"
