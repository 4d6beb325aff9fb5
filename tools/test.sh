#!/usr/bin/env bash
# Sets up the machine, builds everything with warnings as errors and runs
# every test, in parallel, each stopped after five minutes.
#   tools/test.sh               the ordinary build, in build/
#   tools/test.sh asan          with AddressSanitizer and UndefinedBehaviorSanitizer, in build-asan/
#   tools/test.sh tsan          with ThreadSanitizer, in build-tsan/
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup-debian.sh test

variant=${1:-plain}
tests=()
case "$variant" in
plain) dir=build; options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
# The virtual machine's tests run in the plain build only: its processor is
# emulated, and the sanitizers would slow it past any use. The endurance run
# counts memory, which the sanitizers' own bookkeeping grows.
asan) dir=build-asan; options=(-DCMAKE_BUILD_TYPE=Debug -DMELVIX_SANITIZERS=address,undefined); tests=(-LE 'vm|endurance') ;;
# The package and the run command hold no threads of ours beyond the
# program's own, which the window tests already cover.
tsan) dir=build-tsan; options=(-DCMAKE_BUILD_TYPE=Debug -DMELVIX_SANITIZERS=thread); tests=(-L 'serial|modulesim|programmer') ;;
*) echo "usage: $0 [plain|asan|tsan]" >&2; exit 2 ;;
esac

# As packagers and many CI machines run suites: each test sets the platform
# it needs itself.
export QT_QPA_PLATFORM=offscreen
export TSAN_OPTIONS="suppressions=$PWD/tests/tsan.supp ${TSAN_OPTIONS:-}"

cmake -S . -B "$dir" -G Ninja -DBUILD_TESTING=ON -DMELVIX_WERROR=ON "${options[@]}"
cmake --build "$dir"
ctest --test-dir "$dir" --output-on-failure --timeout 300 --no-tests=error -j "$(nproc)" "${tests[@]}"
