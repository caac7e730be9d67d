// The archive through the command line: download --archive, history,
// import and downloads meeting in one archive, on SQLite and PostgreSQL.

#include "tests/cli/clitest.h"

namespace {

using namespace clitest;

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
        run(download(
                db, "SN1",
                {record("IV-1", "1 Mar 2026", "105"), record("IV-2", "2 Mar 2026", "105.1"),
                 record("IV-3", "3 Mar 2026", "100"), record("IV-4", "4 Mar 2026", "n/a")}))
            .code,
        CliDone);
    // A list with a row that does not read is refused whole.
    writeFile(path("bad.csv"), std::string("device_id,flow_low_pct\r\nIV-1,-5\r\nIV-2,five\r\n"));
    Ran ran = run({"--archive", db, "assets", path("bad.csv")});
    EXPECT_EQ(ran.code, CliUsage);
    EXPECT_NE(ran.err.find("line 3"), std::string::npos) << ran.err;
    EXPECT_NE(ran.err.find("flow_low_pct"), std::string::npos) << ran.err;
    const std::string heads =
        "Device_ID,Model,set_rate_ml_h,flow_low_pct,flow_high_pct,interval_days\r\n";
    writeFile(path("v1.csv"), heads +
                                  ",P3,100,-5,5,365\r\nIV-1,P3,,,,\r\nIV-2,P3,,,,\r\n"
                                  "IV-4,P3,,,,\r\nIV-9,P3,,,,\r\n");
    writeFile(path("v2.csv"), heads + ",P3,100,-5,4,365\r\nIV-1,P3,,,,\r\nIV-2,P3,,,,\r\n");
    ran = run({"--archive", db, "assets", path("v1.csv")});
    ASSERT_EQ(ran.code, CliDone) << ran.err;
    EXPECT_EQ(ran.out, path("v1.csv") + ": asset list 1, 5 rows\n");

    // The results a maintenance-management system imports, read by Python's csv.
    ASSERT_EQ(run({"--archive", db, "history", "--results", path("r.csv")}).code, CliDone);
    const std::string read =
        "python3 -c 'import csv,sys; print(\";\".join(r[\"asset_id\"] + \" \" + "
        "r[\"result\"] + \" \" + r[\"asset_list\"] for r in csv.DictReader(open(sys."
        "argv[1], newline=\"\", encoding=\"utf-8\"))))' " +
        path("r.csv");
    std::FILE* python = ::popen(read.c_str(), "r");
    ASSERT_NE(python, nullptr);
    EXPECT_EQ(slurpPipe(python), "IV-1 PASS 1;IV-2 FAIL 1;IV-3 NOT ASSESSED 1;IV-4 UNREADABLE 1\n");
    ran = run({"--archive", db, "history", "--result", "fail", "--json", "-"});
    const QJsonArray failed =
        QJsonDocument::fromJson(QByteArray::fromStdString(ran.out))["records"].toArray();
    ASSERT_EQ(failed.size(), 1);
    EXPECT_EQ(failed[0]["deviceID"].toString(), "IV-2");
    EXPECT_EQ(failed[0]["verdict"]["flow"].toString(), "fail");
    EXPECT_EQ(failed[0]["verdict"]["limits"]["setRateMlPerHour"].toDouble(), 100);

    // A later version judges by its own limits; the first one still gives
    // the first verdict.
    ASSERT_EQ(run({"--archive", db, "assets", path("v2.csv")}).code, CliDone);
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

    // Due: by the first list, IV-9 never tested, IV-1 due a year after its
    // test; by the second, nothing is due yet, and nothing is written.
    auto due = [&](std::vector<std::string> more) {
        std::vector<std::string> args = {"--archive", db, "due", "--asset-list", "1", "--csv", "-"};
        args.insert(args.end(), more.begin(), more.end());
        return run(args).out;
    };
    EXPECT_EQ(due({"--as-of", "2026-06-01"}),
              "device_id,model,location,last_tested,interval_days,due_date,status\r\n"
              "IV-9,P3,,,365,,never tested\r\n");
    EXPECT_NE(due({"--as-of", "2027-03-01"}).find("IV-1,P3,,2026-03-01,365,2027-03-01,due\r\n"),
              std::string::npos);
    EXPECT_NE(due({"--as-of", "2027-03-02"}).find(",overdue\r\n"), std::string::npos);
    EXPECT_NE(due({"--as-of", "2026-06-01", "--within", "280"}).find("IV-1,P3,,2026-03-01"),
              std::string::npos);
    ran = run({"--archive", db, "due", "--as-of", "2026-06-01"});
    EXPECT_EQ(ran.code, CliDone);
    EXPECT_EQ(ran.out, "");
}

INSTANTIATE_TEST_SUITE_P(Archive, CliArchive, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "PostgreSQL" : "SQLite"; });

}  // namespace
