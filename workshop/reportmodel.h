#pragma once
// What the workshop report says, worked out from the tests of its period:
// the summary (counts by result and by model, the failed tests, the flagged
// tests, the due list's counts, what needs doing, the devices) and one
// section per device (its limits, last test and due date, two plots, the
// table of its tests), as the blocks of workshop/report.h that its PDF and
// web page show.  Plain C++, fed a plain request.
//
// A report of any size is made in two passes: every test of the period is
// added once for the summary, which keeps only its figures and rows, never
// the tests; then each device's section is made from that device's tests
// alone, so that no more than one device's tests are held at a time.

#include <array>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "workshop/due.h"
#include "workshop/report.h"
#include "workshop/verdict.h"

// What a report is asked for.
struct WorkshopRequest {
    std::string archive;         // as the summary names it (a password masked)
    std::string device, tester;  // the filters as given; empty: none
    std::string since, until;    // ISO dates as given; empty: the period's default
    std::string asOf;            // ISO date the limits and the due list are as of
    long long within = 30;       // the due list's "due within" days
    // A date as the reader's locale writes it; ISO when not set.
    std::function<std::string(int year, int month, int day)> dateText;
};

// The period a report covers: since to until, each by default the twelve
// months up to asOf.
struct WorkshopPeriod {
    std::string first, last;  // ISO dates
};
WorkshopPeriod workshopPeriod(const WorkshopRequest& request);

class WorkshopReportModel {
public:
    // due: the due list of the judging list as of the request's asOf.
    WorkshopReportModel(WorkshopRequest request, const JudgingList& list,
                        std::vector<DueEntry> due);

    const WorkshopPeriod& period() const { return period_; }
    // A test of the period (or one whose date does not read), for the
    // summary.
    void add(const JudgedTest& test);
    std::size_t count() const { return count_; }
    // Tests of the filters that lie outside the period, for the summary.
    void setOutside(long long outside) { outside_ = outside; }
    // The devices the archive holds tests of that the asset list does not
    // name (the exception queue).
    void setUnknown(std::vector<UnknownDevice> unknown) { unknown_ = std::move(unknown); }
    // A device as the report names it: its ID, or that it has none.
    static std::string shownId(const std::string& id) { return id.empty() ? "(no ID)" : id; }
    // The devices with tests, in the report's order (by device ID): each
    // section's number is its place here, from 1.
    struct DeviceEntry {
        std::string key;  // identityText of its ID
        std::string id;   // as the first of its tests keyed it
    };
    std::vector<DeviceEntry> devices() const;

    // The report's title, and its stamp made now (isoLocalTime form).
    std::string title() const { return "Workshop Report"; }
    std::string stamp(const std::string& now) const;
    // Where the summary links a device's section: an anchor of one page
    // ("#device-3"), or a page of its own ("device-3.html").
    enum class Links { OnePage, PagePerDevice };
    WorkshopSection summary(Links links = Links::OnePage) const;
    // The section of device number (from 1), from all its tests of the
    // period, in test order.
    WorkshopSection section(std::size_t number, const std::vector<JudgedTest>& tests) const;
    // The whole report at once, each device's tests from testsOf.
    WorkshopReport build(
        const std::string& now,
        const std::function<std::vector<JudgedTest>(const DeviceEntry&)>& testsOf) const;

private:
    // What the summary keeps of a device's tests.
    struct Device {
        std::string id;               // as the first of its tests keyed it
        std::string model, location;  // its latest test's asset row's
        std::size_t tests = 0, fails = 0;
        std::vector<std::vector<std::string>> failed, flagged;  // the summary's rows
    };
    // The summary's parts, in its order.
    void testCounts(WorkshopSection* s) const;
    void failures(WorkshopSection* s) const;
    void flagged(WorkshopSection* s) const;
    void maintenance(WorkshopSection* s) const;
    void needsDoing(WorkshopSection* s, const std::map<std::string, std::string>& links) const;
    void unknownDevices(WorkshopSection* s, const std::map<std::string, std::string>& links) const;
    void deviceList(WorkshopSection* s, const std::map<std::string, std::string>& links) const;
    // The due list's entries the report covers (all, or --device's).
    std::vector<const DueEntry*> dueEntries() const;
    // Each device's section link, by its device key.
    std::map<std::string, std::string> links(Links links) const;
    Plot plot(const std::vector<JudgedTest>& tests, const std::string& id, bool flow) const;
    std::vector<PlotBand> band(const std::string& deviceId, bool flow, bool errorPercent) const;
    std::string date(const std::string& iso) const;
    std::string tested(const JudgedTest& t) const;
    std::string periodText() const { return date(period_.first) + " to " + date(period_.last); }

    WorkshopRequest request_;
    const JudgingList& list_;
    WorkshopPeriod period_;
    std::map<std::string, Device> devices_;  // by device key, so by device ID
    std::size_t count_ = 0;
    std::array<std::size_t, 4> byResult_{};  // by VerdictResult
    // By model; nullopt: devices not in the asset list.
    std::map<std::optional<std::string>, std::array<std::size_t, 4>> byModel_;
    std::map<std::string, std::size_t> expired_;  // tests by tester out of calibration
    long long outside_ = 0;
    std::map<std::string, DueEntry> due_;  // by device key
    std::vector<UnknownDevice> unknown_;
};
