// The report printer over a recording canvas: coordinates of the page
// elements, column measurement, page breaks and failures.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "app/messages.h"
#include "print/report.h"
#include "records/recordstore.h"
#include "save/stamp.h"
#include "tests/core/records.h"
#include "tests/print/recordingcanvas.h"

namespace {

std::time_t fixedTime() {
    std::tm t{};
    t.tm_year = 103, t.tm_mon = 11, t.tm_mday = 29, t.tm_hour = 18, t.tm_min = 34, t.tm_isdst = -1;
    return std::mktime(&t);
}

class Report : public ::testing::Test {
protected:
    void SetUp() override {
        previousClock_ = setStampClock(fixedTime);
        previousHandler_ = setMessageHandler([this](const MessageRequest& r) {
            asked.push_back(r);
            return MsgAnswer::Ok;
        });
    }
    void TearDown() override {
        setStampClock(previousClock_);
        setMessageHandler(previousHandler_);
    }

    ReportJob job(int count, PrintRange range, PrintFormat format, int chosen = -1) {
        ReportJob j;
        for (int i = 0; i < count; ++i)
            j.records.push_back(makeRecord("DEV-" + std::to_string(100 + i)));
        j.range = range, j.format = format, j.chosen = chosen;
        j.tester.id = "KEST-9", j.tester.serial = "SN-42", j.stamp = saveStamp();
        return j;
    }

    // Each page in short: H page header, C column header, rN@y list row of
    // record N at y, bN@y record block, K@y closing block, Fn footer number.
    static std::vector<std::string> summary(const RecordingCanvas& canvas) {
        std::vector<std::string> out;
        for (const auto& page : canvas.pages) {
            std::string s;
            for (const std::string& op : page) {
                int l, t, r, b, n = 0;
                if (std::sscanf(op.c_str(), "T %*s %d,%d,%d,%d @%*d,%*d %n", &l, &t, &r, &b, &n) <
                    4)
                    continue;
                std::string tx = op.substr(n);
                std::string y = "@" + std::to_string(t) + " ";
                bool number = tx.find_first_not_of("0123456789") == std::string::npos;
                if (tx.rfind("Device:", 0) == 0)
                    s += "H ";
                else if (tx == "Rec #")
                    s += "C ";
                else if (tx.rfind("Record #:", 0) == 0)
                    s += "b" + tx.substr(9) + y;
                else if (tx == "Technician: ")
                    s += "K" + y;
                else if (number && l == 200)
                    s += "r" + tx + y;
                else if (number)
                    s += "F" + tx;
            }
            out.push_back(s);
        }
        return out;
    }

    std::vector<MessageRequest> asked;

private:
    StampClock previousClock_;
    MessageHandler previousHandler_;
};

// One record, list format, PrintSingle: every element of the page at its
// place.  Widths: the bold labels or the record's texts, whichever is wider,
// plus 75; "Test Date and Time" is cut off at columnX[4].
TEST_F(Report, ListPageElementsAtTheirCoordinates) {
    RecordingCanvas canvas;
    ASSERT_EQ(printReport(canvas, job(1, PrintSingle, PrintListFormat, 0)), 0);
    const std::vector<std::string> expected = {
        "landscape",
        "begin",
        "T 12B 200,200,7800,330 @200,200 Device: KEST-9  SN: SN-42",
        "T 12 200,340,7800,460 @200,340 Data Printed On 12/29/03 18:34:00",
        "T 10B 200,535,625,645 @200,535 Rec #",
        "T 10B 625,535,1330,645 @625,535 Device ID",
        "T 10B 1330,535,2440,645 @1330,535 Test Date and Time",
        "T 10B 2515,535,3425,645 @2515,535 Test Duration",
        "T 10B 3500,535,4340,645 @3500,535 Flow (ml/hr)",
        "T 10B 4415,535,5045,645 @4415,535 Vol. (ml)",
        "T 10B 5380,535,6275,645 @5380,535 Pressure",
        "T 10B 6350,535,6980,645 @6350,535 Peak Time",
        "L 4 200,645-6980,645",
        "T 10 200,655,625,765 @200,655 1",
        "T 10 625,655,1330,765 @625,655 DEV-100",
        "T 10 1330,655,2440,765 @1330,655 29 Dec 2003",
        "T 10 2065,655,2440,765 @2065,655 18:34",
        "T 10 2945,655,3425,765 @2945,655 88:48:39",
        "T 10 4040,655,4340,765 @4040,655 5.183",
        "T 10 4745,655,5045,765 @4745,655 5.183",
        "T 10 5120,655,5600,765 @5120,655 376 mmHg",
        "T 10 5675,655,6275,765 @5675,655 (7.27 PSI)",
        "T 10 6680,655,6980,765 @6680,655 16:32",
        "L 2 1040,1000-4000,1000",
        "L 2 620,1130-4000,1130",
        "T 10B 200,875,1040,995 @200,875 Technician: ",
        "T 10B 200,995,620,1115 @200,995 Date: ",
        "L 2 300,5825-7700,5825",
        "T 10 3970,5850,4030,5950 @3970,5850 1",
        "end",
    };
    EXPECT_EQ(canvas.ops, expected);
}

// The record block: nine lines from the text file's record format, each cell
// exactly as wide as its line; no blank row before the closing block.
TEST_F(Report, RecordBlockLinesAndTheirCells) {
    RecordingCanvas canvas;
    ReportJob j = job(3, PrintSingle, PrintRecordFormat, 2);
    ASSERT_EQ(printReport(canvas, j), 0);
    const auto lines = recordBlockLines(j.records[2], 2);
    ASSERT_EQ(lines[0], "Record #:3");
    EXPECT_EQ(canvas.ops[0], "portrait");
    for (int k = 0; k < 9; ++k) {
        int top = 535 + k * 110, right = 200 + 60 * static_cast<int>(lines[k].size());
        EXPECT_EQ(canvas.ops[4 + k], "T 10 200," + std::to_string(top) + "," +
                                         std::to_string(right) + "," + std::to_string(top + 110) +
                                         " @200," + std::to_string(top) + " " + lines[k]);
    }
    EXPECT_EQ(summary(canvas), (std::vector<std::string>{"H b3@535 K@1685 F1"}));
}

// Columns are measured over every record, whatever the range; a value wider
// than its label widens its column and moves the ones to its right.
TEST_F(Report, ColumnsCoverAllRecordsWhateverTheRange) {
    for (PrintRange range : {PrintSingle, PrintSelected, PrintAll}) {
        RecordingCanvas canvas;
        ReportJob j = job(3, range, PrintListFormat, 0);
        SET_FIELD(j.records[2], deviceID, "ABCDEFGHIJKLMNOP");  // 960 wide
        j.records[0].selected = 1;
        ReportPrinter printer(canvas, j);
        ASSERT_EQ(printer.printReport(), 0);
        EXPECT_EQ(printer.layout.columnWidth[1], 960 + 75) << range;
        EXPECT_EQ(printer.layout.columnX,
                  (std::array<int, 10>{200, 625, 1660, 2395, 2770, 3755, 4670, 5375, 5930, 6605}))
            << range;
    }
}

// Page breaks.  Page height 1160 puts pageBottom at 985: rows start at 655
// and 765 and fit; a row at 875 would end exactly on pageBottom and goes to
// the next page.  One dot more and it stays.
TEST_F(Report, PageBreaks) {
    struct Case {
        const char* what;
        int count;
        PrintRange range;
        PrintFormat format;
        int pageHeight;
        std::vector<int> selected;
        std::vector<std::string> pages;
    } cases[] = {
        {"a row ending on pageBottom moves",
         3,
         PrintAll,
         PrintListFormat,
         1160,
         {},
         {"H C r1@655 r2@765 F1", "H C r3@655 F2", "H K@535 F3"}},
        {"one dot more and it fits",
         3,
         PrintAll,
         PrintListFormat,
         1161,
         {},
         {"H C r1@655 r2@765 r3@875 F1", "H K@535 F2"}},
        // Below the blank row the closing block needs closingReserve (328)
        // and more: pageBottom 1314 keeps it, 1313 moves it.
        {"closing block fits",
         2,
         PrintAll,
         PrintListFormat,
         1314 + 175,
         {},
         {"H C r1@655 r2@765 K@985 F1"}},
        {"closing block moves to a page with only the page header",
         2,
         PrintAll,
         PrintListFormat,
         1313 + 175,
         {},
         {"H C r1@655 r2@765 F1", "H K@535 F2"}},
        {"break test before the selection test",
         5,
         PrintSelected,
         PrintListFormat,
         1160,
         {0, 3},
         {"H C r1@655 r4@765 F1", "H C F2", "H K@535 F3"}},
        {"record blocks are never split",
         3,
         PrintAll,
         PrintRecordFormat,
         535 + 2 * 1150 + 175,
         {},
         {"H b1@535 F1", "H b2@535 F2", "H b3@535 K@1795 F3"}},
        {"two blocks when the second ends above pageBottom",
         3,
         PrintAll,
         PrintRecordFormat,
         535 + 2 * 1150 + 176,
         {},
         {"H b1@535 b2@1685 F1", "H b3@535 K@1795 F2"}},
        {"PrintSingle never breaks",
         3,
         PrintSingle,
         PrintRecordFormat,
         600,
         {},
         {"H b1@535 K@1685 F1"}},
        {"PrintSingle list never breaks",
         3,
         PrintSingle,
         PrintListFormat,
         600,
         {},
         {"H C r1@655 K@875 F1"}},
    };
    for (const Case& c : cases) {
        RecordingCanvas canvas;
        (c.format == PrintListFormat ? canvas.shortSide : canvas.longSide) = c.pageHeight;
        ReportJob j = job(c.count, c.range, c.format, 0);
        for (int i : c.selected) j.records[i].selected = 1;
        EXPECT_EQ(printReport(canvas, j), 0) << c.what;
        EXPECT_EQ(summary(canvas), c.pages) << c.what;
        EXPECT_TRUE(asked.empty()) << c.what;
    }
}

// A failing step or a refused job call aborts a job in progress once, shows
// "Print Error" once and draws nothing more.
TEST_F(Report, AFailureAbortsOnceWithOneMessage) {
    struct Case {
        const char* what;
        std::string failDraw;
        int failDrawAt;
        std::string failMeasure;
        bool refuseBegin, refuseNewPage, begun;
    } cases[] = {
        {"a row", "DEV-101", 1, "", false, false, true},
        {"the page header of page 2", "Device: KEST-9  SN: SN-42", 2, "", false, false, true},
        {"a new page", "", 1, "", false, true, true},
        {"the closing block", "Technician: ", 1, "", false, false, true},
        {"the footer of page 1 (after row 1)", "1", 2, "", false, false, true},
        {"measuring the columns", "", 1, "DEV-102", false, false, false},
        {"beginning the document", "", 1, "", true, false, false},
    };
    for (const Case& c : cases) {
        asked.clear();
        RecordingCanvas canvas;
        canvas.shortSide = 1160;  // two rows a page
        canvas.failDraw = c.failDraw, canvas.failDrawAt = c.failDrawAt;
        canvas.failMeasure = c.failMeasure;
        canvas.refuseBegin = c.refuseBegin, canvas.refuseNewPage = c.refuseNewPage;
        EXPECT_EQ(printReport(canvas, job(4, PrintAll, PrintListFormat)), -1) << c.what;
        ASSERT_EQ(asked.size(), 1u) << c.what;
        EXPECT_EQ(asked[0].text, "An Error Occurred During Printing.  Job Cancelled");
        EXPECT_EQ(asked[0].caption, "Print Error");
        EXPECT_EQ(asked[0].icon, MsgIcon::Warning);
        EXPECT_EQ(asked[0].buttons, MsgButtons::Ok);
        const auto aborts = std::count(canvas.ops.begin(), canvas.ops.end(), "abort");
        EXPECT_EQ(aborts, c.begun ? 1 : 0) << c.what;
        if (c.begun) {
            EXPECT_EQ(canvas.ops.back(), "abort") << c.what;
        }
        EXPECT_EQ(std::count(canvas.ops.begin(), canvas.ops.end(), "end"), 0) << c.what;
    }
}

TEST_F(Report, PrintSingleWithoutARecordPrintsNothing) {
    for (int chosen : {-1, 3}) {
        RecordingCanvas canvas;
        EXPECT_EQ(printReport(canvas, job(3, PrintSingle, PrintListFormat, chosen)), 0);
        EXPECT_TRUE(canvas.ops.empty());
    }
}

// Field bytes that look like formats, markup or wide text print as the
// bytes they are, in both layouts.
TEST_F(Report, HostileFieldBytesPrintAsData) {
    const std::string id = "<b>%s%n</b>\xe9\xff", date = "%1 %2 %x", wide = "\xef\xbc\x91";
    ReportJob j = job(0, PrintAll, PrintListFormat);
    TestRecord r = makeRecord(id, date, "%d:%p", 'k');
    SET_FIELD(r, pressureUser, wide);
    j.records.push_back(r);
    auto texts = [](const RecordingCanvas& canvas) {
        std::vector<std::string> out;
        for (const std::string& op : canvas.ops)
            if (op.rfind("T ", 0) == 0) out.push_back(op.substr(op.find(' ', op.find('@')) + 1));
        return out;
    };
    auto has = [](const std::vector<std::string>& v, const std::string& s) {
        return std::find(v.begin(), v.end(), s) != v.end();
    };
    RecordingCanvas list;
    ASSERT_EQ(printReport(list, j), 0);
    std::vector<std::string> t = texts(list);
    for (const std::string& s : {id, date, std::string("%d:%p"), "(" + wide + " kPa)"})
        EXPECT_TRUE(has(t, s)) << s;
    j.format = PrintRecordFormat;
    RecordingCanvas blocks;
    ASSERT_EQ(printReport(blocks, j), 0);
    t = texts(blocks);
    for (const std::string& s : {"Device ID: " + id, "Test Date: " + date,
                                 "Peak Occlusion Pressure: 376 mmHg (" + wide + " kPa)"})
        EXPECT_TRUE(has(t, s)) << s;
    EXPECT_TRUE(asked.empty());
}

}  // namespace
