// The workshop report's summary: the counts, the failures, the flagged
// tests, the planned maintenance, and the tables of what needs doing, each
// left out when empty.

#include <array>
#include <cstdio>

#include "workshop/identity.h"
#include "workshop/reportmodel.h"
#include "workshop/table.h"

namespace {

WorkshopTable table(std::vector<std::string> heads, std::vector<bool> right = {},
                    std::vector<bool> whole = {}) {
    return WorkshopTable::of(std::move(heads), std::move(right), std::move(whole));
}

// The columns of the tables that name assets: the device and the dates are
// never cut.
const std::vector<bool> kAssetWhole = {true, false, false, false, true, true};

// "90.5", part of whole in per cent to a tenth.
std::string percent(std::size_t part, std::size_t whole) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f",
                  whole ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0.0);
    return text;
}

}  // namespace

WorkshopSection WorkshopReportModel::summary(Links links) const {
    WorkshopSection s;
    s.title = "Summary";
    s.anchor = "summary";
    s.blocks.push_back(WorkshopBlock::line("Archive: " + request_.archive));
    s.blocks.push_back(WorkshopBlock::line(
        list_.number ? "Asset list: version " + std::to_string(list_.number)
                     : std::string("Asset list: none (no test has a verdict)")));
    if (list_.testerList)
        s.blocks.push_back(
            WorkshopBlock::line("Tester list: version " + std::to_string(list_.testerList)));
    s.blocks.push_back(WorkshopBlock::line("Period: " + periodText()));
    std::string filters;
    auto filter = [&](const char* name, const std::string& value) {
        if (!value.empty())
            filters += (filters.empty() ? "" : ", ") + std::string(name) + " " + value;
    };
    filter("device", request_.device);
    filter("tester", request_.tester);
    filter("since", request_.since);
    filter("until", request_.until);
    s.blocks.push_back(
        WorkshopBlock::line("Filters: " + (filters.empty() ? std::string("none") : filters)));
    if (outside_ > 0)
        s.blocks.push_back(WorkshopBlock::line(
            plural(static_cast<std::size_t>(outside_), "test lies", "tests lie") +
            " outside the period and " + (outside_ == 1 ? "is" : "are") + " left out."));
    testCounts(&s);
    failures(&s);
    flagged(&s);
    maintenance(&s);
    const std::map<std::string, std::string> sections = this->links(links);
    needsDoing(&s, sections);
    unknownDevices(&s, sections);
    deviceList(&s, sections);
    return s;
}

void WorkshopReportModel::testCounts(WorkshopSection* s) const {
    const VerdictResult results[] = {VerdictResult::Pass, VerdictResult::Fail,
                                     VerdictResult::NotAssessed, VerdictResult::Unreadable};
    s->blocks.push_back(WorkshopBlock::heading("Tests by result"));
    WorkshopTable byResult = table({"Result", "Tests"}, {false, true});
    for (VerdictResult r : results)
        byResult.rows.push_back(
            {resultText(r), std::to_string(byResult_[static_cast<std::size_t>(r)])});
    byResult.rows.push_back({"Total", std::to_string(count_)});
    s->blocks.push_back(WorkshopBlock::of(std::move(byResult)));

    s->blocks.push_back(WorkshopBlock::heading("Tests by model"));
    WorkshopTable models = table({"Model", "Tests", "PASS", "FAIL", "NOT ASSESSED", "UNREADABLE"},
                                 {false, true, true, true, true, true});
    for (const auto& [model, counts] : byModel_) {
        std::size_t sum = 0;
        for (std::size_t c : counts) sum += c;
        models.rows.push_back({!model           ? std::string("(not in the asset list)")
                               : model->empty() ? std::string("(no model)")
                                                : *model,
                               std::to_string(sum), std::to_string(counts[0]),
                               std::to_string(counts[1]), std::to_string(counts[2]),
                               std::to_string(counts[3])});
    }
    s->blocks.push_back(WorkshopBlock::of(std::move(models)));
}

void WorkshopReportModel::failures(WorkshopSection* s) const {
    WorkshopTable failed = table({"Device", "Model", "Location", "Tested", "Failed"}, {},
                                 {true, false, false, true, true});
    std::size_t pumps = 0;
    for (const auto& [key, d] : devices_) {
        failed.rows.insert(failed.rows.end(), d.failed.begin(), d.failed.end());
        pumps += d.fails > 0 ? 1 : 0;
    }
    s->blocks.push_back(WorkshopBlock::heading("Pumps with a FAIL", "failures"));
    if (failed.rows.empty()) {
        s->blocks.push_back(WorkshopBlock::line("No test failed in the period."));
        return;
    }
    s->blocks.push_back(
        WorkshopBlock::line(plural(pumps, "pump", "pumps") + " failed, " +
                            plural(failed.rows.size(), "failed test", "failed tests") + "."));
    s->blocks.push_back(WorkshopBlock::of(std::move(failed)));
}

void WorkshopReportModel::flagged(WorkshopSection* s) const {
    WorkshopTable flags =
        table({"Device", "Tested", "Received", "Flag"}, {}, {true, true, true, false});
    for (const auto& [key, d] : devices_)
        flags.rows.insert(flags.rows.end(), d.flagged.begin(), d.flagged.end());
    const std::map<std::string, std::size_t>& expired = expired_;
    if (flags.rows.empty()) return;
    // Their verdicts stand, but none of the doubtful dates counts as a last
    // test, and a tester out of calibration leaves every result in doubt.
    s->blocks.push_back(WorkshopBlock::heading("Tests flagged", "flagged"));
    s->blocks.push_back(WorkshopBlock::line(
        "A test dated more than a day after the archive received it (a tester's clock set "
        "ahead), or whose date does not read, keeps its verdict but never counts as a pump's "
        "last test.  A test after its pump's retirement, or made with a tester out of "
        "calibration, keeps its verdict too."));
    if (!expired.empty()) {
        std::size_t tests = 0;
        std::string testers;
        for (const auto& [serial, n] : expired) {
            tests += n;
            testers += (testers.empty() ? "" : ", ") + serial + " (" + std::to_string(n) + ")";
        }
        s->blocks.push_back(WorkshopBlock::line(
            plural(tests, "test was", "tests were") +
            " made with a tester whose calibration had expired: " + testers + "."));
    }
    s->blocks.push_back(WorkshopBlock::of(std::move(flags)));
}

std::vector<const DueEntry*> WorkshopReportModel::dueEntries() const {
    std::vector<const DueEntry*> entries;
    for (const auto& [key, e] : due_)
        if (request_.device.empty() || key == identityText(request_.device)) entries.push_back(&e);
    std::stable_sort(entries.begin(), entries.end(), [](const DueEntry* a, const DueEntry* b) {
        return a->dueDate != b->dueDate ? a->dueDate < b->dueDate : a->deviceId < b->deviceId;
    });
    return entries;
}

std::map<std::string, std::string> WorkshopReportModel::links(Links links) const {
    std::map<std::string, std::string> out;
    int number = 0;
    for (const auto& [key, device] : devices_) {
        const std::string name = "device-" + std::to_string(++number);
        out.emplace(key, links == Links::OnePage ? "#" + name : name + ".html");
    }
    return out;
}

void WorkshopReportModel::maintenance(WorkshopSection* s) const {
    s->blocks.push_back(WorkshopBlock::heading("Planned maintenance as of " + date(request_.asOf)));
    if (list_.number == 0) {
        s->blocks.push_back(WorkshopBlock::line("No asset list: nothing is due."));
        return;
    }
    std::map<DueStatus, std::size_t> counts;
    // On time: of the assets with an interval and in the inventory, those
    // neither overdue, failed nor never tested; overall, by model and by
    // location.
    struct OnTime {
        std::size_t assets = 0, onTime = 0;
    };
    OnTime all;
    std::map<std::string, OnTime> byModel, byLocation;
    for (const DueEntry* e : dueEntries()) {
        ++counts[e->status];
        if (!e->intervalDays || e->status == DueStatus::Retired) continue;
        const bool onTime = e->status == DueStatus::Ok || e->status == DueStatus::Due;
        for (OnTime* o : {&all, &byModel[e->model], &byLocation[e->location]}) {
            ++o->assets;
            o->onTime += onTime ? 1 : 0;
        }
    }
    WorkshopTable table = WorkshopTable::of({"Assets", "Count"}, {false, true});
    for (DueStatus st :
         {DueStatus::Failed, DueStatus::Overdue, DueStatus::Due, DueStatus::NeverTested,
          DueStatus::Ok, DueStatus::NoInterval, DueStatus::Retired})
        table.rows.push_back({st == DueStatus::Due
                                  ? "due within " + std::to_string(request_.within) + " days"
                                  : std::string(dueStatusText(st)),
                              std::to_string(counts[st])});
    s->blocks.push_back(WorkshopBlock::of(std::move(table)));
    s->blocks.push_back(WorkshopBlock::heading("Planned maintenance on time", "on-time"));
    s->blocks.push_back(WorkshopBlock::line(
        "Of the assets with an interval and in the inventory, neither overdue, failed nor never "
        "tested: " +
        std::to_string(all.onTime) + " of " + std::to_string(all.assets) + " (" +
        percent(all.onTime, all.assets) + " %)."));
    for (const auto& [by, groups] :
         {std::pair{"Model", &byModel}, std::pair{"Location", &byLocation}}) {
        if (groups->empty()) continue;
        WorkshopTable t = WorkshopTable::of({by, "Assets", "On time", "%"}, {false, true, true, true});
        for (const auto& [name, o] : *groups)
            t.rows.push_back({name.empty() ? "(none)" : name, std::to_string(o.assets),
                              std::to_string(o.onTime), percent(o.onTime, o.assets)});
        s->blocks.push_back(WorkshopBlock::of(std::move(t)));
    }
}

void WorkshopReportModel::needsDoing(WorkshopSection* s,
                                     const std::map<std::string, std::string>& sections) const {
    if (list_.number == 0) return;
    const std::string dueTitle = "Due within " + std::to_string(request_.within) + " days";
    const struct {
        DueStatus status;
        const char* title;
        const char* anchor;
    } kinds[] = {{DueStatus::Overdue, "Overdue", "overdue"},
                 {DueStatus::Failed, "Failed (not yet repaired)", "failed"},
                 {DueStatus::Due, dueTitle.c_str(), "due"},
                 {DueStatus::NeverTested, "Never tested", "never-tested"}};
    const std::vector<const DueEntry*> entries = dueEntries();
    auto anchorOf = [&](const std::string& id) {
        const auto it = sections.find(identityText(id));
        return it == sections.end() ? std::string() : it->second;
    };
    for (const auto& kind : kinds) {
        WorkshopTable t = table({"Device", "Asset tag", "Model", "Location", "Last tested", "Due"},
                                {}, kAssetWhole);
        for (const DueEntry* e : entries) {
            if (e->status != kind.status) continue;
            t.rows.push_back({shownId(e->deviceId), e->assetTag, e->model, e->location,
                              e->lastTested.empty() ? "never" : date(e->lastTested),
                              e->dueDate.empty() ? "" : date(e->dueDate)});
            t.rowLinks.push_back(anchorOf(e->deviceId));
        }
        if (t.rows.empty()) continue;
        s->blocks.push_back(WorkshopBlock::heading(kind.title, kind.anchor));
        s->blocks.push_back(WorkshopBlock::of(std::move(t)));
    }
}

void WorkshopReportModel::unknownDevices(
    WorkshopSection* s, const std::map<std::string, std::string>& sections) const {
    if (unknown_.empty()) return;
    WorkshopTable t = table({"Device", "Tests", "Last tested", "Tester", "Note"},
                            {false, true, false, false, false}, {true, true, true, true, false});
    for (const UnknownDevice& u : unknown_) {
        t.rows.push_back({shownId(u.deviceId), std::to_string(u.tests),
                          u.lastTested.empty() ? "" : date(u.lastTested), u.tester,
                          u.looksLike.empty() ? "" : "looks like " + u.looksLike});
        const auto it = sections.find(identityText(u.deviceId));
        t.rowLinks.push_back(it == sections.end() ? std::string() : it->second);
    }
    s->blocks.push_back(
        WorkshopBlock::heading("Tests of devices not in the asset list", "unknown"));
    s->blocks.push_back(WorkshopBlock::of(std::move(t)));
}

void WorkshopReportModel::deviceList(WorkshopSection* s,
                                     const std::map<std::string, std::string>& sections) const {
    WorkshopTable devices =
        table({"Device", "Model", "Location", "Tests", "FAIL"}, {false, false, false, true, true},
              {true, false, false, true, true});
    for (const auto& [key, d] : devices_) {
        devices.rows.push_back({shownId(d.id), d.model, d.location, std::to_string(d.tests),
                                std::to_string(d.fails)});
        devices.rowLinks.push_back(sections.at(key));
    }
    s->blocks.push_back(WorkshopBlock::heading("Devices"));
    s->blocks.push_back(WorkshopBlock::of(std::move(devices)));
}
