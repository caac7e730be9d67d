// lumkest-cli downloads: the archive's downloads and imports, each with its
// number for history --download.

#include "cli/commands.h"
#include "cli/outputs.h"
#include "cli/run.h"

namespace {

bool checkDownloads(const Options& o, std::string* error) {
    if (o.outputs.empty()) {
        *error = "downloads needs at least one output (--text, --csv or --json)";
        return false;
    }
    return true;
}

int runDownloads(CliRun& run) {
    const Options& o = run.o;
    std::string error;
    std::unique_ptr<Archive> archive = Archive::open(o.archive, &error, ArchiveAccess::Read);
    std::vector<ArchiveDownload> list;
    if (!archive || !archive->downloads(&list, &error)) return run.archiveFailed(error);
    archive.reset();
    return run.writeTable([&list](OutputKind kind) {
        return kind == OutputKind::Json  ? downloadsJson(list).toStdString()
               : kind == OutputKind::Csv ? downloadsCsv(list)
                                         : downloadsText(list);
    });
}

}  // namespace

const CliCommand kDownloadsCommand = {
    "downloads",
    Command::Downloads,
    "lumkest-cli --archive DB downloads OUTPUT...",
    "lists the archive's downloads and imports",
    {"archive", "quiet", "text", "csv", "json"},
    &checkDownloads,
    &runDownloads,
    true,
    {},
    {{"text", "the downloads as an aligned table"},
     {"csv", "the downloads as CSV"},
     {"json", "the downloads as JSON"}},
};
