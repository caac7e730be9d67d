// lumkest-cli run in this process over the virtual tester on a fake clock:
// its files against the window program's from the same records, identity and
// stamp; the JSON read back; every exit code.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPrinter>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "cli/cli.h"
#include "device/clock.h"
#include "device/decode.h"
#include "device/monitor.h"
#include "device/virtualtester.h"
#include "print/qtcanvas.h"
#include "print/report.h"
#include "records/recordstore.h"
#include "records/sort.h"
#include "save/stamp.h"
#include "save/writers.h"
#include "tests/core/records.h"
#include "tests/files.h"
#include "tests/pgserver.h"

namespace fs = std::filesystem;

namespace {

constexpr std::time_t kStamp = 1796638052;  // any fixed moment
std::time_t fixedStamp() { return kStamp; }

std::string slurp(std::FILE* f) {
    std::string s;
    std::rewind(f);
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) s.append(buf, n);
    std::fclose(f);
    return s;
}

std::string latin1(const QJsonValue& v) { return v.toString().toLatin1().toStdString(); }

// A record's ten texts, for comparing records wherever they come from.
std::vector<std::string> texts(const TestRecord& r) {
    return {FIELD_TEXT(r, deviceID),        FIELD_TEXT(r, testDate),     FIELD_TEXT(r, testTime),
            FIELD_TEXT(r, testDuration),    FIELD_TEXT(r, flow),         FIELD_TEXT(r, volume),
            FIELD_TEXT(r, pressureMMHG),    FIELD_TEXT(r, pressureUser), unitName(r.pressureUnits),
            FIELD_TEXT(r, peakPressureTime)};
}

// Commas, a code that is no unit, bytes above 127, format sequences, a field
// filling its whole width.
std::vector<TestRecord> awkwardRecords() {
    return {makeRecord("12,34", "5 Jun 2004", "09:15", 'x'),
            makeRecord("%s%n\xe9\xff", "30 Jan 2004", "18:34", 'k'),
            makeRecord("ABCDEFGHIJKLMNOP", "29 Dec 2003", "23:59", 'b'),
            makeRecord("abc", "5 Jun 2004", "07:00"),
            makeRecord("q\"\\\x01\x1f\x7f\t", "6 Jun 2004", "07:00")};
}

// The keys of the members at one depth of indented JSON, in their order.
std::vector<std::string> jsonKeys(const std::string& json, std::size_t indent) {
    std::vector<std::string> keys;
    const std::string start = "\n" + std::string(indent, ' ') + "\"";
    for (std::size_t at = json.find(start); at != std::string::npos; at = json.find(start, at + 1))
        keys.push_back(json.substr(at + start.size(), json.find('"', at + start.size()) -
                                                          at - start.size()));
    return keys;
}

struct Ran {
    int code;
    std::string out, err;
};

class Cli : public ::testing::Test {
protected:
    void SetUp() override {
        resetMonitorForTest();
        resetSharedStateForTest();
        setClock(&clock_);
        previousStamp_ = setStampClock(&fixedStamp);
        dir_ = fs::temp_directory_path() / ("lumkest-cli-test-" + std::to_string(getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        setStampClock(previousStamp_);
        setClock(nullptr);
        resetMonitorForTest();
        resetSharedStateForTest();
        fs::remove_all(dir_);
    }

    // out: standard output, a temporary file unless given.
    Ran run(std::vector<std::string> args, bool terminal = false, std::FILE* out = nullptr) {
        args.insert(args.begin(), "lumkest-cli");
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int argc = static_cast<int>(args.size());
        CliStreams io{out ? out : std::tmpfile(), std::tmpfile(), terminal};
        const int code = runCli(argc, argv.data(), io);
        std::string text = slurp(io.out);
        return {code, text, slurp(io.err)};
    }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    FakeClock clock_;
    StampClock previousStamp_ = nullptr;
    fs::path dir_;
};

struct Download {
    const char* name;
    std::vector<TestRecord> records;  // what the tester holds (--block), or none: its own
    const char* sort;                 // "", "id" or "date"
};

class CliDownload : public Cli, public ::testing::WithParamInterface<Download> {};

TEST_P(CliDownload, FilesAreWhatTheWindowWritesForTheSameRecords) {
    const Download& c = GetParam();
    std::vector<TestRecord> held = c.records.empty() ? VirtualTester::defaultRecords() : c.records;
    const std::vector<std::uint8_t> block = VirtualTester::buildAllRecordsBlock(held);
    std::vector<std::string> args{"--virtual"};
    if (!c.records.empty()) {
        writeFile(path("in.block"), block);
        writeFile(path("in.identity"),
                  VirtualTester::buildIdentityReply("SN-\xe9,12345", "Bay \xff,3 of twenty"));
        args.insert(args.end(), {"--block", path("in.block"), "--identity", path("in.identity")});
    }
    args.insert(args.end(),
                {"download", "--csv", path("a.csv"), "--text", path("a.txt"), "--records",
                 path("r.txt"), "--raw", path("a.raw"), "--json", path("a.json")});
    if (*c.sort) args.insert(args.end(), {"--sort", c.sort});

    const Ran ran = run(args);
    ASSERT_EQ(ran.code, CliDone) << ran.err;
    EXPECT_EQ(ran.err, "");
    EXPECT_EQ(ran.out, "");

    // The records as the tester holds them, in the order asked for.
    if (*c.sort)
        quickSortRecords(held.data(), held.size(),
                         *c.sort == 'i' ? compareByDeviceID : compareByDateTime);
    const std::vector<TestRecord> shown = recordStore().displayed();
    ASSERT_EQ(shown.size(), held.size());
    for (std::size_t i = 0; i < held.size(); ++i) EXPECT_EQ(texts(shown[i]), texts(held[i])) << i;

    // The window's writers, now, on the same records, identity and stamp.
    ASSERT_EQ(writeCsvFile(path("w.csv"), AllRecords), kWriteDone);
    ASSERT_EQ(writeTextFile(path("w.txt"), AllRecords, false), kWriteDone);
    ASSERT_EQ(writeTextFile(path("wr.txt"), AllRecords, true), kWriteDone);
    EXPECT_EQ(readFile(path("a.csv")), readFile(path("w.csv")));
    EXPECT_EQ(readFile(path("a.txt")), readFile(path("w.txt")));
    EXPECT_EQ(readFile(path("r.txt")), readFile(path("wr.txt")));
    EXPECT_NE(readFile(path("a.csv")).find(saveStamp(kStamp)), std::string::npos);
    EXPECT_EQ(readFile(path("a.raw")), std::string(block.begin(), block.end()));

    // The JSON, read back: every byte of every field, the identity, the time.
    const std::string jsonText = readFile(path("a.json"));
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(jsonText), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << jsonText;
    // Qt's own layout and escapes, the members in the manual page's order.
    EXPECT_EQ(QJsonDocument::fromJson(doc.toJson()), doc);
    EXPECT_EQ(jsonKeys(jsonText, 4), (std::vector<std::string>{"format", "tester", "downloaded",
                                                               "records"}));
    const std::vector<std::string> recordKeys = jsonKeys(jsonText, 12);
    EXPECT_EQ(std::vector<std::string>(recordKeys.begin(), recordKeys.begin() + 18),
              (std::vector<std::string>{"record", "deviceID", "testDate", "testTime",
                                        "testDuration", "flow", "volume", "pressureMMHG",
                                        "pressureUser", "pressureUnits", "peakPressureTime",
                                        "tested", "flowMlPerHour", "volumeMl", "durationSeconds",
                                        "peakTimeSeconds", "pressureMmHgValue",
                                        "pressureUserValue"}));
    EXPECT_EQ(jsonText.size(), doc.toJson(QJsonDocument::Indented).size());
    const QJsonObject whole = doc.object();
    EXPECT_EQ(latin1(whole["tester"]["id"]), instrumentIdText());
    EXPECT_EQ(latin1(whole["tester"]["serial"]), instrumentSerialText());
    const QDateTime downloaded = QDateTime::fromString(whole["downloaded"].toString(), Qt::ISODate);
    EXPECT_EQ(downloaded.toSecsSinceEpoch(), kStamp) << latin1(whole["downloaded"]);
    const QJsonArray records = whole["records"].toArray();
    ASSERT_EQ(records.size(), static_cast<qsizetype>(held.size()));
    for (std::size_t i = 0; i < held.size(); ++i) {
        const QJsonObject r = records[static_cast<qsizetype>(i)].toObject();
        EXPECT_EQ(r["record"].toInt(), static_cast<int>(i + 1));
        std::vector<std::string> got;
        for (const char* f : {"deviceID", "testDate", "testTime", "testDuration", "flow", "volume",
                              "pressureMMHG", "pressureUser", "pressureUnits", "peakPressureTime"})
            got.push_back(latin1(r[f]));
        EXPECT_EQ(got, texts(held[i])) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Virtual, CliDownload,
                         ::testing::Values(Download{"OwnRecords", {}, ""},
                                           Download{"AwkwardBlockById", awkwardRecords(), "id"},
                                           Download{"AwkwardBlockByDate", awkwardRecords(),
                                                    "date"}),
                         [](const auto& info) { return std::string(info.param.name); });

// pdftotext's reading of a PDF, page by page.
std::string pdfText(const std::string& file) {
    const std::string txt = file + ".txt";
    const std::string command = "pdftotext -layout '" + file + "' '" + txt + "'";
    if (std::system(command.c_str()) != 0) return "pdftotext failed on " + file;
    return readFile(txt);
}

TEST_F(Cli, PdfIsTheWindowsPrintoutOfTheSameJob) {
    const Ran ran = run(
        {"--virtual", "download", "--pdf", path("list.pdf"), "--pdf-records", path("records.pdf")});
    ASSERT_EQ(ran.code, CliDone) << ran.err;
    for (int format : {PrintListFormat, PrintRecordFormat}) {
        // The print dialog's printer, to a PDF file.
        QPrinter printer(QPrinter::HighResolution);
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setPageSize(QPageSize(QPageSize::A4));
        const std::string name = format == PrintListFormat ? "list.pdf" : "records.pdf";
        printer.setOutputFileName(QString::fromStdString(path("w" + name)));
        ReportJob job = currentReportJob(-1);
        job.range = PrintAll;
        job.format = format;
        QtPrintCanvas canvas(printer);
        ASSERT_EQ(printReport(canvas, job), 0);

        const std::string text = pdfText(path(name));
        EXPECT_EQ(text, pdfText(path("w" + name)));
        EXPECT_NE(text.find("Data Printed On " + saveStamp(kStamp)), std::string::npos) << text;
    }
}

TEST_F(Cli, InfoPrintsTheIdentity) {
    const Ran ran = run({"--virtual", "info"});
    EXPECT_EQ(ran.code, CliDone);
    EXPECT_EQ(ran.out, "ID: Dosimark Kest Bay 2\nSN: KS0401123\n");
    EXPECT_EQ(ran.err, "");
    // As JSON, which an ID holding a line end cannot break.
    const QJsonDocument json =
        QJsonDocument::fromJson(QByteArray::fromStdString(run({"--virtual", "info", "--json", "-"}).out));
    EXPECT_EQ(json["format"].toInt(), 1);
    EXPECT_EQ(json["tester"]["serial"].toString(), "KS0401123");
    EXPECT_EQ(json["state"].toString(), "connected");

    // Help per command: its synopsis and its options only.
    const std::string help = run({"download", "--help"}).out;
    EXPECT_EQ(help.find("Usage: lumkest-cli [--virtual"), 0u) << help;
    EXPECT_NE(help.find("--new-only"), std::string::npos);
    EXPECT_EQ(help.find("--device"), std::string::npos);
    EXPECT_NE(run({"--help"}).out.find("lumkest-cli COMMAND --help"), std::string::npos);
}

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

// The archive through the command line, on SQLite and on PostgreSQL: two
// downloads that overlap, --new-only, an import of an archived download's
// CSV, history by device, tester and dates, and the archive's failures.
class CliArchive : public Cli, public ::testing::WithParamInterface<bool> {};

TEST_P(CliArchive, DownloadsImportsAndHistoryMeetInOneArchive) {
    ASSERT_EQ(pgtest::pg().problem, "");
    const std::string db = pgtest::freshArchive(GetParam(), dir_.string());
    ASSERT_NE(db, "");
    auto tester = [&](const std::string& serial, const std::vector<TestRecord>& records,
                      const std::string& id = "") {
        writeFile(path(serial + ".block"), VirtualTester::buildAllRecordsBlock(records));
        writeFile(path(serial + ".id"),
                  VirtualTester::buildIdentityReply(serial, id.empty() ? "Bay " + serial : id));
        return std::vector<std::string>{"--virtual",
                                        "--block",
                                        path(serial + ".block"),
                                        "--identity",
                                        path(serial + ".id"),
                                        "download",
                                        "--archive",
                                        db};
    };
    auto with = [](std::vector<std::string> a, std::vector<std::string> more) {
        a.insert(a.end(), more.begin(), more.end());
        return a;
    };
    auto lines = [&](const std::string& file) {
        const std::string text = readFile(path(file));
        return std::count(text.begin(), text.end(), '\n');
    };
    const std::vector<TestRecord> monday = {makeRecord("IV-0042", "2 Mar 2026", "08:00"),
                                            makeRecord("IV-0042", "1 Mar 2026", "09:00"),
                                            makeRecord("IV-7", "3 Mar 2026", "10:00")};
    std::vector<TestRecord> tuesday = monday;
    tuesday.push_back(makeRecord("IV-0042", "4 Mar 2026", "11:00"));

    // The archive is an output of its own; the second download adds only
    // its new record, which is all that --new-only writes.
    Ran ran = run(with(tester("SN1", monday), {"--csv", path("monday.csv")}));
    ASSERT_EQ(ran.code, CliDone) << ran.err;
    EXPECT_NE(ran.err.find("held no archive; a new one was made there\n"), std::string::npos);
    EXPECT_EQ(run(tester("SN1", monday)).code, CliDone);
    ran = run(with(tester("SN1", tuesday), {"--new-only", "--csv", path("new.csv")}));
    ASSERT_EQ(ran.code, CliDone) << ran.err;
    EXPECT_EQ(lines("new.csv"), 3);
    EXPECT_NE(readFile(path("new.csv")).find("1,IV-0042,4 Mar 2026,11:00,"), std::string::npos);
    ran = run(with(tester("SN1", tuesday),
                   {"--new-only", "--raw", path("again.raw"), "--csv", path("none.csv")}));
    EXPECT_EQ(ran.code, CliNoRecords) << ran.err;
    EXPECT_TRUE(fs::exists(path("again.raw")));
    EXPECT_FALSE(fs::exists(path("none.csv")));

    // Monday's CSV export brings nothing new; a file that is none is refused.
    ran = run({"--archive", db, "import", path("monday.csv")});
    EXPECT_EQ(ran.code, CliDone) << ran.err;
    EXPECT_EQ(ran.out, path("monday.csv") + ": 3 records, 0 new\n");
    EXPECT_EQ(run({"--archive", db, "import", path("SN1.id")}).code, CliUsage);

    // History by device, dates inclusive, in test date order.
    ran = run({"--archive", db, "history", "--device", "IV-0042", "--since", "2026-03-01",
               "--until", "2026-03-02", "--csv", "-"});
    ASSERT_EQ(ran.code, CliDone) << ran.err;
    EXPECT_NE(ran.out.find("\r\n1,IV-0042,1 Mar 2026,09:00,"), std::string::npos) << ran.out;
    EXPECT_NE(ran.out.find("\r\n2,IV-0042,2 Mar 2026,08:00,"), std::string::npos) << ran.out;
    EXPECT_EQ(std::count(ran.out.begin(), ran.out.end(), '\n'), 4);

    // A second tester: text, CSV and PDF need --tester; JSON takes both.
    ASSERT_EQ(run(tester("SN2", {makeRecord("IV-0042", "5 Mar 2026")})).code, CliDone);
    ran = run({"--archive", db, "history", "--device", "IV-0042", "--text", path("h.txt")});
    EXPECT_EQ(ran.code, CliUsage);
    EXPECT_NE(ran.err.find("SN1 (Bay SN1), SN2 (Bay SN2)"), std::string::npos) << ran.err;
    EXPECT_EQ(run({"--archive", db, "history", "--tester", "SN2", "--text", path("h.txt")}).code,
              CliDone);
    EXPECT_NE(readFile(path("h.txt")).find("ID: Bay SN2 SN: SN2"), std::string::npos);
    ran = run({"--archive", db, "history", "--json", "-"});
    ASSERT_EQ(ran.code, CliDone) << ran.err;
    const QJsonDocument history = QJsonDocument::fromJson(QByteArray::fromStdString(ran.out));
    EXPECT_EQ(ran.out.size(), history.toJson(QJsonDocument::Indented).size());
    const QJsonArray all = history["records"].toArray();
    ASSERT_EQ(all.size(), 5);
    EXPECT_EQ(all[4]["tester"]["serial"].toString(), "SN2");
    EXPECT_EQ(all[0]["tested"].toString(), "2026-03-01T09:00:00");
    EXPECT_EQ(run({"--archive", db, "history", "--device", "IV-9", "--json", "-"}).code,
              CliNoRecords);

    // An output that fails leaves the archive as it was: the rerun gives the
    // same new record, which history --download N gives again later.
    std::vector<TestRecord> wednesday = tuesday;
    wednesday.push_back(makeRecord("IV-0042", "6 Mar 2026", "12:00"));
    ran = run(with(tester("SN1", wednesday, "Bay North"),
                   {"--new-only", "--csv", path("no/such/folder.csv")}));
    EXPECT_EQ(ran.code, CliWriteFailed);
    EXPECT_NE(ran.err.find("the same command gives these records again"), std::string::npos);
    ran = run(with(tester("SN1", wednesday, "Bay North"), {"--new-only", "--csv", path("w.csv")}));
    ASSERT_EQ(ran.code, CliDone) << ran.err;
    EXPECT_EQ(lines("w.csv"), 3);
    ran = run({"--archive", db, "downloads", "--json", "-"});
    ASSERT_EQ(ran.code, CliDone) << ran.err;
    const QJsonObject last =
        QJsonDocument::fromJson(QByteArray::fromStdString(ran.out))["downloads"]
            .toArray()
            .last()
            .toObject();
    EXPECT_EQ(last["new"].toInt(), 1);
    EXPECT_EQ(last["records"].toInt(), 5);
    ran = run({"--archive", db, "history", "--download", std::to_string(last["download"].toInt()),
               "--csv", "-"});
    EXPECT_NE(ran.out.find("\r\n1,IV-0042,6 Mar 2026,12:00,"), std::string::npos) << ran.out;

    // A tester is its serial number: renamed on its keypad, SN1 is still one
    // tester, and the headers name its latest ID.
    ran = run({"--archive", db, "history", "--tester", "SN1", "--text", path("sn1.txt")});
    ASSERT_EQ(ran.code, CliDone) << ran.err;
    EXPECT_NE(readFile(path("sn1.txt")).find("ID: Bay North SN: SN1"), std::string::npos);

    // history's own files carry more than 123 records into another archive,
    // all of them or none: a batch with a file that fails adds nothing.
    std::vector<TestRecord> many;
    for (int i = 0; i < 246; ++i)
        many.push_back(makeRecord("P" + std::to_string(i), "7 Mar 2026", "13:00"));
    ASSERT_EQ(run(tester("SN3", {many.begin(), many.begin() + 123})).code, CliDone);
    ASSERT_EQ(run(tester("SN3", {many.begin() + 123, many.end()})).code, CliDone);
    ASSERT_EQ(run({"--archive", db, "history", "--tester", "SN3", "--csv", path("all.csv"),
                   "--text", path("all.txt"), "--records", path("all-r.txt")})
                  .code,
              CliDone);
    const std::string other = pgtest::freshArchive(GetParam(), dir_.string());
    pgtest::makeForeignDatabase(path("foreign.db"));
    ran = run({"--archive", other, "import", path("all.csv"), path("foreign.db")});
    EXPECT_EQ(ran.code, CliArchiveFailed) << ran.err;
    EXPECT_EQ(ran.out, "");
    EXPECT_EQ(run({"--archive", other, "history", "--json", "-"}).code, CliNoRecords);
    ran = run({"--archive", other, "import", path("all.csv"), path("all.txt"), path("all-r.txt")});
    ASSERT_EQ(ran.code, CliDone) << ran.err;
    EXPECT_EQ(ran.out, path("all.csv") + ": 246 records, 246 new\n" + path("all.txt") +
                           ": 246 records, 0 new\n" + path("all-r.txt") + ": 246 records, 0 new\n");
}

INSTANTIATE_TEST_SUITE_P(Archive, CliArchive, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "PostgreSQL" : "SQLite"; });

TEST_F(Cli, AnArchiveThatCannotBeUsedKeepsTheBlock) {
    writeFile(path("not.db"), std::string(4096, 'x'));
    for (const std::string& db :
         {path("not.db"), "postgresql://postgres@/lumkest?host=" + dir_.string() + "&port=1"}) {
        const Ran ran = run({"--virtual", "download", "--csv", path("a.csv"), "--archive", db,
                             "--raw", path("a.raw")});
        EXPECT_EQ(ran.code, CliArchiveFailed) << db;
        EXPECT_EQ(ran.err.find("lumkest-cli: archive: cannot "), 0u) << ran.err;
        EXPECT_NE(ran.err.find(db), std::string::npos) << ran.err;
        EXPECT_EQ(std::count(ran.err.begin(), ran.err.end(), '\n'), 1);
        EXPECT_TRUE(fs::exists(path("a.raw")));
        EXPECT_FALSE(fs::exists(path("a.csv")));
        fs::remove(path("a.raw"));
    }
    // When --raw fails too, both failures are told; the archive's came first.
    const Ran both = run({"--virtual", "download", "--archive", path("not.db"), "--raw",
                          path("no/such/folder.raw")});
    EXPECT_EQ(both.code, CliArchiveFailed);
    EXPECT_EQ(std::count(both.err.begin(), both.err.end(), '\n'), 2) << both.err;
    EXPECT_NE(both.err.find("\nlumkest-cli: --raw: cannot write"), std::string::npos) << both.err;
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new pgtest::PgEnvironment);
    return RUN_ALL_TESTS();
}
