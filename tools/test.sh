#!/usr/bin/env bash
# Sets up the machine, builds everything and runs every test.
#   tools/test.sh               the ordinary build, in build/
#   tools/test.sh asan          with AddressSanitizer and UndefinedBehaviorSanitizer, in build-asan/
#   tools/test.sh tsan          the serial and simulator tests with ThreadSanitizer, in build-tsan/
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup-debian.sh

variant=${1:-plain}
tests=()
case "$variant" in
plain) dir=build; options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
asan) dir=build-asan; options=(-DCMAKE_BUILD_TYPE=Debug -DMELVIX_SANITIZERS=address,undefined) ;;
tsan) dir=build-tsan; options=(-DCMAKE_BUILD_TYPE=Debug -DMELVIX_SANITIZERS=thread); tests=(-L 'serial|modulesim') ;;
*) echo "usage: $0 [plain|asan|tsan]" >&2; exit 2 ;;
esac

export TSAN_OPTIONS="suppressions=$PWD/tests/tsan.supp ${TSAN_OPTIONS:-}"

cmake -S . -B "$dir" -G Ninja "${options[@]}"
cmake --build "$dir"
ctest --test-dir "$dir" --output-on-failure "${tests[@]}"
