// The workshop's lists in the archive, the asset list and the tester list:
// numbered versions, each the whole list as one file gave it, added and
// never changed.

#include "archive/sql.h"
#include "workshop/identity.h"
#include "workshop/typed.h"

namespace {

using namespace archivesql;

// A list's tables: its versions and their rows, and the first schema
// version that has them.
struct ListTables {
    const char* versions;
    const char* rows;
    const char* rowsOfList;
    int from;
};
const ListTables kAssetTables{"asset_lists", "asset_rows", kAssetRowsOfList, 3};
const ListTables kTesterTables{"tester_lists", "tester_rows", kTesterRowsOfList, 5};

// Adds a version's row with the next number; info->number is its number.
bool insertVersion(Archive::Connection& c, const ListTables& t, std::size_t rows,
                   AssetListInfo* info, std::string* error) {
    info->rows = static_cast<long long>(rows);
    QSqlQuery list(c.db);
    if (!c.prepare(list, c.sql(insertNumbered(t.versions, kAssetListColumns)), "cannot write to",
                   error))
        return false;
    list.bindValue(QStringLiteral(":loaded"), latin1(info->loaded));
    list.bindValue(QStringLiteral(":loaded_utc"), static_cast<qlonglong>(info->loadedUtc));
    list.bindValue(QStringLiteral(":sha256"), latin1(info->sha256));
    list.bindValue(QStringLiteral(":row_count"), static_cast<int>(rows));
    if (!c.first(list, "cannot write to", error)) return false;
    info->number = Row(list)["id"].toLongLong();
    return true;
}

// Version number of a list, or the latest for 0, and its rows one at a
// time to each; false with *error when there is no such version (none at
// all for 0 is no error: info->number 0).
bool readVersion(Archive::Connection& c, const ListTables& t, long long number, AssetListInfo* info,
                 const std::function<void(Row&)>& each, std::string* error) {
    *info = AssetListInfo();
    const std::string none = c.shown + " holds no " +
                             (t.from == kTesterTables.from ? "tester" : "asset") + " list " +
                             std::to_string(number);
    if (c.version < t.from) {
        if (number == 0) return true;
        *error = none;
        return false;
    }
    QSqlQuery q(c.db);
    const QString select = QStringLiteral("SELECT id, %1 FROM %T%%2 WHERE ")
                               .arg(columnList(kAssetListColumns), QLatin1String(t.versions));
    if (!c.prepare(q,
                   c.sql(select + (number == 0 ? QStringLiteral("id = (SELECT %C%max(id) FROM "
                                                                "%T%%1) OR id = :number")
                                                     .arg(QLatin1String(t.versions))
                                               : QStringLiteral("id = :number"))),
                   "cannot read", error))
        return false;
    q.bindValue(QStringLiteral(":number"), static_cast<qlonglong>(number));
    if (!c.run(q, "cannot read", error)) return false;
    if (!q.next()) {
        if (number == 0) return true;
        *error = none;
        return false;
    }
    Row list(q);
    info->number = list["id"].toLongLong();
    info->loaded = list.text("loaded");
    info->loadedUtc = list["loaded_utc"].toLongLong();
    info->sha256 = list.text("sha256");
    info->rows = list["row_count"].toLongLong();
    q.finish();
    QSqlQuery r(c.db);
    r.setForwardOnly(true);
    if (!c.prepare(r, c.sql(t.rowsOfList), "cannot read", error)) return false;
    r.bindValue(QStringLiteral(":list"), static_cast<qlonglong>(info->number));
    if (!c.run(r, "cannot read", error)) return false;
    Row row(r);
    while (r.next()) each(row);
    if (!r.lastError().isValid()) return true;
    *error = c.failure("cannot read", r.lastError());
    return false;
}

// Adds a version in the open transaction, or in one of its own.
bool addVersion(Archive::Connection& c, Archive& archive, const std::string& fileBytes,
                std::time_t loaded, AssetListInfo* info,
                const std::function<bool(std::string*)>& insert, std::string* error) {
    *info = AssetListInfo();
    info->sha256 = sha256Hex(fileBytes);
    info->loaded = isoLocalTime(loaded);
    info->loadedUtc = loaded;
    if (!c.inTransaction) return archive.transaction(insert, error);
    if (insert(error)) return true;
    c.rollback();
    return false;
}

}  // namespace

namespace archivesql {

bool insertAssetList(Archive::Connection& c, const std::vector<AssetRow>& rows, AssetListInfo* info,
                     std::string* error) {
    if (!insertVersion(c, kAssetTables, rows.size(), info, error)) return false;
    // Many rows to a statement: a server answers each statement once, and a
    // workshop's list runs to thousands of rows.  Within the smallest limit
    // of bound values (SQLite's 32,766).
    constexpr std::size_t kRowsPerInsert = 200;
    const std::vector<const char*> columns = kAssetRowColumns + kAssetLifeColumns;
    QSqlQuery full(c.db), rest(c.db);
    if (rows.size() >= kRowsPerInsert &&
        !c.prepare(full, c.sql(insertRows("asset_rows", columns, kRowsPerInsert)),
                   "cannot write to", error))
        return false;
    const QVariant none(QMetaType::fromType<QString>());
    for (std::size_t first = 0; first < rows.size(); first += kRowsPerInsert) {
        const std::size_t count = std::min(kRowsPerInsert, rows.size() - first);
        QSqlQuery& q = count == kRowsPerInsert ? full : rest;
        if (count < kRowsPerInsert &&
            !c.prepare(rest, c.sql(insertRows("asset_rows", columns, count)), "cannot write to",
                       error))
            return false;
        for (std::size_t n = 0; n < count; ++n) {
            const AssetRow& r = rows[first + n];
            const auto values = assetValues(r.values);
            q.bindValue(placeholder("list_id", n), static_cast<qlonglong>(info->number));
            q.bindValue(placeholder("line", n), r.line);
            q.bindValue(placeholder("device_id", n), latin1(r.deviceId));
            q.bindValue(placeholder("device_key", n), latin1(identityText(r.deviceId)));
            q.bindValue(placeholder("model", n), latin1(r.model));
            q.bindValue(placeholder("location", n), latin1(r.location));
            for (std::size_t k = 0; k < kAssetValueColumns.size(); ++k)
                q.bindValue(placeholder(kAssetValueColumns[k], n),
                            *values[k] ? QVariant(latin1((*values[k])->text())) : none);
            q.bindValue(placeholder("interval_days", n), nullable(r.values.intervalDays));
            q.bindValue(placeholder("valid_from", n), latin1(r.validFrom));
            q.bindValue(placeholder("asset_tag", n), latin1(r.assetTag));
            q.bindValue(placeholder("retired_from", n), latin1(r.retiredFrom));
        }
        if (!c.run(q, "cannot write to", error)) return false;
    }
    return true;
}

bool insertTesterList(Archive::Connection& c, const std::vector<TesterRow>& rows,
                      AssetListInfo* info, std::string* error) {
    QSqlQuery row(c.db);
    if (!insertVersion(c, kTesterTables, rows.size(), info, error) ||
        !c.prepare(row, c.sql(insertInto("tester_rows", kTesterRowColumns)), "cannot write to",
                   error))
        return false;
    for (const TesterRow& r : rows) {
        row.bindValue(QStringLiteral(":list_id"), static_cast<qlonglong>(info->number));
        row.bindValue(QStringLiteral(":line"), r.line);
        row.bindValue(QStringLiteral(":tester_serial"), latin1(r.serial));
        row.bindValue(QStringLiteral(":calibrated_on"), latin1(r.calibratedOn));
        row.bindValue(QStringLiteral(":calibration_due"), latin1(r.calibrationDue));
        row.bindValue(QStringLiteral(":certificate"), latin1(r.certificate));
        if (!c.run(row, "cannot write to", error)) return false;
    }
    return true;
}

}  // namespace archivesql

using namespace archivesql;

bool Archive::addAssetList(const std::vector<AssetRow>& rows, const std::string& fileBytes,
                           std::time_t loaded, AssetListInfo* info, std::string* error) {
    return addVersion(
        *c_, *this, fileBytes, loaded, info,
        [&](std::string* e) { return insertAssetList(*c_, rows, info, e); }, error);
}

bool Archive::addTesterList(const std::vector<TesterRow>& rows, const std::string& fileBytes,
                            std::time_t loaded, AssetListInfo* info, std::string* error) {
    return addVersion(
        *c_, *this, fileBytes, loaded, info,
        [&](std::string* e) { return insertTesterList(*c_, rows, info, e); }, error);
}

bool Archive::assetList(long long number, std::vector<AssetRow>* rows, AssetListInfo* info,
                        std::string* error) {
    rows->clear();
    const bool life = c_->version >= 5;
    return readVersion(
        *c_, kAssetTables, number, info,
        [&](Row& row) {
            AssetRow a;
            a.line = row["line"].toInt();
            a.deviceId = row.text("device_id");
            a.model = row.text("model");
            a.location = row.text("location");
            const auto values = assetValues(a.values);
            for (std::size_t k = 0; k < kAssetValueColumns.size(); ++k) {
                const QVariant v = row[kAssetValueColumns[k]];
                if (!v.isNull()) *values[k] = Decimal::parse(bytesOf(v.toString()));
            }
            const QVariant interval = row["interval_days"];
            if (!interval.isNull()) a.values.intervalDays = interval.toLongLong();
            a.validFrom = row.text("valid_from");
            if (life) {
                a.assetTag = row.text("asset_tag");
                a.retiredFrom = row.text("retired_from");
            }
            rows->push_back(std::move(a));
        },
        error);
}

bool Archive::latestAssetList(long long* number, std::string* error) {
    *number = 0;
    if (c_->version < kAssetTables.from) return true;
    QSqlQuery q(c_->db);
    if (!c_->prepare(q, c_->sql("SELECT %C%max(id) AS latest FROM %T%asset_lists"), "cannot read",
                     error) ||
        !c_->first(q, "cannot read", error))
        return false;
    *number = Row(q)["latest"].toLongLong();  // none: NULL, read as 0
    return true;
}

bool Archive::testerList(long long number, std::vector<TesterRow>* rows, AssetListInfo* info,
                         std::string* error) {
    rows->clear();
    return readVersion(
        *c_, kTesterTables, number, info,
        [&](Row& row) {
            TesterRow t;
            t.line = row["line"].toInt();
            t.serial = row.text("tester_serial");
            t.calibratedOn = row.text("calibrated_on");
            t.calibrationDue = row.text("calibration_due");
            t.certificate = row.text("certificate");
            rows->push_back(std::move(t));
        },
        error);
}
