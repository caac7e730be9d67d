// The workshop's asset list in the archive: numbered versions, each the
// whole list as one file gave it, added and never changed.

#include "archive/sql.h"
#include "workshop/identity.h"
#include "workshop/typed.h"

namespace archivesql {

bool insertAssetList(Archive::Connection& c, const std::vector<AssetRow>& rows, AssetListInfo* info,
                     std::string* error) {
    info->rows = static_cast<long long>(rows.size());
    QSqlQuery list(c.db), row(c.db);
    if (!c.prepare(list, c.sql(insertNumbered("asset_lists", kAssetListColumns)), "cannot write to",
                   error) ||
        !c.prepare(row, c.sql(insertInto("asset_rows", kAssetRowColumns)), "cannot write to",
                   error))
        return false;
    list.bindValue(QStringLiteral(":loaded"), latin1(info->loaded));
    list.bindValue(QStringLiteral(":loaded_utc"), static_cast<qlonglong>(info->loadedUtc));
    list.bindValue(QStringLiteral(":sha256"), latin1(info->sha256));
    list.bindValue(QStringLiteral(":row_count"), static_cast<int>(rows.size()));
    if (!c.first(list, "cannot write to", error)) return false;
    info->number = Row(list)["id"].toLongLong();
    list.finish();
    for (const AssetRow& r : rows) {
        const auto values = assetValues(r.values);
        row.bindValue(QStringLiteral(":list_id"), static_cast<qlonglong>(info->number));
        row.bindValue(QStringLiteral(":line"), r.line);
        row.bindValue(QStringLiteral(":device_id"), latin1(r.deviceId));
        row.bindValue(QStringLiteral(":device_key"), latin1(identityText(r.deviceId)));
        row.bindValue(QStringLiteral(":model"), latin1(r.model));
        row.bindValue(QStringLiteral(":location"), latin1(r.location));
        for (std::size_t k = 0; k < kAssetValueColumns.size(); ++k)
            row.bindValue(placeholder(kAssetValueColumns[k]),
                          *values[k] ? QVariant(latin1((*values[k])->text()))
                                     : QVariant(QMetaType::fromType<QString>()));
        row.bindValue(QStringLiteral(":interval_days"), nullable(r.values.intervalDays));
        row.bindValue(QStringLiteral(":valid_from"), latin1(r.validFrom));
        if (!c.run(row, "cannot write to", error)) return false;
    }
    return true;
}

}  // namespace archivesql

using namespace archivesql;

bool Archive::addAssetList(const std::vector<AssetRow>& rows, const std::string& fileBytes,
                           std::time_t loaded, AssetListInfo* info, std::string* error) {
    *info = AssetListInfo();
    info->sha256 = sha256Hex(fileBytes);
    info->loaded = isoLocalTime(loaded);
    info->loadedUtc = loaded;
    if (!c_->inTransaction)
        return transaction(
            [&](std::string* e) { return addAssetList(rows, fileBytes, loaded, info, e); }, error);
    if (insertAssetList(*c_, rows, info, error)) return true;
    c_->rollback();
    return false;
}

bool Archive::assetList(long long number, std::vector<AssetRow>* rows, AssetListInfo* info,
                        std::string* error) {
    rows->clear();
    *info = AssetListInfo();
    const std::string none = c_->shown + " holds no asset list " + std::to_string(number);
    if (c_->version < 3) {
        if (number == 0) return true;
        *error = none;
        return false;
    }
    QSqlQuery q(c_->db);
    const QString select = QStringLiteral("SELECT id, %1 FROM %T%asset_lists WHERE ")
                               .arg(columnList(kAssetListColumns));
    if (!c_->prepare(
            q,
            c_->sql(select + (number == 0 ? QStringLiteral("id = (SELECT %C%max(id) FROM "
                                                           "%T%asset_lists) OR id = :number")
                                          : QStringLiteral("id = :number"))),
            "cannot read", error))
        return false;
    q.bindValue(QStringLiteral(":number"), static_cast<qlonglong>(number));
    if (!c_->run(q, "cannot read", error)) return false;
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
    QSqlQuery r(c_->db);
    r.setForwardOnly(true);
    if (!c_->prepare(r, c_->sql(kAssetRowsOfList), "cannot read", error)) return false;
    r.bindValue(QStringLiteral(":list"), static_cast<qlonglong>(info->number));
    if (!c_->run(r, "cannot read", error)) return false;
    Row row(r);
    while (r.next()) {
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
        rows->push_back(std::move(a));
    }
    if (!r.lastError().isValid()) return true;
    *error = c_->failure("cannot read", r.lastError());
    return false;
}
