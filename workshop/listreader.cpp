#include "workshop/listreader.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace {

std::string trimmed(const std::string& s) {
    const std::size_t first = s.find_first_not_of(" \t");
    if (first == std::string::npos) return std::string();
    return s.substr(first, s.find_last_not_of(" \t") + 1 - first);
}

std::string lowered(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// A header's letters as a near miss reads them: lower case, with spaces and
// hyphens as underscores.
std::string headerLetters(const std::string& s) {
    std::string out = lowered(trimmed(s));
    for (char& c : out)
        if (c == ' ' || c == '-') c = '_';
    return out;
}

// Edits (insert, delete, replace, swap of neighbours) that turn a into b.
std::size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i)
        for (std::size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                                d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

// A valid UTF-8 sequence: shortest forms, no surrogates, at most U+10FFFF.
bool validUtf8(const std::string& s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        std::size_t more;
        unsigned long min;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            more = 1, min = 0x80;
        } else if (c >= 0xE0 && c <= 0xEF) {
            more = 2, min = 0x800;
        } else if (c >= 0xF0 && c <= 0xF4) {
            more = 3, min = 0x10000;
        } else {
            return false;
        }
        if (i + more >= s.size()) return false;
        unsigned long cp = c & (0x3F >> more);
        for (std::size_t k = 1; k <= more; ++k) {
            const unsigned char t = static_cast<unsigned char>(s[i + k]);
            if ((t & 0xC0) != 0x80) return false;
            cp = cp << 6 | (t & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += more + 1;
    }
    return true;
}

// A field of a valid UTF-8 file as Latin-1 bytes; false with the first code
// point above U+00FF in *outside.
bool utf8ToLatin1(const std::string& s, std::string* out, unsigned long* outside) {
    out->clear();
    for (std::size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const std::size_t length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        unsigned long cp = length == 1 ? c : c & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k)
            cp = cp << 6 | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        if (cp > 0xFF) {
            *outside = cp;
            return false;
        }
        *out += static_cast<char>(cp);
        i += length;
    }
    return true;
}

}  // namespace

std::string shownCell(const std::string& s) {
    std::string out;
    for (char c : s.substr(0, 40)) out += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
    return s.size() > 40 ? out + "..." : out;
}

std::string formatted(const char* pattern, ...) {
    char text[512];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}

bool digitsOnly(const std::string& s) {
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

ListReader::ListReader(const std::string& bytes, std::vector<std::string> columns)
    // A byte order mark, as spreadsheets write one before UTF-8.
    : bytes_(bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? bytes.substr(3) : bytes),
      columns_(std::move(columns)),
      at_(columns_.size(), -1),
      cells_(columns_.size()) {
    utf8_ = validUtf8(bytes_);
}

// Reads the row at pos_ (RFC 4180: quoted fields hold commas, doubled quotes
// and line breaks; lines end in CR LF, LF or a lone CR; spaces around a
// quoted field allowed).  A fault names its field's index in faultField_.
ListReader::Read ListReader::readRow() {
    const std::string& s = bytes_;
    std::size_t* pos = &pos_;
    int* line = &lineAt_;
    Row* row = &row_;
    std::size_t* faultField = &faultField_;
    std::string* fault = &fault_;
    const std::size_t n = s.size();
    if (*pos >= n) return Read::End;
    row->line = *line;
    row->fields.clear();
    std::size_t p = *pos;
    for (;;) {
        std::string field;
        std::size_t q = p;
        while (q < n && (s[q] == ' ' || s[q] == '\t')) ++q;
        if (q < n && s[q] == '"') {
            for (p = q + 1;; ++p) {
                if (p >= n) {
                    *faultField = row->fields.size();
                    *fault = "a quoted field that never ends";
                    return Read::Fault;
                }
                if (s[p] == '"') {
                    if (p + 1 < n && s[p + 1] == '"') {
                        field += '"';
                        ++p;
                        continue;
                    }
                    ++p;
                    break;
                }
                if (s[p] == '\n' || (s[p] == '\r' && (p + 1 >= n || s[p + 1] != '\n'))) ++*line;
                field += s[p];
            }
            while (p < n && (s[p] == ' ' || s[p] == '\t')) ++p;
            if (p < n && s[p] != ',' && s[p] != '\r' && s[p] != '\n') {
                *faultField = row->fields.size();
                *fault = "text after the closing quote";
                return Read::Fault;
            }
        } else {
            for (; p < n && s[p] != ',' && s[p] != '\r' && s[p] != '\n'; ++p) {
                if (s[p] == '"') {
                    *faultField = row->fields.size();
                    *fault = "a quote inside a field that does not start with one";
                    return Read::Fault;
                }
                field += s[p];
            }
        }
        row->fields.push_back(std::move(field));
        if (p < n && s[p] == ',') {
            ++p;
            continue;
        }
        if (p < n) {
            p += s[p] == '\r' && p + 1 < n && s[p + 1] == '\n' ? 2 : 1;
            ++*line;
        }
        *pos = p;
        return Read::Row;
    }
}

bool ListReader::refuseField(int line, std::size_t field, const std::string& text) {
    const std::string label = field < labels_.size() && !labels_[field].empty()
                                  ? shownCell(labels_[field])
                                  : std::to_string(field + 1);
    why_ = formatted("line %d, column %s: %s", line, label.c_str(), text.c_str());
    return false;
}

bool ListReader::refuse(std::size_t column, const std::string& text) {
    return refuseField(row_.line, static_cast<std::size_t>(at_[column]), text);
}

bool ListReader::fail(const std::string& text) {
    why_ = text;
    return false;
}

// The next row that is not blank, each field as Latin-1 bytes: true, or
// false at the end or with why_.
bool ListReader::nextFields() {
    for (;;) {
        const Read got = readRow();
        if (got == Read::End) return false;
        if (got == Read::Fault) return refuseField(row_.line, faultField_, fault_);
        bool blank = true;
        for (std::size_t f = 0; f < row_.fields.size(); ++f) {
            std::string latin1;
            unsigned long outside = 0;
            if (utf8_ && !utf8ToLatin1(row_.fields[f], &latin1, &outside))
                return refuseField(row_.line, f,
                                   formatted("a character outside Latin-1 (U+%04lX)", outside));
            if (utf8_) row_.fields[f] = latin1;
            blank = blank && trimmed(row_.fields[f]).empty();
        }
        if (!blank) return true;
    }
}

bool ListReader::header() {
    if (!nextFields()) return why_.empty() ? fail("the file holds no header row") : false;
    headerLine_ = row_.line;
    for (std::size_t f = 0; f < row_.fields.size(); ++f) {
        labels_.push_back(lowered(trimmed(row_.fields[f])));
        bool known = false;
        for (std::size_t c = 0; c < columns_.size(); ++c) {
            if (labels_[f] != columns_[c]) continue;
            if (at_[c] >= 0) return refuseField(headerLine_, f, "the column is named twice");
            at_[c] = static_cast<int>(f);
            known = true;
        }
        if (known || labels_[f].empty()) continue;
        // A near miss of a known column is a typing slip that would leave
        // its values out in silence: refused, with the column meant.
        const std::string letters = headerLetters(labels_[f]);
        const std::string* meant = nullptr;
        std::size_t closest = 3;
        for (const std::string& name : columns_) {
            const std::size_t d = letters == name ? 0 : editDistance(letters, name);
            if (d < closest) closest = d, meant = &name;
        }
        if (meant)
            return refuseField(headerLine_, f,
                               formatted("no such column; did you mean %s?", meant->c_str()));
        ignored_.push_back(shownCell(trimmed(row_.fields[f])));
    }
    return true;
}

bool ListReader::next() {
    if (!nextFields()) return false;
    const std::size_t count = row_.fields.size(), wanted = labels_.size();
    if (count > wanted)
        return refuseField(row_.line, wanted,
                           formatted("a field past the header's %zu columns", wanted));
    if (count < wanted)
        return refuseField(
            row_.line, count,
            formatted("the row ends before this column (%zu fields of %zu)", count, wanted));
    for (std::size_t c = 0; c < columns_.size(); ++c)
        cells_[c] =
            at_[c] >= 0 ? trimmed(row_.fields[static_cast<std::size_t>(at_[c])]) : std::string();
    return true;
}
