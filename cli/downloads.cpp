// lumkest-cli downloads: the archive's downloads and imports, each with its
// number for history --download.

#include "cli/commands.h"
#include "cli/outputs.h"
#include "cli/run.h"

namespace {

bool checkDownloads(const Options& o, std::string* error) {
    if (o.archive.empty()) {
        *error = "downloads needs --archive DB";
        return false;
    }
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
    for (const Output& out : o.outputs) {
        std::string contents;
        if (out.kind == Kind::Json) {
            const QByteArray json = downloadsJson(list);
            contents.assign(json.constData(), static_cast<std::size_t>(json.size()));
        } else {
            contents = out.kind == Kind::Csv ? downloadsCsv(list) : downloadsText(list);
        }
        const int code = run.write(out, contents);
        if (code != CliDone) return code;
    }
    return CliDone;
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
};
