#pragma once
// The workshop's tester list: each tester's calibrations, so that a test is
// known to come from an instrument in calibration.  Read by the same list
// reader and rules as the asset list; the archive keeps its versions.
// Plain C++.

#include <map>
#include <string>
#include <vector>

#include "workshop/table.h"

// One calibration of one tester.
struct TesterRow {
    int line = 0;                // in the file it came from (the header is line 1)
    std::string serial;          // tester_serial, as the tester gives it
    std::string calibratedOn;    // ISO date
    std::string calibrationDue;  // ISO date, on or after calibratedOn
    std::string certificate;     // free text
};

// The file's columns, in the order testers --csv writes them.
extern const char* const kTesterColumns[4];

// Reads a tester list as the asset list is read (workshop/listreader.h):
// refused whole, with the line and column, for a row without a serial
// number or either date, a date that is no date, a calibration due before
// it was made, one tester calibrated twice on one day, or a list of no rows.
bool readTesterList(const std::string& bytes, std::vector<TesterRow>* rows, std::string* why,
                    std::vector<std::string>* ignoredColumns = nullptr);

// The list as testers writes it: CSV (UTF-8, CR LF) and an aligned text table.
std::string testerListCsv(const std::vector<TesterRow>& rows,
                          CsvFor reader = CsvFor::ReadingBack);
std::string testerListText(const std::vector<TesterRow>& rows);

// Whether the tester was in calibration on a test's date: valid (the date
// lies from a calibration's calibrated_on to its calibration_due), expired
// (the tester is in the list but no calibration covers the date, or the
// date does not read), unknown (the tester is not in the list).
enum class Calibration { Valid, Expired, Unknown };
const char* calibrationText(Calibration c);  // "valid", "expired", "unknown"

class TesterIndex {
public:
    explicit TesterIndex(std::vector<TesterRow> rows = {});
    const std::vector<TesterRow>& rows() const { return rows_; }
    // date: ISO date (or date and time); empty when the test's date does
    // not read.
    Calibration calibration(const std::string& serial, const std::string& date) const;
    // The tester's latest calibration (by calibrated_on); nullptr: none.
    const TesterRow* latest(const std::string& serial) const;

private:
    std::vector<TesterRow> rows_;
    std::map<std::string, std::vector<std::size_t>> bySerial_;
};
