#!/bin/sh
# Runs the end-to-end journeys: the real executables in an X server (Xvfb)
# with a D-Bus session and the accessibility bus, driven through AT-SPI.
#   run_e2e.sh BUILD_DIR
set -eu
build="$(cd "$1" && pwd)"
here="$(cd "$(dirname "$0")" && pwd)"
exec "$here/desktop.sh" /usr/bin/python3 "$here/e2e_journeys.py" "$build"
