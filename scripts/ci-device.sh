#!/bin/sh
# Device link checks for CI:
#   1. builds the device tests with ThreadSanitizer and runs them, the stress
#      test with STRESS_CYCLES (default 1000) plug / download / unplug cycles
#      (any report fails the run);
#   2. builds the libFuzzer target with clang, replays the kept corpus
#      (tests/device/fuzz-corpus) and fuzzes for FUZZ_SECONDS (default 20)
#      more, in a scratch copy of the corpus.
# Run from anywhere; build trees go to build-ci-tsan and build-ci-fuzz in the
# repository.  Exits non-zero on the first failure.
set -eu

cd "$(dirname "$0")/.."
FUZZ_SECONDS="${FUZZ_SECONDS:-20}"
STRESS_CYCLES="${STRESS_CYCLES:-1000}"
JOBS="${JOBS:-2}"
export TSAN_OPTIONS="halt_on_error=1 exitcode=66 ${TSAN_OPTIONS:-}"

echo "== ThreadSanitizer: device tests, stress test of ${STRESS_CYCLES} cycles"
cmake -S . -B build-ci-tsan -G Ninja -DLUMKEST_GUI=OFF -DLUMKEST_SANITIZE=thread >/dev/null
ninja -C build-ci-tsan -j"$JOBS" device_stress device_tests
LUMKEST_STRESS_CYCLES="$STRESS_CYCLES" ./build-ci-tsan/tests/device/device_stress
./build-ci-tsan/tests/device/device_tests

echo "== libFuzzer: receive path and decoding"
CC=clang CXX=clang++ cmake -S . -B build-ci-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DLUMKEST_GUI=OFF -DLUMKEST_FUZZ=ON >/dev/null
ninja -C build-ci-fuzz -j"$JOBS" device_fuzz
fuzz=./build-ci-fuzz/tests/device/device_fuzz
echo "-- replaying the corpus"
"$fuzz" -runs=0 -max_len=9000 -artifact_prefix=build-ci-fuzz/ tests/device/fuzz-corpus
echo "-- fuzzing for ${FUZZ_SECONDS} s"
scratch=build-ci-fuzz/fuzz-corpus
rm -rf "$scratch"
mkdir -p "$scratch"
cp tests/device/fuzz-corpus/* "$scratch"/
"$fuzz" -max_total_time="$FUZZ_SECONDS" -max_len=9000 -print_final_stats=1 \
    -artifact_prefix=build-ci-fuzz/ "$scratch"

echo "== device checks passed"
