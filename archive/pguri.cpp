#include "archive/pguri.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>

namespace {

const char* const kPasswordRefused =
    "the URI holds a password; give it in ~/.pgpass or PGPASSWORD instead";

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
    return db.rfind("postgresql://", 0) == 0 || db.rfind("postgres://", 0) == 0;
}

bool pgSettingsFromUri(const std::string& uri, PgSettings* out, std::string* error) {
    if (!isPostgresUri(uri)) {
        *error = "not a postgresql:// URI";
        return false;
    }
    char* message = nullptr;
    const std::unique_ptr<PQconninfoOption, decltype(&PQconninfoFree)> parsed(
        PQconninfoParse(uri.c_str(), &message), &PQconninfoFree);
    if (!parsed) {
        *error = libpqReason(uri, message);
        PQfreemem(message);
        return false;
    }

    // libpq fills "password" from the user part ("user:pw@") as from the
    // query, however its key was spelled there.
    auto given = [&](const char* key) -> const char* {
        for (const PQconninfoOption* o = parsed.get(); o->keyword; ++o)
            if (std::strcmp(o->keyword, key) == 0) return o->val;
        return nullptr;
    };
    const char* uriOptions = given("options");
    if (given("password") || (uriOptions && mentionsPassword(uriOptions))) {
        *error = kPasswordRefused;
        return false;
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
            *error = "the URI's port \"" + text + "\" is no port number";
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
    const std::size_t scheme = uri.find("://");
    if (scheme == std::string::npos) return uri;
    std::string shown = uri;
    const std::size_t start = scheme + 3;

    // The user part ends at an '@' before the first '/'; its password
    // follows the first ':'.  The last such '@' is taken, so that a
    // password with an '@' of its own is masked whole.
    const std::size_t slash = std::min(shown.find('/', start), shown.size());
    const std::size_t at = shown.rfind('@', slash);
    if (at != std::string::npos && at >= start) {
        const std::size_t colon = shown.find(':', start);
        if (colon < at && colon + 1 < at) shown.replace(colon + 1, at - colon - 1, "...");
    }

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
