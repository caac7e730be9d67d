#pragma once
// lumkest-cli's command line: the options every command may take, declared
// once each, and the rules their values share (a value is never empty nor
// another option's name, a date is an ISO date, a number lies in its range,
// a word is one of its words, an option belongs to the commands that take
// it); parsed into plain values, and the text --help shows.  Each command
// declares, in its own file, the options only it takes and the names of
// the shared ones it takes (cli/commands.h).
//
//   lumkest-cli [GLOBAL] info
//   lumkest-cli [GLOBAL] download [OUTPUTS] [--sort id|date] [--archive DB [--new-only]]
//   lumkest-cli --archive DB history [FILTERS] [--sort id|date] OUTPUTS
//   lumkest-cli --archive DB [--identity FILE] import FILE...
//   lumkest-cli --archive DB downloads OUTPUTS
//   lumkest-cli --archive DB assets [FILE.csv] | due | report [FILTERS] --pdf F --html F
//
// Arguments are bytes: file names and the archive's name need not be UTF-8,
// and are kept exactly as given.

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "print/paper.h"

extern const char* const kProgram;  // "lumkest-cli"
// The usage lines, after a usage error: every command's synopsis.
std::string usageLines();

enum class Command {
    Info,
    Download,
    History,
    Import,
    Downloads,
    Assets,
    Testers,
    Due,
    Unknown,
    Report
};

// The file outputs; they are written in the command line's order.
// Identity: info --identity FILE, the tester's identity reply as received.
enum class OutputKind {
    Raw,
    Csv,
    Text,
    Records,
    Json,
    Pdf,
    PdfRecords,
    Results,
    Html,
    HtmlDir,
    Identity
};

struct Output {
    OutputKind kind;
    std::string option;  // "--csv"
    std::string file;    // the name's bytes as given; "-" is standard output
    bool toStdout() const { return file == "-"; }
    // The descriptor of this process that the name stands for, written
    // through as "-" is (appending where it was opened for appending, never
    // replaced): /dev/stdout, /dev/stderr, /dev/fd/N, /proc/self/fd/N; -1
    // for any other name.
    int descriptor() const;
};

// How an option's value is read.
enum class ValueRule {
    Flag,    // takes no value
    Text,    // any bytes, but not none
    Date,    // an ISO date that exists (2026-03-01)
    Number,  // a whole number from min to max
    Word,    // one of its words, in any letter case (kept in lower case)
};

// One option: its names, its value, its line in --help, and its rule.
struct OptionSpec {
    const char* name;       // the long name, without dashes
    const char* valueName;  // "FILE", "DATE"; nullptr for a flag
    const char* help;       // its description in --help
    ValueRule rule;
    // What a refusal says the option takes: "--within takes a whole number
    // of days, not \"x\"" (Date, Number, Word).
    const char* takes;
    long long min, max;              // Number
    std::vector<std::string> words;  // Word
    const char* shortName;

    static OptionSpec flag(const char* name, const char* help, const char* shortName = nullptr) {
        return {name, nullptr, help, ValueRule::Flag, nullptr, 0, 0, {}, shortName};
    }
    static OptionSpec text(const char* name, const char* valueName, const char* help) {
        return {name, valueName, help, ValueRule::Text, nullptr, 0, 0, {}, nullptr};
    }
    static OptionSpec date(const char* name, const char* help) {
        return {name, "DATE", help, ValueRule::Date, "a date as 2026-03-01", 0, 0, {}, nullptr};
    }
    static OptionSpec number(const char* name, const char* valueName, const char* help,
                             const char* takes, long long min, long long max) {
        return {name, valueName, help, ValueRule::Number, takes, min, max, {}, nullptr};
    }
    static OptionSpec word(const char* name, const char* valueName, const char* help,
                           const char* takes, std::vector<std::string> words) {
        return {name, valueName, help, ValueRule::Word, takes, 0, 0, std::move(words), nullptr};
    }
};

// One file output: its option's name, its kind and its line in --help.
struct OutputSpec {
    const char* name;
    OutputKind kind;
    const char* help;
    const char* valueName = "FILE";  // what it names: a FILE, or a DIR of files
};

// The options every command may take (--virtual ... --version), the file
// outputs, and the options that several commands share (--sort, --paper,
// the filters, --asset-list, --as-of); a command's own options are in its
// file.
const std::vector<OptionSpec>& globalOptions();
const std::vector<OutputSpec>& outputOptions();
const std::vector<OptionSpec>& sharedOptions();
// Any option by its long or short name; nullptr for none (or an output).
const OptionSpec* optionNamed(const std::string& name);
const OutputSpec* outputNamed(const std::string& name);

struct Options {
    bool help = false;
    std::string helpCommand;  // --help after a command word: that command's help
    bool version = false;
    Command command = Command::Download;
    bool virtualTester = false;
    std::vector<std::string> simArgs;  // --block / --identity for the virtual tester
    std::string fault;                 // --fault KIND for the virtual tester
    std::uint64_t waitMs = 0;
    bool waitGiven = false;
    bool quiet = false;
    std::vector<Output> outputs;  // in the command line's order
    Paper paper = Paper::A4;      // --paper, else the locale's
    std::string archive;          // --archive DB; empty: none
    // the words after the command (import's files), and the identity reply
    // that raw blocks among them need
    std::vector<std::string> files;
    std::string identityFile;
    // Every other option given, checked by its rule, by its long name: its
    // value (a word in lower case), empty for a flag.
    std::map<std::string, std::string> given;

    bool has(const std::string& option) const { return given.count(option) > 0; }
    // The value given, or empty.
    std::string value(const std::string& option) const;
    // A Number option's value, or 0 when it was not given.
    long long number(const std::string& option) const;

    bool needsPdf() const;
    // PDF, or the web page's plots: fonts, so a QGuiApplication.
    bool needsFonts() const;
    const Output* output(OutputKind kind) const;  // nullptr when not asked for
};

// What kind of bad usage a command line is.
enum class UsageFault {
    UnknownOption,  // an option no command takes
    MissingValue,   // an option's value missing, empty, or another option's name
    GivenTwice,     // an option given more than once
    BadValue,       // a value its rule refuses
    NoCommand,      // no command word, or an unknown one
    NotForCommand,  // an option the command does not take, or not in this use
    CommandRule,    // what the command itself refuses
};

struct UsageError {
    UsageFault fault = UsageFault::CommandRule;
    std::string line;  // the one line that says what is wrong
};

// Parses argv (argv[0] the program); false with the bad usage.
bool parseOptions(int argc, char** argv, Options* o, UsageError* error);

// Two outputs into one file would leave only the last of them, and standard
// output (out) takes one output only: false with a reason naming both.
bool checkTargets(const Options& o, std::FILE* out, std::string* error);

// The program's help, or one command's (its synopsis and options only).
std::string helpText(const std::string& command = std::string());
