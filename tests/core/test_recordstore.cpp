// The record store: replacement, the display fill, selection and the saved
// state.

#include <gtest/gtest.h>

#include "records/recordstore.h"
#include "tests/core/records.h"

namespace {

class RecordStoreTest : public ::testing::Test {
protected:
    void SetUp() override { resetSharedStateForTest(); }
    void TearDown() override { resetSharedStateForTest(); }
    RecordStore& store = recordStore();
};

TEST_F(RecordStoreTest, StateWordsStartAsDesigned) {
    EXPECT_EQ(recordCount.load(), 0u);
    EXPECT_EQ(currentRecord.load(), 0u);
    EXPECT_EQ(haveData.load(), 0);
    EXPECT_EQ(dataSaved.load(), 1);
    EXPECT_EQ(savePending.load(), 0);
    EXPECT_EQ(saveDialogRequested.load(), 0);
    EXPECT_EQ(gridMeasured.load(), 0);
    EXPECT_EQ(saveDialogMode.load(), ExportCsvAll);
    EXPECT_EQ(printRange.load(), PrintSelected);
    EXPECT_EQ(printFormat.load(), PrintListFormat);
    EXPECT_EQ(store.capacity(), 0u);
    EXPECT_STREQ(store.record(0).deviceID, "");  // reading past the sets is safe
}

TEST_F(RecordStoreTest, ReplaceKeepsDownloadOrderClearsSelectionAndFillCopies) {
    TestRecord a = makeRecord("A");
    a.selected = 1;
    ASSERT_TRUE(store.replace(5, {a, makeRecord("B"), makeRecord("C")}));
    EXPECT_EQ(store.capacity(), 5u);
    EXPECT_EQ(recordCount.load(), 0u);  // nothing shown until the fill
    EXPECT_EQ(store.record(0, RecordStore::Received).selected, 0);

    currentRecord = 2;
    dataSaved = 1;
    store.fillDisplay(3);
    EXPECT_EQ(recordCount.load(), 3u);
    EXPECT_EQ(currentRecord.load(), 0u);
    EXPECT_EQ(dataSaved.load(), 0);
    EXPECT_STREQ(store.record(0).deviceID, "A");
    EXPECT_STREQ(store.record(2).deviceID, "C");
    EXPECT_EQ(store.displayed().size(), 3u);
}

TEST_F(RecordStoreTest, SingleRecordHasCapacityOne) {
    ASSERT_TRUE(store.replace(1, {makeRecord("ONLY")}));
    store.fillDisplay(1);
    EXPECT_EQ(store.capacity(), 1u);
    EXPECT_EQ(recordCount.load(), 1u);
    EXPECT_STREQ(store.record(1).deviceID, "");
}

TEST_F(RecordStoreTest, FailedReplaceChangesNothing) {
    ASSERT_TRUE(store.replace(2, {makeRecord("OLD1"), makeRecord("OLD2")}, {"Bay 2", "KS1"}));
    store.fillDisplay(2);
    EXPECT_FALSE(store.replace(0, {}, {"Bay 7", "KS7"}));
    EXPECT_EQ(store.capacity(), 2u);
    EXPECT_STREQ(store.record(1).deviceID, "OLD2");
    EXPECT_EQ(store.tester().id, "Bay 2");
}

TEST_F(RecordStoreTest, ANewFillAfterASortRestoresDownloadOrderUnselected) {
    ASSERT_TRUE(store.replace(2, {makeRecord("B"), makeRecord("A")}));
    store.fillDisplay(2);
    store.reorder(RecordStore::IdSort, [](TestRecord* r, std::size_t n) {
        ASSERT_EQ(n, 2u);
        std::swap(r[0], r[1]);
    });
    store.toggleSelected(0);
    EXPECT_STREQ(store.record(0).deviceID, "A");
    EXPECT_STREQ(store.record(0, RecordStore::Received).deviceID, "B");  // never reordered
    store.fillDisplay(2);
    EXPECT_STREQ(store.record(0).deviceID, "B");
    EXPECT_EQ(store.record(0).selected, 0);
    EXPECT_EQ(store.record(1).selected, 0);
}

TEST_F(RecordStoreTest, ToggleSelectAllAndClearAll) {
    ASSERT_TRUE(store.replace(3, {makeRecord("A"), makeRecord("B"), makeRecord("C")}));
    store.fillDisplay(3);
    store.toggleSelected(1);
    EXPECT_EQ(store.record(1).selected, 1);
    store.toggleSelected(1);
    EXPECT_EQ(store.record(1).selected, 0);
    EXPECT_FALSE(store.anySelected());

    store.setAllSelected(true);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(store.record(i).selected, 1);
    store.setAllSelected(false);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(store.record(i).selected, 0);
    store.toggleSelected(7);  // outside the sets: ignored
}

TEST_F(RecordStoreTest, ToggleTurnsAnyValueOtherThanOneIntoOne) {
    TestRecord odd = makeRecord("ODD");
    ASSERT_TRUE(store.replace(1, {odd}));
    store.fillDisplay(1);
    store.reorder(RecordStore::DateSort, [](TestRecord* r, std::size_t) { r[0].selected = 7; });
    store.toggleSelected(0);
    EXPECT_EQ(store.record(0).selected, 1);
}

TEST_F(RecordStoreTest, SavedStateTransitions) {
    EXPECT_EQ(dataSaved.load(), 1);
    ASSERT_TRUE(store.replace(1, {makeRecord("A")}));
    store.fillDisplay(1);
    EXPECT_EQ(dataSaved.load(), 0);
    markSaved(true);
    EXPECT_EQ(dataSaved.load(), 1);
    markSaved(false);
    EXPECT_EQ(dataSaved.load(), 0);
}

TEST(UnitName, MapsTheThreeCodesAndEverythingElseToMmHg) {
    EXPECT_STREQ(unitName('p'), "PSI");
    EXPECT_STREQ(unitName('k'), "kPa");
    EXPECT_STREQ(unitName('b'), "Bar");
    EXPECT_STREQ(unitName('P'), "mmHg");  // case-sensitive
    EXPECT_STREQ(unitName('m'), "mmHg");
    EXPECT_STREQ(unitName('\0'), "mmHg");
    EXPECT_STREQ(unitName(static_cast<char>(0xff)), "mmHg");
}

}  // namespace
