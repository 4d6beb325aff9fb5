#!/usr/bin/env bash
# Sets up the machine, builds the program and the module simulator, and runs
# the program against the simulator (see tools/demo.sh for what it does).
# MELVIX_BUILD_DIR names the build directory (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."
export MELVIX_BUILD_DIR=${MELVIX_BUILD_DIR:-build}
tools/setup-debian.sh run
cmake -S . -B "$MELVIX_BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$MELVIX_BUILD_DIR" --target melvix-programmer modulesim
exec tools/demo.sh "$@"
