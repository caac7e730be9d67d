#pragma once
// How records read on screen: the ten list columns, the values of the
// single record page, the record chooser's entries, the navigation steps
// and the list page's layout rule.  Plain functions, so that the views only
// put these texts into their controls.

#include <string>

#include "records/testrecord.h"

constexpr int kListColumns = 10;

// Header text of list column c (" # ", " Device ID ", ...).
const char* listHeaderText(int column);

// Cell text of list column c for the record shown in data row `row`
// (counted from 1), e.g. " 3 ", " 29 Dec 2003 ", " 376 mmHg ", " 7.27 PSI ".
std::string listCellText(const TestRecord& record, unsigned row, int column);

// The eight value texts of the single record page and the record number.
struct SingleRecordTexts {
    std::string recordNumber;  // "%d" of index + 1
    std::string deviceID;      // "%s"
    std::string testTime;      // "%s (hh:mm)"
    std::string testDate;      // "%s"
    std::string flowRate;      // "%s ml/hr"
    std::string volume;        // "%s ml"
    std::string occlPressure;  // "%s mmHg (%s %s)"
    std::string opPeakTime;    // "%s (mm:ss)"
    std::string testDuration;  // "%s (hh:mm:ss)"
};
SingleRecordTexts singleRecordTexts(const TestRecord& record, unsigned index);

// Entry i of the record chooser: " %d" of i + 1.
std::string chooserEntryText(unsigned index);

// The four step buttons; they clamp at the ends and never wrap.
enum class NavStep { Next, Jump5, Prev, Back5 };
unsigned navigate(NavStep step, unsigned current, unsigned count);

// Positions the main window's resize rule gives, from its outer size W x H.
struct ListPageLayout {
    int dataViewWidth;
    int dataViewHeight;
    int bottomButtonsTop;
    int gridWidth;
    int gridHeight;
};
ListPageLayout listPageLayout(int outerWidth, int outerHeight);
