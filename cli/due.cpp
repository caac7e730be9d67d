// lumkest-cli due: the assets of the current list whose last test failed,
// that are due or overdue for planned maintenance, and those never tested.

#include "workshop/due.h"

#include <algorithm>

#include "cli/commands.h"
#include "cli/outputs.h"
#include "cli/run.h"
#include "workshop/typed.h"
#include "workshop/verdict.h"

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
    if (!run.loadDueList(*archive, list, o.number("within"), &entries, &error))
        return run.archiveFailed(error);
    archive.reset();
    std::vector<TesterDue> testers = testersDue(list.testers, run.asOf(), o.number("within"));
    // By default only what needs doing, and nothing at all when nothing
    // does, so that a nightly job mails only then.
    if (!o.has("all")) {
        entries.erase(std::remove_if(entries.begin(), entries.end(),
                                     [](const DueEntry& e) {
                                         return e.status == DueStatus::Ok ||
                                                e.status == DueStatus::NoInterval ||
                                                e.status == DueStatus::Retired;
                                     }),
                      entries.end());
        testers.erase(std::remove_if(testers.begin(), testers.end(),
                                     [](const TesterDue& t) { return t.status == DueStatus::Ok; }),
                      testers.end());
    }
    if (entries.empty() && testers.empty()) return CliDone;
    return run.writeTable([&](OutputKind kind) {
        return kind == OutputKind::Json
                   ? dueJson(entries, testers, run.asOf(), list.number, list.testerList)
                         .toStdString()
               : kind == OutputKind::Csv ? dueCsv(entries, testers)
                                         : dueText(entries, testers);
    });
}

}  // namespace

const CliCommand kDueCommand = {
    "due",
    Command::Due,
    "lumkest-cli --archive DB due [--within DAYS] [--as-of DATE] [--all] [--asset-list N] "
    "[--text FILE] [--csv FILE] [--json FILE]",
    "lists the assets that failed, are due or overdue, or were never tested, and the "
    "testers due for calibration",
    {"archive", "quiet", "within", "as-of", "all", "asset-list", "text", "csv", "json"},
    &checkDue,
    &runDue,
    true,
    {OptionSpec::flag("all", "(due) every asset and tester, not only those that need doing")},
    {{"text", "the due list as aligned tables (without an output: on standard output)"},
     {"csv", "the due list as CSV, assets and testers"},
     {"json", "the due list as JSON"}},
};
