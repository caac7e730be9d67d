#include "cli/outputs.h"

#include <string>

#include "archive/archive.h"
#include "cli/json.h"
#include "workshop/table.h"
#include "workshop/typed.h"

namespace {

std::string decimalJson(const std::optional<Decimal>& value) {
    return value ? value->text() : "null";
}

// An asset's limits as JSON members, as the verdict and the asset list
// both give them.
JsonObject& limitMembers(JsonObject& o, const AssetValues& l) {
    return o.value("setRateMlPerHour", decimalJson(l.setRate))
        .value("flowLowPercent", decimalJson(l.flowLowPct))
        .value("flowHighPercent", decimalJson(l.flowHighPct))
        .value("occlusionMinMmHg", decimalJson(l.occlusionMin))
        .value("occlusionMaxMmHg", decimalJson(l.occlusionMax))
        .value("peakTimeMaxSeconds", decimalJson(l.peakTimeMax));
}

const char* criterionJson(Criterion c) {
    return c == Criterion::Pass ? "\"pass\"" : c == Criterion::Fail ? "\"fail\"" : "null";
}

// A text, or null for none.
std::string textOrNull(const std::string& latin1) {
    return latin1.empty() ? "null" : jsonText(latin1);
}

// The verdict as the member "verdict" of o: the list version it used,
// whether the test is dated after the archive received it, its asset's tag,
// its tester's calibration, and its limits as used.
void verdictJson(JsonObject& o, const JudgedTest& t, long long assetList) {
    const Verdict& v = t.verdict;
    JsonObject verdict = o.object("verdict");
    verdict.text("result", resultText(v.result))
        .value("assetList", assetList ? std::to_string(assetList) : "null")
        .value("flowErrorPercent", decimalJson(v.flowErrorPercent))
        .value("flow", criterionJson(v.flow))
        .value("occlusion", criterionJson(v.occlusion))
        .value("peakTime", criterionJson(v.peakTime))
        .value("datedAfterReceipt", t.date == DateCheck::AfterReceipt ? "true" : "false")
        .value("assetTag", textOrNull(v.asset ? v.asset->assetTag : std::string()))
        .text("testerCalibration", calibrationText(t.calibration));
    if (!v.asset) {
        verdict.value("limits", "null").close();
        return;
    }
    JsonObject limits = verdict.object("limits");
    limitMembers(limits, v.asset->values).close();
    verdict.close();
}

JsonObject& testerMembers(JsonObject& o, const TesterIdentity& tester) {
    return o.text("id", tester.id).text("serial", tester.serial);
}

std::string testerJson(const TesterIdentity& tester, const std::string& indent) {
    JsonObject o(indent);
    return testerMembers(o, tester).str();
}

// One record onto the end of out: its position, raw texts and typed
// values, at the depth of indent; history adds its tester and the time of
// its first download; with a judging list, its verdict.
void recordJson(std::string& out, const JudgedTest& test, int position, std::size_t indent,
                const ArchivedRecord* archived, const JudgingList* list) {
    const TestRecord& r = test.record;
    const TypedRecord& t = test.typed;
    JsonObject o(&out, indent);
    o.number("record", position)
        .text("deviceID", FIELD_TEXT(r, deviceID))
        .text("testDate", FIELD_TEXT(r, testDate))
        .text("testTime", FIELD_TEXT(r, testTime))
        .text("testDuration", FIELD_TEXT(r, testDuration))
        .text("flow", FIELD_TEXT(r, flow))
        .text("volume", FIELD_TEXT(r, volume))
        .text("pressureMMHG", FIELD_TEXT(r, pressureMMHG))
        .text("pressureUser", FIELD_TEXT(r, pressureUser))
        .text("pressureUnits", unitName(r.pressureUnits))
        .text("peakPressureTime", FIELD_TEXT(r, peakPressureTime));
    if (t.tested)
        o.text("tested", *t.tested);
    else
        o.value("tested", "null");
    o.value("flowMlPerHour", jsonNumber(t.flow))
        .value("volumeMl", jsonNumber(t.volume))
        .value("durationSeconds", jsonNumber(t.durationSeconds))
        .value("peakTimeSeconds", jsonNumber(t.peakSeconds))
        .value("pressureMmHgValue", jsonNumber(t.pressureMmHg))
        .value("pressureUserValue", jsonNumber(t.pressureUser));
    if (archived) {
        JsonObject tester = o.object("tester");
        testerMembers(tester, archived->tester).close();
        o.text("firstDownloaded", archived->firstDownloaded);
    }
    if (list) verdictJson(o, test, list->number);
    o.close();
}

// "records": [...] as the last member at the top level, its items given.
const char* const kRecordsOpening = ",\n    \"records\": [\n";
std::string recordsClosing(bool anyRecords) {
    return std::string(anyRecords ? "\n" : "") + "    ]\n}\n";
}

const char* formName(RecordForm form) {
    switch (form) {
        case RecordForm::Csv:
            return "csv";
        case RecordForm::Text:
            return "text";
        case RecordForm::Received:
            break;
    }
    return "block";
}

// The cells of one download, in the order of the CSV and text columns.
std::vector<std::string> downloadCells(const ArchiveDownload& d) {
    return {std::to_string(d.number),
            d.downloaded,
            d.tester.serial,
            d.tester.id,
            formName(d.form),
            std::to_string(d.records),
            std::to_string(d.newRecords)};
}
const std::vector<std::string> kDownloadHeads = {
    "download", "downloaded", "tester_serial", "tester_id", "form", "records", "new"};

}  // namespace

QByteArray downloadsJson(const std::vector<ArchiveDownload>& downloads) {
    std::string out = "{\n    \"format\": 1,\n    \"downloads\": [";
    const char* between = "\n";
    for (const ArchiveDownload& d : downloads) {
        out += between + std::string("        ") +
               JsonObject("        ")
                   .number("download", d.number)
                   .text("downloaded", d.downloaded)
                   .value("tester", testerJson(d.tester, "            "))
                   .text("form", formName(d.form))
                   .number("records", d.records)
                   .number("new", d.newRecords)
                   .str();
        between = ",\n";
    }
    out += "\n    ]\n}\n";
    return QByteArray::fromStdString(out);
}

QByteArray infoJson(const TesterIdentity& tester) {
    return QByteArray::fromStdString(JsonObject("")
                                         .number("format", 1)
                                         .value("tester", testerJson(tester, "    "))
                                         .text("state", "connected")
                                         .str() +
                                     "\n");
}

std::string downloadsCsv(const std::vector<ArchiveDownload>& downloads) {
    // In UTF-8 as every other CSV; the tester's serial and ID are texts.
    std::string out = csvRow(kDownloadHeads);
    for (const ArchiveDownload& d : downloads) {
        std::vector<std::string> cells = downloadCells(d);
        for (std::string& cell : cells) cell = latin1ToUtf8(cell);
        out += csvRow(cells, {false, false, true, true});
    }
    return out;
}

std::string downloadsText(const std::vector<ArchiveDownload>& downloads) {
    std::vector<std::vector<std::string>> rows{kDownloadHeads};
    for (const ArchiveDownload& d : downloads) rows.push_back(downloadCells(d));
    // Numbers to the right, texts to the left.
    return alignedTable(rows, {true, false, false, false, false, true, true});
}

QByteArray recordsJson(const SaveSource& source, std::time_t downloaded, const JudgingList* list,
                       const std::vector<std::string>& received) {
    static const JudgingList none;
    // Local time with its offset always spelled out ("+00:00", never "Z"),
    // so an import sees one form whatever the zone.
    std::string out = "{\n    \"format\": " + std::to_string(kRecordsJsonFormat) +
                      ",\n    \"tester\": " + testerJson(source.tester, "    ") +
                      ",\n    \"downloaded\": " + jsonText(isoLocalTime(downloaded)) +
                      kRecordsOpening;
    int position = 0;
    for (const TestRecord& r : source.records) {
        out += position ? ",\n        " : "        ";
        const std::size_t at = static_cast<std::size_t>(position);
        recordJson(
            out,
            (list ? *list : none)
                .test(r, at < received.size() ? received[at] : std::string(), source.tester.serial),
            ++position, 8, nullptr, list);
    }
    return QByteArray::fromStdString(out + recordsClosing(position > 0));
}

std::string historyJsonOpening() {
    return "{\n    \"format\": " + std::to_string(kRecordsJsonFormat) + kRecordsOpening;
}

void historyJsonRecord(std::string& out, const ArchivedRecord& a, const JudgedTest& test,
                       int position, const JudgingList* list) {
    out += position > 1 ? ",\n        " : "        ";
    recordJson(out, test, position, 8, &a, list);
}

std::string historyJsonClosing(bool anyRecords) { return recordsClosing(anyRecords); }

QByteArray historyJson(const std::vector<ArchivedRecord>& archived, const JudgingList* list) {
    static const JudgingList none;
    std::string out = historyJsonOpening();
    int position = 0;
    for (const ArchivedRecord& a : archived)
        historyJsonRecord(out, a,
                          (list ? *list : none).test(a.record, a.firstDownloaded, a.tester.serial),
                          ++position, list);
    out += historyJsonClosing(position > 0);
    return QByteArray::fromStdString(out);
}

// ---- verdicts ----

std::string resultsHeader() {
    return csvRow({"asset_id",
                   "model",
                   "location",
                   "tested",
                   "result",
                   "flow_ml_h",
                   "set_rate_ml_h",
                   "flow_error_pct",
                   "flow_low_pct",
                   "flow_high_pct",
                   "pressure_mmhg",
                   "occlusion_min_mmhg",
                   "occlusion_max_mmhg",
                   "peak_time_s",
                   "peak_time_max_s",
                   "tester_serial",
                   "tester_id",
                   "asset_list",
                   "record_key",
                   "date_check",
                   "asset_tag",
                   "tester_calibration"});
}

namespace {

// The results CSV's text columns: the device, model and location, the
// tester's serial and ID, the asset tag.
const std::vector<bool> kResultsTexts = {true,  true,  true,  false, false, false, false,
                                         false, false, false, false, false, false, false,
                                         false, true,  true,  false, false, false, true};

}  // namespace

std::string resultsRow(const JudgedTest& test, const TesterIdentity& tester, long long assetList) {
    const TestRecord& r = test.record;
    const Verdict& v = test.verdict;
    const TypedRecord& t = test.typed;
    auto number = [](const std::optional<Decimal>& d) { return d ? d->text() : std::string(); };
    const AssetValues none;
    const AssetValues& l = v.asset ? v.asset->values : none;
    const AssetRow* row = v.asset ? v.asset->row : nullptr;
    return csvRow({latin1ToUtf8(FIELD_TEXT(r, deviceID)),
                   row ? latin1ToUtf8(row->model) : std::string(),
                   row ? latin1ToUtf8(row->location) : std::string(),
                   t.tested ? *t.tested : std::string(),
                   resultText(v.result),
                   number(t.flowDecimal),
                   number(l.setRate),
                   number(v.flowErrorPercent),
                   number(l.flowLowPct),
                   number(l.flowHighPct),
                   number(t.pressureMmHgDecimal),
                   number(l.occlusionMin),
                   number(l.occlusionMax),
                   t.peakSeconds ? std::to_string(*t.peakSeconds) : std::string(),
                   number(l.peakTimeMax),
                   latin1ToUtf8(tester.serial),
                   latin1ToUtf8(tester.id),
                   assetList ? std::to_string(assetList) : std::string(),
                   recordKey(tester.serial, r),
                   dateCheckText(test.date),
                   latin1ToUtf8(v.asset ? v.asset->assetTag : std::string()),
                   calibrationText(test.calibration)},
                  kResultsTexts);
}

// ---- the asset list and the due list ----

namespace {

// A list version's JSON up to its array: "format", the version's number
// (named by its list), when it was loaded, its file's hash, its rows.
std::string listJsonOpening(int format, const char* list, const AssetListInfo& info,
                            const char* array) {
    return "{\n    \"format\": " + std::to_string(format) + ",\n    \"" + list +
           "\": " + std::to_string(info.number) + ",\n    \"loaded\": " + jsonText(info.loaded) +
           ",\n    \"sha256\": " + jsonText(info.sha256) +
           ",\n    \"rows\": " + std::to_string(info.rows) + ",\n    \"" + array + "\": [";
}

// Items of a JSON array, eight spaces in, and its closing.
std::string jsonItems(const std::vector<std::string>& items) {
    std::string out;
    for (std::size_t i = 0; i < items.size(); ++i)
        out += (i ? ",\n        " : "\n        ") + items[i];
    return out + "\n    ]";
}

}  // namespace

QByteArray assetListJson(const std::vector<AssetRow>& rows, const AssetListInfo& info) {
    // The members spelled as the verdict's limits and the records' JSON.
    std::vector<std::string> items;
    for (const AssetRow& r : rows) {
        const AssetValues& v = r.values;
        JsonObject item("        ");
        item.text("deviceID", r.deviceId).text("model", r.model).text("location", r.location);
        items.push_back(
            limitMembers(item, v)
                .value("intervalDays", v.intervalDays ? std::to_string(*v.intervalDays) : "null")
                .value("validFrom", textOrNull(r.validFrom))
                .value("assetTag", textOrNull(r.assetTag))
                .value("retiredFrom", textOrNull(r.retiredFrom))
                .str());
    }
    return QByteArray::fromStdString(listJsonOpening(3, "assetList", info, "assets") +
                                     jsonItems(items) + "\n}\n");
}

QByteArray testerListJson(const std::vector<TesterRow>& rows, const AssetListInfo& info) {
    std::vector<std::string> items;
    for (const TesterRow& r : rows)
        items.push_back(JsonObject("        ")
                            .text("testerSerial", r.serial)
                            .text("calibratedOn", r.calibratedOn)
                            .text("calibrationDue", r.calibrationDue)
                            .value("certificate", textOrNull(r.certificate))
                            .str());
    return QByteArray::fromStdString(listJsonOpening(1, "testerList", info, "testers") +
                                     jsonItems(items) + "\n}\n");
}

namespace {

// The due list's rows, assets and then testers: for a tester, its serial
// number in device_id, its calibration's dates as last test and due date.
std::vector<std::vector<std::string>> dueRows(const std::vector<DueEntry>& entries,
                                              const std::vector<TesterDue>& testers) {
    std::vector<std::vector<std::string>> rows;
    for (const DueEntry& e : entries)
        rows.push_back({e.deviceId, e.model, e.location, e.lastTested,
                        e.intervalDays ? std::to_string(*e.intervalDays) : std::string(), e.dueDate,
                        dueStatusText(e.status), e.assetTag, "asset"});
    for (const TesterDue& t : testers)
        rows.push_back({t.serial, "", "", t.calibratedOn, "", t.calibrationDue,
                        dueStatusText(t.status), "", "tester"});
    return rows;
}
const std::vector<std::string> kDueHeads = {"device_id",   "model",         "location",
                                            "last_tested", "interval_days", "due_date",
                                            "status",      "asset_tag",     "kind"};

}  // namespace

std::string dueCsv(const std::vector<DueEntry>& entries, const std::vector<TesterDue>& testers) {
    std::string out = csvRow(kDueHeads);
    for (std::vector<std::string>& cells : dueRows(entries, testers)) {
        for (std::string& cell : cells) cell = latin1ToUtf8(cell);
        out += csvRow(cells, {true, true, true, false, false, false, false, true});
    }
    return out;
}

std::string dueText(const std::vector<DueEntry>& entries, const std::vector<TesterDue>& testers) {
    std::string out;
    if (!entries.empty()) {
        std::vector<std::vector<std::string>> rows{{"device_id", "model", "location", "last_tested",
                                                    "interval_days", "due_date", "status",
                                                    "asset_tag"}};
        for (std::vector<std::string>& cells : dueRows(entries, {})) {
            cells.pop_back();
            rows.push_back(std::move(cells));
        }
        out += alignedTable(rows, {false, false, false, false, true, false, false, false});
    }
    if (!testers.empty()) {
        std::vector<std::vector<std::string>> rows{
            {"tester_serial", "calibrated_on", "calibration_due", "status", "certificate"}};
        for (const TesterDue& t : testers)
            rows.push_back({t.serial, t.calibratedOn, t.calibrationDue, dueStatusText(t.status),
                            t.certificate});
        out += (out.empty() ? "" : "\n") + std::string("Testers due for calibration\n") +
               alignedTable(rows, {false, false, false, false, false});
    }
    return out;
}

QByteArray dueJson(const std::vector<DueEntry>& entries, const std::vector<TesterDue>& testers,
                   const std::string& asOf, long long assetList, long long testerList) {
    std::vector<std::string> assets, due;
    for (const DueEntry& e : entries)
        assets.push_back(
            JsonObject("        ")
                .text("kind", "asset")
                .text("deviceID", e.deviceId)
                .value("assetTag", textOrNull(e.assetTag))
                .text("model", e.model)
                .text("location", e.location)
                .value("lastTested", textOrNull(e.lastTested))
                .value("intervalDays", e.intervalDays ? std::to_string(*e.intervalDays) : "null")
                .value("dueDate", textOrNull(e.dueDate))
                .text("status", dueStatusText(e.status))
                .str());
    for (const TesterDue& t : testers)
        due.push_back(JsonObject("        ")
                          .text("kind", "tester")
                          .text("testerSerial", t.serial)
                          .text("calibratedOn", t.calibratedOn)
                          .text("calibrationDue", t.calibrationDue)
                          .value("certificate", textOrNull(t.certificate))
                          .text("status", dueStatusText(t.status))
                          .str());
    return QByteArray::fromStdString(
        "{\n    \"format\": 2,\n    \"asOf\": " + jsonText(asOf) +
        ",\n    \"assetList\": " + std::to_string(assetList) +
        ",\n    \"testerList\": " + (testerList ? std::to_string(testerList) : "null") +
        ",\n    \"assets\": [" + (assets.empty() ? "\n    ]" : jsonItems(assets)) +
        ",\n    \"testers\": [" + (due.empty() ? "\n    ]" : jsonItems(due)) + "\n}\n");
}

namespace {

std::vector<std::string> unknownCells(const UnknownDevice& d) {
    return {d.deviceId, std::to_string(d.tests), d.lastTested, d.tester, d.looksLike};
}
const std::vector<std::string> kUnknownHeads = {"device_id", "tests", "last_tested",
                                                "tester_serial", "looks_like"};

}  // namespace

std::string unknownCsv(const std::vector<UnknownDevice>& devices) {
    std::string out = csvRow(kUnknownHeads);
    for (const UnknownDevice& d : devices) {
        std::vector<std::string> cells = unknownCells(d);
        for (std::string& cell : cells) cell = latin1ToUtf8(cell);
        out += csvRow(cells, {true, false, false, true, true});
    }
    return out;
}

std::string unknownText(const std::vector<UnknownDevice>& devices) {
    std::vector<std::vector<std::string>> rows{kUnknownHeads};
    for (const UnknownDevice& d : devices) rows.push_back(unknownCells(d));
    return alignedTable(rows, {false, true, false, false, false});
}

QByteArray unknownJson(const std::vector<UnknownDevice>& devices, long long assetList) {
    std::vector<std::string> items;
    for (const UnknownDevice& d : devices)
        items.push_back(JsonObject("        ")
                            .text("deviceID", d.deviceId)
                            .number("tests", d.tests)
                            .value("lastTested", textOrNull(d.lastTested))
                            .text("testerSerial", d.tester)
                            .value("looksLike", textOrNull(d.looksLike))
                            .str());
    return QByteArray::fromStdString("{\n    \"format\": 1,\n    \"assetList\": " +
                                     (assetList ? std::to_string(assetList) : "null") +
                                     ",\n    \"devices\": [" +
                                     (items.empty() ? "\n    ]" : jsonItems(items)) + "\n}\n");
}
