#include "workshop/verdict.h"

#include "records/calendar.h"
#include "workshop/identity.h"
#include "workshop/typed.h"

namespace {

std::string lowered(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

}  // namespace

Verdict judge(const TestRecord& record, const std::vector<AssetRow>& rows) {
    const AssetIndex list(rows);
    Verdict verdict = judge(record, list);
    // The row found must point into rows, which outlive the index.
    if (verdict.asset)
        verdict.asset->row =
            &rows[static_cast<std::size_t>(verdict.asset->row - list.rows().data())];
    return verdict;
}

Verdict judge(const TestRecord& record, const AssetIndex& list) {
    return judge(record, typedRecord(record), list);
}

Verdict judge(const TestRecord& record, const TypedRecord& typed, const AssetIndex& list) {
    Verdict verdict;
    // The limits in force are those of the test's date, whatever its time.
    if (!typed.tested) {
        // A test that cannot be placed in time cannot be placed against
        // limits that change with time: doubtful, whatever its values.
        const std::string identity = identityText(FIELD_TEXT(record, deviceID));
        if (!identity.empty() && !list.ofDevice(identity).empty())
            verdict.result = VerdictResult::Unreadable;
        return verdict;
    }
    verdict.asset = assetInForce(list, FIELD_TEXT(record, deviceID), typed.tested->substr(0, 10));
    if (!verdict.asset) return verdict;
    const AssetValues& limits = verdict.asset->values;

    bool judged = false, failed = false, unreadable = false;
    // A criterion with limits: its value read (or unreadable), then judged.
    auto decide = [&](Criterion* criterion, std::optional<bool> passes) {
        judged = true;
        if (!passes) {
            unreadable = true;
            return;
        }
        *criterion = *passes ? Criterion::Pass : Criterion::Fail;
        failed = failed || !*passes;
    };

    // A number that reads (no sign, no exponent), held exactly.
    const std::optional<Decimal> flow = typed.flow ? typed.flowDecimal : std::nullopt;
    const bool rate = limits.setRate && limits.setRate->units() > 0;
    if (rate && flow) verdict.flowErrorPercent = percentError(*flow, *limits.setRate);
    if (rate && hasFlowWindow(limits))
        decide(&verdict.flow, flow ? percentErrorWithin(*flow, *limits.setRate, limits.flowLowPct,
                                                        limits.flowHighPct)
                                   : std::nullopt);

    if (limits.occlusionMin || limits.occlusionMax) {
        const std::optional<Decimal> mmHg =
            typed.pressureMmHg ? typed.pressureMmHgDecimal : std::nullopt;
        decide(&verdict.occlusion,
               mmHg ? std::optional<bool>((!limits.occlusionMin || *limits.occlusionMin <= *mmHg) &&
                                          (!limits.occlusionMax || *mmHg <= *limits.occlusionMax))
                    : std::nullopt);
    }

    if (limits.peakTimeMax) {
        const std::optional<long long>& peak = typed.peakSeconds;
        decide(&verdict.peakTime,
               peak ? std::optional<bool>(Decimal::fromInteger(*peak) <= *limits.peakTimeMax)
                    : std::nullopt);
    }

    // A failed criterion fails the test even when another value does not
    // read; a test passes only when every criterion with limits was judged
    // and passed.
    verdict.result = !judged      ? VerdictResult::NotAssessed
                     : failed     ? VerdictResult::Fail
                     : unreadable ? VerdictResult::Unreadable
                                  : VerdictResult::Pass;
    return verdict;
}

DateCheck dateCheck(const TestRecord& record, const std::string& received) {
    return dateCheck(typedRecord(record), received);
}

DateCheck dateCheck(const TypedRecord& typed, const std::string& received) {
    if (!typed.tested) return DateCheck::Unreadable;
    const std::optional<double> testDay = daysOfIso(*typed.tested);
    const std::optional<double> receivedDay = daysOfIso(received.substr(0, 19));
    // A day's grace for a tester's clock that runs a little ahead.
    return testDay && receivedDay && *testDay > *receivedDay + 1 ? DateCheck::AfterReceipt
                                                                 : DateCheck::Ok;
}

const char* dateCheckText(DateCheck check) {
    switch (check) {
        case DateCheck::Ok:
            return "ok";
        case DateCheck::AfterReceipt:
            return "after receipt";
        case DateCheck::Unreadable:
            break;
    }
    return "unreadable";
}

const char* resultText(VerdictResult result) {
    switch (result) {
        case VerdictResult::Pass:
            return "PASS";
        case VerdictResult::Fail:
            return "FAIL";
        case VerdictResult::NotAssessed:
            return "NOT ASSESSED";
        case VerdictResult::Unreadable:
            return "UNREADABLE";
    }
    return "NOT ASSESSED";
}

std::optional<VerdictResult> resultFromWord(const std::string& word) {
    const std::string w = lowered(word);
    if (w == "pass") return VerdictResult::Pass;
    if (w == "fail") return VerdictResult::Fail;
    if (w == "not-assessed") return VerdictResult::NotAssessed;
    if (w == "unreadable") return VerdictResult::Unreadable;
    return std::nullopt;
}

JudgedTest JudgingList::test(const TestRecord& record, const std::string& received,
                             const std::string& tester) const {
    JudgedTest t{record, typedRecord(record), Verdict(), DateCheck::Ok, received, tester};
    t.verdict = judge(record, t.typed, assets);
    t.date = dateCheck(t.typed, received);
    const std::string day = t.typed.tested ? t.typed.tested->substr(0, 10) : std::string();
    t.calibration = testers.calibration(tester, day);
    t.afterRetirement = t.verdict.asset && !t.verdict.asset->retiredFrom.empty() && !day.empty() &&
                        t.verdict.asset->retiredFrom <= day;
    return t;
}

std::string failedCriteria(const Verdict& v) {
    std::string text;
    for (const auto& [criterion, name] :
         {std::pair{v.flow, "flow"}, std::pair{v.occlusion, "occlusion"},
          std::pair{v.peakTime, "peak time"}})
        if (criterion == Criterion::Fail) text += (text.empty() ? "" : ", ") + std::string(name);
    return text;
}

std::string verdictWords(const Verdict& v) {
    return v.result == VerdictResult::Fail ? std::string("FAIL (") + failedCriteria(v) + ")"
                                           : resultText(v.result);
}
