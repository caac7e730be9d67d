// lumkest-cli unknown: the exception queue, each device the archive holds
// tests of that the asset list does not name, so that a nightly job can mail
// it; nothing at all when there is none.

#include "archive/pguri.h"
#include "cli/commands.h"
#include "cli/outputs.h"
#include "cli/run.h"

namespace {

bool checkUnknown(const Options&, std::string*) { return true; }

int runUnknown(CliRun& run) {
    const Options& o = run.o;
    std::string error;
    std::unique_ptr<Archive> archive = Archive::open(o.archive, &error, ArchiveAccess::Read);
    JudgingList list;
    std::vector<UnknownDevice> devices;
    if (!archive || !archive->beginReading(&error) || !run.loadJudge(*archive, &list, &error) ||
        !archive->unknownDevices(list.number, &devices, &error))
        return run.archiveFailed(error);
    archive.reset();
    if (devices.empty()) return CliDone;
    for (UnknownDevice& d : devices) d.looksLike = list.assets.lookAlike(d.deviceId);
    return run.writeTable([&](OutputKind kind) {
        return kind == OutputKind::Json  ? unknownJson(devices, list.number).toStdString()
               : kind == OutputKind::Csv ? unknownCsv(devices)
                                         : unknownText(devices);
    });
}

}  // namespace

const CliCommand kUnknownCommand = {
    "unknown",
    Command::Unknown,
    "lumkest-cli --archive DB unknown [--asset-list N] [--text FILE] [--csv FILE] [--json FILE]",
    "lists the devices with tests that the asset list does not name",
    {"archive", "quiet", "asset-list", "text", "csv", "json"},
    &checkUnknown,
    &runUnknown,
    true,
    {},
    {{"text", "the devices as an aligned table (without an output: on standard output)"},
     {"csv", "the devices as CSV"},
     {"json", "the devices as JSON"}},
};
