#!/bin/sh
# A private PostgreSQL server for the archive tests and benchmark.
#
#   pg-test-server.sh start DIR   a fresh cluster in DIR/data, its Unix socket in
#                                 DIR (no TCP at all); prints "SOCKET_DIR PORT"
#                                 and writes the same line to DIR/server
#   pg-test-server.sh stop DIR    stops it (the folder is left to the caller)
#
# The server runs as an unprivileged user: as root, as "postgres" (DIR and
# every folder above it must be reachable by that user; DIR is opened up
# here).  The superuser is "postgres" with trust authentication; the role
# "kest" logs in with the password "kest-password"; the database "lumkest"
# is made.  Exits non-zero, saying why, when the
# PostgreSQL programs are missing or the server does not start.
set -eu

PG_BIN=${PG_BIN:-/usr/lib/postgresql/15/bin}

usage() {
    echo "usage: $0 start|stop DIR" >&2
    exit 2
}
[ $# -eq 2 ] || usage
command=$1
dir=$2

as_owner() {
    if [ "$(id -u)" -eq 0 ]; then
        runuser -u postgres -- "$@"
    else
        "$@"
    fi
}

case "$command" in
start)
    if [ ! -x "$PG_BIN/initdb" ] || [ ! -x "$PG_BIN/pg_ctl" ]; then
        echo "$0: no PostgreSQL server programs in $PG_BIN (install the package postgresql)" >&2
        exit 1
    fi
    mkdir -p "$dir"
    dir=$(cd "$dir" && pwd)
    chmod 0755 "$dir"
    if [ "$(id -u)" -eq 0 ]; then
        # The server user must reach the socket folder through every parent.
        d=$dir
        while [ "$d" != / ]; do
            d=$(dirname "$d")
            if ! runuser -u postgres -- test -x "$d"; then chmod o+x "$d"; fi
        done
        chown postgres "$dir"
    fi
    as_owner "$PG_BIN/initdb" -D "$dir/data" -A trust -U postgres -E UTF8 --locale=C \
        >"$dir/initdb.log" 2>&1 || {
        cat "$dir/initdb.log" >&2
        exit 1
    }
    # The superuser comes in without a password; every other role needs its
    # own ("kest", password "kest-password", for the tests of a wrong one).
    printf 'local all postgres trust\nlocal all all scram-sha-256\n' >"$dir/data/pg_hba.conf"
    # A port number of our own, so that two test runs do not meet on one
    # socket name; the socket lives in DIR, so only the name must differ.
    port=$((20000 + $$ % 20000))
    as_owner "$PG_BIN/pg_ctl" -D "$dir/data" -w -t 60 -l "$dir/log" \
        -o "-k $dir -c listen_addresses= -p $port -c fsync=off" start >/dev/null || {
        cat "$dir/log" >&2
        exit 1
    }
    as_owner "$PG_BIN/createdb" -h "$dir" -p "$port" -U postgres lumkest
    as_owner "$PG_BIN/psql" -q -h "$dir" -p "$port" -U postgres -d lumkest \
        -c "CREATE ROLE kest LOGIN PASSWORD 'kest-password'" >/dev/null
    echo "$dir $port" >"$dir/server"
    echo "$dir $port"
    ;;
stop)
    if [ -f "$dir/data/postmaster.pid" ]; then
        as_owner "$PG_BIN/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null
    fi
    ;;
*)
    usage
    ;;
esac
