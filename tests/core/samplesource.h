#pragma once
// The records the saved-file tests write.

#include <sys/resource.h>

#include <csignal>

#include "save/writers.h"
#include "tests/core/records.h"

// Four records: the sample record, one with a comma and a code that is no
// unit, one with bytes that look like formats and bytes above 127, and one
// with a long device ID.
inline SaveSource sampleSource() {
    SaveSource s;
    s.tester.id = "T1";
    s.tester.serial = "S1";
    s.stamp = "12/29/03 18:34:00";
    s.records.push_back(makeRecord("123-456-789-012"));
    TestRecord comma = makeRecord("12,34", "5 Jun 2004", "09:15", 'x');
    SET_FIELD(comma, pressureMMHG, "1234");
    SET_FIELD(comma, flow, "1,5");
    comma.selected = 1;
    s.records.push_back(comma);
    TestRecord hostile = makeRecord("%s%n%x\xe9\xff", "30 Jan 2004", "%d:%p", 'k');
    SET_FIELD(hostile, pressureUser, "\xef\xbc\x91");  // a full-width digit in UTF-8
    hostile.selected = 1;
    s.records.push_back(hostile);
    s.records.push_back(makeRecord("LONG-DEVICE-ID-016", "14 Feb 2005", "23:59", 'b'));
    return s;
}

// While it lives, no file may grow past 100 bytes, as on a full disk: a
// write beyond fails with EFBIG instead of killing the process.
class SmallFileLimit {
public:
    SmallFileLimit() : previousHandler_(std::signal(SIGXFSZ, SIG_IGN)) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        struct rlimit small = saved_;
        small.rlim_cur = 100;
        ok_ = setrlimit(RLIMIT_FSIZE, &small) == 0;
    }
    ~SmallFileLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previousHandler_);
    }
    bool ok() const { return ok_; }

private:
    void (*previousHandler_)(int);
    struct rlimit saved_ {};
    bool ok_ = false;
};
