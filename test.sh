#!/bin/sh
# Installs what is missing, builds and runs every test.
#   ./test.sh         normal build in build/
#   ./test.sh asan    address + undefined-behaviour sanitizers in build-asan/
#   ./test.sh tsan    thread sanitizer (device link, no Qt) in build-tsan/
set -eu
cd "$(dirname "$0")"
./scripts/install-deps.sh

mode="${1:-}"
case "$mode" in
    "")   dir=build;      flags="-DCMAKE_BUILD_TYPE=RelWithDebInfo" ;;
    asan) dir=build-asan; flags="-DCMAKE_BUILD_TYPE=Debug -DLUMKEST_SANITIZE=address" ;;
    tsan) dir=build-tsan; flags="-DCMAKE_BUILD_TYPE=Debug -DLUMKEST_SANITIZE=thread -DLUMKEST_GUI=OFF" ;;
    *) echo "usage: $0 [asan|tsan]" >&2; exit 2 ;;
esac

# shellcheck disable=SC2086
cmake -S . -B "$dir" -G Ninja $flags
cmake --build "$dir" -j "$(nproc)"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$(pwd)/scripts/lsan.supp:print_suppressions=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}"
ctest --test-dir "$dir" --output-on-failure
