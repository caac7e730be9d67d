#include "records/viewformat.h"

#include <cstdio>

namespace {

const char* const kHeaders[kListColumns] = {
    " # ",    " Device ID ",     " Date ",     " Time ",     " Flow Rate ",
    " Volume ", " Test Duration ", " Pressure ", " Pressure ", " OP Peak Time ",
};

#define FIELD(r, name) FIELD_TEXT(r, name)

std::string padded(const std::string& value) { return " " + value + " "; }

}  // namespace

const char* listHeaderText(int column) {
    return column >= 0 && column < kListColumns ? kHeaders[column] : "";
}

std::string listCellText(const TestRecord& r, unsigned row, int column) {
    switch (column) {
        case 0: return padded(std::to_string(row));
        case 1: return padded(FIELD(r, deviceID));
        case 2: return padded(FIELD(r, testDate));
        case 3: return padded(FIELD(r, testTime));
        case 4: return padded(FIELD(r, flow));
        case 5: return padded(FIELD(r, volume));
        case 6: return padded(FIELD(r, testDuration));
        case 7: return padded(FIELD(r, pressureMMHG) + " mmHg");
        case 8: return padded(FIELD(r, pressureUser) + " " + unitName(r.pressureUnits));
        case 9: return padded(FIELD(r, peakPressureTime));
        default: return std::string();
    }
}

SingleRecordTexts singleRecordTexts(const TestRecord& r, unsigned index) {
    SingleRecordTexts t;
    t.recordNumber = std::to_string(index + 1);
    t.deviceID = FIELD(r, deviceID);
    t.testTime = FIELD(r, testTime) + " (hh:mm)";
    t.testDate = FIELD(r, testDate);
    t.flowRate = FIELD(r, flow) + " ml/hr";
    t.volume = FIELD(r, volume) + " ml";
    t.occlPressure = FIELD(r, pressureMMHG) + " mmHg (" + FIELD(r, pressureUser) + " " +
                     unitName(r.pressureUnits) + ")";
    t.opPeakTime = FIELD(r, peakPressureTime) + " (mm:ss)";
    t.testDuration = FIELD(r, testDuration) + " (hh:mm:ss)";
    return t;
}

std::string chooserEntryText(unsigned index) { return " " + std::to_string(index + 1); }

unsigned navigate(NavStep step, unsigned c, unsigned n) {
    if (n == 0) return 0;
    switch (step) {
        case NavStep::Next: return c + 1 >= n ? n - 1 : c + 1;
        case NavStep::Jump5: return c + 5 >= n ? n - 1 : c + 5;
        case NavStep::Prev: return c == 0 ? 0 : c - 1;
        case NavStep::Back5: return c < 5 ? 0 : c - 5;
    }
    return c;
}

ListPageLayout listPageLayout(int w, int h) {
    ListPageLayout l;
    l.dataViewWidth = w;
    l.dataViewHeight = h - 68;
    l.bottomButtonsTop = l.dataViewHeight - 54;
    l.gridHeight = l.dataViewHeight - 90;
    l.gridWidth = l.dataViewWidth - 40;
    return l;
}
