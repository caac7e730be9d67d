#pragma once
// lumkest-cli's command line: the commands, the options and the outputs,
// parsed into plain values, and the text --help shows.
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
#include <optional>
#include <string>
#include <vector>

#include "workshop/verdict.h"
#include "print/paper.h"

extern const char* const kProgram;  // "lumkest-cli"
// The usage lines, after a usage error: every command's synopsis.
std::string usageLines();

enum class Command { Info, Download, History, Import, Downloads, Assets, Due, Report };

// The file outputs; they are written in the command line's order.
enum class Kind { Raw, Csv, Text, Records, Json, Pdf, PdfRecords, Results, Html };

struct Output {
    Kind kind;
    std::string option;  // "--csv"
    std::string file;    // the name's bytes as given; "-" is standard output
    bool toStdout() const { return file == "-"; }
    // The descriptor of this process that the name stands for, written
    // through as "-" is (appending where it was opened for appending, never
    // replaced): /dev/stdout, /dev/stderr, /dev/fd/N, /proc/self/fd/N; -1
    // for any other name.
    int descriptor() const;
};

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
    std::string sort;             // "", "id" or "date"
    Paper paper = Paper::A4;
    std::string archive;  // --archive DB; empty: none
    bool newOnly = false;
    // history's filters; empty: no filter
    std::string device, tester, since, until;
    long long download = 0;  // history --download N; 0: any
    std::optional<VerdictResult> result;  // history --result
    long long assetList = 0;              // --asset-list N; 0: the latest
    // due's
    long long within = 0;
    std::string asOf;  // ISO date; empty: today
    bool all = false;
    // the words after the command (import's files), and the identity reply
    // that raw blocks among them need
    std::vector<std::string> files;
    std::string identityFile;

    bool needsPdf() const;
    // PDF, or the web page's plots: fonts, so a QGuiApplication.
    bool needsFonts() const;
    const Output* output(Kind kind) const;  // nullptr when not asked for
};

// Parses argv (argv[0] the program); false with a one-line reason for bad
// usage.
bool parseOptions(int argc, char** argv, Options* o, std::string* error);

// Two outputs into one file would leave only the last of them, and standard
// output (out) takes one output only: false with a reason naming both.
bool checkTargets(const Options& o, std::FILE* out, std::string* error);

// The program's help, or one command's (its synopsis and options only).
std::string helpText(const std::string& command = std::string());
