#!/bin/sh
# Runs a command in the desktop a screen reader has: an X server (Xvfb), a
# D-Bus session and the accessibility bus, with Qt's AT-SPI bridge on.  The
# command starts once the accessibility bus answers; its exit status is the
# script's.
#   desktop.sh COMMAND [ARGS...]
set -eu
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
export QT_ACCESSIBILITY=1
export NO_AT_BRIDGE=0
unset QT_QPA_PLATFORM
# -noreset: Xvfb must not reset when its first client leaves, or a program
# connecting during the reset is refused.
exec xvfb-run -a -s "-screen 0 1024x768x24 -noreset" dbus-run-session -- sh -c '
    /usr/libexec/at-spi-bus-launcher --launch-immediately &
    launcher=$!
    # Up to 10 s for the accessibility bus to answer.
    for i in $(seq 100); do
        dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus \
            org.a11y.Bus.GetAddress >/dev/null 2>&1 && break
        sleep 0.1
    done
    "$@"
    status=$?
    kill $launcher 2>/dev/null || true
    exit $status
' sh "$@"
