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
// at all: the text goes into a temporary file beside the chosen one (private
// to the user until it is complete), which replaces it only when everything
// was written and flushed to disk, and the folder is then synced, so a failed
// save leaves the old file as it was and a saved one stays saved.  Elsewhere
// (a folder the user may not write, a file of another owner or with several
// names) the file is written in place through the existing file, cut to its
// new length only after the new content has its room: a full disk leaves the
// old file as it was, but an I/O error in the middle can leave it part new.  A file the user may
// not write is refused; symbolic links are written through, except one that the kernel's
// protected_symlinks rule would refuse to follow.

#include <functional>
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


// The whole content of a file; false when recordChoice names no record
// (an index not below the record count).  SelectedRecords (-2), AllRecords
// (-1) or a 0-based index.
bool csvFileText(const SaveSource& source, int recordChoice, std::string* out);
bool textFileText(const SaveSource& source, int recordChoice, bool recordFormat, std::string* out);

// Pieces of the text file: the nine-line block of the individual record
// format, and one line of the list format given the ten column widths.
int writeRecordBlock(std::string& out, const TestRecord& record, unsigned index);
int writeListLine(std::string& out, const TestRecord& record, unsigned index,
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
// recordChoice names no record.
bool listFileText(const SaveSource& source, int recordChoice, const std::vector<int>& widths,
                  std::string* out);

// Writes contents to fileName, the one way every saved file reaches the disk.
// 0 written, 1 empty name (nothing touched), -1 failed; reason then says why
// (the system's own words).  A failure leaves the old file as it was, except
// an I/O error in the middle of a file written in place.  With
// kSaveStreamsToo, a name that is no regular file (a pipe, /dev/stdout,
// /dev/null) is written plainly; otherwise it is refused.
constexpr int kSaveFilesOnly = 0;
constexpr int kSaveStreamsToo = 1;
int saveWholeFile(const std::string& fileName, const std::string& contents,
                  std::string* reason = nullptr, int flags = kSaveFilesOnly);

// Writes a file whose content is made a piece at a time: produce(put) calls
// put(piece) for each piece in order and returns false when it cannot make
// the content (put returns false once writing has failed; produce should then
// stop).  produce is called once at most (not for an empty name).  The same
// results and guarantees as saveWholeFile: a regular file is replaced whole
// or not at all through a temporary file beside it (the pieces go straight
// into it, never all held in memory), pipes and devices are written plainly
// with kSaveStreamsToo; only a file that must be written in place (another
// owner's, several names, a folder this user may not write) is first made
// whole in memory, since its room is reserved before its old content is cut.
// When produce returns false with no write failed, the save fails with the
// reason "the file could not be made" and the old file stays as it was
// (what already went down a pipe stays gone).  Short pieces are gathered
// into writes of 64 KiB.
using PieceWriter = std::function<bool(const std::string& piece)>;
using PieceProducer = std::function<bool(const PieceWriter& put)>;
int saveStreamedFile(const std::string& fileName, const PieceProducer& produce,
                     std::string* reason = nullptr, int flags = kSaveFilesOnly);

// The file a save to fileName writes: the symbolic links at its end followed
// and its folder's path resolved, so that two names of one file compare
// equal; as far as it can be worked out.
std::string savedFileOf(const std::string& fileName);

// The call that flushes a file or folder to disk (fsync); tests replace it to
// see what is synced.  Returns the previous one; nullptr restores fsync.
using SyncCall = int (*)(int fd);
SyncCall setSyncCall(SyncCall call);

// Write fileName from the current records: 0 written (dataSaved = 1), 1 empty
// name (nothing touched), -1 failed (logged; dataSaved = 0 if the file had
// been opened, unchanged if it could not be).
int writeCsvFile(const std::string& fileName, int recordChoice);
int writeTextFile(const std::string& fileName, int recordChoice, bool recordFormat);
