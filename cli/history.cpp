// lumkest-cli history: the archived records that match the filters,
// through the same outputs as download, a record at a time where the output
// allows.

#include <algorithm>
#include <climits>
#include <map>
#include <set>

#include "cli/commands.h"
#include "cli/outputs.h"
#include "cli/run.h"
#include "device/decode.h"
#include "records/sort.h"
#include "save/stamp.h"

namespace {

const char* const kNoMatch = "no archived record matches";

bool checkHistory(const Options& o, std::string* error) {
    if (o.outputs.empty()) {
        *error =
            "history needs at least one output (--csv, --text, --records, --pdf, "
            "--pdf-records or --json)";
        return false;
    }
    return true;
}

// The records history writes: those that pass the filter and, with
// --result, whose verdict is the one asked for.
struct Choice {
    HistoryFilter filter;
    JudgingList list;
    std::optional<VerdictResult> result;
    // The record judged, when an output or --result needs its verdict.
    std::optional<JudgedTest> judged(const ArchivedRecord& a, bool needed) const {
        if (!needed && !result) return std::nullopt;
        return list.test(a.record, a.firstDownloaded, a.tester.serial);
    }
    bool keeps(const std::optional<JudgedTest>& t) const {
        return !result || t->verdict.result == *result;
    }
};

// The records of a download in the order its block holds them, each where
// it first stands there.
void inTesterOrder(const DownloadMade& night, std::vector<ArchivedRecord>* archived) {
    std::vector<TestRecord> sent;
    std::size_t capacity = 0;
    std::map<std::string, std::size_t> at;
    if (decodeRecords(night.block.data(), &sent, &capacity))
        for (std::size_t i = sent.size(); i-- > 0;) at[recordKey(night.tester.serial, sent[i])] = i;
    std::vector<std::pair<std::size_t, ArchivedRecord>> placed;
    for (ArchivedRecord& a : *archived) {
        const auto found = at.find(recordKey(a.tester.serial, a.record));
        placed.emplace_back(found == at.end() ? sent.size() : found->second, std::move(a));
    }
    std::stable_sort(placed.begin(), placed.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    archived->clear();
    for (auto& p : placed) archived->push_back(std::move(p.second));
}

// history's outputs a record at a time, each made from the spool of the
// records that the one pass over the archive's snapshot kept: header as the
// files name it, widths of the list format.  The snapshot is let go before
// the first output is written, so that no reader of an output (a pager left
// open, a pipe nobody reads) keeps the archive from its writers.
int writeHistory(CliRun& run, Archive& archive, const Choice& choice, RecordSpool& records,
                 unsigned count, const SaveSource& header, const std::vector<int>& widths) {
    const Options& o = run.o;
    archive.endReading();
    for (std::size_t i = 0; i < o.outputs.size(); ++i) {
        const Output& out = o.outputs[i];
        const SavedFormat format = out.kind == OutputKind::Csv    ? SavedFormat::Csv
                                   : out.kind == OutputKind::Text ? SavedFormat::List
                                                                  : SavedFormat::Records;
        const bool json = out.kind == OutputKind::Json, results = out.kind == OutputKind::Results;
        const auto produce = [&](const PieceWriter& put) {
            std::string piece;
            if (json)
                piece = historyJsonOpening();
            else if (results)
                piece = resultsHeader();
            else
                savedFileOpening(piece, format, header, widths);
            unsigned index = 0;
            bool kept = true;
            const bool replayed = records.replay([&](const ArchivedRecord& a) {
                const std::optional<JudgedTest> t = choice.judged(a, json || results);
                if (json)
                    historyJsonRecord(piece, a, *t, static_cast<int>(index + 1), &choice.list);
                else if (results)
                    piece += resultsRow(*t, a.tester, choice.list.number);
                else
                    savedFileRecord(piece, format, a.record, index, widths);
                ++index;
                if (piece.size() < 65536) return true;
                kept = put(piece);
                piece.clear();
                return kept;
            });
            if (!replayed || !kept) return false;
            if (json)
                piece += historyJsonClosing(true);
            else if (!results)
                savedFileClosing(piece, format);
            return put(piece);
        };
        std::string why;
        if (!run.putPieces(out, produce, &why)) return run.fail(CliWriteFailed, why);
        if (i == 0) {
            run.progress.note(plural(count, "record", "records"));
            run.progress.keep();
        }
    }
    return CliDone;
}

int runHistory(CliRun& run) {
    const Options& o = run.o;
    std::string error;
    std::unique_ptr<Archive> archive = Archive::open(o.archive, &error, ArchiveAccess::Read);
    // Every pass reads one snapshot, so the outputs agree with the first
    // pass however the archive grows meanwhile.
    if (!archive || !archive->beginReading(&error)) return run.archiveFailed(error);
    Choice choice;
    choice.filter = {o.value("device"), o.value("tester"), o.value("since"), o.value("until"),
                     o.number("download")};
    if (o.has("result")) choice.result = resultFromWord(o.value("result"));
    if (!run.loadJudge(*archive, &choice.list, &error)) return run.archiveFailed(error);
    // --download N gives back the records that download brought as its
    // night's files held them: under its tester and stamped with its time,
    // and, for a download from the tester, in the order the tester sent
    // them (unless --sort).
    DownloadMade night;
    if (o.number("download") && !archive->downloadMade(o.number("download"), &night, &error))
        return run.archiveFailed(error);
    const bool testerOrder = !night.block.empty() && !o.has("sort");
    // PDF, --sort and the tester's order need every record at once; the
    // other outputs are written a record at a time from a spool of the
    // records, made by the one pass that also finds what they need before
    // their first record.
    const bool whole = o.has("sort") || o.needsPdf() || testerOrder;
    RunRecords records;
    std::vector<ArchivedRecord> archived;  // PDF and --sort only
    RecordSpool spooled;                   // the others
    // Only the list format needs its widths before its first record.
    const bool listed = o.output(OutputKind::Text) != nullptr;
    std::set<std::string> testers;
    std::vector<int> widths = listStartWidths();
    unsigned count = 0;
    const bool read = archive->history(
        choice.filter,
        [&](const ArchivedRecord& a) {
            if (!choice.keeps(choice.judged(a, false))) return true;
            testers.insert(a.tester.serial);
            if (whole)
                archived.push_back(a);
            else if (!spooled.add(a))
                return false;
            if (listed) widenListColumns(&widths, a.record, count);
            ++count;
            return true;
        },
        &error);
    if (!read) return run.archiveFailed(error);
    if (!whole && !spooled.why().empty()) return run.fail(CliWriteFailed, spooled.why());
    if (count == 0) return run.fail(CliNoRecords, kNoMatch);

    // Text, CSV and PDF name one tester in their headers: a serial
    // number, whatever ID texts it had.
    const bool oneTesterOnly = o.output(OutputKind::Csv) || o.output(OutputKind::Text) ||
                               o.output(OutputKind::Records) || o.needsPdf();
    if (testers.size() > 1 && oneTesterOnly) {
        std::string names, id;
        for (const std::string& serial : testers) {
            if (!archive->latestTesterId(serial, &id, &error)) return run.archiveFailed(error);
            names += (names.empty() ? "" : ", ") + serial + " (" + id + ")";
        }
        return run.fail(CliUsage, "the records come from " +
                                      plural(testers.size(), "tester", "testers") + " (" + names +
                                      "); text, CSV and PDF name one tester: choose it with "
                                      "--tester SERIAL");
    }
    // The headers name the ID text of the tester's latest download.
    records.source.tester.serial = *testers.begin();
    if (night.number)
        records.source.tester = night.tester;
    else if (!archive->latestTesterId(records.source.tester.serial, &records.source.tester.id,
                                      &error))
        return run.archiveFailed(error);
    const RunStamp stamp =
        night.number ? RunStamp{night.time, saveStamp(night.time)} : stampOfThisRun();
    records.downloaded = stamp.time;
    records.source.stamp = stamp.text;
    if (!whole) return writeHistory(run, *archive, choice, spooled, count, records.source, widths);
    run.progress.note(plural(count, "record", "records"));
    run.progress.keep();
    archive.reset();
    if (o.has("sort")) {
        const auto compare = o.value("sort") == "id" ? compareByDeviceID : compareByDateTime;
        std::stable_sort(archived.begin(), archived.end(),
                         [compare](const ArchivedRecord& a, const ArchivedRecord& b) {
                             return compare(a.record, b.record) < 0;
                         });
    } else if (testerOrder) {
        inTesterOrder(night, &archived);
    }
    for (const ArchivedRecord& r : archived) records.source.records.push_back(r.record);
    return run.writeOutputs(
        records, [&] { return historyJson(archived, &choice.list).toStdString(); },
        [&] {
            std::string out = resultsHeader();
            for (const ArchivedRecord& a : archived)
                out += resultsRow(choice.list.test(a.record, a.firstDownloaded, a.tester.serial),
                                  a.tester, choice.list.number);
            return out;
        });
}

}  // namespace

const CliCommand kHistoryCommand = {
    "history",
    Command::History,
    "lumkest-cli --archive DB history [--device ID] [--tester SERIAL] [--since DATE] "
    "[--until DATE] [--download N] [--result WORD] [--asset-list N] [--sort id|date] "
    "[--paper a4|letter] OUTPUT...",
    "writes the archived records that match the filters",
    {"archive", "quiet", "csv", "text", "records", "json", "pdf", "pdf-records", "results", "sort",
     "paper", "device", "tester", "since", "until", "download", "result", "asset-list"},
    &checkHistory,
    &runHistory,
    true,
    {OptionSpec::number("download", "N",
                        "(history) the records that download N brought first (see downloads)",
                        "a download's number (see downloads)", 1, LLONG_MAX),
     OptionSpec::word("result", "WORD",
                      "(history) the records of this verdict: pass, fail, not-assessed or "
                      "unreadable",
                      "pass, fail, not-assessed or unreadable",
                      {"pass", "fail", "not-assessed", "unreadable"})},
};
