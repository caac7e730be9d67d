#include "workshop/due.h"

#include <algorithm>
#include <set>

#include "records/calendar.h"
#include "workshop/identity.h"
#include "workshop/typed.h"

namespace {

// Days since 1970-01-01 of an ISO date that exists.
std::optional<long long> dayNumber(const std::string& iso) {
    if (!isIsoDate(iso)) return std::nullopt;
    return static_cast<long long>(*daysOfIso(iso));
}

}  // namespace

std::vector<DueEntry> dueList(const std::vector<AssetRow>& rows, const std::string& asOf,
                              long long within, const LastTestOf& lastTest) {
    return dueList(AssetIndex(rows), asOf, within, lastTest);
}

std::vector<DueEntry> dueList(const AssetIndex& list, const std::string& asOf, long long within,
                              const LastTestOf& lastTest) {
    const std::vector<AssetRow>& rows = list.rows();
    const std::optional<long long> today = dayNumber(asOf);
    const std::string date = today ? asOf : std::string();
    within = std::max(within, 0LL);
    struct Placed {
        DueEntry entry;
        int group;  // 0 failed, 1 never tested, 2 with a due date, 3 no interval, 4 retired
        long long dueDay;
    };
    std::vector<Placed> placed;
    std::set<std::string> seen;
    for (const AssetRow& row : rows) {
        const std::string identity = identityText(row.deviceId);
        if (identity.empty() || !seen.insert(identity).second) continue;
        // As of asOf; an asset whose rows all start later, as of its first.
        std::optional<AssetInForce> asset = assetInForce(list, row.deviceId, date);
        if (!asset) {
            std::string first = row.validFrom;
            for (const AssetRow* other : list.ofDevice(identity))
                if (other->validFrom < first) first = other->validFrom;
            asset = assetInForce(list, row.deviceId, first);
        }
        if (!asset) continue;  // not reached: its first row is in force on its own date

        Placed p{DueEntry(), 1, 0};
        DueEntry& e = p.entry;
        e.deviceId = asset->row->deviceId;
        e.model = asset->row->model;
        e.location = asset->row->location;
        e.assetTag = asset->assetTag;
        e.intervalDays = asset->values.intervalDays;
        const std::optional<LastTest> last = lastTest ? lastTest(e.deviceId) : std::nullopt;
        // An ISO date, or the date of an ISO date and time.
        if (last && isIsoDate(last->date.substr(0, 10)) &&
            (last->date.size() == 10 || last->date[10] == 'T'))
            e.lastTested = last->date.substr(0, 10);
        const std::optional<long long> lastDay = dayNumber(e.lastTested);
        if (lastDay && e.intervalDays) {
            p.dueDay = *lastDay + *e.intervalDays;
            e.dueDate = isoDateOfDays(p.dueDay);
        }
        const std::optional<long long> retired = dayNumber(asset->retiredFrom);
        if (retired && today && *retired <= *today) {
            e.status = DueStatus::Retired;
            p.group = 4;
        } else if (!lastDay) {
            e.status = DueStatus::NeverTested;
        } else if (last->failed) {
            // Whatever its dates, the pump needs repair and a test that passes.
            e.status = DueStatus::Failed;
            p.group = 0;
        } else if (!e.intervalDays) {
            e.status = DueStatus::NoInterval;
            p.group = 3;
        } else {
            p.group = 2;
            // Without a date to count from, an asset is never shown as ok.
            e.status = !today                        ? DueStatus::Due
                       : p.dueDay < *today           ? DueStatus::Overdue
                       : p.dueDay <= *today + within ? DueStatus::Due
                                                     : DueStatus::Ok;
        }
        placed.push_back(std::move(p));
    }
    std::stable_sort(placed.begin(), placed.end(), [](const Placed& a, const Placed& b) {
        if (a.group != b.group) return a.group < b.group;
        if (a.dueDay != b.dueDay) return a.dueDay < b.dueDay;
        return a.entry.deviceId < b.entry.deviceId;
    });
    std::vector<DueEntry> entries;
    for (Placed& p : placed) entries.push_back(std::move(p.entry));
    return entries;
}

const char* dueStatusText(DueStatus status) {
    switch (status) {
        case DueStatus::Overdue:
            return "overdue";
        case DueStatus::Due:
            return "due";
        case DueStatus::Ok:
            return "ok";
        case DueStatus::NeverTested:
            return "never tested";
        case DueStatus::NoInterval:
            return "no interval";
        case DueStatus::Failed:
            return "failed";
        case DueStatus::Retired:
            return "retired";
    }
    return "never tested";
}

std::vector<TesterDue> testersDue(const TesterIndex& testers, const std::string& asOf,
                                  long long within) {
    const std::optional<long long> today = dayNumber(asOf);
    std::vector<TesterDue> due;
    std::set<std::string> seen;
    for (const TesterRow& row : testers.rows()) {
        if (!seen.insert(row.serial).second) continue;
        const TesterRow* latest = testers.latest(row.serial);
        TesterDue t{latest->serial, latest->calibratedOn, latest->calibrationDue,
                    latest->certificate, DueStatus::Due};
        const long long dueDay = *dayNumber(t.calibrationDue);
        if (today)
            t.status = dueDay < *today                            ? DueStatus::Overdue
                       : dueDay <= *today + std::max(within, 0LL) ? DueStatus::Due
                                                                  : DueStatus::Ok;
        due.push_back(std::move(t));
    }
    std::stable_sort(due.begin(), due.end(), [](const TesterDue& a, const TesterDue& b) {
        return a.calibrationDue != b.calibrationDue ? a.calibrationDue < b.calibrationDue
                                                    : a.serial < b.serial;
    });
    return due;
}
