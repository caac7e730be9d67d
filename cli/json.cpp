#include "cli/json.h"

#include <QByteArray>
#include <QLocale>
#include <cmath>

#include "workshop/table.h"

// A Latin-1 text as a JSON string (UTF-8).
std::string jsonText(const std::string& latin1) {
    static const char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    for (const unsigned char c : latin1) {
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
        } else if (c < 0x20) {
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += latin1ToUtf8(std::string(1, static_cast<char>(c)));
        }
    }
    return out + "\"";
}

std::string jsonDouble(double d) {
    if (!std::isfinite(d)) return "null";
    if (d == std::trunc(d) && std::fabs(d) <= 9007199254740992.0)
        return std::to_string(static_cast<long long>(d));
    return QByteArray::number(d, 'g', QLocale::FloatingPointShortest).toStdString();
}
