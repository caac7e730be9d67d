// Decoding of data blocks into records, and the hand-over with its offer to
// save unsaved data first.

#include <atomic>
#include <cstring>
#include <thread>

#include "device/decode.h"
#include "linktest.h"
#include "tests/core/records.h"
#include "tests/messagecheck.h"

namespace {

TestRecord recordNamed(const std::string& id) {
    TestRecord r = VirtualTester::defaultRecords()[1];
    SET_FIELD(r, deviceID, id);
    return r;
}

// An all-records block with the given slots (1-based) filled and count n.
std::vector<std::uint8_t> blockWithSlots(const std::vector<unsigned>& slots, unsigned n) {
    std::vector<std::uint8_t> block = VirtualTester::buildAllRecordsBlock({});
    for (unsigned s : slots) {
        DeviceRecordSlot slot = recordToSlot(recordNamed("slot" + std::to_string(s)));
        std::memcpy(block.data() + 2 + kSlotSize * (s - 1), &slot, sizeof slot);
    }
    block[kRecordCountOffset] = static_cast<std::uint8_t>(n);
    return block;
}

std::vector<std::string> ids(const std::vector<TestRecord>& records) {
    std::vector<std::string> out;
    for (const auto& r : records) out.push_back(r.deviceID);
    return out;
}

TEST(DecodeRecords, AllRecordsBlockSkipsEmptySlotsAndStopsAtTheCount) {
    struct Case {
        std::vector<unsigned> filled;
        unsigned count;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {{1, 2, 4, 5}, 3, {"slot1", "slot2", "slot4"}},
        {{10, 60}, 5, {"slot10", "slot60"}},
        // Slots 124 to 127 are never records (slot 128 holds the count).
        {{120, 121, 122, 123, 124, 125, 126, 127}, 200,
         {"slot120", "slot121", "slot122", "slot123"}},
    };
    for (const Case& c : cases) {
        std::vector<TestRecord> records;
        std::size_t capacity = 0;
        ASSERT_TRUE(decodeRecords(blockWithSlots(c.filled, c.count).data(), &records, &capacity));
        EXPECT_EQ(ids(records), c.expected);
        EXPECT_EQ(capacity, c.count);
        for (const auto& r : records) EXPECT_EQ(r.selected, 0);
    }
}

TEST(DecodeRecords, BlocksWithoutRecordsFail) {
    std::vector<TestRecord> records = {recordNamed("kept")};
    std::size_t capacity = 99;
    auto fails = [&](const std::vector<std::uint8_t>& block) {
        return !decodeRecords(block.data(), &records, &capacity);
    };
    EXPECT_TRUE(fails(blockWithSlots({1, 2}, 0)));         // count 0
    EXPECT_TRUE(fails(blockWithSlots({124, 127}, 10)));    // nothing in 1..123
    EXPECT_TRUE(fails(VirtualTester::buildSingleRecordBlock(emptyRecord(), 7)));
    auto wrongMarker = blockWithSlots({1}, 1);
    wrongMarker[0] = 'b';
    EXPECT_TRUE(fails(wrongMarker));
    auto badIndex = VirtualTester::buildSingleRecordBlock(recordNamed("x"), 129);
    EXPECT_TRUE(fails(badIndex));
    EXPECT_EQ(ids(records), std::vector<std::string>{"kept"});
    EXPECT_EQ(capacity, 99u);
}

TEST(DecodeRecords, SingleRecordBlockTakesOnlyItsSlot) {
    auto block = VirtualTester::buildSingleRecordBlock(recordNamed("seven"), 7);
    DeviceRecordSlot other = recordToSlot(recordNamed("other"));
    std::memcpy(block.data() + 2, &other, sizeof other);  // slot 1 also filled
    std::vector<TestRecord> records;
    std::size_t capacity = 0;
    ASSERT_TRUE(decodeRecords(block.data(), &records, &capacity));
    EXPECT_EQ(ids(records), std::vector<std::string>{"seven"});
    EXPECT_EQ(capacity, 1u);
}

TEST(SlotToRecord, FieldsThatFillTheirWidthKeepEveryCharacter) {
    // Device ID (16), date (11) and every other field at its full width.
    TestRecord full = makeRecord("PUMP-2004-000117", "29 Dec 2003", "18:34", 'k');
    SET_FIELD(full, volume, "999.9");
    SET_FIELD(full, pressureMMHG, "1376");

    DeviceRecordSlot slot = recordToSlot(full);
    EXPECT_EQ(std::memcmp(slot.deviceID, "PUMP-2004-000117", 16), 0);
    EXPECT_EQ(slot.testDate[0], '2');  // no terminator between the fields
    TestRecord back = slotToRecord(slot);
    EXPECT_EQ(std::memcmp(&back, &full, sizeof full), 0);
}

TEST(SlotToRecord, UnterminatedBytesDoNotRunIntoTheNextField) {
    DeviceRecordSlot slot;
    std::memset(&slot, 'A', sizeof slot);  // no zero byte anywhere
    slot.pressureUnits = 'z';
    TestRecord r = slotToRecord(slot);
    EXPECT_EQ(std::string(r.deviceID), std::string(16, 'A'));
    EXPECT_EQ(std::string(r.testDate), std::string(11, 'A'));
    EXPECT_EQ(std::string(r.testDuration), std::string(8, 'A'));
    EXPECT_EQ(std::string(r.pressureUser), std::string(4, 'A'));
    EXPECT_EQ(std::string(r.peakPressureTime), std::string(5, 'A'));
    EXPECT_EQ(r.pressureUnits, 'z');
    EXPECT_STREQ(unitName(r.pressureUnits), "mmHg");
    EXPECT_EQ(r.selected, 0);
}

TEST(DefaultRecords, AreVariedAndSurviveTheWire) {
    auto records = VirtualTester::defaultRecords();
    ASSERT_EQ(records.size(), 123u);
    bool units[4] = {};
    bool full = false, comma = false;
    for (const auto& r : records) {
        units[r.pressureUnits == 'p' ? 0 : r.pressureUnits == 'k' ? 1 : r.pressureUnits == 'b' ? 2 : 3] =
            true;
        full |= std::strlen(r.deviceID) == 16;
        comma |= std::strchr(r.deviceID, ',') != nullptr;
        EXPECT_LE(std::strlen(r.flow), 5u);
        EXPECT_LE(std::strlen(r.pressureUser), 4u);
        EXPECT_LE(std::strlen(r.pressureMMHG), 4u);
        EXPECT_EQ(std::strlen(r.testDuration), 8u);
    }
    EXPECT_TRUE(units[0] && units[1] && units[2] && units[3]);
    EXPECT_TRUE(full);
    EXPECT_TRUE(comma);

    std::vector<TestRecord> decoded;
    std::size_t capacity = 0;
    ASSERT_TRUE(decodeRecords(VirtualTester::buildAllRecordsBlock(records).data(), &decoded,
                              &capacity));
    ASSERT_EQ(decoded.size(), 123u);
    for (std::size_t i = 0; i < decoded.size(); ++i)
        EXPECT_EQ(std::memcmp(&decoded[i], &records[i], sizeof(TestRecord)), 0) << i;
}

// decodeDataBlock: the hand-over to the store and the "New Data" question.
class HandOver : public LinkFixture {
protected:
    void showOldRecords() {
        ASSERT_EQ(storeNewRecords({recordNamed("old1"), recordNamed("old2")}, 2), 0);
        ASSERT_EQ(dataSaved.load(), 0);
    }
};

TEST_F(HandOver, NoQuestionWhenSavedAndRecordsReplaced) {
    ASSERT_EQ(decodeDataBlock(blockWithSlots({1, 2}, 5).data()), 0);
    EXPECT_TRUE(messages.requests().empty());
    EXPECT_EQ(recordCount.load(), 2u);
    EXPECT_EQ(recordStore().capacity(), 5u);
    EXPECT_EQ(haveData.load(), 1);
    EXPECT_EQ(dataSaved.load(), 0);
    EXPECT_EQ(ids(recordStore().displayed()), (std::vector<std::string>{"slot1", "slot2"}));
}

TEST_F(HandOver, NoReplacesAtOnce) {
    showOldRecords();
    ASSERT_EQ(decodeDataBlock(blockWithSlots({3}, 1).data()), 0);
    auto shown = messages.requests();
    ASSERT_EQ(shown.size(), 1u);
    expectMessage(shown[0],
                  "There is new data and current data has not been saved.\r\r"
                  "Do you wish to save current data?",
                  "New Data", MsgIcon::Warning, MsgButtons::YesNo, MsgAnswer::Yes);
    EXPECT_EQ(savePending.load(), 0);
    EXPECT_EQ(saveDialogRequested.load(), 0);
    EXPECT_EQ(ids(recordStore().displayed()), std::vector<std::string>{"slot3"});
}

TEST_F(HandOver, YesWaitsForTheSaveDialogWithTheOldRecordsShown) {
    for (bool single : {false, true}) {
        SCOPED_TRACE(single);
        showOldRecords();
        log.clear();
        saveDialogRequested = 0;
        messages.answerYes = true;

        // The user interface: once asked, it "shows" the dialog, checks that
        // the old records are still in place and closes the dialog.
        std::atomic<bool> sawOldRecords{false};
        std::thread ui([&] {
            EXPECT_TRUE(eventually([&] {
                return savePending.load() == 1 &&
                       (single ? !log.events().empty() && log.events().back() == "savedialog"
                               : saveDialogRequested.load() == 1);
            }));
            sawOldRecords = ids(recordStore().displayed()) ==
                            std::vector<std::string>{"old1", "old2"};
            saveDialogRequested = 0;  // the clock timer picks the request up
            dataSaved = 1;
            savePending = 0;
        });
        auto block = single ? VirtualTester::buildSingleRecordBlock(recordNamed("new"), 9)
                            : blockWithSlots({4}, 1);
        int result = decodeDataBlock(block.data());
        ui.join();
        EXPECT_EQ(result, 0);
        EXPECT_TRUE(sawOldRecords);
        EXPECT_EQ(ids(recordStore().displayed()).size(), 1u);
        EXPECT_EQ(dataSaved.load(), 0);
    }
}

TEST_F(HandOver, FailuresLeaveTheShownRecordsAlone) {
    showOldRecords();
    dataSaved = 1;
    EXPECT_EQ(decodeDataBlock(VirtualTester::buildSingleRecordBlock(emptyRecord(), 7).data()), -1);
    EXPECT_EQ(view.presented.load(), 0);
    EXPECT_TRUE(messages.requests().empty());
    EXPECT_EQ(ids(recordStore().displayed()), (std::vector<std::string>{"old1", "old2"}));
    EXPECT_EQ(dataSaved.load(), 1);

    view.failPresent = true;
    EXPECT_EQ(decodeDataBlock(blockWithSlots({1}, 1).data()), -1);
}

// At program exit every pause of the real clock is cut short, so that the
// workers, including one waiting for a save dialog, end without delay.
TEST_F(HandOver, InterruptedSleepsEndPausesAndTheWaitForTheSaveDialog) {
    setClock(nullptr);
    std::thread sleeper([] { sleepMs(600000); });
    interruptSleeps();
    sleeper.join();
    sleepMs(600000);  // and a pause that begins afterwards
    resetSleepsForTest();

    showOldRecords();
    messages.answerYes = true;
    std::atomic<int> result{-2};
    std::thread command([&] { result = decodeDataBlock(blockWithSlots({4}, 1).data()); });
    EXPECT_TRUE(eventually([] { return saveDialogRequested.load() == 1; }));
    interruptSleeps();
    command.join();
    resetSleepsForTest();
    EXPECT_NE(result.load(), -2);
    saveDialogRequested = 0;
    savePending = 0;
}

TEST(HeadlessView, PutsTheRecordsIntoTheStore) {
    resetSharedStateForTest();
    setLinkView(nullptr);
    auto block = VirtualTester::buildAllRecordsBlock(VirtualTester::defaultRecords());
    ASSERT_EQ(decodeDataBlock(block.data()), 0);
    EXPECT_EQ(recordCount.load(), 123u);
    EXPECT_EQ(haveData.load(), 1);
    resetSharedStateForTest();
}

}  // namespace
