// The window program's saves of the current records: what a write returns,
// what it does to the file it writes and to dataSaved.

#include <gtest/gtest.h>

#include <memory>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "records/recordstore.h"
#include "save/savefile.h"
#include "save/stamp.h"
#include "tests/core/samplesource.h"
#include "tests/files.h"

namespace fs = std::filesystem;

namespace {

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
    EXPECT_EQ(writeTextFile("", AllRecords, false), SaveResult::Nothing);
    EXPECT_EQ(dataSaved.load(), 0);
    // A folder that does not exist: cannot be opened, dataSaved unchanged.
    EXPECT_EQ(writeCsvFile((dir_ / "no/such/x.csv").string(), AllRecords), SaveResult::Failed);
    EXPECT_EQ(dataSaved.load(), 0);
    // An index past the records fails after opening: the old file stays whole,
    // no temporary file is left, and the data counts as unsaved.
    dataSaved = 1;
    EXPECT_EQ(writeTextFile(target.string(), ChosenRecords::one(4), false), SaveResult::Failed);
    EXPECT_EQ(readFile(target), old);
    EXPECT_EQ(names(), std::vector<std::string>{"report.txt"});
    EXPECT_EQ(dataSaved.load(), 0);

    // A write that fails part way (here the file-size limit, as a full disk
    // would) leaves the old file whole too.
    auto limit = std::make_unique<SmallFileLimit>();
    ASSERT_TRUE(limit->ok());
    const SaveResult result = writeTextFile(target.string(), AllRecords, true);
    limit.reset();
    EXPECT_EQ(result, SaveResult::Failed);
    EXPECT_EQ(readFile(target), old);
    EXPECT_EQ(names(), std::vector<std::string>{"report.txt"});

    // A good write replaces the whole content and marks the data saved.
    EXPECT_EQ(writeTextFile(target.string(), ChosenRecords::one(0), true), SaveResult::Done);
    EXPECT_EQ(dataSaved.load(), 1);
    std::string written = readFile(target);
    EXPECT_EQ(written.find("Korvane Systems Inc.\r\nDosimark Kest ID:  SN:  -  Data Saved On "
                           "12/29/03 18:34:00\r\n"),
              0u);
    EXPECT_NE(written.find("Record #:1\r\n"), std::string::npos);
    EXPECT_EQ(written.find("the report signed"), std::string::npos);
    EXPECT_EQ(writeCsvFile((dir_ / "export.csv").string(), SelectedRecords), SaveResult::Done);
    EXPECT_EQ(names(), (std::vector<std::string>{"export.csv", "report.txt"}));
}

}  // namespace
