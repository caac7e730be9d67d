#pragma once
// Decoding of the tester's data block into test records.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "records/testrecord.h"

constexpr std::size_t kDataBlockSize = 8194;
constexpr std::size_t kSlotSize = 64;
constexpr std::size_t kSlotCount = 128;
constexpr std::size_t kMaxRecords = 123;
constexpr std::size_t kRecordCountOffset = 8131;

// One 64-byte record slot as the tester sends it.  Texts end with a zero
// byte when shorter than their width; a text that fills its width has none.
struct DeviceRecordSlot {
    char deviceID[16];  // a zero first byte marks the slot empty
    char testDate[11];
    char testTime[5];
    char flow[5];
    char volume[5];
    char testDuration[8];
    char pressureMMHG[4];
    char pressureUser[4];
    char pressureUnits;
    char peakPressureTime[5];
};
static_assert(sizeof(DeviceRecordSlot) == 64, "slot layout");

struct DataBlock {
    char marker;                // 'B'
    std::uint8_t recordIndex;   // 0 = all records, 1..128 = that slot only
    DeviceRecordSlot recordSlots[128];  // slot s is recordSlots[s - 1]
};
static_assert(sizeof(DataBlock) == kDataBlockSize, "block layout");

TestRecord slotToRecord(const DeviceRecordSlot& slot);
DeviceRecordSlot recordToSlot(const TestRecord& record);  // for the virtual tester

// Steps 1-2 of decoding: the records a block holds and the capacity of the
// new sets (N, or 1 for a single-record block).  Returns false when the
// block yields no records.
bool decodeRecords(const std::uint8_t* block, std::vector<TestRecord>* records,
                   std::size_t* capacity);

// True for a well-formed all-records block of a tester that holds no
// records: its count is 0 and its record slots are all empty.  Such a block
// decodes to no records, as a damaged one does, but is no transfer fault.
bool blockHoldsNoRecords(const std::uint8_t* block);

// The whole decoding: decode, offer to save unsaved data and wait for the
// save dialog, then hand the records to the views, with the identity of the
// tester open now (the one they came from).  0 on success, -1 on
// any failure (the current records then stay as they were).
int decodeDataBlock(const std::uint8_t* block);

// Sees every complete block exactly as received, before it is decoded and
// whether or not decoding then succeeds (the command-line program keeps it
// for --raw).  An empty function removes it.
void setBlockObserver(std::function<void(const std::uint8_t* block)> observer);
