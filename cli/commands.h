#pragma once
// The commands of lumkest-cli, one file each (info.cpp, download.cpp,
// history.cpp, import.cpp, downloads.cpp, assets.cpp, due.cpp, report.cpp),
// and the one table that lists them: a command's name, its synopsis for
// --help, the options it takes, what it checks of the command line beyond
// the common rules, and its run.

#include <string>
#include <utility>
#include <vector>

#include "cli/options.h"

class CliRun;

struct CliCommand {
    const char* name;
    Command command;
    const char* synopsis;  // without "Usage: "
    const char* summary;   // its line in lumkest-cli --help
    // The long names of the options it takes, in its --help's order: the
    // shared ones (cli/options.h) and its own.
    std::vector<std::string> options;
    // What it alone refuses; false with a one-line reason.
    bool (*check)(const Options& o, std::string* error);
    int (*run)(CliRun& run);
    // It reads or writes the archive, which --archive DB names.
    bool needsArchive = false;
    // The options only this command takes, declared here.
    std::vector<OptionSpec> own = {};
    // Its own line in its --help for a shared option or output, where the
    // shared one would not say what this command reads or writes with it
    // (downloads --csv writes the downloads, not records).
    std::vector<std::pair<std::string, const char*>> helpFor = {};

    bool takes(const std::string& option) const;
};

// Every command, in --help's order.
const std::vector<const CliCommand*>& cliCommands();
const CliCommand* cliCommandNamed(const std::string& name);  // nullptr: none
const CliCommand& cliCommand(Command command);

// Each command's own entry, defined in its file.
extern const CliCommand kInfoCommand;
extern const CliCommand kDownloadCommand;
extern const CliCommand kHistoryCommand;
extern const CliCommand kImportCommand;
extern const CliCommand kDownloadsCommand;
extern const CliCommand kAssetsCommand;
extern const CliCommand kTestersCommand;
extern const CliCommand kDueCommand;
extern const CliCommand kUnknownCommand;
extern const CliCommand kReportCommand;
