#pragma once
// The list of assets due for planned maintenance, as of a day.  Plain C++.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "workshop/assetlist.h"
#include "workshop/testerlist.h"

// The due list: each asset (device row) of the list with its last test, its
// interval and due date, as of a date.
enum class DueStatus { Overdue, Due, Ok, NeverTested, NoInterval, Failed, Retired };
struct DueEntry {
    std::string deviceId, model, location;
    std::string assetTag;
    std::string lastTested;  // ISO date of its last test; empty: never tested
    std::optional<long long> intervalDays;
    std::string dueDate;  // ISO date; empty without a last test or interval
    DueStatus status = DueStatus::NeverTested;
};
// An asset's last test: its date (ISO date, or date and time) and whether
// it failed (FAIL or UNREADABLE).  Only tests dated on or before the day
// the list is made as of, and not after their receipt, count.
struct LastTest {
    std::string date;
    bool failed = false;
};
using LastTestOf = std::function<std::optional<LastTest>(const std::string& deviceId)>;
// Retired: out of the inventory from its retired_from on, whatever else.
// Failed: the last test failed, whatever the dates (it needs repair and a
// test that passes).  Due: due within `within` days of asOf (inclusive);
// overdue: due before asOf.  Sorted: failed first, then never tested, then
// by due date, then by device ID; the retired last.
std::vector<DueEntry> dueList(const AssetIndex& list, const std::string& asOf, long long within,
                              const LastTestOf& lastTest);
std::vector<DueEntry> dueList(const std::vector<AssetRow>& rows, const std::string& asOf,
                              long long within, const LastTestOf& lastTest);
// "overdue", "due", "ok", "never tested", "no interval", "failed", "retired"
const char* dueStatusText(DueStatus status);

// A tester whose calibration is due: its latest calibration, due on its
// calibration_due; overdue before asOf, due within `within` days of it,
// else ok.  Sorted by due date, then serial number.
struct TesterDue {
    std::string serial, calibratedOn, calibrationDue, certificate;
    DueStatus status = DueStatus::Ok;
};
std::vector<TesterDue> testersDue(const TesterIndex& testers, const std::string& asOf,
                                  long long within);
