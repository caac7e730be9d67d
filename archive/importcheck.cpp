#include "archive/importcheck.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <algorithm>

#include "archive/recordkey.h"
#include "device/decode.h"
#include "records/calendar.h"
#include "workshop/identity.h"
#include "workshop/typed.h"

namespace {

struct TableShape {
    const char* name;
    int from;  // the first version that has it
    std::vector<const char*> columns;
    int widened = 0;  // the version that added `more` (0: none)
    std::vector<const char*> more;
};

// The archive's tables by version, as schema.cpp makes them.
const std::vector<TableShape>& shapes() {
    static const std::vector<TableShape> all = {
        {"blocks", 1, {"sha256", "bytes"}, 0, {}},
        {"downloads",
         1,
         {"id", "tester_serial", "tester_id", "downloaded", "downloaded_utc", "form",
          "block_sha256", "record_count"},
         0,
         {}},
        {"records",
         1,
         {"id",
          "record_key",
          "tester_serial",
          "first_download",
          "form",
          "device_id",
          "test_date",
          "test_time",
          "test_duration",
          "flow",
          "volume",
          "pressure_mmhg",
          "pressure_user",
          "peak_time",
          "unit_code",
          "unit",
          "tested",
          "flow_ml_h",
          "volume_ml",
          "duration_s",
          "peak_time_s",
          "pressure_mmhg_value",
          "pressure_user_value"},
         2,
         {"device_key"}},
        {"asset_lists", 3, {"id", "loaded", "loaded_utc", "sha256", "row_count"}, 0, {}},
        {"asset_rows",
         3,
         {"list_id", "line", "device_id", "device_key", "model", "location", "set_rate_ml_h",
          "flow_low_pct", "flow_high_pct", "occlusion_min_mmhg", "occlusion_max_mmhg",
          "peak_time_max_s", "interval_days", "valid_from"},
         5,
         {"asset_tag", "retired_from"}},
        {"tester_lists", 5, {"id", "loaded", "loaded_utc", "sha256", "row_count"}, 0, {}},
        {"tester_rows",
         5,
         {"list_id", "line", "tester_serial", "calibrated_on", "calibration_due", "certificate"},
         0,
         {}},
        {"archive_version", 1, {"version"}, 0, {}},  // PostgreSQL only
    };
    return all;
}

bool digits(const std::string& s, std::size_t at, std::size_t n) {
    if (at + n > s.size()) return false;
    return std::all_of(s.begin() + static_cast<std::ptrdiff_t>(at),
                       s.begin() + static_cast<std::ptrdiff_t>(at + n),
                       [](char c) { return c >= '0' && c <= '9'; });
}

int number(const std::string& s, std::size_t at, std::size_t n) {
    return std::stoi(s.substr(at, n));
}

}  // namespace

const std::vector<std::string>& archiveTableNames(bool postgres) {
    static const std::vector<std::string> sqlite = {"blocks",      "downloads",  "records",
                                                    "asset_lists", "asset_rows", "tester_lists",
                                                    "tester_rows"};
    static const std::vector<std::string> pg = [] {
        std::vector<std::string> names = sqlite;
        names.push_back("archive_version");
        return names;
    }();
    return postgres ? pg : sqlite;
}

std::string shapeProblem(const std::map<std::string, FoundTable>& found, int version,
                         bool postgres) {
    for (const TableShape& shape : shapes()) {
        if (!postgres && std::string(shape.name) == "archive_version") continue;
        const auto it = found.find(shape.name);
        if (shape.from > version) {
            if (it != found.end()) return std::string("a table ") + shape.name + " of its own";
            continue;
        }
        if (it == found.end()) return std::string("no table ") + shape.name;
        const FoundTable& t = it->second;
        if (!t.plain) return std::string(shape.name) + " is no table (a view?)";
        if (!t.generated.empty())
            return std::string(shape.name) + " has a generated column " + t.generated.front();
        std::vector<std::string> wanted(shape.columns.begin(), shape.columns.end());
        if (shape.widened && version >= shape.widened)
            wanted.insert(wanted.end(), shape.more.begin(), shape.more.end());
        std::vector<std::string> have = t.columns;
        std::sort(wanted.begin(), wanted.end());
        std::sort(have.begin(), have.end());
        if (have == wanted) continue;
        std::vector<std::string> missing, extra;
        std::set_difference(wanted.begin(), wanted.end(), have.begin(), have.end(),
                            std::back_inserter(missing));
        std::set_difference(have.begin(), have.end(), wanted.begin(), wanted.end(),
                            std::back_inserter(extra));
        return std::string(shape.name) + (missing.empty()
                                              ? " has a column " + extra.front() + " of its own"
                                              : " has no column " + missing.front());
    }
    return std::string();
}

std::optional<long long> archiveTimeSeconds(const std::string& t) {
    // 2024-05-01T10:00:00+02:00
    if (t.size() != 25 || t[10] != 'T' || t[13] != ':' || t[16] != ':' ||
        (t[19] != '+' && t[19] != '-') || t[22] != ':' || !isIsoDate(t.substr(0, 10)) ||
        !digits(t, 11, 2) || !digits(t, 14, 2) || !digits(t, 17, 2) || !digits(t, 20, 2) ||
        !digits(t, 23, 2))
        return std::nullopt;
    const int hour = number(t, 11, 2), minute = number(t, 14, 2), second = number(t, 17, 2);
    const int offset = (number(t, 20, 2) * 60 + number(t, 23, 2)) * 60;
    if (hour > 23 || minute > 59 || second > 59 || offset > 24 * 3600) return std::nullopt;
    const long long days = daysOfCivil(number(t, 0, 4), number(t, 5, 2), number(t, 8, 2));
    return days * 86400 + hour * 3600 + minute * 60 + second - (t[19] == '-' ? -offset : offset);
}

std::string sha256Hex(const std::string& bytes) {
    return QCryptographicHash::hash(QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())),
                                    QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}

bool isSha256Text(const std::string& text) {
    return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

std::string downloadProblem(const SourceDownload& d) {
    const std::string which = "download " + std::to_string(d.id) + ": ";
    if (d.serial.size() > kSerialWidth || d.testerId.size() > kIdWidth)
        return which + "a tester serial number or ID longer than a tester gives";
    const std::optional<long long> utc = archiveTimeSeconds(d.downloaded);
    if (!utc || *utc != d.utc) return which + "its time is not one this program writes";
    if (d.form < static_cast<int>(RecordForm::Csv) ||
        d.form > static_cast<int>(RecordForm::Received))
        return which + "a form of records that is none";
    // A received block, and only a received block, comes with its bytes.
    const bool received = d.form == static_cast<int>(RecordForm::Received);
    if (received != !d.block.empty() || (received && !isSha256Text(d.block)))
        return which + "its block and its form disagree";
    if (d.count < 0 || d.count > 100000000) return which + "a count of records that is none";
    return std::string();
}

std::string blockProblem(const SourceDownload& d, const std::string& bytes,
                         std::set<std::string>* keys) {
    const std::string which = "download " + std::to_string(d.id) + "'s block: ";
    if (bytes.size() != kDataBlockSize)
        return which + std::to_string(bytes.size()) + " bytes, not " +
               std::to_string(kDataBlockSize);
    if (sha256Hex(bytes) != d.block)
        return which + "its bytes do not have the SHA-256 it is kept by";
    std::vector<TestRecord> records;
    std::size_t capacity = 0;
    std::string why;
    if (!decodeRecords(reinterpret_cast<const std::uint8_t*>(bytes.data()), &records, &capacity,
                       &why))
        return which + why;
    if (static_cast<long long>(records.size()) != d.count)
        return which + "it holds " + std::to_string(records.size()) + " records, the download " +
               std::to_string(d.count);
    keys->clear();
    for (const TestRecord& r : records) keys->insert(recordKey(d.serial, r));
    return std::string();
}

std::string assetListProblem(const std::vector<AssetRow>& rows,
                             const std::vector<std::string>& deviceKeys) {
    std::set<int> lines;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (rows[i].line < 2 || !lines.insert(rows[i].line).second)
            return "line " + std::to_string(rows[i].line) + " is no line of a list's rows";
        if (deviceKeys[i] != identityText(rows[i].deviceId))
            return "line " + std::to_string(rows[i].line) + ": a device key that is not its ID's";
    }
    // The list's own reader decides, on the list as assets writes it.
    std::vector<AssetRow> read;
    std::string why;
    if (!readAssetList(assetListCsv(rows), &read, &why)) return why;
    auto same = [](const auto& x, const auto& y) { return x == y; };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const AssetRow& a = rows[i];
        const std::string wrong =
            "line " + std::to_string(a.line) + ": values that the list's reader reads otherwise";
        if (i >= read.size()) return wrong;
        const AssetRow& b = read[i];
        const AssetValues &v = a.values, &w = b.values;
        if (a.deviceId != b.deviceId || a.model != b.model || a.location != b.location ||
            a.validFrom != b.validFrom || a.assetTag != b.assetTag ||
            a.retiredFrom != b.retiredFrom || !same(v.setRate, w.setRate) ||
            !same(v.flowLowPct, w.flowLowPct) || !same(v.flowHighPct, w.flowHighPct) ||
            !same(v.occlusionMin, w.occlusionMin) || !same(v.occlusionMax, w.occlusionMax) ||
            !same(v.peakTimeMax, w.peakTimeMax) || v.intervalDays != w.intervalDays)
            return wrong;
    }
    if (read.size() != rows.size()) return "rows that the list's reader does not read";
    return std::string();
}

std::string testerListProblem(const std::vector<TesterRow>& rows) {
    std::set<int> lines;
    for (const TesterRow& r : rows)
        if (r.line < 2 || !lines.insert(r.line).second)
            return "line " + std::to_string(r.line) + " is no line of a list's rows";
    // The list's own reader decides, on the list as testers writes it.
    std::vector<TesterRow> read;
    std::string why;
    if (!readTesterList(testerListCsv(rows), &read, &why)) return why;
    if (read.size() != rows.size()) return "rows that the list's reader does not read";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const TesterRow &a = rows[i], &b = read[i];
        if (a.serial != b.serial || a.calibratedOn != b.calibratedOn ||
            a.calibrationDue != b.calibrationDue || a.certificate != b.certificate)
            return "line " + std::to_string(a.line) +
                   ": values that the list's reader reads otherwise";
    }
    return std::string();
}
