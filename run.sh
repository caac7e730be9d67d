#!/bin/sh
# Installs what is missing, builds, and starts the program with the virtual
# tester (lumkest-sim).  ./run.sh usb starts lumkest for a real tester.
set -eu
cd "$(dirname "$0")"
./scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)" --target lumkest lumkest-sim
if [ "${1:-}" = "usb" ]; then
    exec ./build/lumkest
fi
exec ./build/lumkest-sim
