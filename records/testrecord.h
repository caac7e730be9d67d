#pragma once
// One test result as the tester reports it: fixed-size, zero-terminated
// single-byte texts, copied whole between record sets.

#include <array>
#include <cstddef>
#include <string>

struct TestRecord {
    char pressureUnits;         // code of the user's pressure unit (see unitName)
    char deviceID[20];          // up to 16 characters
    char flow[16];              // up to 5, ml/hr
    char pressureMMHG[16];      // up to 4
    char pressureUser[16];      // up to 4, in the unit named by pressureUnits
    char volume[16];            // up to 5, ml
    char peakPressureTime[16];  // up to 5, mm:ss
    char testDuration[16];      // up to 8, hh:mm:ss
    char testTime[16];          // up to 5, hh:mm
    char testDate[16];          // up to 11, "29 Dec 2003"
    unsigned char selected;     // 0 or 1
};

static_assert(sizeof(TestRecord) == 150, "TestRecord must keep its fixed layout");
static_assert(offsetof(TestRecord, deviceID) == 1, "field widths");
static_assert(offsetof(TestRecord, flow) == 21, "field widths");
static_assert(offsetof(TestRecord, testDate) == 133, "field widths");
static_assert(offsetof(TestRecord, selected) == 149, "field widths");

// Unit code to unit name: p "PSI", k "kPa", b "Bar", any other byte "mmHg".
const char* unitName(char pressureUnits);
// Its inverse: 'p' for "PSI", 'k' "kPa", 'b' "Bar", and 'm' (whose name is
// "mmHg") for "mmHg" or anything else.
char unitCode(const std::string& name);

// The comma rule: every comma of a text read as a space.  The CSV export
// writes the fields so, and a record's identity and typed values read them
// so, which makes a record and its CSV export one record.
std::string commasAsSpaces(std::string text);

// A record field as text: up to its terminator, never past its width.
std::string fieldText(const char* field, std::size_t width);
#define FIELD_TEXT(record, name) fieldText((record).name, sizeof((record).name))

// The nine labelled lines of one record, without line ends, as saved text
// files in the individual record format and the printed record layout show
// them.  index is the record's 0-based position in displayRecords.
std::array<std::string, 9> recordBlockLines(const TestRecord& record, unsigned index);

// A record with every byte zero (empty texts, unit code 0, not selected).
TestRecord emptyRecord();

// Copies text into a record field of the given size, cut to fit and always
// zero-terminated; the rest of the field is zero-filled.  For tests and the
// virtual tester.
void setField(char* field, std::size_t fieldSize, const std::string& text);
#define SET_FIELD(record, name, text) setField((record).name, sizeof((record).name), (text))
