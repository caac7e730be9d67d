#pragma once
// The verdict of one test against the workshop's asset list, and whether
// its date can be trusted.  Plain C++.

#include <optional>
#include <string>

#include "records/testrecord.h"
#include "workshop/assetlist.h"
#include "workshop/testerlist.h"
#include "workshop/typed.h"

// The verdict of one record against the list.
enum class VerdictResult { Pass, Fail, NotAssessed, Unreadable };
enum class Criterion { None, Pass, Fail };  // None: no limits for it (null in JSON)
struct Verdict {
    VerdictResult result = VerdictResult::NotAssessed;
    std::optional<Decimal> flowErrorPercent;  // (flow - set rate) / set rate x 100
    Criterion flow = Criterion::None, occlusion = Criterion::None, peakTime = Criterion::None;
    std::optional<AssetInForce> asset;  // the limits as used
};
// The limits in force are those of the test's date (its time need not
// read).  Flow passes when flow_low_pct <= error <= flow_high_pct, with the
// set rate (either end of the window may be open); occlusion when the mmHg
// value lies inside its window (either end may be open); peak time when not
// later than its maximum.  PASS when every criterion that has limits
// passes, FAIL when any fails, NOT ASSESSED when the device is not in the
// list or has no limits, UNREADABLE when a value a criterion needs does not
// parse, or when the test's date does not read for a device in the list.
// Never PASS by default.
Verdict judge(const TestRecord& record, const AssetIndex& list);
Verdict judge(const TestRecord& record, const std::vector<AssetRow>& rows);
// The same from the record's typed values, read once.
Verdict judge(const TestRecord& record, const TypedRecord& typed, const AssetIndex& list);

// "PASS", "FAIL", "NOT ASSESSED", "UNREADABLE"; and the words of history
// --result: "pass", "fail", "not-assessed", "unreadable".
const char* resultText(VerdictResult result);
std::optional<VerdictResult> resultFromWord(const std::string& word);
// The criteria that failed, "flow, occlusion"; and the verdict in words,
// "FAIL (flow)" or "PASS".
std::string failedCriteria(const Verdict& verdict);
std::string verdictWords(const Verdict& verdict);

// The test's date against the time the archive first received it
// (isoLocalTime form): dated more than a day after it (a tester's clock
// set ahead), or not readable at all.  Such a test keeps its verdict but
// never counts as an asset's last test.
enum class DateCheck { Ok, AfterReceipt, Unreadable };
DateCheck dateCheck(const TestRecord& record, const std::string& received);
DateCheck dateCheck(const TypedRecord& typed, const std::string& received);
const char* dateCheckText(DateCheck check);  // "ok", "after receipt", "unreadable"

// One test as every output reads it: the record, its texts read once as
// typed values, its verdict and what flags it: whether its date can be
// trusted, whether its tester was in calibration, whether its asset had
// left the inventory.
struct JudgedTest {
    TestRecord record;
    TypedRecord typed;
    Verdict verdict;
    DateCheck date = DateCheck::Ok;
    std::string received;  // when the archive first received it (isoLocalTime form)
    std::string tester;    // its tester's serial number
    Calibration calibration = Calibration::Unknown;
    bool afterRetirement = false;  // dated on or after its asset's retired_from
};

// The versions of the asset list and the tester list that judge the tests
// of one run (number 0 and no rows: there is none; without an asset list
// every test is NOT ASSESSED, without a tester list every tester unknown).
struct JudgingList {
    long long number = 0;
    AssetIndex assets;
    long long testerList = 0;
    TesterIndex testers;
    // received: when the archive first received the record (isoLocalTime
    // form), for its date check; tester: its tester's serial number.
    JudgedTest test(const TestRecord& record, const std::string& received,
                    const std::string& tester = std::string()) const;
};
