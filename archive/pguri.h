#pragma once
// A libpq connection URI (postgresql://user@host:port/dbname?key=value...)
// turned into what Qt's PostgreSQL driver takes, and shown without its
// user part and password.  Plain C++ (no Qt); libpq reads the URI.
//
// The driver joins host, port, user and database name with the connect
// options into one libpq "key='value' ..." string, each ';' of the options
// made a space; so connectOptions quotes every value and no value may hold
// a ';'.
//
// A password is never taken from a URI (it would stand in the shell's
// history and in the process list), nor a client key's passphrase
// (sslpassword): it comes from ~/.pgpass, the file the URI's passfile names,
// or PGPASSWORD.

#include <string>

// What Qt's PostgreSQL driver needs to open a connection URI.
struct PgSettings {
    std::string host, user, dbname;  // empty: libpq's default
    int port = 0;                    // 0: libpq's default (leave the driver's port unset)
    std::string connectOptions;      // for QSqlDatabase::setConnectOptions: key='value' pairs
                                     // joined by ';'
};

// postgresql: or postgres:, in any case: a PostgreSQL URI (or one spelled
// wrong, which pgSettingsFromUri refuses), never a file name.
bool isPostgresUri(const std::string& db);

// Reads a libpq connection URI; false with a one-line reason when it cannot
// be used.  host, user and dbname are the bytes libpq decoded (host may be a
// comma list of hosts, or a socket folder); a comma list of ports goes into
// connectOptions.  Every other key of the URI goes into connectOptions, with
// the program's own defaults for keys the URI leaves out: connect_timeout=10,
// keepalives=1, keepalives_idle=30, and session settings in options (lock
// and idle-transaction timeouts, warnings and worse only) that the URI's own
// options follow and so may override; last, search_path pinned to
// pg_catalog, which nothing overrides.  Refused: any password or
// sslpassword, and an '@' in the host, port or database name as libpq read
// them (a password holding a '/').
bool pgSettingsFromUri(const std::string& uri, PgSettings* out, std::string* error);

// The URI as messages may show it: without its user part (everything up to
// its last '@'), and "key=..." for a query key or value that holds
// "password" in any spelling, percent-encoded or not.  A file name is
// returned as it is.
std::string uriWithoutPassword(const std::string& uri);
