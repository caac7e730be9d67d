#pragma once
// The record store: the four record sets of equal capacity and the shared
// state words that the views, the dialogs and the device link read.
//
// Words that two threads share are atomics.  The record sets are guarded by
// one mutex, so a reader never sees a half-replaced set; every accessor
// returns copies and bounds-checks against the sets' capacity.

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "records/testrecord.h"

enum SaveDialogMode : int {
    ExportCsvAll = 0,
    ExportCsvSingle = 1,
    SaveTextSelected = 2,
    SaveTextSingle = 3,
    SaveTextAll = 4,
};

enum PrintRange : int { PrintSelected = 0, PrintSingle = 1, PrintAll = 2 };
enum PrintFormat : int { PrintListFormat = 0, PrintRecordFormat = 1 };

// The tester that a record set came from, as identified before its
// download: file and page headers name it.
struct TesterIdentity {
    std::string id;      // ID text, up to 20 characters
    std::string serial;  // serial number, up to 12 characters
};

// Which records a file writer or the printer takes.
enum RecordChoice : int { SelectedRecords = -2, AllRecords = -1 };

extern std::atomic<unsigned> recordCount;    // valid records, 1..123 once data is present
extern std::atomic<unsigned> currentRecord;  // index the single record page shows
extern std::atomic<int> haveData;            // records have been downloaded
extern std::atomic<int> dataSaved;           // present records saved (1 at start)
extern std::atomic<int> savePending;         // save dialog open for the command thread
extern std::atomic<int> saveDialogRequested; // command thread asks for the save dialog
extern std::atomic<int> gridMeasured;        // list grid fitted to its contents
extern std::atomic<int> saveDialogMode;      // SaveDialogMode preset
extern std::atomic<int> printRange;          // PrintRange preset
extern std::atomic<int> printFormat;         // PrintFormat preset
// A save is between its Save (or Export) press and the end of its write:
// the records it reads must not be replaced meanwhile.
extern std::atomic<int> saveInProgress;

// Puts every state word back to its start value and empties the store.
void resetSharedStateForTest();

class RecordStore {
public:
    enum Set { Received, IdSort, DateSort, Display };

    // Replaces the four sets by new ones of the given capacity; records (in
    // download order, at most capacity of them) go into receivedRecords with
    // selected cleared, and tester becomes the identity they carry.  Returns
    // false, changing nothing, if capacity is 0 or the memory cannot be had.
    bool replace(std::size_t capacity, const std::vector<TestRecord>& records,
                 const TesterIdentity& tester = TesterIdentity());

    // The list fill: recordCount = n, dataSaved = 0, currentRecord = 0, and
    // the first n received records copied into displayRecords.
    void fillDisplay(unsigned n);

    // Copies displayRecords into the scratch set, sorts the scratch set with
    // sorter(first, count) and copies it back.  Only the first recordCount
    // records take part.
    void reorder(Set scratch, const std::function<void(TestRecord*, std::size_t)>& sorter);

    // Record i of displayRecords (or of another set); an empty record when i
    // is outside the sets.
    TestRecord record(std::size_t i, Set set = Display) const;
    // The first recordCount records and, when asked, the identity of the
    // tester they came from, read together.
    std::vector<TestRecord> displayed(TesterIdentity* tester = nullptr) const;
    TesterIdentity tester() const;  // empty while no records are held

    // Selection, on displayRecords only.
    void toggleSelected(std::size_t i);  // 1 becomes 0, anything else 1
    void setSelected(std::size_t i, bool on);
    void setAllSelected(bool on);        // first recordCount records
    bool anySelected() const;

    std::size_t capacity() const;
    void clear();  // no sets at all, as at start

private:
    mutable std::mutex mutex_;
    std::size_t capacity_ = 0;
    std::vector<TestRecord> sets_[4];
    TesterIdentity tester_;
};

RecordStore& recordStore();

// Mark saved: dataSaved = 1 after a complete write, 0 after a failed one.
void markSaved(bool written);
