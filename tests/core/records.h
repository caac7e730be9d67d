#pragma once
// Building test records for the tests.

#include <string>

#include "records/testrecord.h"

inline TestRecord makeRecord(const std::string& id, const std::string& date = "29 Dec 2003",
                             const std::string& time = "18:34", char unit = 'p') {
    TestRecord r = emptyRecord();
    r.pressureUnits = unit;
    SET_FIELD(r, deviceID, id);
    SET_FIELD(r, testDate, date);
    SET_FIELD(r, testTime, time);
    SET_FIELD(r, flow, "5.183");
    SET_FIELD(r, volume, "5.183");
    SET_FIELD(r, testDuration, "88:48:39");
    SET_FIELD(r, pressureMMHG, "376");
    SET_FIELD(r, pressureUser, "7.27");
    SET_FIELD(r, peakPressureTime, "16:32");
    return r;
}
