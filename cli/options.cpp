#include "cli/options.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <QCommandLineParser>
#include <QStringList>
#include <algorithm>
#include <climits>
#include <cstring>

#include "cli/commands.h"
#include "device/simoptions.h"
#include "save/filewrite.h"
#include "workshop/typed.h"

namespace {

// Arguments are bytes: they are read as Latin-1, one character per byte, and
// turned back into the same bytes.
QString fromBytes(const char* arg) { return QString::fromLatin1(arg); }
std::string bytes(const QString& s) { return s.toLatin1().toStdString(); }

std::string dashed(const std::string& name) { return (name.size() == 1 ? "-" : "--") + name; }

bool fail(UsageError* error, UsageFault fault, const std::string& line) {
    *error = {fault, line};
    return false;
}

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

std::string lowered(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// A value by its option's rule; false with the line that refuses it.
bool readValue(const OptionSpec& declared, const QString& given, std::string* value,
               std::string* line) {
    const std::string text = bytes(given);
    const std::string refused = dashed(declared.name) + " takes " +
                                (declared.takes ? declared.takes : "") + ", not \"" + text + "\"";
    switch (declared.rule) {
        case ValueRule::Flag:
        case ValueRule::Text:
            *value = text;
            return true;
        case ValueRule::Date:
            *value = text;
            return isIsoDate(text) || (*line = refused, false);
        case ValueRule::Number: {
            bool ok = false;
            const long long n = given.toLongLong(&ok);
            *value = std::to_string(n);
            return (ok && n >= declared.min && n <= declared.max) || (*line = refused, false);
        }
        case ValueRule::Word:
            *value = lowered(text);
            for (const std::string& word : declared.words)
                if (*value == word) return true;
            *line = refused;
            return false;
    }
    return false;
}

}  // namespace

// ---- the parsed options ----

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

std::string Options::value(const std::string& option) const {
    const auto it = given.find(option);
    return it == given.end() ? std::string() : it->second;
}

long long Options::number(const std::string& option) const {
    const auto it = given.find(option);
    return it == given.end() ? 0 : std::stoll(it->second);
}

bool Options::needsPdf() const { return output(OutputKind::Pdf) || output(OutputKind::PdfRecords); }
bool Options::needsFonts() const {
    return needsPdf() || output(OutputKind::Html) || output(OutputKind::HtmlDir);
}

const Output* Options::output(OutputKind kind) const {
    for (const Output& o : outputs)
        if (o.kind == kind) return &o;
    return nullptr;
}

bool parseOptions(int argc, char** argv, Options* o, UsageError* error) {
    QStringList args;
    for (int i = 0; i < argc; ++i) args << fromBytes(argv[i]);
    // Every option of every command, each once, for Qt's parser.
    std::vector<QCommandLineOption> known;
    auto add = [&](const char* name, const char* shortName, const char* valueName) {
        QStringList names;
        if (shortName) names << shortName;
        names << name;
        known.emplace_back(names, QString(), valueName ? valueName : QString());
    };
    for (const std::vector<OptionSpec>* list : {&globalOptions(), &sharedOptions()})
        for (const OptionSpec& declared : *list)
            add(declared.name, declared.shortName, declared.valueName);
    for (const OutputSpec& out : outputOptions()) add(out.name, nullptr, out.valueName);
    for (const CliCommand* command : cliCommands())
        for (const OptionSpec& declared : command->own)
            if (std::none_of(known.begin(), known.end(), [&](const QCommandLineOption& k) {
                    return k.names().contains(declared.name);
                }))
                add(declared.name, declared.shortName, declared.valueName);
    QCommandLineParser p;
    p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    for (const QCommandLineOption& option : known) p.addOption(option);

    // A value option that ends the command line has no value at all; an
    // option's value is the word after it, whatever that word is.  The
    // command word is the first argument that is neither an option nor an
    // option's value: after info, --identity names the file the tester's
    // identity reply is written to, before it the virtual tester's.
    int commandAt = argc;
    int identityBefore = 0, identityAfter = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") break;
        if (arg.rfind("-", 0) != 0 || arg == "-") {
            if (commandAt == argc) commandAt = i;
            continue;
        }
        if (arg == "--identity" || arg.rfind("--identity=", 0) == 0)
            ++(commandAt < argc && std::strcmp(argv[commandAt], "info") == 0 ? identityAfter
                                                                             : identityBefore);
        if (arg.rfind("--", 0) != 0 || arg.find('=') != std::string::npos) continue;
        const OptionSpec* declared = optionNamed(arg.substr(2));
        if (!(declared && declared->valueName) && !outputNamed(arg.substr(2))) continue;
        if (i + 1 == argc) return fail(error, UsageFault::MissingValue, arg + " needs a value");
        ++i;
    }
    if (!p.parse(args)) {
        const QStringList unknown = p.unknownOptionNames();
        if (!unknown.isEmpty())
            return fail(error, UsageFault::UnknownOption,
                        "unknown option " + dashed(bytes(unknown.first())));
        return fail(error, UsageFault::BadValue, bytes(p.errorText()));
    }
    o->help = p.isSet("help");
    o->version = p.isSet("version");
    if (o->help || o->version) {
        const QStringList words = p.positionalArguments();
        if (o->help && !words.isEmpty()) o->helpCommand = bytes(words.first());
        return true;
    }

    // An option's value that is another option's name: "--csv --json x.json"
    // gave --csv the file "--json".  Any empty value is refused as well:
    // --device "" would match every record.
    for (const QString& given : p.optionNames()) {
        const std::string option = dashed(bytes(given));
        for (const QString& value : p.values(given)) {
            if (value.isEmpty())
                return fail(error, UsageFault::MissingValue,
                            option + " needs a value, not an empty one");
            const std::string name = bytes(value.mid(2).section('=', 0, 0));
            if (value.startsWith("--") && (optionNamed(name) || outputNamed(name)))
                return fail(error, UsageFault::MissingValue,
                            option + " took " + bytes(value) + " as its value; give " + option +
                                " its value first");
        }
    }
    // The long name of an option given by either of its names.
    auto longName = [](const QString& given) {
        const OptionSpec* declared = optionNamed(bytes(given));
        return declared ? std::string(declared->name) : bytes(given);
    };
    // info's --identity may stand twice: once before it for the virtual
    // tester, once after it, written.
    const bool identityOut = identityAfter > 0;
    for (const QString& given : p.optionNames()) {
        const OptionSpec* declared = optionNamed(longName(given));
        const bool twice = given == "identity" ? identityBefore > 1 || identityAfter > 1
                                               : p.values(given).size() > 1;
        if (declared && declared->valueName && twice)
            return fail(error, UsageFault::GivenTwice,
                        "--" + std::string(declared->name) + " given more than once");
    }

    QStringList words = p.positionalArguments();
    const std::string word = words.isEmpty() ? std::string() : bytes(words.takeFirst());
    const CliCommand* command = cliCommandNamed(word);
    if (!command) {
        std::string names;
        for (const CliCommand* each : cliCommands())
            names += std::string(names.empty() ? "" : ", ") + each->name;
        return fail(
            error, UsageFault::NoCommand,
            word.empty() ? "no command: give one of " + names : "unknown command \"" + word + "\"");
    }
    o->command = command->command;
    for (const QString& file : words) o->files.push_back(bytes(file));

    // An option the command does not take, named with those that take it.
    for (const QString& given : p.optionNames()) {
        const std::string option = longName(given);
        if (!command->takes(option))
            return fail(
                error, UsageFault::NotForCommand,
                "--" + option + " belongs to " + takersOf(option) + ", not to " + command->name);
    }

    o->virtualTester = p.isSet("virtual");
    o->quiet = p.isSet("quiet");
    // The virtual tester's options, where a command uses the tester.
    const bool usesTester = command->takes("virtual");
    if (p.isSet("block")) {
        if (!o->virtualTester)
            return fail(error, UsageFault::NotForCommand,
                        "--block is only for the virtual tester (--virtual)");
        o->simArgs.push_back("--block=" + bytes(p.value("block")));
    }
    if (p.isSet("from")) {
        if (!o->virtualTester)
            return fail(error, UsageFault::NotForCommand,
                        "--from is only for the virtual tester (--virtual)");
        o->simArgs.push_back("--from=" + bytes(p.value("from")));
    }
    // The one written by info comes last: it stands after the command word.
    const QStringList identities = p.values("identity");
    if (identities.size() > (identityOut ? 1 : 0)) {
        if (!usesTester)
            o->identityFile = bytes(identities.first());
        else if (o->virtualTester)
            o->simArgs.push_back("--identity=" + bytes(identities.first()));
        else
            return fail(error, UsageFault::NotForCommand,
                        "--identity before the command is only for the virtual tester "
                        "(--virtual) and for import; info --identity FILE writes the reply");
    }
    if (p.isSet("fault")) {
        if (!o->virtualTester)
            return fail(error, UsageFault::NotForCommand,
                        "--fault is only for the virtual tester (--virtual)");
        o->fault = bytes(p.value("fault"));
        VirtualFault kind;
        if (!parseVirtualFault(o->fault, &kind))
            return fail(
                error, UsageFault::BadValue,
                "--fault takes silent, no-answer, short, empty or busy, not \"" + o->fault + "\"");
    }
    if (p.isSet("wait")) {
        bool ok = false;
        const uint seconds = p.value("wait").toUInt(&ok);
        if (!ok || seconds > 7 * 24 * 3600)
            return fail(error, UsageFault::BadValue,
                        "--wait needs a whole number of seconds, up to a week");
        o->waitMs = std::uint64_t{seconds} * 1000;
        o->waitGiven = true;
    }

    // The outputs in the order the command line gives them.
    int identitiesSeen = 0;
    for (const QString& given : p.optionNames()) {
        if (identityOut && given == "identity" && ++identitiesSeen == identities.size())
            o->outputs.push_back({OutputKind::Identity, "--identity", bytes(identities.last())});
        const OutputSpec* out = outputNamed(bytes(given));
        if (!out) continue;
        const std::string option = "--" + std::string(out->name);
        const QStringList files = p.values(given);
        if (files.size() > 1)
            return fail(error, UsageFault::GivenTwice, option + " given more than once");
        o->outputs.push_back({out->kind, option, bytes(files[0])});
    }
    // The other options by their rules.
    for (const QString& given : p.optionNames()) {
        const OptionSpec* declared = optionNamed(longName(given));
        if (!declared || std::any_of(globalOptions().begin(), globalOptions().end(),
                                     [&](const OptionSpec& g) { return &g == declared; }))
            continue;
        std::string value, line;
        if (declared->valueName && !readValue(*declared, p.value(given), &value, &line))
            return fail(error, UsageFault::BadValue, line);
        o->given[declared->name] = value;
    }
    o->paper = !o->has("paper")            ? localePaper()
               : o->value("paper") == "a4" ? Paper::A4
                                           : Paper::Letter;
    o->archive = bytes(p.value("archive"));
    if (p.isSet("archive") && (o->archive.empty() || o->archive == "-"))
        return fail(error, UsageFault::BadValue,
                    "--archive needs a file name or a postgresql:// URI, not \"" + o->archive +
                        "\": an archive cannot be standard input or output");
    // ISO dates compare as their texts do.
    const std::string since = o->value("since"), until = o->value("until");
    if (!since.empty() && !until.empty() && since > until)
        return fail(error, UsageFault::BadValue,
                    "--since " + since + " is after --until " + until + ": no date can match");
    // What the command itself requires.
    if (command->needsArchive && o->archive.empty())
        return fail(error, UsageFault::CommandRule,
                    std::string(command->name) + " needs --archive DB");
    std::string line;
    if (!command->check(*o, &line)) return fail(error, UsageFault::CommandRule, line);
    return true;
}

bool checkTargets(const Options& o, std::FILE* out, std::string* error) {
    // An SQLite archive is a file too, which no output may overwrite.
    std::vector<Output> targets = o.outputs;
    if (!o.archive.empty() && o.archive.find("://") == std::string::npos)
        targets.push_back({OutputKind::Raw, "--archive", o.archive});
    std::vector<std::string> seen;
    for (std::size_t i = 0; i < targets.size(); ++i) {
        const Output& second = targets[i];
        seen.push_back(targetOf(second.file, out));
        for (std::size_t j = 0; j < i; ++j) {
            if (seen[j].empty() || seen[j] != seen[i]) continue;
            const Output& first = targets[j];
            *error = first.toStdout() && second.toStdout()
                         ? first.option + " and " + second.option +
                               " both write to standard output; only one output may use \"-\""
                         : first.option + " \"" + first.file + "\" and " + second.option + " \"" +
                               second.file +
                               "\" name the same file; give each output a file of its own";
            return false;
        }
    }
    return true;
}
