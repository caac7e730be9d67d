#include "archive/sql.h"

#include <QSqlRecord>
#include <climits>

#include "workshop/typed.h"

namespace archivesql {

const std::vector<const char*> kTextColumns = {"device_id",     "test_date",     "test_time",
                                               "test_duration", "flow",          "volume",
                                               "pressure_mmhg", "pressure_user", "peak_time"};
const std::vector<const char*> kUnitColumns = {"unit_code", "unit"};
const std::vector<const char*> kKeyColumns = {"record_key", "tester_serial", "first_download",
                                              "form", "device_key"};
const std::vector<const char*> kTypedColumns = {
    "tested",      "flow_ml_h",           "volume_ml",          "duration_s",
    "peak_time_s", "pressure_mmhg_value", "pressure_user_value"};
const std::vector<const char*> kDownloadColumns = {"tester_serial",  "tester_id", "downloaded",
                                                   "downloaded_utc", "form",      "record_count"};
const std::vector<const char*> kAssetListColumns = {"loaded", "loaded_utc", "sha256", "row_count"};
const std::vector<const char*> kAssetValueColumns = {"set_rate_ml_h",      "flow_low_pct",
                                                     "flow_high_pct",      "occlusion_min_mmhg",
                                                     "occlusion_max_mmhg", "peak_time_max_s"};
const std::vector<const char*> kAssetRowColumns =
    std::vector<const char*>{"list_id", "line", "device_id", "device_key", "model", "location"} +
    kAssetValueColumns + std::vector<const char*>{"interval_days", "valid_from"};
const std::vector<const char*> kAssetLifeColumns = {"asset_tag", "retired_from"};
const std::vector<const char*> kTesterRowColumns = {
    "list_id", "line", "tester_serial", "calibrated_on", "calibration_due", "certificate"};
const char* const kTesterRowsOfList =
    "SELECT * FROM %T%tester_rows WHERE list_id = :list ORDER BY line";
const char* const kAssetRowsOfList =
    "SELECT * FROM %T%asset_rows WHERE list_id = :list ORDER BY line";

std::vector<const char*> operator+(std::vector<const char*> a, const std::vector<const char*>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

QString columnList(const std::vector<const char*>& names, const char* prefix) {
    QStringList list;
    for (const char* name : names) list << QLatin1String(prefix) + QLatin1String(name);
    return list.join(QStringLiteral(", "));
}

QString assignments(const std::vector<const char*>& names, const char* separator) {
    QStringList list;
    for (const char* name : names)
        list << QLatin1String(name) + QStringLiteral(" = ") + placeholder(name);
    return list.join(QLatin1String(separator));
}

QString placeholder(const char* column) { return QLatin1Char(':') + QLatin1String(column); }

QString updateTexts() {
    return QStringLiteral("UPDATE %T%records SET form = :form, ") +
           assignments(kTextColumns + std::vector<const char*>{"unit_code"});
}

QString insertInto(const char* table, const std::vector<const char*>& columns) {
    return QStringLiteral("INSERT INTO %T%%1 (%2) VALUES (%3)")
        .arg(QLatin1String(table), columnList(columns), columnList(columns, ":"));
}

QString insertRows(const char* table, const std::vector<const char*>& columns, std::size_t rows) {
    QStringList values;
    for (std::size_t n = 0; n < rows; ++n) {
        QStringList row;
        for (const char* column : columns) row << placeholder(column, n);
        values << QLatin1Char('(') + row.join(QStringLiteral(", ")) + QLatin1Char(')');
    }
    return QStringLiteral("INSERT INTO %T%%1 (%2) VALUES %3")
        .arg(QLatin1String(table), columnList(columns), values.join(QStringLiteral(", ")));
}

QString placeholder(const char* column, std::size_t row) {
    return placeholder(column) + QLatin1Char('_') + QString::number(row);
}

QString insertNumbered(const char* table, const std::vector<const char*>& columns) {
    return QStringLiteral(
               "INSERT INTO %T%%1 (id, %2) %OVERRIDE% VALUES ((SELECT coalesce(%C%max(id), 0) + 1 "
               "FROM %T%%1), %3) RETURNING id")
        .arg(QLatin1String(table), columnList(columns), columnList(columns, ":"));
}

QString latin1(const std::string& s) {
    return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}

std::string bytesOf(const QString& s) { return s.toLatin1().toStdString(); }

QString rawText(const char* column, const char* prefix) {
    return QStringLiteral("CAST(%1%2 AS %RAW%) AS %2")
        .arg(QLatin1String(prefix), QLatin1String(column));
}

namespace {

// An SQLite text's UTF-8 bytes back to the Latin-1 bytes the archive keeps,
// read exactly as SQLite converts a text to UTF-16 for Qt and
// QString::toLatin1 then makes bytes of it: every character U+0001-U+00FF
// is its byte, any other "?" for each UTF-16 unit it takes, and bytes that
// are no UTF-8 are read as SQLite reads them.
void latin1OfUtf8(const char* p, std::size_t size, std::string* out) {
    out->clear();
    const auto* in = reinterpret_cast<const unsigned char*>(p);
    const auto* end = in + size;
    while (in != end) {
        const auto* ascii = in;
        while (ascii != end && *ascii < 0x80) ++ascii;
        out->append(reinterpret_cast<const char*>(in), static_cast<std::size_t>(ascii - in));
        if (ascii == end) break;
        in = ascii;
        std::uint32_t c = *in++;
        if (c >= 0xC0) {
            // SQLite's reading: the lead byte's bits after its leading ones,
            // then every continuation byte that follows, however many.
            int ones = 2;
            while (ones < 8 && (c & (0x80u >> ones))) ++ones;
            c &= 0xFFu >> (ones + 1);
            while (in != end && (*in & 0xC0) == 0x80) c = (c << 6) + (*in++ & 0x3F);
            if (c < 0x80 || (c & 0xFFFFF800) == 0xD800 || (c & 0xFFFFFFFE) == 0xFFFE) c = 0xFFFD;
        }
        if (c <= 0xFF)
            *out += static_cast<char>(c);
        else
            out->append(c <= 0xFFFF ? 1 : 2, '?');
    }
}

}  // namespace

bool latin1Text(const QVariant& v, std::string* out) {
    if (v.typeId() != QMetaType::QString) return false;
    const QString s = v.toString();
    for (QChar c : s)
        if (c.unicode() == 0 || c.unicode() > 0xFF) return false;
    *out = bytesOf(s);
    return true;
}

bool integerValue(const QVariant& v, long long* out) {
    if (v.isNull()) return false;
    switch (v.typeId()) {
        case QMetaType::LongLong:
        case QMetaType::Int:
        case QMetaType::UInt:
            *out = v.toLongLong();
            return true;
        case QMetaType::ULongLong:
            *out = v.toLongLong();
            return v.toULongLong() <= static_cast<qulonglong>(LLONG_MAX);
        default:
            return false;
    }
}

QVariant nullable(const std::optional<double>& v) {
    return v ? QVariant(*v) : QVariant(QMetaType::fromType<double>());
}
QVariant nullable(const std::optional<long long>& v) {
    return v ? QVariant(*v) : QVariant(QMetaType::fromType<long long>());
}
QVariant nullable(const std::optional<std::string>& v) {
    return v ? QVariant(latin1(*v)) : QVariant(QMetaType::fromType<QString>());
}

namespace {

// A record's text fields with their sizes, in kTextColumns' order.
std::array<std::pair<char*, std::size_t>, 9> textFields(TestRecord& r) {
    return {{{r.deviceID, sizeof r.deviceID},
             {r.testDate, sizeof r.testDate},
             {r.testTime, sizeof r.testTime},
             {r.testDuration, sizeof r.testDuration},
             {r.flow, sizeof r.flow},
             {r.volume, sizeof r.volume},
             {r.pressureMMHG, sizeof r.pressureMMHG},
             {r.pressureUser, sizeof r.pressureUser},
             {r.peakPressureTime, sizeof r.peakPressureTime}}};
}

}  // namespace

std::size_t recordOfTexts(const std::vector<std::string>& texts, TestRecord* r) {
    *r = emptyRecord();
    const auto fields = textFields(*r);
    std::size_t cut = texts.size();
    for (std::size_t k = 0; k < texts.size() && k < kTextColumns.size(); ++k) {
        if (texts[k].size() >= fields[k].second && cut == texts.size()) cut = k;
        setField(fields[k].first, fields[k].second, texts[k]);
    }
    return cut;
}

std::vector<std::string> recordTexts(const TestRecord& r) {
    return {
        FIELD_TEXT(r, deviceID),     FIELD_TEXT(r, testDate),     FIELD_TEXT(r, testTime),
        FIELD_TEXT(r, testDuration), FIELD_TEXT(r, flow),         FIELD_TEXT(r, volume),
        FIELD_TEXT(r, pressureMMHG), FIELD_TEXT(r, pressureUser), FIELD_TEXT(r, peakPressureTime)};
}

void bindTexts(QSqlQuery& q, const TestRecord& r, bool codeKnown) {
    const std::vector<std::string> texts = recordTexts(r);
    for (std::size_t k = 0; k < kTextColumns.size(); ++k)
        q.bindValue(placeholder(kTextColumns[k]), latin1(texts[k]));
    // The unit code as the archive keeps it: NULL when a file named mmHg,
    // whose code is known only from a received block.
    q.bindValue(QStringLiteral(":unit_code"),
                codeKnown ? QVariant(static_cast<int>(static_cast<unsigned char>(r.pressureUnits)))
                          : QVariant(QMetaType::fromType<int>()));
}

bool codeKnownIn(RecordForm form, const TestRecord& r) {
    return form == RecordForm::Received || unitCode(unitName(r.pressureUnits)) != 'm';
}

void bindDownload(QSqlQuery& q, const SourceDownload& d) {
    const QVariant values[] = {latin1(d.serial),
                               latin1(d.testerId),
                               latin1(d.downloaded),
                               static_cast<qlonglong>(d.utc),
                               d.form,
                               static_cast<qlonglong>(d.count)};
    for (std::size_t k = 0; k < kDownloadColumns.size(); ++k)
        q.bindValue(placeholder(kDownloadColumns[k]), values[k]);
    q.bindValue(QStringLiteral(":block_sha256"), d.block.empty()
                                                     ? QVariant(QMetaType::fromType<QString>())
                                                     : QVariant(latin1(d.block)));
}

void Row::text(const char* column, std::string* out) {
    const QVariant v = (*this)[column];
    if (v.typeId() == QMetaType::QByteArray) {
        const auto* bytes = static_cast<const QByteArray*>(v.constData());
        latin1OfUtf8(bytes->constData(), static_cast<std::size_t>(bytes->size()), out);
    } else {
        *out = bytesOf(v.toString());
    }
}

QVariant Row::operator[](const char* column) {
    // Few columns, each asked for by the same constant: a short list.
    for (const auto& [name, at] : at_)
        if (name == column) return q_.value(at);
    at_.emplace_back(column, q_.record().indexOf(QLatin1String(column)));
    return q_.value(at_.back().second);
}

TestRecord Row::record() {
    TestRecord r = emptyRecord();
    const auto fields = textFields(r);
    for (std::size_t k = 0; k < kTextColumns.size(); ++k) {
        text(kTextColumns[k], &scratch_);
        setField(fields[k].first, fields[k].second, scratch_);
    }
    const QVariant code = (*this)["unit_code"];
    r.pressureUnits = code.isNull() ? unitCode(text("unit")) : static_cast<char>(code.toInt());
    return r;
}

}  // namespace archivesql

QString Archive::Connection::sql(QString text) const {
    text.replace(QLatin1String("%T%"), at);
    // Functions named with their schema, as every name in a database that
    // other roles share.
    text.replace(QLatin1String("%C%"), postgres ? QLatin1String("pg_catalog.") : QLatin1String(""));
    // Numbers are given by the program, never by PostgreSQL's sequences
    // (which leave a gap for every transaction rolled back).
    text.replace(QLatin1String("%OVERRIDE%"),
                 postgres ? QLatin1String("OVERRIDING SYSTEM VALUE") : QLatin1String(""));
    text.replace(QLatin1String("%ID%"),
                 postgres ? QLatin1String("BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY")
                          : QLatin1String("INTEGER PRIMARY KEY"));
    text.replace(QLatin1String("%BYTES%"),
                 postgres ? QLatin1String("BYTEA") : QLatin1String("BLOB"));
    // A text read as its bytes: Qt's SQLite driver hands a BLOB over as it
    // is, where it would have SQLite convert every text to UTF-16 first.
    // PostgreSQL's texts, and an SQLite file that keeps UTF-16, are read as
    // texts.
    text.replace(QLatin1String("%RAW%"),
                 postgres || !utf8 ? QLatin1String("TEXT") : QLatin1String("BLOB"));
    return text;
}
