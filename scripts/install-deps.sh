#!/bin/sh
# Installs the Debian packages that building, running and testing need.
# Does nothing when every package is already present; uses sudo when not root.
#   install-deps.sh             what building, running and testing need
#   install-deps.sh packaging   also the tools that build and check the packages
set -eu

PACKAGES="cmake ninja-build g++ pkg-config
qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libgl-dev
fonts-liberation2 fontconfig
libftdi1-dev libusb-1.0-0-dev
umockdev libumockdev-dev gir1.2-umockdev-1.0
googletest libgtest-dev libgmock-dev
xvfb xauth dbus at-spi2-core python3-pyatspi xdotool
poppler-utils
cups-daemon cups-client printer-driver-cups-pdf cups-filters
clang libclang-rt-14-dev
libqt6sql6-sqlite libqt6sql6-psql libpq-dev libsqlite3-dev sqlite3 postgresql strace
qt6-svg-dev chromium jq"
if [ "${1:-}" = packaging ]; then
    PACKAGES="$PACKAGES dpkg-dev fakeroot file lintian appstream desktop-file-utils bash-completion"
fi

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

[ -z "$missing" ] && exit 0

echo "Installing:$missing"
if [ "$(id -u)" -eq 0 ]; then
    SUDO=""
else
    SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
# shellcheck disable=SC2086
$SUDO apt-get install -y -q --no-install-recommends $missing
