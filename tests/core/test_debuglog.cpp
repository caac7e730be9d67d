// The diagnostic log: line formats, the record dump, start-up and the
// bounded wait of a writer that finds the log busy.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/debuglog.h"
#include "app/guard.h"
#include "records/testrecord.h"

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

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
    }
    void TearDown() override {
        resetDebugLogForTest();
        setLogFolderForTest("");
        std::system(("rm -rf " + folder_).c_str());
    }
    std::string logText() { return readFile(folder_ + "/dbug.dbg"); }
    std::string folder_;
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
    testing::internal::CaptureStderr();
    initDebugLog("dbug.dbg");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error Initializing Debug Log File\n");
    EXPECT_EQ(logState.load(), 2);
    EXPECT_EQ(debugLogFileName(), "");
    writeDebugLog("no log", 'd', nullptr, "unit", 1);  // returns, nothing breaks
    SUCCEED();
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
