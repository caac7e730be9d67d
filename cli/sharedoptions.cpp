// The options every command may take, the file outputs, and the options
// several commands share, each declared once; a command's own options are
// declared in its own file.

#include <climits>

#include "cli/commands.h"
#include "cli/options.h"

const std::vector<OptionSpec>& globalOptions() {
    using O = OptionSpec;
    static const std::vector<OptionSpec> options = {
        O::flag("virtual", "use the virtual tester instead of USB"),
        O::text("block", "FILE", "(with --virtual) the 8194-byte block it holds"),
        O::text("from", "FILE",
                "(with --virtual) the records it holds: those of a CSV export, a text file or a "
                "records JSON"),
        O::text("identity", "FILE",
                "(with --virtual) its 33-byte identity reply; (import) the tester of raw blocks"),
        O::text("fault", "KIND",
                "(with --virtual) a failure to rehearse: silent, no-answer, short, empty or busy"),
        O::text("wait", "SECONDS", "wait up to SECONDS for a tester (default 0: it must be there)"),
        O::flag("quiet", "no progress or notes on stderr", "q"),
        O::text("archive", "DB", "the archive: an SQLite file, or a postgresql:// URI"),
        O::flag("help", "this help", "h"),
        O::flag("version", "the program's version"),
    };
    return options;
}

const std::vector<OutputSpec>& outputOptions() {
    static const std::vector<OutputSpec> outputs = {
        {"raw", OutputKind::Raw, "the 8194-byte block exactly as received (download only)"},
        {"csv", OutputKind::Csv, "the CSV export of all records"},
        {"text", OutputKind::Text, "the text file, list format, all records"},
        {"records", OutputKind::Records, "the text file, individual record format, all records"},
        {"json", OutputKind::Json, "the records as JSON"},
        {"pdf", OutputKind::Pdf, "the printed list layout, as PDF"},
        {"pdf-records", OutputKind::PdfRecords, "the printed record layout, as PDF"},
        {"results", OutputKind::Results,
         "the verdicts as CSV for a maintenance-management system (history, download --archive)"},
        {"html", OutputKind::Html, "(report) the workshop report as one web page"},
        {"html-dir", OutputKind::HtmlDir,
         "(report) the workshop report as web pages: index.html and a page per device", "DIR"},
    };
    return outputs;
}

const std::vector<OptionSpec>& sharedOptions() {
    using O = OptionSpec;
    static const std::vector<OptionSpec> options = {
        O::word("sort", "id|date", "order the records by device ID or by test date and time",
                "id or date", {"id", "date"}),
        O::word("paper", "a4|letter", "the PDF paper (default: the locale's, LC_PAPER)",
                "a4 or letter", {"a4", "letter"}),
        O::text("device", "ID", "(history, report) the records of this device ID"),
        O::text("tester", "SERIAL", "(history, report) the records of this tester's serial number"),
        O::date("since", "(history, report) tested on or after DATE (2026-03-01)"),
        O::date("until", "(history, report) tested on or before DATE"),
        O::number("asset-list", "N", "judge by version N of the asset list (default: the latest)",
                  "a version's number (see assets --json)", 1, LLONG_MAX),
        O::date("as-of", "(due, report) the day to judge by (default: today)"),
        O::number("within", "DAYS",
                  "(due, report) also what is due within DAYS (default 0; report: 30)",
                  "a whole number of days", 0, 36500),
    };
    return options;
}

const OptionSpec* optionNamed(const std::string& name) {
    for (const std::vector<OptionSpec>* list : {&globalOptions(), &sharedOptions()})
        for (const OptionSpec& declared : *list)
            if (name == declared.name || (declared.shortName && name == declared.shortName))
                return &declared;
    for (const CliCommand* command : cliCommands())
        for (const OptionSpec& declared : command->own)
            if (name == declared.name) return &declared;
    return nullptr;
}

const OutputSpec* outputNamed(const std::string& name) {
    for (const OutputSpec& out : outputOptions())
        if (name == out.name) return &out;
    return nullptr;
}
