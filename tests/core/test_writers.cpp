// The saved and exported files, byte for byte against reference files, and
// what a write does to the file system and to dataSaved.
//
// LUMKEST_WRITE_REFERENCE=folder writes the outputs there instead of
// comparing, for review when a format is changed on purpose.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

#include "records/recordstore.h"
#include "save/stamp.h"
#include "save/writers.h"
#include "tests/core/records.h"
#include "tests/files.h"

namespace fs = std::filesystem;

namespace {

// Four records: the sample record, one with a comma and a code that is no
// unit, one with bytes that look like formats and bytes above 127, and one
// with a long device ID.
SaveSource sampleSource() {
    SaveSource s;
    s.instrumentId = "T1";
    s.instrumentSerial = "S1";
    s.stamp = "12/29/03 18:34:00";
    s.records.push_back(makeRecord("123-456-789-012"));
    TestRecord comma = makeRecord("12,34", "5 Jun 2004", "09:15", 'x');
    SET_FIELD(comma, pressureMMHG, "1234");
    SET_FIELD(comma, flow, "1,5");
    comma.selected = 1;
    s.records.push_back(comma);
    TestRecord hostile = makeRecord("%s%n%x\xe9\xff", "30 Jan 2004", "%d:%p", 'k');
    SET_FIELD(hostile, pressureUser, "\xef\xbc\x91");  // a full-width digit in UTF-8
    hostile.selected = 1;
    s.records.push_back(hostile);
    s.records.push_back(makeRecord("LONG-DEVICE-ID-016", "14 Feb 2005", "23:59", 'b'));
    return s;
}

enum class Layout { Csv, List, Record };

struct FileCase {
    const char* reference;
    Layout layout;
    int recordChoice;
    bool empty;  // no records at all
};

class WriterFiles : public ::testing::TestWithParam<FileCase> {};

TEST_P(WriterFiles, MatchTheReferenceByteForByte) {
    const FileCase& c = GetParam();
    SaveSource source = sampleSource();
    if (c.empty) source.records.clear();
    std::string out;
    ASSERT_TRUE(c.layout == Layout::Csv
                    ? csvFileText(source, c.recordChoice, &out)
                    : textFileText(source, c.recordChoice, c.layout == Layout::Record, &out));
    if (const char* dir = std::getenv("LUMKEST_WRITE_REFERENCE")) {
        writeFile(fs::path(dir) / c.reference, out);
        return;
    }
    EXPECT_EQ(out, readFile(fs::path(LUMKEST_REFERENCE_DIR) / c.reference)) << c.reference;

    // Made a piece at a time, record by record, the file is the same.
    const SavedFormat format = c.layout == Layout::Csv    ? SavedFormat::Csv
                               : c.layout == Layout::List ? SavedFormat::List
                                                          : SavedFormat::Records;
    std::vector<int> widths = listStartWidths();
    for (unsigned i = 0; i < source.records.size(); ++i)
        widenListColumns(&widths, source.records[i], i);
    std::string pieces;
    savedFileOpening(pieces, format, source, widths);
    for (unsigned i = 0; i < source.records.size(); ++i)
        if (c.recordChoice == AllRecords || c.recordChoice == static_cast<int>(i) ||
            (c.recordChoice == SelectedRecords && source.records[i].selected))
            savedFileRecord(pieces, format, source.records[i], i, widths);
    savedFileClosing(pieces, format);
    EXPECT_EQ(pieces, out) << c.reference;
}

INSTANTIATE_TEST_SUITE_P(
    AllLayouts, WriterFiles,
    ::testing::Values(FileCase{"export-all.csv", Layout::Csv, AllRecords, false},
                      FileCase{"export-selected.csv", Layout::Csv, SelectedRecords, false},
                      FileCase{"export-none.csv", Layout::Csv, AllRecords, true},
                      FileCase{"list-all.txt", Layout::List, AllRecords, false},
                      FileCase{"list-first.txt", Layout::List, 0, false},
                      FileCase{"list-none.txt", Layout::List, AllRecords, true},
                      FileCase{"records-selected.txt", Layout::Record, SelectedRecords, false},
                      FileCase{"records-last.txt", Layout::Record, 3, false}));

TEST(Writers, SampleRecordLinesAndHeaders) {
    // The lines a technician checks first, spelled out once here as well.
    SaveSource source = sampleSource();
    source.records.resize(1);
    std::string csv, list, block;
    ASSERT_TRUE(csvFileText(source, AllRecords, &csv));
    ASSERT_TRUE(textFileText(source, AllRecords, false, &list));
    ASSERT_TRUE(textFileText(source, AllRecords, true, &block));
    EXPECT_EQ(csv,
              "Dosimark Kest ID: T1  SN: S1  -  Data Exported On 12/29/03 18:34:00\r\n"
              "Record Num,Device ID,Test Date,Test Time,Flow Rate,Volume Infused,Test Duration,"
              "Pressure,mmHg,Pressure,(user),OP Peak Time\r\n"
              "1,123-456-789-012,29 Dec 2003,18:34,5.183,5.183,88:48:39,376,mmHg,7.27,PSI,00:16:32\r\n");
    const std::string header =
        "Korvane Systems Inc.\r\nDosimark Kest ID: T1 SN: S1 -  Data Saved On 12/29/03 18:34:00\r\n\r\n";
    const std::string closing =
        "\r\nTechnician:_______________________________\r\nDate:_____________________________________\r\n";
    EXPECT_EQ(list, header +
                        "Rec  Device           Test Date   Test Time  Test Duration  Flow   Vol.   "
                        "Peak                 Peak Pressure\r\n"
                        "#    ID                           hh:mm      hh:mm:ss       ml/hr  ml     "
                        "Pressure             Time (mm:ss) \r\n" +
                        std::string(108, '=') + "\r\n" +
                        "  1  123-456-789-012  29 Dec 2003 18:34      88:48:39       5.183  5.183   "
                        "376 mmHg  7.27 PSI  16:32        \r\n" +
                        closing);
    EXPECT_EQ(block, header +
                         "Record #:1\r\nDevice ID: 123-456-789-012\r\nTest Date: 29 Dec 2003\r\n"
                         "Test Time (hh:mm): 18:34\r\nTest Duration (hh:mm:ss): 88:48:39\r\n"
                         "Average Rate: 5.183 ml/hr\r\nInfused Volume: 5.183 ml\r\n"
                         "Peak Occlusion Pressure: 376 mmHg (7.27 PSI)\r\n"
                         "Peak Occlusion Pressure Time (mm:ss): 16:32\r\n\r\n" +
                         closing);

    // The CSV header cuts the ID to 30 characters and strips its commas only.
    source.instrumentId = "A,B-123456789012345678901234567890";
    source.instrumentSerial = "S,1";
    ASSERT_TRUE(csvFileText(source, AllRecords, &csv));
    EXPECT_EQ(csv.substr(0, csv.find("\r\n")),
              "Dosimark Kest ID: A B-12345678901234567890123456  SN: S,1  -  Data Exported On "
              "12/29/03 18:34:00");
    // An index that names no record is refused.
    EXPECT_FALSE(csvFileText(source, 1, &csv));
    EXPECT_FALSE(textFileText(source, 1, true, &list));
}

TEST(Writers, TheCommaRuleMakesEveryCommaASpace) {
    EXPECT_EQ(commasAsSpaces(",12,,34,"), " 12  34 ");
}

// ---- writing files ----

std::time_t fixedTime() { return 1072722840; }

class WriterOnDisk : public ::testing::Test {
protected:
    void SetUp() override {
        resetSharedStateForTest();
        ::setenv("TZ", "UTC", 1);
        ::tzset();
        previous_ = setStampClock(fixedTime);
        SaveSource s = sampleSource();
        recordStore().replace(123, s.records);
        recordStore().fillDisplay(static_cast<unsigned>(s.records.size()));
        dir_ = fs::temp_directory_path() / ("lumkest-writers-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        setStampClock(previous_);
        fs::remove_all(dir_);
        resetSharedStateForTest();
    }
    std::vector<std::string> names() const {
        std::vector<std::string> n;
        for (const auto& e : fs::directory_iterator(dir_)) n.push_back(e.path().filename());
        std::sort(n.begin(), n.end());
        return n;
    }
    StampClock previous_ = nullptr;
    fs::path dir_;
};

TEST_F(WriterOnDisk, ResultsDataSavedAndTheFileLeftBehind) {
    const std::string old = "the report signed yesterday\r\n";
    const fs::path target = dir_ / "report.txt";
    writeFile(target, old);

    // Empty name: nothing done, dataSaved unchanged.
    dataSaved = 0;
    EXPECT_EQ(writeTextFile("", AllRecords, false), 1);
    EXPECT_EQ(saveStreamedFile("", nullptr), kWriteNothing);
    EXPECT_EQ(dataSaved.load(), 0);
    // A folder that does not exist: cannot be opened, dataSaved unchanged.
    EXPECT_EQ(writeCsvFile((dir_ / "no/such/x.csv").string(), AllRecords), -1);
    EXPECT_EQ(dataSaved.load(), 0);
    // An index past the records fails after opening: the old file stays whole,
    // no temporary file is left, and the data counts as unsaved.
    dataSaved = 1;
    EXPECT_EQ(writeTextFile(target.string(), 4, false), -1);
    EXPECT_EQ(readFile(target), old);
    EXPECT_EQ(names(), std::vector<std::string>{"report.txt"});
    EXPECT_EQ(dataSaved.load(), 0);
    // So does a file made a piece at a time whose making fails.
    std::string reason;
    EXPECT_EQ(saveStreamedFile(
                  target.string(), [](const PieceWriter& put) { return !put("half"); }, &reason),
              kWriteFailed);
    EXPECT_EQ(reason, "the file could not be made");
    EXPECT_EQ(readFile(target), old);
    EXPECT_EQ(names(), std::vector<std::string>{"report.txt"});

    // A write that fails part way (here the file-size limit, as a full disk
    // would) leaves the old file whole too.
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 100;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    int result = writeTextFile(target.string(), AllRecords, true);
    // Streamed, the failed write of the first 64 KiB stops the producer.
    int puts = 0;
    const int streamed = saveStreamedFile(
        target.string(),
        [&](const PieceWriter& put) {
            while (++puts < 100)
                if (!put(std::string(1000, 'x'))) return false;
            return true;
        },
        &reason);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(streamed, kWriteFailed);
    EXPECT_EQ(puts, 66);
    EXPECT_EQ(reason, std::strerror(EFBIG));
    EXPECT_EQ(readFile(target), old);
    EXPECT_EQ(names(), std::vector<std::string>{"report.txt"});

    // A good write replaces the whole content and marks the data saved.
    EXPECT_EQ(writeTextFile(target.string(), 0, true), 0);
    EXPECT_EQ(dataSaved.load(), 1);
    std::string written = readFile(target);
    EXPECT_EQ(written.find("Korvane Systems Inc.\r\nDosimark Kest ID:  SN:  -  Data Saved On "
                           "12/29/03 18:34:00\r\n"),
              0u);
    EXPECT_NE(written.find("Record #:1\r\n"), std::string::npos);
    EXPECT_EQ(written.find("the report signed"), std::string::npos);
    EXPECT_EQ(writeCsvFile((dir_ / "export.csv").string(), SelectedRecords), 0);
    EXPECT_EQ(names(), (std::vector<std::string>{"export.csv", "report.txt"}));

    // Short pieces and pieces of 64 KiB and more make the file they add up to.
    std::vector<std::string> pieces{written};
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
              kWriteDone);
    EXPECT_EQ(readFile(target), whole);
    EXPECT_EQ(names(), (std::vector<std::string>{"export.csv", "report.txt"}));
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
    int result;
    std::vector<std::pair<std::string, std::string>> after;  // every regular file, whole
    std::string content = {};  // what is saved, if not the common short text
    // What was synced, in order: "temp" for the temporary file, a name for a
    // file written in place, "folder [names]" for the folder with its entries
    // at that moment.  Unchecked when empty.
    std::vector<std::string> synced = {};
    enum class By { Whole, Pieces, PiecesGivingUp } by = By::Whole;  // which save
};

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
    explicit Kept(const fs::path& p) : link(fs::is_symlink(p)), exists(::stat(p.c_str(), &st) == 0) {}
    bool operator==(const Kept& o) const {
        return link == o.link && (!exists || !o.exists ||
                                  (st.st_uid == o.st.st_uid && st.st_mode == o.st.st_mode));
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
         0,
         {{"a.txt", now}},
         {},
         {"temp", "folder [a.txt]"}},
        {"the user's own file keeps its mode",
         false,
         [&](const fs::path& d) { put(d / "a.txt", 0640); },
         "a.txt",
         0,
         {{"a.txt", now}}},
        {"a read-only file is refused",
         false,
         [&](const fs::path& d) { put(d / "a.txt", 0444); },
         "a.txt",
         -1,
         {{"a.txt", old}}},
        {"a read-only folder: written in place",
         false,
         [&](const fs::path& d) { put(d / "a.txt", 0644), ::chmod(d.c_str(), 0555); },
         "a.txt",
         0,
         {{"a.txt", now}},
         {},
         {"a.txt"}},
        {"a read-only folder, in pieces: made whole, then written in place",
         false,
         [&](const fs::path& d) { put(d / "a.txt", 0644), ::chmod(d.c_str(), 0555); },
         "a.txt",
         0,
         {{"a.txt", now}},
         {},
         {"a.txt"},
         SaveCase::By::Pieces},
        {"a read-only folder, in pieces never made: left untouched",
         false,
         [&](const fs::path& d) { put(d / "a.txt", 0644), ::chmod(d.c_str(), 0555); },
         "a.txt",
         -1,
         {{"a.txt", old}},
         {},
         {},
         SaveCase::By::PiecesGivingUp},
        {"a read-only folder: no new file",
         false,
         [](const fs::path& d) { ::chmod(d.c_str(), 0555); },
         "a.txt",
         -1,
         {}},
        {"a name of 255 bytes",
         false,
         [&](const fs::path& d) { put(d / longName, 0644); },
         longName,
         0,
         {{longName, now}}},
        {"a second name sees the new content",
         false,
         [&](const fs::path& d) {
             put(d / "a.txt", 0644), fs::create_hard_link(d / "a.txt", d / "b.txt");
         },
         "a.txt",
         0,
         {{"a.txt", now}, {"b.txt", now}}},
        {"another owner's writable file",
         true,
         [&](const fs::path& d) { put(d / "a.txt", 0666, kStranger); },
         "a.txt",
         0,
         {{"a.txt", now}}},
        {"a shared file on a full disk is left whole",
         true,
         [&](const fs::path& d) {
             if (!disks.make(d / "full")) return;
             put(d / "full/a.csv", 0666, kStranger), writeFile(d / "full/a.csv", shared1800);
             FullDisks::fill(d / "full");
         },
         "full/a.csv",
         -1,
         {{"full/a.csv", shared1800}, {"full/filler", ""}},
         csvLarger},
        {"a dangling link makes its target",
         false,
         [&](const fs::path& d) { link("made.txt", d / "a.txt"); },
         "a.txt",
         0,
         {{"made.txt", now}}},
        {"a stranger's link in a shared sticky folder is refused",
         true,
         [&](const fs::path& d) { shared(d), link("../mine.txt", d / "tmp/a.txt", kStranger); },
         "tmp/a.txt",
         -1,
         {{"mine.txt", old}}},
        {"the user's own link there is followed",
         false,
         [&](const fs::path& d) { shared(d), link("../mine.txt", d / "tmp/a.txt"); },
         "tmp/a.txt",
         0,
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
    std::vector<int> results;
    std::vector<std::vector<std::string>> synced;
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
            if (run[i]->by == SaveCase::By::Whole) {
                results.push_back(saveWholeFile(path, content));
            } else {
                const bool made = run[i]->by == SaveCase::By::Pieces;
                results.push_back(saveStreamedFile(path, [&](const PieceWriter& put) {
                    return put(content.substr(0, 2)) && put(content.substr(2)) && made;
                }));
            }
            synced.push_back(syncs);
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
        if (before[i].exists || before[i].link) {
            EXPECT_TRUE(Kept(dir / run[i]->save) == before[i]) << "owner, mode or link lost";
        }
        ::chmod(dir.c_str(), 0755);  // so that it can be removed
    }
    disks.unmount();
    fs::remove_all(base);
}

}  // namespace
