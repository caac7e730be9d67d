#include "records/sort.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <utility>

#include "app/guard.h"
#include "records/recordstore.h"

namespace {

int upper(char c) { return std::toupper(static_cast<unsigned char>(c)); }

int compareNumbers(long a, long b) { return a < b ? -1 : (a > b ? 1 : 0); }

// Reads a zero-terminated copy of a record field, so that sscanf never runs
// past the field even if its terminator were missing.
template <std::size_t N>
void terminatedCopy(char (&out)[N + 1], const char (&field)[N]) {
    std::memcpy(out, field, N);
    out[N] = '\0';
}

// Read as long: a field holds at most 16 digits, which a 64-bit long always
// holds, so no reading of a record's text can overflow.
struct DateTimeKey {
    long year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

DateTimeKey readKey(const TestRecord& r) {
    DateTimeKey k;
    char date[sizeof r.testDate + 1];
    terminatedCopy(date, r.testDate);
    char monthWord[16] = "";
    std::sscanf(date, "%ld %15s %ld", &k.day, monthWord, &k.year);
    k.month = monthNumber(monthWord);
    char time[sizeof r.testTime + 1];
    terminatedCopy(time, r.testTime);
    std::sscanf(time, "%ld:%ld:%ld", &k.hour, &k.minute, &k.second);
    return k;
}

}  // namespace

int monthNumber(const char* month) {
    if (!month || month[0] == '\0') return 0;
    int first = upper(month[0]);
    int second = month[1] ? upper(month[1]) : 0;
    int third = month[1] && month[2] ? upper(month[2]) : 0;
    switch (first) {
        case 'A': return second == 'P' ? 4 : (second == 'U' ? 8 : 0);
        case 'D': return 12;
        case 'F': return 2;
        case 'J':
            if (second == 'A') return 1;
            if (second == 'U') return third == 'L' ? 7 : (third == 'N' ? 6 : 0);
            return 0;
        case 'M': return third == 'R' ? 3 : (third == 'Y' ? 5 : 0);
        case 'N': return 11;
        case 'O': return 10;
        case 'S': return 9;
        default: return 0;
    }
}

int compareByDeviceID(const TestRecord& a, const TestRecord& b) {
    const std::size_t width = sizeof a.deviceID;
    std::size_t la = strnlen(a.deviceID, width);
    std::size_t lb = strnlen(b.deviceID, width);
    // Over the longer text, and the terminator of the shorter (or equal) one.
    std::size_t length = la > lb ? la : lb + 1;
    for (std::size_t i = 0; i < length; ++i) {
        int ca = i < la ? upper(a.deviceID[i]) : 0;
        int cb = i < lb ? upper(b.deviceID[i]) : 0;
        if (ca < cb) return -1;
        if (ca > cb) return 1;
    }
    return 0;
}

int compareByDateTime(const TestRecord& a, const TestRecord& b) {
    int result = 0;
    guarded("sort", 101, [&] {
        DateTimeKey ka = readKey(a);
        DateTimeKey kb = readKey(b);
        const std::pair<long, long> order[] = {
            {ka.year, kb.year},   {ka.month, kb.month},   {ka.day, kb.day},
            {ka.hour, kb.hour},   {ka.minute, kb.minute}, {ka.second, kb.second},
        };
        for (const auto& [x, y] : order) {
            result = compareNumbers(x, y);
            if (result != 0) return;
        }
    });
    return result;
}

void quickSortRecords(TestRecord* records, std::size_t count,
                      int (*compare)(const TestRecord&, const TestRecord&)) {
    // Hoare partition around the middle record; recurse into the smaller
    // part and loop over the larger, so the depth stays logarithmic.
    while (count > 1) {
        TestRecord pivot = records[(count - 1) / 2];
        std::size_t i = 0;
        std::size_t j = count - 1;
        for (;;) {
            while (compare(records[i], pivot) < 0) ++i;
            while (compare(records[j], pivot) > 0) --j;
            if (i >= j) break;
            std::swap(records[i], records[j]);
            ++i;
            --j;
        }
        std::size_t left = j + 1;  // records[0..j] <= pivot <= records[j+1..]
        if (left < count - left) {
            quickSortRecords(records, left, compare);
            records += left;
            count -= left;
        } else {
            quickSortRecords(records + left, count - left, compare);
            count = left;
        }
    }
}

void sortByDeviceID() {
    guarded("sort", 201, [] {
        recordStore().reorder(RecordStore::IdSort, [](TestRecord* r, std::size_t n) {
            quickSortRecords(r, n, compareByDeviceID);
        });
    });
}

void sortByDateTime() {
    guarded("sort", 202, [] {
        recordStore().reorder(RecordStore::DateSort, [](TestRecord* r, std::size_t n) {
            quickSortRecords(r, n, compareByDateTime);
        });
    });
}
