// The archive through the command line: download --archive, history,
// import and downloads meeting in one archive, on SQLite and PostgreSQL.

#include "tests/cli/clitest.h"

namespace {

using namespace clitest;

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

}  // namespace
