#!/bin/sh
# Runs the USB journey in the desktop the other end-to-end runs have.
#   run_usb_e2e.sh BUILD_DIR PRELOAD
set -eu
build="$(cd "$1" && pwd)"
here="$(cd "$(dirname "$0")" && pwd)"
export PYTHONDONTWRITEBYTECODE=1
exec "$here/../e2e/desktop.sh" /usr/bin/python3 "$here/usb_journey.py" "$build" "$2"
