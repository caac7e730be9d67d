#!/bin/sh
# Runs every benchmark and prints one Markdown table of figures, each a
# median over repeated runs set against its reference measured in the same
# run, with the machine it ran on.
#   scripts/bench.sh                 builds into build/ first
#   BUILD_DIR=dir RUNS=n scripts/bench.sh
# A benchmark is a program that prints one line per figure:
#   name <TAB> value <TAB> reference <TAB> aim <TAB> met|missed
# (tests/bench/benchrow.h).  To add rows, add its target and path below.
# Missed aims are reported, not failed; a benchmark that fails ends the
# script with status 1.
set -eu
cd "$(dirname "$0")/.."
BUILD_DIR="${BUILD_DIR:-build}"
RUNS="${RUNS:-}"
export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"

# target            program, in the build tree
BENCHMARKS="
bench_download      tests/bench/bench_download
bench_startup       tests/bench/bench_startup
bench_save          tests/bench/bench_save
print_bench         tests/print_bench
bench_cli           tests/bench/bench_cli
bench_archive       tests/bench/bench_archive
"

machine() {
    cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
    mem=$(awk '/^MemTotal/ {printf "%.1f GB", $2 / 1048576}' /proc/meminfo)
    os=$(sed -n 's/^PRETTY_NAME="\(.*\)"/\1/p' /etc/os-release 2>/dev/null || true)
    qt=$(pkg-config --modversion Qt6Core 2>/dev/null || echo "?")
    load=$(cut -d ' ' -f 1-3 /proc/loadavg)
    echo "${cpu:-unknown CPU}, $(nproc) cores, ${mem}, ${os:-unknown OS}, Qt ${qt}," \
         "QPA ${QT_QPA_PLATFORM}, load average ${load} at the start"
}

targets=$(echo "$BENCHMARKS" | awk 'NF { print $1 }')
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# shellcheck disable=SC2086
cmake --build "$BUILD_DIR" -j2 --target $targets >/dev/null

header="Machine: $(machine)"
rows=$(mktemp)
trap 'rm -f "$rows"' EXIT
status=0
for program in $(echo "$BENCHMARKS" | awk 'NF { print $2 }'); do
    echo "running $program ..." >&2
    # shellcheck disable=SC2086
    if ! "$BUILD_DIR/$program" $RUNS >>"$rows" 2>/dev/null; then
        echo "$program failed" >&2
        status=1
    fi
done

echo "$header"
echo
echo "| Figure (median) | Value | Reference, same run | Aim | |"
echo "|---|---|---|---|---|"
awk -F '\t' 'NF == 5 { printf "| %s | %s | %s | %s | %s |\n", $1, $2, $3, $4, $5 }' "$rows"
exit $status
