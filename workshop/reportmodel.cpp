#include "workshop/reportmodel.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

#include "records/calendar.h"
#include "workshop/identity.h"
#include "workshop/table.h"

namespace {

std::string trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

PlotMark markOf(Criterion c) {
    return c == Criterion::Pass   ? PlotMark::Pass
           : c == Criterion::Fail ? PlotMark::Fail
                                  : PlotMark::Open;
}

std::string failedCriteria(const Verdict& v) {
    std::string text;
    for (const auto& [criterion, name] :
         {std::pair{v.flow, "flow"}, std::pair{v.occlusion, "occlusion"},
          std::pair{v.peakTime, "peak time"}})
        if (criterion == Criterion::Fail) text += (text.empty() ? "" : ", ") + std::string(name);
    return text;
}

std::string resultWords(const Verdict& v) {
    return v.result == VerdictResult::Fail ? std::string("FAIL (") + failedCriteria(v) + ")"
                                           : resultText(v.result);
}

// A device as the report names it: its ID, or that it has none.
std::string shownId(const std::string& id) { return id.empty() ? std::string("(no ID)") : id; }

WorkshopBlock line(std::string text) {
    WorkshopBlock b;
    b.text = std::move(text);
    return b;
}

WorkshopBlock heading(std::string text) {
    WorkshopBlock b = line(std::move(text));
    b.kind = WorkshopBlock::Kind::Heading;
    return b;
}

WorkshopBlock tableBlock(WorkshopTable table) {
    WorkshopBlock b;
    b.kind = WorkshopBlock::Kind::Table;
    b.table = std::move(table);
    return b;
}

std::string decimalText(const std::optional<Decimal>& d) { return d ? d->text() : std::string(); }

// The limits of one set of values, in words.
std::string limitsText(const AssetValues& v) {
    std::vector<std::string> parts;
    if (v.setRate && hasFlowWindow(v))
        parts.push_back(v.flowLowPct && v.flowHighPct
                            ? "flow " + v.flowLowPct->text() + " % to " + v.flowHighPct->text() +
                                  " % of " + v.setRate->text() + " ml/h"
                        : v.flowLowPct ? "flow at least " + v.flowLowPct->text() + " % of " +
                                             v.setRate->text() + " ml/h (no upper limit)"
                                       : "flow at most " + v.flowHighPct->text() + " % of " +
                                             v.setRate->text() + " ml/h (no lower limit)");
    if (v.occlusionMin || v.occlusionMax)
        parts.push_back(v.occlusionMin && v.occlusionMax
                            ? "occlusion " + v.occlusionMin->text() + " to " +
                                  v.occlusionMax->text() + " mmHg"
                        : v.occlusionMin ? "occlusion at least " + v.occlusionMin->text() + " mmHg"
                                         : "occlusion at most " + v.occlusionMax->text() + " mmHg");
    if (v.peakTimeMax) parts.push_back("peak time at most " + v.peakTimeMax->text() + " s");
    std::string text;
    for (const std::string& p : parts) text += (text.empty() ? "" : "; ") + p;
    return text.empty() ? "none" : text;
}

}  // namespace

WorkshopPeriod workshopPeriod(const WorkshopRequest& r) {
    WorkshopPeriod p{r.since, r.until.empty() ? r.asOf : r.until};
    if (p.first.empty()) {
        int y, m, d;
        civilOfDays(static_cast<long long>(*daysOfIso(p.last)), &y, &m, &d);
        if (m == 2 && d == 29) d = 28;
        p.first = isoDateOfDays(daysOfCivil(y - 1, m, d) + 1);
    }
    if (p.first > p.last) p.last = p.first;
    return p;
}

WorkshopReportModel::WorkshopReportModel(WorkshopRequest request, const JudgingList& list,
                                         std::vector<DueEntry> due)
    : request_(std::move(request)), list_(list), period_(workshopPeriod(request_)) {
    for (DueEntry& e : due) due_.emplace(identityText(e.deviceId), std::move(e));
}

void WorkshopReportModel::add(JudgedTest test) {
    Device& d = devices_[identityText(FIELD_TEXT(test.record, deviceID))];
    if (d.tests.empty()) d.id = FIELD_TEXT(test.record, deviceID);
    d.tests.push_back(std::move(test));
    ++count_;
}

std::string WorkshopReportModel::date(const std::string& iso) const {
    const std::optional<double> days = daysOfIso(iso.substr(0, 10));
    if (!days) return iso;
    if (!request_.dateText) return iso.substr(0, 10);
    int y, m, d;
    civilOfDays(static_cast<long long>(*days), &y, &m, &d);
    return request_.dateText(y, m, d);
}

// "10/07/2026 10:00" as the locale writes the date; the date alone when
// the test's time does not read; the texts as they are when its date does
// not read.
std::string WorkshopReportModel::tested(const JudgedTest& t) const {
    if (!t.typed.tested)
        return trimmed(FIELD_TEXT(t.record, testDate) + " " + FIELD_TEXT(t.record, testTime));
    const std::string& tested = *t.typed.tested;
    return date(tested) + (tested.size() > 10 ? " " + tested.substr(11, 5) : std::string());
}

WorkshopReport WorkshopReportModel::build(const std::string& now) const {
    WorkshopReport report;
    report.title = "Workshop Report";
    // When it was made, in the date form of the rest of the report: the
    // locale's date and the time to the minute.
    report.stamp = date(now.substr(0, 10)) + " " + now.substr(11, 5);
    report.sections.push_back(summary());
    int number = 0;
    for (const auto& [key, device] : devices_) report.sections.push_back(section(device, ++number));
    return report;
}

WorkshopSection WorkshopReportModel::summary() const {
    WorkshopSection s;
    s.title = "Summary";
    s.anchor = "summary";
    s.blocks.push_back(line("Archive: " + request_.archive));
    s.blocks.push_back(line(list_.number
                                ? "Asset list: version " + std::to_string(list_.number)
                                : std::string("Asset list: none (no test has a verdict)")));
    s.blocks.push_back(line("Period: " + periodText()));
    std::string filters;
    auto filter = [&](const char* name, const std::string& value) {
        if (!value.empty())
            filters += (filters.empty() ? "" : ", ") + std::string(name) + " " + value;
    };
    filter("device", request_.device);
    filter("tester", request_.tester);
    filter("since", request_.since);
    filter("until", request_.until);
    s.blocks.push_back(line("Filters: " + (filters.empty() ? std::string("none") : filters)));
    if (outside_ > 0)
        s.blocks.push_back(
            line(plural(static_cast<std::size_t>(outside_), "test lies", "tests lie") +
                 " outside the period and " + (outside_ == 1 ? "is" : "are") + " left out."));

    // Counts by result and by model; the failed tests; the tests whose date
    // is doubtful.
    const VerdictResult results[] = {VerdictResult::Pass, VerdictResult::Fail,
                                     VerdictResult::NotAssessed, VerdictResult::Unreadable};
    // By model; nullopt: devices not in the asset list.
    std::map<std::optional<std::string>, std::array<std::size_t, 4>> byModel;
    std::array<std::size_t, 4> total{};
    WorkshopTable failed{{"Device", "Model", "Location", "Tested", "Failed"}, {}, {}, {}};
    WorkshopTable doubtful{{"Device", "Tested", "Received", "Date"}, {}, {}, {}};
    WorkshopTable devices{{"Device", "Model", "Location", "Tests", "FAIL"},
                          {false, false, false, true, true},
                          {},
                          {}};
    for (const auto& [key, d] : devices_) {
        std::size_t fails = 0;
        std::string model, location;
        for (const JudgedTest& t : d.tests) {
            const AssetRow* row = t.verdict.asset ? t.verdict.asset->row : nullptr;
            model = row ? row->model : model;
            location = row ? row->location : location;
            const auto k = static_cast<std::size_t>(t.verdict.result);
            ++total[k];
            ++byModel[row ? std::optional<std::string>(row->model) : std::nullopt][k];
            if (t.verdict.result == VerdictResult::Fail) {
                ++fails;
                failed.rows.push_back({shownId(d.id), row ? row->model : "",
                                       row ? row->location : "", tested(t),
                                       failedCriteria(t.verdict)});
            }
            if (t.date != DateCheck::Ok)
                doubtful.rows.push_back(
                    {shownId(d.id), tested(t), date(t.received),
                     t.date == DateCheck::AfterReceipt ? "dated after receipt" : "does not read"});
        }
        devices.rows.push_back({shownId(d.id), model, location, std::to_string(d.tests.size()),
                                std::to_string(fails)});
        devices.rowLinks.push_back("device-" + std::to_string(devices.rows.size()));
    }
    s.blocks.push_back(heading("Tests by result"));
    WorkshopTable byResult{{"Result", "Tests"}, {false, true}, {}, {}};
    for (VerdictResult r : results)
        byResult.rows.push_back(
            {resultText(r), std::to_string(total[static_cast<std::size_t>(r)])});
    byResult.rows.push_back({"Total", std::to_string(count_)});
    s.blocks.push_back(tableBlock(std::move(byResult)));

    s.blocks.push_back(heading("Tests by model"));
    WorkshopTable models{{"Model", "Tests", "PASS", "FAIL", "NOT ASSESSED", "UNREADABLE"},
                         {false, true, true, true, true, true},
                         {},
                         {}};
    for (const auto& [model, counts] : byModel) {
        std::size_t sum = 0;
        for (std::size_t c : counts) sum += c;
        models.rows.push_back({!model           ? std::string("(not in the asset list)")
                               : model->empty() ? std::string("(no model)")
                                                : *model,
                               std::to_string(sum), std::to_string(counts[0]),
                               std::to_string(counts[1]), std::to_string(counts[2]),
                               std::to_string(counts[3])});
    }
    s.blocks.push_back(tableBlock(std::move(models)));

    s.blocks.push_back(heading("Pumps with a FAIL"));
    if (failed.rows.empty())
        s.blocks.push_back(line("No test failed in the period."));
    else
        s.blocks.push_back(tableBlock(std::move(failed)));

    if (!doubtful.rows.empty()) {
        // Their verdicts stand, but none of them counts as a last test.
        s.blocks.push_back(heading("Tests with a doubtful date"));
        s.blocks.push_back(
            line("A test dated more than a day after the archive received it (a tester's clock set "
                 "ahead), or whose date does not read, keeps its verdict but never counts as a "
                 "pump's last test."));
        s.blocks.push_back(tableBlock(std::move(doubtful)));
    }

    // The due list's counts, as of --as-of (today by default).
    s.blocks.push_back(heading("Planned maintenance as of " + date(request_.asOf)));
    if (list_.number == 0) {
        s.blocks.push_back(line("No asset list: nothing is due."));
    } else {
        std::map<DueStatus, std::size_t> due;
        for (const auto& [key, e] : due_)
            if (request_.device.empty() || key == identityText(request_.device)) ++due[e.status];
        WorkshopTable table{{"Assets", "Count"}, {false, true}, {}, {}};
        for (DueStatus st : {DueStatus::Failed, DueStatus::Overdue, DueStatus::Due,
                             DueStatus::NeverTested, DueStatus::Ok, DueStatus::NoInterval})
            table.rows.push_back({dueStatusText(st), std::to_string(due[st])});
        s.blocks.push_back(tableBlock(std::move(table)));
    }
    s.blocks.push_back(heading("Devices"));
    s.blocks.push_back(tableBlock(std::move(devices)));
    return s;
}

// The band's steps: the limits in force from the period's first day, and
// again from each valid_from of the device's rows and its models' rows.
std::vector<PlotBand> WorkshopReportModel::band(const std::string& deviceId, bool flow,
                                                bool errorPercent) const {
    if (flow && !errorPercent) return {};
    const AssetIndex& list = list_.assets;
    const std::string key = identityText(deviceId);
    std::vector<std::string> dates{period_.first};
    std::vector<const AssetRow*> rows = list.ofDevice(key);
    for (const AssetRow* own : list.ofDevice(key))
        for (const AssetRow* model : list.ofModel(own->model)) rows.push_back(model);
    for (const AssetRow* r : rows)
        if (!r->validFrom.empty() && r->validFrom > dates.front()) dates.push_back(r->validFrom);
    std::sort(dates.begin() + 1, dates.end());
    dates.erase(std::unique(dates.begin(), dates.end()), dates.end());

    std::vector<PlotBand> steps;
    bool any = false;
    for (const std::string& date : dates) {
        PlotBand b;
        b.fromDay = steps.empty() ? *daysOfIso(period_.first) - 36500 : *daysOfIso(date);
        if (const auto inForce = assetInForce(list, deviceId, date)) {
            const AssetValues& v = inForce->values;
            if (flow && v.setRate && hasFlowWindow(v)) {
                if (v.flowLowPct) b.low = v.flowLowPct->toDouble();
                if (v.flowHighPct) b.high = v.flowHighPct->toDouble();
            } else if (!flow) {
                if (v.occlusionMin) b.low = v.occlusionMin->toDouble();
                if (v.occlusionMax) b.high = v.occlusionMax->toDouble();
            }
        }
        any = any || b.low || b.high;
        steps.push_back(b);
    }
    return any ? steps : std::vector<PlotBand>{};
}

Plot WorkshopReportModel::plot(const Device& d, bool flow) const {
    Plot p;
    p.firstDay = *daysOfIso(period_.first);
    p.lastDay = *daysOfIso(period_.last) + 1;  // to the end of its last day
    p.timeLabel = "Test date";
    p.dateText = request_.dateText;
    // Flow as its error from the set rate where the list gives a set rate,
    // else as measured.
    bool errorPercent = false;
    for (const JudgedTest& t : d.tests) errorPercent = errorPercent || t.verdict.flowErrorPercent;
    p.valueLabel = !flow          ? "Peak occlusion pressure (mmHg)"
                   : errorPercent ? "Flow error (% of the set rate)"
                                  : "Flow (ml/h), no set rate in the asset list";
    for (const JudgedTest& t : d.tests) {
        std::optional<double> value;
        if (!flow)
            value = t.typed.pressureMmHg;
        else if (errorPercent && t.verdict.flowErrorPercent)
            value = t.verdict.flowErrorPercent->toDouble();
        else if (!errorPercent)
            value = t.typed.flow;
        const std::optional<double> day =
            t.typed.tested ? daysOfIso(*t.typed.tested) : std::nullopt;
        if (!value || !day) continue;
        p.points.push_back({*day, *value, markOf(flow ? t.verdict.flow : t.verdict.occlusion)});
    }
    p.band = band(d.id, flow, errorPercent);
    return p;
}

WorkshopSection WorkshopReportModel::section(const Device& d, int number) const {
    WorkshopSection s;
    s.title = "Device " + shownId(d.id);
    s.anchor = "device-" + std::to_string(number);
    const std::optional<AssetInForce> now = assetInForce(list_.assets, d.id, request_.asOf);
    // The due list's entry says when it was last tested and when it is due;
    // a device not in the list was last tested in the tests shown (of those
    // dated on or before --as-of, and not after their receipt).
    const auto due = due_.find(identityText(d.id));
    std::string lastTested = due != due_.end() ? due->second.lastTested : std::string();
    if (due == due_.end())
        for (const JudgedTest& t : d.tests)
            if (t.typed.tested && t.date == DateCheck::Ok &&
                t.typed.tested->substr(0, 10) <= request_.asOf &&
                t.typed.tested->substr(0, 10) > lastTested)
                lastTested = t.typed.tested->substr(0, 10);
    const std::string last =
        "Last tested: " + (lastTested.empty() ? std::string("never") : date(lastTested));
    if (now) {
        s.blocks.push_back(line(
            "Model: " + now->row->model + "    Location: " + now->row->location + "    Set rate: " +
            (now->values.setRate ? now->values.setRate->text() + " ml/h" : std::string("none"))));
        s.blocks.push_back(
            line("Limits in force on " + date(request_.asOf) + ": " + limitsText(now->values)));
    } else {
        s.blocks.push_back(line(
            "Not in the asset list" +
            (list_.number ? " (version " + std::to_string(list_.number) + ")" : std::string()) +
            ": no limits, no due date."));
    }
    if (due != due_.end())
        s.blocks.push_back(line(
            last + "    Due: " +
            (due->second.dueDate.empty()
                 ? std::string(dueStatusText(due->second.status))
                 : date(due->second.dueDate) + " (" + dueStatusText(due->second.status) + ")")));
    else
        s.blocks.push_back(line(last));
    for (bool flow : {true, false}) {
        WorkshopBlock b;
        b.kind = WorkshopBlock::Kind::Plot;
        b.plot = plot(d, flow);
        const std::size_t unplotted = d.tests.size() - b.plot.points.size();
        s.blocks.push_back(std::move(b));
        if (unplotted > 0)
            s.blocks.push_back(line(plural(unplotted, "test has", "tests have") +
                                    " no value to plot here; the table shows " +
                                    (unplotted == 1 ? "it." : "them.")));
    }
    WorkshopTable table{{"Tested", "Flow (ml/h)", "Set rate", "Error (%)", "Occlusion (mmHg)",
                         "(user unit)", "Peak time", "Result"},
                        {false, true, true, true, true, true, true, false},
                        {},
                        {}};
    for (const JudgedTest& t : d.tests) {
        const TestRecord& r = t.record;
        const AssetValues none;
        const AssetValues& v = t.verdict.asset ? t.verdict.asset->values : none;
        table.rows.push_back(
            {tested(t), trimmed(FIELD_TEXT(r, flow)), decimalText(v.setRate),
             t.verdict.flowErrorPercent ? fixed(t.verdict.flowErrorPercent->toDouble(), 2) : "",
             trimmed(FIELD_TEXT(r, pressureMMHG)),
             trimmed(FIELD_TEXT(r, pressureUser)) + " " + unitName(r.pressureUnits),
             trimmed(FIELD_TEXT(r, peakPressureTime)),
             resultWords(t.verdict) +
                 (t.date == DateCheck::AfterReceipt ? ", dated after receipt" : "")});
    }
    s.blocks.push_back(heading("Tests"));
    s.blocks.push_back(tableBlock(std::move(table)));
    return s;
}
