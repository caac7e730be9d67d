// The archive's plain functions, with no database: when two records are
// one, reading back saved files, the connection URI.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

#include "archive/pguri.h"
#include "records/recordstore.h"
#include "save/readback.h"
#include "save/writers.h"
#include "tests/archive/archivetest.h"
#include "tests/core/records.h"
#include "workshop/due.h"
#include "workshop/typed.h"
#include "workshop/verdict.h"

namespace fs = std::filesystem;

namespace {

using archivetest::blockOf;
using archivetest::kTester;
using archivetest::received;

TEST(ArchivePlain, SameRecordRule) {
    TestRecord comma = makeRecord("ICU 3, BED 7");
    SET_FIELD(comma, flow, "1,5");
    TestRecord spaced = makeRecord("ICU 3  BED 7");
    SET_FIELD(spaced, flow, "1 5");
    const struct {
        TestRecord a, b;
        std::string serialB;
        bool same;
    } rows[] = {
        {comma, spaced, "S1", true},
        {makeRecord("P", "1 Jan 2004", "10:00", 'm'), makeRecord("P", "1 Jan 2004", "10:00", 'x'),
         "S1", true},
        {makeRecord("P", "1 Jan 2004", "10:00", 'p'), makeRecord("P", "1 Jan 2004", "10:00", 'k'),
         "S1", false},
        {makeRecord("P"), makeRecord("P"), "S2", false},
        {makeRecord("P"), makeRecord("P", "29 Dec 2003", "18:35"), "S1", false},
        {makeRecord("AB"), makeRecord("A"), "S1", false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(sameRecord("S1", row.a, row.serialB, row.b), row.same)
            << FIELD_TEXT(row.a, deviceID) << " / " << FIELD_TEXT(row.b, deviceID);
        EXPECT_EQ(recordKey("S1", row.a) == recordKey(row.serialB, row.b), row.same);
    }
}

// Every reference file reads back; anything else is refused.
TEST(ArchivePlain, SavedFilesReadBackOrAreRefused) {
    const struct {
        const char* file;
        SavedFileKind kind;
        std::size_t records;
    } references[] = {
        {"export-all.csv", SavedFileKind::Csv, 4},
        {"export-selected.csv", SavedFileKind::Csv, 2},
        {"export-none.csv", SavedFileKind::Csv, 0},
        {"list-all.txt", SavedFileKind::ListText, 4},
        {"list-first.txt", SavedFileKind::ListText, 1},
        {"records-last.txt", SavedFileKind::RecordText, 1},
        {"records-selected.txt", SavedFileKind::RecordText, 2},
    };
    auto read = [](const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    SavedFileContents got;
    std::string why;
    for (const auto& ref : references) {
        const std::string bytes = read(fs::path(LUMKEST_REFERENCE_DIR) / ref.file);
        ASSERT_TRUE(readSavedFile(bytes, nullptr, &got, &why)) << ref.file << ": " << why;
        EXPECT_EQ(got.kind, ref.kind) << ref.file;
        EXPECT_EQ(got.records.size(), ref.records) << ref.file;
        EXPECT_EQ(got.tester.serial, "S1") << ref.file;
    }
    const std::vector<TestRecord> records = received();
    const std::vector<std::uint8_t> block = blockOf(records);
    const std::string blockBytes(block.begin(), block.end());
    const std::vector<std::uint8_t> identity =
        VirtualTester::buildIdentityReply(kTester.serial, kTester.id);
    // A tester that held no records sent a block of none.
    for (const std::vector<TestRecord>& held : {records, std::vector<TestRecord>()}) {
        const std::vector<std::uint8_t> raw = blockOf(held);
        ASSERT_TRUE(readSavedFile(std::string(raw.begin(), raw.end()), &identity, &got, &why))
            << why;
        EXPECT_EQ(got.kind, SavedFileKind::RawBlock);
        EXPECT_EQ(got.records.size(), held.size());
        EXPECT_EQ(got.tester.id, kTester.id);
        EXPECT_EQ(got.tester.serial, kTester.serial);
    }

    // Files of awkward records read back as the same records, in each kind:
    // every text empty, texts padded with spaces, line ends inside texts,
    // and 1500 records (numbers past 999).
    TestRecord empty = emptyRecord(), padded = makeRecord("TRAIL  ", "5 Jun 2004 ");
    empty.pressureUnits = 'k';
    SET_FIELD(padded, flow, "5.1  ");
    SET_FIELD(padded, pressureMMHG, " 37");
    SET_FIELD(padded, pressureUser, " 0.7");
    TestRecord lineEnds = makeRecord("ICU 3\r\nBED 7");
    SET_FIELD(lineEnds, peakPressureTime, "16:32\r\n");
    const std::vector<TestRecord> written[] = {{empty, padded, lineEnds},
                                               std::vector<TestRecord>(1500, padded)};
    for (const std::vector<TestRecord>& rows : written) {
        for (SavedFileKind kind :
             {SavedFileKind::Csv, SavedFileKind::ListText, SavedFileKind::RecordText}) {
            const SaveSource source{rows, kTester, "12/29/03 18:34:00"};
            std::string bytes;
            if (kind == SavedFileKind::Csv)
                csvFileText(source, AllRecords, &bytes);
            else
                textFileText(source, AllRecords, kind == SavedFileKind::RecordText, &bytes);
            ASSERT_TRUE(readSavedFile(bytes, nullptr, &got, &why)) << bytes.substr(0, 800);
            EXPECT_EQ(got.kind, kind);
            ASSERT_EQ(got.records.size(), rows.size());
            std::size_t same = 0;
            while (same < rows.size() && sameRecord("S", rows[same], "S", got.records[same]))
                ++same;
            EXPECT_EQ(same, rows.size()) << bytes.substr(0, 800);
        }
    }

    std::string csv = read(fs::path(LUMKEST_REFERENCE_DIR) / "export-all.csv");
    const std::string list = read(fs::path(LUMKEST_REFERENCE_DIR) / "list-all.txt");
    std::string damaged = blockBytes, lfOnly;
    damaged[kRecordCountOffset] = 0;
    for (char c : csv)
        if (c != '\r') lfOnly += c;
    const std::vector<std::uint8_t> notIdentity(block.begin(), block.begin() + kIdentityReplySize),
        noSerial = VirtualTester::buildIdentityReply("", kTester.id);
    const struct {
        std::string bytes;
        const std::vector<std::uint8_t>* identity;
        const char* reason;  // a part of why
    } refused[] = {
        {blockBytes, nullptr, "identity reply"},
        {blockBytes, &notIdentity, "is not one: it starts with 'B', not 'I'"},
        {blockBytes, &noSerial, "names no serial number"},
        {damaged, &identity, "damaged: its count is 0, yet slot 1 holds a record"},
        {std::string(kDataBlockSize, 'B'), nullptr, ""},
        {csv.substr(0, csv.size() - 1), nullptr, ""},
        {std::string(csv).insert(csv.rfind("00:"), ","), nullptr, ""},
        {std::string(csv).replace(csv.rfind("PSI"), 3, "psi"), nullptr, ""},
        {std::string(csv).replace(csv.rfind("\r\n4,") + 2, 1, "3"), nullptr, ""},  // a number again
        {std::string(csv).replace(csv.rfind("\r\n4,") + 2, 1, "999999999"), nullptr,
         ""},  // past the records
        {lfOnly, nullptr, "its lines end in LF, not CR LF"},
        // A tester ID of 100 kB would stand in every line of every output.
        {std::string(list).insert(list.find("ID: ") + 4, 100000, 'X'), nullptr,
         "a tester ID of 100"},
        {"Technician: J. Doe\r\n", nullptr, ""},
        {"", nullptr, "empty"},
    };
    for (const auto& r : refused) {
        EXPECT_FALSE(readSavedFile(r.bytes, r.identity, &got, &why)) << r.bytes.substr(0, 80);
        EXPECT_FALSE(why.empty());
        EXPECT_NE(why.find(r.reason), std::string::npos) << why;
    }
}

TEST(ArchivePlain, PostgresUriSettings) {
    const std::string password = "the URI holds a password (password or sslpassword)";
    const std::string session =
        "options='-c lock_timeout=60s -c idle_in_transaction_session_timeout=300s "
        "-c client_min_messages=warning";
    const std::string pinned = " -c search_path=pg_catalog'";
    const struct {
        std::string uri, refused;  // refused: a part of the reason; empty: accepted
        std::string host, user, dbname;
        int port;
        std::string option, shown;  // option: a part of connectOptions
    } rows[] = {
        {"postgresql://kest:s3cret@db/a", password, "", "", "", 0, "", "postgresql://db/a"},
        // A '/' in the password: libpq reads host kest, port s3cret.
        {"postgresql://kest:s3cret/pw@db/a", "holds an '@'", "", "", "", 0, "",
         "postgresql://db/a"},
        {"postgresql://kest:s3cret/pw", "port is no port number", "", "", "", 0, "", ""},
        {"postgresql://kest:1234/s3cret@db/a", "holds an '@'", "", "", "", 0, "",
         "postgresql://db/a"},
        {"POSTGRESQL://kest:s3cret@db/a", password, "", "", "", 0, "", "POSTGRESQL://db/a"},
        {"PostgreS://kest:s3?c/ret@db/a", "missing key/value separator", "", "", "", 0, "",
         "PostgreS://db/a"},
        {"postgresql:kest:s3cret@db/a", "not a URI of the form", "", "", "", 0, "",
         "postgresql:db/a"},
        {"postgresql://db/a?sslpassword=s3cret", password, "", "", "", 0, "",
         "postgresql://db/a?sslpassword=..."},
        // Everything up to the last '@' goes, even from the query.
        {"postgresql://kest:s3cret@db/a?application_name=x@y", password, "", "", "", 0, "",
         "postgresql://y"},
        {"postgresql://db/a?sslmode=require&pass%77ord=s3cret", password, "", "", "", 0, "",
         "postgresql://db/a?sslmode=require&pass%77ord=..."},
        {"postgresql://db/a?options=-c%20PassWord%3Ds3cret", password, "", "", "", 0, "",
         "postgresql://db/a?options=..."},
        {"postgresql://db/a?PassWord=s3cret", "invalid URI query parameter", "", "", "", 0, "",
         "postgresql://db/a?PassWord=..."},
        {"postgresql://db/a?sslmode%3Ddisable%20password=s3cret", "invalid URI query parameter", "",
         "", "", 0, "", "postgresql://db/a?sslmode%3Ddisable%20password=..."},
        {"postgresql://db/a?password=s3cret%zz", "invalid percent-encoded token", "", "", "", 0, "",
         "postgresql://db/a?password=..."},
        {"postgresql://db:65536/a", "the URI's port is no port number", "", "", "", 0, "", ""},
        {"postgresql://db:5432,db2:x/a", "port is no", "", "", "", 0, "", ""},
        {"postgresql://db/a?application_name=x%3By", "application_name holds a ';'", "", "", "", 0,
         "", ""},
        {"postgresql://k%C3%A4ser@db:6543/arch%20ive", "", "db", "k\xC3\xA4ser", "arch ive", 6543,
         "connect_timeout='10';" + session + pinned + ";keepalives='1';keepalives_idle='30'",
         "postgresql://db:6543/arch%20ive"},
        {"postgres:///lumkest?host=/tmp/x&connect_timeout=3", "", "/tmp/x", "", "lumkest", 0,
         "connect_timeout='3'", ""},
        {"postgresql://h1:5432,h2/a", "", "h1,h2", "", "a", 0, "port='5432,'", ""},
        {"postgresql://db/?options=-c%20lock_timeout%3D2s&application_name=it's%5C", "", "db", "",
         "", 0, session + " -c lock_timeout=2s" + pinned + ";application_name='it\\'s\\\\'", ""},
        // The URI's options cannot unpin search_path.
        {"postgresql://db/?options=-c%20search_path%3Dpublic", "", "db", "", "", 0,
         "search_path=public -c search_path=pg_catalog'", ""},
    };
    for (const auto& row : rows) {
        PgSettings got;
        std::string why;
        const bool accepted = pgSettingsFromUri(row.uri, &got, &why);
        EXPECT_EQ(accepted, row.refused.empty()) << row.uri << ": " << why;
        if (accepted) {
            EXPECT_EQ(got.host, row.host) << row.uri;
            EXPECT_EQ(got.user, row.user) << row.uri;
            EXPECT_EQ(got.dbname, row.dbname) << row.uri;
            EXPECT_EQ(got.port, row.port) << row.uri;
            const std::string& options = got.connectOptions;
            EXPECT_NE(options.find(row.option), std::string::npos) << options;
            std::size_t p = 0;  // no key twice
            do {
                const std::string key = options.substr(p, options.find('=', p) - p);
                EXPECT_EQ(options.find(";" + key + "=", p), std::string::npos) << options;
                p = options.find(';', p);
            } while (p++ != std::string::npos);
        } else {
            EXPECT_NE(why.find(row.refused), std::string::npos) << row.uri << ": " << why;
            EXPECT_EQ(why.find("s3cret"), std::string::npos) << why;
        }
        EXPECT_EQ(uriWithoutPassword(row.uri), row.shown.empty() ? row.uri : row.shown);
    }
}

}  // namespace
