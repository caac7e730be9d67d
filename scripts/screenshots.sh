#!/bin/sh
# Renews the screenshots in docs/ from the simulator under Xvfb.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
for p in x11-apps netpbm; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
        { [ "$(id -u)" -eq 0 ] && S="" || S=sudo; $S apt-get install -y -q --no-install-recommends "$p"; }
done
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target lumkest-sim
tests/e2e/desktop.sh /usr/bin/python3 scripts/screenshots.py build docs
