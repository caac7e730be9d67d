// The diagnostic log: line formats, the record dump, start-up and the
// bounded wait of a writer that finds the log busy.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/debuglog.h"
#include "app/guard.h"
#include "records/testrecord.h"
#include "tests/files.h"

namespace {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// The part of a line after its time stamp ("12/07/26 07:26:07").
std::string afterStamp(const std::string& line) {
    static const std::regex stamp(R"(^\d\d/\d\d/\d\d \d\d:\d\d:\d\d)");
    EXPECT_TRUE(std::regex_search(line, stamp)) << line;
    return line.size() > 17 ? line.substr(17) : std::string();
}

class DebugLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/lumkest-log-XXXXXX";
        folder_ = mkdtemp(pattern);
        setLogFolderForTest(folder_ + "/");
        resetDebugLogForTest();
        // Never the real user's state folder.
        for (const char* name : {"XDG_STATE_HOME", "HOME"}) {
            const char* value = std::getenv(name);
            saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
        }
        ::setenv("XDG_STATE_HOME", (folder_ + "/state").c_str(), 1);
    }
    void TearDown() override {
        for (const auto& [name, value] : saved_) {
            if (value) ::setenv(name.c_str(), value->c_str(), 1);
            else ::unsetenv(name.c_str());
        }
        resetDebugLogForTest();
        setLogFolderForTest("");
        std::system(("rm -rf " + folder_).c_str());
    }
    std::string logText() { return readFile(folder_ + "/dbug.dbg"); }
    std::string folder_;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(DebugLogTest, FreshLogStartsWithStampAndIsTruncatedAtEachStart) {
    {
        std::ofstream old(folder_ + "/dbug.dbg");
        old << "a previous run's lines\n";
    }
    initDebugLog("dbug.dbg");
    EXPECT_EQ(logState.load(), 0);
    auto all = lines(logText());
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(afterStamp(all[0]), " - Logging Initialized");
    EXPECT_EQ(debugLogFileName(), folder_ + "/dbug.dbg");
    EXPECT_NE(::access((folder_ + "/state").c_str(), F_OK), 0);  // no state folder needed
}

TEST_F(DebugLogTest, EachTypeCodeWithAndWithoutValue) {
    initDebugLog("dbug.dbg");
    const char* text = "hello";
    std::int32_t number = 42;
    double real = 2.5;
    char letter = 'Q';
    std::int32_t hex = 0x1f;
    writeDebugLog("msg", 's', text, "unit", 1);
    writeDebugLog("msg", 's', nullptr, "unit", 2);
    writeDebugLog("msg", 'd', &number, "unit", 3);
    writeDebugLog("msg", 'd', nullptr, "unit", 4);
    writeDebugLog("msg", 'f', &real, "unit", 5);
    writeDebugLog("msg", 'f', nullptr, "unit", 6);
    writeDebugLog("msg", 'c', &letter, "unit", 7);
    writeDebugLog("msg", 'c', nullptr, "unit", 8);
    writeDebugLog("msg", 'x', &hex, "unit", 9);
    writeDebugLog("msg", 'x', nullptr, "unit", 10);
    writeDebugLog(nullptr, 'm', nullptr, "unit", 11);
    auto all = lines(logText());
    ASSERT_EQ(all.size(), 12u);
    const char* expected[] = {
        " - unit - Line 1 - msg - hello",      " - unit - Line 2 - msg - ",
        " - unit - Line 3 - msg - 42",         " - unit - Line 4 - msg - -1234",
        " - unit - Line 5 - msg - 2.500000",   " - unit - Line 6 - msg - -1234.000000",
        " - unit - Line 7 - msg - Q",          " - unit - Line 8 - msg -  ",
        " - unit - Line 9 - msg - 0x001f",     " - unit - Line 10 - msg - 0xffffedcc",
        " - unit - Line 11 - ",
    };
    for (int i = 0; i < 11; ++i) EXPECT_EQ(afterStamp(all[i + 1]), expected[i]) << i;
}

TEST_F(DebugLogTest, RecordDumpWithAndWithoutRecord) {
    initDebugLog("dbug.dbg");
    TestRecord r = emptyRecord();
    r.pressureUnits = 'k';
    SET_FIELD(r, deviceID, "123-456-789-012");
    SET_FIELD(r, flow, "5.183");
    SET_FIELD(r, testDate, "29 Dec 2003");
    r.selected = 1;
    writeDebugLog("rec", 'D', &r, "usbcomm", 7);
    writeDebugLog(nullptr, 'D', nullptr, "usbcomm", 8);
    auto all = lines(logText());
    ASSERT_EQ(all.size(), 1u + 12u + 12u);
    EXPECT_EQ(afterStamp(all[1]), " - usbcomm - Line 7 - rec");
    EXPECT_EQ(all[2], "      pressureUnits:    k");
    EXPECT_EQ(all[3], "      deviceID:         123-456-789-012");
    EXPECT_EQ(all[4], "      flow:             5.183");
    EXPECT_EQ(all[5], "      pressureMMHG:     ");
    EXPECT_EQ(all[11], "      testDate:         29 Dec 2003");
    EXPECT_EQ(all[12], "      selected:         1");
    EXPECT_EQ(afterStamp(all[13]), " - usbcomm - Line 8 - ");
    EXPECT_EQ(all[14], "      pressureUnits:    !");
    for (int i = 15; i <= 23; ++i) EXPECT_NE(all[i].find(": "), std::string::npos);
    EXPECT_EQ(all[15], "      deviceID:         NULL");
    EXPECT_EQ(all[23], "      testDate:         NULL");
    EXPECT_EQ(all[24], "      selected:         -1");
}

TEST_F(DebugLogTest, CatchAllHelperLogsTheExceptionAndCarriesOn) {
    initDebugLog("dbug.dbg");
    bool ok = guarded("microLUM", 130, [] { throw std::runtime_error("boom"); });
    EXPECT_FALSE(ok);
    EXPECT_TRUE(guarded("microLUM", 131, [] {}));
    auto all = lines(logText());
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(afterStamp(all[1]), " - microLUM - Line 130 - EXCEPTION!!");
}

TEST_F(DebugLogTest, SecondInitialisationTurnsLoggingOff) {
    initDebugLog("dbug.dbg");
    testing::internal::CaptureStderr();
    initDebugLog("dbug.dbg");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error Initializing Debug Log File\n");
    EXPECT_EQ(logState.load(), 2);
    writeDebugLog("dropped", 's', "x", "unit", 1);  // gives up after its yields
    EXPECT_EQ(lines(logText()).size(), 1u);
}

TEST_F(DebugLogTest, FolderWhereTheFileCannotBeCreated) {
    setLogFolderForTest(folder_ + "/no/such/folder/");
    std::ofstream(folder_ + "/plain-file") << "x";  // nor can a state folder below a file
    ::setenv("XDG_STATE_HOME", (folder_ + "/plain-file/state").c_str(), 1);
    testing::internal::CaptureStderr();
    initDebugLog("dbug.dbg");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error Initializing Debug Log File\n");
    EXPECT_EQ(logState.load(), 2);
    EXPECT_EQ(debugLogFileName(), "");
    writeDebugLog("no log", 'd', nullptr, "unit", 1);  // returns, nothing breaks
    SUCCEED();
}

// An installed program's folder is not writable: the log goes to the user's
// state folder, made private to the user, and is truncated at each start.
TEST_F(DebugLogTest, UnwritableProgramFolderLogsToTheStateFolder) {
    struct Case {
        const char* xdgStateHome;  // nullptr: unset
        const char* expected;      // below folder_
    };
    const Case cases[] = {
        {"/xdg", "/xdg/lumkest/dbug.dbg"},
        {nullptr, "/home/.local/state/lumkest/dbug.dbg"},
        {"", "/home/.local/state/lumkest/dbug.dbg"},
        {"relative/state", "/home/.local/state/lumkest/dbug.dbg"},
    };
    setLogFolderForTest(folder_ + "/read-only-program-folder/");
    ::setenv("HOME", (folder_ + "/home").c_str(), 1);
    ::mkdir((folder_ + "/home").c_str(), 0755);
    struct ZeroUmask {  // even so, nothing becomes writable by all
        mode_t old = ::umask(0);
        ~ZeroUmask() { ::umask(old); }
    } zeroUmask;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.xdgStateHome ? c.xdgStateHome : "(unset)");
        if (c.xdgStateHome == nullptr) ::unsetenv("XDG_STATE_HOME");
        else if (c.xdgStateHome[0] == '/') ::setenv("XDG_STATE_HOME", (folder_ + c.xdgStateHome).c_str(), 1);
        else ::setenv("XDG_STATE_HOME", c.xdgStateHome, 1);
        const std::string path = folder_ + c.expected;
        std::ofstream(path) << "a previous run's lines\n";  // exists only once the folder does
        resetDebugLogForTest();
        initDebugLog("dbug.dbg");
        writeDebugLog("msg", 'd', nullptr, "unit", 3);
        EXPECT_EQ(logState.load(), 0);
        EXPECT_EQ(debugLogFileName(), path);
        auto all = lines(readFile(path));
        ASSERT_EQ(all.size(), 2u);
        EXPECT_EQ(afterStamp(all[0]), " - Logging Initialized");
        EXPECT_EQ(afterStamp(all[1]), " - unit - Line 3 - msg - -1234");
        struct stat file{}, folder{};
        ASSERT_EQ(::stat(path.c_str(), &file), 0);
        ASSERT_EQ(::stat(path.substr(0, path.rfind('/')).c_str(), &folder), 0);
        EXPECT_EQ(file.st_mode & 0777, 0644u);
        EXPECT_EQ(folder.st_mode & 0777, 0700u);
    }
}

TEST_F(DebugLogTest, WriterFindingTheLogBusyDropsItsLineAndReturns) {
    initDebugLog("dbug.dbg");
    logState = 1;  // another writer holds the log and never lets go
    auto start = std::chrono::steady_clock::now();
    writeDebugLog("waiting", 's', "x", "unit", 1);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(5));  // bounded, not a timing check
    logState = 0;
    writeDebugLog("after", 's', "y", "unit", 2);
    auto all = lines(logText());
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(afterStamp(all[1]), " - unit - Line 2 - after - y");
}

TEST_F(DebugLogTest, LogThatCannotBeOpenedForAppendingEndsLogging) {
    initDebugLog("dbug.dbg");
    std::string path = debugLogFileName();
    ASSERT_EQ(::unlink(path.c_str()), 0);
    ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);  // a folder in its place cannot be opened
    writeDebugLog("lost", 's', "x", "unit", 1);
    EXPECT_EQ(logState.load(), 1);
    ::rmdir(path.c_str());
    writeDebugLog("also lost", 's', "x", "unit", 2);
    EXPECT_EQ(readFile(path), "");
}

TEST_F(DebugLogTest, ConcurrentWritersNeverInterleaveLines) {
    initDebugLog("dbug.dbg");
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([t] {
            for (int i = 0; i < 50; ++i) {
                std::int32_t v = i;
                writeDebugLog("line", 'd', &v, "unit", t);
            }
        });
    for (auto& w : writers) w.join();
    auto all = lines(logText());
    EXPECT_GE(all.size(), 2u);
    static const std::regex whole(R"(^\d\d/\d\d/\d\d \d\d:\d\d:\d\d - unit - Line \d - line - \d+$)");
    for (std::size_t i = 1; i < all.size(); ++i) EXPECT_TRUE(std::regex_match(all[i], whole)) << all[i];
}

}  // namespace
