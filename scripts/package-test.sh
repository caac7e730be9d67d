#!/bin/sh
# Packaging test: proves the Debian packages by installing them.
#   1. builds lumkest_*.deb and lumkest-sim_*.deb (cpack) and checks them
#      with lintian (no errors);
#   2. installs both with dpkg -i (apt fetches missing dependencies) and
#      validates the installed desktop entries and AppStream metadata;
#   3. runs the installed /usr/bin/lumkest-cli as an ordinary user without a
#      display (tests/package/installed_cli.sh), README.md's examples as
#      printed against it and the installed sample workshop
#      (tests/cli/readme_examples.py), and its bash completion through the
#      bash-completion package it recommends; then starts the installed
#      /usr/bin/lumkest as an ordinary user under Xvfb
#      and checks through the accessibility bus that it starts with its help
#      topics and no help-files message, and logs to the user's state folder
#      (tests/package/installed_journey.py);
#   4. purges both packages and checks that none of their files is left.
# The packages are removed again on every exit, failures included.
#   scripts/package-test.sh [BUILD_DIR]     default: build/ (as ./test.sh)
# Runs as root: it installs into this machine's /opt and /usr.  The test user
# (LUMKEST_TEST_USER, default lumtech) is created when missing.
set -eu

cd "$(dirname "$0")/.."
build="${1:-build}"
user="${LUMKEST_TEST_USER:-lumtech}"
packages="lumkest-sim lumkest"

if [ "$(id -u)" -ne 0 ]; then
    echo "package-test.sh: must run as root (it installs the packages)" >&2
    exit 2
fi
for p in $packages; do
    if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
        echo "package-test.sh: $p is installed already; remove it first" >&2
        exit 2
    fi
done
./scripts/install-deps.sh packaging

echo "== building the packages in $build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "${JOBS:-2}"
rm -f "$build"/lumkest*.deb
(cd "$build" && cpack -G DEB >/dev/null)
build="$(cd "$build" && pwd)"
debs="$(ls "$build"/lumkest_*.deb "$build"/lumkest-sim_*.deb)"

echo "== lintian"
# shellcheck disable=SC2086
lintian --fail-on error --info $debs

work="$(mktemp -d)"
home=""
cleanup() {
    status=$?
    # shellcheck disable=SC2086
    dpkg --purge $packages >/dev/null 2>&1 || true
    [ -n "$home" ] && rm -rf "$home/.local/state/lumkest"
    rm -rf "$work"
    [ $status -eq 0 ] || echo "== packaging test FAILED (packages removed again)" >&2
    exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "== installing"
export DEBIAN_FRONTEND=noninteractive
# shellcheck disable=SC2086
if ! dpkg -i $debs; then
    apt-get update -q
    apt-get install -f -y -q --no-install-recommends
fi
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" | grep -q "install ok installed"
done
# shellcheck disable=SC2086
dpkg -L $packages | sort -u >"$work/files"
test "$(readlink /usr/bin/lumkest)" = /opt/lumkest/lumkest
test "$(readlink /usr/bin/lumkest-cli)" = /opt/lumkest/lumkest-cli
test -f /usr/share/man/man1/lumkest-cli.1.gz
test -f /usr/share/bash-completion/completions/lumkest-cli
test -f /usr/share/doc/lumkest/sample/exports/2026-11.csv
dpkg-query -W -f='${Recommends}' lumkest | grep -q bash-completion
test -f /opt/lumkest/help/help.ini
test -f /lib/udev/rules.d/70-lumkest.rules
for f in /usr/share/applications/*LumKest*.desktop; do desktop-file-validate "$f"; done
appstreamcli validate --no-net /usr/share/metainfo/*LumKest*.metainfo.xml

echo "== the installed program, as the ordinary user $user"
id -u "$user" >/dev/null 2>&1 || useradd --create-home --shell /bin/sh "$user"
home="$(getent passwd "$user" | cut -d: -f6)"
rm -rf "$home/.local/state/lumkest"
cp tests/e2e/atspi.py tests/e2e/desktop.sh tests/package/installed_journey.py \
    tests/package/installed_cli.sh tests/cli/readme_examples.py README.md \
    packaging/lumkest-cli.1 "$work/"
chmod 755 "$work"
mkdir -m 700 "$work/runtime" "$work/cli"
chown "$user" "$work/runtime" "$work/cli"
runuser -u "$user" -- env -i HOME="$home" USER="$user" LOGNAME="$user" \
    PATH=/usr/bin:/bin LANG=C.UTF-8 sh "$work/installed_cli.sh" "$work/cli"
runuser -u "$user" -- env -i HOME="$home" USER="$user" LOGNAME="$user" \
    PATH=/usr/bin:/bin LANG=C.UTF-8 /usr/bin/python3 "$work/readme_examples.py" \
    --cli /usr/bin/lumkest-cli --readme "$work/README.md" --man "$work/lumkest-cli.1" \
    --completion /usr/share/bash-completion/completions/lumkest-cli \
    --sample /usr/share/doc/lumkest/sample
# The completion as bash loads it, through the bash-completion package.
offered="$(runuser -u "$user" -- env -i HOME="$home" PATH=/usr/bin:/bin bash -c '
    . /usr/share/bash-completion/bash_completion
    . /usr/share/bash-completion/completions/lumkest-cli
    COMP_WORDS=(lumkest-cli --archive k.db import --pe); COMP_CWORD=4
    COMP_LINE="${COMP_WORDS[*]}"; COMP_POINT=${#COMP_LINE}
    _lumkest_cli; echo "${COMPREPLY[*]}"')"
test "$offered" = --pending
runuser -u "$user" -- env -i HOME="$home" USER="$user" LOGNAME="$user" \
    PATH=/usr/bin:/bin LANG=C.UTF-8 /usr/bin/lumkest-sim --help >/dev/null
runuser -u "$user" -- env -i HOME="$home" USER="$user" LOGNAME="$user" \
    PATH=/usr/bin:/bin LANG=C.UTF-8 XDG_RUNTIME_DIR="$work/runtime" \
    "$work/desktop.sh" /usr/bin/python3 "$work/installed_journey.py"

echo "== removing"
# shellcheck disable=SC2086
dpkg --purge $packages
for p in $packages; do
    if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "installed"; then
        echo "$p is still installed" >&2
        exit 1
    fi
done
left=""
while IFS= read -r f; do
    # Folders shared with other packages (/usr/bin, ...) stay; our own go.
    if { [ -e "$f" ] || [ -L "$f" ]; } && [ ! -d "$f" ]; then left="$left $f"; fi
done <"$work/files"
for d in /opt/lumkest /usr/share/doc/lumkest /usr/share/doc/lumkest-sim; do
    [ -e "$d" ] && left="$left $d"
done
if [ -n "$left" ]; then
    echo "left behind after removal:$left" >&2
    exit 1
fi
echo "== packaging test passed"
