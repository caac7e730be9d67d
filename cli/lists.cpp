#include "cli/lists.h"

#include <cstdio>

#include "save/stamp.h"

bool checkListCommand(const char* command, const char* list, const Options& o, std::string* error) {
    if (o.files.size() > 1) {
        *error = std::string(command) + " takes one " + list + " FILE.csv at a time";
        return false;
    }
    if (!o.files.empty() && !o.outputs.empty()) {
        *error = std::string(command) + " takes a FILE.csv to add or outputs to write, not both";
        return false;
    }
    return true;
}

int addListVersion(CliRun& run, const std::string& name, const ListCommand& list) {
    const std::string command = list.command;
    std::string bytes, why, error;
    if (!readInput(name, kAssetListLimits, &bytes, &why))
        return run.fail(CliUsage, command + ": cannot read \"" + name + "\": " + why);
    std::vector<std::string> ignored;
    if (!list.read(bytes, &why, &ignored))
        return run.fail(CliUsage, command + ": \"" + name + "\": " + why);
    std::unique_ptr<Archive> archive = run.openForWriting(&error);
    AssetListInfo info;
    if (!archive || !list.add(*archive, bytes, &info, &error)) return run.archiveFailed(error);
    archive.reset();
    if (!printAll(run.io.out, name + ": " + list.list + " " + std::to_string(info.number) + ", " +
                                  plural(static_cast<std::size_t>(info.rows), "row", "rows") +
                                  "\n"))
        return run.stdoutFailed(command);
    std::vector<std::string> notes;
    if (!ignored.empty()) {
        std::string names;
        for (const std::string& column : ignored) names += (names.empty() ? "" : ", ") + column;
        notes.push_back("ignored columns: " + names);
    }
    for (std::string& line : list.warnings()) notes.push_back(std::move(line));
    run.progress.clear();
    for (const std::string& line : notes)
        std::fprintf(run.io.err, "%s: %s %lld: %s\n", kProgram, list.list, info.number,
                     escapedText(line).c_str());
    return CliDone;
}
