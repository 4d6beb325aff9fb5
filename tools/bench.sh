#!/usr/bin/env bash
# Sets up the machine, builds the benchmarks and runs them: one table (and the
# same as JSON) of every figure beside its baseline measured in the same run.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup-debian.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --target melvix_bench
build/bench/melvix_bench
