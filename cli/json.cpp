#include "cli/json.h"

#include <QByteArray>
#include <QLocale>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "workshop/table.h"

void appendJsonText(std::string& out, const char* latin1, std::size_t size) {
    static const char kHex[] = "0123456789abcdef";
    out += '"';
    const auto* p = reinterpret_cast<const unsigned char*>(latin1);
    const auto* end = p + size;
    while (p != end) {
        // A run of characters written as they are, at once.
        const auto* plain = p;
        while (plain != end && *plain >= 0x20 && *plain < 0x80 && *plain != '"' && *plain != '\\')
            ++plain;
        out.append(reinterpret_cast<const char*>(p), static_cast<std::size_t>(plain - p));
        if (plain == end) break;
        p = plain;
        const unsigned char c = *p++;
        if (c >= 0x80) {
            appendUtf8(out, reinterpret_cast<const char*>(p - 1), 1);
            continue;
        }
        const char* escape = c == '"'    ? "\\\""
                             : c == '\\' ? "\\\\"
                             : c == '\b' ? "\\b"
                             : c == '\f' ? "\\f"
                             : c == '\n' ? "\\n"
                             : c == '\r' ? "\\r"
                             : c == '\t' ? "\\t"
                                         : nullptr;
        if (escape) {
            out += escape;
        } else {
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    out += '"';
}

std::string jsonDouble(double d) {
    if (!std::isfinite(d)) return "null";
    if (d == std::trunc(d) && std::fabs(d) <= 9007199254740992.0)
        return std::to_string(static_cast<long long>(d));
    if (d != std::trunc(d)) {
        // A number with a fraction: the standard library's shortest form is
        // the one Qt writes (tried on tens of millions of them, every
        // exponent), made without Qt's detour through its locale code.
        char text[32];
        const auto written = std::to_chars(text, text + sizeof text, d);
        return std::string(text, written.ptr);
    }
    return QByteArray::number(d, 'g', QLocale::FloatingPointShortest).toStdString();
}

void JsonObject::newLine(std::string& out, bool comma, std::size_t indent, const char* key) {
    const std::size_t keySize = key ? std::strlen(key) : 0;
    char text[128];
    if (indent + keySize + 6 > sizeof text) {  // deeper than any output goes
        out += comma ? ",\n" : "\n";
        out.append(indent, ' ');
        if (key) out += '"' + std::string(key) + "\": ";
        return;
    }
    char* p = text;
    if (comma) *p++ = ',';
    *p++ = '\n';
    p = std::fill_n(p, indent, ' ');
    if (key) {
        *p++ = '"';
        p = std::copy_n(key, keySize, p);
        p = std::copy_n("\": ", 3, p);
    }
    out.append(text, static_cast<std::size_t>(p - text));
}
