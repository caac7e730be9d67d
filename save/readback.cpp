#include "save/readback.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <set>
#include <utility>

#include "device/decode.h"
#include "records/recordstore.h"
#include "save/writers.h"

namespace {

std::string trimmedRight(const std::string& s) {
    const std::size_t end = s.find_last_not_of(' ');
    return end == std::string::npos ? std::string() : s.substr(0, end + 1);
}
std::string trimmedLeft(const std::string& s) {
    const std::size_t first = s.find_first_not_of(' ');
    return first == std::string::npos ? std::string() : s.substr(first);
}

constexpr std::size_t npos = std::string::npos;

// What a file writes of a record: its number, the nine texts and the unit's
// name, in the order the list and the records formats write them.
enum Slot { Number, Device, Date, Time, Duration, Flow, Volume, Mmhg, User, Unit, Peak, kSlots };
constexpr Slot kNoSlot = kSlots;
using Texts = std::array<std::string, kSlots>;

// The longest text of each slot: a number of up to 9 digits, a field's width
// less its terminator, a unit's name.
const std::size_t kLongest[kSlots] = {
    9,
    sizeof(TestRecord::deviceID) - 1,
    sizeof(TestRecord::testDate) - 1,
    sizeof(TestRecord::testTime) - 1,
    sizeof(TestRecord::testDuration) - 1,
    sizeof(TestRecord::flow) - 1,
    sizeof(TestRecord::volume) - 1,
    sizeof(TestRecord::pressureMMHG) - 1,
    sizeof(TestRecord::pressureUser) - 1,
    4,
    sizeof(TestRecord::peakPressureTime) - 1,
};

// A record number as written: digits without a leading zero; 0 for any
// other text.
unsigned recordNumber(const std::string& text) {
    if (text.empty() || text.size() > kLongest[Number] || text[0] == '0') return 0;
    unsigned n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return 0;
        n = n * 10 + static_cast<unsigned>(c - '0');
    }
    return n;
}

TestRecord recordOf(const Texts& t) {
    TestRecord r = emptyRecord();
    SET_FIELD(r, deviceID, t[Device]);
    SET_FIELD(r, testDate, t[Date]);
    SET_FIELD(r, testTime, t[Time]);
    SET_FIELD(r, testDuration, t[Duration]);
    SET_FIELD(r, flow, t[Flow]);
    SET_FIELD(r, volume, t[Volume]);
    SET_FIELD(r, pressureMMHG, t[Mmhg]);
    SET_FIELD(r, pressureUser, t[User]);
    SET_FIELD(r, peakPressureTime, t[Peak]);
    r.pressureUnits = unitCode(t[Unit]);
    return r;
}

// The file's records and their numbers, gathered while reading.
struct Candidate {
    SaveSource source;  // the records at their numbers; gaps not selected
    std::vector<TestRecord> inOrder;

    // Numbers grow, as the writers write them.  Only the window program's
    // files skip numbers, and it holds at most kMaxRecords records; past
    // that a file is one the command line wrote of all its records, numbered
    // one by one.  So the gaps never take more room than the records read.
    bool takes(unsigned number) const {
        const std::size_t last = source.records.size();
        return number > last && (number <= kMaxRecords || number == last + 1);
    }
    bool add(unsigned number, TestRecord record) {
        if (!takes(number)) return false;
        source.records.resize(number, emptyRecord());
        record.selected = 1;
        source.records[number - 1] = record;
        inOrder.push_back(record);
        return true;
    }
    // Back to the first `count` records read, the last of them numbered `last`.
    void keepFirst(std::size_t count, unsigned last) {
        inOrder.erase(inOrder.begin() + static_cast<std::ptrdiff_t>(count), inOrder.end());
        source.records.resize(last);
    }
};

// The line "Dosimark Kest ID: <id><serialMark><serial><stampMark><stamp>"
// that starts at `at`, into the candidate's identity and stamp (the marks
// differ by format); the offset past its line end, or npos.  The ID and the
// serial number are bytes as the tester gave them, line ends included, so
// the line ends at the first line end after the stamp mark: the stamp is the
// program's own.
std::size_t readIdentityLine(const std::string& bytes, std::size_t at,
                             const std::string& serialMark, const std::string& stampMark,
                             Candidate* c) {
    const std::string label = "Dosimark Kest ID: ";
    if (bytes.compare(at, label.size(), label) != 0) return npos;
    at += label.size();
    const std::size_t mark = bytes.find(stampMark, at);
    const std::size_t end = mark == npos ? npos : bytes.find("\r\n", mark + stampMark.size());
    if (end == npos) return npos;
    const std::string head = bytes.substr(at, end - at);
    const std::size_t stampAt = head.rfind(stampMark);
    const std::size_t serialAt =
        stampAt < serialMark.size() ? npos : head.rfind(serialMark, stampAt - serialMark.size());
    if (serialAt == npos) return npos;
    c->source.tester.id = head.substr(0, serialAt);
    const std::size_t serialStart = serialAt + serialMark.size();
    c->source.tester.serial = head.substr(serialStart, stampAt - serialStart);
    c->source.stamp = head.substr(stampAt + stampMark.size());
    return end + 2;
}

// ---- records read by their pieces (CSV export, records format) ----

// A piece of a record as a file writes it: fixed text, then a slot's text.
// A record ends with fixed text.
struct Piece {
    const char* text;
    Slot slot;
};

const Piece kCsvLine[] = {
    {"", Number},     {",", Device}, {",", Date},     {",", Time},
    {",", Flow},      {",", Volume}, {",", Duration}, {",", Mmhg},
    {",mmHg,", User}, {",", Unit},   {",00:", Peak},  {"\r\n", kNoSlot},
};

const Piece kRecordBlock[] = {
    {"Record #:", Number},
    {"\r\nDevice ID: ", Device},
    {"\r\nTest Date: ", Date},
    {"\r\nTest Time (hh:mm): ", Time},
    {"\r\nTest Duration (hh:mm:ss): ", Duration},
    {"\r\nAverage Rate: ", Flow},
    {" ml/hr\r\nInfused Volume: ", Volume},
    {" ml\r\nPeak Occlusion Pressure: ", Mmhg},
    {" mmHg (", User},
    {" ", Unit},
    {")\r\nPeak Occlusion Pressure Time (mm:ss): ", Peak},
    {"\r\n\r\n", kNoSlot},
};

// One way a record can be read: its texts and where it ends.
struct Way {
    std::size_t end;
    Texts texts;
};

// Adds to *ways every way the pieces [p, last) match bytes from `at`.  A
// field's text is any bytes but zero (and `banned`) up to its width; a
// number is digits; a unit is one of the four names.
void match(const std::string& bytes, std::size_t at, const Piece* p, const Piece* last, char banned,
           Texts* texts, std::vector<Way>* ways) {
    const std::size_t fixed = std::strlen(p->text);
    if (bytes.compare(at, fixed, p->text) != 0) return;
    at += fixed;
    const Piece* next = p + 1;
    if (p->slot == kNoSlot) {
        if (next == last)
            ways->push_back({at, *texts});
        else
            match(bytes, at, next, last, banned, texts, ways);
        return;
    }
    std::string& text = (*texts)[p->slot];
    if (p->slot == Unit) {
        for (char code : {'p', 'k', 'b', 'm'}) {
            text = unitName(code);
            if (bytes.compare(at, text.size(), text) == 0)
                match(bytes, at + text.size(), next, last, banned, texts, ways);
        }
        return;
    }
    const std::size_t following = std::strlen(next->text);
    for (std::size_t n = 0; n <= kLongest[p->slot] && at + n <= bytes.size(); ++n) {
        if (n > 0) {
            const char c = bytes[at + n - 1];
            if (c == '\0' || c == banned ||
                (p->slot == Number && (c < '0' || c > '9' || bytes[at] == '0')))
                break;
        }
        if ((p->slot == Number && n == 0) || bytes.compare(at + n, following, next->text) != 0)
            continue;
        text.assign(bytes, at, n);
        match(bytes, at + n, next, last, banned, texts, ways);
    }
}

// Reads records written as `pieces` from `at` until `closing` ends the file.
// A field may hold the very text that follows it, line ends included, so a
// record can often be read in more than one way; when the rest of the file
// cannot be read after one, the next is tried.  The first reading of the
// whole file is taken: all of them write the same bytes.
template <std::size_t N>
bool readRecords(const std::string& bytes, std::size_t at, const Piece (&pieces)[N], char banned,
                 const std::string& closing, Candidate* c) {
    struct State {
        std::size_t at;
        unsigned last;  // the number of the record before
    };
    struct Choice {
        std::size_t depth;      // in states
        std::vector<Way> left;  // ways not yet tried, the next at the back
    };
    std::vector<State> states{{at, 0}};
    std::vector<Choice> choices;
    std::set<std::pair<std::size_t, unsigned>> dead;  // states after which nothing reads
    std::vector<Way> ways;
    Texts texts;
    for (;;) {
        const State s = states.back();
        if (bytes.size() - s.at == closing.size() && bytes.compare(s.at, npos, closing) == 0)
            return true;
        ways.clear();
        if (!dead.count({s.at, s.last}))
            match(bytes, s.at, pieces, pieces + N, banned, &texts, &ways);
        ways.erase(
            std::remove_if(ways.begin(), ways.end(),
                           [&](const Way& w) { return !c->takes(recordNumber(w.texts[Number])); }),
            ways.end());
        if (ways.empty()) {
            for (;;) {  // back to the last choice with a way left
                if (choices.empty()) return false;
                Choice& choice = choices.back();
                for (std::size_t k = choice.depth + 1; k < states.size(); ++k)
                    dead.insert({states[k].at, states[k].last});
                states.resize(choice.depth + 1);
                c->keepFirst(choice.depth, states.back().last);
                if (!choice.left.empty()) {
                    ways.push_back(std::move(choice.left.back()));
                    choice.left.pop_back();
                    break;
                }
                choices.pop_back();
            }
        } else if (ways.size() > 1) {
            choices.push_back({states.size() - 1, {ways.rbegin(), ways.rend() - 1}});
            ways.resize(1);
        }
        const unsigned number = recordNumber(ways[0].texts[Number]);
        c->add(number, recordOf(ways[0].texts));
        states.push_back({ways[0].end, number});
    }
}

// Where the line after the first `lines` lines of text starts; npos if it has fewer.
std::size_t afterLines(const std::string& text, int lines) {
    std::size_t at = 0;
    for (int i = 0; i < lines && at != npos; ++i) {
        at = text.find("\r\n", at);
        if (at != npos) at += 2;
    }
    return at;
}

// What follows the last record of a text file: the file written with no
// records, after its first `lines` lines.
std::string closingLines(bool recordFormat, int lines) {
    std::string text;
    textFileText(SaveSource(), AllRecords, recordFormat, &text);
    const std::size_t at = afterLines(text, lines);
    return at == npos ? std::string() : text.substr(at);
}

// ---- CSV export ----

bool readCsv(const std::string& bytes, Candidate* c) {
    const std::size_t heads = readIdentityLine(bytes, 0, "  SN: ", "  -  Data Exported On ", c);
    const std::size_t at = heads == npos ? npos : bytes.find("\r\n", heads);
    // The CSV's fields hold no commas: the writer made them spaces.
    if (at == npos || !readRecords(bytes, at + 2, kCsvLine, ',', std::string(), c)) return false;
    std::string again;
    return csvFileText(c->source, SelectedRecords, &again) && again == bytes;
}

// ---- text files ----

// The three header lines; the offset past them, or npos.
std::size_t readTextHeader(const std::string& bytes, Candidate* c) {
    const std::size_t first = bytes.find("\r\n");
    const std::size_t end =
        first == npos ? npos : readIdentityLine(bytes, first + 2, " SN: ", " -  Data Saved On ", c);
    return end != npos && bytes.compare(end, 2, "\r\n") == 0 ? end + 2 : npos;
}

bool readRecordText(const std::string& bytes, Candidate* c) {
    const std::size_t at = readTextHeader(bytes, c);
    if (at == npos || !readRecords(bytes, at, kRecordBlock, '\0', closingLines(true, 3), c))
        return false;
    std::string again;
    return textFileText(c->source, SelectedRecords, true, &again) && again == bytes;
}

// The first column-head line of the list format for these widths.
std::string listHeads(const std::vector<int>& widths) {
    std::string text;
    listFileText(SaveSource(), AllRecords, widths, &text);
    const std::size_t at = afterLines(text, 3);
    const std::size_t end = at == npos ? npos : text.find("\r\n", at);
    return end == npos ? std::string() : text.substr(at, end - at);
}

// A pressure cell of the list: its text padded on the left to 4, a space and
// the unit, then the cell's padding.  Spaces before a text of up to 4 bytes
// cannot be told from that padding: they are read as padding.
bool readPressure(const std::string& cell, const std::string& unit, std::string* text) {
    const std::string s = trimmedRight(cell), end = " " + unit;
    if (s.size() < 4 + end.size() || s.compare(s.size() - end.size(), end.size(), end) != 0)
        return false;
    *text = s.substr(0, s.size() - end.size());
    if (text->size() == 4) *text = trimmedLeft(*text);
    return true;
}

// One record line of the list into the candidate.  starts: where its nine
// cells start (the two pressure columns are one cell, the first of them
// mmhgWidth wide).  A cell is padded to its width, so a text's own trailing
// spaces cannot be told from the padding: they are read as padding.
bool readListLine(const std::string& line, const std::vector<std::size_t>& starts,
                  std::size_t mmhgWidth, Candidate* c) {
    std::string cells[9];
    for (std::size_t k = 0; k < 9; ++k) {
        const std::size_t end = k + 1 < 9 ? starts[k + 1] : line.size();
        cells[k] = line.substr(starts[k], end - starts[k]);
    }
    // Cells 0..6 are columns 0..6; cell 7 holds both pressure columns,
    // "  37 mmHg   0.7 PSI"; cell 8 is the last column.
    Texts t;
    const std::string& both = cells[7];
    if (both.size() < mmhgWidth + 2 || both.compare(mmhgWidth, 2, "  ") != 0 ||
        !readPressure(both.substr(0, mmhgWidth), "mmHg", &t[Mmhg]))
        return false;
    for (char code : {'p', 'k', 'b', 'm'})
        if (readPressure(both.substr(mmhgWidth + 2), unitName(code), &t[User]))
            t[Unit] = unitName(code);
    const Slot plain[] = {Number, Device, Date, Time, Duration, Flow, Volume};
    for (std::size_t k = 0; k < 7; ++k) t[plain[k]] = trimmedRight(cells[k]);
    t[Peak] = trimmedRight(cells[8]);
    t[Number] = trimmedLeft(t[Number]);  // padded on the left to 3
    for (std::size_t k = 0; k < kSlots; ++k)
        if (t[k].size() > kLongest[k]) return false;
    return !t[Unit].empty() && c->add(recordNumber(t[Number]), recordOf(t));
}

// The list format.  Where its columns start and how wide they are is read
// from the file's first column-head line against the writers' own head line
// with no padding: the file's line is that line with each head padded to its
// column's width.  Only the split between the two pressure columns (the
// second has no head) is not seen there; each split is tried.  Every line
// is as long as the head line, so the record lines are read by their length:
// a field may hold a line end.
bool readListText(const std::string& bytes, Candidate* c) {
    std::size_t at = readTextHeader(bytes, c);
    std::string heads;
    for (int i = 0; i < 3; ++i) {  // the two column-head lines and the rule under them
        const std::size_t end = at == npos ? npos : bytes.find("\r\n", at);
        if (end == npos) return false;
        if (i == 0) heads = bytes.substr(at, end - at);
        at = end + 2;
    }
    constexpr std::size_t kColumns = 10;
    const std::vector<int> zero(kColumns, 0);
    const std::string bare = listHeads(zero);

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

    const std::string closing = closingLines(false, 6);
    const std::size_t step = heads.size() + 2;
    if (bytes.size() < at + closing.size() ||
        bytes.compare(bytes.size() - closing.size(), npos, closing) != 0 ||
        (bytes.size() - closing.size() - at) % step != 0)
        return false;
    const int padding = static_cast<int>(padBefore[next[7]]);  // of both pressure columns
    std::string again;
    for (int first = 0; first <= padding; ++first) {
        widths[7] = headLength[7] + first;
        widths[8] = headLength[8] + padding - first;
        Candidate trial = *c;
        bool read = true;
        for (std::size_t p = at; read && p + closing.size() < bytes.size(); p += step)
            read = bytes.compare(p + heads.size(), 2, "\r\n") == 0 &&
                   readListLine(bytes.substr(p, heads.size()), starts,
                                static_cast<std::size_t>(widths[7]), &trial);
        if (read && listFileText(trial.source, SelectedRecords, widths, &again) && again == bytes) {
            *c = std::move(trial);
            return true;
        }
    }
    return false;
}

// ---- raw block ----

// A block as the link received it, with the identity reply of its tester.
// A tester that held no records sent a well-formed block of none: that is a
// download of no records, not damage.
bool readRawBlock(const std::string& bytes, const std::vector<std::uint8_t>* identityReply,
                  SavedFileContents* out, std::string* why) {
    const auto* block = reinterpret_cast<const std::uint8_t*>(bytes.data());
    std::vector<TestRecord> records;
    std::size_t capacity = 0;
    std::string damage;
    if (!decodeRecords(block, &records, &capacity, &damage) && !blockHoldsNoRecords(block)) {
        *why = "a raw block, but damaged: " + damage;
        return false;
    }
    if (!identityReply) {
        *why = "a raw block needs its tester's identity reply, " +
               std::to_string(kIdentityReplySize) +
               " bytes, given with --identity FILE: lumkest-cli info --identity FILE writes it "
               "while the tester is docked (a download that an archive could not take is kept "
               "whole, reply included, for import --pending)";
        return false;
    }
    TesterIdentity tester;
    std::string wrong;
    if (!parseIdentityReply(identityReply->data(), identityReply->size(), &tester, &wrong)) {
        *why = "the identity reply given with it is not one: " + wrong;
        return false;
    }
    // Records are archived under their tester's serial number for ever.
    if (tester.serial.empty()) {
        *why = "the identity reply given with it names no serial number";
        return false;
    }
    out->kind = SavedFileKind::RawBlock;
    out->form = RecordForm::Received;
    out->tester.id = tester.id;
    out->tester.serial = tester.serial;
    out->records = std::move(records);
    out->block.assign(block, block + kDataBlockSize);
    return true;
}

// Why bytes that no reader takes are refused: what is wrong with them where
// that is plain at a glance, else what they are not.
std::string refusal(const std::string& bytes) {
    const std::string kinds =
        "a CSV export, a text file or a raw " + std::to_string(kDataBlockSize) + "-byte block";
    TesterIdentity tester;
    if (bytes.empty()) return "the file is empty, not " + kinds;
    if (bytes.find('\n') != npos && bytes.find("\r\n") == npos)
        return "its lines end in LF, not CR LF as LUM Kest writes them; it was changed since "
               "(copied as text, or saved by an editor): import it as LUM Kest wrote it";
    if (parseIdentityReply(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(),
                           &tester))
        return "it is a tester's identity reply, not a file of records: it goes with a raw block";
    return "not a file LUM Kest wrote (" + kinds + ")";
}

}  // namespace

bool readSavedFile(const std::string& bytes, const std::vector<std::uint8_t>* identityReply,
                   SavedFileContents* out, std::string* why) {
    // "12/29/03 18:34:00" in the C locale; room for any locale's %x %X.
    constexpr std::size_t kLongestStamp = 40;
    *out = SavedFileContents();
    // Only a block starts with its marker: the other files start with a text
    // of their own.
    if (bytes.size() == kDataBlockSize && static_cast<std::uint8_t>(bytes[0]) == kDataBlockMarker)
        return readRawBlock(bytes, identityReply, out, why);
    struct Reader {
        SavedFileKind kind;
        RecordForm form;
        bool (*read)(const std::string&, Candidate*);
    };
    const Reader readers[] = {{SavedFileKind::Csv, RecordForm::Csv, readCsv},
                              {SavedFileKind::RecordText, RecordForm::Text, readRecordText},
                              {SavedFileKind::ListText, RecordForm::Text, readListText}};
    for (const Reader& reader : readers) {
        Candidate c;
        if (!reader.read(bytes, &c)) continue;
        // The header's texts come from a tester and from this program, whose
        // formats bound them: anything longer was not written by either.
        const TesterIdentity& t = c.source.tester;
        if (t.id.size() > kIdWidth || t.serial.size() > kSerialWidth ||
            c.source.stamp.size() > kLongestStamp) {
            *why = "its header names a tester ID of " + std::to_string(t.id.size()) +
                   " bytes, a serial number of " + std::to_string(t.serial.size()) +
                   " and a time of " + std::to_string(c.source.stamp.size()) + "; a tester gives " +
                   std::to_string(kIdWidth) + " and " + std::to_string(kSerialWidth) +
                   " at most, and LUM Kest writes " + std::to_string(kLongestStamp) + " at most";
            return false;
        }
        out->kind = reader.kind;
        out->form = reader.form;
        out->tester = c.source.tester;
        out->stamp = c.source.stamp;
        out->records = std::move(c.inOrder);
        for (TestRecord& r : out->records) r.selected = 0;
        return true;
    }
    *why = refusal(bytes);
    return false;
}
