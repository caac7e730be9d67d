#include "records/calendar.h"

#include <cstdio>

// Years counted from March, so that the leap day ends the year; 400-year
// cycles of 146097 days.
long long daysOfCivil(int year, int month, int day) {
    const long long y = year - (month <= 2 ? 1 : 0);
    const long long cycle = (y >= 0 ? y : y - 399) / 400;
    const long long yearOfCycle = y - cycle * 400;
    const long long dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const long long dayOfCycle = yearOfCycle * 365 + yearOfCycle / 4 - yearOfCycle / 100 + dayOfYear;
    return cycle * 146097 + dayOfCycle - 719468;
}

void civilOfDays(long long days, int* year, int* month, int* day) {
    days += 719468;
    const long long cycle = (days >= 0 ? days : days - 146096) / 146097;
    const long long dayOfCycle = days - cycle * 146097;
    const long long yearOfCycle =
        (dayOfCycle - dayOfCycle / 1460 + dayOfCycle / 36524 - dayOfCycle / 146096) / 365;
    const long long dayOfYear = dayOfCycle - (365 * yearOfCycle + yearOfCycle / 4 - yearOfCycle / 100);
    const long long shifted = (5 * dayOfYear + 2) / 153;
    *day = static_cast<int>(dayOfYear - (153 * shifted + 2) / 5 + 1);
    *month = static_cast<int>(shifted < 10 ? shifted + 3 : shifted - 9);
    *year = static_cast<int>(yearOfCycle + cycle * 400 + (*month <= 2 ? 1 : 0));
}

std::string isoDateOfDays(long long days) {
    int year, month, day;
    civilOfDays(days, &year, &month, &day);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", year, month, day);
    return text;
}

namespace {

// The numbers of "YYYY-MM-DD" or "YYYY-MM-DDTHH:MM:SS" written exactly so,
// as the scan below reads them, without its cost; false for any other text.
bool plainIso(const std::string& iso, int* numbers, int* count) {
    static const char kShape[] = "dddd-dd-ddTdd:dd:dd";
    if (iso.size() != 10 && iso.size() != 19) return false;
    *count = 0;
    int value = 0;
    for (std::size_t k = 0; k <= iso.size(); ++k) {
        const char c = k < iso.size() ? iso[k] : '.';
        if (kShape[k] == 'd') {
            if (c < '0' || c > '9') return false;
            value = value * 10 + (c - '0');
        } else {
            numbers[(*count)++] = value;
            value = 0;
            if (k < iso.size() && c != kShape[k]) return false;
        }
    }
    return true;
}

}  // namespace

std::optional<double> daysOfIso(const std::string& iso) {
    int y = 0, m = 0, d = 0, hh = 0, mm = 0, ss = 0;
    char tail = 0;
    int plain[6] = {};
    int n = 0;
    if (plainIso(iso, plain, &n)) {
        y = plain[0], m = plain[1], d = plain[2], hh = plain[3], mm = plain[4], ss = plain[5];
    } else {
        n = std::sscanf(iso.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &y, &m, &d, &hh, &mm, &ss, &tail);
    }
    if ((n != 3 && n != 6) || iso.size() != (n == 3 ? 10u : 19u) || m < 1 || m > 12 || d < 1 ||
        d > 31 || hh > 23 || mm > 59 || ss > 59)
        return std::nullopt;
    return static_cast<double>(daysOfCivil(y, m, d)) + (hh * 3600 + mm * 60 + ss) / 86400.0;
}
