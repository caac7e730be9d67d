// lumkest-cli due: the assets of the current list whose last test failed,
// that are due or overdue for planned maintenance, and those never tested.

#include <algorithm>

#include "workshop/due.h"
#include "workshop/verdict.h"
#include "workshop/typed.h"
#include "cli/commands.h"
#include "cli/outputs.h"
#include "cli/run.h"

namespace {

bool checkDue(const Options&, std::string*) { return true; }

int runDue(CliRun& run) {
    const Options& o = run.o;
    std::string error;
    std::unique_ptr<Archive> archive = Archive::open(o.archive, &error, ArchiveAccess::Read);
    JudgingList list;
    std::vector<DueEntry> entries;
    if (!archive || !archive->beginReading(&error) || !run.loadJudge(*archive, &list, &error))
        return run.archiveFailed(error);
    if (list.number == 0)
        return run.fail(CliNoRecords,
                        "the archive holds no asset list yet: add one with "
                        "lumkest-cli --archive DB assets FILE.csv");
    if (!run.loadDueList(*archive, list, o.within, &entries, &error))
        return run.archiveFailed(error);
    archive.reset();
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
        return kind == Kind::Json  ? dueJson(entries, run.asOf(), list.number).toStdString()
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
    "lists the assets that failed, are due or overdue, or were never tested",
    {"archive", "quiet", "within", "as-of", "all", "asset-list", "text", "csv", "json"},
    &checkDue,
    &runDue,
    true,
};
