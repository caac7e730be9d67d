// What every command shares: the progress note, each failure's exit code
// and line, where outputs go, and the program as a script or a timer starts
// it.

#include <QLocale>
#include <cmath>
#include <limits>

#include "cli/json.h"
#include "cli/run.h"
#include "tests/cli/clitest.h"

namespace {

using namespace clitest;

TEST_F(Cli, ProgressShowsOnATerminalOnlyWithoutQuiet) {
    Ran ran = run({"--virtual", "download", "--csv", path("a.csv")}, true);
    EXPECT_EQ(ran.code, CliDone);
    EXPECT_NE(ran.err.find("Downloading\u2026"), std::string::npos) << ran.err;
    EXPECT_EQ(ran.err.substr(ran.err.size() - 12), "123 records\n");
    ran = run({"--virtual", "-q", "download", "--csv", path("a.csv")}, true);
    EXPECT_EQ(ran.code, CliDone);
    EXPECT_EQ(ran.err, "");
}

TEST_F(Cli, EachFailureHasItsExitCodeAndOneLine) {
    const std::string usage = "Usage: lumkest-cli";
    const std::string db = path("a.db");
    // Files the virtual tester cannot hold: more records than a tester
    // keeps, a device ID longer than its slot, a block (which --block
    // gives), a history of two testers without --identity, a text that is
    // no byte.
    std::string many =
        "Dosimark Kest ID: Bay 3  SN: S3  -  Data Exported On 12/29/03 18:34:00\r\n"
        "Record Num,Device ID,Test Date,Test Time,Flow Rate,Volume Infused,Test "
        "Duration,Pressure,mmHg,Pressure,(user),OP Peak Time\r\n";
    for (int n = 1; n <= 124; ++n)
        many += std::to_string(n) + (n == 1 ? ",P-0123456789ABCDEF" : ",P") +
                ",1 Jan 2026,10:00,5.1,5.1,01:00:00,300,mmHg,5.8,PSI,00:01:00\r\n";
    writeFile(path("124.csv"), many);
    const std::size_t cut = many.find("\r\n2,");
    writeFile(path("long.csv"), many.substr(0, cut + 2));
    writeFile(path("a.block"), VirtualTester::buildAllRecordsBlock({makeRecord("P")}));
    const std::string record =
        "\"record\": %d, \"deviceID\": \"%s\", \"testDate\": \"1 Jan 2026\", \"testTime\": "
        "\"10:00\", \"testDuration\": \"\", \"flow\": \"\", \"volume\": \"\", "
        "\"pressureMMHG\": \"\", \"pressureUser\": \"\", \"pressureUnits\": \"PSI\", "
        "\"peakPressureTime\": \"\", \"tester\": {\"id\": \"B\", \"serial\": \"%s\"}";
    auto json = [&](std::initializer_list<std::pair<const char*, const char*>> records) {
        std::string out = "{\"format\": 3, \"records\": [";
        int n = 0;
        for (const auto& [device, serial] : records) {
            char one[512];
            std::snprintf(one, sizeof one, record.c_str(), ++n, device, serial);
            out += std::string(n > 1 ? ", {" : "{") + one + "}";
        }
        return out + "]}";
    };
    writeFile(path("two.json"), json({{"P", "S1"}, {"P", "S2"}}));
    writeFile(path("wide.json"), json({{"P\\u20ac", "S1"}}));
    writeFile(path("cut.json"), json({{"P", "S1"}}).substr(0, 200));
    const struct {
        std::vector<std::string> args;
        std::string says;  // in the line
    } bad[] = {
        {{"--frobnicate", "download", "--csv", path("a.csv")}, "unknown option --frobnicate"},
        {{"download", "--block", path("x"), "--csv", path("a.csv")}, "--block"},
        {{"--virtual", "download"}, "at least one output"},
        {{"--virtual", "download", "--csv"}, "--csv needs a value"},
        {{"--virtual", "download", "--csv", "--json", path("a.csv")}, "--csv took --json"},
        {{"--virtual", "download", "--csv="}, "--csv needs a value"},
        {{"--archive", "", "history", "--json", "-"}, "--archive needs a value"},
        {{"--archive", db, "history", "--device", "", "--json", "-"}, "--device needs a value"},
        {{"--archive", db, "history", "--tester=", "--json", "-"}, "--tester needs a value"},
        {{"--archive", db, "--identity", "", "import", path("a.csv")}, "--identity needs a value"},
        {{"--archive", "-", "history", "--json", "-"}, "not \"-\""},
        {{"--archive", db, "history", "--since", "2026-03-02", "--until", "2026-03-01", "--json",
          "-"},
         "after --until"},
        {{"--archive", db, "report"},
         "report needs at least one output (--pdf, --html or --html-dir)"},
        {{"--archive", db, "report", "--html-dir", "-"}, "--html-dir needs a folder"},
        {{"--virtual", "download", "--html-dir", path("pages")}, "--html-dir belongs to report"},
        {{"report", "--html", path("r.html")}, "report needs --archive DB"},
        {{"--archive", db, "report", "--csv", path("a.csv")}, "--csv belongs to"},
        {{"--archive", db, "report", "--html", "-", "--pdf", "-"}, "only one output may use"},
        {{"--archive", db, "report", "--as-of", "7 Dec", "--html", "-"}, "--as-of takes a date"},
        {{"--virtual", "download", "--html", path("r.html")}, "--html belongs to report"},
        {{"--from", path("124.csv"), "download", "--csv", path("a.csv")},
         "--from is only for the virtual tester"},
        {{"--virtual", "--from", path("124.csv"), "download", "--csv", path("a.csv")},
         "holds 124 records; a tester holds 123 at most"},
        {{"--virtual", "--from", path("long.csv"), "info"},
         "holds a record (its 1. one) that a tester cannot hold"},
        {{"--virtual", "--from", path("a.block"), "info"}, "is a raw block: give it with --block"},
        {{"--virtual", "--from", path("two.json"), "info"}, "holds records of several testers"},
        {{"--virtual", "--from", path("wide.json"), "info"}, "not Latin-1"},
        {{"--virtual", "--from", path("cut.json"), "info"}, "cannot be read: not JSON: "},
        {{"--virtual", "--block", path("a.block"), "--from", path("two.json"), "info"},
         "--from and --block both give what the tester holds"},
        {{"--archive", db, "import", "--pending", path("a.csv")},
         "import --pending takes neither FILE nor --identity"},
    };
    for (const auto& row : bad) {
        const Ran ran = run(row.args);
        EXPECT_EQ(ran.code, CliUsage) << ran.err;
        EXPECT_EQ(ran.err.find("lumkest-cli: "), 0u) << ran.err;
        EXPECT_NE(ran.err.find(row.says), std::string::npos) << ran.err;
        EXPECT_NE(ran.err.find("\n" + usage), std::string::npos) << ran.err;
    }
    EXPECT_FALSE(fs::exists(db));
    EXPECT_FALSE(fs::exists("-"));
    EXPECT_FALSE(fs::exists(path("a.csv")));

    // No USB tester on this machine.
    Ran ran = run({"info"});
    EXPECT_EQ(ran.code, CliNoTester);
    EXPECT_EQ(ran.err,
              "lumkest-cli: no tester found; plug it in and switch it on, or give --wait "
              "SECONDS\n");
    ran = run({"--wait", "1", "info"});
    EXPECT_EQ(ran.err.find("lumkest-cli: no tester found within 1 second; "), 0u) << ran.err;
    EXPECT_EQ(ran.err.find("give --wait SECONDS"), std::string::npos) << ran.err;
    EXPECT_EQ(run({"--wait", "0", "info"}).err.find("lumkest-cli: no tester found; "), 0u);

    // Each rehearsed fault gives its exit code, and only --raw is written.
    for (const auto& [fault, code] :
         {std::make_pair("silent", CliTransferFailed),
          std::make_pair("no-answer", CliTransferFailed),
          std::make_pair("short", CliTransferFailed), std::make_pair("empty", CliNoRecords),
          std::make_pair("busy", CliNoTester)}) {
        ran = run({"--virtual", "--fault", fault, "download", "--csv", path("a.csv")});
        EXPECT_EQ(ran.code, code) << fault << ": " << ran.err;
        EXPECT_EQ(std::count(ran.err.begin(), ran.err.end(), '\n'), 1) << ran.err;
        EXPECT_FALSE(fs::exists(path("a.csv")));
    }

    // A tester that holds no records, and a block that is damaged: nothing
    // written but the block itself.
    std::vector<std::uint8_t> empty = VirtualTester::buildAllRecordsBlock({});
    std::vector<std::uint8_t> damaged = empty;
    damaged[kRecordCountOffset] = 5;  // records announced, none there
    for (const auto& [block, code, text] :
         {std::make_tuple(empty, CliNoRecords, "the tester holds no records\n"),
          std::make_tuple(damaged, CliTransferFailed, "the block is kept in")}) {
        writeFile(path("in.block"), block);
        ran = run({"--virtual", "--block", path("in.block"), "download", "--csv", path("a.csv"),
                   "--raw", path("kept.raw")});
        EXPECT_EQ(ran.code, code);
        EXPECT_NE(ran.err.find(text), std::string::npos) << ran.err;
        EXPECT_EQ(readFile(path("kept.raw")), std::string(block.begin(), block.end()));
        EXPECT_FALSE(fs::exists(path("a.csv")));
    }

    // An output that cannot be written: those given before it stay, none
    // after it, in the command line's order; the reason is the system's.
    ran = run({"--virtual", "download", "--text", path("a.txt"), "--csv", path("missing/a.csv"),
               "--raw", path("b.raw")});
    EXPECT_EQ(ran.code, CliWriteFailed);
    EXPECT_NE(ran.err.find("--csv: cannot write \"" + path("missing/a.csv") +
                           "\": No such file or directory\n"),
              std::string::npos)
        << ran.err;
    EXPECT_EQ(std::count(ran.err.begin(), ran.err.end(), '\n'), 1);
    EXPECT_TRUE(fs::exists(path("a.txt")));
    EXPECT_FALSE(fs::exists(path("missing")));
    EXPECT_FALSE(fs::exists(path("b.raw")));
}

TEST_F(Cli, OutputsGoWhereTheyAreNamed) {
    // Two outputs into one file are refused before the tester is opened.
    fs::create_symlink("a.csv", path("link.csv"));
    for (const auto& same : {std::make_pair(path("a.csv"), dir_.string() + "/./a.csv"),
                             std::make_pair(path("link.csv"), path("a.csv")),
                             std::make_pair(std::string("-"), std::string("-"))}) {
        const Ran ran = run({"--virtual", "download", "--csv", same.first, "--text", same.second});
        EXPECT_EQ(ran.code, CliUsage) << same.second;
        EXPECT_NE(ran.err.find("--csv"), std::string::npos) << ran.err;
        EXPECT_NE(ran.err.find("--text"), std::string::npos) << ran.err;
        EXPECT_FALSE(fs::exists(path("a.csv")));
    }
    const Ran archive =
        run({"--virtual", "download", "--csv", path("k.db"), "--archive", dir_.string() + "/k.db"});
    EXPECT_EQ(archive.code, CliUsage);
    EXPECT_NE(archive.err.find("--archive"), std::string::npos) << archive.err;

    // A name is bytes: one that is not UTF-8 is written under that name.
    const std::string latin = path("caf\xe9.csv");
    Ran ran = run({"--virtual", "download", "--csv", latin, "--raw", path("b.raw")});
    ASSERT_EQ(ran.code, CliDone) << ran.err;
    const std::string csv = readFile(latin);
    EXPECT_EQ(csv.find("Dosimark Kest ID:"), 0u);

    // "-" is standard output for every output, byte for byte the file.
    for (const char* option : {"--csv", "--text", "--records", "--json", "--raw", "--pdf"}) {
        const std::string file = path(std::string("f") + option);
        ASSERT_EQ(run({"--virtual", "download", option, file}).code, CliDone);
        ran = run({"--virtual", "download", option, "-"});
        EXPECT_EQ(ran.code, CliDone) << ran.err;
        // A PDF carries its moment of making; its start is enough.
        const std::size_t compared = std::string(option) == "--pdf" ? 5 : std::string::npos;
        EXPECT_EQ(ran.out.substr(0, compared), readFile(file).substr(0, compared)) << option;
    }

    // The paper is the locale's, or --paper's: Letter, turned for the list, is 792 by 612
    // points.
    ran = run({"--virtual", "download", "--paper", "letter", "--pdf", "-"});
    ASSERT_EQ(ran.code, CliDone) << ran.err;
    EXPECT_NE(ran.out.find("/MediaBox [0 0 792.000000 612.000000]"), std::string::npos);

    // Standard output that cannot be written fails, --help and --version too.
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--help"},
                                                 {"--version"},
                                                 {"--virtual", "download", "--json", "-"}}) {
        ran = run(args, false, std::fopen("/dev/full", "w"));
        EXPECT_EQ(ran.code, CliWriteFailed) << args[0];
        EXPECT_NE(ran.err.find("No space left on device"), std::string::npos) << args[0];
    }

    // A pipe is written plainly, as it is read.
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
    std::string piped;
    std::thread reader([&] { piped = readFile(path("fifo")); });
    ran = run({"--virtual", "download", "--csv", path("fifo")});
    reader.join();
    EXPECT_EQ(ran.code, CliDone) << ran.err;
    EXPECT_EQ(piped, csv);
    EXPECT_EQ(run({"--virtual", "download", "--csv", "/dev/null", "--text", "/dev/null"}).code,
              CliDone);
}

// The program itself, as a script or a timer starts it.
// The real program, started with this environment, in this folder, with
// out.csv opened for appending as its standard output and descriptor 3.
int spawnCli(std::vector<std::string> args, std::vector<std::string> env, const fs::path& folder) {
    args.insert(args.begin(), LUMKEST_CLI_PATH);
    std::vector<char*> argv, envp;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    for (int fd : {1, 3})
        posix_spawn_file_actions_addopen(&actions, fd, "out.csv", O_WRONLY | O_APPEND | O_CREAT,
                                         0644);
    pid_t pid = 0;
    int status = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) == 0)
        waitpid(pid, &status, 0);
    posix_spawn_file_actions_destroy(&actions);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(Cli, ProgramRunsWithoutADisplayWhateverTheEnvironmentSays) {
    // Output names that are Qt's own options are file names all the same.
    EXPECT_EQ(spawnCli({"--virtual", "download", "--pdf", "-platform", "--csv", "-style"},
                       {"QT_QPA_PLATFORM=xcb", "PATH=/usr/bin:/bin", "LC_PAPER=C"}, dir_),
              0);
    EXPECT_EQ(readFile(path("-platform")).substr(0, 5), "%PDF-");
    EXPECT_TRUE(fs::exists(path("-style")));

    // /dev/stdout and /dev/fd/3 are written through the descriptor, as a
    // shell's >> opened it: the earlier lines and the file itself stay.
    writeFile(path("out.csv"), std::string("earlier line\n"));
    const auto mode = fs::status(path("out.csv")).permissions();
    struct stat before {};
    ::stat(path("out.csv").c_str(), &before);
    for (const char* name : {"/dev/stdout", "/dev/fd/3"})
        EXPECT_EQ(spawnCli({"--virtual", "download", "--csv", name}, {"PATH=/usr/bin:/bin"}, dir_),
                  0);
    struct stat after {};
    ::stat(path("out.csv").c_str(), &after);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(fs::status(path("out.csv")).permissions(), mode);
    // Each run stamps its own second; the lengths and the lines are alike.
    const std::string csv = readFile(path("-style")), out = readFile(path("out.csv"));
    EXPECT_EQ(out.size(), 13 + 2 * csv.size());
    EXPECT_EQ(out.find("earlier line\nDosimark Kest ID: "), 0u);
    EXPECT_EQ(out.find("Dosimark Kest ID: ", 13 + csv.size()), 13 + csv.size());
}

// The spool history makes its outputs from gives back every record as it
// was added, records cut across its pieces of 64 KiB among them, as often
// as it is read, and stops when asked to.
TEST(CliSpool, RecordsComeBackAsAdded) {
    RecordSpool spool;
    std::vector<ArchivedRecord> added;
    for (int i = 0; i < 3000; ++i) {
        ArchivedRecord a;
        a.record = makeRecord("P\xe9-" + std::to_string(i), "29 Dec 2003", "18:34", "pkbm"[i % 4]);
        a.tester = {
            std::string(static_cast<std::size_t>(i % 41), static_cast<char>(0x80 + i % 128)),
            "SN" + std::to_string(i % 7)};
        a.firstDownloaded = i % 5 ? "2026-01-01T12:00:00+00:00" : "";
        a.firstDownload = i * 1000003LL;
        ASSERT_TRUE(spool.add(a)) << spool.why();
        added.push_back(a);
    }
    for (int pass = 0; pass < 2; ++pass) {
        std::size_t at = 0;
        EXPECT_TRUE(spool.replay([&](const ArchivedRecord& a) {
            const ArchivedRecord& b = added.at(at++);
            EXPECT_EQ(std::memcmp(&a.record, &b.record, sizeof a.record), 0) << at;
            EXPECT_EQ(a.tester.id, b.tester.id) << at;
            EXPECT_EQ(a.tester.serial, b.tester.serial) << at;
            EXPECT_EQ(a.firstDownloaded, b.firstDownloaded) << at;
            EXPECT_EQ(a.firstDownload, b.firstDownload) << at;
            return true;
        }));
        EXPECT_EQ(at, added.size());
    }
    int seen = 0;
    EXPECT_FALSE(spool.replay([&](const ArchivedRecord&) { return ++seen < 10; }));
    EXPECT_EQ(seen, 10);
}

// JSON's numbers and texts as Qt's own writer makes them, without it.
TEST(CliJson, NumbersAndTextsAsQtWritesThem) {
    for (double v :
         {5.183, 7.27, 0.1 + 0.2, 1e-5, 0.0001, 0.001, 123456.789, -2.5, 1.0 / 3,
          4503599627370495.5, 1.5e300, 5e-324, 3600.0, -0.0, 9007199254740993.0, 1e21, 2.5e-300}) {
        const std::string qt =
            QByteArray::number(v, 'g', QLocale::FloatingPointShortest).toStdString();
        // Whole numbers up to 2^53 as their digits, -0 as 0.
        const bool whole = v == std::trunc(v) && std::fabs(v) <= 9007199254740992.0;
        EXPECT_EQ(jsonDouble(v), whole ? std::to_string(static_cast<long long>(v)) : qt) << qt;
    }
    EXPECT_EQ(jsonDouble(std::numeric_limits<double>::infinity()), "null");
    for (int byte = 1; byte < 256; ++byte) {
        const std::string text = "a" + std::string(1, static_cast<char>(byte)) + "b";
        const QByteArray qt = QJsonDocument(QJsonArray{QString::fromLatin1(text.c_str())})
                                  .toJson(QJsonDocument::Compact);
        EXPECT_EQ(jsonText(text), qt.mid(1, qt.size() - 2).toStdString()) << byte;
    }
}

}  // namespace
