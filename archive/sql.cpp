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

std::size_t recordOfTexts(const std::vector<std::string>& texts, TestRecord* r) {
    *r = emptyRecord();
    char* const fields[] = {r->deviceID,     r->testDate,     r->testTime,
                            r->testDuration, r->flow,         r->volume,
                            r->pressureMMHG, r->pressureUser, r->peakPressureTime};
    const std::size_t sizes[] = {
        sizeof r->deviceID,     sizeof r->testDate,     sizeof r->testTime,
        sizeof r->testDuration, sizeof r->flow,         sizeof r->volume,
        sizeof r->pressureMMHG, sizeof r->pressureUser, sizeof r->peakPressureTime};
    std::size_t cut = texts.size();
    for (std::size_t k = 0; k < texts.size() && k < kTextColumns.size(); ++k) {
        if (texts[k].size() >= sizes[k] && cut == texts.size()) cut = k;
        setField(fields[k], sizes[k], texts[k]);
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

QVariant Row::operator[](const char* column) {
    // Few columns, each asked for by the same constant: a short list.
    for (const auto& [name, at] : at_)
        if (name == column) return q_.value(at);
    at_.emplace_back(column, q_.record().indexOf(QLatin1String(column)));
    return q_.value(at_.back().second);
}

TestRecord Row::record() {
    TestRecord r;
    std::vector<std::string> texts;
    for (const char* column : kTextColumns) texts.push_back(text(column));
    recordOfTexts(texts, &r);
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
    return text;
}
