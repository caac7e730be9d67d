#!/bin/sh
# Renews the screenshots in docs/: the simulator under Xvfb, then the main
# window's pages under a dark colour scheme and at twice the pixel density.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
for p in x11-apps netpbm; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
        { [ "$(id -u)" -eq 0 ] && S="" || S=sudo; $S apt-get install -y -q --no-install-recommends "$p"; }
done
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target lumkest-sim gui_tests
tests/e2e/desktop.sh /usr/bin/python3 scripts/screenshots.py build docs
# The two pages of the main window under a dark colour scheme and at twice
# the pixel density: the GUI tests' walk through every window saves them.
shoot() {
    env QT_QPA_PLATFORM=offscreen LUMKEST_SCREENSHOTS="$PWD/docs" "$@" \
        build/tests/gui_tests --gtest_filter='WindowLayout.*' >/dev/null
}
shoot LUMKEST_SCREENSHOT_SCHEME=dark
shoot QT_SCALE_FACTOR=2
ls docs/*-dark.png docs/*@2x.png
