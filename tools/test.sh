#!/usr/bin/env bash
# Sets up the machine, builds everything and runs every test.
#   tools/test.sh               the ordinary build, in build/
#   tools/test.sh asan          with AddressSanitizer and UndefinedBehaviorSanitizer, in build-asan/
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup-debian.sh

variant=${1:-plain}
case "$variant" in
plain) dir=build; options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
asan) dir=build-asan; options=(-DCMAKE_BUILD_TYPE=Debug -DMELVIX_SANITIZERS=address,undefined) ;;
*) echo "usage: $0 [plain|asan]" >&2; exit 2 ;;
esac

cmake -S . -B "$dir" -G Ninja "${options[@]}"
cmake --build "$dir"
ctest --test-dir "$dir" --output-on-failure
