#!/bin/sh
# Runs the end-to-end journeys: the real executables in an X server (Xvfb)
# with a D-Bus session and the accessibility bus, driven through AT-SPI.
#   run_e2e.sh BUILD_DIR
set -eu
build="$(cd "$1" && pwd)"
here="$(cd "$(dirname "$0")" && pwd)"
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
export QT_ACCESSIBILITY=1
export NO_AT_BRIDGE=0
unset QT_QPA_PLATFORM
exec xvfb-run -a -s "-screen 0 1024x768x24 -noreset" dbus-run-session -- sh -c '
    /usr/libexec/at-spi-bus-launcher --launch-immediately &
    launcher=$!
    sleep 1
    /usr/bin/python3 "$0/e2e_journeys.py" "$1"
    status=$?
    kill $launcher 2>/dev/null || true
    exit $status
' "$here" "$build"
