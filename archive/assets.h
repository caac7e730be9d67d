#pragma once
// The workshop's asset list, the verdicts it gives a record, and the list of
// assets due for planned maintenance.  Plain C++ (no database): the archive
// keeps the list's versions (archive.h), lumkest-cli's assets, history and
// due commands write what these functions decide.
//
// The tester does not know the rate a pump was set to, so a verdict needs
// the asset list: per device ID (as keyed into the tester) the rate the
// workshop's procedure sets and the limits its results must keep, or per
// model the values every asset of that model takes where it leaves its own
// empty.  A pump whose limits change gets a second row with a later
// valid_from, so older tests keep the limits they were tested against.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "records/testrecord.h"

// A decimal number exactly as written ("105.000", "-10", "0.5"), so that a
// value on a limit compares as on it, without binary rounding.  Nine
// decimal places at most.
class Decimal {
public:
    // Digits with at most one point, an optional leading minus; spaces at
    // either end ignored.  nullopt for anything else.
    static std::optional<Decimal> parse(const std::string& text);
    static Decimal fromInteger(long long value);

    std::string text() const;  // shortest form: "105", "-2.5", "0.001"
    double toDouble() const;
    friend bool operator<(const Decimal& a, const Decimal& b) { return a.units_ < b.units_; }
    friend bool operator<=(const Decimal& a, const Decimal& b) { return a.units_ <= b.units_; }
    friend bool operator==(const Decimal& a, const Decimal& b) { return a.units_ == b.units_; }

    // units of 10^-9
    explicit Decimal(__int128 units = 0) : units_(units) {}
    __int128 units() const { return units_; }

private:
    __int128 units_;
};

// The values of one row of the list; empty where the file left them empty.
struct AssetValues {
    std::optional<Decimal> setRate;                     // set_rate_ml_h
    std::optional<Decimal> flowLowPct, flowHighPct;     // flow_low_pct, flow_high_pct
    std::optional<Decimal> occlusionMin, occlusionMax;  // occlusion_min_mmhg, _max_mmhg
    std::optional<Decimal> peakTimeMax;                 // peak_time_max_s
    std::optional<long long> intervalDays;              // interval_days
};

struct AssetRow {
    int line = 0;          // in the file it came from (the header is line 1)
    std::string deviceId;  // as keyed into the tester; empty on a model row
    std::string model;
    std::string location;
    AssetValues values;
    std::string validFrom;  // ISO date, or empty: from the beginning
};

// The file's columns, in the order assets --csv writes them.
extern const char* const kAssetColumns[11];

// Reads an asset list: CSV with RFC 4180 quoting, UTF-8 or else Latin-1
// (stored as Latin-1 bytes, as the archive keeps the tester's texts), one
// header row naming its columns in any order and any case (unknown columns
// ignored; device_id or model must be there).  False with one line in *why
// naming the line and the column ("line 7, column flow_low_pct: ...") for a
// file that cannot be taken whole: a number that is none, a window whose
// low end is above its high end, an interval that is no whole number of
// days above 0, a valid_from that is no date, a row with neither device ID
// nor model, two rows for one device (by the identity's comma rule) or one
// model with one valid_from.
bool readAssetList(const std::string& bytes, std::vector<AssetRow>* rows, std::string* why);

// The list as assets writes it: CSV (kAssetColumns, RFC 4180, CR LF, texts
// in UTF-8) and an aligned text table (LF, the texts' own bytes).
std::string assetListCsv(const std::vector<AssetRow>& rows);
std::string assetListText(const std::vector<AssetRow>& rows);

// The limits in force for a device on a date: of its own rows (device ID
// compared by the identity's comma rule) the one with the latest valid_from
// on or before the date (or the one without valid_from), each of its empty
// values taken from its model's row in force on that date.  nullopt when
// the device is not in the list.  date: ISO date, or empty when the test
// date does not read (then the rows without valid_from).
struct AssetInForce {
    const AssetRow* row = nullptr;  // the device's own row
    AssetValues values;             // its values over its model's
};

// The list's rows found by device (the identity rule) and by model, for
// judging many records: made once per list.
class AssetIndex {
public:
    explicit AssetIndex(std::vector<AssetRow> rows = {});
    const std::vector<AssetRow>& rows() const { return rows_; }
    // The rows of a device (an identityText) or of a model (its model rows).
    std::vector<const AssetRow*> ofDevice(const std::string& identity) const;
    std::vector<const AssetRow*> ofModel(const std::string& model) const;
    // Of those, the one in force on date: the latest valid_from on or
    // before it, or else the one without valid_from; nullptr: none.
    const AssetRow* deviceInForce(const std::string& identity, const std::string& date) const;
    const AssetRow* modelInForce(const std::string& model, const std::string& date) const;

private:
    const AssetRow* inForce(const std::vector<std::size_t>* rows, const std::string& date) const;
    std::vector<AssetRow> rows_;
    std::unordered_map<std::string, std::vector<std::size_t>> devices_, models_;
};

std::optional<AssetInForce> assetInForce(const AssetIndex& list, const std::string& deviceId,
                                         const std::string& date);
std::optional<AssetInForce> assetInForce(const std::vector<AssetRow>& rows,
                                         const std::string& deviceId, const std::string& date);

// The verdict of one record against the list.
enum class VerdictResult { Pass, Fail, NotAssessed, Unreadable };
enum class Criterion { None, Pass, Fail };  // None: no limits for it (null in JSON)
struct Verdict {
    VerdictResult result = VerdictResult::NotAssessed;
    std::optional<Decimal> flowErrorPercent;  // (flow - set rate) / set rate x 100
    Criterion flow = Criterion::None, occlusion = Criterion::None, peakTime = Criterion::None;
    std::optional<AssetInForce> asset;  // the limits as used
};
// Flow passes when flow_low_pct <= error <= flow_high_pct (both needed, with
// the set rate); occlusion when the mmHg value lies inside its window (either
// end may be open); peak time when not later than its maximum.  PASS when
// every criterion that has limits passes, FAIL when any fails, NOT ASSESSED
// when the device is not in the list or has no limits, UNREADABLE when a
// value a criterion needs does not parse.  Never PASS by default.
Verdict judge(const TestRecord& record, const AssetIndex& list);
Verdict judge(const TestRecord& record, const std::vector<AssetRow>& rows);

// "PASS", "FAIL", "NOT ASSESSED", "UNREADABLE"; and the words of history
// --result: "pass", "fail", "not-assessed", "unreadable".
const char* resultText(VerdictResult result);
std::optional<VerdictResult> resultFromWord(const std::string& word);

// The due list: each asset (device row) of the list with its last test, its
// interval and due date, as of a date.
enum class DueStatus { Overdue, Due, Ok, NeverTested, NoInterval };
struct DueEntry {
    std::string deviceId, model, location;
    std::string lastTested;  // ISO date of its last test; empty: never tested
    std::optional<long long> intervalDays;
    std::string dueDate;  // ISO date; empty without a last test or interval
    DueStatus status = DueStatus::NeverTested;
};
// lastTested(deviceId) gives the ISO date of the device's last archived
// test, or empty.  Due: due within `within` days of asOf (inclusive);
// overdue: due before asOf.  Sorted by due date, never-tested first, then
// by device ID.
std::vector<DueEntry> dueList(const AssetIndex& list, const std::string& asOf, long long within,
                              const std::function<std::string(const std::string&)>& lastTested);
std::vector<DueEntry> dueList(const std::vector<AssetRow>& rows, const std::string& asOf,
                              long long within,
                              const std::function<std::string(const std::string&)>& lastTested);
const char* dueStatusText(
    DueStatus status);  // "overdue", "due", "ok", "never tested", "no interval"
