#include "cli/outputs.h"

#include <langinfo.h>
#include <locale.h>

#include <QBuffer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPdfWriter>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/fonts.h"
#include "archive/archive.h"
#include "archive/typed.h"
#include "print/qtcanvas.h"

namespace {

template <class T>
QJsonValue orNull(const std::optional<T>& value) {
    return value ? QJsonValue(static_cast<double>(*value)) : QJsonValue(QJsonValue::Null);
}

// One record: its position, raw texts and typed values.
QJsonObject recordObject(const TestRecord& r, int position) {
    const TypedRecord typed = typedRecord(r);
    return QJsonObject{
        {"record", position},
        {"deviceID", latin1Text(FIELD_TEXT(r, deviceID))},
        {"testDate", latin1Text(FIELD_TEXT(r, testDate))},
        {"testTime", latin1Text(FIELD_TEXT(r, testTime))},
        {"testDuration", latin1Text(FIELD_TEXT(r, testDuration))},
        {"flow", latin1Text(FIELD_TEXT(r, flow))},
        {"volume", latin1Text(FIELD_TEXT(r, volume))},
        {"pressureMMHG", latin1Text(FIELD_TEXT(r, pressureMMHG))},
        {"pressureUser", latin1Text(FIELD_TEXT(r, pressureUser))},
        {"pressureUnits", QString::fromLatin1(unitName(r.pressureUnits))},
        {"peakPressureTime", latin1Text(FIELD_TEXT(r, peakPressureTime))},
        {"tested", typed.tested ? QJsonValue(QString::fromLatin1(typed.tested->c_str()))
                                : QJsonValue(QJsonValue::Null)},
        {"flowMlPerHour", orNull(typed.flow)},
        {"volumeMl", orNull(typed.volume)},
        {"durationSeconds", orNull(typed.durationSeconds)},
        {"peakTimeSeconds", orNull(typed.peakSeconds)},
        {"pressureMmHgValue", orNull(typed.pressureMmHg)},
        {"pressureUserValue", orNull(typed.pressureUser)},
    };
}

QJsonObject testerObject(const std::string& id, const std::string& serial) {
    return QJsonObject{{"id", latin1Text(id)}, {"serial", latin1Text(serial)}};
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
    return {std::to_string(d.number), d.downloaded,        d.tester.serial,
            d.tester.id,              formName(d.form),     std::to_string(d.records),
            std::to_string(d.newRecords)};
}
const std::vector<std::string> kDownloadHeads = {"download", "downloaded", "tester_serial",
                                                 "tester_id", "form",       "records",
                                                 "new"};

}  // namespace

QByteArray downloadsJson(const std::vector<ArchiveDownload>& downloads) {
    QJsonArray list;
    for (const ArchiveDownload& d : downloads)
        list.append(QJsonObject{
            {"download", static_cast<double>(d.number)},
            {"downloaded", QString::fromStdString(d.downloaded)},
            {"tester", testerObject(d.tester.id, d.tester.serial)},
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
        for (std::size_t k = 0; k < cells.size(); ++k) widths[k] = std::max(widths[k], cells[k].size());
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
    QJsonArray records;
    int position = 0;
    for (const TestRecord& r : source.records) records.append(recordObject(r, ++position));
    // Local time with its offset always spelled out ("+00:00", never "Z"),
    // so an import sees one form whatever the zone.
    const QJsonObject whole{
        {"format", 1},
        {"tester", testerObject(source.instrumentId, source.instrumentSerial)},
        {"downloaded", QString::fromStdString(isoLocalTime(downloaded))},
        {"records", records},
    };
    return QJsonDocument(whole).toJson(QJsonDocument::Indented);
}

std::string historyJsonOpening() { return "{\n    \"format\": 1,\n    \"records\": [\n"; }

std::string historyJsonRecord(const ArchivedRecord& a, int position) {
    QJsonObject r = recordObject(a.record, position);
    r.insert("tester", testerObject(a.tester.id, a.tester.serial));
    r.insert("firstDownloaded", QString::fromStdString(a.firstDownloaded));
    // The object as it stands in the array: two levels in, after a comma
    // unless it is the first.
    const QByteArray object = QJsonDocument(r).toJson(QJsonDocument::Indented);
    std::string out = position > 1 ? ",\n" : "";
    out.reserve(object.size() + 200);
    qsizetype start = 0;
    while (start < object.size()) {
        const qsizetype end = object.indexOf('\n', start);
        if (end < 0) break;
        if (start > 0) out += '\n';
        out += "        ";
        out.append(object.constData() + start, static_cast<std::size_t>(end - start));
        start = end + 1;
    }
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
