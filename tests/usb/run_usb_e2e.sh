#!/bin/sh
# Runs the USB journey: Xvfb, a D-Bus session and the accessibility bus, as
# the other end-to-end runs have them.
#   run_usb_e2e.sh BUILD_DIR PRELOAD
set -eu
build="$(cd "$1" && pwd)"
here="$(cd "$(dirname "$0")" && pwd)"
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
export QT_ACCESSIBILITY=1
export NO_AT_BRIDGE=0
unset QT_QPA_PLATFORM
export PYTHONDONTWRITEBYTECODE=1
exec xvfb-run -a -s "-screen 0 1024x768x24 -noreset" dbus-run-session -- sh -c '
    /usr/libexec/at-spi-bus-launcher --launch-immediately &
    launcher=$!
    # Up to 10 s for the accessibility bus to answer.
    for i in $(seq 100); do
        dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus \
            org.a11y.Bus.GetAddress >/dev/null 2>&1 && break
        sleep 0.1
    done
    /usr/bin/python3 "$0/usb_journey.py" "$1" "$2"
    status=$?
    kill $launcher 2>/dev/null || true
    exit $status
' "$here" "$build" "$2"
