#pragma once
// The two file writers: CSV export and text files in the list format or the
// individual record format.  Plain C++, so tests call them directly.
//
// Records come from displayRecords in the order shown, the header names the
// tester they came from, and every line ends in CR LF.
// Field bytes are written as stored, bytes above 127 included; CSV values are
// never quoted, their commas become spaces instead.
//
// Where it changes nothing but the content, a file is written whole or not
// at all: the text goes into a temporary file beside the chosen one, which
// replaces it only when everything was written and flushed to disk, so a
// failed save leaves the old file as it was.  Elsewhere (a folder the user
// may not write, a file of another owner or with several names) the file is
// written in place, as a plain open writes it.  A file the user may not
// write is refused; symbolic links are written through, except one that the
// kernel's protected_symlinks rule would refuse to follow.

#include <string>
#include <vector>

#include "records/testrecord.h"

// Writer results.
constexpr int kWriteDone = 0;
constexpr int kWriteNothing = 1;  // empty file name: nothing done
constexpr int kWriteFailed = -1;

// What a file is made from: the records as shown and the header's texts.
struct SaveSource {
    std::vector<TestRecord> records;  // displayRecords, the first recordCount
    std::string instrumentId;
    std::string instrumentSerial;
    std::string stamp;  // saveStamp at the start of the writing
};

// The records as they stand now, the identity of the tester they came from,
// and the stamp.
SaveSource currentSaveSource();

// Replaces, in place, every comma of a zero-terminated text by a space.
void stripCommas(char* text);

// The whole content of a file; false when recordChoice names no record
// (an index not below the record count).  SelectedRecords (-2), AllRecords
// (-1) or a 0-based index.
bool csvFileText(const SaveSource& source, int recordChoice, std::string* out);
bool textFileText(const SaveSource& source, int recordChoice, bool recordFormat,
                  std::string* out);

// Pieces of the text file: the nine-line block of the individual record
// format, and one line of the list format given the ten column widths.
int writeRecordBlock(std::string& out, const TestRecord& record, unsigned index);
int writeListLine(std::string& out, const TestRecord& record, unsigned index,
                  const std::vector<int>& widths);

// Writes contents to fileName, the one way every saved file reaches the disk.
// 0 written, 1 empty name (nothing touched), -1 failed; reason then says why.
// A failure leaves the old file as it was, except one written in place.
int saveWholeFile(const std::string& fileName, const std::string& contents,
                  std::string* reason = nullptr);

// Write fileName from the current records: 0 written (dataSaved = 1), 1 empty
// name (nothing touched), -1 failed (logged; dataSaved = 0 if the file had
// been opened, unchanged if it could not be).
int writeCsvFile(const std::string& fileName, int recordChoice);
int writeTextFile(const std::string& fileName, int recordChoice, bool recordFormat);

