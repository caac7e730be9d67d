#include "cli/outputs.h"

#include <langinfo.h>
#include <locale.h>

#include <QBuffer>
#include <QLocale>
#include <QPdfWriter>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/fonts.h"
#include "archive/archive.h"
#include "archive/typed.h"
#include "print/qtcanvas.h"

namespace {

// JSON is written here directly, a record at a time, in the layout of Qt's
// own indented writer (four spaces a level, the same escapes and numbers)
// but with the members in the order the manual page lists them: a
// QJsonObject for each of a million records took most of a history's time
// and all of its memory, and sorts its keys.

// A Latin-1 text as a JSON string (UTF-8).
std::string jsonText(const std::string& latin1) {
    static const char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    for (const unsigned char c : latin1) {
        const char* escape = c == '"'    ? "\\\""
                             : c == '\\' ? "\\\\"
                             : c == '\b' ? "\\b"
                             : c == '\f' ? "\\f"
                             : c == '\n' ? "\\n"
                             : c == '\r' ? "\\r"
                             : c == '\t' ? "\\t"
                                         : nullptr;
        if (escape) {
            out += escape;
        } else if (c < 0x20) {
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out + "\"";
}

// A number as Qt writes a double: a whole one up to 2^53 in digits, any
// other in the shortest form that reads back the same, null when infinite.
template <class T>
std::string jsonNumber(const std::optional<T>& value) {
    if (!value) return "null";
    const double d = static_cast<double>(*value);
    if (!std::isfinite(d)) return "null";
    if (d == std::trunc(d) && std::fabs(d) <= 9007199254740992.0)
        return std::to_string(static_cast<long long>(d));
    return QByteArray::number(d, 'g', QLocale::FloatingPointShortest).toStdString();
}

// One object, its members in the order they are added, at the depth of
// indent (the depth its opening brace stands at).
class JsonObject {
public:
    explicit JsonObject(std::string indent) : indent_(std::move(indent)) {}
    JsonObject& text(const char* key, const std::string& latin1) {
        return value(key, jsonText(latin1));
    }
    JsonObject& number(const char* key, long long n) { return value(key, std::to_string(n)); }
    // value: JSON text already (a number, null, an object made at inner()).
    JsonObject& value(const char* key, const std::string& json) {
        body_ += (body_.empty() ? "\n" : ",\n") + inner() + "\"" + key + "\": " + json;
        return *this;
    }
    std::string inner() const { return indent_ + "    "; }
    std::string str() const { return "{" + body_ + "\n" + indent_ + "}"; }

private:
    std::string indent_, body_;
};

std::string testerJson(const TesterIdentity& tester, const std::string& indent) {
    return JsonObject(indent).text("id", tester.id).text("serial", tester.serial).str();
}

// One record: its position, raw texts and typed values, at the depth of
// indent; history adds its tester and the time of its first download.
std::string recordJson(const TestRecord& r, int position, const std::string& indent,
                       const ArchivedRecord* archived = nullptr) {
    const TypedRecord t = typedRecord(r);
    JsonObject o(indent);
    o.number("record", position)
        .text("deviceID", FIELD_TEXT(r, deviceID))
        .text("testDate", FIELD_TEXT(r, testDate))
        .text("testTime", FIELD_TEXT(r, testTime))
        .text("testDuration", FIELD_TEXT(r, testDuration))
        .text("flow", FIELD_TEXT(r, flow))
        .text("volume", FIELD_TEXT(r, volume))
        .text("pressureMMHG", FIELD_TEXT(r, pressureMMHG))
        .text("pressureUser", FIELD_TEXT(r, pressureUser))
        .text("pressureUnits", unitName(r.pressureUnits))
        .text("peakPressureTime", FIELD_TEXT(r, peakPressureTime))
        .value("tested", t.tested ? jsonText(*t.tested) : "null")
        .value("flowMlPerHour", jsonNumber(t.flow))
        .value("volumeMl", jsonNumber(t.volume))
        .value("durationSeconds", jsonNumber(t.durationSeconds))
        .value("peakTimeSeconds", jsonNumber(t.peakSeconds))
        .value("pressureMmHgValue", jsonNumber(t.pressureMmHg))
        .value("pressureUserValue", jsonNumber(t.pressureUser));
    if (archived)
        o.value("tester", testerJson(archived->tester, o.inner()))
            .text("firstDownloaded", archived->firstDownloaded);
    return o.str();
}

// "records": [...] as the last member at the top level, its items given.
const char* const kRecordsOpening = ",\n    \"records\": [\n";
std::string recordsClosing(bool anyRecords) {
    return std::string(anyRecords ? "\n" : "") + "    ]\n}\n";
}

const char* formName(RecordForm form) {
    switch (form) {
        case RecordForm::Csv:
            return "csv";
        case RecordForm::Text:
            return "text";
        case RecordForm::Received:
            break;
    }
    return "block";
}

// The cells of one download, in the order of the CSV and text columns.
std::vector<std::string> downloadCells(const ArchiveDownload& d) {
    return {std::to_string(d.number),
            d.downloaded,
            d.tester.serial,
            d.tester.id,
            formName(d.form),
            std::to_string(d.records),
            std::to_string(d.newRecords)};
}
const std::vector<std::string> kDownloadHeads = {
    "download", "downloaded", "tester_serial", "tester_id", "form", "records", "new"};

}  // namespace

QByteArray downloadsJson(const std::vector<ArchiveDownload>& downloads) {
    std::string out = "{\n    \"format\": 1,\n    \"downloads\": [";
    const char* between = "\n";
    for (const ArchiveDownload& d : downloads) {
        out += between + std::string("        ") +
               JsonObject("        ")
                   .number("download", d.number)
                   .text("downloaded", d.downloaded)
                   .value("tester", testerJson(d.tester, "            "))
                   .text("form", formName(d.form))
                   .number("records", d.records)
                   .number("new", d.newRecords)
                   .str();
        between = ",\n";
    }
    out += "\n    ]\n}\n";
    return QByteArray::fromStdString(out);
}

QByteArray infoJson(const TesterIdentity& tester) {
    return QByteArray::fromStdString(JsonObject("")
                                         .number("format", 1)
                                         .value("tester", testerJson(tester, "    "))
                                         .text("state", "connected")
                                         .str() +
                                     "\n");
}

std::string downloadsCsv(const std::vector<ArchiveDownload>& downloads) {
    auto row = [](const std::vector<std::string>& cells) {
        std::string line;
        for (const std::string& cell : cells) {
            if (!line.empty()) line += ',';
            if (cell.find_first_of(",\"\r\n") == std::string::npos) {
                line += cell;
                continue;
            }
            line += '"';
            for (char c : cell) line += c == '"' ? std::string("\"\"") : std::string(1, c);
            line += '"';
        }
        return line + "\r\n";
    };
    std::string out = row(kDownloadHeads);
    for (const ArchiveDownload& d : downloads) out += row(downloadCells(d));
    return out;
}

std::string downloadsText(const std::vector<ArchiveDownload>& downloads) {
    std::vector<std::vector<std::string>> rows{kDownloadHeads};
    for (const ArchiveDownload& d : downloads) rows.push_back(downloadCells(d));
    std::vector<std::size_t> widths(kDownloadHeads.size(), 0);
    for (const auto& cells : rows)
        for (std::size_t k = 0; k < cells.size(); ++k)
            widths[k] = std::max(widths[k], cells[k].size());
    // Numbers to the right, texts to the left; two spaces between columns.
    const bool number[] = {true, false, false, false, false, true, true};
    std::string out;
    for (const auto& cells : rows) {
        std::string line;
        for (std::size_t k = 0; k < cells.size(); ++k) {
            const std::string pad(widths[k] - cells[k].size(), ' ');
            if (k) line += "  ";
            line += number[k] ? pad + cells[k] : cells[k] + (k + 1 < cells.size() ? pad : "");
        }
        out += line + "\n";
    }
    return out;
}

QByteArray recordsJson(const SaveSource& source, std::time_t downloaded) {
    // Local time with its offset always spelled out ("+00:00", never "Z"),
    // so an import sees one form whatever the zone.
    std::string out =
        "{\n    \"format\": 1,\n    \"tester\": " + testerJson(source.tester, "    ") +
        ",\n    \"downloaded\": " + jsonText(isoLocalTime(downloaded)) + kRecordsOpening;
    int position = 0;
    for (const TestRecord& r : source.records) {
        out += position ? ",\n        " : "        ";
        out += recordJson(r, ++position, "        ");
    }
    return QByteArray::fromStdString(out + recordsClosing(position > 0));
}

std::string historyJsonOpening() { return std::string("{\n    \"format\": 1") + kRecordsOpening; }

std::string historyJsonRecord(const ArchivedRecord& a, int position) {
    return (position > 1 ? ",\n        " : "        ") +
           recordJson(a.record, position, "        ", &a);
}

std::string historyJsonClosing(bool anyRecords) { return recordsClosing(anyRecords); }

QByteArray historyJson(const std::vector<ArchivedRecord>& archived) {
    std::string out = historyJsonOpening();
    int position = 0;
    for (const ArchivedRecord& a : archived) out += historyJsonRecord(a, ++position);
    out += historyJsonClosing(position > 0);
    return QByteArray::fromStdString(out);
}

Paper localePaper() {
    // The paper category alone, read without changing the program's locale.
    const locale_t paper = ::newlocale(LC_PAPER_MASK, "", static_cast<locale_t>(nullptr));
    if (!paper) return Paper::A4;
    const auto height =
        static_cast<int>(reinterpret_cast<std::intptr_t>(::nl_langinfo_l(_NL_PAPER_HEIGHT, paper)));
    ::freelocale(paper);
    return height == 279 ? Paper::Letter : Paper::A4;
}

bool reportPdf(const ReportJob& job, Paper paper, QByteArray* pdf) {
    pdf->clear();
    QBuffer buffer(pdf);
    if (!buffer.open(QIODevice::WriteOnly)) return false;
    QPdfWriter writer(&buffer);
    writer.setResolution(1200);
    writer.setPageSize(QPageSize(paper == Paper::Letter ? QPageSize::Letter : QPageSize::A4));
    writer.setTitle(QStringLiteral("LUM Kest"));
    writer.setCreator(QStringLiteral("LUM Kest"));
    QtPrintCanvas canvas(writer);
    return printReport(canvas, job) == 0 && !pdf->isEmpty();
}
