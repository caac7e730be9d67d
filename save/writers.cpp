#include "save/writers.h"

#include <algorithm>
#include <cstddef>
#include <utility>

#include "records/recordstore.h"
#include "save/stamp.h"

namespace {

// Lines end in CR LF in every saved file, whatever the platform.
constexpr const char* kEol = "\r\n";

void line(std::string& out, const std::string& text) {
    out += text;
    out += kEol;
}

std::string padRight(const std::string& text, int width) {
    std::string s = text;
    if (static_cast<int>(s.size()) < width) s.append(static_cast<std::size_t>(width) - s.size(), ' ');
    return s;
}

std::string padLeft(const std::string& text, int width) {
    std::string s = text;
    if (static_cast<int>(s.size()) < width) s.insert(0, static_cast<std::size_t>(width) - s.size(), ' ');
    return s;
}

// Calls each(index) for the records choice names; false if it names none.
template <class Each>
bool forChosen(const SaveSource& source, ChosenRecords choice, Each&& each) {
    const std::size_t count = source.records.size();
    switch (choice.kind()) {
        case ChosenRecords::Kind::Selected:
            for (std::size_t i = 0; i < count; ++i)
                if (source.records[i].selected) each(static_cast<unsigned>(i));
            return true;
        case ChosenRecords::Kind::All:
            for (std::size_t i = 0; i < count; ++i) each(static_cast<unsigned>(i));
            return true;
        case ChosenRecords::Kind::One:
            break;
    }
    if (choice.index() >= count) return false;
    each(static_cast<unsigned>(choice.index()));
    return true;
}

// ---- CSV ----

// A field as the CSV writes it, after a comma: the comma rule (every comma
// a space), and never its last byte (a field is read as if terminated
// within its width).  Appended in place: a history writes millions.
template <std::size_t N>
void csvField(std::string& out, const char (&field)[N], const char* before = ",") {
    out += before;
    const std::size_t start = out.size();
    std::size_t n = 0;
    while (n < N - 1 && field[n] != '\0') ++n;
    out.append(field, n);
    std::replace(out.begin() + static_cast<std::ptrdiff_t>(start), out.end(), ',', ' ');
}

void csvRecordLine(std::string& out, const TestRecord& r, unsigned index) {
    out += std::to_string(index + 1);
    csvField(out, r.deviceID);
    csvField(out, r.testDate);
    csvField(out, r.testTime);
    csvField(out, r.flow);
    csvField(out, r.volume);
    csvField(out, r.testDuration);
    csvField(out, r.pressureMMHG);
    out += ",mmHg";
    csvField(out, r.pressureUser);
    out += ',';
    out += unitName(r.pressureUnits);
    csvField(out, r.peakPressureTime, ",00:");
    out += kEol;
}

// ---- list format ----

constexpr int kColumns = 10;
const int kStartWidths[kColumns] = {3, 6, 9, 9, 13, 5, 4, 8, 0, 13};
const char* const kHeaderRow1[kColumns] = {"Rec",  "Device", "Test Date", "Test Time",
                                           "Test Duration", "Flow", "Vol.", "Peak", "",
                                           "Peak Pressure"};
const char* const kHeaderRow2[kColumns] = {"# ",    "ID", "", "hh:mm",    "hh:mm:ss",
                                           "ml/hr", "ml", "Pressure", "", "Time (mm:ss)"};

// The ten cells of a record line as they are written.
std::vector<std::string> listCells(const TestRecord& r, unsigned index) {
    return {
        padLeft(std::to_string(index + 1), 3),
        FIELD_TEXT(r, deviceID),
        FIELD_TEXT(r, testDate),
        FIELD_TEXT(r, testTime),
        FIELD_TEXT(r, testDuration),
        FIELD_TEXT(r, flow),
        FIELD_TEXT(r, volume),
        padLeft(FIELD_TEXT(r, pressureMMHG), 4) + " mmHg",
        padLeft(FIELD_TEXT(r, pressureUser), 4) + " " + unitName(r.pressureUnits),
        FIELD_TEXT(r, peakPressureTime),
    };
}

// Cells left-aligned to their widths, joined by two spaces but one between
// the date and the time; the last cell is padded too.
void listLine(std::string& out, const std::vector<std::string>& cells,
              const std::vector<int>& widths) {
    std::string s;
    for (std::size_t k = 0; k < static_cast<std::size_t>(kColumns); ++k) {
        if (k > 0) s += k == 3 ? " " : "  ";
        s += padRight(cells[k], k < widths.size() ? widths[k] : 0);
    }
    line(out, s);
}

void fileHeader(std::string& out, const SaveSource& source) {
    line(out, "Korvane Systems Inc.");
    line(out, "Dosimark Kest ID: " + source.tester.id + " SN: " + source.tester.serial +
                  " -  Data Saved On " + source.stamp);
    line(out, "");
}

void closingBlock(std::string& out) {
    line(out, "");
    line(out, "Technician:_______________________________");
    line(out, "Date:_____________________________________");
}

// The whole file from its pieces: the opening, the records choice names, the
// closing; false, with the file cut short after its opening, when choice
// names no record.
bool savedFileText(const SaveSource& source, ChosenRecords choice, SavedFormat format,
                   const std::vector<int>& listWidths, std::string* out) {
    std::string& o = *out;
    o.clear();
    savedFileOpening(o, format, source, listWidths);
    if (!forChosen(source, choice, [&](unsigned i) {
            savedFileRecord(o, format, source.records[i], i, listWidths);
        }))
        return false;
    savedFileClosing(o, format);
    return true;
}

}  // namespace

ChosenRecords::ChosenRecords(RecordChoice which)
    : kind_(which == SelectedRecords ? Kind::Selected : Kind::All) {}

ChosenRecords ChosenRecords::one(std::size_t index) {
    ChosenRecords choice(AllRecords);
    choice.kind_ = Kind::One;
    choice.index_ = index;
    return choice;
}

SaveSource currentSaveSource() {
    SaveSource s;
    // The header names the tester the records came from, which need not be
    // the one identified last.
    s.records = recordStore().displayed(&s.tester);
    s.stamp = saveStamp();
    return s;
}

void savedFileOpening(std::string& out, SavedFormat format, const SaveSource& header,
                      const std::vector<int>& listWidths) {
    if (format == SavedFormat::Csv) {
        line(out, "Dosimark Kest ID: " + commasAsSpaces(header.tester.id.substr(0, 30)) +
                      "  SN: " + header.tester.serial + "  -  Data Exported On " + header.stamp);
        line(out,
             "Record Num,Device ID,Test Date,Test Time,Flow Rate,Volume Infused,Test Duration,"
             "Pressure,mmHg,Pressure,(user),OP Peak Time");
        return;
    }
    fileHeader(out, header);
    if (format != SavedFormat::List) return;
    listLine(out, std::vector<std::string>(kHeaderRow1, kHeaderRow1 + kColumns), listWidths);
    listLine(out, std::vector<std::string>(kHeaderRow2, kHeaderRow2 + kColumns), listWidths);
    int length = 17;
    for (int w : listWidths) length += w;
    line(out, std::string(static_cast<std::size_t>(length), '='));
}

void savedFileRecord(std::string& out, SavedFormat format, const TestRecord& record, unsigned index,
                     const std::vector<int>& listWidths) {
    switch (format) {
        case SavedFormat::Csv:
            csvRecordLine(out, record, index);
            break;
        case SavedFormat::List:
            writeListLine(out, record, index, listWidths);
            break;
        case SavedFormat::Records:
            writeRecordBlock(out, record, index);
            break;
    }
}

void savedFileClosing(std::string& out, SavedFormat format) {
    if (format != SavedFormat::Csv) closingBlock(out);
}

bool csvFileText(const SaveSource& source, ChosenRecords choice, std::string* out) {
    return savedFileText(source, choice, SavedFormat::Csv, {}, out);
}

void writeRecordBlock(std::string& out, const TestRecord& record, unsigned index) {
    for (const std::string& text : recordBlockLines(record, index)) line(out, text);
    line(out, "");
}

void writeListLine(std::string& out, const TestRecord& record, unsigned index,
                   const std::vector<int>& widths) {
    listLine(out, listCells(record, index), widths);
}

std::vector<int> listStartWidths() {
    return std::vector<int>(kStartWidths, kStartWidths + kColumns);
}

void widenListColumns(std::vector<int>* widths, const TestRecord& record, unsigned index) {
    if (widths->size() < static_cast<std::size_t>(kColumns))
        widths->resize(static_cast<std::size_t>(kColumns), 0);
    const std::vector<std::string> cells = listCells(record, index);
    for (std::size_t k = 0; k < static_cast<std::size_t>(kColumns); ++k) {
        const int len = static_cast<int>(cells[k].size());
        if (len > (*widths)[k]) (*widths)[k] = len;
    }
}

std::vector<int> listColumnWidths(const std::vector<TestRecord>& records) {
    std::vector<int> widths = listStartWidths();
    for (std::size_t i = 0; i < records.size(); ++i)
        widenListColumns(&widths, records[i], static_cast<unsigned>(i));
    return widths;
}

bool listFileText(const SaveSource& source, ChosenRecords choice, const std::vector<int>& widths,
                  std::string* out) {
    if (widths.size() != static_cast<std::size_t>(kColumns)) {
        out->clear();
        return false;
    }
    return savedFileText(source, choice, SavedFormat::List, widths, out);
}

bool textFileText(const SaveSource& source, ChosenRecords choice, bool recordFormat,
                  std::string* out) {
    if (!recordFormat) return listFileText(source, choice, listColumnWidths(source.records), out);
    return savedFileText(source, choice, SavedFormat::Records, {}, out);
}
