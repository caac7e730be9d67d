#!/bin/sh
# Device link checks for CI:
#   1. builds the stress test with ThreadSanitizer and runs it (any report
#      fails the run);
#   2. builds the libFuzzer target with clang and runs it for about
#      FUZZ_SECONDS (default 60) seconds.
# Run from anywhere; build trees go to build-ci-tsan and build-ci-fuzz in the
# repository.  Exits non-zero on the first failure.
set -eu

cd "$(dirname "$0")/.."
FUZZ_SECONDS="${FUZZ_SECONDS:-60}"
JOBS="${JOBS:-2}"

echo "== ThreadSanitizer: device stress test"
cmake -S . -B build-ci-tsan -G Ninja -DLUMKEST_GUI=OFF -DLUMKEST_SANITIZE=thread >/dev/null
ninja -C build-ci-tsan -j"$JOBS" device_stress device_tests
TSAN_OPTIONS="halt_on_error=1 exitcode=66 ${TSAN_OPTIONS:-}" \
    ./build-ci-tsan/tests/device/device_stress
TSAN_OPTIONS="halt_on_error=1 exitcode=66 ${TSAN_OPTIONS:-}" \
    ./build-ci-tsan/tests/device/device_tests

echo "== libFuzzer: receive path and decoding, ${FUZZ_SECONDS} s"
CC=clang CXX=clang++ cmake -S . -B build-ci-fuzz -G Ninja -DLUMKEST_GUI=OFF -DLUMKEST_FUZZ=ON \
    >/dev/null
ninja -C build-ci-fuzz -j"$JOBS" device_fuzz
corpus="build-ci-fuzz/fuzz-corpus"
mkdir -p "$corpus"
./build-ci-fuzz/tests/device/device_fuzz -max_total_time="$FUZZ_SECONDS" -max_len=9000 \
    -print_final_stats=1 -artifact_prefix=build-ci-fuzz/ "$corpus"

echo "== device checks passed"
