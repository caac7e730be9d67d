#include "save/savefile.h"

#include "app/debuglog.h"
#include "records/recordstore.h"

namespace {

using Composer = bool (*)(const SaveSource&, ChosenRecords, bool, std::string*);

// The file made from the current records and put on disk whole or not at
// all.  A failure once a file was opened is logged under "save" at logLine
// and counts the data as unsaved; one that touched nothing changes nothing.
SaveResult writeFile(const std::string& fileName, ChosenRecords choice, bool recordFormat,
                     Composer compose, int logLine) {
    if (fileName.empty()) return SaveResult::Nothing;
    std::string content;
    bool composed = false;
    try {
        composed = compose(currentSaveSource(), choice, recordFormat, &content);
    } catch (...) {
        composed = false;
    }
    bool opened = true;
    const SaveResult result =
        composed ? saveWholeFile(fileName, content, nullptr, SaveTargets::FilesOnly, &opened)
                 : SaveResult::Failed;
    if (result != SaveResult::Done && !opened) return SaveResult::Failed;  // nothing was touched
    if (result != SaveResult::Done) {
        writeDebugLog("EXCEPTION!!", 'm', nullptr, "save", logLine);
        markSaved(false);
        return SaveResult::Failed;
    }
    markSaved(true);
    return SaveResult::Done;
}

bool composeCsv(const SaveSource& s, ChosenRecords choice, bool, std::string* out) {
    return csvFileText(s, choice, out);
}

}  // namespace

SaveResult writeCsvFile(const std::string& fileName, ChosenRecords choice) {
    return writeFile(fileName, choice, false, composeCsv, 1);
}

SaveResult writeTextFile(const std::string& fileName, ChosenRecords choice, bool recordFormat) {
    return writeFile(fileName, choice, recordFormat, textFileText, 2);
}
