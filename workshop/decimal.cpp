#include "workshop/decimal.h"

#include <cstdlib>
#include <utility>

namespace {

using u128 = unsigned __int128;

// Units of 10^-9 in one.
constexpr __int128 kScale = 1000000000;
// Whole digits a Decimal reads: its units stay below 10^27, so that two of
// them subtract, and a difference times 10^11 (a percentage in units) stays
// inside 128 bits.
constexpr std::size_t kWholeDigits = 18;

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

bool digitsOnly(const std::string& s) {
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

std::string trimmed(const std::string& s) {
    const std::size_t first = s.find_first_not_of(" \t");
    if (first == std::string::npos) return std::string();
    return s.substr(first, s.find_last_not_of(" \t") + 1 - first);
}

}  // namespace

std::optional<Decimal> Decimal::parse(const std::string& text) {
    std::string s = trimmed(text);
    const bool negative = !s.empty() && s[0] == '-';
    if (negative) s.erase(0, 1);
    const std::size_t point = s.find('.');
    std::string whole = s.substr(0, point);
    std::string part = point == std::string::npos ? std::string() : s.substr(point + 1);
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
    // Written from its last digit back, in place: a history writes millions.
    char text[64];
    char* const end = text + sizeof text;
    char* first = end;
    u128 m = magnitude(units_);
    bool digits = false;  // of the fraction, once a digit other than a trailing 0 came
    for (int k = 0; k < 9; ++k, m /= 10) {
        const char digit = char('0' + int(m % 10));
        digits = digits || digit != '0';
        if (digits) *--first = digit;
    }
    if (digits) *--first = '.';
    do {
        *--first = char('0' + int(m % 10));
        m /= 10;
    } while (m != 0);
    if (units_ < 0) *--first = '-';
    return std::string(first, end);
}

double Decimal::toDouble() const { return std::strtod(text().c_str(), nullptr); }

std::optional<Decimal> percentError(const Decimal& value, const Decimal& reference) {
    return errorPercent(value.units(), reference.units());
}

std::optional<bool> percentErrorWithin(const Decimal& value, const Decimal& reference,
                                       const std::optional<Decimal>& low,
                                       const std::optional<Decimal>& high) {
    return flowWithin(value.units(), reference.units(), low, high);
}
