#pragma once
// Records of every shape for the printing tests and the benchmark: the four
// unit codes, short and full-width device IDs, a Latin-1 byte.

#include <string>
#include <vector>

#include "tests/core/records.h"

inline std::vector<TestRecord> sampleRecords(int count) {
    const char* dates[] = {"29 Dec 2003", "5 Jun 2004", "30 Jan 2004", "14 Feb 2005"};
    const char units[] = {'p', 'k', 'b', 'x'};
    std::vector<TestRecord> records;
    for (int i = 0; i < count; ++i) {
        std::string id = i % 7 == 3 ? "PUMP-\xC4"
                                      "RZTE-" +
                                          std::to_string(1000 + i)
                                    : "DEV-" + std::to_string(100 + i);
        TestRecord r = makeRecord(id, dates[i % 4], i % 2 ? "09:15" : "18:34", units[i % 4]);
        SET_FIELD(r, flow, std::to_string(1 + i % 900) + ".5");
        records.push_back(r);
    }
    return records;
}
