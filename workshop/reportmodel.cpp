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

WorkshopBlock line(std::string text) { return WorkshopBlock::line(std::move(text)); }
WorkshopBlock heading(std::string text) { return WorkshopBlock::heading(std::move(text)); }
WorkshopBlock tableBlock(WorkshopTable table) { return WorkshopBlock::of(std::move(table)); }

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

void WorkshopReportModel::add(const JudgedTest& t) {
    Device& d = devices_[identityText(FIELD_TEXT(t.record, deviceID))];
    if (d.tests++ == 0) d.id = FIELD_TEXT(t.record, deviceID);
    ++count_;
    const AssetRow* row = t.verdict.asset ? t.verdict.asset->row : nullptr;
    if (row) d.model = row->model, d.location = row->location;
    const auto k = static_cast<std::size_t>(t.verdict.result);
    ++byResult_[k];
    ++byModel_[row ? std::optional<std::string>(row->model) : std::nullopt][k];
    if (t.verdict.result == VerdictResult::Fail) {
        ++d.fails;
        d.failed.push_back({shownId(d.id), row ? row->model : "", row ? row->location : "",
                            tested(t), failedCriteria(t.verdict)});
    }
    // Why a test is flagged, in words.
    std::string why;
    auto flag = [&](const std::string& text) { why += (why.empty() ? "" : "; ") + text; };
    if (t.date == DateCheck::AfterReceipt) flag("dated after receipt");
    if (t.date == DateCheck::Unreadable) flag("date does not read");
    if (t.afterRetirement) flag("after retirement");
    if (t.calibration == Calibration::Expired) {
        flag("tester " + t.tester + " out of calibration");
        ++expired_[t.tester];
    }
    if (!why.empty()) d.flagged.push_back({shownId(d.id), tested(t), date(t.received), why});
}

std::vector<WorkshopReportModel::DeviceEntry> WorkshopReportModel::devices() const {
    std::vector<DeviceEntry> entries;
    for (const auto& [key, d] : devices_) entries.push_back({key, d.id});
    return entries;
}

std::string WorkshopReportModel::stamp(const std::string& now) const {
    // When it was made, in the date form of the rest of the report: the
    // locale's date and the time to the minute.
    return date(now.substr(0, 10)) + " " + now.substr(11, 5);
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

WorkshopReport WorkshopReportModel::build(
    const std::string& now,
    const std::function<std::vector<JudgedTest>(const DeviceEntry&)>& testsOf) const {
    WorkshopReport report;
    report.title = title();
    report.stamp = stamp(now);
    report.sections.push_back(summary());
    std::size_t number = 0;
    for (const DeviceEntry& device : devices())
        report.sections.push_back(section(++number, testsOf(device)));
    return report;
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

Plot WorkshopReportModel::plot(const std::vector<JudgedTest>& tests, const std::string& id,
                               bool flow) const {
    Plot p;
    p.firstDay = *daysOfIso(period_.first);
    p.lastDay = *daysOfIso(period_.last) + 1;  // to the end of its last day
    p.timeLabel = "Test date";
    p.dateText = request_.dateText;
    // Flow as its error from the set rate where the list gives a set rate,
    // else as measured.
    bool errorPercent = false;
    for (const JudgedTest& t : tests) errorPercent = errorPercent || t.verdict.flowErrorPercent;
    p.valueLabel = !flow          ? "Peak occlusion pressure (mmHg)"
                   : errorPercent ? "Flow error (% of the set rate)"
                                  : "Flow (ml/h), no set rate in the asset list";
    for (const JudgedTest& t : tests) {
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
    p.band = band(id, flow, errorPercent);
    return p;
}

WorkshopSection WorkshopReportModel::section(std::size_t number,
                                             const std::vector<JudgedTest>& tests) const {
    WorkshopSection s;
    const std::string id = tests.empty() ? std::string() : FIELD_TEXT(tests.front().record, deviceID);
    s.title = "Device " + shownId(id);
    s.anchor = "device-" + std::to_string(number);
    const std::optional<AssetInForce> now = assetInForce(list_.assets, id, request_.asOf);
    // The due list's entry says when it was last tested and when it is due;
    // a device not in the list was last tested in the tests shown (of those
    // dated on or before --as-of, and not after their receipt).
    const auto due = due_.find(identityText(id));
    std::string lastTested = due != due_.end() ? due->second.lastTested : std::string();
    if (due == due_.end())
        for (const JudgedTest& t : tests)
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
        b.plot = plot(tests, id, flow);
        const std::size_t unplotted = tests.size() - b.plot.points.size();
        s.blocks.push_back(std::move(b));
        if (unplotted > 0)
            s.blocks.push_back(line(plural(unplotted, "test has", "tests have") +
                                    " no value to plot here; the table shows " +
                                    (unplotted == 1 ? "it." : "them.")));
    }
    WorkshopTable table = WorkshopTable::of(
        {"Tested", "Flow (ml/h)", "Set rate", "Error (%)", "Occlusion (mmHg)", "(user unit)",
         "Peak time", "Result"},
        {false, true, true, true, true, true, true, false},
        {true, false, false, false, false, false, false, true});
    for (const JudgedTest& t : tests) {
        const TestRecord& r = t.record;
        const AssetValues none;
        const AssetValues& v = t.verdict.asset ? t.verdict.asset->values : none;
        table.rows.push_back(
            {tested(t), trimmed(FIELD_TEXT(r, flow)), decimalText(v.setRate),
             t.verdict.flowErrorPercent ? fixed(t.verdict.flowErrorPercent->toDouble(), 2) : "",
             trimmed(FIELD_TEXT(r, pressureMMHG)),
             trimmed(FIELD_TEXT(r, pressureUser)) + " " + unitName(r.pressureUnits),
             trimmed(FIELD_TEXT(r, peakPressureTime)),
             verdictWords(t.verdict) +
                 (t.date == DateCheck::AfterReceipt ? ", dated after receipt" : "") +
                 (t.afterRetirement ? ", after retirement" : "") +
                 (t.calibration == Calibration::Expired ? ", tester out of calibration" : "")});
    }
    s.blocks.push_back(heading("Tests"));
    s.blocks.push_back(tableBlock(std::move(table)));
    return s;
}
