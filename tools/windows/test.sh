#!/usr/bin/env bash
# The Windows build from start to end, on Debian: installs what it needs,
# builds Qt for Windows once (cached, see qt.sh), builds the project and its
# Windows zip, and runs both programs and the Windows tests under Wine against
# the module simulator (see wine.sh).
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
zip=$(tools/windows/build.sh build-windows)
echo "windows: project built and packed in $((SECONDS - start)) s: $zip"
unzip -l "$zip"

MELVIX_BUILD_DIR=$linux_build tools/windows/wine.sh build-windows "$@"
