// The archive's plain functions, with no database: when two records are
// one, the typed values, reading back saved files, the connection URI.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

#include "workshop/due.h"
#include "workshop/verdict.h"
#include "archive/importfile.h"
#include "archive/pguri.h"
#include "workshop/typed.h"
#include "records/recordstore.h"
#include "save/writers.h"
#include "tests/archive/archivetest.h"
#include "tests/core/records.h"

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

TEST(ArchivePlain, TypedValuesOrNull) {
    EXPECT_EQ(isoTestTime("29 Dec 2003", "18:34"), "2003-12-29T18:34:00");
    EXPECT_EQ(isoTestTime("29 Feb 2004", "00:00"), "2004-02-29T00:00:00");
    // A time that does not read leaves the test its date.
    EXPECT_EQ(typedRecord(makeRecord("P", "30 Jun 2026", "25:99")).tested, "2026-06-30");
    EXPECT_EQ(typedRecord(makeRecord("P", "31 Feb 2026", "10:00")).tested, std::nullopt);
    for (const char* date :
         {"29 Feb 2003", "32 Jan 2004", "29 Dex 2003", "29 Dec 03", "", "Dec 2003"})
        EXPECT_EQ(isoTestTime(date, "18:34"), std::nullopt) << date;
    for (const char* time : {"24:00", "18:60", "18:3", "1834", ""})
        EXPECT_EQ(isoTestTime("29 Dec 2003", time), std::nullopt) << time;
    EXPECT_EQ(clockSeconds("88:48:39", 3), 88 * 3600 + 48 * 60 + 39);
    EXPECT_EQ(clockSeconds("16:32", 2), 16 * 60 + 32);
    for (const char* text : {"88:48", "88:60:00", "1:2:3", "-1:00:00", "ab:cd:ef", ""})
        EXPECT_EQ(clockSeconds(text, 3), std::nullopt) << text;
    EXPECT_EQ(decimalValue("5.183"), 5.183);
    EXPECT_EQ(decimalValue(" 376"), 376);
    for (const char* text : {"1,5", "-3", "1e3", ".", "", "5.1.2", "n/a"})
        EXPECT_EQ(decimalValue(text), std::nullopt) << text;
    const TypedRecord t = typedRecord(makeRecord("P1", "29 Dec 2003", "18:34", 'b'));
    EXPECT_EQ(t.durationSeconds, 319719);
    EXPECT_EQ(t.peakSeconds, 992);
    EXPECT_EQ(t.pressureMmHg, 376);
    EXPECT_EQ(t.unit, "Bar");
    for (const char* date : {"2004-02-29", "1999-12-31"}) EXPECT_TRUE(isIsoDate(date)) << date;
    for (const char* date : {"2003-02-29", "2004-13-01", "2004-1-01", "20040101", "2004-01-01T"})
        EXPECT_FALSE(isIsoDate(date)) << date;
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
    ImportedFile got;
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

// The asset list as a workshop writes it: a model row, assets taking its
// values or their own, a pump whose limits changed on 1 Jan 2004, a quoted
// device ID with a comma, and a column the list does not use.
const char* const kWorkshopList =
    "Model,DEVICE_ID , set_rate_ml_h,flow_low_pct,flow_high_pct,occlusion_min_mmhg,"
    "occlusion_max_mmhg,peak_time_max_s,valid_from,cost_centre\n"
    "VP-7,,100,-5,5,300,600,30,,K1\n"
    "VP-7,P1,,,,,,,,\n"
    "VP-7,P2,,-10,,,,,,\n"
    "VP-7,P3,,,,,,,,\n"
    "VP-7,P3,,-2,2,,,,2004-01-01,\n"
    ",P4,,,,,450,,,\n"
    "Q-1,P5,,,,,,,,\n"
    "VP-7,P6,,,,,,,2005-01-01,\n"
    ",P7,3,-50,50,,,,,\n"
    "VP-7,\"ICU 3, BED 7\",,,,,,,,\n"
    "Q-2,,100,-5,,,,,,\n"
    "Q-2,P8,,,,,,,,\n"
    ",P10,100,,5,,,,,\n";

TEST(ArchivePlain, VerdictsAgainstTheAssetList) {
    std::vector<AssetRow> list;
    std::string why;
    ASSERT_TRUE(readAssetList(kWorkshopList, &list, &why)) << why;
    using R = VerdictResult;
    constexpr Criterion P = Criterion::Pass, F = Criterion::Fail, N = Criterion::None;
    const struct {
        const char *id, *date, *flow, *mmHg, *peak;
        VerdictResult result;
        Criterion flowC, occlusionC, peakC;
        const char* error;  // flowErrorPercent; "" none
        const char* time = "18:34";
    } rows[] = {
        {"P1", "29 Dec 2003", "105.0", "376", "00:30", R::Pass, P, P, P, "5"},
        {"P1", "29 Dec 2003", "105.001", "376", "00:30", R::Fail, F, P, P, "5.001"},
        {"P1", "29 Dec 2003", "95", "300", "0:29", R::Pass, P, P, P, "-5"},
        {"P1", "29 Dec 2003", "94.999", "600", "00:00", R::Fail, F, P, P, "-5.001"},
        {"P1", "29 Dec 2003", "100", "299.9", "00:30", R::Fail, P, F, P, "0"},
        {"P1", "29 Dec 2003", "100", "600.1", "00:30", R::Fail, P, F, P, "0"},
        {"P1", "29 Dec 2003", "100", "376", "00:31", R::Fail, P, P, F, "0"},
        {"P2", "29 Dec 2003", "90", "376", "00:30", R::Pass, P, P, P, "-10"},  // -10 own, +5 model
        {"P2", "29 Dec 2003", "89.99", "376", "00:30", R::Fail, F, P, P, "-10.01"},
        {"P2", "29 Dec 2003", "105.01", "376", "00:30", R::Fail, F, P, P, "5.01"},
        {"P3", "31 Dec 2003", "103", "376", "00:30", R::Pass, P, P, P, "3"},
        {"P3", "1 Jan 2004", "103", "376", "00:30", R::Fail, F, P, P, "3"},
        {"P3", "1 Jan 2004", "98", "376", "00:30", R::Pass, P, P, P, "-2"},
        // The limits of the test's date, whether its time reads or not; a
        // date that names no day places it nowhere.
        {"P3", "1 Jan 2004", "103", "376", "00:30", R::Fail, F, P, P, "3", "25:99"},
        {"P3", "31 Dec 2003", "103", "376", "00:30", R::Pass, P, P, P, "3", "xx"},
        {"P3", "31 Feb 2004", "100", "376", "00:30", R::Unreadable, N, N, N, ""},
        {"P9", "31 Feb 2004", "100", "376", "00:30", R::NotAssessed, N, N, N, ""},
        // A flow window open at one end judges by the other.
        {"P8", "29 Dec 2003", "69", "376", "00:30", R::Fail, F, N, N, "-31"},
        {"P8", "29 Dec 2003", "95", "376", "00:30", R::Pass, P, N, N, "-5"},
        {"P8", "29 Dec 2003", "400", "376", "00:30", R::Pass, P, N, N, "300"},
        {"P10", "29 Dec 2003", "105.001", "", "", R::Fail, F, N, N, "5.001"},
        {"P10", "29 Dec 2003", "1", "", "", R::Pass, P, N, N, "-99"},
        {"P4", "29 Dec 2003", "n/a", "450", "", R::Pass, N, P, N, ""},
        {"P4", "29 Dec 2003", "n/a", "451", "", R::Fail, N, F, N, ""},
        {"P4", "29 Dec 2003", "100", "", "", R::Unreadable, N, N, N, ""},
        {"P5", "29 Dec 2003", "100", "376", "00:30", R::NotAssessed, N, N, N, ""},
        {"P6", "29 Dec 2003", "100", "376", "00:30", R::NotAssessed, N, N, N, ""},
        {"P9", "29 Dec 2003", "100", "376", "00:30", R::NotAssessed, N, N, N, ""},
        {"P1", "29 Dec 2003", "n/a", "376", "00:30", R::Unreadable, N, P, P, ""},
        {"P1", "29 Dec 2003", "-105", "376", "00:30", R::Unreadable, N, P, P, ""},
        {"P1", "29 Dec 2003", "100", "376", "0:3x", R::Unreadable, P, P, N, "0"},
        {"P1", "29 Dec 2003", "n/a", "700", "00:30", R::Fail, N, F, P, ""},
        {"P7", "29 Dec 2003", "2.9", "", "", R::Pass, P, N, N, "-3.333333333"},
        {"P7", "29 Dec 2003", "4.52", "", "", R::Fail, F, N, N, "50.666666667"},
        {"ICU 3  BED 7", "29 Dec 2003", "105", "376", "00:30", R::Pass, P, P, P, "5"},
    };
    for (const auto& row : rows) {
        TestRecord r = makeRecord(row.id, row.date, row.time);
        SET_FIELD(r, flow, row.flow);
        SET_FIELD(r, pressureMMHG, row.mmHg);
        SET_FIELD(r, peakPressureTime, row.peak);
        const Verdict v = judge(r, list);
        const std::string what = std::string(row.id) + " " + row.date + " " + row.flow;
        EXPECT_STREQ(resultText(v.result), resultText(row.result)) << what;
        EXPECT_EQ(v.flow, row.flowC) << what;
        EXPECT_EQ(v.occlusion, row.occlusionC) << what;
        EXPECT_EQ(v.peakTime, row.peakC) << what;
        EXPECT_EQ(v.flowErrorPercent ? v.flowErrorPercent->text() : "", row.error) << what;
    }
    for (VerdictResult result : {R::Pass, R::Fail, R::NotAssessed, R::Unreadable}) {
        std::string word = resultText(result);
        std::replace(word.begin(), word.end(), ' ', '-');
        EXPECT_EQ(resultFromWord(word), result) << word;
    }
    EXPECT_EQ(resultFromWord("passed"), std::nullopt);

    // A test dated more than a day after the archive received it.
    const struct {
        const char *date, *time, *received;
        DateCheck check;
    } dates[] = {
        {"2 Jan 2004", "10:00", "2004-01-01T10:00:00+01:00", DateCheck::Ok},
        {"2 Jan 2004", "10:01", "2004-01-01T10:00:00+01:00", DateCheck::AfterReceipt},
        {"3 Jan 2004", "xx", "2004-01-02T00:00:00-05:00", DateCheck::Ok},
        {"3 Jan 2004", "xx", "2004-01-01T23:59:00+00:00", DateCheck::AfterReceipt},
        {"5 Jun 2027", "10:00", "2026-12-07T10:00:00+00:00", DateCheck::AfterReceipt},
        {"31 Feb 2026", "10:00", "2026-12-07T10:00:00+00:00", DateCheck::Unreadable},
    };
    for (const auto& d : dates)
        EXPECT_EQ(dateCheck(makeRecord("P", d.date, d.time), d.received), d.check)
            << d.date << " " << d.time << " received " << d.received;
}

TEST(ArchivePlain, AssetListReadWholeOrRefused) {
    const struct {
        std::string text, shortest;
    } decimals[] = {{"105.000", "105"},
                    {" -2.50 ", "-2.5"},
                    {".5", "0.5"},
                    {"-0", "0"},
                    {"1.0000000000", "1"},
                    {"0.000000001", "0.000000001"},
                    {"123456789012345678.5", "123456789012345678.5"}};
    for (const auto& d : decimals)
        EXPECT_EQ(Decimal::parse(d.text).value_or(Decimal(7)).text(), d.shortest) << d.text;
    for (const char* text :
         {"", "-", ".", "1e3", "1,5", "+1", "1.2.3", "- 1", "1.0000000001", "1234567890123456789"})
        EXPECT_EQ(Decimal::parse(text), std::nullopt) << text;

    // BOM, header in any case with spaces, a blank line, a quoted location
    // holding a comma and a line break, an unknown column, no final line end.
    const std::string utf8 =
        "\xEF\xBB\xBF Device_ID ,location,Model,interval_days,note\r\n\r\n"
        "P1,\"Ward 3, Bed 7\r\nby the door\",VP-7,180,x\r\n"
        ",,VP-7,365,\r\n"
        "P2,S\xC3\xBC\x64,,,\"a \"\"quoted\"\" note\"";
    std::string latin1 = utf8.substr(3);
    latin1.replace(latin1.find("S\xC3\xBC"), 3, "S\xFC");
    std::vector<AssetRow> rows, again;
    std::string why;
    for (const std::string& bytes : {utf8, latin1}) {
        ASSERT_TRUE(readAssetList(bytes, &rows, &why)) << why;
        ASSERT_EQ(rows.size(), 3u);
        EXPECT_EQ(rows[0].line, 3);
        EXPECT_EQ(rows[0].location, "Ward 3, Bed 7\r\nby the door");
        EXPECT_EQ(rows[0].values.intervalDays, 180);
        EXPECT_EQ(rows[1].line, 5);
        EXPECT_EQ(rows[2].line, 6);
        EXPECT_EQ(rows[2].location, "S\xFC\x64");
        ASSERT_TRUE(readAssetList(assetListCsv(rows), &again, &why)) << why;
        EXPECT_EQ(assetListCsv(again), assetListCsv(rows));
    }
    // Latin-1 bytes that happen to spell UTF-8 stay as they are, and the
    // CSV (written in UTF-8) gives them back.
    ASSERT_TRUE(readAssetList("device_id,location,note\nP3,\xC3\xBC,\xFF\n", &rows, &why)) << why;
    EXPECT_EQ(rows[0].location, "\xC3\xBC");
    ASSERT_TRUE(readAssetList(assetListCsv(rows), &again, &why)) << why;
    EXPECT_EQ(again[0].location, "\xC3\xBC");
    ASSERT_TRUE(readAssetList(utf8, &rows, &why)) << why;
    const std::string csv = assetListCsv(rows);
    EXPECT_EQ(csv.substr(0, csv.find("\r\n,")),
              "device_id,model,location,set_rate_ml_h,flow_low_pct,flow_high_pct,"
              "occlusion_min_mmhg,occlusion_max_mmhg,peak_time_max_s,interval_days,valid_from\r\n"
              "P1,VP-7,\"Ward 3, Bed 7\r\nby the door\",,,,,,,180,");
    EXPECT_NE(csv.find("\r\nP2,,S\xC3\xBC\x64,"), std::string::npos) << csv;
    std::vector<AssetRow> list;
    ASSERT_TRUE(readAssetList(kWorkshopList, &list, &why)) << why;
    // The text table: numbers end under their column's name, texts start
    // under it, no line ends in a space.
    const std::string text = assetListText(list);
    std::vector<std::string> lines;
    for (std::size_t p = 0; p < text.size(); p = text.find('\n', p) + 1)
        lines.push_back(text.substr(p, text.find('\n', p) - p));
    ASSERT_EQ(lines.size(), list.size() + 1) << text;
    EXPECT_EQ(lines[1].find("100") + 3, lines[0].find("set_rate_ml_h") + 13) << text;
    EXPECT_EQ(lines[5].find("2004-01-01"), lines[0].find("valid_from")) << text;
    for (const std::string& line : lines) EXPECT_NE(line.back(), ' ') << text;

    const struct {
        std::string bytes, reason;  // reason: a part of why
    } refused[] = {
        {"device_id,flow_low_pct\nP1,abc\n", "line 2, column flow_low_pct: \"abc\" is no number"},
        {"device_id,flow_low_pct,flow_high_pct\nP1,-5,5\nP2,6,5\n",
         "line 3, column flow_low_pct: the low end 6 is above the high end 5"},
        {"device_id,occlusion_min_mmhg,occlusion_max_mmhg\nP1,600,300\n",
         "line 2, column occlusion_min_mmhg"},
        {"device_id,valid_from\n\"A,1\",2004-01-01\nA 1,2004-01-01\n",
         "line 3, column device_id: device \"A 1\" has a row valid from 2004-01-01 already, on "
         "line 2"},
        {"model,valid_from\nVP-7,\nVP-7,2004-01-01\nVP-7\n", "line 4, column valid_from: the row"},
        {"model,valid_from\nVP-7,\nVP-7,\n", "line 3, column model: model \"VP-7\" has a row"},
        {"device_id,valid_from\nP1,2004-02-30\n", "line 2, column valid_from"},
        {"device_id,interval_days\nP1,0\n", "line 2, column interval_days"},
        {"device_id,interval_days\nP1,1.5\n", "line 2, column interval_days"},
        {"device_id,set_rate_ml_h\nP1,0\n", "line 2, column set_rate_ml_h: the set rate"},
        {"device_id,model,location\n,,Ward 3\n", "line 2, column device_id: a row with neither"},
        {"location,set_rate_ml_h\nWard,100\n", "line 1: no device_id column and no model column"},
        {"Device_ID,device_id\nP1,P1\n", "line 1, column device_id: the column is named twice"},
        {"device_id,model\r\n\r\n", "line 1: no rows under the header"},
        {"\n\n", "no header row"},
        {"device_id,location\nP1,\xE2\x82\xAC\n",
         "line 2, column location: a character outside Latin-1 (U+20AC)"},
        {"device_id,location\nP1,\"a\nb\"\nP2,\"Ward 3\n", "line 4, column location: a quoted"},
        {"device_id,location\nP1,Ward \"3\"\n", "line 2, column location: a quote inside"},
        {"device_id,location\nP1,\"Ward\" 3\n", "line 2, column location: text after the"},
        {"device_id,location\nP1,Ward 3,Bed 7\n", "line 2, column 3: a field past the header"},
        {"device_id,flow_low_pct\nP1,0.0000000001\n", "line 2, column flow_low_pct"},
        // A near miss of a column would leave its limits out of every verdict.
        {"device_id,flow_hihg_pct\nP1,5\n",
         "line 1, column flow_hihg_pct: no such column; did you mean flow_high_pct?"},
        {"device_id,Flow High Pct\nP1,5\n", "did you mean flow_high_pct?"},
        {"device-id,model\nP1,A\n", "column device-id: no such column; did you mean device_id?"},
        {"device_id,occlusion_mx_mmhg\nP1,5\n", "did you mean occlusion_max_mmhg?"},
        {"device_id,interval\nP1,5\n", ""},  // an ignored column: below
        {"model,set_rate_ml_h\nVP-7,100\n", "the list names no device"},
        {"device_id,valid_from\nIV-1,\niv-1,2005-01-01\n",
         "line 3, column device_id: device \"iv-1\" differs from \"IV-1\" on line 2 only in "
         "letter"},
    };
    for (const auto& r : refused) {
        if (r.reason.empty()) continue;
        rows.assign(1, AssetRow());
        EXPECT_FALSE(readAssetList(r.bytes, &rows, &why)) << r.bytes;
        EXPECT_NE(why.find(r.reason), std::string::npos) << why;
        EXPECT_TRUE(rows.empty()) << r.bytes;
    }
    // Columns that are no near miss are ignored, and named.
    std::vector<std::string> ignored;
    ASSERT_TRUE(readAssetList("cmms_ref,device_id,notes,interval\nX,P1,,\n", &rows, &why, &ignored))
        << why;
    EXPECT_EQ(ignored, (std::vector<std::string>{"cmms_ref", "notes", "interval"}));
}

// What a list will judge nothing with, said once it is added.
TEST(ArchivePlain, AssetListWarnings) {
    auto read = [](const std::string& text) {
        std::vector<AssetRow> rows;
        std::string why;
        EXPECT_TRUE(readAssetList(text, &rows, &why)) << why;
        return rows;
    };
    const std::vector<AssetRow> previous = read(
        "device_id,model,set_rate_ml_h,flow_low_pct\nIV-1,A100,100,-5\nIV-9,A100,,\n"
        "IV-12,A100,,\n");
    const std::vector<AssetRow> list = read(
        "device_id,model,set_rate_ml_h,flow_low_pct,flow_high_pct,occlusion_min_mmhg\n"
        ",A100,100,-5,5,\nIV-1,A100,,,,\nIV-2,A1OO,,,,\nIV-3,A1OO,,,,\nIV-4,A1OO,,,,\n"
        "IV-5,,,,,\nIV-6,,,-5,5,\nIV-7,,,,,250\n");
    EXPECT_EQ(assetListWarnings(list, previous),
              (std::vector<std::string>{
                  "model A1OO: 3 devices name it, no row gives its values",
                  "4 assets have no limits, so their tests will be NOT ASSESSED: IV-2, IV-3, "
                  "IV-4, IV-5",
                  "1 asset has a flow window but no set rate, so its flow is not judged: IV-6",
                  "2 assets of the previous version are not in this one, so their past tests "
                  "become NOT ASSESSED under it (keep an asset's rows to keep its verdicts): "
                  "IV-9, IV-12"}));
    EXPECT_EQ(assetListWarnings(previous, {}),
              (std::vector<std::string>{"model A100: 3 devices name it, no row gives its values",
                                        "2 assets have no limits, so their tests will be NOT "
                                        "ASSESSED: IV-9, IV-12"}));
}

TEST(ArchivePlain, DueList) {
    std::vector<AssetRow> list;
    std::string why;
    ASSERT_TRUE(
        readAssetList("device_id,model,interval_days,valid_from\n"
                      ",VP-7,180,\n"
                      "A5,VP-7,,\n"
                      "A1,VP-7,,\n"
                      "A2,VP-7,30,\n"
                      "A3,VP-7,30,\n"
                      "A4,Q-1,,\n"
                      "A0,Q-1,,\n"
                      "A6,Q-1,10,2024-01-01\n"
                      "A6,Q-1,365,2024-07-01\n"
                      "A8,VP-7,30,\n"
                      "A9,VP-7,,2025-01-01\n"
                      "A7,Q-1,,\n",
                      &list, &why))
        << why;
    const std::map<std::string, std::string> last = {
        {"A1", "2024-01-02"},  // + 180 across 29 Feb
        {"A2", "2024-06-14"}, {"A3", "2024-06-15T09:30:00"}, {"A4", "2024-01-01"},
        {"A6", "2024-06-15"}, {"A8", "2024-05-30"},          {"A7", "2024-06-20"},
    };
    // The last test of A7 failed: it needs repair whatever its dates.
    const struct {
        const char* asOf;
        long long within;
        const char* expected;
    } rows[] = {
        {"2024-06-30", 14,
         "A7 failed, A0 never tested, A5 never tested, A9 never tested, A6 overdue 2024-06-25, "
         "A8 overdue 2024-06-29, A1 due 2024-06-30, A2 due 2024-07-14, A3 ok 2024-07-15, "
         "A4 no interval, "},
        {"2024-06-30", 0,
         "A7 failed, A0 never tested, A5 never tested, A9 never tested, A6 overdue 2024-06-25, "
         "A8 overdue 2024-06-29, A1 due 2024-06-30, A2 ok 2024-07-14, A3 ok 2024-07-15, "
         "A4 no interval, "},
        {"2024-07-01", 14,
         "A7 failed, A0 never tested, A5 never tested, A9 never tested, A8 overdue 2024-06-29, "
         "A1 overdue 2024-06-30, A2 due 2024-07-14, A3 due 2024-07-15, A6 ok 2025-06-15, "
         "A4 no interval, "},
    };
    for (const auto& row : rows) {
        std::string got;
        for (const DueEntry& e :
             dueList(list, row.asOf, row.within,
                     [&last](const std::string& device) -> std::optional<LastTest> {
                         const auto found = last.find(device);
                         if (found == last.end()) return std::nullopt;
                         return LastTest{found->second, device == "A7"};
                     }))
            got += e.deviceId + " " + dueStatusText(e.status) +
                   (e.dueDate.empty() ? "" : " " + e.dueDate) + ", ";
        EXPECT_EQ(got, row.expected) << row.asOf << " within " << row.within;
    }
}

// A connection URI as Qt's PostgreSQL driver takes it, or why it cannot be
// used.  Shown (uriWithoutPassword) as "shown" says, or unchanged when that
// is empty; "s3cret" stands in no reason and no shown URI.
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
