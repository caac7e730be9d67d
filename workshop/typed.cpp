#include "workshop/typed.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>

#include "workshop/identity.h"

namespace {

// The comma rule, then surrounding spaces dropped: as the identity reads it.
std::string cleaned(const std::string& text) { return identityText(text); }

bool allDigits(const std::string& s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// Digits only, and not so many that they overflow.
std::optional<long long> wholeNumber(const std::string& s) {
    if (!allDigits(s) || s.size() > 12) return std::nullopt;
    return std::atoll(s.c_str());
}

bool leapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int daysInMonth(int year, int month) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && leapYear(year) ? 29 : kDays[month - 1];
}

// "Dec" to 12, whatever the letter case; 0 for anything else.
int monthOfWord(const std::string& word) {
    static const char* const kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                          "jul", "aug", "sep", "oct", "nov", "dec"};
    if (word.size() != 3) return 0;
    std::string lower;
    for (char c : word) lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    for (int m = 0; m < 12; ++m)
        if (lower == kMonths[m]) return m + 1;
    return 0;
}

}  // namespace

std::optional<double> decimalValue(const std::string& text) {
    const std::string s = cleaned(text);
    const std::size_t point = s.find('.');
    const std::string whole = s.substr(0, point);
    const std::string part = point == std::string::npos ? std::string() : s.substr(point + 1);
    if (whole.empty() && part.empty()) return std::nullopt;
    if ((!whole.empty() && !allDigits(whole)) || (!part.empty() && !allDigits(part)))
        return std::nullopt;
    double value = 0;
    const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (error != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return value;
}

std::optional<long long> clockSeconds(const std::string& text, int fields) {
    const std::string s = cleaned(text);
    long long total = 0;
    std::size_t start = 0;
    for (int k = 0; k < fields; ++k) {
        const std::size_t colon = k + 1 < fields ? s.find(':', start) : s.size();
        if (colon == std::string::npos) return std::nullopt;
        const std::string piece = s.substr(start, colon - start);
        const std::optional<long long> n = wholeNumber(piece);
        if (!n) return std::nullopt;
        if (k > 0 && (piece.size() != 2 || *n >= 60)) return std::nullopt;
        total = total * 60 + *n;
        start = colon + 1;
    }
    return total;
}

std::optional<std::string> isoTestDate(const std::string& testDate) {
    const std::string date = cleaned(testDate);
    const std::size_t a = date.find(' ');
    const std::size_t b = a == std::string::npos ? a : date.find(' ', a + 1);
    if (b == std::string::npos) return std::nullopt;
    const std::string dayText = date.substr(0, a), yearText = date.substr(b + 1);
    const int day = dayText.size() <= 2 ? static_cast<int>(wholeNumber(dayText).value_or(0)) : 0;
    const int month = monthOfWord(date.substr(a + 1, b - a - 1));
    const int year =
        yearText.size() == 4 ? static_cast<int>(wholeNumber(yearText).value_or(-1)) : -1;
    if (year < 0 || month == 0 || day < 1 || day > daysInMonth(year, month)) return std::nullopt;
    char iso[32];
    std::snprintf(iso, sizeof iso, "%04d-%02d-%02d", year, month, day);
    return std::string(iso);
}

std::optional<std::string> isoTestTime(const std::string& testDate, const std::string& testTime) {
    const std::optional<std::string> date = isoTestDate(testDate);
    if (!date) return std::nullopt;
    const std::string time = cleaned(testTime);
    const std::size_t colon = time.find(':');
    if (colon == std::string::npos || colon == 0 || colon > 2 || time.size() != colon + 3)
        return std::nullopt;
    const int hour = static_cast<int>(wholeNumber(time.substr(0, colon)).value_or(99));
    const int minute = static_cast<int>(wholeNumber(time.substr(colon + 1)).value_or(99));
    if (hour > 23 || minute > 59) return std::nullopt;

    char iso[32];
    std::snprintf(iso, sizeof iso, "T%02d:%02d:00", hour, minute);
    return *date + iso;
}

TypedRecord typedRecord(const TestRecord& r) {
    TypedRecord t;
    t.tested = isoTestTime(FIELD_TEXT(r, testDate), FIELD_TEXT(r, testTime));
    if (!t.tested) t.tested = isoTestDate(FIELD_TEXT(r, testDate));
    t.flow = decimalValue(FIELD_TEXT(r, flow));
    t.volume = decimalValue(FIELD_TEXT(r, volume));
    t.durationSeconds = clockSeconds(FIELD_TEXT(r, testDuration), 3);
    t.peakSeconds = clockSeconds(FIELD_TEXT(r, peakPressureTime), 2);
    t.pressureMmHg = decimalValue(FIELD_TEXT(r, pressureMMHG));
    t.pressureUser = decimalValue(FIELD_TEXT(r, pressureUser));
    t.unit = unitName(r.pressureUnits);
    t.flowDecimal = Decimal::parse(cleaned(FIELD_TEXT(r, flow)));
    t.pressureMmHgDecimal = Decimal::parse(cleaned(FIELD_TEXT(r, pressureMMHG)));
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
