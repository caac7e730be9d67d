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

}  // namespace

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

QByteArray historyJson(const std::vector<ArchivedRecord>& archived) {
    QJsonArray records;
    int position = 0;
    for (const ArchivedRecord& a : archived) {
        QJsonObject r = recordObject(a.record, ++position);
        r.insert("tester", testerObject(a.tester.id, a.tester.serial));
        r.insert("firstDownloaded", QString::fromStdString(a.firstDownloaded));
        records.append(r);
    }
    return QJsonDocument(QJsonObject{{"format", 1}, {"records", records}})
        .toJson(QJsonDocument::Indented);
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
