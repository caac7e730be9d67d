#pragma once
// Decoding of what the tester sends: its identity reply, and its data block
// into test records.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "records/recordstore.h"
#include "records/testrecord.h"

// The reply to "ID\r": the marker 'I', the serial number (12 bytes) and the
// ID text (20 bytes).  A text shorter than its width ends with a zero byte;
// what follows that zero within the width is not part of it.
constexpr std::size_t kIdentityReplySize = 33;
constexpr std::uint8_t kIdentityReplyMarker = 'I';
// The longest serial number and ID text a tester can give.
constexpr std::size_t kSerialWidth = 12, kIdWidth = 20;

// Reads an identity reply into *out.  False, with *why (when given) saying
// what is wrong in a few words, and *out untouched, for bytes that are no
// identity reply: not kIdentityReplySize of them, or another first byte.
// (A tester answers with an empty serial number only when it was never
// given one; the monitor still connects it, and import refuses it.)
bool parseIdentityReply(const std::uint8_t* bytes, std::size_t size, TesterIdentity* out,
                        std::string* why = nullptr);

constexpr std::size_t kDataBlockSize = 8194;
constexpr std::size_t kSlotSize = 64;
constexpr std::size_t kSlotCount = 128;
constexpr std::size_t kMaxRecords = 123;
constexpr std::size_t kRecordCountOffset = 8131;
constexpr std::uint8_t kDataBlockMarker = 'B';

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
// block yields no records, with *why (when given) saying why in a few
// words (for a block of a tester that holds none, that its count is 0).
bool decodeRecords(const std::uint8_t* block, std::vector<TestRecord>* records,
                   std::size_t* capacity, std::string* why = nullptr);

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
