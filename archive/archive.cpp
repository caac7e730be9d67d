#include "archive/archive.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <QByteArray>
#include <QCryptographicHash>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <numeric>
#include <unordered_map>

#include "archive/pguri.h"

namespace {

constexpr int kBusyTimeoutMs = 60000;  // a busy SQLite archive is waited for, not refused
// Serialises the creation and upgrade of the tables on PostgreSQL, where two
// concurrent CREATE TABLE can collide.  Bounded by the session's lock_timeout.
constexpr long long kCreateLockKey = 0x4c554d4b455354;  // "LUMKEST"

// The tables of schema version 1.  %T% is where the tables live (the schema
// lumkest on PostgreSQL, so that no search_path can split the archive; the
// one database on SQLite); %ID% and %BYTES% are the other differences
// between the two database systems.  SCHEMA.md describes every column.
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
// the first two statements every record is keyed again (Connection::rekey).
const char* const kVersion2Columns =
    "ALTER TABLE %T%records ADD COLUMN device_key TEXT NOT NULL DEFAULT ''";
const char* const kVersion2Indexes[] = {
    "DROP INDEX %T%records_device",
    "CREATE INDEX records_device_key ON %T%records (device_key, tested, id)",
    "CREATE INDEX records_first ON %T%records (first_download)",
};

// A record's columns, each named once; the statements are built from
// these lists, with named placeholders (":device_id").
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
// An asset row's values, in AssetValues' order.
const std::vector<const char*> kAssetValueColumns = {"set_rate_ml_h",      "flow_low_pct",
                                                     "flow_high_pct",      "occlusion_min_mmhg",
                                                     "occlusion_max_mmhg", "peak_time_max_s"};

// The raw texts, in the order of recordTexts(), then the unit's two.
const std::vector<const char*> kTextColumns = {"device_id",     "test_date",     "test_time",
                                               "test_duration", "flow",          "volume",
                                               "pressure_mmhg", "pressure_user", "peak_time"};
const std::vector<const char*> kUnitColumns = {"unit_code", "unit"};
// What a record is filed under, and its typed values (archive/typed.h).
const std::vector<const char*> kKeyColumns = {"record_key", "tester_serial", "first_download",
                                              "form", "device_key"};
const std::vector<const char*> kTypedColumns = {
    "tested",      "flow_ml_h",           "volume_ml",          "duration_s",
    "peak_time_s", "pressure_mmhg_value", "pressure_user_value"};

std::vector<const char*> operator+(std::vector<const char*> a, const std::vector<const char*>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// "a, b" with each name after prefix: "r.a, r.b", or ":a, :b".
QString columnList(const std::vector<const char*>& names, const char* prefix = "") {
    QStringList list;
    for (const char* name : names) list << QLatin1String(prefix) + QLatin1String(name);
    return list.join(QStringLiteral(", "));
}

// "a = :a, b = :b".
QString assignments(const std::vector<const char*>& names) {
    QStringList list;
    for (const char* name : names)
        list << QLatin1String(name) + QStringLiteral(" = :") + QLatin1String(name);
    return list.join(QStringLiteral(", "));
}

QString placeholder(const char* column) { return QLatin1Char(':') + QLatin1String(column); }

// Server encodings that keep every byte 0x01-0xFF of the tester's texts.
const char* const kWholeEncodings[] = {"UTF8", "LATIN1", "SQL_ASCII"};

QString latin1(const std::string& s) {
    return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}

std::string bytesOf(const QString& s) { return s.toLatin1().toStdString(); }

// The first line of a database's message, without the level word, spaces
// run together.
std::string oneLine(const QSqlError& e) {
    QString text = e.databaseText().trimmed();
    if (text.isEmpty()) text = e.driverText().trimmed();
    text = text.section(QLatin1Char('\n'), 0, 0).simplified();
    for (const char* level : {"FATAL: ", "ERROR: "})
        if (text.startsWith(QLatin1String(level)))
            text = text.mid(static_cast<qsizetype>(std::strlen(level)));
    if (text.isEmpty()) text = QStringLiteral("unknown database error");
    return text.toStdString();
}

// SQLite takes the name as UTF-8 text, which not every file name is; as a
// "file:" URI every byte can be spelled as %XX.
QString sqliteUri(const std::string& name) {
    QString uri = QStringLiteral("file:");
    if (!name.empty() && name[0] == '/') uri += QStringLiteral("//");
    static const char kHex[] = "0123456789ABCDEF";
    for (unsigned char c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '/' || c == '.' || c == '_' || c == '-' ||
                           c == '~';
        if (plain) {
            uri += QLatin1Char(static_cast<char>(c));
        } else {
            uri += QLatin1Char('%');
            uri += QLatin1Char(kHex[c >> 4]);
            uri += QLatin1Char(kHex[c & 15]);
        }
    }
    return uri;
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

std::string sha256Hex(const std::vector<std::uint8_t>& bytes) {
    return QCryptographicHash::hash(QByteArray(reinterpret_cast<const char*>(bytes.data()),
                                               static_cast<qsizetype>(bytes.size())),
                                    QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}

std::atomic<unsigned> connectionCount{0};

// The columns of a query's rows by name, looked up once per query.
class Row {
public:
    explicit Row(const QSqlQuery& q) : q_(q) {}
    QVariant operator[](const char* column) {
        // Few columns, each asked for by the same constant: a short list.
        for (const auto& [name, at] : at_)
            if (name == column) return q_.value(at);
        at_.emplace_back(column, q_.record().indexOf(QLatin1String(column)));
        return q_.value(at_.back().second);
    }
    std::string text(const char* column) { return bytesOf((*this)[column].toString()); }

    // The record's raw texts and unit.
    TestRecord record() {
        TestRecord r = emptyRecord();
        char* const fields[] = {r.deviceID,     r.testDate,     r.testTime,
                                r.testDuration, r.flow,         r.volume,
                                r.pressureMMHG, r.pressureUser, r.peakPressureTime};
        const std::size_t sizes[] = {
            sizeof r.deviceID,     sizeof r.testDate,     sizeof r.testTime,
            sizeof r.testDuration, sizeof r.flow,         sizeof r.volume,
            sizeof r.pressureMMHG, sizeof r.pressureUser, sizeof r.peakPressureTime};
        for (std::size_t k = 0; k < kTextColumns.size(); ++k)
            setField(fields[k], sizes[k], text(kTextColumns[k]));
        const QVariant code = (*this)["unit_code"];
        r.pressureUnits = code.isNull() ? unitCode(text("unit")) : static_cast<char>(code.toInt());
        return r;
    }

private:
    const QSqlQuery& q_;
    std::vector<std::pair<const char*, int>> at_;
};

std::vector<std::string> recordTexts(const TestRecord& r) {
    return {
        FIELD_TEXT(r, deviceID),     FIELD_TEXT(r, testDate),     FIELD_TEXT(r, testTime),
        FIELD_TEXT(r, testDuration), FIELD_TEXT(r, flow),         FIELD_TEXT(r, volume),
        FIELD_TEXT(r, pressureMMHG), FIELD_TEXT(r, pressureUser), FIELD_TEXT(r, peakPressureTime)};
}

// The unit code as the archive keeps it: NULL when a file named mmHg, whose
// code is known only from a received block.
QVariant unitCodeValue(const TestRecord& r, bool codeKnown) {
    return codeKnown ? QVariant(static_cast<int>(static_cast<unsigned char>(r.pressureUnits)))
                     : QVariant(QMetaType::fromType<int>());
}

// Binds the record's texts and unit code to their named placeholders.
void bindTexts(QSqlQuery& q, const TestRecord& r, bool codeKnown) {
    const std::vector<std::string> texts = recordTexts(r);
    for (std::size_t k = 0; k < kTextColumns.size(); ++k)
        q.bindValue(placeholder(kTextColumns[k]), latin1(texts[k]));
    q.bindValue(QStringLiteral(":unit_code"), unitCodeValue(r, codeKnown));
}

// Whether a record's unit code came with it: always from a received block;
// from a file, for any unit but mmHg (whose code a file does not show).
bool codeKnownIn(RecordForm form, const TestRecord& r) {
    return form == RecordForm::Received || unitCode(unitName(r.pressureUnits)) != 'm';
}

// Whether the file lies on a file system mounted read-only, where nobody
// can change it while it is read.
bool onReadOnlyFileSystem(const std::string& name) {
    struct statvfs fs;
    return ::statvfs(name.c_str(), &fs) == 0 && (fs.f_flag & ST_RDONLY) != 0;
}

}  // namespace

struct Archive::Connection {
    QString name;  // Qt's name of the connection, unique in the process
    QSqlDatabase db;
    bool postgres = false;
    std::string shown;           // the archive as messages name it
    int version = 0;             // of the archive as found (0: none yet)
    QString at;                  // where the tables are, with its dot: "lumkest." on PostgreSQL
    QString oldSchema;           // PostgreSQL, version 1: the schema search_path put its tables in
    bool inTransaction = false;  // one begun by Archive::begin
    bool made = false;           // this connection made the archive

    ~Connection() {
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(name);
    }

    QString sql(const char* text) const { return sql(QString::fromLatin1(text)); }
    QString sql(QString text) const {
        text.replace(QLatin1String("%T%"), at);
        text.replace(QLatin1String("%ID%"),
                     postgres ? QLatin1String("BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY")
                              : QLatin1String("INTEGER PRIMARY KEY"));
        text.replace(QLatin1String("%BYTES%"),
                     postgres ? QLatin1String("BYTEA") : QLatin1String("BLOB"));
        return text;
    }

    std::string failure(const char* what, const QSqlError& e) const {
        std::string cause = oneLine(e);
        // SQLite finds a read-only archive at its first statement, a read.
        if (cause.find("readonly database") != std::string::npos) what = "cannot write to";
        // A lock another session holds beyond the waiting time: SQLite's
        // busy timeout, PostgreSQL's lock_timeout (SQLSTATE 55P03).
        const QString code = e.nativeErrorCode();
        if (code == QLatin1String("55P03") || cause.find("database is locked") != std::string::npos)
            cause = "another process holds the archive (" + cause + ")";
        return std::string(what) + " " + shown + ": " + cause;
    }

    // Prepares a statement; false with *error set.
    bool prepare(QSqlQuery& q, const QString& text, const char* what, std::string* error) {
        if (q.prepare(text)) return true;
        *error = failure(what, q.lastError());
        return false;
    }

    // Runs one statement without values; false with *error set.
    bool exec(const QString& text, const char* what, std::string* error) {
        QSqlQuery q(db);
        if (q.exec(text)) return true;
        *error = failure(what, q.lastError());
        return false;
    }

    // Starts a transaction that writes.  SQLite takes the write lock at once
    // (waiting for it up to the busy timeout), so two writers never both
    // hold a read lock and fail to upgrade.
    bool begin(std::string* error) {
        return exec(postgres ? QStringLiteral("BEGIN") : QStringLiteral("BEGIN IMMEDIATE"),
                    "cannot write to", error);
    }
    void rollback() {
        QSqlQuery q(db);
        q.exec(QStringLiteral("ROLLBACK"));
        inTransaction = false;
    }
    bool commit(std::string* error) {
        inTransaction = false;
        if (exec(QStringLiteral("COMMIT"), "cannot write to", error)) return true;
        rollback();
        return false;
    }

    // Finds the archive: its schema version (0: none yet) and where its
    // tables are.  False when it cannot be read or holds other tables.
    bool findArchive(std::string* error) {
        QSqlQuery q(db);
        version = 0;
        if (postgres) {
            at = QStringLiteral("lumkest.");
            oldSchema.clear();
            // Version 2 keeps its tables in the schema lumkest; version 1
            // made them wherever search_path pointed.
            if (!q.exec(QStringLiteral(
                    "SELECT to_regclass('lumkest.archive_version') IS NOT NULL, "
                    "(SELECT n.nspname FROM pg_class c JOIN pg_namespace n ON n.oid = "
                    "c.relnamespace WHERE c.oid = to_regclass('archive_version'))")) ||
                !q.next()) {
                *error = failure("cannot read", q.lastError());
                return false;
            }
            if (!q.value(0).toBool()) {
                if (q.value(1).isNull()) return true;
                oldSchema = q.value(1).toString();
                at = db.driver()->escapeIdentifier(oldSchema, QSqlDriver::TableName) + '.';
            }
            if (!q.exec(sql("SELECT max(version) FROM %T%archive_version")) || !q.next()) {
                *error = failure("cannot read", q.lastError());
                return false;
            }
            version = q.value(0).toInt();
            return true;
        }
        // One statement, so one snapshot: the version and the tables that
        // another process may be creating at this moment.
        if (!q.exec(QStringLiteral(
                "SELECT (SELECT user_version FROM pragma_user_version), "
                "(SELECT count(*) FROM sqlite_master), "
                "(SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name IN "
                "('blocks', 'downloads', 'records'))")) ||
            !q.next()) {
            *error = failure("cannot read", q.lastError());
            return false;
        }
        const int userVersion = q.value(0).toInt();
        if (q.value(2).toInt() == 3 && userVersion > 0) {
            version = userVersion;
            return true;
        }
        if (q.value(1).toInt() == 0 && userVersion == 0) return true;
        *error = shown + " is not a LUM Kest archive (a database of other tables)";
        return false;
    }

    // Brings the archive to this program's schema version in one
    // transaction: creates it, or upgrades an older one step by step.
    bool upgrade(std::string* error) {
        // On PostgreSQL a session lock, taken before the transaction starts,
        // so that the transaction sees the tables another connection may
        // have made meanwhile.
        if (postgres) {
            QSqlQuery lock(db);
            if (!prepare(lock, QStringLiteral("SELECT pg_advisory_lock(?)"), "cannot write to",
                         error))
                return false;
            lock.addBindValue(kCreateLockKey);
            if (!lock.exec()) {
                *error = failure("cannot write to", lock.lastError());
                return false;
            }
        }
        bool ok = begin(error) && findArchive(error);
        if (ok && version > kSchemaVersion) ok = newerVersion(error);
        if (ok && version < kSchemaVersion) {
            made = version < 1;
            if (version < 1) ok = createVersion1(error);
            if (ok && version < 2) ok = upgradeTo2(error);
            if (ok && version < 3) ok = upgradeTo3(error);
            if (ok && version < 4) ok = upgradeTo4(error);
            if (ok) ok = setVersion(error);
        }
        if (ok) ok = commit(error);
        if (!ok) rollback();
        if (postgres) {
            QSqlQuery unlock(db);
            unlock.prepare(QStringLiteral("SELECT pg_advisory_unlock(?)"));
            unlock.addBindValue(kCreateLockKey);
            unlock.exec();
        }
        return ok && findArchive(error);
    }

    bool newerVersion(std::string* error) const {
        *error = shown + " has archive schema version " + std::to_string(version) +
                 "; this program reads versions 1 to " + std::to_string(kSchemaVersion) +
                 " (made by a newer LUM Kest?)";
        return false;
    }

    bool createVersion1(std::string* error) {
        at = postgres ? QStringLiteral("lumkest.") : QString();
        if (postgres &&
            !exec(QStringLiteral("CREATE SCHEMA IF NOT EXISTS lumkest"), "cannot write to", error))
            return false;
        for (const char* table : kVersion1)
            if (!exec(sql(table), "cannot write to", error)) return false;
        if (postgres &&
            !(exec(sql("CREATE TABLE %T%archive_version (version INTEGER NOT NULL)"),
                   "cannot write to", error) &&
              exec(sql("INSERT INTO %T%archive_version VALUES (1)"), "cannot write to", error)))
            return false;
        version = 1;
        return true;
    }

    bool upgradeTo2(std::string* error) {
        // Version 1 on PostgreSQL: its tables move into the schema lumkest,
        // with their indexes, constraints and identity sequences.
        if (postgres && !oldSchema.isEmpty()) {
            if (!exec(QStringLiteral("CREATE SCHEMA IF NOT EXISTS lumkest"), "cannot write to",
                      error))
                return false;
            for (const char* table : {"blocks", "downloads", "records", "archive_version"})
                if (!exec(sql(QStringLiteral("ALTER TABLE %T%%1 SET SCHEMA lumkest")
                                  .arg(QLatin1String(table))),
                          "cannot write to", error))
                    return false;
            at = QStringLiteral("lumkest.");
            oldSchema.clear();
        }
        if (!exec(sql(kVersion2Columns), "cannot write to", error) || !rekey(error)) return false;
        for (const char* index : kVersion2Indexes)
            if (!exec(sql(index), "cannot write to", error)) return false;
        version = 2;
        return true;
    }

    bool upgradeTo3(std::string* error) {
        for (const char* table : kVersion3)
            if (!exec(sql(table), "cannot write to", error)) return false;
        version = 3;
        return true;
    }

    // Version 4: a test whose time does not read is kept by its date, so
    // that it has a place in time (filters, the due list) like any other.
    bool upgradeTo4(std::string* error) {
        std::vector<std::pair<qlonglong, std::string>> dated;
        {
            QSqlQuery q(db);
            q.setForwardOnly(true);
            if (!q.exec(sql(QStringLiteral("SELECT id, %1 FROM %T%records WHERE tested IS NULL")
                                .arg(columnList(kTextColumns + kUnitColumns))))) {
                *error = failure("cannot read", q.lastError());
                return false;
            }
            Row row(q);
            while (q.next())
                if (const std::optional<std::string> tested = typedRecord(row.record()).tested)
                    dated.emplace_back(row["id"].toLongLong(), *tested);
            if (q.lastError().isValid()) {
                *error = failure("cannot read", q.lastError());
                return false;
            }
        }
        QSqlQuery set(db);
        if (!prepare(set, sql("UPDATE %T%records SET tested = :tested WHERE id = :id"),
                     "cannot write to", error))
            return false;
        for (const auto& [id, tested] : dated) {
            set.bindValue(QStringLiteral(":tested"), latin1(tested));
            set.bindValue(QStringLiteral(":id"), id);
            if (!set.exec()) {
                *error = failure("cannot write to", set.lastError());
                return false;
            }
        }
        version = 4;
        return true;
    }

    bool setVersion(std::string* error) {
        return postgres ? exec(sql(QStringLiteral("UPDATE %T%archive_version SET version = %1")
                                       .arg(kSchemaVersion)),
                               "cannot write to", error)
                        : exec(QStringLiteral("PRAGMA user_version = %1").arg(kSchemaVersion),
                               "cannot write to", error);
    }

    // Every record keyed again by today's identity rule, with its device
    // key.  Records that the rule now finds to be one (kept twice before)
    // become the first of them, which takes the fullest texts among them.
    bool rekey(std::string* error) {
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
            QSqlQuery q(db);
            q.setForwardOnly(true);
            if (!q.exec(sql(QStringLiteral("SELECT %1, id, tester_serial, form FROM %T%records "
                                           "ORDER BY id")
                                .arg(columnList(kTextColumns + kUnitColumns))))) {
                *error = failure("cannot read", q.lastError());
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
                *error = failure("cannot read", q.lastError());
                return false;
            }
        }
        QSqlQuery drop(db), texts(db), key(db);
        if (!prepare(drop, sql("DELETE FROM %T%records WHERE id = ?"), "cannot write to", error) ||
            !prepare(
                texts,
                sql(QStringLiteral("UPDATE %T%records SET form = :form, %1 WHERE id = :id")
                        .arg(assignments(kTextColumns + std::vector<const char*>{"unit_code"}))),
                "cannot write to", error) ||
            !prepare(key, sql("UPDATE %T%records SET record_key = ?, device_key = ? WHERE id = ?"),
                     "cannot write to", error))
            return false;
        auto run = [&](QSqlQuery& q) {
            if (q.exec()) return true;
            *error = failure("cannot write to", q.lastError());
            return false;
        };
        // The extra rows go first, so that no key is ever held twice.
        for (qlonglong id : twice) {
            drop.addBindValue(id);
            if (!run(drop)) return false;
        }
        for (const auto& [id, record] : fuller) {
            texts.bindValue(QStringLiteral(":form"), record.first);
            bindTexts(texts, record.second,
                      codeKnownIn(static_cast<RecordForm>(record.first), record.second));
            texts.bindValue(QStringLiteral(":id"), id);
            if (!run(texts)) return false;
        }
        for (const Keyed& row : keyed) {
            key.addBindValue(latin1(row.key));
            key.addBindValue(latin1(row.deviceKey));
            key.addBindValue(row.id);
            if (!run(key)) return false;
        }
        return true;
    }
};

namespace {

// Adds records to the archive, or gives a record already there the fuller
// texts of a fuller form.  Its identity, its typed values (which follow
// from the identity) and the download that first brought it stay.
class RecordWriter {
public:
    explicit RecordWriter(Archive::Connection& c) : c_(c), insert_(c.db), upgrade_(c.db) {}

    bool prepare(std::string* error) {
        const std::vector<const char*> all =
            kKeyColumns + kTextColumns + kUnitColumns + kTypedColumns;
        return c_.prepare(insert_,
                          c_.sql(QStringLiteral("INSERT INTO %T%records (%1) VALUES (%2) ON "
                                                "CONFLICT (record_key) DO NOTHING")
                                     .arg(columnList(all), columnList(all, ":"))),
                          "cannot write to", error) &&
               c_.prepare(upgrade_,
                          c_.sql(QStringLiteral("UPDATE %T%records SET form = :form, %1 WHERE "
                                                "record_key = :record_key AND form < :form_below")
                                     .arg(assignments(kTextColumns +
                                                      std::vector<const char*>{"unit_code"}))),
                          "cannot write to", error);
    }

    // *added: whether it was new.  codeKnown: whether its unit code is the
    // one received (a file names mmHg, not its code).
    bool add(qlonglong download, const std::string& serial, const std::string& key,
             const TestRecord& r, RecordForm form, bool codeKnown, bool* added,
             std::string* error) {
        const TypedRecord t = typedRecord(r);
        const QVariant typed[] = {nullable(t.tested),      nullable(t.flow),
                                  nullable(t.volume),      nullable(t.durationSeconds),
                                  nullable(t.peakSeconds), nullable(t.pressureMmHg),
                                  nullable(t.pressureUser)};
        insert_.bindValue(QStringLiteral(":record_key"), latin1(key));
        insert_.bindValue(QStringLiteral(":tester_serial"), latin1(serial));
        insert_.bindValue(QStringLiteral(":first_download"), download);
        insert_.bindValue(QStringLiteral(":form"), static_cast<int>(form));
        insert_.bindValue(QStringLiteral(":device_key"),
                          latin1(identityText(FIELD_TEXT(r, deviceID))));
        bindTexts(insert_, r, codeKnown);
        insert_.bindValue(QStringLiteral(":unit"), latin1(t.unit));
        for (std::size_t k = 0; k < kTypedColumns.size(); ++k)
            insert_.bindValue(placeholder(kTypedColumns[k]), typed[k]);
        if (!insert_.exec()) {
            *error = c_.failure("cannot write to", insert_.lastError());
            return false;
        }
        *added = insert_.numRowsAffected() == 1;
        if (*added || form == RecordForm::Csv) return true;
        upgrade_.bindValue(QStringLiteral(":form"), static_cast<int>(form));
        bindTexts(upgrade_, r, codeKnown);
        upgrade_.bindValue(QStringLiteral(":record_key"), latin1(key));
        upgrade_.bindValue(QStringLiteral(":form_below"), static_cast<int>(form));
        if (upgrade_.exec()) return true;
        *error = c_.failure("cannot write to", upgrade_.lastError());
        return false;
    }

private:
    Archive::Connection& c_;
    QSqlQuery insert_, upgrade_;
};

}  // namespace

Archive::Archive(std::unique_ptr<Connection> connection) : c_(std::move(connection)) {}
Archive::~Archive() = default;

bool Archive::madeNew() const { return c_->made; }

const std::string& Archive::name() const { return c_->shown; }

bool Archive::isSqliteFile(const std::string& bytes) {
    return bytes.compare(0, 16, std::string("SQLite format 3\0", 16)) == 0;
}

std::unique_ptr<Archive> Archive::open(const std::string& name, std::string* error,
                                       ArchiveAccess access) {
    auto c = std::make_unique<Connection>();
    c->name = QStringLiteral("lumkest-archive-%1").arg(++connectionCount);
    c->postgres = isPostgresUri(name);
    c->shown = c->postgres ? uriWithoutPassword(name) : name;
    const QString driver = c->postgres ? QStringLiteral("QPSQL") : QStringLiteral("QSQLITE");
    c->db = QSqlDatabase::addDatabase(driver, c->name);
    if (!c->db.isValid()) {
        *error = "the Qt database driver " + driver.toStdString() + " is not installed (package " +
                 (c->postgres ? "libqt6sql6-psql" : "libqt6sql6-sqlite") + ")";
        return nullptr;
    }
    if (name.empty()) {
        *error = "no archive named";
        return nullptr;
    }
    const bool reading = access == ArchiveAccess::Read;
    if (c->postgres) {
        // Libpq reads the URI; the program's own defaults bound every wait
        // (connecting, a lock, an idle transaction) and keep notices off
        // standard error.  Names are bytes, as libpq and the driver pass them.
        PgSettings settings;
        std::string why;
        if (!pgSettingsFromUri(name, &settings, &why)) {
            *error = "cannot open " + c->shown + ": " + why;
            return nullptr;
        }
        c->db.setHostName(QString::fromLocal8Bit(settings.host));
        c->db.setUserName(QString::fromLocal8Bit(settings.user));
        c->db.setDatabaseName(QString::fromLocal8Bit(settings.dbname));
        if (settings.port != 0) c->db.setPort(settings.port);
        c->db.setConnectOptions(QString::fromLocal8Bit(settings.connectOptions));
    } else {
        if (reading && ::access(name.c_str(), F_OK) != 0) {
            *error = "cannot open " + c->shown + ": " + std::strerror(errno);
            return nullptr;
        }
        // A reader who may not write the file opens it read-only; it still
        // takes SQLite's locks, so it sees every commit and never a half-made
        // one.  Only on a file system mounted read-only, where nobody writes,
        // is it opened as a file that never changes.
        const bool readOnly = reading && ::access(name.c_str(), W_OK) != 0;
        const bool fixed = readOnly && onReadOnlyFileSystem(name);
        c->db.setDatabaseName(sqliteUri(name) +
                              (fixed ? QStringLiteral("?immutable=1") : QString()));
        c->db.setConnectOptions(
            QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyTimeoutMs) +
            (readOnly ? QStringLiteral(";QSQLITE_OPEN_READONLY") : QString()));
    }
    if (!c->db.open()) {
        *error = c->failure("cannot open", c->db.lastError());
        return nullptr;
    }
    if (c->postgres) {
        // The tester's texts are kept as Latin-1 read byte for byte: the
        // database must hold every character U+0001-U+00FF.
        QSqlQuery q(c->db);
        if (!q.exec(QStringLiteral("SHOW server_encoding")) || !q.next()) {
            *error = c->failure("cannot read", q.lastError());
            return nullptr;
        }
        const std::string encoding = bytesOf(q.value(0).toString());
        if (std::none_of(std::begin(kWholeEncodings), std::end(kWholeEncodings),
                         [&](const char* e) { return encoding == e; })) {
            *error = "cannot use " + c->shown + ": its encoding " + encoding +
                     " cannot hold every byte of the tester's texts; make the database with "
                     "ENCODING 'UTF8'";
            return nullptr;
        }
    }
    if (!c->findArchive(error)) return nullptr;
    if (c->version > kSchemaVersion) {
        c->newerVersion(error);
        return nullptr;
    }
    if (reading) {
        if (c->version == 0) {
            *error = c->shown + " holds no archive yet";
            return nullptr;
        }
        return std::unique_ptr<Archive>(new Archive(std::move(c)));
    }
    if (c->version < kSchemaVersion && !c->upgrade(error)) return nullptr;
    if (!c->postgres) {
        // A rollback journal rather than a write-ahead log: a reader who may
        // not write the folder then reads every commit, and no -wal or -shm
        // file stays beside the archive.  Archives made in write-ahead-log
        // mode are switched once no other process has them open.
        QSqlQuery q(c->db);
        if (q.exec(QStringLiteral("PRAGMA journal_mode")) && q.next() &&
            q.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) == 0)
            q.exec(QStringLiteral("PRAGMA journal_mode = DELETE"));
    }
    return std::unique_ptr<Archive>(new Archive(std::move(c)));
}

bool Archive::begin(std::string* error) {
    if (!c_->begin(error)) return false;
    c_->inTransaction = true;
    return true;
}

bool Archive::beginReading(std::string* error) {
    return c_->exec(c_->postgres ? QStringLiteral("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY")
                                 : QStringLiteral("BEGIN"),
                    "cannot read", error);
}

bool Archive::commit(std::string* error) { return c_->commit(error); }

void Archive::rollback() { c_->rollback(); }

bool Archive::addDownload(const TesterIdentity& tester, std::time_t downloaded,
                          const std::vector<std::uint8_t>& block,
                          const std::vector<TestRecord>& records, std::vector<bool>* added,
                          std::string* error, RecordForm form, long long* number) {
    added->assign(records.size(), false);
    // Everything that needs no database first, to keep the transaction short.
    std::vector<std::string> keys;
    keys.reserve(records.size());
    for (const TestRecord& r : records) keys.push_back(recordKey(tester.serial, r));
    // Records go in by key, so that two downloads of overlapping records
    // take their row locks in one order and never deadlock.
    std::vector<std::size_t> order(records.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
    const std::string blockSha = block.empty() ? std::string() : sha256Hex(block);

    const bool own = !c_->inTransaction;
    if (own && !c_->begin(error)) return false;
    auto fail = [&](const QSqlQuery* q) {
        if (q) *error = c_->failure("cannot write to", q->lastError());
        c_->rollback();
        added->assign(records.size(), false);
        return false;
    };

    if (!block.empty()) {
        QSqlQuery q(c_->db);
        if (!c_->prepare(q,
                         c_->sql("INSERT INTO %T%blocks (sha256, bytes) VALUES (?, ?) "
                                 "ON CONFLICT (sha256) DO NOTHING"),
                         "cannot write to", error))
            return fail(nullptr);
        q.addBindValue(latin1(blockSha));
        q.addBindValue(QByteArray(reinterpret_cast<const char*>(block.data()),
                                  static_cast<qsizetype>(block.size())));
        if (!q.exec()) return fail(&q);
    }

    qlonglong downloadId = 0;
    {
        QSqlQuery q(c_->db);
        if (!c_->prepare(q,
                         c_->sql("INSERT INTO %T%downloads (tester_serial, tester_id, downloaded, "
                                 "downloaded_utc, form, block_sha256, record_count) VALUES "
                                 "(?, ?, ?, ?, ?, ?, ?) RETURNING id"),
                         "cannot write to", error))
            return fail(nullptr);
        q.addBindValue(latin1(tester.serial));
        q.addBindValue(latin1(tester.id));
        q.addBindValue(latin1(isoLocalTime(downloaded)));
        q.addBindValue(static_cast<qlonglong>(downloaded));
        q.addBindValue(static_cast<int>(form));
        q.addBindValue(block.empty() ? QVariant(QMetaType::fromType<QString>())
                                     : QVariant(latin1(blockSha)));
        q.addBindValue(static_cast<int>(records.size()));
        if (!q.exec() || !q.next()) return fail(&q);
        downloadId = q.value(0).toLongLong();
        q.finish();
    }

    RecordWriter writer(*c_);
    if (!writer.prepare(error)) return fail(nullptr);
    for (std::size_t i : order) {
        bool isNew = false;
        if (!writer.add(downloadId, tester.serial, keys[i], records[i], form,
                        codeKnownIn(form, records[i]), &isNew, error))
            return fail(nullptr);
        (*added)[i] = isNew;
    }
    if (own && !c_->commit(error)) {
        added->assign(records.size(), false);
        return false;
    }
    if (number) *number = downloadId;
    return true;
}

bool Archive::addArchive(Archive& source, ArchiveImport* summary, std::string* error) {
    *summary = ArchiveImport();
    Connection& s = *source.c_;
    struct Download {
        qlonglong id;
        QVariant serial, testerId, downloaded, utc, form, block, count;
    };
    std::vector<Download> downloads;
    {
        QSqlQuery q(s.db);
        q.setForwardOnly(true);
        if (!q.exec(s.sql("SELECT id, tester_serial, tester_id, downloaded, downloaded_utc, form, "
                          "block_sha256, record_count FROM %T%downloads ORDER BY id"))) {
            *error = s.failure("cannot read", q.lastError());
            return false;
        }
        while (q.next())
            downloads.push_back({q.value(0).toLongLong(), q.value(1), q.value(2), q.value(3),
                                 q.value(4), q.value(5), q.value(6), q.value(7)});
        if (q.lastError().isValid()) {
            *error = s.failure("cannot read", q.lastError());
            return false;
        }
    }
    const bool own = !c_->inTransaction;
    if (own && !c_->begin(error)) return false;
    auto fail = [&](const QSqlQuery* q, const Connection& on, const char* what) {
        if (q) *error = on.failure(what, q->lastError());
        c_->rollback();
        return false;
    };
    QSqlQuery block(s.db), putBlock(c_->db), same(c_->db), put(c_->db);
    if (!s.prepare(block, s.sql("SELECT bytes FROM %T%blocks WHERE sha256 = ?"), "cannot read",
                   error) ||
        !c_->prepare(putBlock,
                     c_->sql("INSERT INTO %T%blocks (sha256, bytes) VALUES (?, ?) "
                             "ON CONFLICT (sha256) DO NOTHING"),
                     "cannot write to", error) ||
        !c_->prepare(
            same,
            c_->sql(
                "SELECT id FROM %T%downloads WHERE tester_serial = ? AND "
                "tester_id = ? AND downloaded = ? AND downloaded_utc = ? AND "
                "form = ? AND coalesce(block_sha256, '-') = coalesce(?, '-') AND record_count = ?"),
            "cannot read", error) ||
        !c_->prepare(put,
                     c_->sql("INSERT INTO %T%downloads (tester_serial, tester_id, downloaded, "
                             "downloaded_utc, form, block_sha256, record_count) VALUES "
                             "(?, ?, ?, ?, ?, ?, ?) RETURNING id"),
                     "cannot write to", error))
        return fail(nullptr, *c_, "");
    // Each download is found here, or added with its block.
    std::map<qlonglong, qlonglong> here;
    for (const Download& d : downloads) {
        ++summary->downloads;
        same.addBindValue(d.serial);
        same.addBindValue(d.testerId);
        same.addBindValue(d.downloaded);
        same.addBindValue(d.utc.toLongLong());
        same.addBindValue(d.form.toInt());
        same.addBindValue(d.block);
        same.addBindValue(d.count.toInt());
        if (!same.exec()) return fail(&same, *c_, "cannot read");
        if (same.next()) {
            here[d.id] = same.value(0).toLongLong();
            same.finish();
            continue;
        }
        same.finish();
        if (!d.block.isNull()) {
            block.addBindValue(d.block);
            if (!block.exec() || !block.next()) return fail(&block, s, "cannot read");
            putBlock.addBindValue(d.block);
            putBlock.addBindValue(block.value(0).toByteArray());
            block.finish();
            if (!putBlock.exec()) return fail(&putBlock, *c_, "cannot write to");
        }
        put.addBindValue(d.serial);
        put.addBindValue(d.testerId);
        put.addBindValue(d.downloaded);
        put.addBindValue(d.utc.toLongLong());
        put.addBindValue(d.form.toInt());
        put.addBindValue(d.block.isNull() ? QVariant(QMetaType::fromType<QString>()) : d.block);
        put.addBindValue(d.count.toInt());
        if (!put.exec() || !put.next()) return fail(&put, *c_, "cannot write to");
        here[d.id] = put.value(0).toLongLong();
        put.finish();
        ++summary->downloadsAdded;
    }
    // The records in the order the source archived them, each with the
    // download that first brought it there.
    RecordWriter writer(*c_);
    if (!writer.prepare(error)) return fail(nullptr, *c_, "");
    QSqlQuery q(s.db);
    q.setForwardOnly(true);
    if (!q.exec(s.sql(QStringLiteral("SELECT %1, first_download, tester_serial, form FROM "
                                     "%T%records ORDER BY id")
                          .arg(columnList(kTextColumns + kUnitColumns)))))
        return fail(&q, s, "cannot read");
    Row row(q);
    while (q.next()) {
        const TestRecord r = row.record();
        const auto download = here.find(row["first_download"].toLongLong());
        if (download == here.end()) {
            *error = "cannot read " + s.shown + ": a record of no download";
            return fail(nullptr, s, "");
        }
        const std::string serial = row.text("tester_serial");
        const auto form = static_cast<RecordForm>(row["form"].toInt());
        bool isNew = false;
        if (!writer.add(download->second, serial, recordKey(serial, r), r, form,
                        !row["unit_code"].isNull(), &isNew, error))
            return fail(nullptr, *c_, "");
        ++summary->records;
        summary->recordsAdded += isNew ? 1 : 0;
    }
    if (q.lastError().isValid()) return fail(&q, s, "cannot read");
    q.finish();
    // Its asset lists, each version once (by its file and time), in order.
    if (s.version >= 3) {
        std::vector<long long> lists;
        QSqlQuery ids(s.db);
        if (!ids.exec(s.sql("SELECT id FROM %T%asset_lists ORDER BY id")))
            return fail(&ids, s, "cannot read");
        while (ids.next()) lists.push_back(ids.value(0).toLongLong());
        QSqlQuery known(c_->db);
        if (!c_->prepare(known,
                         c_->sql("SELECT id FROM %T%asset_lists WHERE sha256 = :sha256 AND "
                                 "loaded = :loaded"),
                         "cannot read", error))
            return fail(nullptr, *c_, "");
        for (long long id : lists) {
            std::vector<AssetRow> rows;
            AssetListInfo info;
            if (!source.assetList(id, &rows, &info, error)) return fail(nullptr, s, "");
            ++summary->assetLists;
            known.bindValue(QStringLiteral(":sha256"), latin1(info.sha256));
            known.bindValue(QStringLiteral(":loaded"), latin1(info.loaded));
            if (!known.exec()) return fail(&known, *c_, "cannot read");
            const bool there = known.next();
            known.finish();
            if (there) continue;
            if (!insertAssetList(rows, &info, error)) return fail(nullptr, *c_, "");
            ++summary->assetListsAdded;
        }
    }
    return !own || c_->commit(error);
}

namespace {

// The conditions of a filter on records r, with their values in order.
// deviceKeyed: the archive has device keys (version 2 on); without them the
// caller compares the device IDs itself.
QString historyWhere(const HistoryFilter& filter, bool deviceKeyed, QVariantList* values) {
    QString text = QStringLiteral(" WHERE 1 = 1");
    if (!filter.device.empty() && deviceKeyed) {
        text += QStringLiteral(" AND r.device_key = ?");
        *values << latin1(identityText(filter.device));
    }
    if (!filter.tester.empty()) {
        text += QStringLiteral(" AND r.tester_serial = ?");
        *values << latin1(filter.tester);
    }
    if (!filter.since.empty() || !filter.until.empty()) {
        QString dates = QStringLiteral("1 = 1");
        if (!filter.since.empty()) {
            // The bare date: a test whose time does not read is kept as its date.
            dates += QStringLiteral(" AND r.tested >= ?");
            *values << latin1(filter.since);
        }
        if (!filter.until.empty()) {
            dates += QStringLiteral(" AND r.tested <= ?");
            *values << latin1(filter.until + "T23:59:59");
        }
        text += filter.undatedToo ? " AND ((" + dates + ") OR r.tested IS NULL)"
                                  : " AND " + dates;
    }
    if (filter.download != 0) {
        text += QStringLiteral(" AND r.first_download = ?");
        *values << static_cast<qlonglong>(filter.download);
    }
    return text;
}

bool datesRead(const HistoryFilter& filter, std::string* error) {
    for (const std::string* date : {&filter.since, &filter.until}) {
        if (!date->empty() && !isIsoDate(*date)) {
            *error = "\"" + *date + "\" is no date of the form YYYY-MM-DD";
            return false;
        }
    }
    return true;
}

}  // namespace

bool Archive::count(const HistoryFilter& filter, long long* records, std::string* error) {
    *records = 0;
    if (!datesRead(filter, error)) return false;
    if (!filter.device.empty() && c_->version < 2) {
        // No device keys to count by: counted as history reads them.
        return history(
            filter, [records](const ArchivedRecord&) { return ++*records, true; }, error, false);
    }
    QVariantList values;
    QSqlQuery q(c_->db);
    if (!c_->prepare(q,
                     c_->sql(QStringLiteral("SELECT count(*) FROM %T%records r") +
                             historyWhere(filter, true, &values)),
                     "cannot read", error))
        return false;
    for (const QVariant& v : values) q.addBindValue(v);
    if (!q.exec() || !q.next()) {
        *error = c_->failure("cannot read", q.lastError());
        return false;
    }
    *records = q.value(0).toLongLong();
    return true;
}

bool Archive::history(const HistoryFilter& filter,
                      const std::function<bool(const ArchivedRecord&)>& each, std::string* error,
                      bool inTestOrder) {
    if (!datesRead(filter, error)) return false;
    // A version-1 archive, read as it stands, has no device key: its device
    // IDs are compared here instead.
    const std::string device = identityText(filter.device);
    const bool deviceHere = !filter.device.empty() && c_->version < 2;
    QVariantList values;
    QString text = QStringLiteral(
                       "SELECT %1, r.tester_serial, d.tester_id, d.downloaded, r.first_download "
                       "FROM %T%records r JOIN %T%downloads d ON d.id = r.first_download")
                       .arg(columnList(kTextColumns + kUnitColumns, "r.")) +
                   historyWhere(filter, !deviceHere, &values);
    if (inTestOrder) text += QStringLiteral(" ORDER BY r.tested ASC NULLS LAST, r.id");
    QSqlQuery q(c_->db);
    q.setForwardOnly(true);
    if (!c_->prepare(q, c_->sql(text), "cannot read", error)) return false;
    for (const QVariant& v : values) q.addBindValue(v);
    if (!q.exec()) {
        *error = c_->failure("cannot read", q.lastError());
        return false;
    }
    ArchivedRecord a;
    Row row(q);
    while (q.next()) {
        a.record = row.record();
        if (deviceHere && identityText(FIELD_TEXT(a.record, deviceID)) != device) continue;
        a.tester.serial = row.text("tester_serial");
        a.tester.id = row.text("tester_id");
        a.firstDownloaded = row.text("downloaded");
        a.firstDownload = row["first_download"].toLongLong();
        if (!each(a)) return true;
    }
    if (q.lastError().isValid()) {
        *error = c_->failure("cannot read", q.lastError());
        return false;
    }
    return true;
}

bool Archive::history(const HistoryFilter& filter, std::vector<ArchivedRecord>* out,
                      std::string* error) {
    out->clear();
    const bool ok = history(
        filter,
        [out](const ArchivedRecord& a) {
            out->push_back(a);
            return true;
        },
        error);
    if (!ok) out->clear();
    return ok;
}

bool Archive::downloads(std::vector<ArchiveDownload>* out, std::string* error) {
    out->clear();
    QSqlQuery q(c_->db);
    q.setForwardOnly(true);
    if (!q.exec(c_->sql(
            "SELECT d.id, d.downloaded, d.tester_serial, d.tester_id, d.form, d.record_count, "
            "coalesce(n.count, 0) FROM %T%downloads d LEFT JOIN (SELECT first_download, "
            "count(*) AS count FROM %T%records GROUP BY first_download) n ON n.first_download "
            "= d.id ORDER BY d.id"))) {
        *error = c_->failure("cannot read", q.lastError());
        return false;
    }
    while (q.next()) {
        ArchiveDownload d;
        d.number = q.value(0).toLongLong();
        d.downloaded = bytesOf(q.value(1).toString());
        d.tester.serial = bytesOf(q.value(2).toString());
        d.tester.id = bytesOf(q.value(3).toString());
        d.form = static_cast<RecordForm>(q.value(4).toInt());
        d.records = q.value(5).toLongLong();
        d.newRecords = q.value(6).toLongLong();
        out->push_back(d);
    }
    if (!q.lastError().isValid()) return true;
    *error = c_->failure("cannot read", q.lastError());
    out->clear();
    return false;
}

bool Archive::latestTesterId(const std::string& serial, std::string* id, std::string* error) {
    id->clear();
    QSqlQuery q(c_->db);
    if (!c_->prepare(q,
                     c_->sql("SELECT tester_id FROM %T%downloads WHERE tester_serial = ? "
                             "ORDER BY downloaded_utc DESC, id DESC LIMIT 1"),
                     "cannot read", error))
        return false;
    q.addBindValue(latin1(serial));
    if (!q.exec()) {
        *error = c_->failure("cannot read", q.lastError());
        return false;
    }
    if (q.next()) *id = bytesOf(q.value(0).toString());
    return true;
}

bool Archive::addAssetList(const std::vector<AssetRow>& rows, const std::string& fileBytes,
                           std::time_t loaded, AssetListInfo* info, std::string* error) {
    *info = AssetListInfo();
    info->sha256 = sha256Hex(std::vector<std::uint8_t>(fileBytes.begin(), fileBytes.end()));
    info->loaded = isoLocalTime(loaded);
    info->loadedUtc = loaded;
    const bool own = !c_->inTransaction;
    if (own && !c_->begin(error)) return false;
    if (!insertAssetList(rows, info, error)) {
        c_->rollback();
        return false;
    }
    return !own || c_->commit(error);
}

bool Archive::insertAssetList(const std::vector<AssetRow>& rows, AssetListInfo* info,
                              std::string* error) {
    info->rows = static_cast<long long>(rows.size());
    auto fail = [&](const QSqlQuery* q) {
        if (q) *error = c_->failure("cannot write to", q->lastError());
        return false;
    };
    QSqlQuery list(c_->db), row(c_->db);
    const std::vector<const char*> rowColumns =
        std::vector<const char*>{"list_id",    "line",  "device_id",
                                 "device_key", "model", "location"} +
        kAssetValueColumns + std::vector<const char*>{"interval_days", "valid_from"};
    if (!c_->prepare(list,
                     c_->sql("INSERT INTO %T%asset_lists (loaded, loaded_utc, sha256, row_count) "
                             "VALUES (:loaded, :loaded_utc, :sha256, :row_count) RETURNING id"),
                     "cannot write to", error) ||
        !c_->prepare(row,
                     c_->sql(QStringLiteral("INSERT INTO %T%asset_rows (%1) VALUES (%2)")
                                 .arg(columnList(rowColumns), columnList(rowColumns, ":"))),
                     "cannot write to", error))
        return fail(nullptr);
    list.bindValue(QStringLiteral(":loaded"), latin1(info->loaded));
    list.bindValue(QStringLiteral(":loaded_utc"), static_cast<qlonglong>(info->loadedUtc));
    list.bindValue(QStringLiteral(":sha256"), latin1(info->sha256));
    list.bindValue(QStringLiteral(":row_count"), static_cast<int>(rows.size()));
    if (!list.exec() || !list.next()) return fail(&list);
    info->number = list.value(0).toLongLong();
    list.finish();
    for (const AssetRow& r : rows) {
        const std::optional<Decimal>* values[] = {&r.values.setRate,      &r.values.flowLowPct,
                                                  &r.values.flowHighPct,  &r.values.occlusionMin,
                                                  &r.values.occlusionMax, &r.values.peakTimeMax};
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
        row.bindValue(QStringLiteral(":interval_days"),
                      r.values.intervalDays
                          ? QVariant(static_cast<qlonglong>(*r.values.intervalDays))
                          : QVariant(QMetaType::fromType<qlonglong>()));
        row.bindValue(QStringLiteral(":valid_from"), latin1(r.validFrom));
        if (!row.exec()) return fail(&row);
    }
    return true;
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
    if (!c_->prepare(q,
                     c_->sql(number == 0 ? "SELECT id, loaded, loaded_utc, sha256, row_count FROM "
                                           "%T%asset_lists WHERE id = (SELECT max(id) FROM "
                                           "%T%asset_lists) OR id = :number"
                                         : "SELECT id, loaded, loaded_utc, sha256, row_count "
                                           "FROM %T%asset_lists WHERE id = :number"),
                     "cannot read", error))
        return false;
    q.bindValue(QStringLiteral(":number"), static_cast<qlonglong>(number));
    if (!q.exec()) {
        *error = c_->failure("cannot read", q.lastError());
        return false;
    }
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
    if (!c_->prepare(r, c_->sql("SELECT * FROM %T%asset_rows WHERE list_id = :list ORDER BY line"),
                     "cannot read", error))
        return false;
    r.bindValue(QStringLiteral(":list"), static_cast<qlonglong>(info->number));
    if (!r.exec()) {
        *error = c_->failure("cannot read", r.lastError());
        return false;
    }
    Row row(r);
    while (r.next()) {
        AssetRow a;
        a.line = row["line"].toInt();
        a.deviceId = row.text("device_id");
        a.model = row.text("model");
        a.location = row.text("location");
        std::optional<Decimal>* values[] = {&a.values.setRate,      &a.values.flowLowPct,
                                            &a.values.flowHighPct,  &a.values.occlusionMin,
                                            &a.values.occlusionMax, &a.values.peakTimeMax};
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

bool Archive::lastTests(long long assetList, const std::string& asOf,
                        std::vector<std::pair<std::string, ArchivedRecord>>* lastByDevice,
                        std::string* error) {
    lastByDevice->clear();
    if (c_->version < 3) return true;
    // Each device of the list looked up in the records' device index, from
    // its latest test backwards: the first one dated on or before asOf and
    // not more than a day after the archive received it.
    const char* receivedPlusDay =
        c_->postgres ? "pg_catalog.to_char(CAST(pg_catalog.substr(d2.downloaded, 1, 19) AS "
                       "timestamp) + interval '1 day', 'YYYY-MM-DD\"T\"HH24:MI:SS')"
                     : "strftime('%Y-%m-%dT%H:%M:%S', substr(d2.downloaded, 1, 19), '+1 day')";
    QSqlQuery q(c_->db);
    q.setForwardOnly(true);
    if (!c_->prepare(
            q,
            c_->sql(QStringLiteral(
                        "SELECT x.device_key, %1, r.tester_serial, d.tester_id, d.downloaded, "
                        "r.first_download FROM (SELECT DISTINCT a.device_key AS device_key, "
                        "(SELECT r2.id FROM %T%records r2 JOIN %T%downloads d2 ON d2.id = "
                        "r2.first_download WHERE r2.device_key = a.device_key AND r2.tested <= "
                        ":until AND r2.tested <= %2 ORDER BY r2.tested DESC, r2.id DESC LIMIT 1) "
                        "AS last_id FROM %T%asset_rows a WHERE a.list_id = :list AND "
                        "a.device_key <> '') x JOIN %T%records r ON r.id = x.last_id JOIN "
                        "%T%downloads d ON d.id = r.first_download")
                        .arg(columnList(kTextColumns + kUnitColumns, "r."),
                             QLatin1String(receivedPlusDay))),
            "cannot read", error))
        return false;
    q.bindValue(QStringLiteral(":list"), static_cast<qlonglong>(assetList));
    q.bindValue(QStringLiteral(":until"), latin1(asOf + "T23:59:59"));
    if (!q.exec()) {
        *error = c_->failure("cannot read", q.lastError());
        return false;
    }
    Row row(q);
    while (q.next()) {
        ArchivedRecord a;
        a.record = row.record();
        a.tester.serial = row.text("tester_serial");
        a.tester.id = row.text("tester_id");
        a.firstDownloaded = row.text("downloaded");
        a.firstDownload = row["first_download"].toLongLong();
        lastByDevice->emplace_back(row.text("device_key"), std::move(a));
    }
    if (!q.lastError().isValid()) return true;
    *error = c_->failure("cannot read", q.lastError());
    return false;
}

bool Archive::firstReceived(const std::string& testerSerial,
                            const std::vector<TestRecord>& records,
                            std::vector<std::string>* received, std::string* error) {
    received->assign(records.size(), std::string());
    QSqlQuery q(c_->db);
    if (!c_->prepare(q,
                     c_->sql("SELECT d.downloaded FROM %T%records r JOIN %T%downloads d ON d.id = "
                             "r.first_download WHERE r.record_key = :record_key"),
                     "cannot read", error))
        return false;
    for (std::size_t i = 0; i < records.size(); ++i) {
        q.bindValue(QStringLiteral(":record_key"), latin1(recordKey(testerSerial, records[i])));
        if (!q.exec()) {
            *error = c_->failure("cannot read", q.lastError());
            return false;
        }
        if (q.next()) (*received)[i] = bytesOf(q.value(0).toString());
        q.finish();
    }
    return true;
}
