// The workshop report: what its model decides from the tests of a period
// (the period, the band's steps, the due counts, the tests left out or
// doubtful), and its pages on the recording canvas.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <tuple>

#include "records/calendar.h"
#include "tests/core/records.h"
#include "tests/print/recordingcanvas.h"
#include "workshop/reportmodel.h"

namespace {

// The first table of a section whose heads are these.
const WorkshopTable* tableWith(const WorkshopSection& s, const std::vector<std::string>& heads) {
    for (const WorkshopBlock& b : s.blocks)
        if (b.kind == WorkshopBlock::Kind::Table && b.table.heads == heads) return &b.table;
    return nullptr;
}

bool hasLine(const WorkshopSection& s, const std::string& text) {
    return std::any_of(s.blocks.begin(), s.blocks.end(), [&](const WorkshopBlock& b) {
        return b.kind == WorkshopBlock::Kind::Line && b.text == text;
    });
}

TEST(WorkshopReport, ThePeriodIsTheTwelveMonthsUpToAsOfUnlessGiven) {
    const struct {
        const char *since, *until, *asOf, *first, *last;
    } rows[] = {
        {"", "", "2026-06-01", "2025-06-02", "2026-06-01"},
        {"", "", "2024-02-29", "2023-03-01", "2024-02-29"},
        {"2026-01-01", "", "2026-06-01", "2026-01-01", "2026-06-01"},
        {"", "2025-12-31", "2026-06-01", "2025-01-01", "2025-12-31"},
        {"2027-01-01", "", "2026-06-01", "2027-01-01", "2027-01-01"},
    };
    for (const auto& r : rows) {
        const WorkshopPeriod p = workshopPeriod({"", "", "", r.since, r.until, r.asOf, 30, {}});
        EXPECT_EQ(p.first + " " + p.last, std::string(r.first) + " " + r.last) << r.asOf;
    }
}

// A model's window narrows on 1 March; a pump of its own narrows again on
// 1 May: the flow band steps on both days, and the tests are judged by the
// limits of their own days.  The summary names what needs doing: the due
// list's assets by status, what is on time, the flagged tests (a tester out
// of calibration, a date after receipt) and the devices the list does not
// know.
TEST(WorkshopReport, TheModelStepsTheBandAndCountsWhatIsDue) {
    std::vector<AssetRow> rows;
    std::string why;
    ASSERT_TRUE(
        readAssetList("device_id,model,set_rate_ml_h,flow_low_pct,flow_high_pct,valid_from\n"
                      ",P3,100,-5,5,\n,P3,100,-3,3,2026-03-01\nA,P3,,,,\n"
                      "B,P3,,-2,2,2026-05-01\nB,P3,,,,\n",
                      &rows, &why))
        << why;
    JudgingList list{1, AssetIndex(rows), 1,
                     TesterIndex({{2, "SN1", "2026-01-01", "2026-03-31", "C-1"}})};
    std::vector<DueEntry> due;
    for (const auto& [id, location, status] :
         {std::tuple{"A", "W1", DueStatus::Failed}, std::tuple{"B", "W2", DueStatus::Overdue},
          std::tuple{"C", "W1", DueStatus::NeverTested}, std::tuple{"D", "W1", DueStatus::Ok},
          std::tuple{"E", "W1", DueStatus::Retired}}) {
        due.emplace_back();
        due.back().deviceId = id, due.back().model = "P3", due.back().location = location;
        due.back().intervalDays = 180, due.back().status = status;
    }
    due[3].assetTag = "T-D";
    WorkshopRequest request{"a.db", "", "", "", "", "2026-06-01", 30, {}};
    WorkshopReportModel model(request, list, due);
    std::map<std::string, std::vector<JudgedTest>> byDevice;
    auto test = [&](const char* id, const char* date, const char* flow, const char* received) {
        TestRecord r = makeRecord(id, date, "10:00");
        SET_FIELD(r, flow, flow);
        model.add(list.test(r, received, "SN1"));
        byDevice[id].push_back(list.test(r, received, "SN1"));
    };
    test("A", "1 Feb 2026", "104", "2026-02-02T08:00:00+00:00");
    test("A", "1 Apr 2026", "104", "2026-04-02T08:00:00+00:00");
    test("B", "3 May 2026", "103", "2026-05-03T08:00:00+00:00");
    test("B", "9 Sep 2027", "100", "2026-05-03T08:00:00+00:00");
    model.setOutside(2);
    model.setUnknown({{"iv 9", 3, "2026-05-01T10:00:00", "SN1", "IV-9"}});
    const WorkshopReport report =
        model.build("2026-06-01T10:00:00+00:00", [&](const WorkshopReportModel::DeviceEntry& d) {
            return byDevice[d.key];
        });
    ASSERT_EQ(report.sections.size(), 3u);
    EXPECT_EQ(report.stamp, "2026-06-01 10:00");

    const WorkshopSection& summary = report.sections[0];
    EXPECT_TRUE(hasLine(summary, "Period: 2025-06-02 to 2026-06-01"));
    EXPECT_TRUE(hasLine(summary, "2 tests lie outside the period and are left out."));
    const WorkshopTable* counts = tableWith(summary, {"Assets", "Count"});
    ASSERT_NE(counts, nullptr);
    EXPECT_EQ(counts->rows, (std::vector<std::vector<std::string>>{{"failed", "1"},
                                                                   {"overdue", "1"},
                                                                   {"due within 30 days", "0"},
                                                                   {"never tested", "1"},
                                                                   {"ok", "1"},
                                                                   {"no interval", "0"},
                                                                   {"retired", "1"}}));
    // On time: of A to D (E is retired), only D.
    EXPECT_TRUE(hasLine(summary,
                        "Of the assets with an interval and in the inventory, neither "
                        "overdue, failed nor never tested: 1 of 4 (25.0 %)."));
    const WorkshopTable* byLocation = tableWith(summary, {"Location", "Assets", "On time", "%"});
    ASSERT_NE(byLocation, nullptr);
    EXPECT_EQ(byLocation->rows, (std::vector<std::vector<std::string>>{{"W1", "3", "1", "33.3"},
                                                                       {"W2", "1", "0", "0.0"}}));
    // What needs doing, each by name, linked to its section where it has one.
    const std::vector<std::string> heads = {"Device",   "Asset tag",   "Model",
                                            "Location", "Last tested", "Due"};
    std::vector<std::string> named;
    for (std::size_t i = 0; i + 1 < summary.blocks.size(); ++i)
        if (summary.blocks[i].kind == WorkshopBlock::Kind::Heading &&
            summary.blocks[i + 1].table.heads == heads)
            named.push_back(summary.blocks[i].text + ": " + summary.blocks[i + 1].table.rows[0][0] +
                            " " + summary.blocks[i + 1].table.rowLinks[0]);
    EXPECT_EQ(named, (std::vector<std::string>{"Overdue: B #device-2",
                                               "Failed (not yet repaired): A #device-1",
                                               "Never tested: C "}));
    // A page per device links its page instead of an anchor.
    const WorkshopSection index = model.summary(WorkshopReportModel::Links::PagePerDevice);
    const WorkshopTable* overdue = tableWith(index, heads);
    ASSERT_NE(overdue, nullptr);
    EXPECT_EQ(overdue->rowLinks[0], "device-2.html");
    EXPECT_TRUE(hasLine(summary, "2 pumps failed, 2 failed tests."));
    const WorkshopTable* unknown =
        tableWith(summary, {"Device", "Tests", "Last tested", "Tester", "Note"});
    ASSERT_NE(unknown, nullptr);
    EXPECT_EQ(unknown->rows, (std::vector<std::vector<std::string>>{
                                 {"iv 9", "3", "2026-05-01", "SN1", "looks like IV-9"}}));
    const WorkshopTable* results = tableWith(summary, {"Result", "Tests"});
    ASSERT_NE(results, nullptr);
    EXPECT_EQ(results->rows[0], (std::vector<std::string>{"PASS", "2"}));
    EXPECT_EQ(results->rows[1], (std::vector<std::string>{"FAIL", "2"}));
    const WorkshopTable* flagged = tableWith(summary, {"Device", "Tested", "Received", "Flag"});
    ASSERT_NE(flagged, nullptr);
    EXPECT_EQ(flagged->rows,
              (std::vector<std::vector<std::string>>{
                  {"A", "2026-04-01 10:00", "2026-04-02", "tester SN1 out of calibration"},
                  {"B", "2026-05-03 10:00", "2026-05-03", "tester SN1 out of calibration"},
                  {"B", "2027-09-09 10:00", "2026-05-03",
                   "dated after receipt; tester SN1 out of calibration"}}));
    EXPECT_TRUE(hasLine(summary,
                        "3 tests were made with a tester whose calibration had expired: "
                        "SN1 (3)."));

    // The flow plots' bands, step by step, from the period's first day.
    auto band = [](const WorkshopSection& s) {
        std::vector<std::string> steps;
        for (const WorkshopBlock& b : s.blocks)
            if (b.kind == WorkshopBlock::Kind::Plot && b.plot.valueLabel.rfind("Flow", 0) == 0)
                for (const PlotBand& step : b.plot.band)
                    steps.push_back(isoDateOfDays(static_cast<long long>(step.fromDay)) + " " +
                                    std::to_string(static_cast<int>(*step.low)) + ".." +
                                    std::to_string(static_cast<int>(*step.high)));
        return steps;
    };
    EXPECT_EQ(band(report.sections[1]),
              (std::vector<std::string>{"1925-06-27 -5..5", "2026-03-01 -3..3"}));
    EXPECT_EQ(
        band(report.sections[2]),
        (std::vector<std::string>{"1925-06-27 -5..5", "2026-03-01 -3..3", "2026-05-01 -2..2"}));
    const WorkshopTable* a =
        tableWith(report.sections[1], {"Tested", "Flow (ml/h)", "Set rate", "Error (%)",
                                       "Occlusion (mmHg)", "(user unit)", "Peak time", "Result"});
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->rows[0].back(), "PASS");
    EXPECT_EQ(a->rows[1].back(), "FAIL (flow), tester out of calibration");
}

// The workshop report's pages: each section on a new page under its own
// header, a long table continued with its heads, "page N of M" counted
// before the first page is drawn, and a refused page ending the job.
TEST(WorkshopReport, SectionsTablesAndPageNumbers) {
    WorkshopReport report{"Workshop Report", "12/29/03 18:34:00", {}};
    WorkshopSection summary{"Summary", "summary", {}};
    WorkshopBlock heading;
    heading.kind = WorkshopBlock::Kind::Heading;
    heading.text = "Tests by result";
    summary.blocks.push_back(heading);
    WorkshopBlock tests;
    tests.kind = WorkshopBlock::Kind::Table;
    tests.table.heads = {"Tested", "Result"};
    tests.table.right = {false, false};
    for (int i = 0; i < 150; ++i) tests.table.rows.push_back({"row " + std::to_string(i), "PASS"});
    WorkshopSection device{"Device B", "device-1", {tests}};
    report.sections = {summary, device};

    RecordingCanvas canvas;
    ASSERT_EQ(printWorkshopReport(canvas, report), 0);
    const int pages = static_cast<int>(canvas.pages.size());
    ASSERT_GE(pages, 3);  // the summary, then the table over at least two pages
    auto has = [](const std::vector<std::string>& ops, const std::string& text) {
        return std::any_of(ops.begin(), ops.end(), [&](const std::string& op) {
            return op.size() >= text.size() &&
                   op.compare(op.size() - text.size(), text.size(), text) == 0;
        });
    };
    for (int p = 0; p < pages; ++p) {
        const auto& ops = canvas.pages[p];
        EXPECT_TRUE(has(ops, "page " + std::to_string(p + 1) + " of " + std::to_string(pages)))
            << p;
        EXPECT_TRUE(has(ops, "Data Printed On 12/29/03 18:34:00")) << p;
        EXPECT_EQ(has(ops, " Workshop Report"), p == 0) << p;
        EXPECT_EQ(has(ops, " Workshop Report: Device B"), p > 0) << p;
        // Every page of the device has the table's heads over its rows.
        EXPECT_EQ(has(ops, " Tested"), p > 0) << p;
    }
    EXPECT_FALSE(has(canvas.pages[0], "row 0"));
    EXPECT_TRUE(has(canvas.pages[1], "row 0"));
    EXPECT_TRUE(has(canvas.pages.back(), "row 149"));
    EXPECT_EQ(canvas.ops.back(), "end");

    RecordingCanvas refusing;
    refusing.refuseNewPage = true;
    EXPECT_EQ(printWorkshopReport(refusing, report), -1);
    EXPECT_FALSE(refusing.inProgress());
    // A section that cannot be made (the archive failed while it was read)
    // ends the job too, also when it fails only on the drawing pass.
    int asked = 0;
    const WorkshopSections failing = [&](const auto& each) {
        ++asked;
        return each(summary) && asked < 2 && each(device);
    };
    RecordingCanvas failed;
    EXPECT_EQ(printWorkshopReport(failed, report.title, report.stamp, failing), -1);
    EXPECT_EQ(asked, 2);
    EXPECT_FALSE(failed.inProgress());
}

}  // namespace
