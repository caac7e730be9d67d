#pragma once
// JSON as lumkest-cli writes it: directly, a piece at a time, in the layout
// of Qt's own indented writer (four spaces a level, the same escapes and
// numbers) but with the members in the order the manual page lists them.
// A QJsonObject for each of a million records took most of a history's
// time and all of its memory, and sorts its keys.

#include <optional>
#include <string>
#include <utility>

// A Latin-1 text as a JSON string (UTF-8).
std::string jsonText(const std::string& latin1);

// A number as Qt writes a double: a whole one up to 2^53 in digits, any
// other in the shortest form that reads back the same, null when infinite.
std::string jsonDouble(double value);
template <class T>
std::string jsonNumber(const std::optional<T>& value) {
    return value ? jsonDouble(static_cast<double>(*value)) : "null";
}

// One object, its members in the order they are added, at the depth of
// indent (the depth its opening brace stands at).
class JsonObject {
public:
    explicit JsonObject(std::string indent) : indent_(std::move(indent)), body_("{") {
        body_.reserve(1024);
    }
    JsonObject& text(const char* key, const std::string& latin1) {
        return value(key, jsonText(latin1));
    }
    JsonObject& number(const char* key, long long n) { return value(key, std::to_string(n)); }
    // value: JSON text already (a number, null, an object made at inner()).
    // Appended piece by piece: a history writes millions of these.
    JsonObject& value(const char* key, const std::string& json) {
        body_ += body_.size() == 1 ? "\n" : ",\n";
        body_ += indent_;
        body_ += "    \"";
        body_ += key;
        body_ += "\": ";
        body_ += json;
        return *this;
    }
    std::string inner() const { return indent_ + "    "; }
    std::string str() const { return body_ + "\n" + indent_ + "}"; }

private:
    std::string indent_, body_;
};
