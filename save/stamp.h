#pragma once
// The date and time written into the headers of saved and exported files and
// of printed pages, e.g. "12/29/03 18:34:00".

#include <ctime>
#include <string>

// The local time of `when` as "%m/%d/%y %H:%M:%S": the C locale's "%x %X",
// spelled out so that the user's LC_TIME (which Qt applies at start) cannot
// change a format that other programs read.
std::string saveStamp(std::time_t when);

// saveStamp of the stamp clock's current time.
std::string saveStamp();

// The stamp clock's current time.
std::time_t stampNow();

// The moment a saveStamp text names, as local time; fallback when the text
// is no such stamp.
std::time_t stampTime(const std::string& stamp, std::time_t fallback);

// The stamp clock: std::time by default; tests set a fixed time.  Returns the
// previous clock.
using StampClock = std::time_t (*)();
StampClock setStampClock(StampClock clock);
