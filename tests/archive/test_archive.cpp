// The workshop archive on both database systems: SQLite in a temporary
// folder and a real PostgreSQL server of its own (scripts/pg-test-server.sh),
// started before the first case and stopped after the last.  The plain
// functions beside it are tests/archive/test_plain.cpp's.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "archive/archive.h"
#include "archive/pguri.h"
#include "device/decode.h"
#include "device/virtualtester.h"
#include "records/recordstore.h"
#include "save/readback.h"
#include "save/writers.h"
#include "tests/archive/archivetest.h"
#include "tests/core/records.h"
#include "tests/files.h"
#include "tests/pgserver.h"
#include "workshop/typed.h"

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

// Runs statements on an SQLite file as any program could.
void onFile(const std::string& file, const std::vector<std::string>& statements) {
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "file");
        db.setDatabaseName(QString::fromStdString(file));
        ASSERT_TRUE(db.open());
        QSqlQuery q(db);
        for (const std::string& sql : statements)
            EXPECT_TRUE(q.exec(QString::fromStdString(sql)))
                << sql << ": " << q.lastError().text().toStdString();
    }
    QSqlDatabase::removeDatabase("file");
}

// An archive as lumkest-cli makes one: a tester's block downloaded twice in
// one second (two downloads), a CSV export of another tester, and an asset
// list loaded at 3000.
void makeSource(const std::string& file) {
    std::string error;
    std::unique_ptr<Archive> a = Archive::open(file, &error);
    ASSERT_TRUE(a) << error;
    std::vector<bool> added;
    const std::vector<TestRecord> all = received();
    for (int twice = 0; twice < 2; ++twice)
        ASSERT_TRUE(a->addDownload(kTester, 1000, blockOf(all), all, &added, &error)) << error;
    ASSERT_TRUE(
        a->addDownload(kOther, 2000, {}, {makeRecord("P9")}, &added, &error, RecordForm::Csv));
    std::vector<AssetRow> rows;
    ASSERT_TRUE(readAssetList("device_id,interval_days\r\nP9,365\r\n", &rows, &error)) << error;
    AssetListInfo list;
    ASSERT_TRUE(a->addAssetList(rows, "list", 3000, &list, &error)) << error;
}

// A copy of an SQLite file taken while a write was under way: the file
// half written, and beside it the hot journal that would undo that.
void copyDuringAWrite(const std::string& file, const std::string& copy) {
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "writer");
        db.setDatabaseName(QString::fromStdString(file));
        ASSERT_TRUE(db.open());
        QSqlQuery q(db);
        for (const char* sql :
             {"PRAGMA cache_size = 1", "BEGIN", "UPDATE records SET flow = flow || ''",
              "INSERT INTO blocks VALUES ('x', zeroblob(200000))"})
            ASSERT_TRUE(q.exec(sql)) << sql;
        ASSERT_TRUE(fs::exists(file + "-journal"));
        fs::copy_file(file, copy, fs::copy_options::overwrite_existing);
        fs::copy_file(file + "-journal", copy + "-journal", fs::copy_options::overwrite_existing);
        q.exec("ROLLBACK");
    }
    QSqlDatabase::removeDatabase("writer");
}

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
    SavedFileContents list;
    std::string why;
    ASSERT_TRUE(readSavedFile(files[0], nullptr, &list, &why)) << why;
    EXPECT_EQ(add(kTester, 500, list.records, list.form), std::vector<bool>(123, true));
    EXPECT_EQ(add(kTester, 1000, records), std::vector<bool>(123, false));
    for (const std::string& file : files) {
        SavedFileContents imported;
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

    // The same order with the records' numbers far apart on SQLite, as if
    // scattered over a large file: SQLite then sorts them rather than
    // walking the test-date index.
    const std::vector<std::string> all = {"29 Dec 2003 " + t, "31 Dec 2003 " + t, "1 Jan 2004 " + t,
                                          "1 Jan 2004 " + t,  "1 Jan 2004 " + o,  "2 Jan 2004 " + t,
                                          "3 Jan 2004 " + t,  "4 Jan 2004 " + t,  "no date " + t};
    EXPECT_EQ(dates({}), all);
    if (GetParam()) return;
    archive_.reset();
    onFile(db_, {"UPDATE records SET id = id * 1000"});
    archive_ = Archive::open(db_, &error_);
    ASSERT_TRUE(archive_) << error_;
    EXPECT_EQ(dates({}), all);
    EXPECT_EQ(dates(undated), (std::vector<std::string>{"31 Dec 2003 " + t, "no date " + t}));
    EXPECT_EQ(dates({"", "", "2003-12-31", "2004-01-01"}),
              (std::vector<std::string>{"31 Dec 2003 " + t, "1 Jan 2004 " + t, "1 Jan 2004 " + t,
                                        "1 Jan 2004 " + o}));
}

// An asset's last test: of those dated on or before the day asked for,
// the latest, but never one dated more than a day after the archive
// received it (a tester's clock set ahead would hide an overdue pump).
TEST_P(ArchiveCases, LastTestsAsOfADayAndNeverFromTheFuture) {
    std::vector<AssetRow> rows;
    ASSERT_TRUE(readAssetList("device_id,interval_days\nP1,365\nP2,365\nP3,365\n", &rows, &error_))
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
    EXPECT_EQ(last("2004-06-30"),
              (std::map<std::string, std::string>{{"P1", "3 Mar 2004"}, {"P3", "1 May 2004"}}));
    EXPECT_EQ(last("2004-03-02"), (std::map<std::string, std::string>{{"P1", "1 Jan 2004"}}));
    EXPECT_EQ(last("2030-01-01"),
              (std::map<std::string, std::string>{{"P1", "3 Mar 2004"}, {"P3", "1 May 2004"}}));
    std::vector<std::string> received;
    ASSERT_TRUE(archive_->firstReceived(kTester.serial,
                                        {makeRecord("P2", "5 Jun 2027", "10:00"), makeRecord("P9")},
                                        &received, &error_));
    EXPECT_EQ(received, (std::vector<std::string>{isoLocalTime(june2004), ""}));
}

// A list of more rows than one statement writes comes back whole, row for
// row in its order, with its empty values still empty.
TEST_P(ArchiveCases, ALongAssetListComesBackWhole) {
    std::string csv =
        "device_id,model,location,set_rate_ml_h,flow_low_pct,interval_days,"
        "asset_tag,retired_from\n";
    for (int i = 0; i < 450; ++i)
        csv += "P" + std::to_string(i) + ",M" + std::to_string(i % 7) + ",Ward " +
               std::to_string(i % 5) + "," + (i % 3 ? std::to_string(i) + ".5" : "") + ",-5," +
               std::to_string(30 + i) + ",T" + std::to_string(i) + "," +
               (i % 100 == 99 ? "2026-01-01" : "") + "\n";
    std::vector<AssetRow> rows, back;
    ASSERT_TRUE(readAssetList(csv, &rows, &error_)) << error_;
    AssetListInfo info, read;
    ASSERT_TRUE(archive_->addAssetList(rows, csv, 1000, &info, &error_)) << error_;
    ASSERT_TRUE(archive_->assetList(info.number, &back, &read, &error_)) << error_;
    auto text = [](const AssetRow& r) {
        return std::to_string(r.line) + "|" + r.deviceId + "|" + r.model + "|" + r.location + "|" +
               (r.values.setRate ? r.values.setRate->text() : "-") + "|" +
               (r.values.flowLowPct ? r.values.flowLowPct->text() : "-") + "|" +
               (r.values.flowHighPct ? r.values.flowHighPct->text() : "-") + "|" +
               std::to_string(r.values.intervalDays.value_or(-1)) + "|" + r.assetTag + "|" +
               r.retiredFrom;
    };
    ASSERT_EQ(back.size(), 450u);
    EXPECT_EQ(read.rows, 450);
    for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(text(back[i]), text(rows[i])) << i;
}

// Processes archive at once: two the same download, one another tester's,
// and two imports of the same two archives in opposite orders, whose
// records overlap each other's and the downloads'.  All succeed, no record
// is there twice, and the downloads are numbered 1 to 5.
TEST_P(ArchiveCases, ProcessesArchivingAtOnceAllSucceed) {
    const std::vector<TestRecord> records = received();
    const std::string fresh = freshArchive(GetParam(), folder_);  // its tables made at once too
    const std::string x = folder_ + "/x.db", y = folder_ + "/y.db";
    for (const auto& [file, from, to] : {std::tuple(x, 0, 80), std::tuple(y, 43, 123)}) {
        std::unique_ptr<Archive> a = Archive::open(file, &error_);
        const std::vector<TestRecord> some(records.begin() + from, records.begin() + to);
        std::vector<bool> added;
        ASSERT_TRUE(a && a->addDownload(kTester, 700 + from, blockOf(some), some, &added, &error_))
            << error_;
    }
    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    std::vector<pid_t> children;
    const struct {
        const TesterIdentity* tester;  // a download, or else imports of:
        std::vector<std::string> sources;
    } jobs[] = {
        {&kTester, {}}, {&kTester, {}}, {&kOther, {}}, {nullptr, {x, y}}, {nullptr, {y, x}}};
    for (const auto& job : jobs) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(go[1]);
            char c;
            (void)::read(go[0], &c, 1);  // all start when the pipe closes
            std::string error;
            std::vector<bool> added;
            std::unique_ptr<Archive> a = Archive::open(fresh, &error);
            bool ok = a != nullptr;
            if (ok && job.tester)
                ok = a->addDownload(*job.tester, 1000, blockOf(records), records, &added, &error);
            std::vector<std::unique_ptr<Archive>> sources;
            for (const std::string& file : job.sources) {
                sources.push_back(Archive::open(file, &error, ArchiveAccess::Source));
                ok = ok && sources.back();
            }
            if (ok && !job.tester)
                ok = a->transaction(
                    [&](std::string* e) {
                        ArchiveImport got;
                        for (auto& source : sources)
                            if (!a->addArchive(*source, &got, e)) return false;
                        return true;
                    },
                    &error);
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
    std::vector<ArchiveDownload> downloads;
    ASSERT_TRUE(archive_->downloads(&downloads, &error_)) << error_;
    ASSERT_EQ(downloads.size(), 5u);
    for (long long i = 0; i < 5; ++i) EXPECT_EQ(downloads[i].number, i + 1);
}

// A whole SQLite archive into this one, twice: its downloads with their
// times, testers and forms (two of one block in one second stay two), each
// record with its first download, and its asset list, once; another's asset
// list is not taken into an archive that has one.
TEST_P(ArchiveCases, AnArchiveImportedTwiceIsTakenOnce) {
    const std::string old = folder_ + "/old.db";
    makeSource(old);
    add(kTester, 500, {received().at(5)});  // one record this archive has already
    std::unique_ptr<Archive> source = Archive::open(old, &error_, ArchiveAccess::Source);
    ASSERT_TRUE(source) << error_;
    ArchiveImport got;
    ASSERT_TRUE(archive_->addArchive(*source, &got, &error_)) << error_;
    EXPECT_EQ(got.downloadsAdded, 3);
    EXPECT_EQ(got.recordsAdded, 123);
    EXPECT_EQ(got.assetListsAdded, 1);
    ASSERT_TRUE(archive_->addArchive(*source, &got, &error_)) << error_;
    EXPECT_EQ(got.downloads, 3);
    EXPECT_EQ(got.downloadsAdded + got.recordsAdded + got.assetListsAdded, 0);
    source.reset();
    const std::string other = folder_ + "/other.db";
    {
        std::unique_ptr<Archive> a = Archive::open(other, &error_);
        std::vector<AssetRow> rows;
        ASSERT_TRUE(readAssetList("device_id\r\nQ1\r\n", &rows, &error_)) << error_;
        AssetListInfo list;
        ASSERT_TRUE(a && a->addAssetList(rows, "other", 4000, &list, &error_)) << error_;
    }
    source = Archive::open(other, &error_, ArchiveAccess::Source);
    ASSERT_TRUE(source && archive_->addArchive(*source, &got, &error_)) << error_;
    EXPECT_EQ(got.assetLists, 1);
    EXPECT_EQ(got.assetListsAdded, 0);
    std::vector<AssetRow> assets;
    AssetListInfo list;
    ASSERT_TRUE(archive_->assetList(0, &assets, &list, &error_)) << error_;
    EXPECT_EQ(list.number, 1);  // the first source's asset list, once
    EXPECT_EQ(list.loaded, isoLocalTime(3000));
    ASSERT_EQ(assets.size(), 1u);
    EXPECT_EQ(assets[0].values.intervalDays, 365);

    std::vector<ArchiveDownload> downloads;
    ASSERT_TRUE(archive_->downloads(&downloads, &error_)) << error_;
    ASSERT_EQ(downloads.size(), 4u);
    EXPECT_EQ(downloads[1].downloaded, isoLocalTime(1000));
    EXPECT_EQ(downloads[1].newRecords, 122);
    EXPECT_EQ(downloads[2].downloaded, isoLocalTime(1000));
    EXPECT_EQ(downloads[2].records, 123);
    EXPECT_EQ(downloads[3].form, RecordForm::Csv);
    EXPECT_EQ(downloads[3].tester.id, kOther.id);
    EXPECT_EQ(history({"", "", "", "", downloads[3].number}).at(0).firstDownloaded,
              isoLocalTime(2000));
    EXPECT_EQ(history({"", "", "", "", downloads[1].number}).size(), 122u);
}

// An SQLite archive given to import is untrusted input: each hostile shape
// of one is refused whole with a line saying why, before anything is read
// for ever or added, and the file is left as it was (never written, not
// even to roll back its journal).
TEST_P(ArchiveCases, AHostileArchiveIsRefusedWholeAndLeftAsItWas) {
    const std::string good = folder_ + "/good.db";
    makeSource(good);
    const struct {
        const char* what;
        std::vector<std::string> sql;  // done to a copy of the good archive
        const char* reason;            // a part of the one line
    } rows[] = {
        {"an endless recursive view",
         {"ALTER TABLE records RENAME TO kept",
          "CREATE VIEW records AS WITH RECURSIVE c(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM c) "
          "SELECT kept.* FROM c, kept"},
         "records is no table"},
        {"generated columns",
         {"ALTER TABLE records ADD COLUMN big TEXT GENERATED ALWAYS AS "
          "(hex(zeroblob(1000000))) VIRTUAL"},
         "generated column big"},
        {"a column of its own", {"ALTER TABLE downloads ADD COLUMN note TEXT"}, "column note"},
        {"a block that is not its key's", {"UPDATE blocks SET bytes = zeroblob(8194)"}, "SHA-256"},
        {"an inverted window",
         {"UPDATE asset_rows SET flow_low_pct = '5', flow_high_pct = '-5'"},
         "is above the high end"},
        {"an interval past any calendar",
         {"UPDATE asset_rows SET interval_days = 9223372036854775807"},
         "whole number of days"},
        {"a tester ID of half a megabyte",
         {"UPDATE downloads SET tester_id = hex(zeroblob(250000))"},
         "longer than a tester gives"},
        {"a download's time that is not its own",
         {"UPDATE downloads SET downloaded_utc = downloaded_utc + 1"},
         "its time"},
        {"a record of no download",
         {"UPDATE records SET first_download = 9 WHERE id = 1"},
         "a record of no download"},
        {"a record's texts changed",
         {"UPDATE records SET flow = '9' WHERE id = 1"},
         "its key is not"},
        {"a count of records too small",
         {"UPDATE downloads SET record_count = 0 WHERE form = 1"},
         "more records than its count"},
        {"an asset list's count", {"UPDATE asset_lists SET row_count = 2"}, "count of rows"},
        {"an asset list's hash that is none",
         {"UPDATE asset_lists SET sha256 = 'x'"},
         "asset list 1: a time or file hash this program does not write"},
        {"an asset list's count as text",
         {"UPDATE asset_lists SET row_count = 'many'"},
         "an asset list whose values are not of their columns' kinds"},
        {"a number as text", {"UPDATE downloads SET form = 'three' WHERE form = 3"}, "kinds"},
        {"a newer version", {"PRAGMA user_version = 99"}, "version 99"},
        {"a hot journal", {}, "this copy holds an unfinished write"},
    };
    int n = 0;
    for (const auto& row : rows) {
        const std::string bad = folder_ + "/bad" + std::to_string(++n) + ".db";
        if (row.sql.empty()) {
            copyDuringAWrite(good, bad);
        } else {
            fs::copy_file(good, bad);
            onFile(bad, row.sql);
        }
        const std::string bytes = readFile(bad), journal = readFile(bad + "-journal");
        std::string error;
        EXPECT_FALSE(Archive::open(bad, &error, ArchiveAccess::Source)) << row.what;
        EXPECT_NE(error.find(row.reason), std::string::npos) << row.what << ": " << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        EXPECT_TRUE(readFile(bad) == bytes && readFile(bad + "-journal") == journal) << row.what;
    }
    EXPECT_EQ(history().size(), 0u);

    // A source another process writes meanwhile is read in one snapshot:
    // every record it gives has its download.
    const pid_t writer = ::fork();
    if (writer == 0) {
        for (int i = 0; i < 30; ++i) {
            std::string e;
            std::vector<bool> added;
            std::unique_ptr<Archive> a = Archive::open(good, &e);
            if (!a || !a->addDownload(kOther, 5000 + i, {}, {makeRecord("W" + std::to_string(i))},
                                      &added, &e, RecordForm::Csv))
                ::_exit(1);
        }
        ::_exit(0);
    }
    for (int i = 0; i < 5; ++i) {
        std::unique_ptr<Archive> source = Archive::open(good, &error_, ArchiveAccess::Source);
        ArchiveImport got;
        ASSERT_TRUE(source && archive_->addArchive(*source, &got, &error_)) << error_;
        EXPECT_EQ(got.records - 124, got.downloads - 3);
    }
    int status = 0;
    ::waitpid(writer, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Numbers are 1, 2, 3 in the order of commits: a load killed before it
// commits leaves none behind, and of two loads at once the one that
// commits last is the current asset list.
TEST_P(ArchiveCases, NumbersStayDenseAndTheLastCommittedListIsCurrent) {
    std::vector<AssetRow> first, second;
    ASSERT_TRUE(readAssetList("device_id\r\nA1\r\n", &first, &error_)) << error_;
    ASSERT_TRUE(readAssetList("device_id\r\nB1\r\nB2\r\n", &second, &error_)) << error_;
    AssetListInfo info;
    for (int killed = 0; killed < 2; ++killed) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            std::string e;
            std::vector<bool> added;
            std::unique_ptr<Archive> a = Archive::open(db_, &e);
            if (a && a->begin(&e) &&
                a->addDownload(kTester, 900, {}, {makeRecord("K")}, &added, &e, RecordForm::Csv))
                a->addAssetList(first, "killed", 900, &info, &e);
            ::_exit(0);  // no commit: as if killed
        }
        ::waitpid(pid, nullptr, 0);
    }
    add(kTester, 1000, {makeRecord("P1")});
    add(kTester, 1001, {makeRecord("P2")});
    std::vector<ArchiveDownload> downloads;
    ASSERT_TRUE(archive_->downloads(&downloads, &error_)) << error_;
    ASSERT_EQ(downloads.size(), 2u);
    EXPECT_EQ(downloads[0].number, 1);
    EXPECT_EQ(downloads[1].number, 2);

    // This load begins first; the other begins while it is open.  (The
    // other process is made before this one takes a lock: a process must
    // not inherit an SQLite connection that holds one.)
    int go[2], done[2];
    ASSERT_EQ(::pipe(go), 0);
    ASSERT_EQ(::pipe(done), 0);
    const pid_t other = ::fork();
    if (other == 0) {
        char c;
        (void)!::read(go[0], &c, 1);
        std::string e;
        AssetListInfo mine;
        std::unique_ptr<Archive> a = Archive::open(db_, &e);
        const bool ok = a && a->addAssetList(second, "second", 2001, &mine, &e);
        const auto when = std::chrono::steady_clock::now().time_since_epoch().count();
        (void)!::write(done[1], &when, sizeof when);
        ::_exit(ok ? 0 : 1);
    }
    ASSERT_TRUE(archive_->begin(&error_)) << error_;
    ASSERT_TRUE(archive_->addAssetList(first, "first", 2000, &info, &error_)) << error_;
    EXPECT_EQ(info.number, 1);
    (void)!::write(go[1], "g", 1);
    ::usleep(300000);
    ASSERT_TRUE(archive_->commit(&error_)) << error_;
    const auto committed = std::chrono::steady_clock::now().time_since_epoch().count();
    decltype(std::chrono::steady_clock::now().time_since_epoch().count()) otherCommitted = 0;
    ASSERT_EQ(::read(done[0], &otherCommitted, sizeof otherCommitted),
              static_cast<ssize_t>(sizeof otherCommitted));
    int status = 0;
    ::waitpid(other, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::vector<AssetRow> rows;
    ASSERT_TRUE(archive_->assetList(0, &rows, &info, &error_)) << error_;
    EXPECT_EQ(info.number, 2);
    EXPECT_EQ(rows.size(), otherCommitted > committed ? 2u : 1u);
}

// A record's texts and unit in the archive's tables.
const QString kVersionOneTexts =
    "device_id, test_date, test_time, test_duration, flow, volume, pressure_mmhg, "
    "pressure_user, peak_time, unit_code, unit";

// The tables of schema version 1 as an older release made them, in the
// schema `at` names ("s1." say; "" for wherever search_path points).
QStringList versionOneTables(bool postgres, const QString& at) {
    const QString id =
        postgres ? "BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY" : "INTEGER PRIMARY KEY";
    QString texts = kVersionOneTexts + ",";
    texts.replace(",", " TEXT,").chop(1);
    texts.replace("unit_code TEXT", "unit_code INTEGER");
    return {"CREATE TABLE " + at + "blocks (sha256 TEXT PRIMARY KEY, bytes " +
                QString(postgres ? "BYTEA" : "BLOB") + ")",
            "CREATE TABLE " + at + "downloads (id " + id +
                ", tester_serial TEXT, tester_id TEXT, downloaded TEXT, downloaded_utc "
                "BIGINT, form INTEGER, block_sha256 TEXT, record_count INTEGER)",
            "CREATE TABLE " + at + "records (id " + id +
                ", record_key TEXT UNIQUE, tester_serial TEXT, first_download BIGINT, form "
                "INTEGER, " +
                texts +
                ", tested TEXT, flow_ml_h DOUBLE PRECISION, volume_ml DOUBLE PRECISION, "
                "duration_s BIGINT, peak_time_s BIGINT, pressure_mmhg_value DOUBLE "
                "PRECISION, pressure_user_value DOUBLE PRECISION)",
            "CREATE INDEX records_device ON " + at + "records (device_id, tested, id)",
            postgres ? "CREATE TABLE " + at + "archive_version (version INTEGER); INSERT INTO " +
                           at + "archive_version VALUES (1)"
                     : QString("PRAGMA user_version = 1")};
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
        QStringList statements = versionOneTables(GetParam(), "");
        statements << QString(
                          "INSERT INTO downloads (tester_serial, tester_id, downloaded, "
                          "downloaded_utc, form, block_sha256, record_count) VALUES "
                          "('S1', 'Bay', '2004-01-01T10:00:00+00:00', 1000, 3, NULL, 3)")
                   << "INSERT INTO records (record_key, tester_serial, first_download, form, " +
                          kVersionOneTexts +
                          ") VALUES ('k1', 'S1', 1, 2, 'TRAIL', '1 Jan 2004', '10:00', "
                          "'01:00:00', '5.1', '1', '37', '0.7', '00:10', NULL, 'mmHg'), ('k2', "
                          "'S1', 1, 3, 'TRAIL  ', '1 Jan 2004', '10:00', '01:00:00', '5.1', '1', "
                          "'37', '0.7', '00:10', 109, 'mmHg'), ('k3', 'S1', 1, 3, 'ICU 3, BED 7', "
                          "'2 Jan 2004', '10:00', '01:00:00', '5.1', '1', '37', '0.7', '00:10', "
                          "112, 'PSI'), ('k4', 'S1', 1, 3, 'LATE', '3 Jan 2004', '25:99', "
                          "'01:00:00', '5.1', '1', '37', '0.7', '00:10', 112, 'PSI')";
        for (const QString& sql : statements)
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

// SQLite's texts are read as their bytes and made Latin-1 here exactly as
// SQLite's conversion to UTF-16 and Qt's toLatin1 made them: every
// character U+0001-U+00FF its byte, any other "?" for each UTF-16 unit,
// bytes that are no UTF-8 as SQLite reads them.
TEST(ArchiveFiles, TextsReadAsSQLiteReadsThem) {
    const struct {
        const char* stored;  // hex
        std::string read;
    } rows[] = {
        {"4944", "ID"},
        {"636166C3A9C3BF", "caf\xe9\xff"},
        {"01091B7F", "\x01\t\x1b\x7f"},
        {"E282AC31", "?1"},          // U+20AC
        {"F09F988031", "??1"},       // U+1F600, two UTF-16 units
        {"41C328", "A?("},           // a lead byte without its continuation
        {"3180BF", "1\x80\xbf"},     // continuation bytes without a lead
        {"31E282", "1\x82"},         // cut short: its bits so far
        {"C080", "?"},               // an overlong form
        {"EDA080", "?"},             // a surrogate
        {"EFBFBE", "?"},             // U+FFFE
        {"F8888080803132", "??12"},  // five bytes
    };
    const std::string folder = tempFolder(), file = folder + "/texts.db";
    std::string error;
    std::vector<bool> added;
    std::vector<TestRecord> records;
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        records.push_back(makeRecord("R" + std::to_string(i)));
        SET_FIELD(records.back(), volume, std::to_string(i));  // the row, read back
    }
    {
        std::unique_ptr<Archive> a = Archive::open(file, &error);
        ASSERT_TRUE(a &&
                    a->addDownload(kTester, 1000, {}, records, &added, &error, RecordForm::Csv))
            << error;
    }
    std::vector<std::string> statements;
    for (std::size_t i = 0; i < std::size(rows); ++i)
        statements.push_back(std::string("UPDATE records SET device_id = CAST(x'") +
                             rows[i].stored + "' AS TEXT) WHERE device_id = 'R" +
                             std::to_string(i) + "'");
    onFile(file, statements);
    std::unique_ptr<Archive> a = Archive::open(file, &error, ArchiveAccess::Read);
    std::vector<ArchivedRecord> out;
    ASSERT_TRUE(a && a->history({}, &out, &error)) << error;
    ASSERT_EQ(out.size(), std::size(rows));
    for (const ArchivedRecord& r : out) {
        const auto& row = rows[std::stoul(FIELD_TEXT(r.record, volume))];
        EXPECT_EQ(FIELD_TEXT(r.record, deviceID), row.read) << row.stored;
    }
    a.reset();
    fs::remove_all(folder);
}

// A copy on a read-only medium (a backup snapshot) is read as it was
// committed, or refused: a copy taken during a write (its hot journal
// beside it) with the line that says so, never a mix; one in
// write-ahead-log mode with every download its log holds.  Root mounts the
// medium; skipped for anyone else.
TEST(ArchiveFiles, ReadOnlyMediaReadWhatWasCommittedOrRefuse) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a read-only file system needs root";
    const std::string folder = tempFolder(), medium = folder + "/medium";
    fs::create_directories(medium);
    const std::string good = folder + "/good.db", wal = folder + "/wal.db";
    makeSource(good);
    fs::copy_file(good, wal);
    ASSERT_EQ(std::system(("mount -t tmpfs -o size=4m tmpfs " + medium).c_str()), 0);
    struct Unmount {  // also when a check fails
        std::string medium, folder;
        ~Unmount() {
            std::system(("umount " + medium).c_str());
            fs::remove_all(folder);
        }
    } unmount{medium, folder};
    copyDuringAWrite(good, medium + "/hot.db");
    {
        // A second connection keeps the log from being merged into the file.
        QSqlDatabase keep = QSqlDatabase::addDatabase("QSQLITE", "keep");
        keep.setDatabaseName(QString::fromStdString(wal));
        ASSERT_TRUE(keep.open());
        QSqlQuery q(keep);
        for (const char* sql :
             {"PRAGMA journal_mode = WAL", "SELECT count(*) FROM downloads",
              "INSERT INTO downloads (id, tester_serial, tester_id, downloaded, downloaded_utc, "
              "form, block_sha256, record_count) SELECT 4, tester_serial, tester_id, downloaded, "
              "downloaded_utc, form, block_sha256, 0 FROM downloads WHERE id = 3"})
            EXPECT_TRUE(q.exec(sql)) << sql;
        ASSERT_TRUE(fs::exists(wal + "-wal"));
        for (const char* part : {"", "-wal", "-shm"})
            fs::copy_file(wal + part, medium + "/wal.db" + part);
        q = QSqlQuery();
    }
    QSqlDatabase::removeDatabase("keep");
    ASSERT_EQ(std::system(("mount -o remount,ro " + medium).c_str()), 0);
    std::string error;
    EXPECT_FALSE(Archive::open(medium + "/hot.db", &error, ArchiveAccess::Read));
    EXPECT_NE(error.find("this copy holds an unfinished write: open it where it can be written, "
                         "or take the copy again"),
              std::string::npos)
        << error;
    std::unique_ptr<Archive> a = Archive::open(medium + "/wal.db", &error, ArchiveAccess::Read);
    std::vector<ArchiveDownload> downloads;
    EXPECT_TRUE(a && a->downloads(&downloads, &error)) << error;
    EXPECT_EQ(downloads.size(), 4u);
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
// download fail within the lock timeout instead of waiting for ever, and a
// peer in a deadlock with a download has it started again.
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

    // A peer (of another release, say) in a deadlock with a download: it
    // holds a record the download adds, then waits for the archive's write
    // lock.  The download is the one PostgreSQL ends; it starts again, and
    // succeeds once the peer is gone.
    const TestRecord record = makeRecord("DL-1");
    exec("BEGIN");
    exec(
        "INSERT INTO lumkest.records (record_key, tester_serial, first_download, form, "
        "device_id, test_date, test_time, test_duration, flow, volume, pressure_mmhg, "
        "pressure_user, peak_time, unit, device_key) VALUES ('" +
        recordKey(kTester.serial, record) + "', '" + kTester.serial +
        "', 1, 1, 'DL-1', '', '', '', '', '', '', '', '', 'PSI', 'DL-1')");
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    const pid_t writer = ::fork();
    if (writer == 0) {
        std::string e;
        std::vector<bool> added;
        std::unique_ptr<Archive> a =
            Archive::open("postgresql://wsa@/" + name + "?host=" + pgtest::pg().dir +
                              "&port=" + pgtest::pg().port,
                          &e);
        const std::string said =
            a && a->addDownload(kTester, 2000, {}, {record}, &added, &e, RecordForm::Csv)
                ? std::to_string(std::count(added.begin(), added.end(), true)) + " new"
                : e;
        (void)!::write(out[1], said.data(), said.size());
        ::_exit(0);
    }
    ::close(out[1]);
    ::usleep(300000);  // the download waits for the record
    exec("SET lock_timeout = '20s'");
    exec("SELECT pg_advisory_xact_lock(21485888693687127)");  // the program's write lock
    exec("ROLLBACK");
    char said[512];
    const ssize_t n = ::read(out[0], said, sizeof said);
    ::waitpid(writer, nullptr, 0);
    ::close(out[0]);
    EXPECT_EQ(std::string(said, static_cast<std::size_t>(std::max<ssize_t>(n, 0))), "1 new");
    ::unsetenv("PGPASSWORD");
    q = QSqlQuery();
    admin.close();
    admin = QSqlDatabase();
    QSqlDatabase::removeDatabase("raw");
    fs::remove_all(folder);
}

// The private server's database of an archive URI, and a URI for a role.
std::string databaseOf(const std::string& uri) {
    return uri.substr(uri.find("@/") + 2, uri.find('?') - uri.find("@/") - 2);
}
std::string asRole(const std::string& role, const std::string& database) {
    return "postgresql://" + role + "@/" + database + "?host=" + pgtest::pg().dir +
           "&port=" + pgtest::pg().port;
}

// The superuser's connection to a test database, for setting up what the
// program then meets; each statement must succeed.
class Admin {
public:
    explicit Admin(const std::string& uri) : db_(pgtest::rawConnection(uri)) {
        EXPECT_TRUE(db_.open()) << db_.lastError().text().toStdString();
        q_ = QSqlQuery(db_);
    }
    ~Admin() {
        q_ = QSqlQuery();
        db_.close();
        db_ = QSqlDatabase();
        QSqlDatabase::removeDatabase("raw");
    }
    QSqlQuery& run(const std::string& sql) {
        EXPECT_TRUE(q_.exec(QString::fromStdString(sql)))
            << sql << ": " << q_.lastError().text().toStdString();
        return q_;
    }
    long long number(const std::string& sql) {
        run(sql);
        return q_.next() ? q_.value(0).toLongLong() : -1;
    }
    void role(const std::string& name) {
        run("DO $$ BEGIN CREATE ROLE " + name +
            " LOGIN PASSWORD 'kest-password'; EXCEPTION WHEN duplicate_object THEN NULL; END $$");
    }

private:
    QSqlDatabase db_;
    QSqlQuery q_;
};

// In a database whose schema public lets every role create (as before
// PostgreSQL 15), another role shadows every function the archive calls
// with one that an argument of unknown type or text would choose: none of
// them ever runs as the archive's role, whatever the archive does.
TEST(ArchivePostgres, AnotherRolesFunctionsNeverRun) {
    ASSERT_TRUE(pgtest::pg().problem.empty()) << pgtest::pg().problem;
    const std::string folder = tempFolder();
    const std::string uri = freshArchive(true, folder), name = databaseOf(uri);
    {
        Admin admin(uri);
        admin.role("wsa");
        admin.role("mallory");
        admin.run("GRANT CREATE ON SCHEMA public TO PUBLIC");
        admin.run("GRANT CREATE ON DATABASE " + name + " TO wsa");
        admin.run("SET ROLE mallory");
        admin.run("CREATE TABLE public.stolen (call TEXT)");
        admin.run("GRANT INSERT ON public.stolen TO PUBLIC");
        for (const char* f :
             {"pg_advisory_lock", "pg_advisory_unlock", "pg_advisory_lock_shared",
              "pg_advisory_unlock_shared", "pg_advisory_xact_lock", "pg_advisory_xact_lock_shared",
              "to_regclass", "quote_ident", "aclexplode", "current_setting", "version", "max",
              "count", "coalesce", "lower", "substr", "to_char"})
            admin.run(std::string("CREATE FUNCTION public.") + f +
                      "(text) RETURNS text LANGUAGE sql AS $$ INSERT INTO public.stolen VALUES ('" +
                      f + "'); SELECT 'x' $$");
        admin.run("RESET ROLE");
    }
    ::setenv("PGPASSWORD", "kest-password", 1);
    const std::string wsa = asRole("wsa", name);
    std::string error;
    std::vector<bool> added;
    const std::vector<TestRecord> records = received();
    std::vector<AssetRow> rows;
    AssetListInfo list;
    ArchiveImport got;
    std::vector<ArchivedRecord> found;
    makeSource(folder + "/source.db");
    {
        std::unique_ptr<Archive> a = Archive::open(wsa, &error);
        ASSERT_TRUE(a) << error;
        std::unique_ptr<Archive> source =
            Archive::open(folder + "/source.db", &error, ArchiveAccess::Source);
        EXPECT_TRUE(a->addDownload(kTester, 1000, blockOf(records), records, &added, &error) &&
                    readAssetList("device_id\r\nP1\r\n", &rows, &error) &&
                    a->addAssetList(rows, "list", 1000, &list, &error) && source &&
                    a->addArchive(*source, &got, &error) &&
                    a->newRecords(kTester, records, &added, &error))
            << error;
        std::unique_ptr<Archive> reader = Archive::open(wsa, &error, ArchiveAccess::Read);
        EXPECT_TRUE(reader && reader->history({"P1", "", "2000-01-01", ""}, &found, &error) &&
                    reader->assetList(0, &rows, &list, &error))
            << error;
    }
    ::unsetenv("PGPASSWORD");
    Admin admin(uri);
    EXPECT_EQ(admin.number("SELECT count(*) FROM public.stolen"), 0);
    fs::remove_all(folder);
}

// Another application's tables named like the archive's are no archive and
// stay as they are.  Archives of version 1 that an older release left in
// two schemas are refused together, each named, by a role that may not
// merge them, and merged into lumkest by one that may.
TEST(ArchivePostgres, ForeignTablesAndArchivesOfVersionOneInTwoSchemas) {
    ASSERT_TRUE(pgtest::pg().problem.empty()) << pgtest::pg().problem;
    const std::string folder = tempFolder();
    const std::string foreign = freshArchive(true, folder);
    {
        Admin admin(foreign);
        admin.run("CREATE TABLE public.archive_version (version INTEGER)");
        admin.run("INSERT INTO public.archive_version VALUES (1)");
        admin.run("CREATE TABLE public.records (pump TEXT)");
    }
    std::string error;
    EXPECT_FALSE(Archive::open(foreign, &error, ArchiveAccess::Read));
    EXPECT_NE(error.find("holds no archive yet"), std::string::npos) << error;
    std::unique_ptr<Archive> made = Archive::open(foreign, &error);
    ASSERT_TRUE(made) << error;
    EXPECT_TRUE(made->madeNew());
    made.reset();
    {
        Admin admin(foreign);
        EXPECT_EQ(admin.number("SELECT version FROM public.archive_version"), 1);
        EXPECT_EQ(admin.number("SELECT count(*) FROM pg_attribute WHERE attrelid = "
                               "'public.records'::regclass AND attnum > 0"),
                  1);
    }

    const std::string split = freshArchive(true, folder), name = databaseOf(split);
    {
        Admin admin(split);
        admin.role("wsc");
        admin.run("GRANT CREATE ON DATABASE " + name + " TO wsc");
        const std::string insert =
            "INSERT INTO %1downloads (tester_serial, tester_id, "
            "downloaded, downloaded_utc, form, block_sha256, record_count) "
            "VALUES ('S1', 'Bay', '2004-01-01T10:00:00+00:00', 1072951200, "
            "2, NULL, %2)";
        const std::string record =
            "INSERT INTO %1records (record_key, tester_serial, "
            "first_download, form, " +
            kVersionOneTexts.toStdString() +
            ") VALUES ('%2', 'S1', 1, 2, '%3', '1 Jan 2004', '10:00', "
            "'01:00:00', '5.1', '1', '37', '0.7', '00:10', 112, 'PSI')";
        for (const char* schema : {"s1", "s2"}) {
            const QString at = QString(schema) + ".";
            admin.run(std::string("CREATE SCHEMA ") + schema);
            for (const QString& sql : versionOneTables(true, at)) admin.run(sql.toStdString());
            const bool second = std::string(schema) == "s2";
            admin.run(QString::fromStdString(insert).arg(at).arg(second ? 2 : 1).toStdString());
            admin.run(QString::fromStdString(record).arg(at, "k1", "IV-1").toStdString());
            if (second)
                admin.run(QString::fromStdString(record).arg(at, "k2", "IV-2").toStdString());
        }
    }
    ::setenv("PGPASSWORD", "kest-password", 1);
    for (ArchiveAccess access : {ArchiveAccess::Read, ArchiveAccess::Write}) {
        EXPECT_FALSE(Archive::open(asRole("wsc", name), &error, access));
        EXPECT_NE(error.find("in the schemas \"s1\", \"s2\""), std::string::npos) << error;
    }
    ::unsetenv("PGPASSWORD");
    std::unique_ptr<Archive> merged = Archive::open(split, &error);
    ASSERT_TRUE(merged) << error;
    std::vector<ArchiveDownload> downloads;
    ASSERT_TRUE(merged->downloads(&downloads, &error)) << error;
    ASSERT_EQ(downloads.size(), 2u);
    EXPECT_EQ(downloads[1].number, 2);
    EXPECT_EQ(downloads[1].newRecords, 1);
    std::vector<ArchivedRecord> found;
    ASSERT_TRUE(merged->history({}, &found, &error)) << error;
    EXPECT_EQ(found.size(), 2u);
    merged.reset();
    Admin admin(split);
    EXPECT_EQ(admin.number("SELECT count(*) FROM pg_tables WHERE schemaname IN ('s1', 's2')"), 0);
    fs::remove_all(folder);
}

// A workshop granted the archive as the manual page says writes it after
// an upgrade adds tables; a reader that meets an upgrade under way waits
// for it and reads; a connection the server ends gives one line, and
// nothing else on standard error.
TEST(ArchivePostgres, UpgradesKeepGrantsAndReaders) {
    ASSERT_TRUE(pgtest::pg().problem.empty()) << pgtest::pg().problem;
    const std::string folder = tempFolder();
    const std::string uri = freshArchive(true, folder), name = databaseOf(uri);
    std::string error;
    std::vector<bool> added;
    const std::vector<TestRecord> records = received();
    ASSERT_TRUE(Archive::open(uri, &error)) << error;
    {
        Admin admin(uri);
        admin.role("wsb");
        // The archive as version 2 left it, and the one-time GRANT.
        admin.run(
            "DROP TABLE lumkest.tester_rows, lumkest.tester_lists, lumkest.asset_rows, "
            "lumkest.asset_lists");
        admin.run("UPDATE lumkest.archive_version SET version = 2");
        admin.run("GRANT USAGE ON SCHEMA lumkest TO wsb");
        admin.run("GRANT SELECT, INSERT, UPDATE ON ALL TABLES IN SCHEMA lumkest TO wsb");
    }
    ASSERT_TRUE(Archive::open(uri, &error)) << error;  // upgraded by its owner
    ::setenv("PGPASSWORD", "kest-password", 1);
    {
        std::unique_ptr<Archive> a = Archive::open(asRole("wsb", name), &error);
        std::vector<AssetRow> rows;
        AssetListInfo list;
        EXPECT_TRUE(a && a->addDownload(kTester, 1000, blockOf(records), records, &added, &error) &&
                    readAssetList("device_id\r\nP1\r\n", &rows, &error) &&
                    a->addAssetList(rows, "list", 1000, &list, &error) &&
                    a->assetList(0, &rows, &list, &error))
            << error;
    }
    ::unsetenv("PGPASSWORD");

    // An upgrade under way, as the program makes one: the schema lock, then
    // version 1's tables moved in one transaction.
    const std::string v1 = freshArchive(true, folder);
    Admin admin(v1);
    for (const QString& sql : versionOneTables(true, "")) admin.run(sql.toStdString());
    admin.run("SELECT pg_advisory_lock(21485888693687124)");  // the program's schema lock
    admin.run("BEGIN");
    admin.run("CREATE SCHEMA lumkest");
    for (const char* table : {"blocks", "downloads", "records", "archive_version"})
        admin.run(std::string("ALTER TABLE public.") + table + " SET SCHEMA lumkest");
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    const pid_t reader = ::fork();
    if (reader == 0) {
        std::string e;
        std::vector<ArchiveDownload> list;
        std::unique_ptr<Archive> a = Archive::open(v1, &e, ArchiveAccess::Read);
        const std::string said = a && a->downloads(&list, &e) ? "read" : e;
        (void)!::write(out[1], said.data(), said.size());
        ::_exit(0);
    }
    ::close(out[1]);
    ::usleep(500000);
    admin.run("COMMIT");
    admin.run("SELECT pg_advisory_unlock(21485888693687124)");
    char said[512];
    const ssize_t n = ::read(out[0], said, sizeof said);
    ::waitpid(reader, nullptr, 0);
    EXPECT_EQ(std::string(said, static_cast<std::size_t>(std::max<ssize_t>(n, 0))), "read");

    // The server ends a reader's connection.
    std::unique_ptr<Archive> ended = Archive::open(uri, &error, ArchiveAccess::Read);
    ASSERT_TRUE(ended) << error;
    admin.run("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = '" + name +
              "'");
    std::fflush(stderr);
    const int saved = ::dup(2);
    const std::string log = folder + "/stderr";
    const int to = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(to, 2);
    std::vector<ArchivedRecord> found;
    const bool read = ended->history({}, &found, &error);
    ended.reset();
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(to);
    ::close(saved);
    EXPECT_FALSE(read);
    EXPECT_NE(error.find("terminating connection"), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    EXPECT_EQ(readFile(log), "");
    fs::remove_all(folder);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);  // Qt SQL loads its drivers as plugins
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new PgEnvironment);
    return RUN_ALL_TESTS();
}
