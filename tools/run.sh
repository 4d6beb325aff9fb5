#!/usr/bin/env bash
# Sets up the machine, builds the program and the module simulator, and runs
# the program against the simulator (see tools/demo.sh for what it does).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup-debian.sh run
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --target melvix-programmer modulesim
exec tools/demo.sh "$@"
