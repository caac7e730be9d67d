// lumkest-cli report: the workshop report of the archived tests that match
// the filters, judged by the asset list: a summary, then each device's
// trend as two plots and the table of its tests, as PDF and as a web page.
// What the report says is workshop/reportmodel.h's; this command reads the
// archive for it and writes its outputs.

#include <QDate>
#include <QLocale>
#include <algorithm>

#include "archive/pguri.h"
#include "cli/commands.h"
#include "cli/outputs.h"
#include "cli/run.h"
#include "save/stamp.h"
#include "workshop/identity.h"
#include "workshop/qtoutputs.h"
#include "workshop/reportmodel.h"
#include "workshop/typed.h"

namespace {

bool checkReport(const Options& o, std::string* error) {
    if (!o.output(OutputKind::Pdf) && !o.output(OutputKind::Html)) {
        *error = "report needs at least one output (--pdf or --html)";
        return false;
    }
    return true;
}

// A date as the reader's locale writes it, in the report's 8-bit texts.
std::string localeDate(int year, int month, int day) {
    static const QLocale locale = QLocale::system();
    return locale.toString(QDate(year, month, day), QLocale::ShortFormat).toLatin1().toStdString();
}

// Writes one output made in memory a megabyte at a time, without a copy.
int writeMade(CliRun& run, const Output& out, const char* data, std::size_t size) {
    std::string why;
    const bool ok = run.putPieces(
        out,
        [&](const PieceWriter& put) {
            for (std::size_t at = 0; at < size; at += 1 << 20)
                if (!put(std::string(data + at, std::min<std::size_t>(1 << 20, size - at))))
                    return false;
            return true;
        },
        &why);
    return ok ? CliDone : run.fail(CliWriteFailed, why);
}

int runReport(CliRun& run) {
    const Options& o = run.o;
    WorkshopReport report;
    {
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
                                         return !device.empty() &&
                                                identityText(d.deviceId) != device;
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
        // The tests of the period, and those whose date does not read (no
        // date places them outside it); the others are counted.
        HistoryFilter filter{
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
        archive.reset();
        if (model.count() == 0)
            return run.fail(
                CliNoRecords,
                all == 0
                    ? std::string("no archived record matches")
                    : "no archived test lies in the period " + period.first + " to " + period.last +
                          " (" + plural(static_cast<std::size_t>(all), "test lies", "tests lie") +
                          " outside it: see --since and --until)");
        model.setOutside(all - static_cast<long long>(model.count()));
        run.progress.note(plural(model.count(), "test", "tests"));
        run.progress.keep();
        report = model.build(isoLocalTime(stampNow()));
    }  // the records themselves are no longer needed
    for (const Output& out : o.outputs) {
        int code = CliDone;
        if (out.kind == OutputKind::Pdf) {
            QByteArray pdf;
            if (!workshopPdf(report, o.paper, &pdf))
                return run.fail(CliWriteFailed, out.option + ": the file could not be made");
            code = writeMade(run, out, pdf.constData(), static_cast<std::size_t>(pdf.size()));
        } else {
            const std::string page = workshopReportHtml(report, &plotSvg);
            code = writeMade(run, out, page.data(), page.size());
        }
        if (code != CliDone) return code;
    }
    return CliDone;
}

}  // namespace

const CliCommand kReportCommand = {
    "report",
    Command::Report,
    "lumkest-cli --archive DB report [--device ID] [--tester SERIAL] [--since DATE] "
    "[--until DATE] [--asset-list N] [--as-of DATE] [--within DAYS] [--paper a4|letter] "
    "[--pdf FILE] [--html FILE]",
    "writes the workshop report: a summary of what needs doing, and each device's trend as\n"
    "                      plots and a table",
    {"archive", "quiet", "pdf", "html", "paper", "device", "tester", "since", "until", "asset-list",
     "as-of", "within"},
    &checkReport,
    &runReport,
    true,
    {},
    {{"pdf", "the workshop report as PDF"}},
};
