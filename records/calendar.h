#pragma once
// Calendar days: dates as whole days since 1970-01-01 on the proleptic
// Gregorian calendar, and back.  Plain arithmetic, no time zones: a test's
// date and time are the tester's local ones, and stay so.

#include <optional>
#include <string>

long long daysOfCivil(int year, int month, int day);
void civilOfDays(long long days, int* year, int* month, int* day);
// "YYYY-MM-DD" (more year digits past 9999).
std::string isoDateOfDays(long long days);
// Reads "2026-03-01" and "2026-03-01T10:30:00" (the time adds its fraction
// of a day); nullopt for anything else.
std::optional<double> daysOfIso(const std::string& iso);
