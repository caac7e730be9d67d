#include "cli/options.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <QCommandLineParser>
#include <QStringList>
#include <cstdlib>

#include "archive/typed.h"
#include "device/simoptions.h"
#include "save/writers.h"

const char* const kProgram = "lumkest-cli";
const char* const kUsage =
    "Usage: lumkest-cli [--virtual [--block FILE] [--identity FILE] [--fault KIND]] "
    "[--wait SECONDS] [-q] info | download OUTPUT... [--sort id|date] [--paper a4|letter] "
    "[--archive DB [--new-only]]\n"
    "       lumkest-cli --archive DB history [--device ID] [--tester SERIAL] [--since DATE] "
    "[--until DATE] [--download N] [--sort id|date] OUTPUT...\n"
    "       lumkest-cli --archive DB [--identity FILE] import FILE...\n"
    "       lumkest-cli --archive DB downloads OUTPUT...";

namespace {

struct OutputOption {
    const char* name;
    Kind kind;
    const char* description;
};
const OutputOption kOutputs[] = {
    {"raw", Kind::Raw, "the 8194-byte block exactly as received (download only)"},
    {"csv", Kind::Csv, "the CSV export of all records"},
    {"text", Kind::Text, "the text file, list format, all records"},
    {"records", Kind::Records, "the text file, individual record format, all records"},
    {"json", Kind::Json, "the records as JSON"},
    {"pdf", Kind::Pdf, "the printed list layout, as PDF"},
    {"pdf-records", Kind::PdfRecords, "the printed record layout, as PDF"},
};

// Arguments are bytes: they are read as Latin-1, one character per byte, and
// turned back into the same bytes.
QString fromBytes(const char* arg) { return QString::fromLatin1(arg); }
std::string bytes(const QString& s) { return s.toLatin1().toStdString(); }

// The options, each with the text --help shows for it.
struct CliOptions {
    QCommandLineOption virtualOpt{"virtual", "use the virtual tester instead of USB"};
    QCommandLineOption blockOpt{"block", "(with --virtual) the 8194-byte block it holds", "FILE"};
    QCommandLineOption identityOpt{
        "identity",
        "(with --virtual) its 33-byte identity reply; (import) the tester of raw blocks", "FILE"};
    QCommandLineOption faultOpt{
        "fault", "(with --virtual) a failure to rehearse: silent, no-answer, short, empty or busy",
        "KIND"};
    QCommandLineOption waitOpt{
        "wait", "wait up to SECONDS for a tester (default 0: it must be there)", "SECONDS"};
    QCommandLineOption quietOpt{{"q", "quiet"}, "no progress or notes on stderr"};
    QCommandLineOption archiveOpt{"archive", "the archive: an SQLite file, or a postgresql:// URI",
                                  "DB"};
    QCommandLineOption helpOpt{{"h", "help"}, "this help"};
    QCommandLineOption versionOpt{"version", "the program's version"};
    std::vector<QCommandLineOption> outputOpts;  // as kOutputs
    QCommandLineOption sortOpt{"sort", "order the records by device ID or by test date and time",
                               "id|date"};
    QCommandLineOption paperOpt{"paper", "the PDF paper (default: the locale's, LC_PAPER)",
                                "a4|letter"};
    QCommandLineOption newOnlyOpt{
        "new-only", "(download --archive) only the records this download added, in every output"};
    QCommandLineOption deviceOpt{"device", "(history) the records of this device ID", "ID"};
    QCommandLineOption testerOpt{"tester", "(history) the records of this tester's serial number",
                                 "SERIAL"};
    QCommandLineOption sinceOpt{"since", "(history) tested on or after DATE (2026-03-01)", "DATE"};
    QCommandLineOption untilOpt{"until", "(history) tested on or before DATE", "DATE"};
    QCommandLineOption downloadOpt{
        "download", "(history) the records that download N brought first (see downloads)", "N"};

    CliOptions() {
        for (const OutputOption& out : kOutputs)
            outputOpts.emplace_back(QString::fromLatin1(out.name),
                                    QString::fromLatin1(out.description), "FILE");
    }
    std::vector<const QCommandLineOption*> global() const {
        return {&virtualOpt, &blockOpt,   &identityOpt, &faultOpt,  &waitOpt,
                &quietOpt,   &archiveOpt, &helpOpt,     &versionOpt};
    }
    std::vector<const QCommandLineOption*> filters() const {
        return {&deviceOpt, &testerOpt, &sinceOpt, &untilOpt, &downloadOpt};
    }
    std::vector<const QCommandLineOption*> single() const {
        return {&blockOpt, &identityOpt, &faultOpt,  &waitOpt,  &archiveOpt, &sortOpt,
                &paperOpt, &deviceOpt,   &testerOpt, &sinceOpt, &untilOpt,   &downloadOpt};
    }
};

// Where an output lands, to tell two outputs that name one file: the file's
// device and inode where it exists, else the file a save would make.  Empty for
// /dev/null, which any number of outputs may share.
std::string targetOf(const std::string& file, std::FILE* out) {
    struct stat st;
    if (file == "-" ? ::fstat(fileno(out), &st) == 0 : ::stat(file.c_str(), &st) == 0) {
        if (S_ISCHR(st.st_mode) && st.st_rdev == makedev(1, 3)) return {};
        return "inode " + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    }
    if (file == "-") return "standard output";
    return "path " + savedFileOf(file);
}

QString helpLine(const QCommandLineOption& opt) {
    QStringList names;
    for (const QString& n : opt.names()) names << (n.size() == 1 ? "-" : "--") + n;
    QString left = "  " + names.join(", ");
    if (!opt.valueName().isEmpty()) left += " " + opt.valueName();
    left = left.size() < 22 ? left.leftJustified(22) : left + "\n" + QString(22, ' ');
    return left + opt.description() + "\n";
}

bool fail(std::string* error, const std::string& reason) {
    *error = reason;
    return false;
}

}  // namespace

bool Options::needsPdf() const { return output(Kind::Pdf) || output(Kind::PdfRecords); }

const Output* Options::output(Kind kind) const {
    for (const Output& o : outputs)
        if (o.kind == kind) return &o;
    return nullptr;
}

bool parseOptions(int argc, char** argv, Options* o, std::string* error) {
    QStringList args;
    for (int i = 0; i < argc; ++i) args << fromBytes(argv[i]);
    const CliOptions c;
    QCommandLineParser p;
    p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    for (const QCommandLineOption* opt : c.global()) p.addOption(*opt);
    for (const QCommandLineOption& opt : c.outputOpts) p.addOption(opt);
    for (const QCommandLineOption* opt : {&c.sortOpt, &c.paperOpt, &c.newOnlyOpt})
        p.addOption(*opt);
    for (const QCommandLineOption* opt : c.filters()) p.addOption(*opt);

    if (!p.parse(args)) return fail(error, bytes(p.errorText()));
    o->help = p.isSet(c.helpOpt);
    o->version = p.isSet(c.versionOpt);
    if (o->help || o->version) return true;

    auto name = [](const QCommandLineOption& opt) { return "--" + bytes(opt.names().first()); };
    for (const QCommandLineOption* once : c.single())
        if (p.values(*once).size() > 1) return fail(error, name(*once) + " given more than once");

    QStringList words = p.positionalArguments();
    const QString command = words.isEmpty() ? QString() : words.takeFirst();
    if (command == "info")
        o->command = Command::Info;
    else if (command == "download")
        o->command = Command::Download;
    else if (command == "history")
        o->command = Command::History;
    else if (command == "import")
        o->command = Command::Import;
    else if (command == "downloads")
        o->command = Command::Downloads;
    else
        return fail(error, command.isEmpty()
                               ? "no command: give info, download, history, import or downloads"
                               : "unknown command \"" + bytes(command) + "\"");
    if (o->command == Command::Import) {
        for (const QString& file : words) o->importFiles.push_back(bytes(file));
        if (o->importFiles.empty()) return fail(error, "import needs at least one FILE");
    } else if (!words.isEmpty()) {
        return fail(error,
                    "one command only, not \"" + bytes(command + " " + words.join(' ')) + "\"");
    }
    const bool usesTester = o->command == Command::Info || o->command == Command::Download;

    o->virtualTester = p.isSet(c.virtualOpt);
    o->quiet = p.isSet(c.quietOpt);
    if (o->virtualTester && !usesTester)
        return fail(error, "--virtual belongs to info and download");
    if (p.isSet(c.blockOpt)) {
        if (!o->virtualTester)
            return fail(error, "--block is only for the virtual tester (--virtual)");
        o->simArgs.push_back("--block=" + bytes(p.value(c.blockOpt)));
    }
    if (p.isSet(c.identityOpt)) {
        if (o->command == Command::Import)
            o->identityFile = bytes(p.value(c.identityOpt));
        else if (o->virtualTester)
            o->simArgs.push_back("--identity=" + bytes(p.value(c.identityOpt)));
        else
            return fail(error,
                        "--identity is only for the virtual tester (--virtual) and for import");
    }
    if (p.isSet(c.faultOpt)) {
        if (!o->virtualTester)
            return fail(error, "--fault is only for the virtual tester (--virtual)");
        o->fault = bytes(p.value(c.faultOpt));
        VirtualFault known;
        if (!parseVirtualFault(o->fault, &known))
            return fail(error, "--fault takes silent, no-answer, short, empty or busy, not \"" +
                                   o->fault + "\"");
    }
    if (p.isSet(c.waitOpt)) {
        if (!usesTester) return fail(error, "--wait belongs to info and download");
        bool ok = false;
        const uint seconds = p.value(c.waitOpt).toUInt(&ok);
        if (!ok || seconds > 7 * 24 * 3600)
            return fail(error, "--wait needs a whole number of seconds, up to a week");
        o->waitMs = std::uint64_t{seconds} * 1000;
        o->waitGiven = true;
    }

    // The outputs in the order the command line gives them.
    for (const QString& given : p.optionNames()) {
        for (std::size_t i = 0; i < c.outputOpts.size(); ++i) {
            if (given != c.outputOpts[i].names().first()) continue;
            const std::string option = std::string("--") + kOutputs[i].name;
            const QStringList files = p.values(c.outputOpts[i]);
            if (files.size() > 1) return fail(error, option + " given more than once");
            if (files[0].isEmpty()) return fail(error, option + " needs a file name");
            o->outputs.push_back({kOutputs[i].kind, option, bytes(files[0])});
        }
    }
    o->sort = bytes(p.value(c.sortOpt));
    if (p.isSet(c.sortOpt) && o->sort != "id" && o->sort != "date")
        return fail(error, "--sort takes id or date, not \"" + o->sort + "\"");
    o->paper = localePaper();
    if (p.isSet(c.paperOpt)) {
        const QString paper = p.value(c.paperOpt).toLower();
        if (paper != "a4" && paper != "letter")
            return fail(error,
                        "--paper takes a4 or letter, not \"" + bytes(p.value(c.paperOpt)) + "\"");
        o->paper = paper == "a4" ? Paper::A4 : Paper::Letter;
    }
    o->archive = bytes(p.value(c.archiveOpt));
    if (p.isSet(c.archiveOpt) && o->archive.empty())
        return fail(error, "--archive needs a file name or a postgresql:// URI");
    o->newOnly = p.isSet(c.newOnlyOpt);
    o->device = bytes(p.value(c.deviceOpt));
    o->tester = bytes(p.value(c.testerOpt));
    o->since = bytes(p.value(c.sinceOpt));
    o->until = bytes(p.value(c.untilOpt));

    // What belongs to which command.
    const bool filtered = p.isSet(c.deviceOpt) || p.isSet(c.testerOpt) || p.isSet(c.sinceOpt) ||
                          p.isSet(c.untilOpt) || p.isSet(c.downloadOpt);
    if (filtered && o->command != Command::History)
        return fail(error, "--device, --tester, --since, --until and --download belong to history");
    if (p.isSet(c.downloadOpt)) {
        bool ok = false;
        o->download = p.value(c.downloadOpt).toLongLong(&ok);
        if (!ok || o->download <= 0)
            return fail(error, "--download takes a download's number (see downloads), not \"" +
                                   bytes(p.value(c.downloadOpt)) + "\"");
    }
    for (const QCommandLineOption* date : {&c.sinceOpt, &c.untilOpt})
        if (p.isSet(*date) && !isIsoDate(bytes(p.value(*date))))
            return fail(error, name(*date) + " takes a date as 2026-03-01, not \"" +
                                   bytes(p.value(*date)) + "\"");
    if (o->newOnly && (o->command != Command::Download || o->archive.empty()))
        return fail(error, "--new-only belongs to download with --archive");
    switch (o->command) {
        case Command::Info:
            if (!o->outputs.empty() || p.isSet(c.sortOpt) || p.isSet(c.paperOpt) ||
                !o->archive.empty())
                return fail(error,
                            "info writes no files: outputs, --sort, --paper and --archive belong "
                            "to download");
            break;
        case Command::Download:
            if (o->outputs.empty() && o->archive.empty())
                return fail(error,
                            "download needs at least one output (--csv, --text, --records, --pdf, "
                            "--pdf-records, --json, --raw or --archive)");
            break;
        case Command::History:
            if (o->archive.empty()) return fail(error, "history needs --archive DB");
            if (o->output(Kind::Raw))
                return fail(error, "--raw belongs to download: history has no block to write");
            if (o->outputs.empty())
                return fail(error,
                            "history needs at least one output (--csv, --text, --records, --pdf, "
                            "--pdf-records or --json)");
            break;
        case Command::Downloads:
            if (o->archive.empty()) return fail(error, "downloads needs --archive DB");
            for (const Output& out : o->outputs)
                if (out.kind != Kind::Text && out.kind != Kind::Csv && out.kind != Kind::Json)
                    return fail(error, out.option +
                                           " does not belong to downloads, which writes "
                                           "--text, --csv or --json");
            if (o->outputs.empty())
                return fail(error, "downloads needs at least one output (--text, --csv or --json)");
            if (p.isSet(c.sortOpt) || p.isSet(c.paperOpt))
                return fail(error, "--sort and --paper do not belong to downloads");
            break;
        case Command::Import:
            if (o->archive.empty()) return fail(error, "import needs --archive DB");
            if (!o->outputs.empty() || p.isSet(c.sortOpt) || p.isSet(c.paperOpt))
                return fail(error, "import writes no files, only the archive");
            break;
    }
    return true;
}

bool checkTargets(const Options& o, std::FILE* out, std::string* error) {
    // An SQLite archive is a file too, which no output may overwrite.
    std::vector<Output> targets = o.outputs;
    if (!o.archive.empty() && o.archive.find("://") == std::string::npos)
        targets.push_back({Kind::Raw, "--archive", o.archive});
    std::vector<std::string> seen;
    for (std::size_t i = 0; i < targets.size(); ++i) {
        const Output& second = targets[i];
        seen.push_back(targetOf(second.file, out));
        for (std::size_t j = 0; j < i; ++j) {
            if (seen[j].empty() || seen[j] != seen[i]) continue;
            const Output& first = targets[j];
            return fail(error, first.toStdout() && second.toStdout()
                                   ? first.option + " and " + second.option +
                                         " both write to standard output; only one output may "
                                         "use \"-\""
                                   : first.option + " \"" + first.file + "\" and " + second.option +
                                         " \"" + second.file +
                                         "\" name the same file; give each output a file of its "
                                         "own");
        }
    }
    return true;
}

std::string helpText() {
    const CliOptions c;
    QString text =
        QString::fromLatin1(kUsage) +
        "\n\n"
        "Downloads the results from a Dosimark Kest tester and writes them as the LUM Kest\n"
        "window program does, without a window; keeps them in an archive across downloads.\n"
        "  info                prints the tester's ID and serial number (\"ID: ...\", "
        "\"SN: ...\")\n"
        "  download            downloads all records and writes every output asked for\n"
        "  history             writes the archived records that match the filters\n"
        "  import              adds CSV exports, text files, --raw blocks and whole SQLite\n"
        "                      archives to the archive, all in one transaction\n"
        "  downloads           lists the archive's downloads and imports\n"
        "\nGlobal options:\n";
    for (const QCommandLineOption* opt : c.global()) text += helpLine(*opt);
    text += "\nOutputs of download and history (any number; at least one):\n";
    for (const QCommandLineOption& opt : c.outputOpts) text += helpLine(opt);
    text += helpLine(c.sortOpt);
    text += helpLine(c.paperOpt);
    text += helpLine(c.newOnlyOpt);
    text += "\nFilters of history:\n";
    for (const QCommandLineOption* opt : c.filters()) text += helpLine(*opt);
    text +=
        "\nThe outputs are written in the order given.  FILE \"-\" is standard output (for\n"
        "one output).  A FILE that is no regular file (a pipe, /dev/stdout) is written\n"
        "plainly; any other is written whole or not at all.\n"
        "\nExit codes: 0 done, 2 bad usage, 3 no tester, 4 the transfer or the decoding\n"
        "failed, 5 an output could not be written, 6 no records to write (the tester\n"
        "holds none, nothing new, nothing matches), 7 the archive could not be opened\n"
        "or written.\n";
    return bytes(text);
}
