#include "archive/pguri.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>

namespace {

const char* const kPasswordRefused =
    "the URI holds a password (password or sslpassword), which would stand in the process "
    "list; give it in ~/.pgpass or PGPASSWORD instead";

// Keys the URI may leave out, and the program's value for them: a server
// that does not answer is given up after 10 s, and a TCP connection that
// goes quiet (a dropped network) is probed from 30 s on, so that it fails
// instead of hanging.
const struct {
    const char* key;
    const char* value;
} kDefaults[] = {
    {"connect_timeout", "10"},
    {"keepalives", "1"},
    {"keepalives_idle", "30"},
};

// The program's session settings, given before the URI's own options so
// that the URI's win (the server applies -c settings in order): a busy
// table is waited for a minute, not forever; a session left inside a
// transaction is ended after five minutes; notices stay out of the output.
const char* const kSessionOptions =
    "-c lock_timeout=60s -c idle_in_transaction_session_timeout=300s "
    "-c client_min_messages=warning";
// After the URI's own options, so that nothing overrides it: names that the
// archive's statements leave unqualified (an operator, a type) resolve in
// the system catalog only, never in a schema where another role may create
// a function or operator of the same name.  The archive's tables are named
// with their schema.
const char* const kPinnedPath = "-c search_path=pg_catalog";

std::string lowered(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

bool mentionsPassword(const std::string& s) {
    return lowered(s).find("password") != std::string::npos;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// Every %XX undone, again and again, so that no encoding of "password"
// hides from mentionsPassword.  Only for that test: libpq decodes the URI
// it reads.
std::string decodedForSearch(std::string s) {
    for (bool changed = true; changed;) {
        changed = false;
        std::string out;
        for (std::size_t i = 0; i < s.size(); ++i) {
            if (s[i] == '%' && i + 2 < s.size() && hexDigit(s[i + 1]) >= 0 &&
                hexDigit(s[i + 2]) >= 0) {
                out += static_cast<char>(hexDigit(s[i + 1]) * 16 + hexDigit(s[i + 2]));
                i += 2;
                changed = true;
            } else {
                out += s[i];
            }
        }
        s = out;
    }
    return s;
}

// libpq's message, first line, trimmed.  Its detail (": \"...\"") quotes a
// piece of the URI, or all of it, as written or decoded; when the URI holds
// anything that uriWithoutPassword masks, the detail is left out, as it
// might quote the password (and in any language libpq speaks, so the cut is
// at the first ": ").
std::string libpqReason(const std::string& uri, const char* message) {
    std::string line = message ? message : "out of memory";
    line = line.substr(0, line.find('\n'));
    const char* const space = " \t\r";
    line.erase(0, line.find_first_not_of(space));
    line.erase(line.find_last_not_of(space) + 1);
    if (uriWithoutPassword(uri) != uri) {
        const std::size_t detail = line.find(": ");
        if (detail != std::string::npos) line.erase(detail);
    }
    return line.empty() ? "libpq cannot read it" : line;
}

// A port number as libpq takes one: 1 to 65535, digits only.
int portNumber(const std::string& text) {
    if (text.empty() || text.size() > 5 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    const int n = std::stoi(text);
    return n <= 65535 ? n : 0;
}

// A value for libpq's key='value' connection string.
std::string quoted(const std::string& value) {
    std::string out = "'";
    for (char c : value) {
        if (c == '\'' || c == '\\') out += '\\';
        out += c;
    }
    return out + "'";
}

}  // namespace

bool isPostgresUri(const std::string& db) {
    const std::string head = lowered(db.substr(0, 11));
    return head.rfind("postgresql:", 0) == 0 || head.rfind("postgres:", 0) == 0;
}

bool pgSettingsFromUri(const std::string& uri, PgSettings* out, std::string* error) {
    const std::size_t colon = uri.find(':');
    if (!isPostgresUri(uri) || uri.compare(colon, 3, "://") != 0) {
        *error = "not a URI of the form postgresql://[user@][host][:port][/dbname][?key=value...]";
        return false;
    }
    // The scheme in any case, as URIs have it; libpq knows it in lower case.
    const std::string spelled = lowered(uri.substr(0, colon)) + uri.substr(colon);
    char* message = nullptr;
    const std::unique_ptr<PQconninfoOption, decltype(&PQconninfoFree)> parsed(
        PQconninfoParse(spelled.c_str(), &message), &PQconninfoFree);
    if (!parsed) {
        *error = libpqReason(uri, message);
        PQfreemem(message);
        return false;
    }

    // libpq fills "password" from the user part ("user:pw@") as from the
    // query, however its key was spelled there; "sslpassword" (a client
    // key's passphrase) is as secret.
    auto given = [&](const char* key) -> const char* {
        for (const PQconninfoOption* o = parsed.get(); o->keyword; ++o)
            if (std::strcmp(o->keyword, key) == 0) return o->val;
        return nullptr;
    };
    for (const PQconninfoOption* o = parsed.get(); o->keyword; ++o) {
        if (o->val && (mentionsPassword(o->keyword) ||
                       (std::strcmp(o->keyword, "options") == 0 && mentionsPassword(o->val)))) {
            *error = kPasswordRefused;
            return false;
        }
    }
    // libpq ends the user part at the first '/', so a password holding one
    // is read as host, port and database name.  No such name holds an '@'.
    for (const char* key : {"host", "port", "dbname"}) {
        const char* value = given(key);
        if (value && std::strchr(value, '@')) {
            *error =
                "the URI's host, port or database name holds an '@' (a user part with a '/' "
                "in it?); give a password in ~/.pgpass or PGPASSWORD, never in the URI";
            return false;
        }
    }

    PgSettings s;
    std::string portList;
    if (const char* port = given("port")) {
        const std::string text = port;
        bool valid = true;
        if (text.find(',') == std::string::npos) {
            s.port = portNumber(text);
            valid = s.port != 0;
        } else {
            // One port for each host, an empty one meaning the default.
            for (std::size_t start = 0; valid && start <= text.size();) {
                const std::size_t end = std::min(text.find(',', start), text.size());
                const std::string one = text.substr(start, end - start);
                valid = one.empty() || portNumber(one) != 0;
                start = end + 1;
            }
            portList = text;
        }
        if (!valid) {
            // Not quoted: "user:password" without its '@' reads as host:port.
            *error = "the URI's port is no port number (1 to 65535, one per host)";
            return false;
        }
    }
    if (const char* host = given("host")) s.host = host;
    if (const char* user = given("user")) s.user = user;
    if (const char* dbname = given("dbname")) s.dbname = dbname;

    // Every other key in libpq's order, the URI's value or the program's.
    for (const PQconninfoOption* o = parsed.get(); o->keyword; ++o) {
        const std::string key = o->keyword;
        if (key == "host" || key == "user" || key == "dbname" || key == "password") continue;
        std::string value;
        if (key == "port") {
            if (portList.empty()) continue;
            value = portList;
        } else if (key == "options") {
            value = kSessionOptions;
            if (o->val && *o->val) value += std::string(" ") + o->val;
            value += std::string(" ") + kPinnedPath;
        } else if (o->val) {
            value = o->val;
        } else {
            const auto d = std::find_if(std::begin(kDefaults), std::end(kDefaults),
                                        [&](const auto& entry) { return key == entry.key; });
            if (d == std::end(kDefaults)) continue;
            value = d->value;
        }
        if (value.find(';') != std::string::npos) {
            *error = "the URI's " + key + " holds a ';', which the database driver cannot pass on";
            return false;
        }
        if (!s.connectOptions.empty()) s.connectOptions += ';';
        s.connectOptions += key + "=" + quoted(value);
    }
    *out = s;
    return true;
}

std::string uriWithoutPassword(const std::string& uri) {
    if (!isPostgresUri(uri)) return uri;
    const std::size_t colon = uri.find(':');
    const std::size_t start = uri.compare(colon, 3, "://") == 0 ? colon + 3 : colon + 1;
    // The user part ends at an '@', and libpq may read a '/', '?' or ':' of
    // a password as the end of another part: everything up to the last '@'
    // goes, user name and all.  (A query value with an '@' of its own then
    // takes the host with it: never a password.)
    std::string shown = uri;
    const std::size_t at = shown.rfind('@');
    if (at != std::string::npos && at >= start) shown.erase(start, at + 1 - start);

    // The query: key=value pairs joined by '&'.  A pair whose key or value
    // mentions a password, once decoded, is shown as key=...; one without
    // '=' as "...".
    std::size_t pos = shown.find('?', start);
    if (pos == std::string::npos) return shown;
    for (++pos; pos <= shown.size(); ++pos) {
        const std::size_t end = std::min(shown.find('&', pos), shown.size());
        const std::string pair = shown.substr(pos, end - pos);
        if (mentionsPassword(decodedForSearch(pair))) {
            const std::size_t eq = pair.find('=');
            const std::size_t from = eq == std::string::npos ? pos : pos + eq + 1;
            shown.replace(from, end - from, "...");
            pos = from + 3;
        } else {
            pos = end;
        }
    }
    return shown;
}
