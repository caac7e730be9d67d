#include "cli/outputs.h"

#include <langinfo.h>
#include <locale.h>

#include <QBuffer>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPdfWriter>
#include <cstdint>
#include <cstdlib>

#include "app/fonts.h"
#include "print/qtcanvas.h"

QByteArray recordsJson(const SaveSource& source, std::time_t downloaded) {
    QJsonArray records;
    int position = 0;
    for (const TestRecord& r : source.records) {
        records.append(QJsonObject{
            {"record", ++position},
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
        });
    }
    // Local time with its offset always spelled out ("+00:00", never "Z"),
    // so an import sees one form whatever the zone.
    const QDateTime local = QDateTime::fromSecsSinceEpoch(downloaded);
    const int offset = local.offsetFromUtc();
    const QString stamp = local.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss")) +
                          QString::asprintf("%c%02d:%02d", offset < 0 ? '-' : '+',
                                            std::abs(offset) / 3600, std::abs(offset) % 3600 / 60);
    const QJsonObject whole{
        {"tester", QJsonObject{{"id", latin1Text(source.instrumentId)},
                               {"serial", latin1Text(source.instrumentSerial)}}},
        {"downloaded", stamp},
        {"records", records},
    };
    return QJsonDocument(whole).toJson(QJsonDocument::Indented);
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
