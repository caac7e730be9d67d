#pragma once
// The workshop's asset list.  The tester does not know the rate a pump was
// set to, so a verdict needs the asset list: per device ID (as keyed into
// the tester) the rate the workshop's procedure sets and the limits its
// results must keep, or per model the values every asset of that model
// takes where it leaves its own empty.  A pump whose limits change gets a
// second row with a later valid_from, so older tests keep the limits they
// were tested against.  Plain C++: the archive keeps the list's versions,
// lumkest-cli's assets command reads and writes them.

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "workshop/decimal.h"
#include "workshop/table.h"

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
    // The maintenance-management system's own number for the asset (free
    // text), and the ISO date from which it is out of the inventory; one
    // asset's rows give each alike, or leave it empty.
    std::string assetTag;
    std::string retiredFrom;
};

// The file's columns, in the order assets --csv writes them (new columns
// are only ever appended).
extern const char* const kAssetColumns[13];

// Reads an asset list: CSV with RFC 4180 quoting, UTF-8 or else Latin-1
// (stored as Latin-1 bytes, as the archive keeps the tester's texts), one
// header row naming its columns in any order and any case (device_id or
// model must be there).  A header that is none of the columns but a near
// miss of one (its letters with spaces or hyphens for underscores, or two
// edits from it) is refused; other unknown columns are ignored and named
// in *ignoredColumns.  False with one line in *why naming the line and the
// column ("line 7, column flow_low_pct: ...") for a file that cannot be
// taken whole: a number that is none, a window whose low end is above its
// high end, an interval that is no whole number of days above 0, a
// valid_from that is no date, a row with neither device ID nor model, two
// rows for one device (by the identity's comma rule) or one model with one
// valid_from, two device IDs that differ only in letter case, a list with
// no device row, a retired_from that is no date or stands on a model row,
// two rows of one asset with different asset tags or retirement dates.
bool readAssetList(const std::string& bytes, std::vector<AssetRow>* rows, std::string* why,
                   std::vector<std::string>* ignoredColumns = nullptr);

// What a list just read will judge nothing with, one line each: a model
// that devices name for their empty values but no row gives; assets that
// end with no limits, or with a flow window but no set rate; the assets of
// the previous version (previous) that this one drops.
std::vector<std::string> assetListWarnings(const std::vector<AssetRow>& rows,
                                           const std::vector<AssetRow>& previous);

// The list as assets writes it: CSV (kAssetColumns, RFC 4180, CR LF, texts
// in UTF-8) and an aligned text table (LF, the texts' own bytes).
std::string assetListCsv(const std::vector<AssetRow>& rows,
                         CsvFor reader = CsvFor::ReadingBack);
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
    std::string assetTag;           // the asset's, from whichever of its rows gives it
    std::string retiredFrom;        // ISO date; empty: in the inventory
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
    // The ID of an asset that a device ID not in the list matches when
    // letter case, spaces and punctuation are ignored ("iv 1001" looks like
    // "IV-1001"): most likely the same pump keyed by hand; empty: none.
    std::string lookAlike(const std::string& deviceId) const;

private:
    const AssetRow* inForce(const std::vector<std::size_t>* rows, const std::string& date) const;
    std::vector<AssetRow> rows_;
    std::unordered_map<std::string, std::vector<std::size_t>> devices_, models_;
    std::unordered_map<std::string, std::size_t> looks_;  // a device's row by its letters
};

std::optional<AssetInForce> assetInForce(const AssetIndex& list, const std::string& deviceId,
                                         const std::string& date);
std::optional<AssetInForce> assetInForce(const std::vector<AssetRow>& rows,
                                         const std::string& deviceId, const std::string& date);

// Whether values judge anything: a flow window (either end) with a set
// rate, an occlusion end or a peak time.
bool hasFlowWindow(const AssetValues& values);
bool judgesAnything(const AssetValues& values);

// A device the archive holds tests of that the asset list does not name:
// the exception queue of results whose asset is not known.
struct UnknownDevice {
    std::string deviceId;    // as its latest test keyed it
    long long tests = 0;     // its tests in the archive
    std::string lastTested;  // ISO date and time of its latest test; empty: no date reads
    std::string tester;      // the serial number of its latest test's tester
    std::string looksLike;   // an asset it matches but for case and punctuation (lookAlike)
};
