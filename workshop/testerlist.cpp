#include "workshop/testerlist.h"

#include "workshop/listreader.h"
#include "workshop/table.h"
#include "workshop/typed.h"

const char* const kTesterColumns[4] = {"tester_serial", "calibrated_on", "calibration_due",
                                       "certificate"};

namespace {

enum Column { Serial, CalibratedOn, CalibrationDue, Certificate, kColumns };

std::vector<std::string> cellsOf(const TesterRow& r) {
    return {r.serial, r.calibratedOn, r.calibrationDue, r.certificate};
}

}  // namespace

bool readTesterList(const std::string& bytes, std::vector<TesterRow>* rows, std::string* why,
                    std::vector<std::string>* ignoredColumns) {
    std::string ignored;
    if (!why) why = &ignored;
    rows->clear();
    ListReader list(bytes, std::vector<std::string>(kTesterColumns, kTesterColumns + kColumns));
    auto failed = [&] {
        *why = list.why();
        return false;
    };
    if (!list.header()) return failed();
    for (int c : {Serial, CalibratedOn, CalibrationDue})
        if (!list.named(static_cast<std::size_t>(c)))
            return *why = formatted("line %d: no %s column", list.headerLine(), kTesterColumns[c]),
                   false;
    std::vector<TesterRow> read;
    std::map<std::pair<std::string, std::string>, int> seen;  // first line of each calibration
    while (list.next()) {
        auto refuse = [&](int c, const std::string& text) {
            list.refuse(static_cast<std::size_t>(c), text);
            return failed();
        };
        TesterRow r;
        r.line = list.line();
        r.serial = list.cell(Serial);
        r.calibratedOn = list.cell(CalibratedOn);
        r.calibrationDue = list.cell(CalibrationDue);
        r.certificate = list.cell(Certificate);
        if (r.serial.empty()) return refuse(Serial, "a row without a tester's serial number");
        for (const auto& [c, date] : {std::pair{CalibratedOn, &r.calibratedOn},
                                      std::pair{CalibrationDue, &r.calibrationDue}})
            if (!isIsoDate(*date))
                return refuse(c, "\"" + shownCell(*date) + "\" is no date (YYYY-MM-DD)");
        if (r.calibrationDue < r.calibratedOn)
            return refuse(CalibrationDue, "due on " + r.calibrationDue +
                                              ", before it was made on " + r.calibratedOn);
        const auto [first, fresh] = seen.emplace(std::pair(r.serial, r.calibratedOn), r.line);
        if (!fresh)
            return refuse(CalibratedOn, formatted("tester \"%s\" was calibrated on %s already, "
                                                  "on line %d",
                                                  shownCell(r.serial).c_str(),
                                                  r.calibratedOn.c_str(), first->second));
        read.push_back(std::move(r));
    }
    if (!list.why().empty()) return failed();
    if (read.empty())
        return *why = formatted("line %d: no rows under the header", list.headerLine()), false;
    *rows = std::move(read);
    if (ignoredColumns) *ignoredColumns = list.ignoredColumns();
    return true;
}

std::string testerListCsv(const std::vector<TesterRow>& rows, CsvFor reader) {
    const bool sheet = reader == CsvFor::Spreadsheets;
    const std::vector<bool> text = {sheet, false, false, sheet};  // serial, certificate
    std::string out = csvRow(std::vector<std::string>(kTesterColumns, kTesterColumns + kColumns));
    for (const TesterRow& r : rows) {
        std::vector<std::string> cells;
        for (const std::string& cell : cellsOf(r)) cells.push_back(latin1ToUtf8(cell));
        out += csvRow(cells, text);
    }
    return out;
}

std::string testerListText(const std::vector<TesterRow>& rows) {
    std::vector<std::vector<std::string>> table{
        std::vector<std::string>(kTesterColumns, kTesterColumns + kColumns)};
    for (const TesterRow& r : rows) {
        table.push_back(cellsOf(r));
    }
    return alignedTable(table, {false, false, false, false});
}

const char* calibrationText(Calibration c) {
    switch (c) {
        case Calibration::Valid:
            return "valid";
        case Calibration::Expired:
            return "expired";
        case Calibration::Unknown:
            break;
    }
    return "unknown";
}

TesterIndex::TesterIndex(std::vector<TesterRow> rows) : rows_(std::move(rows)) {
    for (std::size_t i = 0; i < rows_.size(); ++i) bySerial_[rows_[i].serial].push_back(i);
}

Calibration TesterIndex::calibration(const std::string& serial, const std::string& date) const {
    const auto it = bySerial_.find(serial);
    if (it == bySerial_.end()) return Calibration::Unknown;
    const std::string day = date.substr(0, 10);
    for (std::size_t i : it->second)
        if (!day.empty() && rows_[i].calibratedOn <= day && day <= rows_[i].calibrationDue)
            return Calibration::Valid;
    return Calibration::Expired;
}

const TesterRow* TesterIndex::latest(const std::string& serial) const {
    const auto it = bySerial_.find(serial);
    if (it == bySerial_.end()) return nullptr;
    const TesterRow* best = nullptr;
    for (std::size_t i : it->second)
        if (!best || best->calibratedOn < rows_[i].calibratedOn) best = &rows_[i];
    return best;
}
