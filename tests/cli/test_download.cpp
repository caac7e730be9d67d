// lumkest-cli download: its files against the window program's from the
// same records, identity and stamp; the PDF against the window's printout;
// an archive that cannot be used.

#include "archive/pguri.h"
#include "tests/cli/clitest.h"

namespace {

using namespace clitest;

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

INSTANTIATE_TEST_SUITE_P(Virtual, CliDownload,
                         ::testing::Values(Download{"OwnRecords", {}, ""},
                                           Download{"AwkwardBlockById", awkwardRecords(), "id"},
                                           Download{"AwkwardBlockByDate", awkwardRecords(),
                                                    "date"}),
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
