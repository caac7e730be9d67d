#include "save/recordsjson.h"

#include <cstring>
#include <utility>
#include <vector>

#include "device/decode.h"

namespace {

// One JSON value, as far as the records need it.
struct Value {
    enum Type { Null, Bool, Number, Text, Array, Object } type = Null;
    std::string text;    // a text's characters as Latin-1 bytes; a number as written
    bool latin1 = true;  // every character of the text is U+0000-U+00FF
    std::vector<Value> items;
    std::vector<std::pair<std::string, Value>> members;  // in the file's order

    const Value* member(const char* key) const {
        for (const auto& [name, value] : members)
            if (name == key) return &value;
        return nullptr;
    }
};

// The records JSON nests four deep (record, verdict, limits); anything much
// deeper is not ours, and is refused before it can exhaust the stack.
constexpr int kDeepest = 16;

// A strict reader of RFC 8259 JSON in UTF-8.
class Reader {
public:
    explicit Reader(const std::string& bytes) : s_(bytes) {}

    bool document(Value* v) {
        space();
        if (!value(v, 0)) return false;
        space();
        return at_ == s_.size() || fail("something follows the JSON value");
    }
    const std::string& why() const { return why_; }

private:
    bool fail(const std::string& what) {
        if (why_.empty()) why_ = what + " at byte " + std::to_string(at_ + 1);
        return false;
    }
    bool more() const { return at_ < s_.size(); }
    char peek() const { return more() ? s_[at_] : '\0'; }
    void space() {
        while (more() && (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == '\r' || s_[at_] == '\n'))
            ++at_;
    }
    bool literal(const char* word) {
        const std::size_t n = std::strlen(word);
        if (s_.compare(at_, n, word) != 0) return fail("no JSON value");
        at_ += n;
        return true;
    }

    bool value(Value* v, int depth) {
        if (depth > kDeepest) return fail("JSON nested too deep");
        switch (peek()) {
            case '{':
                return object(v, depth);
            case '[':
                return array(v, depth);
            case '"':
                v->type = Value::Text;
                return text(v);
            case 't':
                v->type = Value::Bool;
                return literal("true");
            case 'f':
                v->type = Value::Bool;
                return literal("false");
            case 'n':
                v->type = Value::Null;
                return literal("null");
            default:
                v->type = Value::Number;
                return number(v);
        }
    }

    bool object(Value* v, int depth) {
        v->type = Value::Object;
        ++at_;
        space();
        if (peek() == '}') return ++at_, true;
        for (;;) {
            space();
            Value key;
            if (peek() != '"') return fail("no member name");
            if (!text(&key)) return false;
            if (!key.latin1 || v->member(key.text.c_str()))
                return fail("member \"" + key.text + "\" twice, or a name that is none of ours");
            space();
            if (peek() != ':') return fail("no ':' after a member name");
            ++at_;
            space();
            v->members.emplace_back(key.text, Value());
            if (!value(&v->members.back().second, depth + 1)) return false;
            space();
            if (peek() == '}') return ++at_, true;
            if (peek() != ',') return fail("no ',' or '}' after a member");
            ++at_;
        }
    }

    bool array(Value* v, int depth) {
        v->type = Value::Array;
        ++at_;
        space();
        if (peek() == ']') return ++at_, true;
        for (;;) {
            space();
            v->items.emplace_back();
            if (!value(&v->items.back(), depth + 1)) return false;
            space();
            if (peek() == ']') return ++at_, true;
            if (peek() != ',') return fail("no ',' or ']' after an item");
            ++at_;
        }
    }

    bool number(Value* v) {
        const std::size_t start = at_;
        auto digits = [&] {
            const std::size_t from = at_;
            while (more() && s_[at_] >= '0' && s_[at_] <= '9') ++at_;
            return at_ > from;
        };
        if (peek() == '-') ++at_;
        if (peek() == '0')
            ++at_;
        else if (!digits())
            return fail("no JSON value");
        if (peek() == '.' && (++at_, !digits())) return fail("a number without digits");
        if (peek() == 'e' || peek() == 'E') {
            ++at_;
            if (peek() == '+' || peek() == '-') ++at_;
            if (!digits()) return fail("a number without digits");
        }
        v->text = s_.substr(start, at_ - start);
        return true;
    }

    bool hex4(unsigned* code) {
        if (s_.size() - at_ < 4) return fail("a \\u escape cut short");
        *code = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = s_[at_++];
            const int d = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
            if (d < 0) return fail("a \\u escape that is no number");
            *code = *code * 16 + static_cast<unsigned>(d);
        }
        return true;
    }

    // One UTF-8 character from the text; false for bytes that are no UTF-8.
    bool utf8(unsigned* code) {
        const auto c = static_cast<unsigned char>(s_[at_]);
        const int extra = c < 0x80             ? 0
                          : (c & 0xE0) == 0xC0 ? 1
                          : (c & 0xF0) == 0xE0 ? 2
                          : (c & 0xF8) == 0xF0 ? 3
                                               : -1;
        if (extra < 0 || s_.size() - at_ <= static_cast<std::size_t>(extra))
            return fail("bytes that are no UTF-8");
        *code = extra == 0 ? c : c & (0x3Fu >> extra);
        for (int i = 1; i <= extra; ++i) {
            const auto b = static_cast<unsigned char>(s_[at_ + static_cast<std::size_t>(i)]);
            if ((b & 0xC0) != 0x80) return fail("bytes that are no UTF-8");
            *code = (*code << 6) | (b & 0x3F);
        }
        static const unsigned kLeast[] = {0, 0x80, 0x800, 0x10000};
        if (*code < kLeast[extra] || *code > 0x10FFFF || (*code >= 0xD800 && *code <= 0xDFFF))
            return fail("bytes that are no UTF-8");
        at_ += static_cast<std::size_t>(extra) + 1;
        return true;
    }

    bool text(Value* v) {
        ++at_;  // the opening quote
        for (;;) {
            if (!more()) return fail("a text without its closing quote");
            const char c = s_[at_];
            unsigned code = 0;
            if (c == '"') {
                ++at_;
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20) return fail("a control byte inside a text");
            if (c == '\\') {
                ++at_;
                const char e = more() ? s_[at_++] : '\0';
                const char* plain = std::strchr("\"\\/bfnrt", e);
                if (e != '\0' && plain) {
                    static const char kMeant[] = "\"\\/\b\f\n\r\t";
                    code = static_cast<unsigned char>(kMeant[plain - "\"\\/bfnrt"]);
                } else if (e == 'u') {
                    if (!hex4(&code)) return false;
                    if (code >= 0xD800 && code <= 0xDBFF) {  // a pair for a character past U+FFFF
                        unsigned low = 0;
                        if (s_.compare(at_, 2, "\\u") != 0 || (at_ += 2, !hex4(&low)) ||
                            low < 0xDC00 || low > 0xDFFF)
                            return fail("half of a \\u surrogate pair");
                        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                    } else if (code >= 0xDC00 && code <= 0xDFFF) {
                        return fail("half of a \\u surrogate pair");
                    }
                } else {
                    return fail("an unknown escape in a text");
                }
            } else if (!utf8(&code)) {
                return false;
            }
            if (code > 0xFF) v->latin1 = false;
            v->text += static_cast<char>(code & 0xFF);
        }
    }

    const std::string& s_;
    std::size_t at_ = 0;
    std::string why_;
};

// A tester object: its "id" and "serial" texts, no longer than a tester
// gives them.
bool testerOf(const Value* v, TesterIdentity* tester) {
    const Value* id = v && v->type == Value::Object ? v->member("id") : nullptr;
    const Value* serial = v && v->type == Value::Object ? v->member("serial") : nullptr;
    if (!id || !serial || id->type != Value::Text || serial->type != Value::Text || !id->latin1 ||
        !serial->latin1 || id->text.size() > kIdWidth || serial->text.size() > kSerialWidth)
        return false;
    tester->id = id->text;
    tester->serial = serial->text;
    return true;
}

// A text member of the record into its field: Latin-1, no zero byte, and
// no longer than the field holds.
bool fieldOf(const Value& record, const char* member, char* field, std::size_t size,
             std::string* why) {
    const Value* v = record.member(member);
    if (!v || v->type != Value::Text || !v->latin1 || v->text.find('\0') != std::string::npos ||
        v->text.size() >= size) {
        *why = std::string("its \"") + member + "\" is " +
               (!v                       ? "missing"
                : v->type != Value::Text ? "no text"
                : !v->latin1             ? "not Latin-1 (a tester's texts are bytes)"
                                         : "longer than a tester gives, or holds a zero byte");
        return false;
    }
    setField(field, size, v->text);
    return true;
}

}  // namespace

bool readRecordsJson(const std::string& bytes, SavedFileContents* out, std::string* why) {
    *out = SavedFileContents();
    Value doc;
    Reader reader(bytes);
    if (!reader.document(&doc)) {
        *why = "not JSON: " + reader.why();
        return false;
    }
    const Value* format = doc.type == Value::Object ? doc.member("format") : nullptr;
    const Value* records = doc.type == Value::Object ? doc.member("records") : nullptr;
    if (!format || format->type != Value::Number ||
        (format->text != "1" && format->text != "2" && format->text != "3") || !records ||
        records->type != Value::Array) {
        *why =
            "JSON, but not the records of download --json or history --json (\"format\" 1 to 3 "
            "with \"records\")";
        return false;
    }
    const Value* downloadTester = doc.member("tester");
    if (downloadTester && !testerOf(downloadTester, &out->tester)) {
        *why = "its \"tester\" is no tester (\"id\" and \"serial\" texts a tester gives)";
        return false;
    }
    bool several = false;
    for (std::size_t i = 0; i < records->items.size(); ++i) {
        const Value& r = records->items[i];
        const std::string where = "record " + std::to_string(i + 1) + ": ";
        const Value* position = r.type == Value::Object ? r.member("record") : nullptr;
        if (!position || position->text != std::to_string(i + 1)) {
            *why = where + "its \"record\" is not its position, " + std::to_string(i + 1);
            return false;
        }
        TestRecord t = emptyRecord();
        std::string wrong;
        if (!fieldOf(r, "deviceID", t.deviceID, sizeof t.deviceID, &wrong) ||
            !fieldOf(r, "testDate", t.testDate, sizeof t.testDate, &wrong) ||
            !fieldOf(r, "testTime", t.testTime, sizeof t.testTime, &wrong) ||
            !fieldOf(r, "testDuration", t.testDuration, sizeof t.testDuration, &wrong) ||
            !fieldOf(r, "flow", t.flow, sizeof t.flow, &wrong) ||
            !fieldOf(r, "volume", t.volume, sizeof t.volume, &wrong) ||
            !fieldOf(r, "pressureMMHG", t.pressureMMHG, sizeof t.pressureMMHG, &wrong) ||
            !fieldOf(r, "pressureUser", t.pressureUser, sizeof t.pressureUser, &wrong) ||
            !fieldOf(r, "peakPressureTime", t.peakPressureTime, sizeof t.peakPressureTime,
                     &wrong)) {
            *why = where + wrong;
            return false;
        }
        const Value* unit = r.member("pressureUnits");
        const std::string name = unit && unit->type == Value::Text ? unit->text : std::string();
        t.pressureUnits = unitCode(name);
        if (name != unitName(t.pressureUnits)) {
            *why = where + "its \"pressureUnits\" is none of PSI, kPa, Bar and mmHg";
            return false;
        }
        // A history names each record's tester; a download, the one tester.
        if (!downloadTester) {
            TesterIdentity tester;
            if (!testerOf(r.member("tester"), &tester)) {
                *why = where +
                       "its \"tester\" is no tester (\"id\" and \"serial\" texts a tester gives)";
                return false;
            }
            if (i == 0) out->tester = tester;
            several = several || tester.serial != out->tester.serial;
        }
        out->records.push_back(t);
    }
    if (several) out->tester = TesterIdentity();
    out->kind = SavedFileKind::Json;
    out->form = RecordForm::Text;
    return true;
}
