// lumkest-cli due: the assets of the current list that are due or overdue
// for planned maintenance, and those never tested.

#include <algorithm>
#include <map>

#include "archive/assets.h"
#include "archive/typed.h"
#include "cli/commands.h"
#include "cli/outputs.h"
#include "cli/run.h"
#include "save/stamp.h"

namespace {

bool checkDue(const Options&, std::string*) { return true; }

int runDue(CliRun& run) {
    const Options& o = run.o;
    std::string error;
    std::unique_ptr<Archive> archive = Archive::open(o.archive, &error, ArchiveAccess::Read);
    std::vector<AssetRow> rows;
    AssetListInfo info;
    std::vector<std::pair<std::string, std::string>> tests;
    if (!archive || !archive->beginReading(&error) ||
        !archive->assetList(o.assetList, &rows, &info, &error) ||
        !archive->lastTests(info.number, &tests, &error))
        return run.archiveFailed(error);
    archive.reset();
    if (info.number == 0)
        return run.fail(CliNoRecords,
                        "the archive holds no asset list yet: add one with "
                        "lumkest-cli --archive DB assets FILE.csv");
    const std::map<std::string, std::string> last(tests.begin(), tests.end());
    const std::string asOf = o.asOf.empty() ? isoLocalTime(stampNow()).substr(0, 10) : o.asOf;
    std::vector<DueEntry> entries =
        dueList(AssetIndex(std::move(rows)), asOf, o.within, [&last](const std::string& device) {
            const auto found = last.find(identityText(device));
            return found == last.end() ? std::string() : found->second;
        });
    // By default only what needs doing, and nothing at all when nothing
    // does, so that a nightly job mails only then.
    if (!o.all)
        entries.erase(std::remove_if(entries.begin(), entries.end(),
                                     [](const DueEntry& e) {
                                         return e.status == DueStatus::Ok ||
                                                e.status == DueStatus::NoInterval;
                                     }),
                      entries.end());
    if (entries.empty()) return CliDone;
    return run.writeTable([&](Kind kind) {
        return kind == Kind::Json  ? dueJson(entries, asOf, info.number).toStdString()
               : kind == Kind::Csv ? dueCsv(entries)
                                   : dueText(entries);
    });
}

}  // namespace

const CliCommand kDueCommand = {
    "due",
    Command::Due,
    "lumkest-cli --archive DB due [--within DAYS] [--as-of DATE] [--all] [--asset-list N] "
    "[--text F] [--csv F] [--json F]",
    "lists the assets due or overdue for planned maintenance, and those never tested",
    {"archive", "quiet", "within", "as-of", "all", "asset-list", "text", "csv", "json"},
    &checkDue,
    &runDue,
    true,
};
