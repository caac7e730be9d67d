#pragma once
// What the archive's tests share: records as a tester sends them, and two
// testers.

#include <vector>

#include "archive/recordkey.h"
#include "device/decode.h"
#include "device/virtualtester.h"

namespace archivetest {

// The 8194-byte block a tester sends for these records.
inline const auto blockOf = &VirtualTester::buildAllRecordsBlock;

// The records as they come out of a block: the tester's 123 by default.
inline std::vector<TestRecord> received(
    std::vector<TestRecord> records = VirtualTester::defaultRecords()) {
    std::size_t capacity = 0;
    decodeRecords(blockOf(records).data(), &records, &capacity);
    return records;
}

inline const TesterIdentity kTester{"Dosimark Kest Bay 2", "KS0401123"};
inline const TesterIdentity kOther{"Bay 7", "KS0499999"};

}  // namespace archivetest
