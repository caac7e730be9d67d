// The archive's schema: the tables of each version and the steps that make
// one version the next, run in order in one transaction, and the grants
// that follow the tables an upgrade adds.  SCHEMA.md describes every
// column; findarchive.cpp recognises what a database holds.

#include <algorithm>
#include <iterator>
#include <unordered_map>

#include "archive/recordkey.h"
#include "archive/sql.h"
#include "workshop/identity.h"
#include "workshop/typed.h"

using namespace archivesql;

namespace {

using Connection = Archive::Connection;

// The tables of schema version 1.  %T% is where the tables live (the schema
// lumkest on PostgreSQL, so that no search_path can split the archive; the
// one database on SQLite); %ID% and %BYTES% are the other differences
// between the two database systems.
const char* const kVersion1[] = {
    "CREATE TABLE %T%blocks ("
    " sha256 TEXT PRIMARY KEY,"
    " bytes %BYTES% NOT NULL)",
    "CREATE TABLE %T%downloads ("
    " id %ID%,"
    " tester_serial TEXT NOT NULL,"
    " tester_id TEXT NOT NULL,"
    " downloaded TEXT NOT NULL,"
    " downloaded_utc BIGINT NOT NULL,"
    " form INTEGER NOT NULL,"
    " block_sha256 TEXT REFERENCES %T%blocks (sha256),"
    " record_count INTEGER NOT NULL)",
    "CREATE TABLE %T%records ("
    " id %ID%,"
    " record_key TEXT NOT NULL UNIQUE,"
    " tester_serial TEXT NOT NULL,"
    " first_download BIGINT NOT NULL REFERENCES %T%downloads (id),"
    " form INTEGER NOT NULL,"
    " device_id TEXT NOT NULL,"
    " test_date TEXT NOT NULL,"
    " test_time TEXT NOT NULL,"
    " test_duration TEXT NOT NULL,"
    " flow TEXT NOT NULL,"
    " volume TEXT NOT NULL,"
    " pressure_mmhg TEXT NOT NULL,"
    " pressure_user TEXT NOT NULL,"
    " peak_time TEXT NOT NULL,"
    " unit_code INTEGER,"
    " unit TEXT NOT NULL,"
    " tested TEXT,"
    " flow_ml_h DOUBLE PRECISION,"
    " volume_ml DOUBLE PRECISION,"
    " duration_s BIGINT,"
    " peak_time_s BIGINT,"
    " pressure_mmhg_value DOUBLE PRECISION,"
    " pressure_user_value DOUBLE PRECISION)",
    "CREATE INDEX records_device ON %T%records (device_id, tested, id)",
    "CREATE INDEX records_tested ON %T%records (tested)",
    "CREATE INDEX records_tester ON %T%records (tester_serial, tested)",
    "CREATE INDEX downloads_tester ON %T%downloads (tester_serial)",
};

// Version 2: the device ID as the record identity reads it, for history
// --device, and each download's first records found by an index.  Between
// the first two statements every record is keyed again (rekey).
const char* const kVersion2Columns =
    "ALTER TABLE %T%records ADD COLUMN device_key TEXT NOT NULL DEFAULT ''";
const char* const kVersion2Indexes[] = {
    "DROP INDEX %T%records_device",
    "CREATE INDEX records_device_key ON %T%records (device_key, tested, id)",
    "CREATE INDEX records_first ON %T%records (first_download)",
};

// Version 3: the workshop's asset list, each loading a numbered version of
// the whole list, never changed.  Its numbers are kept as the file wrote
// them, so that a limit compares exactly.
const char* const kVersion3[] = {
    "CREATE TABLE %T%asset_lists ("
    " id %ID%,"
    " loaded TEXT NOT NULL,"
    " loaded_utc BIGINT NOT NULL,"
    " sha256 TEXT NOT NULL,"
    " row_count INTEGER NOT NULL)",
    "CREATE TABLE %T%asset_rows ("
    " list_id BIGINT NOT NULL REFERENCES %T%asset_lists (id),"
    " line INTEGER NOT NULL,"
    " device_id TEXT NOT NULL,"
    " device_key TEXT NOT NULL,"
    " model TEXT NOT NULL,"
    " location TEXT NOT NULL,"
    " set_rate_ml_h TEXT,"
    " flow_low_pct TEXT,"
    " flow_high_pct TEXT,"
    " occlusion_min_mmhg TEXT,"
    " occlusion_max_mmhg TEXT,"
    " peak_time_max_s TEXT,"
    " interval_days BIGINT,"
    " valid_from TEXT NOT NULL)",
    "CREATE INDEX asset_rows_list ON %T%asset_rows (list_id, line)",
};

// Version 5: each asset's tag in the maintenance-management system and the
// day it left the inventory, asset rows found by device, and the tester
// list, kept in numbered versions as the asset list is.
const char* const kVersion5[] = {
    "ALTER TABLE %T%asset_rows ADD COLUMN asset_tag TEXT NOT NULL DEFAULT ''",
    "ALTER TABLE %T%asset_rows ADD COLUMN retired_from TEXT NOT NULL DEFAULT ''",
    "CREATE INDEX asset_rows_device ON %T%asset_rows (list_id, device_key)",
    "CREATE TABLE %T%tester_lists ("
    " id %ID%,"
    " loaded TEXT NOT NULL,"
    " loaded_utc BIGINT NOT NULL,"
    " sha256 TEXT NOT NULL,"
    " row_count INTEGER NOT NULL)",
    "CREATE TABLE %T%tester_rows ("
    " list_id BIGINT NOT NULL REFERENCES %T%tester_lists (id),"
    " line INTEGER NOT NULL,"
    " tester_serial TEXT NOT NULL,"
    " calibrated_on TEXT NOT NULL,"
    " calibration_due TEXT NOT NULL,"
    " certificate TEXT NOT NULL)",
    "CREATE INDEX tester_rows_list ON %T%tester_rows (list_id, line)",
};

// Runs each statement; false with *error at the first that fails.
template <std::size_t N>
bool execAll(Connection& c, const char* const (&statements)[N], std::string* error) {
    for (const char* statement : statements)
        if (!c.exec(c.sql(statement), "cannot write to", error)) return false;
    return true;
}

bool createVersion1(Connection& c, std::string* error) {
    c.at = c.postgres ? QStringLiteral("lumkest.") : QString();
    if (c.postgres &&
        !c.exec(QStringLiteral("CREATE SCHEMA IF NOT EXISTS lumkest"), "cannot write to", error))
        return false;
    if (!execAll(c, kVersion1, error)) return false;
    return !c.postgres ||
           (c.exec(c.sql("CREATE TABLE %T%archive_version (version INTEGER NOT NULL)"),
                   "cannot write to", error) &&
            c.exec(c.sql("INSERT INTO %T%archive_version VALUES (1)"), "cannot write to", error));
}

// Every record keyed again by today's identity rule, with its device key.
// Records that the rule now finds to be one (kept twice before) become the
// first of them, which takes the fullest texts among them.
bool rekey(Connection& c, std::string* error) {
    struct Keyed {
        qlonglong id;
        std::string key, deviceKey;
    };
    struct Kept {
        qlonglong id;
        int form;
    };
    std::vector<Keyed> keyed;
    std::vector<qlonglong> twice;
    std::vector<std::pair<qlonglong, std::pair<int, TestRecord>>> fuller;
    std::unordered_map<std::string, Kept> first;
    {
        QSqlQuery q(c.db);
        q.setForwardOnly(true);
        if (!q.exec(c.sql(
                QStringLiteral("SELECT %1, id, tester_serial, form FROM %T%records ORDER BY id")
                    .arg(columnList(kTextColumns + kUnitColumns))))) {
            *error = c.failure("cannot read", q.lastError());
            return false;
        }
        Row row(q);
        while (q.next()) {
            const TestRecord r = row.record();
            const qlonglong id = row["id"].toLongLong();
            const int form = row["form"].toInt();
            std::string key = recordKey(row.text("tester_serial"), r);
            const auto [it, isNew] = first.emplace(key, Kept{id, form});
            if (!isNew) {
                twice.push_back(id);
                if (form > it->second.form) {
                    it->second.form = form;
                    fuller.push_back({it->second.id, {form, r}});
                }
                continue;
            }
            std::string deviceKey = identityText(FIELD_TEXT(r, deviceID));
            keyed.push_back({id, std::move(key), std::move(deviceKey)});
        }
        if (q.lastError().isValid()) {
            *error = c.failure("cannot read", q.lastError());
            return false;
        }
    }
    QSqlQuery drop(c.db), texts(c.db), key(c.db);
    if (!c.prepare(drop, c.sql("DELETE FROM %T%records WHERE id = :id"), "cannot write to",
                   error) ||
        !c.prepare(texts, c.sql(updateTexts() + QStringLiteral(" WHERE id = :id")),
                   "cannot write to", error) ||
        !c.prepare(key,
                   c.sql(QStringLiteral("UPDATE %T%records SET %1 WHERE id = :id")
                             .arg(assignments({"record_key", "device_key"}))),
                   "cannot write to", error))
        return false;
    // The extra rows go first, so that no key is ever held twice.
    for (qlonglong id : twice) {
        drop.bindValue(QStringLiteral(":id"), id);
        if (!c.run(drop, "cannot write to", error)) return false;
    }
    for (const auto& [id, record] : fuller) {
        texts.bindValue(QStringLiteral(":form"), record.first);
        bindTexts(texts, record.second,
                  codeKnownIn(static_cast<RecordForm>(record.first), record.second));
        texts.bindValue(QStringLiteral(":id"), id);
        if (!c.run(texts, "cannot write to", error)) return false;
    }
    for (const Keyed& row : keyed) {
        key.bindValue(QStringLiteral(":record_key"), latin1(row.key));
        key.bindValue(QStringLiteral(":device_key"), latin1(row.deviceKey));
        key.bindValue(QStringLiteral(":id"), row.id);
        if (!c.run(key, "cannot write to", error)) return false;
    }
    return true;
}

bool upgradeTo2(Connection& c, std::string* error) {
    // Version 1 on PostgreSQL: its tables move into the schema lumkest,
    // with their indexes, constraints and identity sequences.
    if (c.postgres && !c.oldSchema.isEmpty()) {
        if (!c.exec(QStringLiteral("CREATE SCHEMA IF NOT EXISTS lumkest"), "cannot write to",
                    error))
            return false;
        for (const char* table : {"blocks", "downloads", "records", "archive_version"})
            if (!c.exec(c.sql(QStringLiteral("ALTER TABLE %T%%1 SET SCHEMA lumkest")
                                  .arg(QLatin1String(table))),
                        "cannot write to", error))
                return false;
        c.at = QStringLiteral("lumkest.");
        c.oldSchema.clear();
    }
    return c.exec(c.sql(kVersion2Columns), "cannot write to", error) && rekey(c, error) &&
           execAll(c, kVersion2Indexes, error);
}

bool upgradeTo3(Connection& c, std::string* error) { return execAll(c, kVersion3, error); }

// Version 4: a test whose time does not read is kept by its date, so that it
// has a place in time (filters, the due list) like any other.
bool upgradeTo4(Connection& c, std::string* error) {
    std::vector<std::pair<qlonglong, std::string>> dated;
    {
        QSqlQuery q(c.db);
        q.setForwardOnly(true);
        if (!q.exec(c.sql(QStringLiteral("SELECT id, %1 FROM %T%records WHERE tested IS NULL")
                              .arg(columnList(kTextColumns + kUnitColumns))))) {
            *error = c.failure("cannot read", q.lastError());
            return false;
        }
        Row row(q);
        while (q.next())
            if (const std::optional<std::string> tested = typedRecord(row.record()).tested)
                dated.emplace_back(row["id"].toLongLong(), *tested);
        if (q.lastError().isValid()) {
            *error = c.failure("cannot read", q.lastError());
            return false;
        }
    }
    QSqlQuery set(c.db);
    if (!c.prepare(set, c.sql("UPDATE %T%records SET tested = :tested WHERE id = :id"),
                   "cannot write to", error))
        return false;
    for (const auto& [id, tested] : dated) {
        set.bindValue(QStringLiteral(":tested"), latin1(tested));
        set.bindValue(QStringLiteral(":id"), id);
        if (!c.run(set, "cannot write to", error)) return false;
    }
    return true;
}

bool upgradeTo5(Connection& c, std::string* error) { return execAll(c, kVersion5, error); }

// The steps, in order: kSteps[v] makes an archive of version v (0: none
// yet) one of version v + 1.
using Step = bool (*)(Connection&, std::string*);
const Step kSteps[] = {createVersion1, upgradeTo2, upgradeTo3, upgradeTo4, upgradeTo5};
static_assert(std::size(kSteps) == Archive::kSchemaVersion, "one step to each version");

bool setVersion(Connection& c, std::string* error) {
    return c.postgres
               ? c.exec(c.sql(QStringLiteral("UPDATE %T%archive_version SET version = %1")
                                  .arg(Archive::kSchemaVersion)),
                        "cannot write to", error)
               : c.exec(QStringLiteral("PRAGMA user_version = %1").arg(Archive::kSchemaVersion),
                        "cannot write to", error);
}

bool archiveTableIsNamed(const QString& table) {
    const std::vector<std::string>& names = archiveTableNames(true);
    return std::find(names.begin(), names.end(), bytesOf(table)) != names.end();
}

// The privileges other roles hold on the records table (the manual page's
// one-time GRANT) given on every table of the archive this role owns, so
// that a table an upgrade adds is granted as the old ones are.
bool grantLikeRecords(Connection& c, std::string* error) {
    QSqlQuery q(c.db);
    if (!q.exec(QStringLiteral(
            "SELECT a.privilege_type AS privilege, CASE WHEN a.grantee = 0 THEN 'PUBLIC' ELSE "
            "pg_catalog.quote_ident(r.rolname) END AS grantee FROM pg_catalog.pg_class c CROSS "
            "JOIN LATERAL pg_catalog.aclexplode(c.relacl) a LEFT JOIN pg_catalog.pg_roles r ON "
            "r.oid = a.grantee WHERE c.oid = CAST('lumkest.records' AS pg_catalog.regclass) AND "
            "a.grantee <> c.relowner"))) {
        *error = c.failure("cannot write to", q.lastError());
        return false;
    }
    static const QStringList kPrivileges = {"SELECT",   "INSERT",  "UPDATE",    "DELETE",
                                            "TRUNCATE", "TRIGGER", "REFERENCES"};
    std::vector<std::pair<QString, QString>> grants;
    Row grant(q);
    while (q.next())
        if (kPrivileges.contains(grant["privilege"].toString()))
            grants.emplace_back(grant["privilege"].toString(), grant["grantee"].toString());
    q.finish();
    if (grants.empty()) return true;
    QSqlQuery tables(c.db);
    if (!tables.exec(QStringLiteral(
            "SELECT c.relname AS table_name FROM pg_catalog.pg_class c JOIN "
            "pg_catalog.pg_namespace n ON n.oid = c.relnamespace JOIN pg_catalog.pg_roles r ON "
            "r.oid = c.relowner WHERE n.nspname = 'lumkest' AND c.relkind = 'r' AND r.rolname = "
            "CURRENT_USER"))) {
        *error = c.failure("cannot write to", tables.lastError());
        return false;
    }
    QStringList owned;
    Row table(tables);
    while (tables.next()) owned << table["table_name"].toString();
    tables.finish();
    for (const QString& name : owned) {
        if (!archiveTableIsNamed(name)) continue;
        for (const auto& [privilege, grantee] : grants)
            if (!c.exec(
                    QStringLiteral("GRANT %1 ON lumkest.%2 TO %3").arg(privilege, name, grantee),
                    "cannot write to", error))
                return false;
    }
    return true;
}

}  // namespace

bool Archive::Connection::upgrade(std::string* error) {
    // On PostgreSQL the schema lock, taken before the transaction starts, so
    // that the transaction sees the tables another connection may have made
    // meanwhile, and no reader or writer meets a table moving.
    if (postgres && !lock("pg_advisory_lock", kCreateLockKey, "cannot write to", error))
        return false;
    bool ok = begin(error) && findArchive(error);
    const bool versionOne = !oldSchema.isEmpty() || !strays.isEmpty();
    if (ok && version > kSchemaVersion) ok = newerVersion(error);
    if (ok && version < kSchemaVersion) {
        made = version < 1;
        for (int v = std::max(version, 0); ok && v < kSchemaVersion; ++v) {
            ok = kSteps[v](*this, error);
            if (ok) version = v + 1;
        }
        if (ok) ok = setVersion(*this, error);
    }
    if (ok && !strays.isEmpty()) ok = mergeStrays(error);
    if (ok && postgres) ok = grantLikeRecords(*this, error);
    if (ok) ok = commit(error);
    // A role that may not move, read or drop them all leaves them all.
    if (!ok && versionOne && lastCode == QLatin1String("42501"))
        *error = "cannot upgrade: " + versionOneLine() +
                 ", which this role may not do (permission denied): run the same command once "
                 "as a role that may read and drop their tables (their owner, or the database "
                 "owner)";
    if (!ok) rollback();
    if (postgres && db.isOpen()) {
        std::string ignored;
        lock("pg_advisory_unlock", kCreateLockKey, "cannot write to", &ignored);
    }
    return ok && findArchive(error);
}
