// lumkest-cli testers: a new version of the workshop's tester list (each
// tester's calibrations) into the archive, or the current version written
// out.

#include "cli/commands.h"
#include "cli/lists.h"
#include "cli/outputs.h"
#include "cli/run.h"
#include "save/stamp.h"
#include "workshop/testerlist.h"

namespace {

bool checkTesters(const Options& o, std::string* error) {
    return checkListCommand("testers", "tester list", o, error);
}

int runTesters(CliRun& run) {
    const Options& o = run.o;
    std::vector<TesterRow> rows;
    if (!o.files.empty())
        return addListVersion(
            run, o.files.front(),
            {"testers", "tester list",
             [&](const std::string& bytes, std::string* why, std::vector<std::string>* ignored) {
                 return readTesterList(bytes, &rows, why, ignored);
             },
             [&](Archive& archive, const std::string& bytes, AssetListInfo* info,
                 std::string* error) {
                 return archive.addTesterList(rows, bytes, stampNow(), info, error);
             },
             [] { return std::vector<std::string>(); }});
    std::string error;
    std::unique_ptr<Archive> archive = Archive::open(o.archive, &error, ArchiveAccess::Read);
    AssetListInfo info;
    if (!archive || !archive->testerList(0, &rows, &info, &error)) return run.archiveFailed(error);
    archive.reset();  // no lock held while an output waits for its reader
    if (info.number == 0)
        return run.fail(CliNoRecords,
                        "the archive holds no tester list yet: add one with "
                        "lumkest-cli --archive DB testers FILE.csv");
    return run.writeTable([&](OutputKind kind) {
        return kind == OutputKind::Json  ? testerListJson(rows, info).toStdString()
               : kind == OutputKind::Csv ? testerListCsv(rows, CsvFor::Spreadsheets)
                                         : testerListText(rows);
    });
}

}  // namespace

const CliCommand kTestersCommand = {
    "testers",
    Command::Testers,
    "lumkest-cli --archive DB testers FILE.csv | [--text FILE] [--csv FILE] [--json FILE]",
    "adds a version of the workshop's tester list, or writes the current one",
    {"archive", "quiet", "text", "csv", "json"},
    &checkTesters,
    &runTesters,
    true,
    {},
    {{"text", "the tester list as an aligned table (without an output: on standard output)"},
     {"csv", "the tester list as CSV in its own columns, as testers FILE.csv reads it"},
     {"json", "the tester list as JSON"}},
};
