#!/usr/bin/env bash
# Builds the fuzz targets with clang, libFuzzer and the address and undefined
# behaviour sanitizers, and runs each for the given seconds (default 60) from
# its seed corpus in fuzz/corpus. A crash fails the run and leaves its input
# in build-fuzz/. The inputs a run finds beyond its seeds go with its
# temporary folder, whichever way the script ends.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=tools/lib.sh
source tools/lib.sh
tools/setup-debian.sh
seconds=${1:-60}

cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBUILD_TESTING=OFF -DMELVIX_FUZZ=ON -DMELVIX_SANITIZERS=fuzzer-no-link,address,undefined
cmake --build build-fuzz --target decode_reply_fuzzer build_comm_dcb_fuzzer

start_work melvix-fuzz
for fuzzer in decode_reply build_comm_dcb; do
    found=$work/$fuzzer
    mkdir "$found"
    "build-fuzz/fuzz/${fuzzer}_fuzzer" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix=build-fuzz/ "$found" "fuzz/corpus/$fuzzer"
done
