#include "workshop/typed.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "workshop/identity.h"

namespace {

// The comma rule, then surrounding spaces dropped: as the identity reads it.
std::string cleaned(const std::string& text) { return identityText(text); }

bool allDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// Digits only, and not so many that they overflow.
std::optional<long long> wholeNumber(std::string_view s) {
    if (!allDigits(s) || s.size() > 12) return std::nullopt;
    long long n = 0;
    for (char c : s) n = n * 10 + (c - '0');
    return n;
}

bool leapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int daysInMonth(int year, int month) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && leapYear(year) ? 29 : kDays[month - 1];
}

// "Dec" to 12, whatever the letter case; 0 for anything else.
int monthOfWord(std::string_view word) {
    static const char* const kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                          "jul", "aug", "sep", "oct", "nov", "dec"};
    if (word.size() != 3) return 0;
    char lower[3];
    for (std::size_t k = 0; k < 3; ++k)
        lower[k] =
            static_cast<char>(word[k] >= 'A' && word[k] <= 'Z' ? word[k] - 'A' + 'a' : word[k]);
    for (int m = 0; m < 12; ++m)
        if (std::string_view(lower, 3) == kMonths[m]) return m + 1;
    return 0;
}

// value in digits digits, zeros first: "%0*d" for a value that fits.
void appendDigits(std::string& out, int value, int digits) {
    char text[4];
    for (int k = digits - 1; k >= 0; --k, value /= 10)
        text[k] = static_cast<char>('0' + value % 10);
    out.append(text, static_cast<std::size_t>(digits));
}

// The time of day of testTime "18:34" (00:00 to 23:59), as "T18:34:00".
std::optional<std::string> timeOfDay(const std::string& testTime) {
    const std::string time = cleaned(testTime);
    const std::size_t colon = time.find(':');
    if (colon == std::string::npos || colon == 0 || colon > 2 || time.size() != colon + 3)
        return std::nullopt;
    const std::string_view text(time);
    const int hour = static_cast<int>(wholeNumber(text.substr(0, colon)).value_or(99));
    const int minute = static_cast<int>(wholeNumber(text.substr(colon + 1)).value_or(99));
    if (hour > 23 || minute > 59) return std::nullopt;
    std::string iso = "T";
    appendDigits(iso, hour, 2);
    iso += ':';
    appendDigits(iso, minute, 2);
    return iso + ":00";
}

// decimalValue of a text already cleaned.
std::optional<double> decimalOfCleaned(const std::string& s) {
    const std::size_t point = s.find('.');
    const std::string_view whole = std::string_view(s).substr(0, point);
    const std::string_view part =
        point == std::string::npos ? std::string_view() : std::string_view(s).substr(point + 1);
    if (whole.empty() && part.empty()) return std::nullopt;
    if ((!whole.empty() && !allDigits(whole)) || (!part.empty() && !allDigits(part)))
        return std::nullopt;
    double value = 0;
    const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (error != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return value;
}

}  // namespace

std::optional<double> decimalValue(const std::string& text) {
    return decimalOfCleaned(cleaned(text));
}

std::optional<long long> clockSeconds(const std::string& text, int fields) {
    const std::string s = cleaned(text);
    long long total = 0;
    std::size_t start = 0;
    for (int k = 0; k < fields; ++k) {
        const std::size_t colon = k + 1 < fields ? s.find(':', start) : s.size();
        if (colon == std::string::npos) return std::nullopt;
        const std::string_view piece = std::string_view(s).substr(start, colon - start);
        const std::optional<long long> n = wholeNumber(piece);
        if (!n) return std::nullopt;
        if (k > 0 && (piece.size() != 2 || *n >= 60)) return std::nullopt;
        total = total * 60 + *n;
        start = colon + 1;
    }
    return total;
}

std::optional<std::string> isoTestDate(const std::string& testDate) {
    const std::string cleanedDate = cleaned(testDate);
    const std::string_view date(cleanedDate);
    const std::size_t a = date.find(' ');
    const std::size_t b = a == std::string::npos ? a : date.find(' ', a + 1);
    if (b == std::string::npos) return std::nullopt;
    const std::string_view dayText = date.substr(0, a), yearText = date.substr(b + 1);
    const int day = dayText.size() <= 2 ? static_cast<int>(wholeNumber(dayText).value_or(0)) : 0;
    const int month = monthOfWord(date.substr(a + 1, b - a - 1));
    const int year =
        yearText.size() == 4 ? static_cast<int>(wholeNumber(yearText).value_or(-1)) : -1;
    if (year < 0 || month == 0 || day < 1 || day > daysInMonth(year, month)) return std::nullopt;
    std::string iso;
    appendDigits(iso, year, 4);
    iso += '-';
    appendDigits(iso, month, 2);
    iso += '-';
    appendDigits(iso, day, 2);
    return iso;
}

std::optional<std::string> isoTestTime(const std::string& testDate, const std::string& testTime) {
    std::optional<std::string> date = isoTestDate(testDate);
    if (!date) return std::nullopt;
    const std::optional<std::string> time = timeOfDay(testTime);
    if (!time) return std::nullopt;
    return *date += *time;
}

TypedRecord typedRecord(const TestRecord& r) {
    TypedRecord t;
    // The date alone when the time does not read.
    t.tested = isoTestDate(FIELD_TEXT(r, testDate));
    if (t.tested) {
        const std::optional<std::string> time = timeOfDay(FIELD_TEXT(r, testTime));
        if (time) *t.tested += *time;
    }
    // The flow and the mmHg pressure cleaned once for both their readings.
    const std::string flow = cleaned(FIELD_TEXT(r, flow));
    const std::string mmHg = cleaned(FIELD_TEXT(r, pressureMMHG));
    t.flow = decimalOfCleaned(flow);
    t.volume = decimalValue(FIELD_TEXT(r, volume));
    t.durationSeconds = clockSeconds(FIELD_TEXT(r, testDuration), 3);
    t.peakSeconds = clockSeconds(FIELD_TEXT(r, peakPressureTime), 2);
    t.pressureMmHg = decimalOfCleaned(mmHg);
    t.pressureUser = decimalValue(FIELD_TEXT(r, pressureUser));
    t.unit = unitName(r.pressureUnits);
    t.flowDecimal = Decimal::parse(flow);
    t.pressureMmHgDecimal = Decimal::parse(mmHg);
    return t;
}

bool isIsoDate(const std::string& text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
    const std::optional<long long> year = wholeNumber(text.substr(0, 4));
    const std::optional<long long> month = wholeNumber(text.substr(5, 2));
    const std::optional<long long> day = wholeNumber(text.substr(8, 2));
    return year && month && day && *month >= 1 && *month <= 12 && *day >= 1 &&
           *day <= daysInMonth(static_cast<int>(*year), static_cast<int>(*month));
}

std::string isoLocalTime(std::time_t when) {
    struct tm local;
    if (!localtime_r(&when, &local)) return std::string();
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    const long offset = local.tm_gmtoff;
    const int magnitude = static_cast<int>(std::labs(offset) % 86400);
    char zone[32];
    std::snprintf(zone, sizeof zone, "%c%02d:%02d", offset < 0 ? '-' : '+', magnitude / 3600,
                  magnitude % 3600 / 60);
    return std::string(text) + zone;
}
