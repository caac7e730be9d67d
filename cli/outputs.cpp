#include "cli/outputs.h"

#include <langinfo.h>
#include <locale.h>

#include <QBuffer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
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

// The records' JSON is written here directly, a record at a time, in the
// bytes of Qt's own writer (QJsonDocument::Indented: keys in order, four
// spaces a level, the same escapes and numbers), which the tests hold it
// to: a QJsonObject for each of a million records took most of a history's
// time and all of its memory.

// A Latin-1 text as a JSON string (UTF-8).
void jsonString(std::string& out, const std::string& latin1) {
    static const char kHex[] = "0123456789abcdef";
    out += '"';
    for (const unsigned char c : latin1) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
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
    }
    out += '"';
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

std::string jsonText(const std::string& latin1) {
    std::string out;
    jsonString(out, latin1);
    return out;
}

// {"id", "serial"} at the depth of indent.
std::string testerJson(const ArchiveTester& tester, const std::string& indent) {
    return "{\n" + indent + "    \"id\": " + jsonText(tester.id) + ",\n" + indent +
           "    \"serial\": " + jsonText(tester.serial) + "\n" + indent + "}";
}

// One record, its position, raw texts and typed values, at the depth of
// indent; history adds its tester and the time of its first download.
void recordJson(std::string& out, const TestRecord& r, int position, const std::string& indent,
                const ArchivedRecord* archived = nullptr) {
    const TypedRecord t = typedRecord(r);
    const std::string in = indent + "    ";
    std::vector<std::pair<const char*, std::string>> members = {
        {"deviceID", jsonText(FIELD_TEXT(r, deviceID))},
        {"durationSeconds", jsonNumber(t.durationSeconds)},
        {"firstDownloaded", archived ? jsonText(archived->firstDownloaded) : std::string()},
        {"flow", jsonText(FIELD_TEXT(r, flow))},
        {"flowMlPerHour", jsonNumber(t.flow)},
        {"peakPressureTime", jsonText(FIELD_TEXT(r, peakPressureTime))},
        {"peakTimeSeconds", jsonNumber(t.peakSeconds)},
        {"pressureMMHG", jsonText(FIELD_TEXT(r, pressureMMHG))},
        {"pressureMmHgValue", jsonNumber(t.pressureMmHg)},
        {"pressureUnits", jsonText(unitName(r.pressureUnits))},
        {"pressureUser", jsonText(FIELD_TEXT(r, pressureUser))},
        {"pressureUserValue", jsonNumber(t.pressureUser)},
        {"record", std::to_string(position)},
        {"testDate", jsonText(FIELD_TEXT(r, testDate))},
        {"testDuration", jsonText(FIELD_TEXT(r, testDuration))},
        {"testTime", jsonText(FIELD_TEXT(r, testTime))},
        {"tested", t.tested ? jsonText(*t.tested) : "null"},
        {"tester", archived ? testerJson(archived->tester, in) : std::string()},
        {"volume", jsonText(FIELD_TEXT(r, volume))},
        {"volumeMl", jsonNumber(t.volume)},
    };
    out += indent + "{";
    const char* between = "\n";
    for (const auto& [key, value] : members) {
        if (value.empty()) continue;  // history's members in a download
        out += between + in + "\"" + key + "\": " + value;
        between = ",\n";
    }
    out += "\n" + indent + "}";
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
    QJsonArray list;
    for (const ArchiveDownload& d : downloads)
        list.append(QJsonObject{
            {"download", static_cast<double>(d.number)},
            {"downloaded", QString::fromStdString(d.downloaded)},
            {"tester",
             QJsonObject{{"id", latin1Text(d.tester.id)}, {"serial", latin1Text(d.tester.serial)}}},
            {"form", QString::fromLatin1(formName(d.form))},
            {"records", static_cast<double>(d.records)},
            {"new", static_cast<double>(d.newRecords)},
        });
    return QJsonDocument(QJsonObject{{"format", 1}, {"downloads", list}})
        .toJson(QJsonDocument::Indented);
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
    std::string out = "{\n    \"downloaded\": " + jsonText(isoLocalTime(downloaded)) +
                      ",\n    \"format\": 1,\n    \"records\": [\n";
    int position = 0;
    for (const TestRecord& r : source.records) {
        if (position) out += ",\n";
        recordJson(out, r, ++position, "        ");
    }
    out += std::string(position ? "\n" : "") + "    ],\n    \"tester\": " +
           testerJson({source.instrumentId, source.instrumentSerial}, "    ") + "\n}\n";
    return QByteArray::fromStdString(out);
}

std::string historyJsonOpening() { return "{\n    \"format\": 1,\n    \"records\": [\n"; }

std::string historyJsonRecord(const ArchivedRecord& a, int position) {
    std::string out = position > 1 ? ",\n" : "";
    recordJson(out, a.record, position, "        ", &a);
    return out;
}

std::string historyJsonClosing(bool anyRecords) {
    return std::string(anyRecords ? "\n" : "") + "    ]\n}\n";
}

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
