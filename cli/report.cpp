// lumkest-cli report: the workshop report of the archived tests that match
// the filters, judged by the asset list: a summary, then each device's
// trend as two plots and the table of its tests, as PDF, as one web page,
// or as an index page and a page per device.  What the report says is
// workshop/reportmodel.h's; this command reads the archive for it, a
// device at a time, and writes its outputs.

#include <sys/stat.h>

#include <QDate>
#include <QIODevice>
#include <QLocale>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "archive/pguri.h"
#include "cli/commands.h"
#include "cli/outputs.h"
#include "cli/run.h"
#include "save/filewrite.h"
#include "save/stamp.h"
#include "workshop/identity.h"
#include "workshop/qtoutputs.h"
#include "workshop/reportmodel.h"
#include "workshop/typed.h"

namespace {

bool checkReport(const Options& o, std::string* error) {
    if (!o.output(OutputKind::Pdf) && !o.output(OutputKind::Html) &&
        !o.output(OutputKind::HtmlDir)) {
        *error = "report needs at least one output (--pdf, --html or --html-dir)";
        return false;
    }
    const Output* folder = o.output(OutputKind::HtmlDir);
    if (folder && (folder->file.empty() || folder->toStdout() || folder->descriptor() >= 0)) {
        *error = "--html-dir needs a folder for its pages, not \"" + folder->file + "\"";
        return false;
    }
    return true;
}

// A date as the reader's locale writes it, in the report's 8-bit texts.
std::string localeDate(int year, int month, int day) {
    static const QLocale locale = QLocale::system();
    return locale.toString(QDate(year, month, day), QLocale::ShortFormat).toLatin1().toStdString();
}

// Qt's PDF writer writing into a spool.
class SpoolDevice : public QIODevice {
public:
    explicit SpoolDevice(Spool& spool) : spool_(spool) { open(QIODevice::WriteOnly); }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 size) override {
        return spool_.add(std::string(data, static_cast<std::size_t>(size))) ? size : -1;
    }

private:
    Spool& spool_;
};

// One output made into a spool while the archive is read, and written once
// it is let go.
struct Made {
    const Output* out;
    std::unique_ptr<Spool> spool;
};

// The pages of --html-dir: index.html (the summary, linking each device's
// page) and device-N.html, each a page of its own, written whole into the
// folder, which is made when it is not there.
bool writePages(const std::string& folder, const WorkshopReportModel& model,
                const std::string& stamp, const WorkshopSections& devices, std::string* why) {
    if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) {
        *why = std::strerror(errno);
        return false;
    }
    auto page = [&](const std::string& name, const std::string& html) {
        std::string reason;
        if (saveWholeFile(folder + "/" + name, html, &reason) == SaveResult::Done) return true;
        *why = "\"" + folder + "/" + name + "\": " + reason;
        return false;
    };
    const std::string head = workshopPageHead(model.title(), stamp), foot = workshopPageFoot();
    if (!page("index.html",
              head +
                  workshopSectionHtml(model.summary(WorkshopReportModel::Links::PagePerDevice),
                                      &plotSvg) +
                  foot))
        return false;
    std::size_t number = 0;
    return devices([&](const WorkshopSection& section) {
        return page("device-" + std::to_string(++number) + ".html",
                    head + "<p><a href=\"index.html\">Summary</a></p>\n" +
                        workshopSectionHtml(section, &plotSvg) + foot);
    });
}

int runReport(CliRun& run) {
    const Options& o = run.o;
    std::string error;
    std::unique_ptr<Archive> archive = Archive::open(o.archive, &error, ArchiveAccess::Read);
    JudgingList list;
    std::vector<DueEntry> due;
    std::vector<UnknownDevice> unknown;
    // The report's "due within" is a month unless --within says.
    const long long within = o.has("within") ? o.number("within") : 30;
    if (!archive || !archive->beginReading(&error) || !run.loadJudge(*archive, &list, &error) ||
        (list.number && (!run.loadDueList(*archive, list, within, &due, &error) ||
                         !archive->unknownDevices(list.number, &unknown, &error))))
        return run.archiveFailed(error);
    // The exception queue, of --device's device alone where it is given.
    const std::string device = identityText(o.value("device"));
    unknown.erase(std::remove_if(unknown.begin(), unknown.end(),
                                 [&](const UnknownDevice& d) {
                                     return !device.empty() && identityText(d.deviceId) != device;
                                 }),
                  unknown.end());
    for (UnknownDevice& d : unknown) d.looksLike = list.assets.lookAlike(d.deviceId);
    const WorkshopRequest request{uriWithoutPassword(o.archive),
                                  o.value("device"),
                                  o.value("tester"),
                                  o.value("since"),
                                  o.value("until"),
                                  run.asOf(),
                                  within,
                                  &localeDate};
    WorkshopReportModel model(request, list, std::move(due));
    model.setUnknown(std::move(unknown));
    const WorkshopPeriod& period = model.period();

    // The summary's pass over every test of the period, and those whose
    // date does not read (no date places them outside it); the others are
    // counted.
    const HistoryFilter filter{
        o.value("device"), o.value("tester"), period.first, period.last, 0, true};
    const HistoryFilter any{o.value("device"), o.value("tester"), "", "", 0, false};
    long long all = 0;
    if (!archive->history(
            filter,
            [&](const ArchivedRecord& a) {
                return model.add(list.test(a.record, a.firstDownloaded, a.tester.serial)), true;
            },
            &error) ||
        !archive->count(any, &all, &error))
        return run.archiveFailed(error);
    if (model.count() == 0)
        return run.fail(CliNoRecords, all == 0 ? std::string("no archived record matches")
                                               : "no archived test lies in the period " +
                                                     period.first + " to " + period.last + " (" +
                                                     plural(static_cast<std::size_t>(all),
                                                            "test lies", "tests lie") +
                                                     " outside it: see --since and --until)");
    model.setOutside(all - static_cast<long long>(model.count()));
    run.progress.note(plural(model.count(), "test", "tests"));
    run.progress.keep();
    const std::string stamp = model.stamp(isoLocalTime(stampNow()));

    // Each device's section from its own tests, read from the snapshot
    // when it is drawn, so that one device's tests are held at a time.
    const std::vector<WorkshopReportModel::DeviceEntry> devices = model.devices();
    std::string readFailure;
    const WorkshopSections deviceSections = [&](const auto& each) {
        std::size_t number = 0;
        for (const WorkshopReportModel::DeviceEntry& d : devices) {
            std::vector<JudgedTest> tests;
            const HistoryFilter mine{d.id, o.value("tester"), period.first, period.last, 0, true};
            if (!archive->history(
                    mine,
                    [&](const ArchivedRecord& a) {
                        // An empty ID filters nothing: its own tests are
                        // those whose ID is empty too.
                        if (identityText(FIELD_TEXT(a.record, deviceID)) == d.key)
                            tests.push_back(
                                list.test(a.record, a.firstDownloaded, a.tester.serial));
                        return true;
                    },
                    &readFailure))
                return false;
            if (!each(model.section(++number, tests))) return false;
        }
        return true;
    };
    const WorkshopSections onePage = [&](const auto& each) {
        return each(model.summary()) && deviceSections(each);
    };

    // Every output is made while the snapshot is read: a page folder
    // straight into its files, the others into spools that are written out
    // once the archive is let go, so that no lock is held while an output
    // waits for its reader.
    std::vector<Made> made;
    for (const Output& out : o.outputs) {
        std::string why;
        bool ok = true;
        if (out.kind == OutputKind::HtmlDir) {
            ok = writePages(out.file, model, stamp, deviceSections, &why);
            if (!ok && readFailure.empty())
                return run.fail(CliWriteFailed, out.option + ": cannot write " + why);
        } else {
            made.push_back({&out, std::make_unique<Spool>()});
            Spool& spool = *made.back().spool;
            if (out.kind == OutputKind::Pdf) {
                SpoolDevice device(spool);
                ok = workshopPdf(model.title(), stamp, onePage, o.paper, &device);
            } else {
                ok = spool.add(workshopPageHead(model.title(), stamp)) &&
                     onePage([&](const WorkshopSection& section) {
                         return spool.add(workshopSectionHtml(section, &plotSvg));
                     }) &&
                     spool.add(workshopPageFoot());
            }
            if (!ok && readFailure.empty())
                return run.fail(CliWriteFailed,
                                out.option + ": the file could not be made" +
                                    (spool.why().empty() ? "" : ": " + spool.why()));
        }
        if (!readFailure.empty()) return run.archiveFailed(readFailure);
    }
    archive.reset();
    for (const Made& m : made) {
        std::string why;
        if (!run.putPieces(
                *m.out, [&](const PieceWriter& put) { return m.spool->replay(put); }, &why))
            return run.fail(CliWriteFailed, why);
    }
    return CliDone;
}

}  // namespace

const CliCommand kReportCommand = {
    "report",
    Command::Report,
    "lumkest-cli --archive DB report [--device ID] [--tester SERIAL] [--since DATE] "
    "[--until DATE] [--asset-list N] [--as-of DATE] [--within DAYS] [--paper a4|letter] "
    "[--pdf FILE] [--html FILE] [--html-dir DIR]",
    "writes the workshop report: a summary of what needs doing, and each device's trend as "
    "plots and a table",
    {"archive", "quiet", "pdf", "html", "html-dir", "paper", "device", "tester", "since", "until",
     "asset-list", "as-of", "within"},
    &checkReport,
    &runReport,
    true,
    {},
    {{"pdf", "the workshop report as PDF"}},
};
