// The saved and exported files, byte for byte against reference files.
//
// LUMKEST_WRITE_REFERENCE=folder writes the outputs there instead of
// comparing, for review when a format is changed on purpose.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "records/recordstore.h"
#include "save/writers.h"
#include "tests/core/samplesource.h"
#include "tests/files.h"

namespace fs = std::filesystem;

namespace {

enum class Layout { Csv, List, Record };

struct FileCase {
    const char* reference;
    Layout layout;
    ChosenRecords choice;
    bool empty;  // no records at all
};

class WriterFiles : public ::testing::TestWithParam<FileCase> {};

TEST_P(WriterFiles, MatchTheReferenceByteForByte) {
    const FileCase& c = GetParam();
    SaveSource source = sampleSource();
    if (c.empty) source.records.clear();
    std::string out;
    ASSERT_TRUE(c.layout == Layout::Csv
                    ? csvFileText(source, c.choice, &out)
                    : textFileText(source, c.choice, c.layout == Layout::Record, &out));
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
    using Kind = ChosenRecords::Kind;
    for (unsigned i = 0; i < source.records.size(); ++i)
        if (c.choice.kind() == Kind::All ||
            (c.choice.kind() == Kind::One && c.choice.index() == i) ||
            (c.choice.kind() == Kind::Selected && source.records[i].selected))
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
                      FileCase{"list-first.txt", Layout::List, ChosenRecords::one(0), false},
                      FileCase{"list-none.txt", Layout::List, AllRecords, true},
                      FileCase{"records-selected.txt", Layout::Record, SelectedRecords, false},
                      FileCase{"records-last.txt", Layout::Record, ChosenRecords::one(3), false}));

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
    source.tester.id = "A,B-123456789012345678901234567890";
    source.tester.serial = "S,1";
    ASSERT_TRUE(csvFileText(source, AllRecords, &csv));
    EXPECT_EQ(csv.substr(0, csv.find("\r\n")),
              "Dosimark Kest ID: A B-12345678901234567890123456  SN: S,1  -  Data Exported On "
              "12/29/03 18:34:00");
    // An index that names no record is refused.
    EXPECT_FALSE(csvFileText(source, ChosenRecords::one(1), &csv));
    EXPECT_FALSE(textFileText(source, ChosenRecords::one(1), true, &list));
}

TEST(Writers, TheCommaRuleMakesEveryCommaASpace) {
    EXPECT_EQ(commasAsSpaces(",12,,34,"), " 12  34 ");
}

}  // namespace
