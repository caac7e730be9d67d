#include "archive/assets.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <utility>

#include "archive/recordkey.h"
#include "archive/tabletext.h"
#include "archive/typed.h"
#include "records/calendar.h"

const char* const kAssetColumns[11] = {
    "device_id",       "model",         "location",           "set_rate_ml_h",
    "flow_low_pct",    "flow_high_pct", "occlusion_min_mmhg", "occlusion_max_mmhg",
    "peak_time_max_s", "interval_days", "valid_from",
};

namespace {

using u128 = unsigned __int128;
constexpr std::size_t npos = std::string::npos;

// Units of 10^-9 in one.
constexpr __int128 kScale = 1000000000;
// Whole digits a Decimal reads: its units stay below 10^27, so that two of
// them subtract, and a difference times 10^11 (a percentage in units) stays
// inside 128 bits.
constexpr std::size_t kWholeDigits = 18;

// The columns in kAssetColumns order.
enum Column {
    DeviceId,
    Model,
    Location,
    SetRate,
    FlowLow,
    FlowHigh,
    OcclusionMin,
    OcclusionMax,
    PeakTimeMax,
    IntervalDays,
    ValidFrom,
    kColumns
};

bool digitsOnly(const std::string& s) {
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

std::string trimmed(const std::string& s) {
    const std::size_t first = s.find_first_not_of(" \t");
    if (first == npos) return std::string();
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

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...) {
    char text[512];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}

// A cell's text for a one-line reason: control bytes as spaces, cut short.
std::string shown(const std::string& s) {
    std::string out;
    for (char c : s.substr(0, 40)) out += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
    return s.size() > 40 ? out + "..." : out;
}

// ---- exact arithmetic on units ----

u128 magnitude(__int128 v) { return v < 0 ? u128(0) - static_cast<u128>(v) : static_cast<u128>(v); }
int signOf(__int128 v) { return v < 0 ? -1 : v > 0 ? 1 : 0; }

// The 256-bit product of two 128-bit magnitudes, as high and low halves.
std::pair<u128, u128> product(u128 a, u128 b) {
    const u128 low64 = (u128(1) << 64) - 1;
    const u128 a0 = a & low64, a1 = a >> 64, b0 = b & low64, b1 = b >> 64;
    const u128 p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
    const u128 middle = (p00 >> 64) + (p01 & low64) + (p10 & low64);  // below 3 * 2^64
    return {p11 + (p01 >> 64) + (p10 >> 64) + (middle >> 64), (middle << 64) | (p00 & low64)};
}

// The sign of a*b - c*d, exactly, whatever the sizes.
int compareProducts(__int128 a, __int128 b, __int128 c, __int128 d) {
    const int left = signOf(a) * signOf(b), right = signOf(c) * signOf(d);
    if (left != right) return left < right ? -1 : 1;
    if (left == 0) return 0;
    const auto x = product(magnitude(a), magnitude(b)), y = product(magnitude(c), magnitude(d));
    const int order = x == y ? 0 : x < y ? -1 : 1;
    return left > 0 ? order : -order;
}

// (flow - rate) / rate x 100 in units, rounded half away from zero at the
// ninth place; nullopt if it does not fit.  rate > 0.
std::optional<Decimal> errorPercent(__int128 flow, __int128 rate) {
    __int128 difference, whole, part;
    if (__builtin_sub_overflow(flow, rate, &difference)) return std::nullopt;
    // difference x 10^11 / rate, taken apart so that no step overflows:
    // (q rate + r) x 10^11 / rate = q x 10^11 + r x 10^11 / rate.
    const __int128 percentUnits = 100 * kScale;
    const __int128 q = difference / rate, r = difference % rate;
    if (__builtin_mul_overflow(q, percentUnits, &whole) ||
        __builtin_mul_overflow(r, percentUnits, &part))
        return std::nullopt;
    __int128 rest = part / rate;
    if (2 * magnitude(part % rate) >= magnitude(rate)) rest += signOf(part);
    __int128 units;
    if (__builtin_add_overflow(whole, rest, &units)) return std::nullopt;
    return Decimal(units);
}

// low <= (flow - rate) / rate x 100 <= high, exactly, either end open:
// with rate > 0, low x rate <= (flow - rate) x 100 <= high x rate, all in
// units.
std::optional<bool> flowWithin(__int128 flow, __int128 rate, const std::optional<Decimal>& low,
                               const std::optional<Decimal>& high) {
    __int128 difference;
    if (__builtin_sub_overflow(flow, rate, &difference)) return std::nullopt;
    const __int128 percentUnits = 100 * kScale;
    return (!low || compareProducts(low->units(), rate, difference, percentUnits) <= 0) &&
           (!high || compareProducts(difference, percentUnits, high->units(), rate) <= 0);
}

// A record's number as typed.h reads it (no sign, no exponent, the comma
// rule, surrounding spaces ignored), held exactly.
std::optional<Decimal> recordNumber(const std::string& field) {
    if (!decimalValue(field)) return std::nullopt;
    return Decimal::parse(identityText(field));
}

// ---- calendar ----

// Days since 1970-01-01 of an ISO date that exists.
std::optional<long long> dayNumber(const std::string& iso) {
    if (!isIsoDate(iso)) return std::nullopt;
    return static_cast<long long>(*daysOfIso(iso));
}

// ---- reading the file ----

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

// One row of the CSV: the line it starts on and its fields, unquoted.
struct CsvRow {
    int line = 0;
    std::vector<std::string> fields;
};

enum class RowRead { Row, End, Fault };

// Reads the row at *pos (RFC 4180: quoted fields hold commas, doubled quotes
// and line breaks; lines end in CR LF, LF or a lone CR; spaces around a
// quoted field allowed).  A fault names its field's index in *faultField.
RowRead readRow(const std::string& s, std::size_t* pos, int* line, CsvRow* row,
                std::size_t* faultField, std::string* fault) {
    const std::size_t n = s.size();
    if (*pos >= n) return RowRead::End;
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
                    return RowRead::Fault;
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
                return RowRead::Fault;
            }
        } else {
            for (; p < n && s[p] != ',' && s[p] != '\r' && s[p] != '\n'; ++p) {
                if (s[p] == '"') {
                    *faultField = row->fields.size();
                    *fault = "a quote inside a field that does not start with one";
                    return RowRead::Fault;
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
        return RowRead::Row;
    }
}

// Reads a decimal cell into *value (empty: no value); false with *why.
bool decimalCell(const std::string& text, std::optional<Decimal>* value, std::string* why) {
    value->reset();
    if (text.empty()) return true;
    *value = Decimal::parse(text);
    if (!*value) *why = "\"" + shown(text) + "\" is no number";
    return value->has_value();
}

void fillEmpty(AssetValues* own, const AssetValues& model) {
    if (!own->setRate) own->setRate = model.setRate;
    if (!own->flowLowPct) own->flowLowPct = model.flowLowPct;
    if (!own->flowHighPct) own->flowHighPct = model.flowHighPct;
    if (!own->occlusionMin) own->occlusionMin = model.occlusionMin;
    if (!own->occlusionMax) own->occlusionMax = model.occlusionMax;
    if (!own->peakTimeMax) own->peakTimeMax = model.peakTimeMax;
    if (!own->intervalDays) own->intervalDays = model.intervalDays;
}

std::array<std::string, kColumns> cellsOf(const AssetRow& row) {
    auto number = [](const std::optional<Decimal>& d) { return d ? d->text() : std::string(); };
    const AssetValues& v = row.values;
    return {
        row.deviceId,           row.model,
        row.location,           number(v.setRate),
        number(v.flowLowPct),   number(v.flowHighPct),
        number(v.occlusionMin), number(v.occlusionMax),
        number(v.peakTimeMax),  v.intervalDays ? std::to_string(*v.intervalDays) : std::string(),
        row.validFrom};
}

}  // namespace

// ---- Decimal ----

std::optional<Decimal> Decimal::parse(const std::string& text) {
    std::string s = trimmed(text);
    const bool negative = !s.empty() && s[0] == '-';
    if (negative) s.erase(0, 1);
    const std::size_t point = s.find('.');
    std::string whole = s.substr(0, point);
    std::string part = point == npos ? std::string() : s.substr(point + 1);
    if ((whole.empty() && part.empty()) || !digitsOnly(whole) || !digitsOnly(part))
        return std::nullopt;
    whole.erase(0, whole.find_first_not_of('0'));
    // Zeros past the ninth place change nothing; any other digit there
    // could not be held exactly.
    while (part.size() > 9 && part.back() == '0') part.pop_back();
    if (whole.size() > kWholeDigits || part.size() > 9) return std::nullopt;
    part.resize(9, '0');
    __int128 units = 0;
    for (char c : whole + part) units = units * 10 + (c - '0');
    return Decimal(negative ? -units : units);
}

Decimal Decimal::fromInteger(long long value) { return Decimal(__int128(value) * kScale); }

std::string Decimal::text() const {
    u128 m = magnitude(units_);
    std::string fraction;
    for (int k = 0; k < 9; ++k, m /= 10) fraction.insert(fraction.begin(), char('0' + int(m % 10)));
    std::string whole;
    do {
        whole.insert(whole.begin(), char('0' + int(m % 10)));
        m /= 10;
    } while (m != 0);
    fraction.erase(fraction.find_last_not_of('0') + 1);
    return (units_ < 0 ? "-" : "") + whole + (fraction.empty() ? "" : "." + fraction);
}

double Decimal::toDouble() const { return std::strtod(text().c_str(), nullptr); }

// ---- the list ----

bool readAssetList(const std::string& input, std::vector<AssetRow>* rows, std::string* why,
                   std::vector<std::string>* ignoredColumns) {
    std::string ignored;
    if (!why) why = &ignored;
    rows->clear();
    // A byte order mark, as spreadsheets write one before UTF-8.
    const std::string bytes = input.compare(0, 3, "\xEF\xBB\xBF") == 0 ? input.substr(3) : input;
    const bool utf8 = validUtf8(bytes);

    std::size_t pos = 0, faultField = 0;
    int line = 1;
    CsvRow row;
    std::string fault;
    std::vector<std::string> labels;  // each column's name in reasons
    int column[kColumns];             // where each known column is, or -1
    std::fill(column, column + kColumns, -1);
    auto reason = [&](int at, std::size_t field, const std::string& text) {
        const std::string label = field < labels.size() && !labels[field].empty()
                                      ? shown(labels[field])
                                      : std::to_string(field + 1);
        *why = format("line %d, column %s: %s", at, label.c_str(), text.c_str());
        return false;
    };
    // The next row that is not blank, each field as Latin-1 bytes: true, or
    // false at the end, or nullopt with *why.
    auto next = [&]() -> std::optional<bool> {
        for (;;) {
            const RowRead got = readRow(bytes, &pos, &line, &row, &faultField, &fault);
            if (got == RowRead::End) return false;
            if (got == RowRead::Fault) {
                reason(row.line, faultField, fault);
                return std::nullopt;
            }
            bool blank = true;
            for (std::size_t f = 0; f < row.fields.size(); ++f) {
                std::string latin1;
                unsigned long outside = 0;
                if (utf8 && !utf8ToLatin1(row.fields[f], &latin1, &outside)) {
                    reason(row.line, f, format("a character outside Latin-1 (U+%04lX)", outside));
                    return std::nullopt;
                }
                if (utf8) row.fields[f] = latin1;
                blank = blank && trimmed(row.fields[f]).empty();
            }
            if (!blank) return true;
        }
    };

    std::optional<bool> more = next();
    if (!more) return false;
    if (!*more) return *why = "the file holds no header row", false;
    const int headerLine = row.line;
    std::vector<std::string> unknown;
    for (std::size_t f = 0; f < row.fields.size(); ++f) {
        labels.push_back(lowered(trimmed(row.fields[f])));
        bool known = false;
        for (int c = 0; c < kColumns; ++c) {
            if (labels[f] != kAssetColumns[c]) continue;
            if (column[c] >= 0) return reason(headerLine, f, "the column is named twice");
            column[c] = static_cast<int>(f);
            known = true;
        }
        if (known || labels[f].empty()) continue;
        // A near miss of a known column is a typing slip that would leave
        // its limits out of every verdict: refused, with the column meant.
        const std::string letters = headerLetters(labels[f]);
        const char* meant = nullptr;
        std::size_t closest = 3;
        for (const char* name : kAssetColumns) {
            const std::size_t d = letters == name ? 0 : editDistance(letters, name);
            if (d < closest) closest = d, meant = name;
        }
        if (meant) return reason(headerLine, f, format("no such column; did you mean %s?", meant));
        unknown.push_back(shown(trimmed(row.fields[f])));
    }
    if (column[DeviceId] < 0 && column[Model] < 0)
        return *why = format("line %d: no device_id column and no model column", headerLine), false;

    std::vector<AssetRow> read;
    std::map<std::pair<std::string, std::string>, int> devices, models;  // first line of each
    // Each device by its identity in lower case: IDs that differ only in
    // letter case are keyed by hand and cannot be told apart for sure.
    std::map<std::string, std::pair<std::string, int>> byLetters;
    while ((more = next()) && *more) {
        const int at = row.line;
        const std::size_t count = row.fields.size(), wanted = labels.size();
        if (count > wanted)
            return reason(at, wanted, format("a field past the header's %zu columns", wanted));
        if (count < wanted)
            return reason(
                at, count,
                format("the row ends before this column (%zu fields of %zu)", count, wanted));
        std::string cell[kColumns];
        for (int c = 0; c < kColumns; ++c)
            if (column[c] >= 0) cell[c] = trimmed(row.fields[column[c]]);
        auto refuse = [&](int c, const std::string& text) {
            return reason(at, static_cast<std::size_t>(column[c]), text);
        };

        AssetRow asset;
        asset.line = at;
        asset.deviceId = cell[DeviceId];
        asset.model = cell[Model];
        asset.location = cell[Location];
        AssetValues& v = asset.values;
        std::string wrong;
        const std::pair<int, std::optional<Decimal>*> numbers[] = {
            {SetRate, &v.setRate},           {FlowLow, &v.flowLowPct},
            {FlowHigh, &v.flowHighPct},      {OcclusionMin, &v.occlusionMin},
            {OcclusionMax, &v.occlusionMax}, {PeakTimeMax, &v.peakTimeMax},
        };
        for (const auto& [c, value] : numbers)
            if (!decimalCell(cell[c], value, &wrong)) return refuse(c, wrong);
        if (v.setRate && v.setRate->units() <= 0)
            return refuse(SetRate, "the set rate must be above 0, not " + v.setRate->text());
        if (v.flowLowPct && v.flowHighPct && *v.flowHighPct < *v.flowLowPct)
            return refuse(FlowLow, "the low end " + v.flowLowPct->text() +
                                       " is above the high end " + v.flowHighPct->text());
        if (v.occlusionMin && v.occlusionMax && *v.occlusionMax < *v.occlusionMin)
            return refuse(OcclusionMin, "the minimum " + v.occlusionMin->text() +
                                            " is above the maximum " + v.occlusionMax->text());
        const std::string& days = cell[IntervalDays];
        if (!days.empty()) {
            if (!digitsOnly(days) || days.size() > 12 || std::atoll(days.c_str()) <= 0)
                return refuse(IntervalDays,
                              "\"" + shown(days) + "\" is no whole number of days above 0");
            v.intervalDays = std::atoll(days.c_str());
        }
        asset.validFrom = cell[ValidFrom];
        if (!asset.validFrom.empty() && !isIsoDate(asset.validFrom))
            return refuse(ValidFrom, "\"" + shown(asset.validFrom) + "\" is no date (YYYY-MM-DD)");

        const std::string identity = identityText(asset.deviceId);
        if (!asset.deviceId.empty() && identity.empty())
            return refuse(DeviceId, "a device ID of nothing but commas and spaces");
        if (identity.empty() && asset.model.empty())
            return refuse(column[DeviceId] >= 0 ? DeviceId : Model,
                          "a row with neither a device ID nor a model");
        const bool deviceRow = !identity.empty();
        if (deviceRow) {
            const auto [other, fresh] =
                byLetters.emplace(lowered(identity), std::pair(identity, at));
            if (!fresh && other->second.first != identity)
                return refuse(DeviceId,
                              format("device \"%s\" differs from \"%s\" on line %d only in "
                                     "letter case; key one pump's rows alike",
                                     shown(asset.deviceId).c_str(),
                                     shown(other->second.first).c_str(), other->second.second));
        }
        auto& seen = deviceRow ? devices : models;
        const auto [first, fresh] =
            seen.emplace(std::make_pair(deviceRow ? identity : asset.model, asset.validFrom), at);
        if (!fresh)
            return refuse(deviceRow ? DeviceId : Model,
                          format("%s \"%s\" has a row %s%s already, on line %d",
                                 deviceRow ? "device" : "model",
                                 shown(deviceRow ? asset.deviceId : asset.model).c_str(),
                                 asset.validFrom.empty() ? "without valid_from" : "valid from ",
                                 asset.validFrom.c_str(), first->second));
        read.push_back(std::move(asset));
    }
    if (!more) return false;
    if (read.empty()) return *why = format("line %d: no rows under the header", headerLine), false;
    if (devices.empty())
        return *why =
                   "the list names no device (no row with a device_id): it would judge no "
                   "test",
               false;
    *rows = std::move(read);
    if (ignoredColumns) *ignoredColumns = std::move(unknown);
    return true;
}

std::string assetListCsv(const std::vector<AssetRow>& rows) {
    std::string out = csvRow(std::vector<std::string>(kAssetColumns, kAssetColumns + kColumns));
    // In UTF-8, as the other CSV files of lumkest-cli: read back, every
    // text is the same again, even Latin-1 bytes that could pass for UTF-8.
    for (const AssetRow& row : rows) {
        std::vector<std::string> cells;
        for (const std::string& cell : cellsOf(row)) cells.push_back(latin1ToUtf8(cell));
        out += csvRow(cells);
    }
    return out;
}

std::string assetListText(const std::vector<AssetRow>& rows) {
    std::vector<std::vector<std::string>> table{
        std::vector<std::string>(kAssetColumns, kAssetColumns + kColumns)};
    for (const AssetRow& row : rows) {
        const auto cells = cellsOf(row);
        table.emplace_back(cells.begin(), cells.end());
        for (std::string& cell : table.back())  // one line per row
            for (char& c : cell)
                if (c == '\r' || c == '\n' || c == '\t') c = ' ';
    }
    // The numbers line up on the right.
    std::vector<bool> numbers(kColumns, false);
    for (int c = SetRate; c <= IntervalDays; ++c) numbers[c] = true;
    // Without the padding of the empty cells that end a row.
    std::string out;
    const std::string aligned = alignedTable(table, numbers);
    for (std::size_t p = 0; p < aligned.size(); p = aligned.find('\n', p) + 1) {
        const std::string line = aligned.substr(p, aligned.find('\n', p) - p);
        out += line.substr(0, line.find_last_not_of(' ') + 1) + "\n";
    }
    return out;
}

AssetIndex::AssetIndex(std::vector<AssetRow> rows) : rows_(std::move(rows)) {
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        const std::string identity = identityText(rows_[i].deviceId);
        if (!identity.empty())
            devices_[identity].push_back(i);
        else
            models_[rows_[i].model].push_back(i);
    }
}

std::vector<const AssetRow*> AssetIndex::ofDevice(const std::string& identity) const {
    std::vector<const AssetRow*> found;
    if (const auto it = devices_.find(identity); it != devices_.end())
        for (std::size_t i : it->second) found.push_back(&rows_[i]);
    return found;
}

std::vector<const AssetRow*> AssetIndex::ofModel(const std::string& model) const {
    std::vector<const AssetRow*> found;
    if (const auto it = models_.find(model); it != models_.end())
        for (std::size_t i : it->second) found.push_back(&rows_[i]);
    return found;
}

const AssetRow* AssetIndex::inForce(const std::vector<std::size_t>* rows,
                                    const std::string& date) const {
    const AssetRow* best = nullptr;
    if (!rows) return best;
    for (std::size_t i : *rows) {
        const AssetRow* row = &rows_[i];
        if (!row->validFrom.empty() && (date.empty() || date < row->validFrom)) continue;
        if (!best || best->validFrom < row->validFrom) best = row;
    }
    return best;
}

const AssetRow* AssetIndex::deviceInForce(const std::string& identity,
                                          const std::string& date) const {
    const auto it = devices_.find(identity);
    return inForce(it == devices_.end() ? nullptr : &it->second, date);
}

const AssetRow* AssetIndex::modelInForce(const std::string& model, const std::string& date) const {
    const auto it = models_.find(model);
    return inForce(it == models_.end() ? nullptr : &it->second, date);
}

std::optional<AssetInForce> assetInForce(const AssetIndex& list, const std::string& deviceId,
                                         const std::string& date) {
    const std::string identity = identityText(deviceId);
    if (identity.empty()) return std::nullopt;
    const AssetRow* own = list.deviceInForce(identity, date);
    if (!own) return std::nullopt;
    AssetInForce found;
    found.row = own;
    found.values = own->values;
    if (!own->model.empty()) {
        if (const AssetRow* model = list.modelInForce(own->model, date))
            fillEmpty(&found.values, model->values);
    }
    return found;
}

std::optional<AssetInForce> assetInForce(const std::vector<AssetRow>& rows,
                                         const std::string& deviceId, const std::string& date) {
    // The row found must point into rows: found again there.
    const AssetIndex list(rows);
    std::optional<AssetInForce> found = assetInForce(list, deviceId, date);
    if (found) found->row = &rows[static_cast<std::size_t>(found->row - list.rows().data())];
    return found;
}

Verdict judge(const TestRecord& record, const std::vector<AssetRow>& rows) {
    const AssetIndex list(rows);
    Verdict verdict = judge(record, list);
    // The row found must point into rows, which outlive the index.
    if (verdict.asset)
        verdict.asset->row =
            &rows[static_cast<std::size_t>(verdict.asset->row - list.rows().data())];
    return verdict;
}

Verdict judge(const TestRecord& record, const AssetIndex& list) {
    Verdict verdict;
    // The limits in force are those of the test's date, whatever its time.
    const std::optional<std::string> date = isoTestDate(FIELD_TEXT(record, testDate));
    if (!date) {
        // A test that cannot be placed in time cannot be placed against
        // limits that change with time: doubtful, whatever its values.
        const std::string identity = identityText(FIELD_TEXT(record, deviceID));
        if (!identity.empty() && !list.ofDevice(identity).empty())
            verdict.result = VerdictResult::Unreadable;
        return verdict;
    }
    verdict.asset = assetInForce(list, FIELD_TEXT(record, deviceID), *date);
    if (!verdict.asset) return verdict;
    const AssetValues& limits = verdict.asset->values;

    bool judged = false, failed = false, unreadable = false;
    // A criterion with limits: its value read (or unreadable), then judged.
    auto decide = [&](Criterion* criterion, std::optional<bool> passes) {
        judged = true;
        if (!passes) {
            unreadable = true;
            return;
        }
        *criterion = *passes ? Criterion::Pass : Criterion::Fail;
        failed = failed || !*passes;
    };

    const std::optional<Decimal> flow = recordNumber(FIELD_TEXT(record, flow));
    const bool rate = limits.setRate && limits.setRate->units() > 0;
    if (rate && flow)
        verdict.flowErrorPercent = errorPercent(flow->units(), limits.setRate->units());
    if (rate && hasFlowWindow(limits))
        decide(&verdict.flow, flow ? flowWithin(flow->units(), limits.setRate->units(),
                                                limits.flowLowPct, limits.flowHighPct)
                                   : std::nullopt);

    if (limits.occlusionMin || limits.occlusionMax) {
        const std::optional<Decimal> mmHg = recordNumber(FIELD_TEXT(record, pressureMMHG));
        decide(&verdict.occlusion,
               mmHg ? std::optional<bool>((!limits.occlusionMin || *limits.occlusionMin <= *mmHg) &&
                                          (!limits.occlusionMax || *mmHg <= *limits.occlusionMax))
                    : std::nullopt);
    }

    if (limits.peakTimeMax) {
        const std::optional<long long> peak = clockSeconds(FIELD_TEXT(record, peakPressureTime), 2);
        decide(&verdict.peakTime,
               peak ? std::optional<bool>(Decimal::fromInteger(*peak) <= *limits.peakTimeMax)
                    : std::nullopt);
    }

    // A failed criterion fails the test even when another value does not
    // read; a test passes only when every criterion with limits was judged
    // and passed.
    verdict.result = !judged      ? VerdictResult::NotAssessed
                     : failed     ? VerdictResult::Fail
                     : unreadable ? VerdictResult::Unreadable
                                  : VerdictResult::Pass;
    return verdict;
}

bool hasFlowWindow(const AssetValues& v) { return v.flowLowPct || v.flowHighPct; }

bool judgesAnything(const AssetValues& v) {
    return (v.setRate && hasFlowWindow(v)) || v.occlusionMin || v.occlusionMax || v.peakTimeMax;
}

DateCheck dateCheck(const TestRecord& record, const std::string& received) {
    const std::optional<std::string> tested = typedRecord(record).tested;
    if (!tested) return DateCheck::Unreadable;
    const std::optional<double> testDay = daysOfIso(*tested);
    const std::optional<double> receivedDay = daysOfIso(received.substr(0, 19));
    // A day's grace for a tester's clock that runs a little ahead.
    return testDay && receivedDay && *testDay > *receivedDay + 1 ? DateCheck::AfterReceipt
                                                                 : DateCheck::Ok;
}

const char* dateCheckText(DateCheck check) {
    switch (check) {
        case DateCheck::Ok:
            return "ok";
        case DateCheck::AfterReceipt:
            return "after receipt";
        case DateCheck::Unreadable:
            break;
    }
    return "unreadable";
}

const char* resultText(VerdictResult result) {
    switch (result) {
        case VerdictResult::Pass:
            return "PASS";
        case VerdictResult::Fail:
            return "FAIL";
        case VerdictResult::NotAssessed:
            return "NOT ASSESSED";
        case VerdictResult::Unreadable:
            return "UNREADABLE";
    }
    return "NOT ASSESSED";
}

std::optional<VerdictResult> resultFromWord(const std::string& word) {
    const std::string w = lowered(word);
    if (w == "pass") return VerdictResult::Pass;
    if (w == "fail") return VerdictResult::Fail;
    if (w == "not-assessed") return VerdictResult::NotAssessed;
    if (w == "unreadable") return VerdictResult::Unreadable;
    return std::nullopt;
}

std::vector<DueEntry> dueList(const std::vector<AssetRow>& rows, const std::string& asOf,
                              long long within, const LastTestOf& lastTest) {
    return dueList(AssetIndex(rows), asOf, within, lastTest);
}

std::vector<DueEntry> dueList(const AssetIndex& list, const std::string& asOf, long long within,
                              const LastTestOf& lastTest) {
    const std::vector<AssetRow>& rows = list.rows();
    const std::optional<long long> today = dayNumber(asOf);
    const std::string date = today ? asOf : std::string();
    within = std::max(within, 0LL);
    struct Placed {
        DueEntry entry;
        int group;  // 0 failed, 1 never tested, 2 with a due date, 3 no interval
        long long dueDay;
    };
    std::vector<Placed> placed;
    std::set<std::string> seen;
    for (const AssetRow& row : rows) {
        const std::string identity = identityText(row.deviceId);
        if (identity.empty() || !seen.insert(identity).second) continue;
        // As of asOf; an asset whose rows all start later, as of its first.
        std::optional<AssetInForce> asset = assetInForce(list, row.deviceId, date);
        if (!asset) {
            std::string first = row.validFrom;
            for (const AssetRow* other : list.ofDevice(identity))
                if (other->validFrom < first) first = other->validFrom;
            asset = assetInForce(list, row.deviceId, first);
        }
        if (!asset) continue;  // not reached: its first row is in force on its own date

        Placed p{DueEntry(), 1, 0};
        DueEntry& e = p.entry;
        e.deviceId = asset->row->deviceId;
        e.model = asset->row->model;
        e.location = asset->row->location;
        e.intervalDays = asset->values.intervalDays;
        const std::optional<LastTest> last = lastTest ? lastTest(e.deviceId) : std::nullopt;
        // An ISO date, or the date of an ISO date and time.
        if (last && isIsoDate(last->date.substr(0, 10)) &&
            (last->date.size() == 10 || last->date[10] == 'T'))
            e.lastTested = last->date.substr(0, 10);
        const std::optional<long long> lastDay = dayNumber(e.lastTested);
        if (lastDay && e.intervalDays) {
            p.dueDay = *lastDay + *e.intervalDays;
            e.dueDate = isoDateOfDays(p.dueDay);
        }
        if (!lastDay) {
            e.status = DueStatus::NeverTested;
        } else if (last->failed) {
            // Whatever its dates, the pump needs repair and a test that passes.
            e.status = DueStatus::Failed;
            p.group = 0;
        } else if (!e.intervalDays) {
            e.status = DueStatus::NoInterval;
            p.group = 3;
        } else {
            p.group = 2;
            // Without a date to count from, an asset is never shown as ok.
            e.status = !today                        ? DueStatus::Due
                       : p.dueDay < *today           ? DueStatus::Overdue
                       : p.dueDay <= *today + within ? DueStatus::Due
                                                     : DueStatus::Ok;
        }
        placed.push_back(std::move(p));
    }
    std::stable_sort(placed.begin(), placed.end(), [](const Placed& a, const Placed& b) {
        if (a.group != b.group) return a.group < b.group;
        if (a.dueDay != b.dueDay) return a.dueDay < b.dueDay;
        return a.entry.deviceId < b.entry.deviceId;
    });
    std::vector<DueEntry> entries;
    for (Placed& p : placed) entries.push_back(std::move(p.entry));
    return entries;
}

const char* dueStatusText(DueStatus status) {
    switch (status) {
        case DueStatus::Overdue:
            return "overdue";
        case DueStatus::Due:
            return "due";
        case DueStatus::Ok:
            return "ok";
        case DueStatus::NeverTested:
            return "never tested";
        case DueStatus::NoInterval:
            return "no interval";
        case DueStatus::Failed:
            return "failed";
    }
    return "never tested";
}

namespace {

// "A, B and 3 more": the first names of a list, for one line.
std::string someNames(const std::vector<std::string>& names) {
    constexpr std::size_t kShown = 8;
    std::string text;
    for (std::size_t i = 0; i < names.size() && i < kShown; ++i)
        text += (i == 0 ? "" : ", ") + shown(names[i]);
    if (names.size() > kShown) text += format(" and %zu more", names.size() - kShown);
    return text;
}

std::string countOf(std::size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

std::vector<std::string> assetListWarnings(const std::vector<AssetRow>& rows,
                                           const std::vector<AssetRow>& previous) {
    std::vector<std::string> lines;
    const AssetIndex list(rows);

    // A model that device rows name for their empty values, which no row
    // gives: a slip in the model's name (A1OO for A100) leaves them empty.
    std::map<std::string, std::set<std::string>> unfilled;  // model: its devices
    for (const AssetRow& r : rows) {
        const AssetValues& v = r.values;
        const bool leavesEmpty = !v.setRate || !v.flowLowPct || !v.flowHighPct || !v.occlusionMin ||
                                 !v.occlusionMax || !v.peakTimeMax || !v.intervalDays;
        if (!identityText(r.deviceId).empty() && !r.model.empty() && leavesEmpty &&
            list.ofModel(r.model).empty())
            unfilled[r.model].insert(identityText(r.deviceId));
    }
    for (const auto& [model, devices] : unfilled)
        lines.push_back("model " + shown(model) + ": " +
                        countOf(devices.size(), "device names", "devices name") +
                        " it, no row gives its values");

    // Each asset as its latest rows leave it.
    std::vector<std::string> noLimits, noRate;
    std::set<std::string> seen;
    for (const AssetRow& r : rows) {
        const std::string identity = identityText(r.deviceId);
        if (identity.empty() || !seen.insert(identity).second) continue;
        const std::optional<AssetInForce> latest = assetInForce(list, r.deviceId, "9999-12-31");
        if (!latest) continue;
        const AssetValues& v = latest->values;
        if (hasFlowWindow(v) && !v.setRate)
            noRate.push_back(latest->row->deviceId);
        else if (!judgesAnything(v))
            noLimits.push_back(latest->row->deviceId);
    }
    if (!noLimits.empty())
        lines.push_back(countOf(noLimits.size(), "asset has", "assets have") + " no limits, so " +
                        (noLimits.size() == 1 ? "its" : "their") +
                        " tests will be NOT ASSESSED: " + someNames(noLimits));
    if (!noRate.empty())
        lines.push_back(countOf(noRate.size(), "asset has", "assets have") +
                        " a flow window but no set rate, so " +
                        (noRate.size() == 1 ? "its" : "their") +
                        " flow is not judged: " + someNames(noRate));

    // Assets the previous version has and this one drops.
    std::vector<std::string> dropped;
    std::set<std::string> before;
    for (const AssetRow& r : previous) {
        const std::string identity = identityText(r.deviceId);
        if (!identity.empty() && before.insert(identity).second && list.ofDevice(identity).empty())
            dropped.push_back(r.deviceId);
    }
    if (!dropped.empty())
        lines.push_back(countOf(dropped.size(), "asset", "assets") + " of the previous version " +
                        (dropped.size() == 1 ? "is" : "are") +
                        " not in this one, so their past tests become NOT ASSESSED under it "
                        "(keep an asset's rows to keep its verdicts): " +
                        someNames(dropped));
    return lines;
}
