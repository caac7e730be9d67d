// lumkest-cli import: files the window program or lumkest-cli wrote, and
// whole SQLite archives, added to the archive in one transaction.

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "archive/importfile.h"
#include "cli/commands.h"
#include "cli/run.h"
#include "device/decode.h"
#include "save/stamp.h"

namespace {

bool checkImport(const Options& o, std::string* error) {
    if (o.files.empty()) {
        *error = "import needs at least one FILE";
        return false;
    }
    return true;
}

int runImport(CliRun& run) {
    const Options& o = run.o;
    std::vector<std::uint8_t> identity;
    if (!o.identityFile.empty()) {
        std::string text;
        if (!readWhole(o.identityFile, &text))
            return run.fail(CliUsage, "--identity: cannot read \"" + o.identityFile +
                                          "\": " + std::strerror(errno));
        identity.assign(text.begin(), text.end());
        // Checked before anything else, whether a raw block needs it or not.
        TesterIdentity tester;
        std::string wrong;
        if (!parseIdentityReply(identity.data(), identity.size(), &tester, &wrong))
            return run.fail(CliUsage, "--identity: \"" + o.identityFile +
                                          "\" is not a tester's identity reply: " + wrong);
        if (tester.serial.empty())
            return run.fail(CliUsage,
                            "--identity: \"" + o.identityFile + "\" names no serial number");
    }
    // Every file is read and checked before anything is added, so a
    // wrong file leaves the archive as it was.  A whole SQLite archive is
    // read when it is added.
    const std::size_t count = o.files.size();
    std::vector<ImportedFile> files(count);
    std::vector<bool> isArchive(count, false);
    std::vector<std::time_t> times(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::string& name = o.files[i];
        std::string text, why;
        struct stat st;
        if (!readWhole(name, &text) || ::stat(name.c_str(), &st) != 0)
            return run.fail(CliUsage,
                            "import: cannot read \"" + name + "\": " + std::strerror(errno));
        if ((isArchive[i] = Archive::isSqliteFile(text))) continue;
        if (!readSavedFile(text, identity.empty() ? nullptr : &identity, &files[i], &why))
            return run.fail(CliUsage, "import: \"" + name + "\": " + why);
        times[i] = stampTime(files[i].stamp, st.st_mtime);
    }
    // All files in one transaction: the archive takes them all or none,
    // and the lines are printed once it has.
    std::string error;
    std::unique_ptr<Archive> archive = run.openForWriting(&error);
    if (!archive || !archive->begin(&error)) return run.archiveFailed(error);
    std::string lines;
    for (std::size_t i = 0; i < count; ++i) {
        const std::string& name = o.files[i];
        if (isArchive[i]) {
            std::unique_ptr<Archive> source = Archive::open(name, &error, ArchiveAccess::Read);
            ArchiveImport got;
            if (!source) {
                archive->rollback();
                return run.archiveFailed(error);
            }
            if (!archive->addArchive(*source, &got, &error)) return run.archiveFailed(error);
            lines += name + ": " + plural(got.downloads, "download", "downloads") + ", " +
                     std::to_string(got.downloadsAdded) + " new; " +
                     plural(got.records, "record", "records") + ", " +
                     std::to_string(got.recordsAdded) + " new" +
                     (got.assetLists ? "; " + plural(got.assetLists, "asset list", "asset lists") +
                                           ", " + std::to_string(got.assetListsAdded) + " new"
                                     : std::string()) +
                     "\n";
            continue;
        }
        std::vector<bool> added;
        const ImportedFile& f = files[i];
        if (!archive->addDownload(f.tester, times[i], f.block, f.records, &added, &error, f.form))
            return run.archiveFailed(error);
        lines += name + ": " + plural(f.records.size(), "record", "records") + ", " +
                 std::to_string(countAdded(added)) + " new\n";
    }
    if (!archive->commit(&error)) return run.archiveFailed(error);
    return printAll(run.io.out, lines) ? CliDone : run.stdoutFailed("import");
}

}  // namespace

const CliCommand kImportCommand = {
    "import",
    Command::Import,
    "lumkest-cli --archive DB [--identity FILE] import FILE...",
    "adds saved files, --raw blocks and whole SQLite archives to\n"
    "                      the archive, all in one transaction",
    {"archive", "identity", "quiet"},
    &checkImport,
    &runImport,
    true,
};
