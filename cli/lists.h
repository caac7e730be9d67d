#pragma once
// What the assets and testers commands share: a new version of a workshop
// list read from a file and added to the archive, or a version written out.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cli/run.h"

// A workshop list as its command handles it.
struct ListCommand {
    const char* command;  // "assets"
    const char* list;     // "asset list"
    // Reads the file's bytes into the command's rows; false with *why.
    std::function<bool(const std::string& bytes, std::string* why,
                       std::vector<std::string>* ignored)>
        read;
    // Adds the rows read as a new version, in the open archive.
    std::function<bool(Archive& archive, const std::string& bytes, AssetListInfo* info,
                       std::string* error)>
        add;
    // Lines on what the new version will judge nothing with.
    std::function<std::vector<std::string>()> warnings;
};

// A command takes one FILE.csv to add, or outputs to write, not both.
bool checkListCommand(const char* command, const char* list, const Options& o, std::string* error);

// Reads the file within the list's bounds, refused whole or added as the
// next version; then says, even with -q, which columns were ignored and
// what of it will judge nothing (a doubtful list is loud).
int addListVersion(CliRun& run, const std::string& file, const ListCommand& list);
