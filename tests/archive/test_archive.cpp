// The workshop archive on both database systems: SQLite in a temporary
// folder and a real PostgreSQL server of its own (scripts/pg-test-server.sh),
// started before the first case and stopped after the last.  The plain
// functions beside it are tests/archive/test_plain.cpp's.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "archive/archive.h"
#include "archive/importfile.h"
#include "archive/pguri.h"
#include "workshop/typed.h"
#include "device/decode.h"
#include "device/virtualtester.h"
#include "records/recordstore.h"
#include "save/writers.h"
#include "tests/core/records.h"
#include "tests/files.h"
#include "tests/archive/archivetest.h"
#include "tests/pgserver.h"

namespace fs = std::filesystem;

namespace {

using pgtest::freshArchive;
using pgtest::PgEnvironment;
using pgtest::tempFolder;

using archivetest::blockOf;
using archivetest::kOther;
using archivetest::kTester;
using archivetest::received;

class ArchiveCases : public ::testing::TestWithParam<bool> {  // true: PostgreSQL
protected:
    void SetUp() override {
        if (GetParam()) {
            ASSERT_TRUE(pgtest::pg().problem.empty()) << pgtest::pg().problem;
        }
        folder_ = tempFolder();
        db_ = freshArchive(GetParam(), folder_);
        ASSERT_FALSE(db_.empty());
        archive_ = Archive::open(db_, &error_);
        ASSERT_TRUE(archive_) << error_;
    }
    void TearDown() override { fs::remove_all(folder_); }

    std::vector<bool> add(const TesterIdentity& tester, std::time_t when,
                          const std::vector<TestRecord>& records,
                          RecordForm form = RecordForm::Received) {
        std::vector<bool> added;
        const std::vector<std::uint8_t> block =
            form == RecordForm::Received ? blockOf(records) : std::vector<std::uint8_t>();
        EXPECT_TRUE(archive_->addDownload(tester, when, block, records, &added, &error_, form))
            << error_;
        return added;
    }
    std::vector<ArchivedRecord> history(const HistoryFilter& filter = {}) {
        std::vector<ArchivedRecord> out;
        EXPECT_TRUE(archive_->history(filter, &out, &error_)) << error_;
        return out;
    }

    std::string folder_, db_, error_;
    std::unique_ptr<Archive> archive_;
};

TEST_P(ArchiveCases, OverlappingDownloadsAddOnlyTheNewRecords) {
    const std::vector<TestRecord> all = received();
    const std::vector<TestRecord> first(all.begin(), all.begin() + 100);
    std::vector<TestRecord> second(all.begin() + 90, all.end());
    second.push_back(second.front());  // the same record twice in one download
    EXPECT_EQ(add(kTester, 1000, first), std::vector<bool>(100, true));
    const std::vector<bool> added = add(kTester, 2000, second);
    for (std::size_t i = 0; i < second.size(); ++i)
        EXPECT_EQ(added[i], i >= 10 && i < 33) << "record " << i;
    // The same texts from another tester are other records.
    EXPECT_EQ(add(kOther, 3000, first), std::vector<bool>(100, true));

    const std::vector<ArchivedRecord> got = history({"", kTester.serial, "", ""});
    ASSERT_EQ(got.size(), 123u);
    for (const ArchivedRecord& a : got) {
        bool fromFirst = false;
        for (const TestRecord& r : first) fromFirst |= std::memcmp(&r, &a.record, sizeof r) == 0;
        EXPECT_EQ(a.firstDownloaded, isoLocalTime(fromFirst ? 1000 : 2000));
        EXPECT_EQ(a.tester.id, kTester.id);
    }
}

TEST_P(ArchiveCases, SavedFilesOfAnArchivedDownloadAddNothing) {
    // Texts that the list format pads, and an empty pressure.
    std::vector<TestRecord> padded = VirtualTester::defaultRecords();
    SET_FIELD(padded[0], deviceID, "TRAIL  ");
    SET_FIELD(padded[0], flow, "5.1  ");
    SET_FIELD(padded[1], testDate, "5 Jun 2004 ");
    SET_FIELD(padded[1], pressureMMHG, " 37");
    SET_FIELD(padded[2], pressureUser, " 0.7");
    SET_FIELD(padded[3], pressureUser, "");
    const std::vector<TestRecord> records = received(padded);
    SaveSource source{records, kTester, "12/29/03 18:34:00"};
    for (std::size_t i = 0; i < records.size(); i += 3) source.records[i].selected = 1;
    std::vector<std::string> files(4);
    textFileText(source, AllRecords, false, &files[0]);
    csvFileText(source, AllRecords, &files[1]);
    textFileText(source, SelectedRecords, false, &files[2]);
    textFileText(source, SelectedRecords, true, &files[3]);

    // The list file first: spaces at either end lost.  Then the download:
    // nothing new, but the fuller texts are kept, and the first download
    // stays the import.
    ImportedFile list;
    std::string why;
    ASSERT_TRUE(readSavedFile(files[0], nullptr, &list, &why)) << why;
    EXPECT_EQ(add(kTester, 500, list.records, list.form), std::vector<bool>(123, true));
    EXPECT_EQ(add(kTester, 1000, records), std::vector<bool>(123, false));
    for (const std::string& file : files) {
        ImportedFile imported;
        ASSERT_TRUE(readSavedFile(file, nullptr, &imported, &why)) << why << "\n" << file;
        EXPECT_EQ(add(imported.tester, 2000, imported.records, imported.form),
                  std::vector<bool>(imported.records.size(), false));
    }
    const std::vector<ArchivedRecord> got = history();
    ASSERT_EQ(got.size(), 123u);
    for (const ArchivedRecord& a : got) {
        bool same = false;
        for (const TestRecord& r : records) same |= std::memcmp(&r, &a.record, sizeof r) == 0;
        EXPECT_TRUE(same) << FIELD_TEXT(a.record, deviceID);
        EXPECT_EQ(a.firstDownloaded, isoLocalTime(500));
    }
}

TEST_P(ArchiveCases, HistoryFiltersByDeviceTesterAndDates) {
    add(kTester, 1000,
        {makeRecord("P1", "31 Dec 2003", "23:59"), makeRecord("P1", "1 Jan 2004", "00:00"),
         makeRecord("P2", "2 Jan 2004"), makeRecord("P1", "no date"),
         makeRecord("P1", "29 Dec 2003", "08:00"), makeRecord("P3", "1 Jan 2004", "25:99")});
    add(kOther, 2000, {makeRecord("P1", "1 Jan 2004", "12:00")});
    // One device through a download and through a CSV export (commas lost).
    add(kTester, 3000, {makeRecord("ICU 3, BED 7", "3 Jan 2004")});
    add(kTester, 4000, {makeRecord("ICU 3  BED 7", "4 Jan 2004")}, RecordForm::Csv);
    auto dates = [&](const HistoryFilter& f) {
        std::vector<std::string> out;
        for (const ArchivedRecord& a : history(f))
            out.push_back(FIELD_TEXT(a.record, testDate) + " " + a.tester.serial);
        return out;
    };
    const std::string t = kTester.serial, o = kOther.serial;
    EXPECT_EQ(dates({"P1", "", "", ""}),
              (std::vector<std::string>{"29 Dec 2003 " + t, "31 Dec 2003 " + t, "1 Jan 2004 " + t,
                                        "1 Jan 2004 " + o, "no date " + t}));
    EXPECT_EQ(dates({"P1", o, "", ""}), (std::vector<std::string>{"1 Jan 2004 " + o}));
    // A time that does not read leaves a test its date (first in its day).
    EXPECT_EQ(dates({"", "", "2003-12-31", "2004-01-01"}),
              (std::vector<std::string>{"31 Dec 2003 " + t, "1 Jan 2004 " + t, "1 Jan 2004 " + t,
                                        "1 Jan 2004 " + o}));
    EXPECT_EQ(dates({"P3", "", "2004-01-01", "2004-01-01"}),
              (std::vector<std::string>{"1 Jan 2004 " + t}));
    HistoryFilter undated{"P1", "", "2003-12-31", "2003-12-31"};
    undated.undatedToo = true;
    EXPECT_EQ(dates(undated), (std::vector<std::string>{"31 Dec 2003 " + t, "no date " + t}));
    long long count = 0;
    EXPECT_TRUE(archive_->count(undated, &count, &error_)) << error_;
    EXPECT_EQ(count, 2);
    EXPECT_EQ(dates({"P2", "", "2004-01-03", ""}), std::vector<std::string>{});
    EXPECT_EQ(dates({"ICU 3, BED 7", "", "", ""}),
              (std::vector<std::string>{"3 Jan 2004 " + t, "4 Jan 2004 " + t}));
    std::vector<ArchivedRecord> out;
    EXPECT_FALSE(archive_->history({"", "", "2004-02-30", ""}, &out, &error_));
    EXPECT_EQ(history({"P2", "", "", ""}).at(0).record.testDate, std::string("2 Jan 2004"));
}

// An asset's last test: of those dated on or before the day asked for,
// the latest, but never one dated more than a day after the archive
// received it (a tester's clock set ahead would hide an overdue pump).
TEST_P(ArchiveCases, LastTestsAsOfADayAndNeverFromTheFuture) {
    std::vector<AssetRow> rows;
    ASSERT_TRUE(readAssetList("device_id,interval_days\nP1,365\nP2,365\nP3,365\n", &rows,
                              &error_))
        << error_;
    AssetListInfo info;
    ASSERT_TRUE(archive_->addAssetList(rows, "list", 1000, &info, &error_)) << error_;
    const std::time_t june2004 = 1086076800;  // 2004-06-01 08:00 UTC
    add(kTester, june2004,
        {makeRecord("P1", "1 Jan 2004", "10:00"), makeRecord("P1", "3 Mar 2004", "xx"),
         makeRecord("P1", "5 Jun 2027", "10:00"), makeRecord("P2", "31 Feb 2004", "10:00"),
         makeRecord("P2", "5 Jun 2027", "10:00"), makeRecord("P3", "1 May 2004", "10:00")});
    // The same records again later add nothing and change no receipt.
    add(kTester, june2004 + 3 * 365 * 86400, {makeRecord("P2", "5 Jun 2027", "10:00")});
    auto last = [&](const std::string& asOf) {
        std::vector<std::pair<std::string, ArchivedRecord>> found;
        EXPECT_TRUE(archive_->lastTests(info.number, asOf, &found, &error_)) << error_;
        std::map<std::string, std::string> dates;
        for (const auto& [device, test] : found) dates[device] = FIELD_TEXT(test.record, testDate);
        return dates;
    };
    EXPECT_EQ(last("2004-06-30"), (std::map<std::string, std::string>{
                                      {"P1", "3 Mar 2004"}, {"P3", "1 May 2004"}}));
    EXPECT_EQ(last("2004-03-02"), (std::map<std::string, std::string>{{"P1", "1 Jan 2004"}}));
    EXPECT_EQ(last("2030-01-01"), (std::map<std::string, std::string>{
                                      {"P1", "3 Mar 2004"}, {"P3", "1 May 2004"}}));
    std::vector<std::string> received;
    ASSERT_TRUE(archive_->firstReceived(
        kTester.serial, {makeRecord("P2", "5 Jun 2027", "10:00"), makeRecord("P9")}, &received,
        &error_));
    EXPECT_EQ(received, (std::vector<std::string>{isoLocalTime(june2004), ""}));
}

// Three processes archive at once: two the same download, one another
// tester's.  All succeed and no record is there twice.
TEST_P(ArchiveCases, ProcessesArchivingAtOnceAllSucceed) {
    const std::vector<TestRecord> records = received();
    const std::string fresh = freshArchive(GetParam(), folder_);  // its tables made at once too
    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    std::vector<pid_t> children;
    for (const TesterIdentity* tester : {&kTester, &kTester, &kOther}) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(go[1]);
            char c;
            (void)::read(go[0], &c, 1);  // all start when the pipe closes
            std::string error;
            std::vector<bool> added;
            std::unique_ptr<Archive> a = Archive::open(fresh, &error);
            const bool ok =
                a && a->addDownload(*tester, 1000, blockOf(records), records, &added, &error);
            if (!ok) std::fprintf(stderr, "child: %s\n", error.c_str());
            ::_exit(ok ? 0 : 1);
        }
        children.push_back(pid);
    }
    ::close(go[0]);
    ::close(go[1]);
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    archive_ = Archive::open(fresh, &error_);
    ASSERT_TRUE(archive_) << error_;
    EXPECT_EQ(history().size(), 246u);
}

// A whole SQLite archive into this one, twice: its downloads with their
// times, testers and forms, each record with its first download, and its
// asset list, once.
TEST_P(ArchiveCases, AnArchiveImportedTwiceIsTakenOnce) {
    const std::string old = folder_ + "/old.db";
    {
        std::unique_ptr<Archive> a = Archive::open(old, &error_);
        ASSERT_TRUE(a) << error_;
        std::vector<bool> added;
        const std::vector<TestRecord> all = received();
        ASSERT_TRUE(a->addDownload(kTester, 1000, blockOf(all), all, &added, &error_));
        ASSERT_TRUE(
            a->addDownload(kOther, 2000, {}, {makeRecord("P9")}, &added, &error_, RecordForm::Csv));
        std::vector<AssetRow> rows;
        std::string why;
        ASSERT_TRUE(readAssetList("device_id,interval_days\r\nP9,365\r\n", &rows, &why)) << why;
        AssetListInfo list;
        ASSERT_TRUE(a->addAssetList(rows, "list", 3000, &list, &error_)) << error_;
    }
    add(kTester, 500, {received().at(5)});  // one record this archive has already
    std::unique_ptr<Archive> source = Archive::open(old, &error_, ArchiveAccess::Read);
    ASSERT_TRUE(source) << error_;
    ArchiveImport got;
    ASSERT_TRUE(archive_->addArchive(*source, &got, &error_)) << error_;
    EXPECT_EQ(got.downloadsAdded, 2);
    EXPECT_EQ(got.recordsAdded, 123);
    ASSERT_TRUE(archive_->addArchive(*source, &got, &error_)) << error_;
    EXPECT_EQ(got.downloads, 2);
    EXPECT_EQ(got.downloadsAdded + got.recordsAdded + got.assetListsAdded, 0);
    std::vector<AssetRow> assets;
    AssetListInfo list;
    ASSERT_TRUE(archive_->assetList(0, &assets, &list, &error_)) << error_;
    EXPECT_EQ(list.number, 1);  // the source's asset list, once
    EXPECT_EQ(list.loaded, isoLocalTime(3000));
    ASSERT_EQ(assets.size(), 1u);
    EXPECT_EQ(assets[0].values.intervalDays, 365);

    std::vector<ArchiveDownload> downloads;
    ASSERT_TRUE(archive_->downloads(&downloads, &error_)) << error_;
    ASSERT_EQ(downloads.size(), 3u);
    EXPECT_EQ(downloads[1].downloaded, isoLocalTime(1000));
    EXPECT_EQ(downloads[1].newRecords, 122);
    EXPECT_EQ(downloads[2].form, RecordForm::Csv);
    EXPECT_EQ(downloads[2].tester.id, kOther.id);
    EXPECT_EQ(history({"", "", "", "", downloads[2].number}).at(0).firstDownloaded,
              isoLocalTime(2000));
    EXPECT_EQ(history({"", "", "", "", downloads[1].number}).size(), 122u);
}

// An archive of schema version 1 (tables in search_path's schema on
// PostgreSQL, write-ahead log on SQLite) read as it stands, then upgraded in
// place when written: the two rows that were one record kept twice become one.
TEST_P(ArchiveCases, AVersionOneArchiveIsUpgradedInPlace) {
    archive_.reset();
    const std::string v1 = freshArchive(GetParam(), folder_);
    {
        QSqlDatabase db = pgtest::rawConnection(v1);
        ASSERT_TRUE(db.open()) << db.lastError().text().toStdString();
        QSqlQuery q(db);
        const QString id =
            GetParam() ? "BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY" : "INTEGER PRIMARY KEY";
        const QString columns =
            "device_id, test_date, test_time, test_duration, flow, volume, "
            "pressure_mmhg, pressure_user, peak_time, unit_code, unit";
        QString texts = columns + ",";
        texts.replace(",", " TEXT,").chop(1);
        for (const QString& sql :
             {"CREATE TABLE blocks (sha256 TEXT PRIMARY KEY, bytes " +
                  QString(GetParam() ? "BYTEA" : "BLOB") + ")",
              "CREATE TABLE downloads (id " + id +
                  ", tester_serial TEXT, tester_id TEXT, downloaded TEXT, downloaded_utc "
                  "BIGINT, form INTEGER, block_sha256 TEXT, record_count INTEGER)",
              "CREATE TABLE records (id " + id +
                  ", record_key TEXT UNIQUE, tester_serial TEXT, first_download BIGINT, form "
                  "INTEGER, " +
                  texts +
                  ", tested TEXT, flow_ml_h DOUBLE PRECISION, volume_ml DOUBLE PRECISION, "
                  "duration_s BIGINT, peak_time_s BIGINT, pressure_mmhg_value DOUBLE "
                  "PRECISION, pressure_user_value DOUBLE PRECISION)",
              QString("CREATE INDEX records_device ON records (device_id, tested, id)"),
              QString(GetParam() ? "CREATE TABLE archive_version (version INTEGER); "
                                   "INSERT INTO archive_version VALUES (1)"
                                 : "PRAGMA user_version = 1"),
              QString("INSERT INTO downloads (tester_serial, tester_id, downloaded, "
                      "downloaded_utc, form, block_sha256, record_count) VALUES "
                      "('S1', 'Bay', '2004-01-01T10:00:00+00:00', 1000, 3, NULL, 3)"),
              "INSERT INTO records (record_key, tester_serial, first_download, form, " + columns +
                  ") VALUES ('k1', 'S1', 1, 2, 'TRAIL', '1 Jan 2004', '10:00', '01:00:00', "
                  "'5.1', '1', '37', '0.7', '00:10', NULL, 'mmHg'), ('k2', 'S1', 1, 3, "
                  "'TRAIL  ', '1 Jan 2004', '10:00', '01:00:00', '5.1', '1', '37', '0.7', "
                  "'00:10', 109, 'mmHg'), ('k3', 'S1', 1, 3, 'ICU 3, BED 7', '2 Jan 2004', "
                  "'10:00', '01:00:00', '5.1', '1', '37', '0.7', '00:10', 112, 'PSI'), ('k4', "
                  "'S1', 1, 3, 'LATE', '3 Jan 2004', '25:99', '01:00:00', '5.1', '1', '37', "
                  "'0.7', '00:10', 112, 'PSI')"})
            EXPECT_TRUE(q.exec(sql)) << sql.toStdString() << q.lastError().text().toStdString();
        if (!GetParam()) q.exec("PRAGMA journal_mode = WAL");
    }
    QSqlDatabase::removeDatabase("raw");
    // Read as it stands: both rows, and the device found by the identity rule.
    std::unique_ptr<Archive> reader = Archive::open(v1, &error_, ArchiveAccess::Read);
    ASSERT_TRUE(reader) << error_;
    std::vector<ArchivedRecord> got;
    ASSERT_TRUE(reader->history({"ICU 3  BED 7", "", "", ""}, &got, &error_)) << error_;
    EXPECT_EQ(got.size(), 1u);
    ASSERT_TRUE(reader->history({}, &got, &error_));
    EXPECT_EQ(got.size(), 4u);
    reader.reset();

    archive_ = Archive::open(v1, &error_);
    ASSERT_TRUE(archive_) << error_;
    got = history({"TRAIL", "", "", ""});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(FIELD_TEXT(got[0].record, deviceID), "TRAIL  ");  // the fuller texts
    EXPECT_EQ(got[0].record.pressureUnits, 'm');
    EXPECT_EQ(history({"ICU 3  BED 7", "", "", ""}).size(), 1u);
    // A test whose time does not read is placed by its date from now on.
    EXPECT_EQ(history({"", "", "2004-01-03", ""}).size(), 1u);
    EXPECT_EQ(add({"Bay", "S1"}, 2000, {makeRecord("TRAIL")}), std::vector<bool>{true});
    if (!GetParam()) {
        EXPECT_FALSE(fs::exists(v1 + "-wal"));
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, ArchiveCases, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "PostgreSQL" : "SQLite"; });

// A file name is bytes, not necessarily UTF-8 text, and may hold URI characters.
TEST(ArchiveFiles, NamesAreBytes) {
    const std::string folder = tempFolder();
    const std::string name = folder + "/archiv\xe9 \xff?#%41.db";
    std::string error;
    std::vector<bool> added;
    std::unique_ptr<Archive> a = Archive::open(name, &error);
    ASSERT_TRUE(
        a && a->addDownload(kTester, 1000, {}, {makeRecord("P1")}, &added, &error, RecordForm::Csv))
        << error;
    EXPECT_TRUE(fs::exists(name));
    fs::remove_all(folder);
}

// Runs f in a child process, as user "nobody" when this is root, so that
// file permissions hold; returns what f returned.
std::string asOtherUser(const std::function<std::string()>& f) {
    int out[2];
    if (::pipe(out) != 0) return "no pipe";
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(1);
        const std::string text = f();
        (void)!::write(out[1], text.data(), text.size());
        ::_exit(0);
    }
    ::close(out[1]);
    std::string text;
    char buffer[512];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    ::close(out[0]);
    ::waitpid(pid, nullptr, 0);
    return text;
}

// Each way an archive cannot be opened or written: one line naming the cause.
TEST(ArchiveFailures, OneLineNamingTheCause) {
    const std::string folder = tempFolder();
    const std::string readOnly = freshArchive(false, folder);
    {
        std::string error;
        ASSERT_TRUE(Archive::open(readOnly, &error)) << error;  // made, with its tables
    }
    fs::permissions(readOnly,
                    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    std::ofstream(folder + "/random.db")
        << std::string("\x8f\x03\xc1zq\x00\x17", 7) + std::string(4000, 'x');
    std::ofstream(folder + "/notes.txt") << "Technician: J. Doe\nnot a database at all\n";
    const std::string foreign = folder + "/foreign.db";
    pgtest::makeForeignDatabase(foreign);
    const std::string foreignBytes = readFile(foreign);
    const std::string pgBase = "postgresql://postgres@/lumkest?host=" + pgtest::pg().dir;
    struct Case {
        const char* what;
        std::string db;
        const char* cause;  // in the one line
    } cases[] = {
        {"a read-only archive", readOnly, "readonly database"},
        {"random bytes", folder + "/random.db", "file is not a database"},
        {"a text file", folder + "/notes.txt", "file is not a database"},
        {"a missing folder", folder + "/none/a.db", "unable to open database file"},
        {"another program's database", foreign, "is not a LUM Kest archive"},
        {"a database that cannot hold every byte",
         freshArchive(true, folder, "-E WIN1252 -T template0"), "its encoding WIN1252 cannot hold"},
        {"no server on that port", pgBase + "&port=1", "No such file or directory"},
        {"no such database",
         "postgresql://postgres@/nosuchdb?host=" + pgtest::pg().dir + "&port=" + pgtest::pg().port,
         "database \"nosuchdb\" does not exist"},
        {"a wrong password",
         "postgresql://kest@/lumkest?host=" + pgtest::pg().dir + "&port=" + pgtest::pg().port,
         "password authentication failed"},
        {"a password in the URI",
         "postgresql://postgres:s3cret@/lumkest?password=s3cret&host=" + pgtest::pg().dir,
         "~/.pgpass"},
    };
    ::setenv("PGPASSWORD", "not-kest-password", 1);
    for (const Case& c : cases) {
        const std::string error = asOtherUser([&] {
            std::string e;
            std::vector<bool> added;
            std::unique_ptr<Archive> a = Archive::open(c.db, &e);
            if (a &&
                a->addDownload(kTester, 1000, {}, {makeRecord("P1")}, &added, &e, RecordForm::Csv))
                return std::string("archived");
            return e;
        });
        EXPECT_NE(error.find(c.cause), std::string::npos) << c.what << ": " << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << c.what << ": " << error;
        EXPECT_EQ(error.find("s3cret"), std::string::npos) << c.what << ": " << error;
    }
    ::unsetenv("PGPASSWORD");
    EXPECT_EQ(readFile(foreign), foreignBytes);  // not switched to another journal, nothing added
    // Reading a database that holds no archive makes none.
    const std::string empty = freshArchive(true, folder);
    for (int i = 0; i < 2; ++i) {
        std::string e;
        EXPECT_FALSE(Archive::open(empty, &e, ArchiveAccess::Read));
        EXPECT_NE(e.find("holds no archive"), std::string::npos) << e;
    }

    // A read-only archive is still read (history), and a missing one is not made.
    const std::string read = asOtherUser([&] {
        std::string e;
        std::vector<ArchivedRecord> found;
        std::unique_ptr<Archive> a = Archive::open(readOnly, &e, ArchiveAccess::Read);
        if (!a || !a->history({}, &found, &e)) return e;
        return std::string(Archive::open(folder + "/none.db", &e, ArchiveAccess::Read) ? "made"
                                                                                       : "read");
    });
    EXPECT_EQ(read, "read");
    EXPECT_FALSE(fs::exists(folder + "/none.db"));

    // A reader who may write neither the archive nor its folder sees every
    // commit, never a failure, while another process archives downloads.
    const std::string busy = freshArchive(false, folder);
    std::string error;
    ASSERT_TRUE(Archive::open(busy, &error)) << error;
    fs::permissions(busy, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                              fs::perms::others_read);
    const pid_t writer = ::fork();
    if (writer == 0) {
        for (int i = 0; i < 40; ++i) {
            std::string e;
            std::vector<bool> added;
            std::unique_ptr<Archive> a = Archive::open(busy, &e);
            if (!a || !a->addDownload(kTester, 1000 + i, {}, {makeRecord("W" + std::to_string(i))},
                                      &added, &e, RecordForm::Csv))
                ::_exit(1);
        }
        ::_exit(0);
    }
    const std::string reads = asOtherUser([&] {
        std::size_t seen = 0;
        for (int i = 0; i < 80; ++i) {
            std::string e;
            std::vector<ArchivedRecord> found;
            std::unique_ptr<Archive> a = Archive::open(busy, &e, ArchiveAccess::Read);
            if (!a || !a->history({}, &found, &e)) return e;
            if (found.size() < seen) return std::string("a commit seen, then lost");
            seen = found.size();
        }
        return std::string("read");
    });
    int status = 0;
    ::waitpid(writer, &status, 0);
    EXPECT_EQ(reads, "read");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_FALSE(fs::exists(busy + "-wal"));
    fs::remove_all(folder);
}

// Two workshops whose roles have schemas of their own (so search_path
// differs) share one archive; a peer that holds the archive's locks makes a
// download fail within the lock timeout instead of waiting for ever.
TEST(ArchivePostgres, WorkshopsShareOneArchiveAndNoJobWaitsForEver) {
    ASSERT_TRUE(pgtest::pg().problem.empty()) << pgtest::pg().problem;
    const std::string folder = tempFolder();
    const std::string shared = freshArchive(true, folder);
    const std::string name =
        shared.substr(shared.find("@/") + 2, shared.find('?') - shared.find("@/") - 2);
    QSqlDatabase admin = pgtest::rawConnection(shared);
    ASSERT_TRUE(admin.open());
    QSqlQuery q(admin);
    auto exec = [&](const std::string& sql) {
        EXPECT_TRUE(q.exec(QString::fromStdString(sql)))
            << sql << q.lastError().text().toStdString();
    };
    for (const char* role : {"wsa", "wsb"}) {
        const std::string r = role;
        exec("DO $$ BEGIN CREATE ROLE " + r +
             " LOGIN PASSWORD 'kest-password'; EXCEPTION WHEN "
             "duplicate_object THEN NULL; END $$");
        exec("CREATE SCHEMA " + r + " AUTHORIZATION " + r);
        exec("GRANT CREATE ON DATABASE " + name + " TO " + r);
    }
    ::setenv("PGPASSWORD", "kest-password", 1);
    const std::vector<TestRecord> records = received();
    auto download = [&](const std::string& role, const std::string& options = "") {
        std::string e;
        std::vector<bool> added;
        std::unique_ptr<Archive> a =
            Archive::open("postgresql://" + role + "@/" + name + "?host=" + pgtest::pg().dir +
                              "&port=" + pgtest::pg().port + options,
                          &e);
        if (!a || !a->addDownload(kTester, 1000, blockOf(records), records, &added, &e)) return e;
        return std::to_string(std::count(added.begin(), added.end(), true)) + " new";
    };
    EXPECT_EQ(download("wsa"), "123 new");
    // What the manual page says to give a second workshop.
    exec("GRANT USAGE ON SCHEMA lumkest TO wsb");
    exec("GRANT SELECT, INSERT, UPDATE ON ALL TABLES IN SCHEMA lumkest TO wsb");
    EXPECT_EQ(download("wsb"), "0 new");
    exec("SELECT count(*) FROM pg_tables WHERE schemaname IN ('wsa', 'wsb', 'public')");
    EXPECT_TRUE(q.next() && q.value(0).toInt() == 0);

    exec("BEGIN");
    exec("LOCK TABLE lumkest.records IN ACCESS EXCLUSIVE MODE");
    const std::string held = download("wsa", "&options=-c%20lock_timeout%3D1s");
    EXPECT_NE(held.find("another process holds the archive"), std::string::npos) << held;
    exec("ROLLBACK");
    ::unsetenv("PGPASSWORD");
    q = QSqlQuery();
    admin.close();
    admin = QSqlDatabase();
    QSqlDatabase::removeDatabase("raw");
    fs::remove_all(folder);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);  // Qt SQL loads its drivers as plugins
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new PgEnvironment);
    return RUN_ALL_TESTS();
}
