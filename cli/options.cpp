#include "cli/options.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <QCommandLineParser>
#include <QStringList>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "workshop/verdict.h"
#include "workshop/typed.h"
#include "cli/commands.h"
#include "device/simoptions.h"
#include "save/filewrite.h"
#include "save/writers.h"

const char* const kProgram = "lumkest-cli";
std::string usageLines() {
    std::string text;
    for (const CliCommand* command : cliCommands())
        text += (text.empty() ? "Usage: " : "\n       ") + std::string(command->synopsis);
    return text;
}

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
    {"pdf", Kind::Pdf, "the printed list layout, as PDF; (report) the workshop report as PDF"},
    {"pdf-records", Kind::PdfRecords, "the printed record layout, as PDF"},
    {"results", Kind::Results,
     "the verdicts as CSV for a maintenance-management system (history, download --archive)"},
    {"html", Kind::Html, "(report) the workshop report as one web page"},
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
    QCommandLineOption deviceOpt{"device", "(history, report) the records of this device ID", "ID"};
    QCommandLineOption testerOpt{
        "tester", "(history, report) the records of this tester's serial number", "SERIAL"};
    QCommandLineOption sinceOpt{"since", "(history, report) tested on or after DATE (2026-03-01)",
                                "DATE"};
    QCommandLineOption untilOpt{"until", "(history, report) tested on or before DATE", "DATE"};
    QCommandLineOption downloadOpt{
        "download", "(history) the records that download N brought first (see downloads)", "N"};
    QCommandLineOption resultOpt{
        "result", "(history) the records of this verdict: pass, fail, not-assessed or unreadable",
        "WORD"};
    QCommandLineOption assetListOpt{
        "asset-list", "judge by version N of the asset list (default: the latest)", "N"};
    QCommandLineOption withinOpt{"within", "(due) also the assets due within DAYS (default 0)",
                                 "DAYS"};
    QCommandLineOption asOfOpt{"as-of", "(due, report) the day to judge by (default: today)",
                               "DATE"};
    QCommandLineOption allOpt{"all", "(due) every asset, not only those due or never tested"};

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
    // Every option, each once.
    std::vector<const QCommandLineOption*> all() const {
        std::vector<const QCommandLineOption*> list = global();
        for (const QCommandLineOption& opt : outputOpts) list.push_back(&opt);
        for (const QCommandLineOption* opt : filters()) list.push_back(opt);
        for (const QCommandLineOption* opt : {&sortOpt, &paperOpt, &newOnlyOpt, &resultOpt,
                                              &assetListOpt, &withinOpt, &asOfOpt, &allOpt})
            list.push_back(opt);
        return list;
    }
    // The option one of whose names (without dashes) this is; nullptr: none.
    const QCommandLineOption* named(const QString& name) const {
        for (const QCommandLineOption* opt : all())
            if (opt->names().contains(name)) return opt;
        return nullptr;
    }
    bool known(const QString& name) const { return named(name) != nullptr; }
    std::vector<const QCommandLineOption*> single() const {
        return {&blockOpt,  &identityOpt,  &faultOpt,  &waitOpt,  &archiveOpt, &sortOpt,
                &paperOpt,  &deviceOpt,    &testerOpt, &sinceOpt, &untilOpt,   &downloadOpt,
                &resultOpt, &assetListOpt, &withinOpt, &asOfOpt};
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

int Output::descriptor() const {
    if (file == "/dev/stdin") return 0;
    if (file == "/dev/stdout") return 1;
    if (file == "/dev/stderr") return 2;
    for (const char* folder : {"/dev/fd/", "/proc/self/fd/"}) {
        const std::size_t length = std::strlen(folder);
        if (file.compare(0, length, folder) != 0 || file.size() == length ||
            file.size() > length + 9)
            continue;
        int fd = 0;
        for (std::size_t i = length; i < file.size(); ++i) {
            if (file[i] < '0' || file[i] > '9') return -1;
            fd = fd * 10 + (file[i] - '0');
        }
        return fd;
    }
    return -1;
}

bool Options::needsPdf() const { return output(Kind::Pdf) || output(Kind::PdfRecords); }
bool Options::needsFonts() const { return needsPdf() || output(Kind::Html); }

const Output* Options::output(Kind kind) const {
    for (const Output& o : outputs)
        if (o.kind == kind) return &o;
    return nullptr;
}

// The option's long name as the command table names it ("q" is "quiet").
std::string longName(const QCommandLineOption& opt) { return bytes(opt.names().last()); }

// The commands that take an option, as a message says them: "info and download".
std::string takersOf(const std::string& option) {
    std::vector<std::string> names;
    for (const CliCommand* command : cliCommands())
        if (command->takes(option)) names.push_back(command->name);
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i)
        text += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
    return text;
}

bool parseOptions(int argc, char** argv, Options* o, std::string* error) {
    QStringList args;
    for (int i = 0; i < argc; ++i) args << fromBytes(argv[i]);
    const CliOptions c;
    QCommandLineParser p;
    p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    for (const QCommandLineOption* opt : c.all()) p.addOption(*opt);

    if (!p.parse(args)) {
        const QStringList unknown = p.unknownOptionNames();
        if (!unknown.isEmpty())
            return fail(error,
                        "unknown option " +
                            bytes((unknown.first().size() == 1 ? "-" : "--") + unknown.first()));
        // "Missing value after '--csv'."
        const QString text = p.errorText();
        const qsizetype open = text.indexOf('\''), close = text.lastIndexOf('\'');
        if (text.startsWith("Missing value") && open >= 0 && close > open)
            return fail(error, bytes(text.mid(open + 1, close - open - 1)) + " needs a value");
        return fail(error, bytes(text));
    }
    o->help = p.isSet(c.helpOpt);
    o->version = p.isSet(c.versionOpt);
    if (o->help || o->version) {
        const QStringList words = p.positionalArguments();
        if (o->help && !words.isEmpty()) o->helpCommand = bytes(words.first());
        return true;
    }

    // An option's value that is another option's name: "--csv --json x.json"
    // gave --csv the file "--json".  Any empty value is refused as well:
    // --device "" would match every record.
    auto name = [](const QCommandLineOption& opt) { return "--" + bytes(opt.names().first()); };
    for (const QString& given : p.optionNames()) {
        const std::string option = bytes((given.size() == 1 ? "-" : "--") + given);
        for (const QString& value : p.values(given)) {
            if (value.isEmpty()) return fail(error, option + " needs a value, not an empty one");
            if (value.startsWith("--") && c.known(value.mid(2).section('=', 0, 0)))
                return fail(error, option + " took " + bytes(value) + " as its value; give " +
                                       option + " its value first");
        }
    }

    for (const QCommandLineOption* once : c.single())
        if (p.values(*once).size() > 1) return fail(error, name(*once) + " given more than once");

    QStringList words = p.positionalArguments();
    const std::string word = words.isEmpty() ? std::string() : bytes(words.takeFirst());
    const CliCommand* command = cliCommandNamed(word);
    if (!command) {
        std::string names;
        for (const CliCommand* known : cliCommands())
            names += std::string(names.empty() ? "" : ", ") + known->name;
        return fail(error, word.empty() ? "no command: give one of " + names
                                        : "unknown command \"" + word + "\"");
    }
    o->command = command->command;
    for (const QString& file : words) o->files.push_back(bytes(file));

    // An option the command does not take, named with those that take it.
    for (const QString& given : p.optionNames()) {
        const std::string option = longName(*c.named(given));
        if (!command->takes(option))
            return fail(error, "--" + option + " belongs to " + takersOf(option) + ", not to " +
                                   command->name);
    }

    o->virtualTester = p.isSet(c.virtualOpt);
    o->quiet = p.isSet(c.quietOpt);
    // The virtual tester's options, where a command uses the tester.
    const bool usesTester = command->takes("virtual");
    if (p.isSet(c.blockOpt)) {
        if (!o->virtualTester)
            return fail(error, "--block is only for the virtual tester (--virtual)");
        o->simArgs.push_back("--block=" + bytes(p.value(c.blockOpt)));
    }
    if (p.isSet(c.identityOpt)) {
        if (!usesTester)
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
            o->outputs.push_back({kOutputs[i].kind, option, bytes(files[0])});
        }
    }
    o->sort = bytes(p.value(c.sortOpt).toLower());
    if (p.isSet(c.sortOpt) && o->sort != "id" && o->sort != "date")
        return fail(error, "--sort takes id or date, not \"" + bytes(p.value(c.sortOpt)) + "\"");
    o->paper = localePaper();
    if (p.isSet(c.paperOpt)) {
        const QString paper = p.value(c.paperOpt).toLower();
        if (paper != "a4" && paper != "letter")
            return fail(error,
                        "--paper takes a4 or letter, not \"" + bytes(p.value(c.paperOpt)) + "\"");
        o->paper = paper == "a4" ? Paper::A4 : Paper::Letter;
    }
    o->archive = bytes(p.value(c.archiveOpt));
    if (p.isSet(c.archiveOpt) && (o->archive.empty() || o->archive == "-"))
        return fail(error, "--archive needs a file name or a postgresql:// URI, not \"" +
                               o->archive + "\": an archive cannot be standard input or output");
    o->newOnly = p.isSet(c.newOnlyOpt);
    o->device = bytes(p.value(c.deviceOpt));
    o->tester = bytes(p.value(c.testerOpt));
    o->since = bytes(p.value(c.sinceOpt));
    o->until = bytes(p.value(c.untilOpt));
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
    if (p.isSet(c.resultOpt)) {
        o->result = resultFromWord(bytes(p.value(c.resultOpt)));
        if (!o->result)
            return fail(error, "--result takes pass, fail, not-assessed or unreadable, not \"" +
                                   bytes(p.value(c.resultOpt)) + "\"");
    }
    if (p.isSet(c.assetListOpt)) {
        bool ok = false;
        o->assetList = p.value(c.assetListOpt).toLongLong(&ok);
        if (!ok || o->assetList <= 0)
            return fail(error, "--asset-list takes a version's number (see assets --json), not \"" +
                                   bytes(p.value(c.assetListOpt)) + "\"");
    }
    if (p.isSet(c.withinOpt)) {
        bool ok = false;
        o->within = p.value(c.withinOpt).toLongLong(&ok);
        if (!ok || o->within < 0 || o->within > 36500)
            return fail(error, "--within takes a whole number of days, not \"" +
                                   bytes(p.value(c.withinOpt)) + "\"");
    }
    o->asOf = bytes(p.value(c.asOfOpt));
    if (p.isSet(c.asOfOpt) && !isIsoDate(o->asOf))
        return fail(error, "--as-of takes a date as 2026-03-01, not \"" + o->asOf + "\"");
    o->all = p.isSet(c.allOpt);
    // ISO dates compare as their texts do.
    if (!o->since.empty() && !o->until.empty() && o->since > o->until)
        return fail(
            error, "--since " + o->since + " is after --until " + o->until + ": no date can match");
    // What the command itself requires.
    if (command->needsArchive && o->archive.empty())
        return fail(error, std::string(command->name) + " needs --archive DB");
    return command->check(*o, error);
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

std::string helpText(const std::string& commandName) {
    const CliOptions c;
    const CliCommand* command = cliCommandNamed(commandName);
    if (!command) {
        QString text = QString::fromStdString(usageLines()) +
                       "\n\n"
                       "Downloads the results from a Dosimark Kest tester and writes them as the "
                       "LUM Kest\nwindow program does, without a window; keeps them in an archive "
                       "across downloads.\n\nCommands (lumkest-cli COMMAND --help for each "
                       "one's options):\n";
        for (const CliCommand* each : cliCommands())
            text += QString("  %1").arg(QString::fromLatin1(each->name), -20) +
                    QString::fromLatin1(each->summary) + "\n";
        text +=
            "\nExit codes: 0 done, 2 bad usage, 3 no tester, 4 the transfer or the decoding\n"
            "failed, 5 an output could not be written, 6 no records to write (the tester\n"
            "holds none, nothing new, nothing matches), 7 the archive could not be opened\n"
            "or written.  man lumkest-cli says more.\n";
        return bytes(text);
    }
    // One command: its synopsis and the options it takes.
    QString text = "Usage: " + QString::fromLatin1(command->synopsis) + "\n\nOptions:\n";
    bool outputs = false;
    for (const std::string& option : command->options) {
        const QCommandLineOption* opt = c.named(QString::fromStdString(option));
        text += helpLine(*opt);
        for (const OutputOption& out : kOutputs) outputs = outputs || option == out.name;
    }
    if (outputs && command->command != Command::Import)
        text +=
            "\nThe outputs are written in the order given.  FILE \"-\" is standard output (for\n"
            "one output).  A FILE that is no regular file (a pipe, /dev/stdout) is written\n"
            "plainly; any other is written whole or not at all.\n";
    return bytes(text);
}
