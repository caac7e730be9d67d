// lumkest-sim's options: parsing, the files they name, and what they make
// the virtual tester do on the wire.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "device/decode.h"
#include "device/monitor.h"
#include "device/simoptions.h"
#include "device/virtualtester.h"
#include "save/writers.h"

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes patterned(std::size_t size, std::uint8_t first) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + 3);
    if (size) b[0] = first;
    return b;
}

class SimOptionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("lumkest-simopts-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::string file(const std::string& name, const Bytes& bytes) {
        const fs::path p = dir_ / name;
        std::ofstream(p, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return p.string();
    }
    bool parse(const std::vector<std::string>& args) { return parseSimOptions(args, &opts, &error); }

    fs::path dir_;
    SimOptions opts;
    std::string error;
};

// Opens the tester as the program's monitor does; 0 when it cannot.
DeviceHandle open(VirtualTester& t) {
    DeviceHandle h = 0;
    t.openByDescription(kInstrumentDescription, kOpenByDescription, &h);
    return h;
}

Bytes exchange(VirtualTester& t, DeviceHandle h, const std::string& command, std::size_t expect) {
    unsigned n = 0;
    if (!command.empty()) t.write(h, command.data(), static_cast<unsigned>(command.size()), &n);
    Bytes got(expect + 16);
    unsigned read = 0;
    t.read(h, got.data(), static_cast<unsigned>(got.size()), &read);
    got.resize(read);
    return got;
}

}  // namespace

TEST_F(SimOptionsTest, FlagsAreReadAndQtArgumentsPassThroughInOrder) {
    ASSERT_TRUE(parse({}));
    EXPECT_TRUE(opts.testerWindow);
    EXPECT_FALSE(opts.unplugged);
    EXPECT_TRUE(opts.block.empty());
    EXPECT_TRUE(opts.identity.empty());

    ASSERT_TRUE(parse({"-platform", "offscreen", "--unplugged", "--no-tester-window", "-style",
                       "fusion"}))
        << error;
    EXPECT_TRUE(opts.unplugged);
    EXPECT_FALSE(opts.testerWindow);
    EXPECT_FALSE(opts.help);
    EXPECT_EQ(opts.qtArgs, (std::vector<std::string>{"-platform", "offscreen", "-style", "fusion"}));

    ASSERT_TRUE(parse({"--help"}));
    EXPECT_TRUE(opts.help);
}

TEST_F(SimOptionsTest, BlockAndIdentityFilesAreReadInEitherForm) {
    const Bytes block = patterned(kDataBlockSize, 'B');
    const Bytes identity = patterned(kIdentityReplySize, 'I');
    const std::string blockPath = file("block.bin", block);
    const std::string idPath = file("id.bin", identity);

    ASSERT_TRUE(parse({"--block", blockPath, "--identity=" + idPath})) << error;
    EXPECT_EQ(opts.block, block);
    EXPECT_EQ(opts.identity, identity);
    EXPECT_EQ(opts.blockFile, blockPath);

    ASSERT_TRUE(parse({"--block=" + blockPath, "--identity", idPath})) << error;
    EXPECT_EQ(opts.block, block);
    EXPECT_EQ(opts.identity, identity);

    // --from: a saved file's records, held as the block they make (which the
    // Virtual Tester window offers as the file's); its tester answers,
    // unless --identity gives another reply.
    const std::vector<TestRecord> records = {VirtualTester::defaultRecords()[0],
                                             VirtualTester::defaultRecords()[4]};
    std::string csv;
    ASSERT_TRUE(csvFileText({records, {"Bay 7", "S7"}, "12/29/03 18:34:00"}, AllRecords, &csv));
    const std::string csvPath = file("export.csv", Bytes(csv.begin(), csv.end()));
    ASSERT_TRUE(parse({"--from=" + csvPath})) << error;
    EXPECT_EQ(opts.block, VirtualTester::buildAllRecordsBlock(records));
    EXPECT_EQ(opts.blockFile, csvPath);
    EXPECT_EQ(opts.identity, VirtualTester::buildIdentityReply("S7", "Bay 7"));
    ASSERT_TRUE(parse({"--identity", idPath, "--from", csvPath})) << error;
    EXPECT_EQ(opts.identity, identity);
    EXPECT_FALSE(parse({"--from", csvPath, "--block", blockPath}));
    EXPECT_NE(error.find("give one of them"), std::string::npos) << error;
}

TEST_F(SimOptionsTest, FilesOfTheWrongSizeAreRefusedNamingFileAndSize) {
    struct Case {
        const char* option;
        std::size_t size;
        const char* needed;
    } cases[] = {
        {"--block", kDataBlockSize - 1, "8194"}, {"--block", kDataBlockSize + 1, "8194"},
        {"--block", 0, "8194"},                  {"--identity", kIdentityReplySize - 1, "33"},
        {"--identity", kIdentityReplySize + 1, "33"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.option) + " of " + std::to_string(c.size) + " bytes");
        const std::string path = file("wrong.bin", patterned(c.size, 'B'));
        EXPECT_FALSE(parse({c.option, path}));
        EXPECT_NE(error.find(path), std::string::npos) << error;
        EXPECT_NE(error.find(c.needed), std::string::npos) << error;
    }
}

TEST_F(SimOptionsTest, UnreadableFilesAndBadUsageAreRefused) {
    const std::string missing = (dir_ / "no-such-file").string();
    EXPECT_FALSE(parse({"--block", missing}));
    EXPECT_NE(error.find(missing), std::string::npos) << error;
    EXPECT_FALSE(parse({"--identity", dir_.string()}));  // a directory
    EXPECT_NE(error.find(dir_.string()), std::string::npos) << error;

    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--block"},            // no file name
             {"--identity="},        // empty file name
             {"--unplug"},           // misspelt: not silently ignored
             {"--unplugged=yes"},    // flags take no value
             {"--no-tester-window", "--bogus"},
         }) {
        SCOPED_TRACE(args.back());
        EXPECT_FALSE(parse(args));
        EXPECT_FALSE(error.empty());
    }
}

// The options as the program sees them on the wire.
TEST_F(SimOptionsTest, TesterAnswersWithTheGivenIdentityAndBlock) {
    const Bytes block = patterned(kDataBlockSize, 'B');
    const Bytes identity = patterned(kIdentityReplySize, 'I');
    ASSERT_TRUE(parse({"--block", file("b.bin", block), "--identity", file("i.bin", identity)}));
    VirtualTester tester;
    applySimOptions(opts, &tester);

    const DeviceHandle h = open(tester);
    ASSERT_NE(h, 0u);
    EXPECT_EQ(exchange(tester, h, "ID\r", kIdentityReplySize), identity);
    EXPECT_EQ(exchange(tester, h, "DD\r", kDataBlockSize), block);
    ASSERT_TRUE(tester.sendAllRecords());  // the window's Send All Records
    EXPECT_EQ(exchange(tester, h, "", kDataBlockSize), block);

    // Going back to records (the window's Apply) sends a block built from them.
    tester.clearBlockOverride();
    tester.setRecords({VirtualTester::defaultRecords().front()});
    EXPECT_EQ(exchange(tester, h, "DD\r", kDataBlockSize),
              VirtualTester::buildAllRecordsBlock({VirtualTester::defaultRecords().front()}));
}

TEST_F(SimOptionsTest, UnpluggedTesterCannotBeOpenedOrSendUntilPluggedIn) {
    ASSERT_TRUE(parse({"--unplugged"}));
    VirtualTester tester;
    applySimOptions(opts, &tester);

    EXPECT_EQ(open(tester), 0u);
    // The window's buttons report that nothing went out.
    EXPECT_FALSE(tester.sendAllRecords());
    EXPECT_FALSE(tester.sendOneRecord(1));
    EXPECT_FALSE(tester.sendAnnouncement());
    VirtualTester::Activity a = tester.activity();
    EXPECT_FALSE(a.plugged);
    EXPECT_FALSE(a.open);

    tester.plugIn();
    EXPECT_FALSE(tester.activity().open);  // plugged in, not yet opened
    EXPECT_FALSE(tester.sendAllRecords());
    const DeviceHandle h = open(tester);
    ASSERT_NE(h, 0u);
    exchange(tester, h, "ID\r", kIdentityReplySize);
    a = tester.activity();
    EXPECT_TRUE(a.plugged);
    EXPECT_TRUE(a.open);
    EXPECT_EQ(a.commands, 1u);
    EXPECT_EQ(a.lastCommand, "ID\r");
    EXPECT_TRUE(tester.sendAnnouncement());
    EXPECT_EQ(tester.activity().waitingBytes, 3u);  // "RD\r"
}

// lumkest-cli's --fault names: exactly these, as written.
TEST(VirtualFaults, OnlyTheFiveNamesAreKnown) {
    VirtualFault fault{};
    for (const char* kind : {"silent", "no-answer", "short", "empty", "busy"})
        EXPECT_TRUE(parseVirtualFault(kind, &fault)) << kind;
    for (const char* kind : {"", "Silent", "no_answer", "noanswer", "short ", "slow"})
        EXPECT_FALSE(parseVirtualFault(kind, &fault)) << kind;
}
