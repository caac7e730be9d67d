#pragma once
// Sorting the displayed records by device ID or by test date and time.

#include <cstddef>

#include "records/testrecord.h"

// Month word to 1..12 by its first letters; 0 when not recognised.
int monthNumber(const char* month);

// Case-insensitive device ID order; a proper prefix sorts first.
int compareByDeviceID(const TestRecord& a, const TestRecord& b);

// Chronological order of testDate ("%d %s %d"), then testTime ("%d:%d:%d").
int compareByDateTime(const TestRecord& a, const TestRecord& b);

// In-place quicksort over whole records (not stable).
void quickSortRecords(TestRecord* records, std::size_t count,
                      int (*compare)(const TestRecord&, const TestRecord&));

// Reorder displayRecords through the key's scratch set.  The grid refill is
// the caller's; currentRecord, the selection flags and dataSaved are kept.
void sortByDeviceID();
void sortByDateTime();
