// lumkest-cli download: every record from the tester, written to every
// output asked for and, with --archive, added to the archive once the
// outputs are written.

#include <memory>

#include "cli/commands.h"
#include "cli/outputs.h"
#include "cli/pending.h"
#include "cli/run.h"
#include "cli/tester.h"
#include "device/decode.h"
#include "device/monitor.h"
#include "records/sort.h"

namespace {

bool checkDownload(const Options& o, std::string* error) {
    if ((o.output(OutputKind::Results) || o.number("asset-list")) && o.archive.empty()) {
        *error =
            "--results and --asset-list belong to download with --archive, whose asset list "
            "gives the verdicts";
        return false;
    }
    if (o.has("new-only") && o.archive.empty()) {
        *error = "--new-only belongs to download with --archive";
        return false;
    }
    if (o.outputs.empty() && o.archive.empty()) {
        *error =
            "download needs at least one output (--csv, --text, --records, --pdf, "
            "--pdf-records, --json, --raw or --archive)";
        return false;
    }
    return true;
}

// The archive could not take the download (exit 7): it is kept for
// import --pending whatever outputs were asked for, and the line says where.
std::string keptForLater(const RunRecords& records) {
    const PendingDownload pending{std::string(), records.identity, records.block,
                                  records.downloaded};
    std::string file, why;
    if (!keepPending(pending, &file, &why))
        return "; the download could not be kept for import --pending either: " + why;
    return "; the download is kept in \"" + file +
           "\": lumkest-cli --archive DB import --pending archives it";
}

// A --asset-list N that the archive does not hold is bad usage, found
// before the tester is opened, so that a typo never costs a download.  An
// archive that cannot be read now is left to the download's own opening.
int checkAssetList(CliRun& run) {
    if (!run.o.number("asset-list")) return CliDone;
    std::string error;
    std::unique_ptr<Archive> archive = Archive::open(run.o.archive, &error, ArchiveAccess::Read);
    if (archive && !run.assetListHeld(*archive, &error)) return run.archiveFailed(error);
    return CliDone;
}

// What the archive makes of the download before anything is written: which
// records are new to it (--new-only keeps only those), when it first
// received each (this download, for the new ones) and the asset list that
// judges them, read from one snapshot let go at once.  The download itself
// is added only once every output is written, so that no lock is held
// while an output waits for its reader.  On failure only --raw is written.
int readArchive(CliRun& run, RunRecords* records, std::unique_ptr<Archive>* archive,
                JudgingList* list, std::vector<std::string>* received) {
    std::string error;
    std::vector<bool> fresh;
    *archive = run.openForWriting(&error);
    const SaveSource& s = records->source;
    if (!*archive || !(*archive)->beginReading(&error) ||
        !(*archive)->newRecords(s.tester, s.records, &fresh, &error) ||
        !run.loadJudge(**archive, list, &error) ||
        !(*archive)->firstReceived(s.tester.serial, s.records, received, &error)) {
        archive->reset();
        return run.archiveFailed(error + keptForLater(*records), &records->block);
    }
    (*archive)->endReading();
    for (std::string& when : *received)
        if (when.empty()) when = isoLocalTime(records->downloaded);
    // An output that fails from here on says what a rerun gives.
    run.afterWriteFailure =
        "; the archive is left as it was, so the same command gives these records again";
    if (!run.o.has("new-only")) return CliDone;
    std::vector<TestRecord> kept;
    std::vector<std::string> keptReceived;
    for (std::size_t i = 0; i < fresh.size(); ++i)
        if (fresh[i]) {
            kept.push_back(s.records[i]);
            keptReceived.push_back((*received)[i]);
        }
    records->source.records = std::move(kept);
    *received = std::move(keptReceived);
    return CliDone;
}

int runDownload(CliRun& run) {
    const Options& o = run.o;
    RunRecords records;
    if (const int code = checkAssetList(run); code != CliDone) return code;
    // The tester is closed once the block is in, before the files are written.
    const int received = withTester(run, [&](TesterSession& session) -> int {
        run.progress.note("Downloading\u2026");
        const SessionResult got = session.download();
        records.block = session.block();
        records.identity = instrumentIdentityReply();
        if (got == SessionResult::Done) return CliDone;
        // A block that arrived whole but would not decode is still written
        // raw, for a fault report or as the day's evidence.
        if (got == SessionResult::DataError && !records.block.empty()) {
            const int code = run.writeRawOnly(records.block);
            if (code != CliDone) return code;
            if (blockHoldsNoRecords(records.block.data()))
                return run.fail(CliNoRecords, "the tester holds no records");
        }
        return transferFailed(run, got);
    });
    if (received != CliDone) return received;
    if (o.value("sort") == "id") sortByDeviceID();
    if (o.value("sort") == "date") sortByDateTime();
    const RunStamp stamp = stampOfThisRun();
    records.source = currentSaveSource();
    records.source.stamp = stamp.text;
    records.downloaded = stamp.time;
    const SaveSource whole = records.source;  // what the archive takes
    std::string note = plural(whole.records.size(), "record", "records");
    // The archive takes the download only once every output is written: an
    // output that fails leaves it as it was, so that the same command gives
    // the same records again.
    std::unique_ptr<Archive> archive;
    JudgingList list;                        // with --archive, its asset list judges the records
    std::vector<std::string> firstReceived;  // when the archive first received each
    if (!o.archive.empty()) {
        const int code = readArchive(run, &records, &archive, &list, &firstReceived);
        if (code != CliDone) return code;
    }
    const bool nothingNew = archive && o.has("new-only") && records.source.records.empty();
    if (!archive) {
        run.progress.note(note);
        run.progress.keep();
    }
    const JudgingList* judging = archive ? &list : nullptr;
    const int code =
        nothingNew
            ? run.writeRawOnly(records.block)
            : run.writeOutputs(
                  records,
                  [&] {
                      return recordsJson(records.source, records.downloaded, judging, firstReceived)
                          .toStdString();
                  },
                  [&] {
                      std::string out = resultsHeader();
                      for (std::size_t i = 0; i < records.source.records.size(); ++i)
                          out += resultsRow(list.test(records.source.records[i], firstReceived[i],
                                                      records.source.tester.serial),
                                            records.source.tester, list.number);
                      return out;
                  });
    if (archive && code == CliDone) {
        std::string error;
        std::vector<bool> added;
        long long number = 0;
        if (!archive->addDownload(whole.tester, records.downloaded, records.block, whole.records,
                                  &added, &error, RecordForm::Received, &number))
            return run.fail(CliArchiveFailed,
                            "archive: " + error +
                                "; the outputs are written, but the archive holds nothing of "
                                "this download" +
                                keptForLater(records));
        if (!nothingNew) {
            run.progress.note(note + ", " + std::to_string(countAdded(added)) + " new (download " +
                              std::to_string(number) + ")");
            run.progress.keep();
        }
    }
    if (code == CliDone && nothingNew)
        return run.fail(CliNoRecords,
                        "no new records: the archive holds every record of this download already");
    return code;
}

}  // namespace

const CliCommand kDownloadCommand = {
    "download",
    Command::Download,
    "lumkest-cli [--virtual [--block FILE | --from FILE] [--identity FILE] [--fault KIND]] "
    "[--wait SECONDS] [-q] download OUTPUT... [--sort id|date] [--paper a4|letter] "
    "[--archive DB [--new-only] [--asset-list N] [--results FILE]]",
    "downloads all records and writes every output asked for",
    {"virtual", "block", "from",    "identity", "fault",    "wait",        "quiet",
     "csv",     "text",  "records", "json",     "pdf",      "pdf-records", "raw",
     "results", "sort",  "paper",   "archive",  "new-only", "asset-list"},
    &checkDownload,
    &runDownload,
    false,
    {OptionSpec::flag("new-only",
                      "(download --archive) only the records this download added, in every "
                      "output")},
};
