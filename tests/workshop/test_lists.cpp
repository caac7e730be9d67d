// The workshop's lists and what they decide, with no database: the typed
// values of a record, the asset list read whole or refused and its
// warnings, the verdicts, the due list.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "tests/core/records.h"
#include "workshop/due.h"
#include "workshop/typed.h"
#include "workshop/verdict.h"

namespace {

TEST(WorkshopLists, TypedValuesOrNull) {
    EXPECT_EQ(isoTestTime("29 Dec 2003", "18:34"), "2003-12-29T18:34:00");
    EXPECT_EQ(isoTestTime("29 Feb 2004", "00:00"), "2004-02-29T00:00:00");
    // Read after the comma rule, whatever the month's letter case.
    EXPECT_EQ(isoTestTime(" 7,mAR,0026 ", " 9:05"), "0026-03-07T09:05:00");
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

TEST(WorkshopLists, VerdictsAgainstTheAssetList) {
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
        // A time of receipt that does not read flags nothing.
        {"9 Jan 2004", "10:00", "2004-1-01T10:00:00+01:00", DateCheck::Ok},
        {"9 Jan 2004", "10:00", "2004-01-01 10:00:00", DateCheck::Ok},
        {"9 Jan 2004", "10:00", "2004-01-01", DateCheck::AfterReceipt},
    };
    for (const auto& d : dates)
        EXPECT_EQ(dateCheck(makeRecord("P", d.date, d.time), d.received), d.check)
            << d.date << " " << d.time << " received " << d.received;
}

TEST(WorkshopLists, AssetListReadWholeOrRefused) {
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
              "occlusion_min_mmhg,occlusion_max_mmhg,peak_time_max_s,interval_days,valid_from,"
              "asset_tag,retired_from\r\n"
              "P1,VP-7,\"Ward 3, Bed 7\r\nby the door\",,,,,,,180,,,");
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
        // An asset's life: its tag and retirement alike on all its rows, and
        // a retirement only of an asset.
        {"device_id,retired_from\nIV-1,1 Jul 2026\n", "line 2, column retired_from: \"1 Jul"},
        {"device_id,model,retired_from\n,A100,2026-07-01\nIV-1,A100,\n",
         "line 2, column retired_from: a model row retires no asset"},
        {"device_id,asset_tag,valid_from\nIV-1,T-1,\nIV-1,T-2,2026-01-01\n",
         "line 3, column asset_tag: device \"IV-1\" has asset_tag \"T-1\" on line 2"},
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
TEST(WorkshopLists, AssetListWarnings) {
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
                  "become NOT ASSESSED under it (to retire an asset, keep its rows and give "
                  "retired_from): "
                  "IV-9, IV-12"}));
    EXPECT_EQ(assetListWarnings(previous, {}),
              (std::vector<std::string>{"model A100: 3 devices name it, no row gives its values",
                                        "2 assets have no limits, so their tests will be NOT "
                                        "ASSESSED: IV-9, IV-12"}));
}

TEST(WorkshopLists, DueList) {
    std::vector<AssetRow> list;
    std::string why;
    ASSERT_TRUE(
        readAssetList("device_id,model,interval_days,valid_from,asset_tag,retired_from\n"
                      ",VP-7,180,,,\n"
                      "A5,VP-7,,,,\n"
                      "A1,VP-7,,,,\n"
                      "A2,VP-7,30,,,\n"
                      "A3,VP-7,30,,,\n"
                      "A4,Q-1,,,,\n"
                      "A0,Q-1,,,,\n"
                      "A6,Q-1,10,2024-01-01,,\n"
                      "A6,Q-1,365,2024-07-01,,\n"
                      "A8,VP-7,30,,,\n"
                      "A9,VP-7,,2025-01-01,,\n"
                      "A7,Q-1,,,,\n"
                      "A10,VP-7,30,,T-10,2024-07-01\n",
                      &list, &why))
        << why;
    const std::map<std::string, std::string> last = {
        {"A1", "2024-01-02"},  // + 180 across 29 Feb
        {"A2", "2024-06-14"},  {"A3", "2024-06-15T09:30:00"}, {"A4", "2024-01-01"},
        {"A6", "2024-06-15"},  {"A8", "2024-05-30"},          {"A7", "2024-06-20"},
        {"A10", "2024-05-30"},
    };
    // The last test of A7 failed: it needs repair whatever its dates.  A10
    // leaves the inventory on 1 July.
    const struct {
        const char* asOf;
        long long within;
        const char* expected;
    } rows[] = {
        {"2024-06-30", 14,
         "A7 failed, A0 never tested, A5 never tested, A9 never tested, A6 overdue 2024-06-25, "
         "A10 overdue 2024-06-29, A8 overdue 2024-06-29, A1 due 2024-06-30, A2 due 2024-07-14, "
         "A3 ok 2024-07-15, A4 no interval, "},
        {"2024-06-30", 0,
         "A7 failed, A0 never tested, A5 never tested, A9 never tested, A6 overdue 2024-06-25, "
         "A10 overdue 2024-06-29, A8 overdue 2024-06-29, A1 due 2024-06-30, A2 ok 2024-07-14, "
         "A3 ok 2024-07-15, A4 no interval, "},
        {"2024-07-01", 14,
         "A7 failed, A0 never tested, A5 never tested, A9 never tested, A8 overdue 2024-06-29, "
         "A1 overdue 2024-06-30, A2 due 2024-07-14, A3 due 2024-07-15, A6 ok 2025-06-15, "
         "A4 no interval, A10 retired 2024-06-29, "},
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
    EXPECT_EQ(assetInForce(list, "A10", "2024-06-01")->assetTag, "T-10");

    // The testers: the calibration in force on a date, and those due.
    std::vector<TesterRow> testers;
    ASSERT_TRUE(
        readTesterList("tester_serial,calibrated_on,calibration_due,certificate\n"
                       "SN1,2023-07-01,2024-07-01,C-1\nSN1,2024-07-02,2025-07-01,C-2\n"
                       "SN2,2023-01-01,2024-06-20,\nSN3,2024-01-01,2024-07-10,\n",
                       &testers, &why))
        << why;
    for (const auto& [list, reason] :
         {std::pair{"tester_serial,calibrated_on\nSN1,2024-01-01\n", "line 1: no calibration_due"},
          std::pair{"tester_serial,calibrated_on,calibration_due\nSN1,2024-01-01,2023-12-31\n",
                    "line 2, column calibration_due: due on 2023-12-31, before"},
          std::pair{"tester_serial,calibrated_on,calibration_due\n,2024-01-01,2025-01-01\n",
                    "line 2, column tester_serial: a row without"},
          std::pair{"tester_serial,calibrated_on,calibration_due\nSN1,2024-01-01,2025-01-01\n"
                    "SN1,2024-01-01,2026-01-01\n",
                    "line 3, column calibrated_on: tester \"SN1\" was calibrated on 2024-01-01"},
          std::pair{"tester_serial,calibrated_on,calibraton_due\n",
                    "did you mean calibration_due?"}}) {
        std::vector<TesterRow> refused;
        EXPECT_FALSE(readTesterList(list, &refused, &why)) << list;
        EXPECT_NE(why.find(reason), std::string::npos) << why;
    }
    const TesterIndex index(testers);
    std::string states;
    for (const auto& [serial, date] :
         {std::pair{"SN1", "2023-07-01"}, std::pair{"SN1", "2024-07-01"},
          std::pair{"SN1", "2024-07-02T08:00:00"}, std::pair{"SN1", "2023-06-30"},
          std::pair{"SN2", "2024-06-21"}, std::pair{"SN2", ""}, std::pair{"SN9", "2024-01-01"}})
        states += std::string(calibrationText(index.calibration(serial, date))) + " ";
    EXPECT_EQ(states, "valid valid valid expired expired expired unknown ");
    std::string due;
    for (const TesterDue& t : testersDue(index, "2024-06-30", 14))
        due += t.serial + " " + dueStatusText(t.status) + " " + t.calibrationDue + ", ";
    EXPECT_EQ(due, "SN2 overdue 2024-06-20, SN3 due 2024-07-10, SN1 ok 2025-07-01, ");
}

// A connection URI as Qt's PostgreSQL driver takes it, or why it cannot be
// used.  Shown (uriWithoutPassword) as "shown" says, or unchanged when that
// is empty; "s3cret" stands in no reason and no shown URI.
}  // namespace
