#include "archive/importfile.h"

#include <cstring>

#include "device/decode.h"
#include "device/simoptions.h"
#include "records/recordstore.h"
#include "save/writers.h"

namespace {

// The identity reply: 'I', the serial number (12 bytes), the ID (20 bytes),
// each zero-padded.
constexpr std::size_t kSerialOffset = 1, kSerialWidth = 12;
constexpr std::size_t kIdOffset = 13, kIdWidth = 20;

std::string zeroPadded(const std::uint8_t* bytes, std::size_t width) {
    std::size_t n = 0;
    while (n < width && bytes[n] != 0) ++n;
    return std::string(reinterpret_cast<const char*>(bytes), n);
}

// The lines of a file whose every line ends in CR LF; false otherwise.
bool crlfLines(const std::string& bytes, std::vector<std::string>* lines) {
    std::size_t start = 0;
    while (start < bytes.size()) {
        const std::size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos) return false;
        lines->push_back(bytes.substr(start, end - start));
        start = end + 2;
    }
    return true;
}

bool startsWith(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

// text = prefix + middle + suffix.
bool between(const std::string& text, const std::string& prefix, const std::string& suffix,
             std::string* middle) {
    if (text.size() < prefix.size() + suffix.size() || !startsWith(text, prefix) ||
        text.compare(text.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    *middle = text.substr(prefix.size(), text.size() - prefix.size() - suffix.size());
    return true;
}

// A record number as written: 1 to kMaxRecords.
bool recordNumber(std::string text, unsigned* number) {
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return false;
    text.erase(0, first);
    if (text.empty() || text.size() > 3) return false;
    unsigned n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + static_cast<unsigned>(c - '0');
    }
    if (n < 1 || n > kMaxRecords) return false;
    *number = n;
    return true;
}

// The file's records and their numbers, gathered while reading.
struct Candidate {
    SaveSource source;  // the records at their numbers; gaps not selected
    std::vector<TestRecord> inOrder;

    // Numbers only grow, as the writers write them.
    bool add(unsigned number, TestRecord record) {
        if (number <= source.records.size()) return false;
        source.records.resize(number, emptyRecord());
        record.selected = 1;
        source.records[number - 1] = record;
        inOrder.push_back(record);
        return true;
    }
};

// The nine texts and the unit of a record, in the order the list and the
// records formats write them.
struct Texts {
    std::string device, date, time, duration, flow, volume, mmhg, user, unit, peak;
};

TestRecord recordOf(const Texts& t) {
    TestRecord r = emptyRecord();
    SET_FIELD(r, deviceID, t.device);
    SET_FIELD(r, testDate, t.date);
    SET_FIELD(r, testTime, t.time);
    SET_FIELD(r, testDuration, t.duration);
    SET_FIELD(r, flow, t.flow);
    SET_FIELD(r, volume, t.volume);
    SET_FIELD(r, pressureMMHG, t.mmhg);
    SET_FIELD(r, pressureUser, t.user);
    SET_FIELD(r, peakPressureTime, t.peak);
    r.pressureUnits = unitCode(t.unit);
    return r;
}

// The header line "Dosimark Kest ID: <id><serialMark><serial><stampMark><stamp>"
// into the candidate's identity and stamp (the marks differ by format).
bool readIdentityLine(const std::string& line, const std::string& serialMark,
                      const std::string& stampMark, Candidate* c) {
    std::string head;
    if (!between(line, "Dosimark Kest ID: ", "", &head)) return false;
    const std::size_t stampAt = head.rfind(stampMark);
    const std::size_t serialAt = head.rfind(serialMark, stampAt);
    if (stampAt == std::string::npos || serialAt == std::string::npos) return false;
    c->source.instrumentId = head.substr(0, serialAt);
    const std::size_t serialStart = serialAt + serialMark.size();
    c->source.instrumentSerial = head.substr(serialStart, stampAt - serialStart);
    c->source.stamp = head.substr(stampAt + stampMark.size());
    return true;
}

// ---- CSV export ----

bool readCsv(const std::string& bytes, const std::vector<std::string>& lines, Candidate* c) {
    if (lines.size() < 2) return false;
    if (!readIdentityLine(lines[0], "  SN: ", "  -  Data Exported On ", c)) return false;
    for (std::size_t i = 2; i < lines.size(); ++i) {
        std::vector<std::string> cells;
        std::size_t start = 0;
        for (;;) {
            const std::size_t comma = lines[i].find(',', start);
            cells.push_back(lines[i].substr(start, comma - start));
            if (comma == std::string::npos) break;
            start = comma + 1;
        }
        unsigned number = 0;
        Texts t;
        if (cells.size() != 12 || !recordNumber(cells[0], &number) ||
            !between(cells[11], "00:", "", &t.peak))
            return false;
        t.device = cells[1], t.date = cells[2], t.time = cells[3], t.flow = cells[4];
        t.volume = cells[5], t.duration = cells[6], t.mmhg = cells[7], t.user = cells[9];
        t.unit = cells[10];
        if (!c->add(number, recordOf(t))) return false;
    }
    std::string again;
    return csvFileText(c->source, SelectedRecords, &again) && again == bytes;
}

// ---- text files ----

// The three header lines; the first record line is lines[3].
bool readTextHeader(const std::vector<std::string>& lines, Candidate* c) {
    return lines.size() >= 6 && readIdentityLine(lines[1], " SN: ", " -  Data Saved On ", c);
}

// "376 mmHg (7.27 PSI)" after the pressure line's label.
bool readPressures(const std::string& text, Texts* t) {
    std::string both;
    if (!between(text, "", ")", &both)) return false;
    const std::size_t mark = both.find(" mmHg (");
    const std::size_t unitAt = both.rfind(' ');
    if (mark == std::string::npos || unitAt < mark + 7) return false;
    t->mmhg = both.substr(0, mark);
    t->user = both.substr(mark + 7, unitAt - mark - 7);
    t->unit = both.substr(unitAt + 1);
    return true;
}

bool readRecordText(const std::string& bytes, const std::vector<std::string>& lines, Candidate* c) {
    if (!readTextHeader(lines, c) || (lines.size() - 6) % 10 != 0) return false;
    for (std::size_t at = 3; at + 3 < lines.size(); at += 10) {
        const std::string* l = &lines[at];
        std::string number, pressures;
        unsigned n = 0;
        Texts t;
        if (!between(l[0], "Record #:", "", &number) || !recordNumber(number, &n) ||
            !between(l[1], "Device ID: ", "", &t.device) ||
            !between(l[2], "Test Date: ", "", &t.date) ||
            !between(l[3], "Test Time (hh:mm): ", "", &t.time) ||
            !between(l[4], "Test Duration (hh:mm:ss): ", "", &t.duration) ||
            !between(l[5], "Average Rate: ", " ml/hr", &t.flow) ||
            !between(l[6], "Infused Volume: ", " ml", &t.volume) ||
            !between(l[7], "Peak Occlusion Pressure: ", "", &pressures) ||
            !readPressures(pressures, &t) ||
            !between(l[8], "Peak Occlusion Pressure Time (mm:ss): ", "", &t.peak) ||
            !c->add(n, recordOf(t)))
            return false;
    }
    std::string again;
    return textFileText(c->source, SelectedRecords, true, &again) && again == bytes;
}

std::string trimmedRight(const std::string& s) {
    const std::size_t end = s.find_last_not_of(' ');
    return end == std::string::npos ? std::string() : s.substr(0, end + 1);
}
std::string trimmedLeft(const std::string& s) {
    const std::size_t first = s.find_first_not_of(' ');
    return first == std::string::npos ? std::string() : s.substr(first);
}

// The first column-head line of the list format for these widths.
std::string listHeads(const std::vector<int>& widths) {
    std::string text;
    listFileText(SaveSource(), AllRecords, widths, &text);
    std::vector<std::string> lines;
    return crlfLines(text, &lines) && lines.size() > 3 ? lines[3] : std::string();
}

// The list format.  Where its columns start and how wide they are is read
// from the file's first column-head line against the writers' own head line
// with no padding: the file's line is that line with each head padded to its
// column's width.  Only the split between the two pressure columns (the
// second has no head) is not seen there; each split is tried when the file
// is written again.  A cell is padded to its width, so a text's own trailing
// spaces cannot be told from the padding: they are read as padding.
bool readListText(const std::string& bytes, const std::vector<std::string>& lines, Candidate* c) {
    if (!readTextHeader(lines, c) || lines.size() < 9) return false;
    constexpr std::size_t kColumns = 10;
    const std::vector<int> zero(kColumns, 0);
    const std::string bare = listHeads(zero);
    const std::string& heads = lines[3];

    // Align the file's head line with the bare one: padding is the spaces the
    // file has where the bare line goes on with a head.
    std::vector<std::size_t> padBefore(bare.size() + 1, 0), fileAt(bare.size() + 1, 0);
    std::size_t j = 0;
    for (std::size_t i = 0; i < heads.size(); ++i) {
        if (j < bare.size() && heads[i] == bare[j]) {
            fileAt[j++] = i;
        } else if (heads[i] == ' ') {
            ++padBefore[j];
        } else {
            return false;
        }
    }
    if (j != bare.size()) return false;
    fileAt[bare.size()] = heads.size();

    // A column made very wide shows where the next head starts in the bare
    // line and how long its own head is.
    std::vector<std::size_t> next(kColumns);
    std::vector<int> widths(kColumns), headLength(kColumns);
    for (std::size_t k = 0; k < kColumns; ++k) {
        std::vector<int> wide = zero;
        wide[k] = 200;
        const std::string line = listHeads(wide);
        std::size_t d = 0;
        while (d < bare.size() && bare[d] == line[d]) ++d;
        next[k] = d;
        headLength[k] = 200 - static_cast<int>(line.size() - bare.size());
        widths[k] = headLength[k] + static_cast<int>(padBefore[d]);
    }
    // The cells: from each head's start to the next one; the two pressure
    // columns share one stretch.
    std::vector<std::size_t> starts{0};
    for (std::size_t k = 0; k + 1 < kColumns; ++k)
        if (next[k] != starts.back()) starts.push_back(next[k]);
    if (starts.size() != kColumns - 1 || next[7] != next[8]) return false;
    for (std::size_t& s : starts) s = fileAt[s];

    for (std::size_t i = 6; i + 3 < lines.size(); ++i) {
        const std::string& l = lines[i];
        std::vector<std::string> cells;
        for (std::size_t k = 0; k < starts.size(); ++k) {
            const std::size_t end = k + 1 < starts.size() ? starts[k + 1] : l.size();
            if (end > l.size()) return false;
            cells.push_back(trimmedRight(l.substr(starts[k], end - starts[k])));
        }
        // Cells 0..6 are columns 0..6; cell 7 holds both pressure columns,
        // "  376 mmHg  7.27 PSI"; cell 8 is the last column.
        unsigned n = 0;
        Texts t;
        const std::size_t mark = cells[7].find(" mmHg ");
        if (!recordNumber(cells[0], &n) || mark == std::string::npos) return false;
        const std::string user = trimmedLeft(cells[7].substr(mark + 6));
        const std::size_t unitAt = user.rfind(' ');
        if (unitAt == std::string::npos) return false;
        t.mmhg = trimmedLeft(cells[7].substr(0, mark));
        t.user = trimmedLeft(user.substr(0, unitAt));
        t.unit = user.substr(unitAt + 1);
        t.device = cells[1], t.date = cells[2], t.time = cells[3], t.duration = cells[4];
        t.flow = cells[5], t.volume = cells[6], t.peak = cells[8];
        if (!c->add(n, recordOf(t))) return false;
    }
    const int padding = static_cast<int>(padBefore[next[7]]);  // of both pressure columns
    std::string again;
    for (int first = 0; first <= padding; ++first) {
        widths[7] = headLength[7] + first;
        widths[8] = headLength[8] + padding - first;
        if (listFileText(c->source, SelectedRecords, widths, &again) && again == bytes) return true;
    }
    return false;
}

}  // namespace

bool readSavedFile(const std::string& bytes, const std::vector<std::uint8_t>* identityReply,
                   ImportedFile* out, std::string* why) {
    *out = ImportedFile();
    if (bytes.size() == kDataBlockSize) {
        std::vector<TestRecord> records;
        std::size_t capacity = 0;
        const auto* block = reinterpret_cast<const std::uint8_t*>(bytes.data());
        if (decodeRecords(block, &records, &capacity)) {
            if (!identityReply || identityReply->size() != kIdentityReplySize) {
                *why = "a raw block needs the tester's identity reply, " +
                       std::to_string(kIdentityReplySize) + " bytes";
                return false;
            }
            out->kind = SavedFileKind::RawBlock;
            out->form = RecordForm::Received;
            out->tester.serial = zeroPadded(identityReply->data() + kSerialOffset, kSerialWidth);
            out->tester.id = zeroPadded(identityReply->data() + kIdOffset, kIdWidth);
            out->records = std::move(records);
            out->block.assign(block, block + kDataBlockSize);
            return true;
        }
    }
    std::vector<std::string> lines;
    if (crlfLines(bytes, &lines)) {
        struct Reader {
            SavedFileKind kind;
            RecordForm form;
            bool (*read)(const std::string&, const std::vector<std::string>&, Candidate*);
        };
        const Reader readers[] = {{SavedFileKind::Csv, RecordForm::Csv, readCsv},
                                  {SavedFileKind::RecordText, RecordForm::Text, readRecordText},
                                  {SavedFileKind::ListText, RecordForm::Text, readListText}};
        for (const Reader& reader : readers) {
            Candidate c;
            if (!reader.read(bytes, lines, &c)) continue;
            out->kind = reader.kind;
            out->form = reader.form;
            out->tester.id = c.source.instrumentId;
            out->tester.serial = c.source.instrumentSerial;
            out->stamp = c.source.stamp;
            out->records = std::move(c.inOrder);
            for (TestRecord& r : out->records) r.selected = 0;
            return true;
        }
    }
    *why = "not a file LUM Kest wrote (a CSV export, a text file or a raw 8194-byte block)";
    return false;
}
