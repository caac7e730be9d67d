// Putting a saved file on disk: the results of a save, the file it leaves
// behind, what it syncs, and the careful saver's rules in real folders.

#include <fcntl.h>
#include <gtest/gtest.h>

#include <memory>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "save/filewrite.h"
#include "tests/core/samplesource.h"
#include "tests/files.h"

namespace fs = std::filesystem;

namespace {

class StreamedSave : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("lumkest-filewrite-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::vector<std::string> names() const {
        std::vector<std::string> n;
        for (const auto& e : fs::directory_iterator(dir_)) n.push_back(e.path().filename());
        std::sort(n.begin(), n.end());
        return n;
    }
    fs::path dir_;
};

TEST_F(StreamedSave, ResultsAndTheFileLeftBehind) {
    const std::string old = "the report signed yesterday\r\n";
    const fs::path target = dir_ / "report.txt";
    writeFile(target, old);

    // Empty name: nothing done.
    EXPECT_EQ(saveStreamedFile("", nullptr), SaveResult::Nothing);
    // A file made a piece at a time whose making fails leaves the old file
    // whole, and no temporary file is left.
    std::string reason;
    EXPECT_EQ(saveStreamedFile(
                  target.string(), [](const PieceWriter& put) { return !put("half"); }, &reason),
              SaveResult::Failed);
    EXPECT_EQ(reason, "the file could not be made");
    EXPECT_EQ(readFile(target), old);
    EXPECT_EQ(names(), std::vector<std::string>{"report.txt"});

    // A write that fails part way (here the file-size limit, as a full disk
    // would) leaves the old file whole too.
    auto limit = std::make_unique<SmallFileLimit>();
    ASSERT_TRUE(limit->ok());
    // Streamed, the failed write of the first 64 KiB stops the producer.
    int puts = 0;
    const SaveResult streamed = saveStreamedFile(
        target.string(),
        [&](const PieceWriter& put) {
            while (++puts < 100)
                if (!put(std::string(1000, 'x'))) return false;
            return true;
        },
        &reason);
    limit.reset();
    EXPECT_EQ(streamed, SaveResult::Failed);
    EXPECT_EQ(puts, 66);
    EXPECT_EQ(reason, std::strerror(EFBIG));
    EXPECT_EQ(readFile(target), old);
    EXPECT_EQ(names(), std::vector<std::string>{"report.txt"});

    // Short pieces and pieces of 64 KiB and more make the file they add up to.
    std::vector<std::string> pieces{old};
    for (std::size_t size : {1, 70000, 13, 65535, 65536, 2})
        pieces.push_back(std::string(size, static_cast<char>('a' + pieces.size())));
    std::string whole;
    for (const std::string& p : pieces) whole += p;
    EXPECT_EQ(saveStreamedFile(target.string(),
                               [&](const PieceWriter& put) {
                                   for (const std::string& p : pieces)
                                       if (!put(p)) return false;
                                   return true;
                               }),
              SaveResult::Done);
    EXPECT_EQ(readFile(target), whole);
    EXPECT_EQ(names(), std::vector<std::string>{"report.txt"});
}

// ---- saving into real folders ----

// The saves run as an ordinary user: as root (CI) on a thread that gave up
// root for 65534 (the raw system calls change only the caller's credentials),
// after the files, another owner's (65533) among them, were prepared as root.
constexpr uid_t kNobody = 65534, kStranger = 65533;

struct SaveCase {
    const char* name;
    bool needsRoot;  // files of another owner, a file system of its own
    std::function<void(const fs::path&)> prepare;
    std::string save;  // the name saved to, in the case's folder
    SaveResult result;
    std::vector<std::pair<std::string, std::string>> after;  // every regular file, whole
    std::string content = {};  // what is saved, if not the common short text
    // What was synced, in order: "temp" for the temporary file, a name for a
    // file written in place, "folder [names]" for the folder with its entries
    // at that moment.  Unchecked when empty.
    std::vector<std::string> synced = {};
    enum class By { Whole, Pieces, PiecesGivingUp } by = By::Whole;  // which save
    // The temporary file's mode while the pieces are made (0: unchecked).
    mode_t modeWhileMade = 0;
};

// The mode of the save's temporary file in folder, 0 when there is none.
mode_t temporaryMode(const fs::path& folder) {
    for (const auto& e : fs::directory_iterator(folder)) {
        struct stat st {};
        if (e.path().filename().string().rfind(".lumkest-", 0) == 0 &&
            ::lstat(e.path().c_str(), &st) == 0)
            return st.st_mode & 07777;
    }
    return 0;
}

// Every sync of a save, as the case's folder sees it.
fs::path syncBase;
std::vector<std::string> syncs;
int recordSync(int fd) {
    const fs::path p = fs::read_symlink("/proc/self/fd/" + std::to_string(fd));
    std::string seen = fs::relative(p, syncBase).string();
    if (fs::is_directory(p)) {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(p)) names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        seen = "folder [";
        for (const std::string& n : names) seen += (seen.back() == '[' ? "" : " ") + n;
        seen += "]";
    } else if (p.filename().string().rfind(".lumkest-", 0) == 0) {
        seen = "temp";
    }
    syncs.push_back(seen);
    return ::fsync(fd);
}

// A file system of 64 KiB, filled up; unmounted when the test ends.
struct FullDisks {
    std::vector<fs::path> mounted;
    bool make(const fs::path& dir) {
        fs::create_directory(dir);
        if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=64k,mode=1777") != 0) return false;
        mounted.push_back(dir);
        return true;
    }
    static void fill(const fs::path& dir) {
        const int fd = ::open((dir / "filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        const std::string chunk(512, 'f');
        while (::write(fd, chunk.data(), chunk.size()) > 0) {
        }
        ::close(fd);
    }
    void unmount() {
        for (const fs::path& d : mounted) ::umount2(d.c_str(), MNT_DETACH);
        mounted.clear();
    }
    ~FullDisks() { unmount(); }
};

// What a save must keep of the name saved to: a link stays a link, and the
// file keeps its owner and mode.
struct Kept {
    bool link = false;
    struct stat st {};
    bool exists = false;
    explicit Kept(const fs::path& p)
        : link(fs::is_symlink(p)), exists(::stat(p.c_str(), &st) == 0) {}
    bool operator==(const Kept& o) const {
        return link == o.link &&
               (!exists || !o.exists || (st.st_uid == o.st.st_uid && st.st_mode == o.st.st_mode));
    }
};

TEST(WriterOnDiskAsUser, CarefulSaverRules) {
    const bool root = ::geteuid() == 0;
    const uid_t me = root ? kNobody : ::geteuid();
    const std::string old = "signed yesterday\r\n", now = "today\r\n", longName(255, 'n');
    const std::string shared1800(1800, 's'), csvLarger(6000, 'c');
    FullDisks disks;
    auto put = [&](const fs::path& path, mode_t mode, uid_t owner = 0) {
        writeFile(path, old);
        ::chmod(path.c_str(), mode);
        if (root) ::lchown(path.c_str(), owner ? owner : me, owner ? owner : me);
    };
    auto link = [&](const char* target, const fs::path& path, uid_t owner = 0) {
        fs::create_symlink(target, path);
        if (root) ::lchown(path.c_str(), owner ? owner : me, owner ? owner : me);
    };
    auto shared = [&](const fs::path& d) {  // a sticky folder anyone may write, root's
        fs::create_directory(d / "tmp");
        ::chmod((d / "tmp").c_str(), 01777);
        put(d / "mine.txt", 0644);
    };
    const SaveCase cases[] = {
        {"a new file, synced, renamed, then its folder synced",
         false,
         [](const fs::path&) {},
         "a.txt",
         SaveResult::Done,
         {{"a.txt", now}},
         {},
         {"temp", "folder [a.txt]"}},
        {"the user's own file keeps its mode",
         false,
         [&](const fs::path& d) { put(d / "a.txt", 0640); },
         "a.txt",
         SaveResult::Done,
         {{"a.txt", now}}},
        {"a read-only file is refused",
         false,
         [&](const fs::path& d) { put(d / "a.txt", 0444); },
         "a.txt",
         SaveResult::Failed,
         {{"a.txt", old}}},
        {"a read-only folder: written in place",
         false,
         [&](const fs::path& d) { put(d / "a.txt", 0644), ::chmod(d.c_str(), 0555); },
         "a.txt",
         SaveResult::Done,
         {{"a.txt", now}},
         {},
         {"a.txt"}},
        {"a read-only folder, in pieces: made whole, then written in place",
         false,
         [&](const fs::path& d) { put(d / "a.txt", 0644), ::chmod(d.c_str(), 0555); },
         "a.txt",
         SaveResult::Done,
         {{"a.txt", now}},
         {},
         {"a.txt"},
         SaveCase::By::Pieces},
        {"in pieces, the temporary file is private until it is complete",
         false,
         [&](const fs::path& d) { put(d / "a.txt", 0644); },
         "a.txt",
         SaveResult::Done,
         {{"a.txt", now}},
         {},
         {"temp", "folder [a.txt]"},
         SaveCase::By::Pieces,
         0600},
        {"a read-only folder, in pieces never made: left untouched",
         false,
         [&](const fs::path& d) { put(d / "a.txt", 0644), ::chmod(d.c_str(), 0555); },
         "a.txt",
         SaveResult::Failed,
         {{"a.txt", old}},
         {},
         {},
         SaveCase::By::PiecesGivingUp},
        {"a read-only folder: no new file",
         false,
         [](const fs::path& d) { ::chmod(d.c_str(), 0555); },
         "a.txt",
         SaveResult::Failed,
         {}},
        {"a name of 255 bytes",
         false,
         [&](const fs::path& d) { put(d / longName, 0644); },
         longName,
         SaveResult::Done,
         {{longName, now}}},
        {"a second name sees the new content",
         false,
         [&](const fs::path& d) {
             put(d / "a.txt", 0644), fs::create_hard_link(d / "a.txt", d / "b.txt");
         },
         "a.txt",
         SaveResult::Done,
         {{"a.txt", now}, {"b.txt", now}}},
        {"another owner's writable file",
         true,
         [&](const fs::path& d) { put(d / "a.txt", 0666, kStranger); },
         "a.txt",
         SaveResult::Done,
         {{"a.txt", now}}},
        {"a shared file on a full disk is left whole",
         true,
         [&](const fs::path& d) {
             if (!disks.make(d / "full")) return;
             put(d / "full/a.csv", 0666, kStranger), writeFile(d / "full/a.csv", shared1800);
             FullDisks::fill(d / "full");
         },
         "full/a.csv",
         SaveResult::Failed,
         {{"full/a.csv", shared1800}, {"full/filler", ""}},
         csvLarger},
        {"a dangling link makes its target",
         false,
         [&](const fs::path& d) { link("made.txt", d / "a.txt"); },
         "a.txt",
         SaveResult::Done,
         {{"made.txt", now}}},
        {"a stranger's link in a shared sticky folder is refused",
         true,
         [&](const fs::path& d) { shared(d), link("../mine.txt", d / "tmp/a.txt", kStranger); },
         "tmp/a.txt",
         SaveResult::Failed,
         {{"mine.txt", old}}},
        {"the user's own link there is followed",
         false,
         [&](const fs::path& d) { shared(d), link("../mine.txt", d / "tmp/a.txt"); },
         "tmp/a.txt",
         SaveResult::Done,
         {{"mine.txt", now}}},
    };

    const fs::path base =
        fs::temp_directory_path() / ("lumkest-save-" + std::to_string(::getpid()));
    std::vector<const SaveCase*> run;
    std::vector<Kept> before;
    for (const SaveCase& c : cases) {
        if (c.needsRoot && !root) {
            std::printf("[ SKIPPED  ] \"%s\": only root can plant another user's files\n", c.name);
            continue;
        }
        const fs::path dir = base / std::to_string(run.size());
        fs::create_directories(dir);
        if (root) ::chown(dir.c_str(), me, me), ::chown(base.c_str(), me, me);
        c.prepare(dir);
        run.push_back(&c);
        before.emplace_back(dir / c.save);
    }
    std::vector<SaveResult> results;
    std::vector<std::vector<std::string>> synced;
    std::vector<mode_t> modes;
    const SyncCall previousSync = setSyncCall(&recordSync);
    std::thread([&] {
        if (root && (::syscall(SYS_setgroups, 0, nullptr) != 0 ||
                     ::syscall(SYS_setresgid, kNobody, kNobody, kNobody) != 0 ||
                     ::syscall(SYS_setresuid, kNobody, kNobody, kNobody) != 0))
            return;
        for (std::size_t i = 0; i < run.size(); ++i) {
            syncBase = base / std::to_string(i);
            syncs.clear();
            const std::string& content = run[i]->content.empty() ? now : run[i]->content;
            const std::string path = (syncBase / run[i]->save).string();
            mode_t mode = 0;
            if (run[i]->by == SaveCase::By::Whole) {
                results.push_back(saveWholeFile(path, content));
            } else {
                const bool made = run[i]->by == SaveCase::By::Pieces;
                results.push_back(saveStreamedFile(path, [&](const PieceWriter& put) {
                    const bool first = put(content.substr(0, 2));
                    mode = temporaryMode(fs::path(path).parent_path());
                    return first && put(content.substr(2)) && made;
                }));
            }
            synced.push_back(syncs);
            modes.push_back(mode);
        }
    }).join();
    setSyncCall(previousSync);
    ASSERT_EQ(results.size(), run.size()) << "could not become an ordinary user";

    for (std::size_t i = 0; i < run.size(); ++i) {
        SCOPED_TRACE(run[i]->name);
        const fs::path dir = base / std::to_string(i);
        EXPECT_EQ(results[i], run[i]->result);
        std::vector<std::pair<std::string, std::string>> files;  // no temporary file is left
        for (const fs::directory_entry& e : fs::recursive_directory_iterator(dir))
            if (e.is_regular_file() && !e.is_symlink())
                files.emplace_back(fs::relative(e.path(), dir).string(),
                                   e.path().filename() == "filler" ? "" : readFile(e.path()));
        std::sort(files.begin(), files.end());
        if (run[i]->save.rfind("full/", 0) == 0 && disks.mounted.empty()) {
            std::printf("[ SKIPPED  ] \"%s\": no tmpfs could be mounted\n", run[i]->name);
            continue;
        }
        EXPECT_EQ(files, run[i]->after);
        if (!run[i]->synced.empty()) {
            EXPECT_EQ(synced[i], run[i]->synced);
        }
        if (run[i]->modeWhileMade != 0) {
            EXPECT_EQ(modes[i], run[i]->modeWhileMade) << "mode " << std::oct << modes[i];
        }
        if (before[i].exists || before[i].link) {
            EXPECT_TRUE(Kept(dir / run[i]->save) == before[i]) << "owner, mode or link lost";
        }
        ::chmod(dir.c_str(), 0755);  // so that it can be removed
    }
    disks.unmount();
    fs::remove_all(base);
}

}  // namespace
