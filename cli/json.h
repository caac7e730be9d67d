#pragma once
// JSON as lumkest-cli writes it: directly, a piece at a time, in the layout
// of Qt's own indented writer (four spaces a level, the same escapes and
// numbers) but with the members in the order the manual page lists them.
// A QJsonObject for each of a million records took most of a history's
// time and all of its memory, and sorts its keys.

#include <cstddef>
#include <optional>
#include <string>

// A Latin-1 text as a JSON string (UTF-8), appended to out.
void appendJsonText(std::string& out, const char* latin1, std::size_t size);
inline std::string jsonText(const std::string& latin1) {
    std::string out;
    appendJsonText(out, latin1.data(), latin1.size());
    return out;
}

// A number as Qt writes a double: a whole one up to 2^53 in digits, any
// other in the shortest form that reads back the same, null when infinite.
std::string jsonDouble(double value);
template <class T>
std::string jsonNumber(const std::optional<T>& value) {
    return value ? jsonDouble(static_cast<double>(*value)) : "null";
}

// One object, its members in the order they are added, at the depth of
// indent (the spaces its opening brace stands at): made whole and given by
// str(), or written straight onto the end of a text, from its opening brace
// at once to its closing one at close().  A history writes millions of
// these, so nothing is made twice.
class JsonObject {
public:
    explicit JsonObject(const std::string& indent) : JsonObject(&own_, indent.size()) {
        own_.reserve(1024);
    }
    JsonObject(std::string* out, std::size_t indent) : body_(out), indent_(indent) {
        *body_ += '{';
    }
    JsonObject(const JsonObject&) = delete;
    JsonObject& operator=(const JsonObject&) = delete;

    JsonObject& text(const char* key, const std::string& latin1) {
        member(key);
        appendJsonText(*body_, latin1.data(), latin1.size());
        return *this;
    }
    JsonObject& number(const char* key, long long n) { return value(key, std::to_string(n)); }
    // value: JSON text already (a number, null, an object made at inner()).
    JsonObject& value(const char* key, const std::string& json) {
        member(key);
        *body_ += json;
        return *this;
    }
    // A member whose value is an object written in place: its members, then
    // its close(), before this object's next member.
    JsonObject object(const char* key) {
        member(key);
        return JsonObject(body_, indent_ + 4);
    }
    std::string inner() const { return std::string(indent_ + 4, ' '); }
    std::string str() const {
        std::string text = own_;
        newLine(text, false, indent_);
        return text += '}';
    }
    void close() {
        newLine(*body_, false, indent_);
        *body_ += '}';
    }

private:
    // A line break (after a comma) and the next line's indent; with a key,
    // the member's name too.  All at once.
    static void newLine(std::string& out, bool comma, std::size_t indent,
                        const char* key = nullptr);
    void member(const char* key) {
        newLine(*body_, !empty_, indent_ + 4, key);
        empty_ = false;
    }

    std::string own_;
    std::string* body_;
    std::size_t indent_;
    bool empty_ = true;
};
