#pragma once
// Reading back a file the window program or lumkest-cli wrote, to archive
// its records or to load them into the virtual tester: a CSV export, a text
// file in either format (of any number of records), or a raw 8194-byte
// block (with the tester's 33-byte identity reply; the block of a tester
// that held no records is a file of none).  Plain C++ (no database):
// lumkest-cli's import and the virtual tester's --from read files through
// it.
//
// The formats are not described a second time here: a file is read as a
// candidate of each kind and then written again with the writers' own
// functions (save/writers.h); only a candidate that comes out byte for byte
// the same file is taken.  So any change to the writers shows at once.
// Texts may hold any bytes, line ends included.  What a file cannot tell
// apart is read one way: spaces that the list format's padding hides are
// read as padding, and a file that two sets of records write alike is read
// as the first set found.

#include <cstdint>
#include <string>
#include <vector>

#include "records/recordstore.h"
#include "records/testrecord.h"

// Json: lumkest-cli's records JSON (save/recordsjson.h).
enum class SavedFileKind { Csv, ListText, RecordText, RawBlock, Json };

// How much of a record's raw form a source keeps, from least to most: a CSV
// export has lost its commas (and the code of an mmHg unit), a text file has
// lost only the unit code of mmHg, a received block keeps every byte.
enum class RecordForm : int { Csv = 1, Text = 2, Received = 3 };

struct SavedFileContents {
    SavedFileKind kind = SavedFileKind::Csv;
    RecordForm form = RecordForm::Csv;  // how full its records' texts are
    TesterIdentity tester;  // a CSV export keeps only the first 30 ID characters, without commas
    std::string stamp;  // the header's "12/29/03 18:34:00" (when it was written); none for a block
    std::vector<TestRecord> records;  // in file order (the numbering may have gaps)
    std::vector<std::uint8_t> block;  // a raw block as it is
};

// False, with *why saying so in one line, for bytes that are none of these
// files (nothing of them should then be archived): what is wrong where that
// can be told (a damaged block, an identity reply that is none, line ends
// changed, an empty file), else what they are not.  identityReply: the
// 33-byte identity reply that goes with a raw block; may be null otherwise.
bool readSavedFile(const std::string& bytes, const std::vector<std::uint8_t>* identityReply,
                   SavedFileContents* out, std::string* why);
