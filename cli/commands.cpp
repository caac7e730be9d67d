#include "cli/commands.h"

#include <algorithm>

bool CliCommand::takes(const std::string& option) const {
    return std::find(options.begin(), options.end(), option) != options.end();
}

const std::vector<const CliCommand*>& cliCommands() {
    static const std::vector<const CliCommand*> commands = {
        &kInfoCommand,   &kDownloadCommand, &kHistoryCommand, &kImportCommand,  &kDownloadsCommand,
        &kAssetsCommand, &kTestersCommand,  &kDueCommand,     &kUnknownCommand, &kReportCommand,
    };
    return commands;
}

const CliCommand* cliCommandNamed(const std::string& name) {
    for (const CliCommand* command : cliCommands())
        if (name == command->name) return command;
    return nullptr;
}

const CliCommand& cliCommand(Command command) {
    for (const CliCommand* each : cliCommands())
        if (each->command == command) return *each;
    return kDownloadCommand;
}
