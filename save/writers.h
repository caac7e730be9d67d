#pragma once
// The saved file formats: CSV export and text files in the list format or the
// individual record format, made byte for byte.  Plain C++, so tests call
// them directly.
//
// Records come from displayRecords in the order shown, the header names the
// tester they came from, and every line ends in CR LF.
// Field bytes are written as stored, bytes above 127 included; CSV values are
// never quoted, their commas become spaces instead.
//
// Putting a file on disk is save/filewrite.h; the window program's saves of
// the current records are save/savefile.h.

#include <cstddef>
#include <string>
#include <vector>

#include "records/recordstore.h"
#include "records/testrecord.h"

// What a file is made from: the records as shown and the header's texts.
struct SaveSource {
    std::vector<TestRecord> records;  // displayRecords, the first recordCount
    TesterIdentity tester;  // the tester the records came from
    std::string stamp;  // saveStamp at the start of the writing
};

// The records as they stand now, the identity of the tester they came from,
// and the stamp.
SaveSource currentSaveSource();

// Which records a file is made of: the selected ones (SelectedRecords), all
// of them (AllRecords), or one record by its 0-based index (one).
class ChosenRecords {
public:
    enum class Kind { Selected, All, One };
    ChosenRecords(RecordChoice which);  // SelectedRecords or AllRecords
    static ChosenRecords one(std::size_t index);
    Kind kind() const { return kind_; }
    std::size_t index() const { return index_; }  // One's record

private:
    Kind kind_;
    std::size_t index_ = 0;
};

// The whole content of a file; false when choice names no record (an index
// not below the record count).
bool csvFileText(const SaveSource& source, ChosenRecords choice, std::string* out);
bool textFileText(const SaveSource& source, ChosenRecords choice, bool recordFormat,
                  std::string* out);

// Pieces of the text file: the nine-line block of the individual record
// format, and one line of the list format given the ten column widths.
void writeRecordBlock(std::string& out, const TestRecord& record, unsigned index);
void writeListLine(std::string& out, const TestRecord& record, unsigned index,
                   const std::vector<int>& widths);

// A saved file a piece at a time, for files of any length: what comes
// before the records, each record (0-based index: its number is index + 1),
// what comes after them.  The whole-file functions are made of these.
// listWidths (the list format's ten column widths) is ignored by Csv and
// Records; CSV has nothing after its records.
enum class SavedFormat { Csv, List, Records };
void savedFileOpening(
    std::string& out, SavedFormat format, const SaveSource& header,
    const std::vector<int>& listWidths);  // header: only its tester and stamp are read
void savedFileRecord(std::string& out, SavedFormat format, const TestRecord& record, unsigned index,
                     const std::vector<int>& listWidths);
void savedFileClosing(std::string& out, SavedFormat format);

// The list format's column widths grown, record by record, to hold this one
// (listColumnWidths is listStartWidths() widened by every record).
std::vector<int> listStartWidths();
void widenListColumns(std::vector<int>* widths, const TestRecord& record, unsigned index);

// The list format's ten column widths for the records a file is made from:
// every record shown counts, whichever are written, so that a subset lines
// up like the whole list.
std::vector<int> listColumnWidths(const std::vector<TestRecord>& records);

// The text file in the list format with the given column widths (what
// textFileText writes with listColumnWidths(source.records)); false when
// choice names no record.
bool listFileText(const SaveSource& source, ChosenRecords choice, const std::vector<int>& widths,
                  std::string* out);
