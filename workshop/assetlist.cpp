#include "workshop/assetlist.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <map>
#include <set>
#include <tuple>
#include <utility>

#include "workshop/identity.h"
#include "workshop/listreader.h"
#include "workshop/table.h"
#include "workshop/typed.h"

const char* const kAssetColumns[13] = {
    "device_id",       "model",         "location",           "set_rate_ml_h",
    "flow_low_pct",    "flow_high_pct", "occlusion_min_mmhg", "occlusion_max_mmhg",
    "peak_time_max_s", "interval_days", "valid_from",         "asset_tag",
    "retired_from",
};

namespace {

// The columns in kAssetColumns order.
enum Column {
    DeviceId,
    Model,
    Location,
    SetRate,
    FlowLow,
    FlowHigh,
    OcclusionMin,
    OcclusionMax,
    PeakTimeMax,
    IntervalDays,
    ValidFrom,
    AssetTag,
    RetiredFrom,
    kColumns
};

std::string lowered(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// Reads a decimal cell into *value (empty: no value); false with *why.
bool decimalCell(const std::string& text, std::optional<Decimal>* value, std::string* why) {
    value->reset();
    if (text.empty()) return true;
    *value = Decimal::parse(text);
    if (!*value) *why = "\"" + shownCell(text) + "\" is no number";
    return value->has_value();
}

void fillEmpty(AssetValues* own, const AssetValues& model) {
    if (!own->setRate) own->setRate = model.setRate;
    if (!own->flowLowPct) own->flowLowPct = model.flowLowPct;
    if (!own->flowHighPct) own->flowHighPct = model.flowHighPct;
    if (!own->occlusionMin) own->occlusionMin = model.occlusionMin;
    if (!own->occlusionMax) own->occlusionMax = model.occlusionMax;
    if (!own->peakTimeMax) own->peakTimeMax = model.peakTimeMax;
    if (!own->intervalDays) own->intervalDays = model.intervalDays;
}

std::array<std::string, kColumns> cellsOf(const AssetRow& row) {
    auto number = [](const std::optional<Decimal>& d) { return d ? d->text() : std::string(); };
    const AssetValues& v = row.values;
    return {
        row.deviceId,           row.model,
        row.location,           number(v.setRate),
        number(v.flowLowPct),   number(v.flowHighPct),
        number(v.occlusionMin), number(v.occlusionMax),
        number(v.peakTimeMax),  v.intervalDays ? std::to_string(*v.intervalDays) : std::string(),
        row.validFrom,          row.assetTag,
        row.retiredFrom};
}

}  // namespace

bool readAssetList(const std::string& input, std::vector<AssetRow>* rows, std::string* why,
                   std::vector<std::string>* ignoredColumns) {
    std::string ignored;
    if (!why) why = &ignored;
    rows->clear();
    ListReader list(input, std::vector<std::string>(kAssetColumns, kAssetColumns + kColumns));
    auto failed = [&] {
        *why = list.why();
        return false;
    };
    if (!list.header()) return failed();
    const int headerLine = list.headerLine();
    if (!list.named(DeviceId) && !list.named(Model))
        return *why = formatted("line %d: no device_id column and no model column", headerLine),
               false;

    std::vector<AssetRow> read;
    std::map<std::pair<std::string, std::string>, int> devices, models;  // first line of each
    // Each device by its identity in lower case: IDs that differ only in
    // letter case are keyed by hand and cannot be told apart for sure.
    std::map<std::string, std::pair<std::string, int>> byLetters;
    // An asset's tag and retirement as its first row to give them did, and
    // that row's line.
    std::map<std::string, std::pair<std::string, int>> tags, retirements;
    while (list.next()) {
        const int at = list.line();
        std::string cell[kColumns];
        for (int c = 0; c < kColumns; ++c) cell[c] = list.cell(static_cast<std::size_t>(c));
        auto refuse = [&](int c, const std::string& text) {
            list.refuse(static_cast<std::size_t>(c), text);
            return failed();
        };

        AssetRow asset;
        asset.line = at;
        asset.deviceId = cell[DeviceId];
        asset.model = cell[Model];
        asset.location = cell[Location];
        AssetValues& v = asset.values;
        std::string wrong;
        const std::pair<int, std::optional<Decimal>*> numbers[] = {
            {SetRate, &v.setRate},           {FlowLow, &v.flowLowPct},
            {FlowHigh, &v.flowHighPct},      {OcclusionMin, &v.occlusionMin},
            {OcclusionMax, &v.occlusionMax}, {PeakTimeMax, &v.peakTimeMax},
        };
        for (const auto& [c, value] : numbers)
            if (!decimalCell(cell[c], value, &wrong)) return refuse(c, wrong);
        if (v.setRate && v.setRate->units() <= 0)
            return refuse(SetRate, "the set rate must be above 0, not " + v.setRate->text());
        if (v.flowLowPct && v.flowHighPct && *v.flowHighPct < *v.flowLowPct)
            return refuse(FlowLow, "the low end " + v.flowLowPct->text() +
                                       " is above the high end " + v.flowHighPct->text());
        if (v.occlusionMin && v.occlusionMax && *v.occlusionMax < *v.occlusionMin)
            return refuse(OcclusionMin, "the minimum " + v.occlusionMin->text() +
                                            " is above the maximum " + v.occlusionMax->text());
        const std::string& days = cell[IntervalDays];
        if (!days.empty()) {
            if (!digitsOnly(days) || days.size() > 12 || std::atoll(days.c_str()) <= 0)
                return refuse(IntervalDays,
                              "\"" + shownCell(days) + "\" is no whole number of days above 0");
            v.intervalDays = std::atoll(days.c_str());
        }
        asset.validFrom = cell[ValidFrom];
        if (!asset.validFrom.empty() && !isIsoDate(asset.validFrom))
            return refuse(ValidFrom,
                          "\"" + shownCell(asset.validFrom) + "\" is no date (YYYY-MM-DD)");
        asset.assetTag = cell[AssetTag];
        asset.retiredFrom = cell[RetiredFrom];
        if (!asset.retiredFrom.empty() && !isIsoDate(asset.retiredFrom))
            return refuse(RetiredFrom,
                          "\"" + shownCell(asset.retiredFrom) + "\" is no date (YYYY-MM-DD)");

        const std::string identity = identityText(asset.deviceId);
        if (!asset.deviceId.empty() && identity.empty())
            return refuse(DeviceId, "a device ID of nothing but commas and spaces");
        if (identity.empty() && asset.model.empty())
            return refuse(list.named(DeviceId) ? DeviceId : Model,
                          "a row with neither a device ID nor a model");
        const bool deviceRow = !identity.empty();
        if (!deviceRow && !asset.retiredFrom.empty())
            return refuse(RetiredFrom,
                          "a model row retires no asset; give retired_from on "
                          "the rows of the assets that leave the inventory");
        if (!deviceRow && !asset.assetTag.empty())
            return refuse(AssetTag, "a model row has no asset tag; give it on the asset's rows");
        // One asset's rows give its tag and its retirement alike.
        for (const auto& [c, value, seen] :
             {std::tuple{AssetTag, &asset.assetTag, &tags},
              std::tuple{RetiredFrom, &asset.retiredFrom, &retirements}}) {
            if (!deviceRow || value->empty()) continue;
            const auto [other, fresh] = seen->emplace(identity, std::pair(*value, at));
            if (!fresh && other->second.first != *value)
                return refuse(
                    c, formatted("device \"%s\" has %s \"%s\" on line %d",
                                 shownCell(asset.deviceId).c_str(), kAssetColumns[c],
                                 shownCell(other->second.first).c_str(), other->second.second));
        }
        if (deviceRow) {
            const auto [other, fresh] =
                byLetters.emplace(lowered(identity), std::pair(identity, at));
            if (!fresh && other->second.first != identity)
                return refuse(
                    DeviceId,
                    formatted("device \"%s\" differs from \"%s\" on line %d only in "
                              "letter case; key one pump's rows alike",
                              shownCell(asset.deviceId).c_str(),
                              shownCell(other->second.first).c_str(), other->second.second));
        }
        auto& seen = deviceRow ? devices : models;
        const auto [first, fresh] =
            seen.emplace(std::make_pair(deviceRow ? identity : asset.model, asset.validFrom), at);
        if (!fresh)
            return refuse(deviceRow ? DeviceId : Model,
                          formatted("%s \"%s\" has a row %s%s already, on line %d",
                                    deviceRow ? "device" : "model",
                                    shownCell(deviceRow ? asset.deviceId : asset.model).c_str(),
                                    asset.validFrom.empty() ? "without valid_from" : "valid from ",
                                    asset.validFrom.c_str(), first->second));
        read.push_back(std::move(asset));
    }
    if (!list.why().empty()) return failed();
    if (read.empty())
        return *why = formatted("line %d: no rows under the header", headerLine), false;
    if (devices.empty())
        return *why =
                   "the list names no device (no row with a device_id): it would judge no "
                   "test",
               false;
    *rows = std::move(read);
    if (ignoredColumns) *ignoredColumns = list.ignoredColumns();
    return true;
}

std::string assetListCsv(const std::vector<AssetRow>& rows, CsvFor reader) {
    // The texts: device ID, model, location and asset tag.
    std::vector<bool> text(kColumns, false);
    if (reader == CsvFor::Spreadsheets)
        for (int c : {DeviceId, Model, Location, AssetTag}) text[c] = true;
    std::string out = csvRow(std::vector<std::string>(kAssetColumns, kAssetColumns + kColumns));
    // In UTF-8, as the other CSV files of lumkest-cli: read back, every
    // text is the same again, even Latin-1 bytes that could pass for UTF-8.
    for (const AssetRow& row : rows) {
        std::vector<std::string> cells;
        for (const std::string& cell : cellsOf(row)) cells.push_back(latin1ToUtf8(cell));
        out += csvRow(cells, text);
    }
    return out;
}

std::string assetListText(const std::vector<AssetRow>& rows) {
    std::vector<std::vector<std::string>> table{
        std::vector<std::string>(kAssetColumns, kAssetColumns + kColumns)};
    for (const AssetRow& row : rows) {
        const auto cells = cellsOf(row);
        table.emplace_back(cells.begin(), cells.end());
    }
    // The numbers line up on the right.
    std::vector<bool> numbers(kColumns, false);
    for (int c = SetRate; c <= IntervalDays; ++c) numbers[c] = true;
    return alignedTable(table, numbers);
}

namespace {

// A device ID's letters and digits alone, in lower case.
std::string lettersOf(const std::string& id) {
    std::string out;
    for (char c : lowered(id))
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            static_cast<unsigned char>(c) >= 0x80)
            out += c;
    return out;
}

}  // namespace

AssetIndex::AssetIndex(std::vector<AssetRow> rows) : rows_(std::move(rows)) {
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        const std::string identity = identityText(rows_[i].deviceId);
        if (!identity.empty()) {
            devices_[identity].push_back(i);
            looks_.emplace(lettersOf(identity), i);
        } else {
            models_[rows_[i].model].push_back(i);
        }
    }
}

std::string AssetIndex::lookAlike(const std::string& deviceId) const {
    const std::string letters = lettersOf(identityText(deviceId));
    const auto it = letters.empty() ? looks_.end() : looks_.find(letters);
    return it == looks_.end() ? std::string() : rows_[it->second].deviceId;
}

std::vector<const AssetRow*> AssetIndex::ofDevice(const std::string& identity) const {
    std::vector<const AssetRow*> found;
    if (const auto it = devices_.find(identity); it != devices_.end())
        for (std::size_t i : it->second) found.push_back(&rows_[i]);
    return found;
}

std::vector<const AssetRow*> AssetIndex::ofModel(const std::string& model) const {
    std::vector<const AssetRow*> found;
    if (const auto it = models_.find(model); it != models_.end())
        for (std::size_t i : it->second) found.push_back(&rows_[i]);
    return found;
}

const AssetRow* AssetIndex::inForce(const std::vector<std::size_t>* rows,
                                    const std::string& date) const {
    const AssetRow* best = nullptr;
    if (!rows) return best;
    for (std::size_t i : *rows) {
        const AssetRow* row = &rows_[i];
        if (!row->validFrom.empty() && (date.empty() || date < row->validFrom)) continue;
        if (!best || best->validFrom < row->validFrom) best = row;
    }
    return best;
}

const AssetRow* AssetIndex::deviceInForce(const std::string& identity,
                                          const std::string& date) const {
    const auto it = devices_.find(identity);
    return inForce(it == devices_.end() ? nullptr : &it->second, date);
}

const AssetRow* AssetIndex::modelInForce(const std::string& model, const std::string& date) const {
    const auto it = models_.find(model);
    return inForce(it == models_.end() ? nullptr : &it->second, date);
}

std::optional<AssetInForce> assetInForce(const AssetIndex& list, const std::string& deviceId,
                                         const std::string& date) {
    const std::string identity = identityText(deviceId);
    if (identity.empty()) return std::nullopt;
    const AssetRow* own = list.deviceInForce(identity, date);
    if (!own) return std::nullopt;
    AssetInForce found;
    found.row = own;
    found.values = own->values;
    for (const AssetRow* row : list.ofDevice(identity)) {
        if (found.assetTag.empty()) found.assetTag = row->assetTag;
        if (found.retiredFrom.empty()) found.retiredFrom = row->retiredFrom;
    }
    if (!own->model.empty()) {
        if (const AssetRow* model = list.modelInForce(own->model, date))
            fillEmpty(&found.values, model->values);
    }
    return found;
}

std::optional<AssetInForce> assetInForce(const std::vector<AssetRow>& rows,
                                         const std::string& deviceId, const std::string& date) {
    // The row found must point into rows: found again there.
    const AssetIndex list(rows);
    std::optional<AssetInForce> found = assetInForce(list, deviceId, date);
    if (found) found->row = &rows[static_cast<std::size_t>(found->row - list.rows().data())];
    return found;
}

bool hasFlowWindow(const AssetValues& v) { return v.flowLowPct || v.flowHighPct; }

bool judgesAnything(const AssetValues& v) {
    return (v.setRate && hasFlowWindow(v)) || v.occlusionMin || v.occlusionMax || v.peakTimeMax;
}

namespace {

// "A, B and 3 more": the first names of a list, for one line.
std::string someNames(const std::vector<std::string>& names) {
    constexpr std::size_t kShown = 8;
    std::string text;
    for (std::size_t i = 0; i < names.size() && i < kShown; ++i)
        text += (i == 0 ? "" : ", ") + shownCell(names[i]);
    if (names.size() > kShown) text += formatted(" and %zu more", names.size() - kShown);
    return text;
}

}  // namespace

std::vector<std::string> assetListWarnings(const std::vector<AssetRow>& rows,
                                           const std::vector<AssetRow>& previous) {
    std::vector<std::string> lines;
    const AssetIndex list(rows);

    // A model that device rows name for their empty values, which no row
    // gives: a slip in the model's name (A1OO for A100) leaves them empty.
    std::map<std::string, std::set<std::string>> unfilled;  // model: its devices
    for (const AssetRow& r : rows) {
        const AssetValues& v = r.values;
        const bool leavesEmpty = !v.setRate || !v.flowLowPct || !v.flowHighPct || !v.occlusionMin ||
                                 !v.occlusionMax || !v.peakTimeMax || !v.intervalDays;
        if (!identityText(r.deviceId).empty() && !r.model.empty() && leavesEmpty &&
            list.ofModel(r.model).empty())
            unfilled[r.model].insert(identityText(r.deviceId));
    }
    for (const auto& [model, devices] : unfilled)
        lines.push_back("model " + shownCell(model) + ": " +
                        plural(devices.size(), "device names", "devices name") +
                        " it, no row gives its values");

    // Each asset as its latest rows leave it.
    std::vector<std::string> noLimits, noRate;
    std::set<std::string> seen;
    for (const AssetRow& r : rows) {
        const std::string identity = identityText(r.deviceId);
        if (identity.empty() || !seen.insert(identity).second) continue;
        const std::optional<AssetInForce> latest = assetInForce(list, r.deviceId, "9999-12-31");
        if (!latest) continue;
        const AssetValues& v = latest->values;
        if (hasFlowWindow(v) && !v.setRate)
            noRate.push_back(latest->row->deviceId);
        else if (!judgesAnything(v))
            noLimits.push_back(latest->row->deviceId);
    }
    if (!noLimits.empty())
        lines.push_back(plural(noLimits.size(), "asset has", "assets have") + " no limits, so " +
                        (noLimits.size() == 1 ? "its" : "their") +
                        " tests will be NOT ASSESSED: " + someNames(noLimits));
    if (!noRate.empty())
        lines.push_back(plural(noRate.size(), "asset has", "assets have") +
                        " a flow window but no set rate, so " +
                        (noRate.size() == 1 ? "its" : "their") +
                        " flow is not judged: " + someNames(noRate));

    // Assets the previous version has and this one drops.
    std::vector<std::string> dropped;
    std::set<std::string> before;
    for (const AssetRow& r : previous) {
        const std::string identity = identityText(r.deviceId);
        if (!identity.empty() && before.insert(identity).second && list.ofDevice(identity).empty())
            dropped.push_back(r.deviceId);
    }
    if (!dropped.empty())
        lines.push_back(plural(dropped.size(), "asset", "assets") + " of the previous version " +
                        (dropped.size() == 1 ? "is" : "are") +
                        " not in this one, so their past tests become NOT ASSESSED under it "
                        "(to retire an asset, keep its rows and give retired_from): " +
                        someNames(dropped));
    return lines;
}
