// Texts of the list and the single record page, navigation and layout.

#include <gtest/gtest.h>

#include "records/viewformat.h"
#include "tests/core/records.h"

namespace {

TEST(ListColumns, HeadersAndCellsCarryOneBlankEachSide) {
    const char* headers[] = {" # ", " Device ID ", " Date ", " Time ", " Flow Rate ", " Volume ",
                             " Test Duration ", " Pressure ", " Pressure ", " OP Peak Time "};
    for (int c = 0; c < kListColumns; ++c) EXPECT_STREQ(listHeaderText(c), headers[c]);

    TestRecord r = makeRecord("123-456-789-012", "29 Dec 2003", "18:34", 'p');
    const char* cells[] = {" 12 ", " 123-456-789-012 ", " 29 Dec 2003 ", " 18:34 ", " 5.183 ",
                           " 5.183 ", " 88:48:39 ", " 376 mmHg ", " 7.27 PSI ", " 16:32 "};
    for (int c = 0; c < kListColumns; ++c) EXPECT_EQ(listCellText(r, 12, c), cells[c]);
}

TEST(ListColumns, UnitNamesAndEmptyFields) {
    EXPECT_EQ(listCellText(makeRecord("x", "", "", 'k'), 1, 8), " 7.27 kPa ");
    EXPECT_EQ(listCellText(makeRecord("x", "", "", 'b'), 1, 8), " 7.27 Bar ");
    EXPECT_EQ(listCellText(makeRecord("x", "", "", 'z'), 1, 8), " 7.27 mmHg ");
    TestRecord blank = emptyRecord();
    EXPECT_EQ(listCellText(blank, 1, 1), "  ");
    EXPECT_EQ(listCellText(blank, 1, 7), "  mmHg ");
}

TEST(ListColumns, FullWidthDeviceIdShownWhole) {
    TestRecord r = makeRecord("ABCDEFGHIJKLMNOP");
    EXPECT_EQ(listCellText(r, 1, 1), " ABCDEFGHIJKLMNOP ");
}

TEST(SingleRecordPage, ValueTexts) {
    TestRecord r = makeRecord("123-456-789-012", "29 Dec 2003", "18:34", 'b');
    SingleRecordTexts t = singleRecordTexts(r, 13);
    EXPECT_EQ(t.recordNumber, "14");
    EXPECT_EQ(t.deviceID, "123-456-789-012");
    EXPECT_EQ(t.testTime, "18:34 (hh:mm)");
    EXPECT_EQ(t.testDate, "29 Dec 2003");
    EXPECT_EQ(t.flowRate, "5.183 ml/hr");
    EXPECT_EQ(t.volume, "5.183 ml");
    EXPECT_EQ(t.occlPressure, "376 mmHg (7.27 Bar)");
    EXPECT_EQ(t.opPeakTime, "16:32 (mm:ss)");
    EXPECT_EQ(t.testDuration, "88:48:39 (hh:mm:ss)");
    EXPECT_EQ(singleRecordTexts(makeRecord("x", "", "", '?'), 0).occlPressure, "376 mmHg (7.27 mmHg)");
}

TEST(Navigation, ClampsAtBothEndsAndNeverWraps) {
    EXPECT_EQ(chooserEntryText(0), " 1");
    EXPECT_EQ(chooserEntryText(122), " 123");
    // Ten records.
    EXPECT_EQ(navigate(NavStep::Jump5, 7, 10), 9u);
    EXPECT_EQ(navigate(NavStep::Jump5, 4, 10), 9u);
    EXPECT_EQ(navigate(NavStep::Jump5, 3, 10), 8u);
    EXPECT_EQ(navigate(NavStep::Back5, 2, 10), 0u);
    EXPECT_EQ(navigate(NavStep::Back5, 5, 10), 0u);
    EXPECT_EQ(navigate(NavStep::Back5, 6, 10), 1u);
    EXPECT_EQ(navigate(NavStep::Next, 9, 10), 9u);
    EXPECT_EQ(navigate(NavStep::Next, 3, 10), 4u);
    EXPECT_EQ(navigate(NavStep::Prev, 0, 10), 0u);
    EXPECT_EQ(navigate(NavStep::Prev, 3, 10), 2u);
    // One record: every step stays on it.
    for (NavStep s : {NavStep::Next, NavStep::Jump5, NavStep::Prev, NavStep::Back5})
        EXPECT_EQ(navigate(s, 0, 1), 0u);
}

TEST(Layout, DesignSizeGivesTheDesignPositions) {
    ListPageLayout l = listPageLayout(593, 405);
    EXPECT_EQ(l.dataViewWidth, 593);
    EXPECT_EQ(l.dataViewHeight, 337);
    EXPECT_EQ(l.bottomButtonsTop, 283);
    EXPECT_EQ(l.gridHeight, 247);
    EXPECT_EQ(l.gridWidth, 553);
}

}  // namespace
