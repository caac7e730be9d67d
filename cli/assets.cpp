// lumkest-cli assets: a new version of the workshop's asset list into the
// archive, or the current version written out.

#include <cstdio>

#include "cli/commands.h"
#include "cli/outputs.h"
#include "cli/run.h"
#include "save/stamp.h"
#include "workshop/assetlist.h"

namespace {

bool checkAssets(const Options& o, std::string* error) {
    if (o.files.size() > 1) {
        *error = "assets takes one asset list FILE.csv at a time";
        return false;
    }
    if (!o.files.empty() && !o.outputs.empty()) {
        *error = "assets takes a FILE.csv to add or outputs to write, not both";
        return false;
    }
    return true;
}

// Reads the file whole (within its bounds) and adds it as the list's next
// version; then says, even with -q, what of it will judge nothing (a
// doubtful list is loud).
int addList(CliRun& run, const std::string& name) {
    std::string bytes, why, error;
    if (!readInput(name, kAssetListLimits, &bytes, &why))
        return run.fail(CliUsage, "assets: cannot read \"" + name + "\": " + why);
    std::vector<AssetRow> rows, previous;
    std::vector<std::string> ignored;
    if (!readAssetList(bytes, &rows, &why, &ignored))
        return run.fail(CliUsage, "assets: \"" + name + "\": " + why);
    std::unique_ptr<Archive> archive = run.openForWriting(&error);
    AssetListInfo info;
    if (!archive || !archive->assetList(0, &previous, &info, &error) ||
        !archive->addAssetList(rows, bytes, stampNow(), &info, &error))
        return run.archiveFailed(error);
    if (!printAll(run.io.out, name + ": asset list " + std::to_string(info.number) + ", " +
                                  plural(rows.size(), "row", "rows") + "\n"))
        return run.stdoutFailed("assets");
    std::vector<std::string> notes;
    if (!ignored.empty()) {
        std::string names;
        for (const std::string& column : ignored) names += (names.empty() ? "" : ", ") + column;
        notes.push_back("ignored columns: " + names);
    }
    for (std::string& line : assetListWarnings(rows, previous)) notes.push_back(std::move(line));
    run.progress.clear();
    for (const std::string& line : notes)
        std::fprintf(run.io.err, "%s: asset list %lld: %s\n", kProgram, info.number, line.c_str());
    return CliDone;
}

int runAssets(CliRun& run) {
    const Options& o = run.o;
    if (!o.files.empty()) return addList(run, o.files.front());
    std::string error;
    std::unique_ptr<Archive> archive = Archive::open(o.archive, &error, ArchiveAccess::Read);
    std::vector<AssetRow> rows;
    AssetListInfo info;
    if (!archive || !archive->assetList(o.number("asset-list"), &rows, &info, &error))
        return run.archiveFailed(error);
    archive.reset();  // no lock held while an output waits for its reader
    if (info.number == 0)
        return run.fail(CliNoRecords,
                        "the archive holds no asset list yet: add one with "
                        "lumkest-cli --archive DB assets FILE.csv");
    return run.writeTable([&](OutputKind kind) {
        return kind == OutputKind::Json  ? assetListJson(rows, info).toStdString()
               : kind == OutputKind::Csv ? assetListCsv(rows)
                                         : assetListText(rows);
    });
}

}  // namespace

const CliCommand kAssetsCommand = {
    "assets",
    Command::Assets,
    "lumkest-cli --archive DB assets FILE.csv | [--asset-list N] [--text F] [--csv F] [--json F]",
    "adds a version of the workshop's asset list, or writes the current one",
    {"archive", "quiet", "text", "csv", "json", "asset-list"},
    &checkAssets,
    &runAssets,
    true,
};
