// Sorting by device ID and by date and time.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "records/recordstore.h"
#include "records/sort.h"
#include "tests/core/records.h"

namespace {

TEST(MonthNumber, LetterTable) {
    EXPECT_EQ(monthNumber("Jan"), 1);
    EXPECT_EQ(monthNumber("JAN"), 1);
    EXPECT_EQ(monthNumber("january"), 1);
    EXPECT_EQ(monthNumber("Feb"), 2);
    EXPECT_EQ(monthNumber("Mar"), 3);
    EXPECT_EQ(monthNumber("Apr"), 4);
    EXPECT_EQ(monthNumber("May"), 5);
    EXPECT_EQ(monthNumber("Jun"), 6);
    EXPECT_EQ(monthNumber("Jul"), 7);
    EXPECT_EQ(monthNumber("aug"), 8);
    EXPECT_EQ(monthNumber("Sep"), 9);
    EXPECT_EQ(monthNumber("Oct"), 10);
    EXPECT_EQ(monthNumber("Nov"), 11);
    EXPECT_EQ(monthNumber("Dec"), 12);
    EXPECT_EQ(monthNumber(""), 0);
    EXPECT_EQ(monthNumber(nullptr), 0);
    EXPECT_EQ(monthNumber("Ju"), 0);   // J U and no third letter
    EXPECT_EQ(monthNumber("Jx"), 0);
    EXPECT_EQ(monthNumber("Ma"), 0);
    EXPECT_EQ(monthNumber("A"), 0);
    EXPECT_EQ(monthNumber("Xyz"), 0);
    EXPECT_EQ(monthNumber("Dingo"), 12);  // only the letters in the table are looked at
}

TEST(CompareByDeviceID, PrefixFirstAndCaseInsensitive) {
    EXPECT_LT(compareByDeviceID(makeRecord("123-456-789-01"), makeRecord("123-456-789-012")), 0);
    EXPECT_GT(compareByDeviceID(makeRecord("123-456-789-012"), makeRecord("123-456-789-01")), 0);
    EXPECT_EQ(compareByDeviceID(makeRecord("abc-Pump"), makeRecord("ABC-PUMP")), 0);
    EXPECT_LT(compareByDeviceID(makeRecord("A1"), makeRecord("b0")), 0);
    EXPECT_EQ(compareByDeviceID(makeRecord(""), makeRecord("")), 0);
    EXPECT_LT(compareByDeviceID(makeRecord(""), makeRecord("A")), 0);
    // Sixteen characters fill the slot's width: compared whole.
    EXPECT_LT(compareByDeviceID(makeRecord("ABCDEFGHIJKLMNOP"), makeRecord("ABCDEFGHIJKLMNOQ")), 0);
}

TEST(CompareByDateTime, DatesThenTimes) {
    EXPECT_LT(compareByDateTime(makeRecord("x", "30 Jan 2004"), makeRecord("x", "5 Jun 2004")), 0);
    EXPECT_GT(compareByDateTime(makeRecord("x", "1 Jan 2005"), makeRecord("x", "31 Dec 2004")), 0);
    EXPECT_LT(compareByDateTime(makeRecord("x", "3 Mar 2004"), makeRecord("x", "12 Mar 2004")), 0);
    EXPECT_LT(compareByDateTime(makeRecord("x", "3 Mar 2004", "09:59"),
                                makeRecord("x", "3 Mar 2004", "10:00")), 0);
    EXPECT_LT(compareByDateTime(makeRecord("x", "3 Mar 2004", "10:05"),
                                makeRecord("x", "3 Mar 2004", "10:15")), 0);
    EXPECT_EQ(compareByDateTime(makeRecord("a", "3 Mar 2004", "10:05"),
                                makeRecord("b", "3 Mar 2004", "10:05")), 0);
    // An unknown month word counts as month 0: before January.
    EXPECT_LT(compareByDateTime(makeRecord("x", "15 Xyz 2004"), makeRecord("x", "1 Jan 2004")), 0);
    // Unreadable texts count as zeros rather than failing.
    EXPECT_LT(compareByDateTime(makeRecord("x", ""), makeRecord("x", "1 Jan 2004")), 0);
    EXPECT_EQ(compareByDateTime(makeRecord("x", "garbage", "zz"), makeRecord("x", "", "")), 0);
    // Numbers too large for an int still order by value instead of wrapping.
    EXPECT_GT(compareByDateTime(makeRecord("x", "1 Jan 9999999999"), makeRecord("x", "1 Jan 2004")), 0);
    EXPECT_LT(compareByDateTime(makeRecord("x", "1 Jan 2004", "99999999999"),
                                makeRecord("x", "1 Jan 2004", "999999999999")), 0);
}

TEST(QuickSort, SortsWholeRecordsOverManyShapes) {
    std::mt19937 rng(7);
    for (int size : {0, 1, 2, 3, 5, 17, 123}) {
        for (int trial = 0; trial < 20; ++trial) {
            std::vector<TestRecord> v;
            for (int i = 0; i < size; ++i) {
                TestRecord r = makeRecord("ID" + std::to_string(rng() % (trial % 3 == 0 ? 3 : 50)));
                r.selected = static_cast<unsigned char>(i % 2);
                SET_FIELD(r, flow, std::to_string(i));  // identifies the record
                v.push_back(r);
            }
            std::vector<std::string> before;
            for (const auto& r : v) before.push_back(std::string(r.deviceID) + "/" + r.flow + "/" +
                                                     std::to_string(r.selected));
            quickSortRecords(v.data(), v.size(), compareByDeviceID);
            for (std::size_t i = 1; i < v.size(); ++i)
                EXPECT_LE(compareByDeviceID(v[i - 1], v[i]), 0);
            std::vector<std::string> after;
            for (const auto& r : v) after.push_back(std::string(r.deviceID) + "/" + r.flow + "/" +
                                                    std::to_string(r.selected));
            std::sort(before.begin(), before.end());
            std::sort(after.begin(), after.end());
            EXPECT_EQ(before, after);  // same records, each whole, with its flag
        }
    }
}

class SortCommandTest : public ::testing::Test {
protected:
    void SetUp() override { resetSharedStateForTest(); }
    void TearDown() override { resetSharedStateForTest(); }
};

TEST_F(SortCommandTest, KeepsCurrentRecordSelectionAndSavedState) {
    auto& store = recordStore();
    ASSERT_TRUE(store.replace(4, {makeRecord("D", "5 Jun 2004"), makeRecord("b", "30 Jan 2004"),
                                  makeRecord("C", "1 Jan 2003"), makeRecord("a", "5 Jun 2004", "08:00")}));
    store.fillDisplay(4);
    store.toggleSelected(0);  // "D"
    currentRecord = 3;
    dataSaved = 1;

    sortByDeviceID();
    std::string order;
    for (const auto& r : store.displayed()) order += r.deviceID;
    EXPECT_EQ(order, "abCD");
    EXPECT_EQ(store.record(3).selected, 1);  // the selection moved with "D"
    EXPECT_EQ(currentRecord.load(), 3u);
    EXPECT_EQ(dataSaved.load(), 1);

    sortByDateTime();
    order.clear();
    for (const auto& r : store.displayed()) order += r.deviceID;
    EXPECT_EQ(order, "CbaD");
    // Download order is kept for the next fill.
    EXPECT_STREQ(store.record(0, RecordStore::Received).deviceID, "D");

    std::string again;
    sortByDateTime();
    for (const auto& r : store.displayed()) again += r.deviceID;
    EXPECT_EQ(again, order);
}

}  // namespace
