// lumkest-cli download: its files against the window program's from the
// same records, identity and stamp, the tester holding them as a block or
// as a file of any saved form; the PDF against the window's printout; an
// archive that cannot be used, and the way back from it.

#include <csignal>

#include "archive/pguri.h"
#include "cli/outputs.h"
#include "cli/pending.h"
#include "tests/cli/clitest.h"

namespace {

using namespace clitest;

struct Download {
    const char* name;
    std::vector<TestRecord> records;  // what the tester holds, or none: its own
    const char* sort;                 // "", "id" or "date"
    // How it is given: "" a block (--block), else a file (--from) of that
    // form: "csv", "list", "records", "json" (download's), "history".
    const char* from = "";
};

// The records a file of any form keeps as they are: no comma (which the CSV
// export makes a space), no text a list's padding hides.
std::vector<TestRecord> recordsEveryFileKeeps() {
    std::vector<TestRecord> kept;
    for (const TestRecord& r : awkwardRecords())
        if (FIELD_TEXT(r, deviceID).find(',') == std::string::npos) kept.push_back(r);
    return kept;
}

// The records as a file of that form, as the window program or lumkest-cli
// writes it, of the tester {"Bay 3", "SN-FROM"}.
std::string fileOf(const std::string& form, const std::vector<TestRecord>& records) {
    const SaveSource source{records, {"Bay 3", "SN-FROM"}, saveStamp(kStamp)};
    std::string bytes;
    if (form == "csv") csvFileText(source, AllRecords, &bytes);
    if (form == "list" || form == "records")
        textFileText(source, AllRecords, form == "records", &bytes);
    if (form == "json") bytes = recordsJson(source, kStamp).toStdString();
    if (form == "history") {
        std::vector<ArchivedRecord> archived;
        for (const TestRecord& r : records) archived.push_back({r, source.tester, "", 1});
        bytes = historyJson(archived).toStdString();
    }
    return bytes;
}

class CliDownload : public Cli, public ::testing::WithParamInterface<Download> {};

TEST_P(CliDownload, FilesAreWhatTheWindowWritesForTheSameRecords) {
    const Download& c = GetParam();
    std::vector<TestRecord> held = c.records.empty() ? VirtualTester::defaultRecords() : c.records;
    const std::vector<std::uint8_t> block = VirtualTester::buildAllRecordsBlock(held);
    std::vector<std::string> args{"--virtual"};
    if (*c.from) {
        // The file's tester answers.
        writeFile(path("in.from"), fileOf(c.from, held));
        args.insert(args.end(), {"--from", path("in.from")});
    } else if (!c.records.empty()) {
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
    if (*c.from) {
        EXPECT_EQ(instrumentSerialText() + " " + instrumentIdText(), "SN-FROM Bay 3");
    }

    // The window's writers, now, on the same records, identity and stamp.
    ASSERT_EQ(writeCsvFile(path("w.csv"), AllRecords), SaveResult::Done);
    ASSERT_EQ(writeTextFile(path("w.txt"), AllRecords, false), SaveResult::Done);
    ASSERT_EQ(writeTextFile(path("wr.txt"), AllRecords, true), SaveResult::Done);
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

INSTANTIATE_TEST_SUITE_P(
    Virtual, CliDownload,
    ::testing::Values(Download{"OwnRecords", {}, ""},
                      Download{"AwkwardBlockById", awkwardRecords(), "id"},
                      Download{"AwkwardBlockByDate", awkwardRecords(), "date"},
                      Download{"FromCsv", recordsEveryFileKeeps(), "", "csv"},
                      Download{"FromListText", recordsEveryFileKeeps(), "id", "list"},
                      Download{"FromRecordText", recordsEveryFileKeeps(), "", "records"},
                      Download{"FromJson", recordsEveryFileKeeps(), "date", "json"},
                      Download{"FromHistoryJson", recordsEveryFileKeeps(), "", "history"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Cli, PdfIsTheWindowsPrintoutOfTheSameJob) {
    const Ran ran = run(
        {"--virtual", "download", "--pdf", path("list.pdf"), "--pdf-records", path("records.pdf")});
    ASSERT_EQ(ran.code, CliDone) << ran.err;
    for (PrintFormat format : {PrintListFormat, PrintRecordFormat}) {
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

TEST_F(Cli, AnArchiveThatCannotBeUsedKeepsTheBlock) {
    writeFile(path("not.db"), std::string(4096, 'x'));
    // A password is shown nowhere, whatever the URI's form: a '/' in it,
    // the scheme in capitals.
    for (const std::string& db :
         {path("not.db"), "postgresql://postgres@/lumkest?host=" + dir_.string() + "&port=1",
          "postgresql://kest:s3cret/pw@/lumkest?host=" + dir_.string(),
          "POSTGRESQL://kest:s3cret@/lumkest?host=" + dir_.string()}) {
        const Ran ran = run({"--virtual", "download", "--csv", path("a.csv"), "--archive", db,
                             "--raw", path("a.raw")});
        EXPECT_EQ(ran.code, CliArchiveFailed) << db;
        EXPECT_EQ(ran.err.find("lumkest-cli: archive: cannot "), 0u) << ran.err;
        // Named without its user part.
        EXPECT_NE(ran.err.find(uriWithoutPassword(db)), std::string::npos) << ran.err;
        EXPECT_EQ(ran.err.find("postgres@"), std::string::npos) << ran.err;
        EXPECT_EQ(ran.err.find("s3cret"), std::string::npos) << ran.err;
        EXPECT_FALSE(fs::exists(path("POSTGRESQL:")));
        EXPECT_EQ(std::count(ran.err.begin(), ran.err.end(), '\n'), 1);
        EXPECT_NE(ran.err.find("; the download is kept in \"" + pendingFolder()), std::string::npos)
            << ran.err;
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

    // Each download the archive refused is kept whole, whatever outputs were
    // asked for, private to the user: five, all of one block in one second.
    std::vector<std::string> kept;
    std::string why;
    ASSERT_TRUE(pendingFiles(&kept, &why)) << why;
    ASSERT_EQ(kept.size(), 5u);
    for (const std::string& file : kept)
        EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    fs::copy_file(kept[0], path("kept.copy"));
    const std::string db = path("good.db");
    auto downloads = [&] {
        const std::string csv = run({"--archive", db, "downloads", "--csv", "-"}).out;
        return std::count(csv.begin(), csv.end(), '\n') - 1;
    };
    // import --pending archives each with its own time and tester, as a
    // download of its own, and takes its file away.
    Ran ran = run({"--archive", db, "import", "--pending"});
    ASSERT_EQ(ran.code, CliDone) << ran.err;
    std::string lines;
    for (std::size_t i = 0; i < kept.size(); ++i)
        lines += kept[i] + ": 123 records, " + (i == 0 ? "123" : "0") + " new (download " +
                 std::to_string(i + 1) + ")\n";
    EXPECT_EQ(ran.out, lines);
    ASSERT_TRUE(pendingFiles(&kept, &why));
    EXPECT_TRUE(kept.empty());
    EXPECT_EQ(downloads(), 5);
    ran = run({"--archive", db, "downloads", "--csv", "-"});
    EXPECT_NE(
        ran.out.find("\r\n5," + isoLocalTime(kStamp) + ",KS0401123,Dosimark Kest Bay 2,block,"),
        std::string::npos)
        << ran.out;
    // A kept download the archive holds already (its run stopped between the
    // commit and the removal) is matched, not added again.
    fs::copy_file(path("kept.copy"), pendingFolder() + "again.download");
    ran = run({"--archive", db, "import", "--pending"});
    EXPECT_EQ(ran.out,
              pendingFolder() + "again.download: 123 records, archived already (download 1)\n");
    EXPECT_EQ(downloads(), 5);
    EXPECT_EQ(run({"--archive", db, "-q", "import", "--pending"}).err, "");
    // A file that is none stops the run before anything is archived.
    writeFile(pendingFolder() + "bad.download", std::string("LUM Kest pending download 1\n"));
    ran = run({"--archive", db, "import", "--pending"});
    EXPECT_EQ(ran.code, CliUsage);
    EXPECT_NE(ran.err.find("bad.download\": it is no download that lumkest-cli kept"),
              std::string::npos)
        << ran.err;
    fs::remove(pendingFolder() + "bad.download");

    // The program killed in the middle of many: run again, every kept
    // download is in the archive once.
    PendingDownload night{"", VirtualTester::buildIdentityReply("KS1", "Bay 1"),
                          VirtualTester::buildAllRecordsBlock({makeRecord("P")}), kStamp};
    constexpr int kNights = 300;
    for (int i = 0; i < kNights; ++i, night.downloaded += 86400)
        ASSERT_TRUE(keepPending(night, &night.file, &why)) << why;
    std::vector<std::string> args{LUMKEST_CLI_PATH, "--archive", db, "-q", "import", "--pending"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, argv[0], &quiet, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&quiet);
    std::size_t left = kNights;
    for (int status = 0; left == kNights && ::waitpid(pid, &status, WNOHANG) == 0;
         left = kept.size()) {
        ::usleep(2000);
        pendingFiles(&kept, &why);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    ASSERT_TRUE(pendingFiles(&kept, &why));
    EXPECT_GT(kept.size(), 0u);
    EXPECT_LT(kept.size(), static_cast<std::size_t>(kNights));
    ran = run({"--archive", db, "-q", "import", "--pending"});
    ASSERT_EQ(ran.code, CliDone) << ran.err;
    ASSERT_TRUE(pendingFiles(&kept, &why));
    EXPECT_TRUE(kept.empty());
    EXPECT_EQ(downloads(), 5 + kNights);
}

}  // namespace
