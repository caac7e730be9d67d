#!/bin/sh
# Prints both layouts through the print dialog to a private CUPS server:
# its own cupsd on a loopback port, with its own configuration, spool, state
# and log folders under one temporary folder, and a cups-pdf queue whose
# output folder comes from a cups-pdf.conf bind-mounted over the system's in
# a mount namespace of its own.  A system CUPS is never touched.
#   run_print_e2e.sh BUILD_DIR
# Needs root (unshare -m, and cups-pdf runs as root): exits 77 (skipped)
# otherwise.
set -eu
if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: the private CUPS server needs root (mount namespace)"
    exit 77
fi
build="$(cd "$1" && pwd)"
here="$(cd "$(dirname "$0")" && pwd)"
for need in /usr/sbin/cupsd /usr/sbin/lpadmin /usr/lib/cups/backend/cups-pdf \
            /usr/share/ppd/cups-pdf/CUPS-PDF_opt.ppd /etc/cups/cups-pdf.conf; do
    [ -e "$need" ] || { echo "missing $need (scripts/install-deps.sh installs it)"; exit 1; }
done

work="$(mktemp -d /tmp/lumkest-cups.XXXXXX)"
chmod 0755 "$work"  # filters run as lp and read the spool and the PPD
mkdir -p "$work/etc/ppd" "$work/spool/tmp" "$work/cache" "$work/state" "$work/log" \
         "$work/out" "$work/pdf-spool"
port="$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"

cat > "$work/etc/cupsd.conf" <<CONF
Listen 127.0.0.1:$port
LogLevel info
Browsing No
WebInterface No
DefaultAuthType None
<Location />
  Order allow,deny
  Allow from 127.0.0.1
</Location>
<Policy default>
  <Limit All>
    Order allow,deny
    Allow from 127.0.0.1
  </Limit>
</Policy>
CONF
cat > "$work/etc/cups-files.conf" <<CONF
ServerRoot $work/etc
RequestRoot $work/spool
TempDir $work/spool/tmp
CacheDir $work/cache
StateDir $work/state
ErrorLog $work/log/error_log
AccessLog $work/log/access_log
PageLog $work/log/page_log
Printcap $work/printcap
SystemGroup root
CONF
cat > "$work/cups-pdf.conf" <<CONF
Out $work/out
AnonDirName $work/out
Spool $work/pdf-spool
Grp root
Label 1
Log $work/log
LogType 3
DecodeHexStrings 1
CONF

unshare -m sh -c 'mount --bind "$1/cups-pdf.conf" /etc/cups/cups-pdf.conf &&
    exec /usr/sbin/cupsd -f -c "$1/etc/cupsd.conf" -s "$1/etc/cups-files.conf"' sh "$work" &
cupsd=$!
cleanup() {
    kill "$cupsd" 2>/dev/null || true
    wait "$cupsd" 2>/dev/null || true
    if [ "${KEEP_CUPS_LOGS:-}" ]; then echo "logs kept in $work/log"; else rm -rf "$work"; fi
}
trap cleanup EXIT INT TERM

export CUPS_SERVER="127.0.0.1:$port"
tries=0
until lpstat -r 2>/dev/null | grep -q 'is running'; do
    tries=$((tries + 1))
    if [ $tries -gt 50 ]; then echo "cupsd did not start"; cat "$work/log/error_log" 2>/dev/null; exit 1; fi
    sleep 0.2
done
lpadmin -p LumKestPDF -E -v cups-pdf:/ -P /usr/share/ppd/cups-pdf/CUPS-PDF_opt.ppd \
        -o pdftops-renderer-default=pdftocairo
lpadmin -d LumKestPDF

status=0
"$here/desktop.sh" /usr/bin/python3 "$here/e2e_print.py" "$build" "$work" || status=$?
if [ $status -ne 0 ]; then
    echo "--- cupsd error_log"; tail -n 40 "$work/log/error_log" 2>/dev/null || true
fi
exit $status
