#include "cli/cli.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QStringList>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cli/outputs.h"
#include "device/decode.h"
#include "device/ftdidriver.h"
#include "device/monitor.h"
#include "device/session.h"
#include "device/simoptions.h"
#include "device/virtualtester.h"
#include "print/report.h"
#include "records/recordstore.h"
#include "records/sort.h"
#include "save/stamp.h"
#include "save/writers.h"

namespace {

const char* const kProgram = "lumkest-cli";
const char* const kUsage =
    "Usage: lumkest-cli [--virtual [--block FILE] [--identity FILE]] [--wait SECONDS] [-q] "
    "info | download OUTPUT... [--sort id|date] [--paper a4|letter]";
const char* const kUdevRule = "/lib/udev/rules.d/70-lumkest.rules";

// The outputs of download; they are written in the command line's order.
enum class Kind { Raw, Csv, Text, Records, Json, Pdf, PdfRecords };
struct OutputOption {
    const char* name;
    Kind kind;
    const char* description;
};
const OutputOption kOutputs[] = {
    {"raw", Kind::Raw, "the 8194-byte block exactly as received"},
    {"csv", Kind::Csv, "the CSV export of all records"},
    {"text", Kind::Text, "the text file, list format, all records"},
    {"records", Kind::Records, "the text file, individual record format, all records"},
    {"json", Kind::Json, "the records as JSON"},
    {"pdf", Kind::Pdf, "the printed list layout, as PDF"},
    {"pdf-records", Kind::PdfRecords, "the printed record layout, as PDF"},
};

struct Output {
    Kind kind;
    std::string option;  // "--csv"
    std::string file;    // the name's bytes as given; "-" is standard output
    bool toStdout() const { return file == "-"; }
};

struct Options {
    bool help = false;
    bool version = false;
    bool info = false;  // else download
    bool virtualTester = false;
    std::vector<std::string> simArgs;  // --block / --identity for the virtual tester
    std::uint64_t waitMs = 0;
    bool quiet = false;
    std::vector<Output> outputs;  // in the command line's order
    QString sort;                 // "", "id" or "date"
    Paper paper = Paper::A4;
    bool needsPdf() const {
        for (const Output& o : outputs)
            if (o.kind == Kind::Pdf || o.kind == Kind::PdfRecords) return true;
        return false;
    }
};

// Arguments are bytes: file names need not be UTF-8.  They are read as
// Latin-1, one character per byte, and turned back into the same bytes.
QString fromBytes(const char* arg) { return QString::fromLatin1(arg); }
std::string bytes(const QString& s) { return s.toLatin1().toStdString(); }

// The one-line progress note on a terminal: each note replaces the last.
class Progress {
public:
    Progress(const CliStreams& io, bool quiet) : err_(io.err), on_(io.progress && !quiet) {}
    ~Progress() { clear(); }
    void note(const char* text) {
        if (!on_) return;
        std::fprintf(err_, "\r\033[K%s", text);
        std::fflush(err_);
        shown_ = true;
    }
    // The last note stays on its line.
    void keep() {
        if (shown_) std::fputc('\n', err_);
        shown_ = false;
    }
    void clear() {
        if (shown_) std::fputs("\r\033[K", err_);
        shown_ = false;
    }

private:
    std::FILE* err_;
    bool on_;
    bool shown_ = false;
};

// Every output of one run carries one stamp: the stamp clock is read once,
// when the records are in, and held until the run ends.
std::time_t heldStamp = 0;
std::time_t heldStampClock() { return heldStamp; }
class HeldStamp {
public:
    HeldStamp() : previous_(setStampClock(&heldStampClock)) { heldStamp = previous_(); }
    ~HeldStamp() { setStampClock(previous_); }
    std::time_t time() const { return heldStamp; }

private:
    StampClock previous_;
};

// The options, each with the text --help shows for it.
struct CliOptions {
    QCommandLineOption virtualOpt{"virtual", "use the virtual tester instead of USB"};
    QCommandLineOption blockOpt{"block", "(with --virtual) the 8194-byte block it holds", "FILE"};
    QCommandLineOption identityOpt{"identity", "(with --virtual) its 33-byte identity reply",
                                   "FILE"};
    QCommandLineOption waitOpt{
        "wait", "wait up to SECONDS for a tester (default 0: it must be there)", "SECONDS"};
    QCommandLineOption quietOpt{{"q", "quiet"}, "no progress or notes on stderr"};
    QCommandLineOption helpOpt{{"h", "help"}, "this help"};
    QCommandLineOption versionOpt{"version", "the program's version"};
    std::vector<QCommandLineOption> outputOpts;  // as kOutputs
    QCommandLineOption sortOpt{"sort", "order the records by device ID or by test date and time",
                               "id|date"};
    QCommandLineOption paperOpt{"paper", "the PDF paper (default: the locale's, LC_PAPER)",
                                "a4|letter"};

    CliOptions() {
        for (const OutputOption& out : kOutputs)
            outputOpts.emplace_back(
                QString::fromLatin1(out.name),
                QString::fromLatin1(out.description) + " (\"-\": standard output)", "FILE");
    }
    std::vector<const QCommandLineOption*> global() const {
        return {&virtualOpt, &blockOpt, &identityOpt, &waitOpt, &quietOpt, &helpOpt, &versionOpt};
    }
};

// Where an output lands, to tell two outputs that name one file: the file's
// device and inode where it exists, else the real path it would be made at
// (its folder resolved, and a symbolic link at the end followed).
std::string targetOf(const std::string& file, std::FILE* out) {
    struct stat st;
    if (file == "-" ? ::fstat(fileno(out), &st) == 0 : ::stat(file.c_str(), &st) == 0) {
        if (S_ISCHR(st.st_mode) && st.st_rdev == makedev(1, 3)) return {};  // /dev/null
        return "inode " + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    }
    if (file == "-") return "standard output";
    std::string path = file;
    for (int hops = 0; hops < 40; ++hops) {
        char target[4096];
        const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
        if (n <= 0) break;
        const std::string next(target, static_cast<std::size_t>(n));
        const std::size_t slash = path.rfind('/');
        path =
            next[0] == '/' || slash == std::string::npos ? next : path.substr(0, slash + 1) + next;
    }
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : path.substr(0, slash);
    char* real = ::realpath(folder.c_str(), nullptr);
    if (!real) return "path " + path;
    std::string resolved = std::string(real) + "/" + path.substr(slash + 1);
    std::free(real);
    return "path " + resolved;
}

// Two outputs into one file would leave only the last of them; standard
// output takes one output only.
bool checkTargets(const Options& o, std::FILE* out, QString* error) {
    std::vector<std::string> seen;
    std::FILE* const stdoutFile = out;
    for (std::size_t i = 0; i < o.outputs.size(); ++i) {
        const Output& out = o.outputs[i];
        seen.push_back(targetOf(out.file, stdoutFile));
        for (std::size_t j = 0; j < i; ++j) {
            if (seen[j].empty() || seen[j] != seen[i]) continue;
            const Output& first = o.outputs[j];
            *error = QString::fromLatin1(
                first.toStdout() && out.toStdout()
                    ? first.option + " and " + out.option +
                          " both write to standard output; only one output may use \"-\""
                    : first.option + " \"" + first.file + "\" and " + out.option + " \"" +
                          out.file + "\" name the same file; give each output a file of its own");
            return false;
        }
    }
    return true;
}

// Parses the arguments; false with a one-line reason for bad usage.
bool parseOptions(const QStringList& args, Options* o, QString* error) {
    const CliOptions c;
    QCommandLineParser p;
    p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    for (const QCommandLineOption* opt : c.global()) p.addOption(*opt);
    for (const QCommandLineOption& opt : c.outputOpts) p.addOption(opt);
    p.addOption(c.sortOpt);
    p.addOption(c.paperOpt);

    if (!p.parse(args)) {
        *error = p.errorText();
        return false;
    }
    o->help = p.isSet(c.helpOpt);
    o->version = p.isSet(c.versionOpt);
    if (o->help || o->version) return true;

    for (const QCommandLineOption* once :
         {&c.blockOpt, &c.identityOpt, &c.waitOpt, &c.sortOpt, &c.paperOpt}) {
        if (p.values(*once).size() > 1) {
            *error = "--" + once->names().first() + " given more than once";
            return false;
        }
    }
    o->virtualTester = p.isSet(c.virtualOpt);
    o->quiet = p.isSet(c.quietOpt);
    for (const QCommandLineOption* sim : {&c.blockOpt, &c.identityOpt}) {
        if (!p.isSet(*sim)) continue;
        const QString name = "--" + sim->names().first();
        if (!o->virtualTester) {
            *error = name + " is only for the virtual tester (--virtual)";
            return false;
        }
        o->simArgs.push_back(bytes(name + "=" + p.value(*sim)));
    }
    if (p.isSet(c.waitOpt)) {
        bool ok = false;
        const uint seconds = p.value(c.waitOpt).toUInt(&ok);
        if (!ok || seconds > 7 * 24 * 3600) {
            *error = "--wait needs a whole number of seconds, up to a week";
            return false;
        }
        o->waitMs = std::uint64_t{seconds} * 1000;
    }

    const QStringList commands = p.positionalArguments();
    if (commands.size() != 1 || (commands[0] != "info" && commands[0] != "download")) {
        *error = commands.isEmpty()    ? QString("no command: give info or download")
                 : commands.size() > 1 ? "one command only, not \"" + commands.join(' ') + "\""
                                       : "unknown command \"" + commands[0] + "\"";
        return false;
    }
    o->info = commands[0] == "info";

    // The outputs in the order the command line gives them.
    for (const QString& given : p.optionNames()) {
        for (std::size_t i = 0; i < c.outputOpts.size(); ++i) {
            if (given != c.outputOpts[i].names().first()) continue;
            const QString name = QString("--%1").arg(kOutputs[i].name);
            const QStringList files = p.values(c.outputOpts[i]);
            if (files.size() > 1) {
                *error = name + " given more than once";
                return false;
            }
            if (files[0].isEmpty()) {
                *error = name + " needs a file name";
                return false;
            }
            o->outputs.push_back({kOutputs[i].kind, bytes(name), bytes(files[0])});
        }
    }
    o->sort = p.value(c.sortOpt);
    if (p.isSet(c.sortOpt) && o->sort != "id" && o->sort != "date") {
        *error = "--sort takes id or date, not \"" + o->sort + "\"";
        return false;
    }
    o->paper = localePaper();
    if (p.isSet(c.paperOpt)) {
        const QString paper = p.value(c.paperOpt).toLower();
        if (paper != "a4" && paper != "letter") {
            *error = "--paper takes a4 or letter, not \"" + p.value(c.paperOpt) + "\"";
            return false;
        }
        o->paper = paper == "a4" ? Paper::A4 : Paper::Letter;
    }
    if (o->info && (!o->outputs.empty() || p.isSet(c.sortOpt) || p.isSet(c.paperOpt))) {
        *error = "info writes no files: outputs, --sort and --paper belong to download";
        return false;
    }
    if (!o->info && o->outputs.empty()) {
        *error =
            "download needs at least one output (--csv, --text, --records, --pdf, "
            "--pdf-records, --json or --raw)";
        return false;
    }
    return true;
}

QString helpLine(const QCommandLineOption& opt) {
    QStringList names;
    for (const QString& n : opt.names()) names << (n.size() == 1 ? "-" : "--") + n;
    QString left = "  " + names.join(", ");
    if (!opt.valueName().isEmpty()) left += " " + opt.valueName();
    left = left.size() < 22 ? left.leftJustified(22) : left + "\n" + QString(22, ' ');
    return left + opt.description() + "\n";
}

QString helpText() {
    const CliOptions c;
    QString text = QString::fromLatin1(kUsage) +
                   "\n\n"
                   "Downloads the results from a Dosimark Kest tester and writes them as the LUM "
                   "Kest\nwindow program does, without a window.\n"
                   "  info                prints the tester's ID and serial number (\"ID: ...\", "
                   "\"SN: ...\")\n"
                   "  download            downloads all records and writes every output asked "
                   "for\n\nGlobal options:\n";
    for (const QCommandLineOption* opt : c.global()) text += helpLine(*opt);
    text += "\nOutputs of download (any number; at least one):\n";
    for (const QCommandLineOption& opt : c.outputOpts) text += helpLine(opt);
    text += helpLine(c.sortOpt);
    text += helpLine(c.paperOpt);
    text +=
        "\nThe outputs are written in the order given.  A FILE that is no regular file\n"
        "(a pipe, /dev/stdout) is written plainly; any other is written whole or not at all.\n"
        "\nExit codes: 0 done, 2 bad usage, 3 no tester, 4 the transfer or the decoding\n"
        "failed, 5 an output could not be written, 6 the tester holds no records.\n";
    return text;
}

std::string plural(std::size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

class Run {
public:
    Run(const Options& o, const CliStreams& io) : o_(o), io_(io), progress_(io, o.quiet) {}

    int go() {
        std::unique_ptr<VirtualTester> tester;
        std::unique_ptr<FtdiDriver> usb;
        if (o_.virtualTester) {
            tester = std::make_unique<VirtualTester>();
            SimOptions sim;
            std::string error;
            if (!parseSimOptions(o_.simArgs, &sim, &error)) return fail(CliUsage, error, true);
            applySimOptions(sim, tester.get());
            setDriver(tester.get());
        } else {
            usb = std::make_unique<FtdiDriver>();
            setDriver(usb.get());
        }
        const int code = useTester(usb.get());
        setDriver(nullptr);
        return code;
    }

private:
    int useTester(FtdiDriver* usb) {
        std::vector<std::uint8_t> block;
        {
            TesterSession session;
            progress_.note("Waiting for the tester\u2026");
            const SessionResult opened = session.open(o_.waitMs);
            if (opened != SessionResult::Done) return noTester(opened, usb);
            if (o_.info) {
                progress_.clear();
                std::fprintf(io_.out, "ID: %s\nSN: %s\n", instrumentIdText().c_str(),
                             instrumentSerialText().c_str());
                return std::fflush(io_.out) == 0 ? CliDone : stdoutFailed("info");
            }
            progress_.note("Downloading\u2026");
            const SessionResult got = session.download();
            block = session.block();
            if (got != SessionResult::Done) {
                // A block that arrived whole but would not decode is still
                // written raw, for a fault report or as the day's evidence.
                if (got == SessionResult::DataError && !block.empty()) {
                    const int code = writeRawOnly(block);
                    if (code != CliDone) return code;
                    if (blockHoldsNoRecords(block.data()))
                        return fail(CliNoRecords, "the tester holds no records");
                }
                return transferFailed(got);
            }
        }  // the tester is closed here, before the files are written
        const std::string count = plural(recordCount.load(), "record", "records");
        progress_.note(count.c_str());
        progress_.keep();
        if (o_.sort == "id") sortByDeviceID();
        if (o_.sort == "date") sortByDateTime();
        return writeOutputs(block);
    }

    int writeOutputs(const std::vector<std::uint8_t>& block) {
        HeldStamp stamp;
        const SaveSource source = currentSaveSource();
        for (const Output& out : o_.outputs) {
            std::string contents;
            bool made = true;
            switch (out.kind) {
                case Kind::Raw:
                    contents.assign(block.begin(), block.end());
                    break;
                case Kind::Csv:
                    made = csvFileText(source, AllRecords, &contents);
                    break;
                case Kind::Text:
                    made = textFileText(source, AllRecords, false, &contents);
                    break;
                case Kind::Records:
                    made = textFileText(source, AllRecords, true, &contents);
                    break;
                case Kind::Json: {
                    const QByteArray json = recordsJson(source, stamp.time());
                    contents.assign(json.constData(), static_cast<std::size_t>(json.size()));
                    break;
                }
                case Kind::Pdf:
                case Kind::PdfRecords: {
                    ReportJob job = currentReportJob(-1);
                    job.range = PrintAll;
                    job.format = out.kind == Kind::Pdf ? PrintListFormat : PrintRecordFormat;
                    QByteArray pdf;
                    made = reportPdf(job, o_.paper, &pdf);
                    contents.assign(pdf.constData(), static_cast<std::size_t>(pdf.size()));
                    break;
                }
            }
            if (!made) return fail(CliWriteFailed, out.option + ": the file could not be made");
            const int code = write(out, contents);
            if (code != CliDone) return code;
        }
        return CliDone;
    }

    // Standard output for "-"; anything else through the careful saver,
    // which writes pipes and devices plainly and files whole or not at all.
    int write(const Output& out, const std::string& contents) {
        if (out.toStdout()) {
            if (std::fwrite(contents.data(), 1, contents.size(), io_.out) != contents.size() ||
                std::fflush(io_.out) != 0)
                return stdoutFailed(out.option);
            return CliDone;
        }
        std::string reason;
        if (saveWholeFile(out.file, contents, &reason, kSaveStreamsToo) == kWriteDone)
            return CliDone;
        return fail(CliWriteFailed, out.option + ": cannot write \"" + out.file + "\": " + reason);
    }

    int stdoutFailed(const std::string& what) {
        const std::string reason = std::strerror(errno);
        std::clearerr(io_.out);
        return fail(CliWriteFailed, what + ": cannot write to standard output: " + reason);
    }

    int writeRawOnly(const std::vector<std::uint8_t>& block) {
        for (const Output& out : o_.outputs)
            if (out.kind == Kind::Raw) return write(out, std::string(block.begin(), block.end()));
        return CliDone;
    }

    const Output* rawOutput() const {
        for (const Output& out : o_.outputs)
            if (out.kind == Kind::Raw) return &out;
        return nullptr;
    }

    int noTester(SessionResult result, FtdiDriver* usb) {
        if (result == SessionResult::NoIdentity)
            return fail(CliTransferFailed,
                        "the tester did not answer the identity request; switch it off and on, "
                        "plug it in again and retry");
        switch (usb ? usb->lastOpenProblem() : FtdiDriver::OpenProblem::NotFound) {
            case FtdiDriver::OpenProblem::NoPermission:
                return fail(CliNoTester,
                            std::string("the tester was found but may not be opened by this user; "
                                        "install the udev rule ") +
                                kUdevRule +
                                " (package lumkest) or join the group plugdev "
                                "(sudo adduser $USER plugdev, then log in again), and plug the "
                                "tester in again");
            case FtdiDriver::OpenProblem::Busy:
                return fail(CliNoTester,
                            "the tester is in use by another program (the LUM Kest window?); "
                            "close it and retry");
            default:
                if (o_.waitMs > 0)
                    return fail(CliNoTester, "no tester found within " +
                                                 plural(o_.waitMs / 1000, "second", "seconds") +
                                                 "; plug it in and switch it on, or give a longer --wait");
                return fail(CliNoTester,
                            "no tester found; plug it in and switch it on, or give --wait SECONDS");
        }
    }

    int transferFailed(SessionResult result) {
        switch (result) {
            case SessionResult::CommandFailed:
                return fail(CliTransferFailed,
                            "the download request could not be sent to the tester; plug it in "
                            "again and retry");
            case SessionResult::NoAnswer:
                return fail(CliTransferFailed,
                            "the tester did not answer the download request within 3 seconds; "
                            "retry");
            case SessionResult::TransferTimeout:
                return fail(CliTransferFailed,
                            "a timeout occurred while transferring the data (the block "
                            "arrived incomplete); retry");
            case SessionResult::DataError: {
                const Output* raw = rawOutput();
                return fail(
                    CliTransferFailed,
                    "the transferred data could not be decoded (no records in it); "
                    "download again" +
                        (raw ? "; the block is kept in \"" + raw->file + "\" for a fault report"
                             : std::string(", and keep it with --raw FILE for a fault "
                                           "report")));
            }
            case SessionResult::Unplugged:
                return fail(CliTransferFailed,
                            "the tester was unplugged during the download; plug it in and retry");
            default:
                return fail(CliTransferFailed, "the download failed; retry");
        }
    }

    int fail(int code, const std::string& what, bool usage = false) {
        progress_.clear();
        std::fprintf(io_.err, "%s: %s\n", kProgram, what.c_str());
        if (usage) std::fprintf(io_.err, "%s\n", kUsage);
        return code;
    }

    const Options& o_;
    const CliStreams& io_;
    Progress progress_;
};

// Qt's own notes (such as "XDG_RUNTIME_DIR not set" under cron) are no
// messages of this program, whose standard error carries one line per error.
void onlyQtErrors(QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
}

}  // namespace

// Text for standard output: false, with errno kept, when it cannot be written.
bool printAll(std::FILE* out, const std::string& text) {
    return std::fwrite(text.data(), 1, text.size(), out) == text.size() && std::fflush(out) == 0;
}

int runCli(int& argc, char** argv, const CliStreams& io) {
    QStringList args;
    for (int i = 0; i < argc; ++i) args << fromBytes(argv[i]);
    Options o;
    QString error;
    if (!parseOptions(args, &o, &error) ||
        (!o.help && !o.version && !checkTargets(o, io.out, &error))) {
        std::fprintf(io.err, "%s: %s\n%s\n", kProgram, bytes(error).c_str(), kUsage);
        return CliUsage;
    }
    if (o.help || o.version) {
        const std::string text = o.help ? helpText().toStdString()
                                        : std::string(kProgram) + " " + LUMKEST_VERSION + "\n";
        if (printAll(io.out, text)) return CliDone;
        std::fprintf(io.err, "%s: cannot write to standard output: %s\n", kProgram,
                     std::strerror(errno));
        return CliWriteFailed;
    }

    // PDF needs a QGuiApplication, which needs no display on the offscreen
    // platform; everything else makes do with the lighter core application.
    // This program never shows a window, so the platform is offscreen
    // whatever the environment says: a desktop's QT_QPA_PLATFORM, passed on
    // to an ssh login or a timer with no display, would abort it.
    const QtMessageHandler previousHandler = qInstallMessageHandler(&onlyQtErrors);
    std::unique_ptr<QCoreApplication> app;
    if (!QCoreApplication::instance()) {
        if (o.needsPdf()) {
            qputenv("QT_QPA_PLATFORM", "offscreen");
            app = std::make_unique<QGuiApplication>(argc, argv);
        } else {
            app = std::make_unique<QCoreApplication>(argc, argv);
        }
    }
    const int code = Run(o, io).go();
    app.reset();
    qInstallMessageHandler(previousHandler);
    return code;
}
