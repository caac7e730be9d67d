// lumkest-cli assets: a new version of the workshop's asset list into the
// archive, or the current version written out.

#include "cli/commands.h"
#include "cli/lists.h"
#include "cli/outputs.h"
#include "cli/run.h"
#include "save/stamp.h"
#include "workshop/assetlist.h"

namespace {

bool checkAssets(const Options& o, std::string* error) {
    return checkListCommand("assets", "asset list", o, error);
}

int addList(CliRun& run, const std::string& name) {
    std::vector<AssetRow> rows, previous;
    return addListVersion(
        run, name,
        {"assets", "asset list",
         [&](const std::string& bytes, std::string* why, std::vector<std::string>* ignored) {
             return readAssetList(bytes, &rows, why, ignored);
         },
         [&](Archive& archive, const std::string& bytes, AssetListInfo* info, std::string* error) {
             AssetListInfo before;
             return archive.assetList(0, &previous, &before, error) &&
                    archive.addAssetList(rows, bytes, stampNow(), info, error);
         },
         [&] { return assetListWarnings(rows, previous); }});
}

int runAssets(CliRun& run) {
    const Options& o = run.o;
    if (!o.files.empty()) return addList(run, o.files.front());
    std::string error;
    std::unique_ptr<Archive> archive = Archive::open(o.archive, &error, ArchiveAccess::Read);
    std::vector<AssetRow> rows;
    AssetListInfo info;
    if (!archive || !run.assetListHeld(*archive, &error) ||
        !archive->assetList(o.number("asset-list"), &rows, &info, &error))
        return run.archiveFailed(error);
    archive.reset();  // no lock held while an output waits for its reader
    if (info.number == 0)
        return run.fail(CliNoRecords,
                        "the archive holds no asset list yet: add one with "
                        "lumkest-cli --archive DB assets FILE.csv");
    return run.writeTable([&](OutputKind kind) {
        return kind == OutputKind::Json  ? assetListJson(rows, info).toStdString()
               : kind == OutputKind::Csv ? assetListCsv(rows, CsvFor::Spreadsheets)
                                         : assetListText(rows);
    });
}

}  // namespace

const CliCommand kAssetsCommand = {
    "assets",
    Command::Assets,
    "lumkest-cli --archive DB assets FILE.csv | [--asset-list N] [--text FILE] [--csv FILE] "
    "[--json FILE]",
    "adds a version of the workshop's asset list, or writes the current one",
    {"archive", "quiet", "text", "csv", "json", "asset-list"},
    &checkAssets,
    &runAssets,
    true,
    {},
    {{"text", "the asset list as an aligned table (without an output: on standard output)"},
     {"csv", "the asset list as CSV in its own columns, as assets FILE.csv reads it"},
     {"json", "the asset list as JSON"},
     {"asset-list", "write version N of the asset list (default: the latest)"}},
};
