#include "save/writers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "app/debuglog.h"
#include "device/monitor.h"
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

// Calls each(index) for the records recordChoice names; false if it names none.
template <class Each>
bool forChosen(const SaveSource& source, int recordChoice, Each&& each) {
    const std::size_t count = source.records.size();
    if (recordChoice == SelectedRecords) {
        for (std::size_t i = 0; i < count; ++i)
            if (source.records[i].selected) each(static_cast<unsigned>(i));
        return true;
    }
    if (recordChoice == AllRecords) {
        for (std::size_t i = 0; i < count; ++i) each(static_cast<unsigned>(i));
        return true;
    }
    if (recordChoice < 0 || static_cast<std::size_t>(recordChoice) >= count) return false;
    each(static_cast<unsigned>(recordChoice));
    return true;
}

// ---- CSV ----

std::string stripped(std::string text) {
    stripCommas(&text[0]);
    return text;
}

void csvRecordLine(std::string& out, TestRecord copy, unsigned index) {
    char* const fields[] = {copy.deviceID, copy.testDate, copy.testTime, copy.flow, copy.volume,
                            copy.testDuration, copy.pressureMMHG, copy.pressureUser,
                            copy.peakPressureTime};
    const std::size_t widths[] = {sizeof copy.deviceID, sizeof copy.testDate, sizeof copy.testTime,
                                  sizeof copy.flow, sizeof copy.volume, sizeof copy.testDuration,
                                  sizeof copy.pressureMMHG, sizeof copy.pressureUser,
                                  sizeof copy.peakPressureTime};
    for (std::size_t k = 0; k < 9; ++k) {
        fields[k][widths[k] - 1] = '\0';  // the copy is always terminated within its field
        stripCommas(fields[k]);
    }
    line(out, std::to_string(index + 1) + "," + copy.deviceID + "," + copy.testDate + "," +
                  copy.testTime + "," + copy.flow + "," + copy.volume + "," + copy.testDuration +
                  "," + copy.pressureMMHG + ",mmHg," + copy.pressureUser + "," +
                  unitName(copy.pressureUnits) + ",00:" + copy.peakPressureTime);
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
    for (int k = 0; k < kColumns; ++k) {
        if (k > 0) s += k == 3 ? " " : "  ";
        s += padRight(cells[static_cast<std::size_t>(k)], widths[static_cast<std::size_t>(k)]);
    }
    line(out, s);
}

void fileHeader(std::string& out, const SaveSource& source) {
    line(out, "Korvane Systems Inc.");
    line(out, "Dosimark Kest ID: " + source.instrumentId + " SN: " + source.instrumentSerial +
                  " -  Data Saved On " + source.stamp);
    line(out, "");
}

void closingBlock(std::string& out) {
    line(out, "");
    line(out, "Technician:_______________________________");
    line(out, "Date:_____________________________________");
}

// ---- writing a file whole or not at all ----

class AtomicFile {
public:
    ~AtomicFile() { discard(); }

    // Creates the temporary file beside fileName; false if it cannot.
    bool open(const std::string& fileName) {
        target_ = fileName;
        // Replacing a link replaces what it points to, as writing through it would.
        char resolved[PATH_MAX];
        struct stat st;
        if (::lstat(fileName.c_str(), &st) == 0 && S_ISLNK(st.st_mode) &&
            ::realpath(fileName.c_str(), resolved))
            target_ = resolved;
        if (::stat(target_.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return false;
        const bool existed = ::stat(target_.c_str(), &st) == 0;

        std::size_t slash = target_.rfind('/');
        std::string folder = slash == std::string::npos ? std::string() : target_.substr(0, slash + 1);
        std::string base = slash == std::string::npos ? target_ : target_.substr(slash + 1);
        if (base.empty()) return false;
        static std::atomic<unsigned> counter{0};
        for (int attempt = 0; attempt < 100; ++attempt) {
            temp_ = folder + "." + base + "." + std::to_string(::getpid()) + "-" +
                    std::to_string(counter++) + ".tmp";
            fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd_ >= 0) break;
            if (errno != EEXIST) break;
        }
        if (fd_ < 0) {
            temp_.clear();
            return false;
        }
        if (existed) (void)::fchmod(fd_, st.st_mode & 07777);
        return true;
    }

    // Writes content, flushes it to disk and puts the file in place.
    bool commit(const std::string& content) {
        const char* p = content.data();
        std::size_t left = content.size();
        while (left > 0) {
            ssize_t n = ::write(fd_, p, left);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            p += n;
            left -= static_cast<std::size_t>(n);
        }
        if (::fsync(fd_) != 0) return false;
        int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) return false;
        if (::rename(temp_.c_str(), target_.c_str()) != 0) return false;
        temp_.clear();
        return true;
    }

    void discard() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        if (!temp_.empty()) ::unlink(temp_.c_str());
        temp_.clear();
    }

private:
    std::string target_;
    std::string temp_;
    int fd_ = -1;
};

// Writes contents through a temporary file; *opened tells whether the
// temporary file could be made at all.
int saveWhole(const std::string& fileName, const std::string& contents, std::string* reason,
              bool* opened) {
    if (reason) reason->clear();
    *opened = false;
    if (fileName.empty()) return kWriteNothing;
    AtomicFile file;
    bool ok = false;
    errno = 0;
    try {
        *opened = file.open(fileName);
        ok = *opened && file.commit(contents);
    } catch (...) {
        ok = false;
    }
    if (ok) return kWriteDone;
    const int err = errno;
    file.discard();
    if (reason) *reason = err != 0 ? std::strerror(err) : "not a regular file";
    return kWriteFailed;
}

using Composer = bool (*)(const SaveSource&, int, bool, std::string*);

int writeFile(const std::string& fileName, int recordChoice, bool recordFormat, Composer compose,
              int logLine) {
    if (fileName.empty()) return kWriteNothing;
    std::string content;
    bool composed = false;
    try {
        composed = compose(currentSaveSource(), recordChoice, recordFormat, &content);
    } catch (...) {
        composed = false;
    }
    bool opened = true;
    const int result = composed ? saveWhole(fileName, content, nullptr, &opened) : kWriteFailed;
    if (result != kWriteDone && !opened) return kWriteFailed;  // nothing was touched
    if (result != kWriteDone) {
        writeDebugLog("EXCEPTION!!", 'm', nullptr, "save", logLine);
        markSaved(false);
        return kWriteFailed;
    }
    markSaved(true);
    return kWriteDone;
}

bool composeCsv(const SaveSource& s, int choice, bool, std::string* out) {
    return csvFileText(s, choice, out);
}

}  // namespace

int saveWholeFile(const std::string& fileName, const std::string& contents, std::string* reason) {
    bool opened = false;
    return saveWhole(fileName, contents, reason, &opened);
}

SaveSource currentSaveSource() {
    SaveSource s;
    // The header names the tester the records came from, which need not be
    // the one identified last.
    TesterIdentity tester;
    s.records = recordStore().displayed(&tester);
    s.instrumentId = std::move(tester.id);
    s.instrumentSerial = std::move(tester.serial);
    s.stamp = saveStamp();
    return s;
}

void stripCommas(char* text) {
    for (; *text; ++text)
        if (*text == ',') *text = ' ';
}

bool csvFileText(const SaveSource& source, int recordChoice, std::string* out) {
    std::string& o = *out;
    o.clear();
    line(o, "Dosimark Kest ID: " + stripped(source.instrumentId.substr(0, 30)) + "  SN: " +
                source.instrumentSerial + "  -  Data Exported On " + source.stamp);
    line(o, "Record Num,Device ID,Test Date,Test Time,Flow Rate,Volume Infused,Test Duration,"
            "Pressure,mmHg,Pressure,(user),OP Peak Time");
    return forChosen(source, recordChoice,
                     [&](unsigned i) { csvRecordLine(o, source.records[i], i); });
}

int writeRecordBlock(std::string& out, const TestRecord& record, unsigned index) {
    for (const std::string& text : recordBlockLines(record, index)) line(out, text);
    line(out, "");
    return 0;
}

int writeListLine(std::string& out, const TestRecord& record, unsigned index,
                  const std::vector<int>& widths) {
    listLine(out, listCells(record, index), widths);
    return 0;
}

bool textFileText(const SaveSource& source, int recordChoice, bool recordFormat,
                  std::string* out) {
    std::string& o = *out;
    o.clear();
    fileHeader(o, source);
    bool named;
    if (recordFormat) {
        named = forChosen(source, recordChoice,
                          [&](unsigned i) { writeRecordBlock(o, source.records[i], i); });
    } else {
        // Column widths come from every record shown, whichever are written,
        // so a subset lines up like the whole list.
        std::vector<int> widths(kStartWidths, kStartWidths + kColumns);
        for (std::size_t i = 0; i < source.records.size(); ++i) {
            std::vector<std::string> cells = listCells(source.records[i], static_cast<unsigned>(i));
            for (int k = 0; k < kColumns; ++k) {
                int len = static_cast<int>(cells[static_cast<std::size_t>(k)].size());
                if (len > widths[static_cast<std::size_t>(k)]) widths[static_cast<std::size_t>(k)] = len;
            }
        }
        listLine(o, std::vector<std::string>(kHeaderRow1, kHeaderRow1 + kColumns), widths);
        listLine(o, std::vector<std::string>(kHeaderRow2, kHeaderRow2 + kColumns), widths);
        int length = 17;
        for (int w : widths) length += w;
        line(o, std::string(static_cast<std::size_t>(length), '='));
        named = forChosen(source, recordChoice,
                          [&](unsigned i) { writeListLine(o, source.records[i], i, widths); });
    }
    if (!named) return false;
    closingBlock(o);
    return true;
}

int writeCsvFile(const std::string& fileName, int recordChoice) {
    return writeFile(fileName, recordChoice, false, composeCsv, 1);
}

int writeTextFile(const std::string& fileName, int recordChoice, bool recordFormat) {
    return writeFile(fileName, recordChoice, recordFormat, textFileText, 2);
}
