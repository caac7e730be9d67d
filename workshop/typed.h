#pragma once
// A record's texts read as typed values: the test's date and time, the flow,
// the volume, the durations in seconds, both pressures as numbers and the
// pressure unit's name.  Plain C++ (no database), for the archive's typed
// columns and for any output that wants numbers.
//
// A text is read after the CSV's comma rule (every comma a space) with
// surrounding spaces ignored, so a record and its CSV export read alike.  A
// text that does not parse gives no value (std::nullopt); the raw text is
// never refused or altered.

#include <ctime>
#include <optional>
#include <string>

#include "records/testrecord.h"
#include "workshop/decimal.h"

struct TypedRecord {
    // "2003-12-29T18:34:00", local, no offset; the date alone ("2003-12-29")
    // when the date reads and the time does not.
    std::optional<std::string> tested;
    std::optional<double> flow;                // ml/hr
    std::optional<double> volume;              // ml
    std::optional<long long> durationSeconds;  // testDuration "hh:mm:ss", hours unbounded
    std::optional<long long> peakSeconds;      // peakPressureTime "mm:ss"
    std::optional<double> pressureMmHg;
    std::optional<double> pressureUser;  // in the unit named by unit
    std::string unit;                    // unitName(pressureUnits)
    // The flow and the mmHg pressure as exact decimals, read with a sign as
    // the results CSV shows them: the verdict compares them where the
    // number above reads too.
    std::optional<Decimal> flowDecimal, pressureMmHgDecimal;
};

TypedRecord typedRecord(const TestRecord& record);

// The pieces, each false / nullopt when the text does not parse.
// testDate "29 Dec 2003" (day, three-letter English month, four-digit year,
// a real calendar day) with testTime "18:34" (00:00 to 23:59).
std::optional<std::string> isoTestTime(const std::string& testDate, const std::string& testTime);
// The date alone, "2003-12-29": the day a test belongs to, whatever its time.
std::optional<std::string> isoTestDate(const std::string& testDate);
// A plain decimal number: digits with at most one point, no sign, no exponent.
std::optional<double> decimalValue(const std::string& text);
// "h:mm:ss" with any number of hour digits, or "m:ss" with any number of
// minute digits (fields = 3 or 2); minutes and seconds below 60 when they
// are not the first field.
std::optional<long long> clockSeconds(const std::string& text, int fields);

// An ISO calendar date "YYYY-MM-DD" that exists (for --since / --until).
bool isIsoDate(const std::string& text);

// `when` as local time with its offset always spelled out:
// "2024-05-01T10:00:00+02:00" ("+00:00", never "Z").
std::string isoLocalTime(std::time_t when);
