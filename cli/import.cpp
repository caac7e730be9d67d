// lumkest-cli import: files the window program or lumkest-cli wrote, and
// whole SQLite archives, added to the archive in one transaction.

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <map>

#include "archive/pguri.h"
#include "cli/commands.h"
#include "cli/pending.h"
#include "cli/run.h"
#include "device/decode.h"
#include "save/readback.h"
#include "save/stamp.h"

namespace {

bool checkImport(const Options& o, std::string* error) {
    if (o.has("pending")) {
        if (!o.files.empty() || !o.identityFile.empty())
            *error =
                "import --pending takes neither FILE nor --identity (a kept download holds its "
                "tester's reply); import FILEs in a run of their own";
        return error->empty();
    }
    if (o.files.empty()) {
        *error = "import needs at least one FILE, or --pending";
        return false;
    }
    return true;
}

// What a kept download may be at most: 33 + 8194 bytes and a line or two.
constexpr InputLimits kPendingLimits{64u << 10, 0, "a download lumkest-cli kept"};

// import --pending: every download an archive could not take, in the order
// they were made, each in a transaction of its own; its file goes only once
// that has committed.  One that the archive holds already (its archiving
// did commit, or a run was stopped before the file went) is matched, not
// added again: the nth kept download of one tester, time and block is the
// nth such download archived.
int importPending(CliRun& run) {
    std::vector<std::string> names;
    std::string why;
    if (!pendingFiles(&names, &why)) return run.fail(CliUsage, "import --pending: " + why);
    std::vector<PendingDownload> kept;
    for (const std::string& name : names) {
        std::string bytes;
        PendingDownload d;
        d.file = name;
        struct stat st;
        if (::lstat(name.c_str(), &st) != 0 && errno == ENOENT) continue;  // taken meanwhile
        if (!readInput(name, kPendingLimits, &bytes, &why) || !readPending(bytes, &d, &why))
            return run.fail(CliUsage, "import --pending: \"" + name + "\": " + why +
                                          "; move it out of " + pendingFolder() +
                                          " to archive the others");
        kept.push_back(std::move(d));
    }
    if (kept.empty()) {
        run.progress.clear();
        if (!run.o.quiet)
            std::fprintf(run.io.err, "%s: no download is kept in %s\n", kProgram,
                         pendingFolder().c_str());
        return CliDone;
    }
    std::string error;
    std::unique_ptr<Archive> archive = run.openForWriting(&error);
    if (!archive) return run.archiveFailed(error);
    std::map<std::string, long long> alike;  // kept downloads of one kind met so far
    for (const PendingDownload& d : kept) {
        TesterIdentity tester;
        std::vector<TestRecord> records;
        std::size_t capacity = 0;
        parseIdentityReply(d.identity.data(), d.identity.size(), &tester);
        decodeRecords(d.block.data(), &records, &capacity);
        const long long nth =
            alike[tester.serial + '\n' + tester.id + '\n' + std::to_string(d.downloaded) + '\n' +
                  std::string(d.block.begin(), d.block.end())]++;
        const auto count = static_cast<long long>(records.size());
        long long number = 0;
        std::vector<bool> isNew;
        bool matched = false;
        if (!archive->transaction(
                [&](std::string* e) {
                    if (!archive->receivedDownload(tester, d.downloaded, d.block, count, nth,
                                                   &number, e))
                        return false;
                    matched = number != 0;
                    return matched ||
                           archive->addDownload(tester, d.downloaded, d.block, records, &isNew, e,
                                                RecordForm::Received, &number);
                },
                &error))
            return run.archiveFailed(error + "; \"" + d.file +
                                     "\" and the downloads kept after it stay for the next run");
        const std::string line =
            d.file + ": " + plural(records.size(), "record", "records") + ", " +
            (matched ? "archived already (download " + std::to_string(number) + ")"
                     : std::to_string(countAdded(isNew)) + " new (download " +
                           std::to_string(number) + ")") +
            "\n";
        if (!printAll(run.io.out, line)) return run.stdoutFailed("import");
        if (!dropPending(d.file, &why))
            return run.fail(CliWriteFailed,
                            "import --pending: " + why + "; the archive holds it (download " +
                                std::to_string(number) + "), so the next run matches it");
    }
    return CliDone;
}

// The line of one whole archive imported, with the lists it held: each
// list is taken only into an archive that has none of its own.
std::string archiveLine(const std::string& name, const ArchiveImport& got) {
    auto lists = [](long long held, long long added, const char* one, const char* many) {
        if (!held) return std::string();
        return "; " + plural(held, one, many) +
               (added ? ", " + std::to_string(added) + " new"
                      : std::string(" not imported: this archive has its own"));
    };
    return name + ": " + plural(got.downloads, "download", "downloads") + ", " +
           std::to_string(got.downloadsAdded) + " new; " +
           plural(got.records, "record", "records") + ", " + std::to_string(got.recordsAdded) +
           " new" + lists(got.assetLists, got.assetListsAdded, "asset list", "asset lists") +
           lists(got.testerLists, got.testerListsAdded, "tester list", "tester lists") + "\n";
}

int runImport(CliRun& run) {
    const Options& o = run.o;
    if (o.has("pending")) return importPending(run);
    std::vector<std::uint8_t> identity;
    if (!o.identityFile.empty()) {
        std::string text, why;
        if (!readInput(o.identityFile, kIdentityLimits, &text, &why))
            return run.fail(CliUsage, "--identity: cannot read \"" + o.identityFile + "\": " + why);
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
    // Every file is read and checked before the archive is opened, so a
    // wrong file leaves it as it was, and makes none.  What a file is, its
    // first bytes tell: a whole SQLite archive is opened read-only, checked
    // whole, and kept open in its one snapshot until it is added; any other
    // file is read within the bounds of a saved file.
    const std::size_t count = o.files.size();
    std::vector<SavedFileContents> files(count);
    std::vector<std::unique_ptr<Archive>> sources(count);
    std::vector<std::time_t> times(count);
    struct stat target;
    const bool targetIsFile = !isPostgresUri(o.archive) && ::stat(o.archive.c_str(), &target) == 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::string& name = o.files[i];
        std::string head, text, why;
        struct stat st;
        // A pipe or a device is read once; only a file can be an archive.
        const bool file = ::stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode);
        if ((file && !readHead(name, 16, &head, &why)) ||
            (!Archive::isSqliteFile(head) && !readInput(name, kSavedFileLimits, &text, &why)))
            return run.fail(CliUsage, "import: cannot read \"" + name + "\": " + why);
        if (Archive::isSqliteFile(head)) {
            if (targetIsFile && st.st_dev == target.st_dev && st.st_ino == target.st_ino)
                return run.fail(CliUsage, "import: \"" + name + "\" is the archive itself");
            sources[i] = Archive::open(name, &why, ArchiveAccess::Source);
            if (!sources[i]) return run.fail(CliUsage, "import: " + why);
            continue;
        }
        if (Archive::isSqliteFile(text))
            return run.fail(
                CliUsage, "import: \"" + name + "\" is an archive, which is read from a file only");
        if (!readSavedFile(text, identity.empty() ? nullptr : &identity, &files[i], &why))
            return run.fail(CliUsage, "import: \"" + name + "\": " + why);
        times[i] = stampTime(files[i].stamp, file ? st.st_mtime : stampNow());
    }
    // All files in one transaction: the archive takes them all or none,
    // and the lines are printed once it has.
    std::string error, lines;
    std::unique_ptr<Archive> archive = run.openForWriting(&error);
    if (!archive) return run.archiveFailed(error);
    const bool added = archive->transaction(
        [&](std::string* e) {
            lines.clear();
            for (std::size_t i = 0; i < count; ++i) {
                const std::string& name = o.files[i];
                if (sources[i]) {
                    ArchiveImport got;
                    if (!archive->addArchive(*sources[i], &got, e)) return false;
                    lines += archiveLine(name, got);
                    continue;
                }
                std::vector<bool> isNew;
                const SavedFileContents& f = files[i];
                if (!archive->addDownload(f.tester, times[i], f.block, f.records, &isNew, e,
                                          f.form))
                    return false;
                lines += name + ": " + plural(f.records.size(), "record", "records") + ", " +
                         std::to_string(countAdded(isNew)) + " new\n";
            }
            return true;
        },
        &error);
    if (!added) return run.archiveFailed(error);
    sources.clear();
    archive.reset();
    return printAll(run.io.out, lines) ? CliDone : run.stdoutFailed("import");
}

}  // namespace

const CliCommand kImportCommand = {
    "import",
    Command::Import,
    "lumkest-cli --archive DB import [--identity FILE] FILE... | --pending",
    "adds saved files, --raw blocks and whole SQLite archives to "
    "the archive, all in one transaction; or the downloads kept "
    "after an archive refused them",
    {"archive", "identity", "quiet", "pending"},
    &checkImport,
    &runImport,
    true,
    {OptionSpec::flag("pending",
                      "(import) every download kept when an archive could not take it "
                      "(exit 7), with its own time; each file goes once it is archived")},
    {{"identity",
      "the tester's 33-byte identity reply, which --raw blocks need (lumkest-cli info "
      "--identity FILE writes it)"}},
};
