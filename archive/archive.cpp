#include "archive/archive.h"

#include <libpq-fe.h>
#include <sqlite3.h>
#include <unistd.h>

#include <QByteArray>
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
#include <chrono>
#include <climits>
#include <cstring>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <thread>
#include <unordered_map>

#include "archive/importcheck.h"
#include "archive/pguri.h"
#include "device/decode.h"

namespace {

constexpr int kBusyTimeoutMs = 60000;  // a busy SQLite archive is waited for, not refused
// PostgreSQL's advisory locks, each bounded by the session's lock_timeout.
// The schema lock: held exclusively by whoever creates or upgrades the
// tables (two concurrent CREATE TABLE can collide, and a table being moved
// must not be read), shared by every reader and writer meanwhile.
constexpr long long kCreateLockKey = 0x4c554d4b455354;  // "LUMKEST"
// The write lock: one writer at a time, as SQLite's BEGIN IMMEDIATE gives,
// so that numbers are given in the order transactions commit and no two
// writers wait for each other's rows.
constexpr long long kWriteLockKey = 0x4c554d4b455357;  // "LUMKESW"
// A writer that meets a deadlock or a serialization failure (a writer of
// another version, say) starts its transaction again, this many times.
constexpr int kWriteAttempts = 5;

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
// What a record is filed under, and its typed values (workshop/typed.h).
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
    return ::sha256Hex(std::string(bytes.begin(), bytes.end()));
}

std::atomic<unsigned> connectionCount{0};

// A record of its nine raw texts (in kTextColumns' order), each cut to its
// field; the index of the first text that had to be cut, or texts.size().
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
        TestRecord r;
        std::vector<std::string> texts;
        for (const char* column : kTextColumns) texts.push_back(text(column));
        recordOfTexts(texts, &r);
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

// SQLite's result codes (extended: the connection asks for them).
int sqliteCode(const QSqlError& e) { return e.nativeErrorCode().toInt(); }

// What a reader that may not write meets when the file holds a write that
// never finished: a hot journal to roll back, a write-ahead log without its
// index, which only a writer may put right.
bool unfinishedWrite(int code) {
    return code == SQLITE_READONLY_ROLLBACK || code == SQLITE_READONLY_RECOVERY ||
           code == SQLITE_READONLY_CANTINIT || code == SQLITE_READONLY_CANTLOCK ||
           code == SQLITE_CANTOPEN;
}

// A PostgreSQL name quoted whole, whatever it holds.
QString quotedName(QString name) {
    return QLatin1Char('"') + name.replace(QLatin1Char('"'), QLatin1String("\"\"")) +
           QLatin1Char('"');
}

// libpq's notices go nowhere: a connection the server ends says so in the
// failing statement's one line, not in a raw line of its own.
void dropNotice(void*, const char*) {}

// A text read back as the archive keeps it: Latin-1, every character
// U+0001-U+00FF.  False for anything else, which this program never writes.
bool latin1Text(const QVariant& v, std::string* out) {
    if (v.typeId() != QMetaType::QString) return false;
    const QString s = v.toString();
    for (QChar c : s)
        if (c.unicode() == 0 || c.unicode() > 0xFF) return false;
    *out = bytesOf(s);
    return true;
}
// A whole number as a driver gives one (PostgreSQL's bigint comes as an
// unsigned one).
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

// What an archive read for import holds, each value checked, for the pass
// that then writes it from the same snapshot.
struct SourcePlan {
    std::vector<SourceDownload> downloads;                   // by number
    std::vector<std::string> blocks;                         // the blocks they name, once, sorted
    std::vector<std::pair<std::string, qlonglong>> records;  // (key, id), by key, then by id
    std::vector<std::pair<AssetListInfo, std::vector<AssetRow>>> lists;  // in their order
};

}  // namespace

struct Archive::Connection {
    QString name;  // Qt's name of the connection, unique in the process
    QSqlDatabase db;
    bool postgres = false;
    bool borrowed = false;      // another schema, read through an open connection's db
    sqlite3* handle = nullptr;  // SQLite: the driver's connection
    std::string shown;          // the archive as messages name it
    int version = 0;            // of the archive as found (0: none yet)
    QString at;                 // where the tables are, with its dot: "lumkest." on PostgreSQL
    QString oldSchema;          // PostgreSQL, version 1: the schema its tables are in
    // PostgreSQL: other schemas that hold an archive of version 1, made by
    // an older release wherever search_path pointed.  Merged into lumkest
    // by the next command that writes.
    QStringList strays;
    bool inTransaction = false;        // one begun by Archive::begin
    bool reading = false;              // a read snapshot is open
    bool readLocked = false;           // PostgreSQL: this reader shares the schema lock
    bool readOnlyFile = false;         // SQLite: opened read-only
    bool made = false;                 // this connection made the archive
    mutable QString lastCode;          // the native code of the last failure
    std::unique_ptr<SourcePlan> plan;  // an archive opened for import, checked

    ~Connection() {
        if (borrowed) return;
        endReading();
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(name);
    }

    QString sql(const char* text) const { return sql(QString::fromLatin1(text)); }
    QString sql(QString text) const {
        text.replace(QLatin1String("%T%"), at);
        // Functions named with their schema, as every name in a database
        // that other roles share.
        text.replace(QLatin1String("%C%"),
                     postgres ? QLatin1String("pg_catalog.") : QLatin1String(""));
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

    // The one line of a failure, decided on the database's own codes:
    // SQLite's extended result codes, PostgreSQL's SQLSTATE.
    std::string failure(const char* what, const QSqlError& e) const {
        lastCode = e.nativeErrorCode();
        std::string cause = oneLine(e);
        if (postgres) {
            // A lock another session holds beyond lock_timeout.
            if (lastCode == QLatin1String("55P03"))
                cause = "another process holds the archive (" + cause + ")";
            return std::string(what) + " " + shown + ": " + cause;
        }
        const int code = sqliteCode(e);
        if (readOnlyFile && unfinishedWrite(code))
            return "cannot read " + shown +
                   ": this copy holds an unfinished write: open it where it can be written, or "
                   "take the copy again";
        // SQLite finds a read-only archive at its first statement, a read.
        if ((code & 0xff) == SQLITE_READONLY) what = "cannot write to";
        // A lock another process holds beyond the busy timeout.
        if ((code & 0xff) == SQLITE_BUSY || (code & 0xff) == SQLITE_LOCKED)
            cause = "another process holds the archive (" + cause + ")";
        return std::string(what) + " " + shown + ": " + cause;
    }

    // A deadlock or a serialization failure: the transaction may start again.
    bool retryable() const {
        return postgres &&
               (lastCode == QLatin1String("40P01") || lastCode == QLatin1String("40001"));
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

    // PostgreSQL: takes (or frees) one of the program's advisory locks, the
    // function and its argument's type named, so that no other role's
    // function of that name can receive the call.
    bool lock(const char* function, long long key, const char* what, std::string* error) {
        QSqlQuery q(db);
        if (!prepare(q,
                     QStringLiteral("SELECT pg_catalog.%1(CAST(:key AS bigint))")
                         .arg(QLatin1String(function)),
                     what, error))
            return false;
        q.bindValue(QStringLiteral(":key"), static_cast<qlonglong>(key));
        if (q.exec()) return true;
        *error = failure(what, q.lastError());
        return false;
    }

    // Starts a transaction that writes.  SQLite takes the write lock at once
    // (waiting for it up to the busy timeout), so two writers never both
    // hold a read lock and fail to upgrade; PostgreSQL takes a share of the
    // schema lock (no upgrade meanwhile) and the write lock.
    bool begin(std::string* error) {
        if (!postgres) return exec(QStringLiteral("BEGIN IMMEDIATE"), "cannot write to", error);
        if (!exec(QStringLiteral("BEGIN"), "cannot write to", error)) return false;
        if (lock("pg_advisory_xact_lock_shared", kCreateLockKey, "cannot write to", error) &&
            lock("pg_advisory_xact_lock", kWriteLockKey, "cannot write to", error))
            return true;
        rollback();
        return false;
    }
    void rollback() {
        inTransaction = false;
        // A connection the server ended has nothing to roll back.
        if (!db.isOpen()) return;
        QSqlQuery q(db);
        q.exec(QStringLiteral("ROLLBACK"));
    }
    bool commit(std::string* error) {
        inTransaction = false;
        if (exec(QStringLiteral("COMMIT"), "cannot write to", error)) return true;
        rollback();
        return false;
    }

    // A snapshot for reading: every read until endReading sees the same
    // commits.  PostgreSQL shares the schema lock first, so that an upgrade
    // is waited for rather than met halfway; SQLite takes its shared lock at
    // the first read and holds it (a writer waits to commit meanwhile).
    bool beginReading(std::string* error) {
        if (reading) return true;
        if (postgres) {
            if (!lock("pg_advisory_lock_shared", kCreateLockKey, "cannot read", error))
                return false;
            readLocked = true;
        }
        reading = exec(postgres ? QStringLiteral("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY")
                                : QStringLiteral("BEGIN"),
                       "cannot read", error);
        if (!reading) endReading();
        return reading;
    }
    void endReading() {
        if (reading) rollback();
        reading = false;
        if (readLocked && db.isOpen()) {
            std::string ignored;
            lock("pg_advisory_unlock_shared", kCreateLockKey, "cannot read", &ignored);
        }
        readLocked = false;
    }

    // Finds the archive: its schema version (0: none yet) and where its
    // tables are.  An archive is recognised by all its tables and their
    // columns.  False when it cannot be read or holds other tables.
    bool findArchive(std::string* error) {
        version = 0;
        return postgres ? findOnServer(error) : findInFile(error);
    }

    bool findInFile(std::string* error) {
        at.clear();
        // One read transaction, so one snapshot of the tables that another
        // process may be making at this moment.
        const bool own = sqlite3_get_autocommit(handle) != 0;
        if (own && !exec(QStringLiteral("BEGIN"), "cannot read", error)) return false;
        const bool ok = readFileShape(error);
        if (own) rollback();
        return ok;
    }

    bool readFileShape(std::string* error) {
        QSqlQuery q(db);
        if (!q.exec(QStringLiteral("SELECT (SELECT user_version FROM pragma_user_version), "
                                   "(SELECT count(*) FROM sqlite_schema)")) ||
            !q.next()) {
            *error = failure("cannot read", q.lastError());
            return false;
        }
        const int userVersion = q.value(0).toInt();
        const long long objects = q.value(1).toLongLong();
        // The archive's tables: what each is (a view is not read, nor a
        // virtual table touched), then the columns of the real ones.
        std::map<std::string, FoundTable> found;
        if (!q.exec(
                QStringLiteral("SELECT name, type FROM pragma_table_list WHERE schema = 'main'"))) {
            *error = failure("cannot read", q.lastError());
            return false;
        }
        const std::vector<std::string>& names = archiveTableNames(false);
        while (q.next()) {
            const std::string table = bytesOf(q.value(0).toString());
            if (std::find(names.begin(), names.end(), table) != names.end())
                found[table].plain = q.value(1).toString() == QLatin1String("table");
        }
        for (auto& [table, shape] : found) {
            if (!shape.plain) continue;
            if (!prepare(q, QStringLiteral("SELECT name, hidden FROM pragma_table_xinfo(:t)"),
                         "cannot read", error))
                return false;
            q.bindValue(QStringLiteral(":t"), latin1(table));
            if (!q.exec()) {
                *error = failure("cannot read", q.lastError());
                return false;
            }
            while (q.next())
                (q.value(1).toInt() == 0 ? shape.columns : shape.generated)
                    .push_back(bytesOf(q.value(0).toString()));
        }
        if (found.empty() && objects == 0 && userVersion == 0) return true;
        // A newer version is refused by the caller, whatever its tables.
        if (userVersion > kSchemaVersion) {
            version = userVersion;
            return true;
        }
        const std::string why = userVersion < 1 ? "a database of other tables"
                                                : shapeProblem(found, userVersion, false);
        if (!why.empty()) {
            *error = shown + " is not a LUM Kest archive (" + why + ")";
            return false;
        }
        version = userVersion;
        return true;
    }

    // On a server the archive lives in the schema lumkest.  An older
    // release made its tables of version 1 in whatever schema search_path
    // pointed to, so every other schema is looked at too; another
    // application's table of the same name is no archive.
    bool findOnServer(std::string* error) {
        at = QStringLiteral("lumkest.");
        oldSchema.clear();
        strays.clear();
        QStringList names;
        for (const std::string& n : archiveTableNames(true))
            names << QLatin1Char('\'') + latin1(n) + QLatin1Char('\'');
        QSqlQuery q(db);
        q.setForwardOnly(true);
        if (!q.exec(QStringLiteral(
                        "SELECT n.nspname, c.relname, c.relkind = 'r', a.attname, "
                        "a.attgenerated <> '' FROM pg_catalog.pg_class c JOIN "
                        "pg_catalog.pg_namespace n ON n.oid = c.relnamespace LEFT JOIN "
                        "pg_catalog.pg_attribute a ON a.attrelid = c.oid AND a.attnum > 0 AND "
                        "NOT a.attisdropped WHERE c.relname IN (%1) AND c.relkind IN ('r', 'p', "
                        "'v', 'm', 'f') AND n.nspname <> 'information_schema' AND n.nspname "
                        "NOT LIKE 'pg\\_%' ORDER BY n.nspname")
                        .arg(names.join(QStringLiteral(", "))))) {
            *error = failure("cannot read", q.lastError());
            return false;
        }
        std::map<QString, std::map<std::string, FoundTable>> schemas;
        while (q.next()) {
            FoundTable& t = schemas[q.value(0).toString()][bytesOf(q.value(1).toString())];
            t.plain = q.value(2).toBool();
            if (!q.value(3).isNull())
                (q.value(4).toBool() ? t.generated : t.columns)
                    .push_back(bytesOf(q.value(3).toString()));
        }
        if (q.lastError().isValid()) {
            *error = failure("cannot read", q.lastError());
            return false;
        }
        q.finish();
        for (const auto& [schema, tables] : schemas)
            if (schema != QLatin1String("lumkest") && shapeProblem(tables, 1, true).empty())
                strays << schema;
        const auto own = schemas.find(QStringLiteral("lumkest"));
        if (own != schemas.end()) {
            const std::string wrong = shown + " is not a LUM Kest archive (its schema lumkest ";
            const auto versionTable = own->second.find("archive_version");
            if (versionTable == own->second.end() || !versionTable->second.plain) {
                *error = wrong + "holds other tables)";
                return false;
            }
            if (!q.exec(sql("SELECT %C%max(version) FROM %T%archive_version")) || !q.next()) {
                *error = failure("cannot read", q.lastError());
                return false;
            }
            version = q.value(0).toInt();
            if (version > kSchemaVersion) return true;  // refused by the caller
            const std::string why = version < 1 ? std::string("holds no version")
                                                : shapeProblem(own->second, version, true);
            if (!why.empty()) {
                version = 0;
                *error = wrong + why + ")";
                return false;
            }
            return true;
        }
        if (strays.isEmpty()) return true;
        oldSchema = strays.takeFirst();
        at = quotedName(oldSchema) + '.';
        version = 1;
        return true;
    }

    // The line that names every archive of version 1 the server holds.
    std::string versionOneLine() const {
        QStringList all = strays;
        if (!oldSchema.isEmpty()) all.prepend(oldSchema);
        std::string names;
        for (const QString& s : all) names += (names.empty() ? "\"" : ", \"") + bytesOf(s) + "\"";
        return shown + " holds archives of version 1 in the schemas " + names +
               " (an older release put them where search_path pointed): they must be merged "
               "into the schema lumkest together";
    }

    // Brings the archive to this program's schema version in one
    // transaction: creates it, or upgrades an older one step by step, and
    // merges every other archive of version 1 the server holds.
    bool upgrade(std::string* error) {
        // On PostgreSQL the schema lock, taken before the transaction starts,
        // so that the transaction sees the tables another connection may
        // have made meanwhile, and no reader or writer meets a table moving.
        if (postgres && !lock("pg_advisory_lock", kCreateLockKey, "cannot write to", error))
            return false;
        bool ok = begin(error) && findArchive(error);
        const bool versionOne = !oldSchema.isEmpty() || !strays.isEmpty();
        if (ok && version > kSchemaVersion) ok = newerVersion(error);
        if (ok && version < kSchemaVersion) {
            made = version < 1;
            if (version < 1) ok = createVersion1(error);
            if (ok && version < 2) ok = upgradeTo2(error);
            if (ok && version < 3) ok = upgradeTo3(error);
            if (ok && version < 4) ok = upgradeTo4(error);
            if (ok) ok = setVersion(error);
        }
        if (ok && !strays.isEmpty()) ok = mergeStrays(error);
        if (ok && postgres) ok = grantLikeRecords(error);
        if (ok) ok = commit(error);
        // A role that may not move, read or drop them all leaves them all.
        if (!ok && versionOne && lastCode == QLatin1String("42501"))
            *error = "cannot upgrade: " + versionOneLine() +
                     ", which this role may not do (permission denied): run the same command "
                     "once as a role that may read and drop their tables (their owner, or the "
                     "database owner)";
        if (!ok) rollback();
        if (postgres && db.isOpen()) {
            std::string ignored;
            lock("pg_advisory_unlock", kCreateLockKey, "cannot write to", &ignored);
        }
        return ok && findArchive(error);
    }

    // Each archive of version 1 in another schema, checked and imported as
    // an archive given to import is, then its tables dropped.
    bool mergeStrays(std::string* error);

    // The privileges other roles hold on the records table (the manual
    // page's one-time GRANT) given on every table of the archive this role
    // owns, so that a table an upgrade adds is granted as the old ones are.
    bool grantLikeRecords(std::string* error) {
        QSqlQuery q(db);
        if (!q.exec(QStringLiteral(
                "SELECT a.privilege_type, CASE WHEN a.grantee = 0 THEN 'PUBLIC' ELSE "
                "pg_catalog.quote_ident(r.rolname) END FROM pg_catalog.pg_class c CROSS JOIN "
                "LATERAL pg_catalog.aclexplode(c.relacl) a LEFT JOIN pg_catalog.pg_roles r ON "
                "r.oid = a.grantee WHERE c.oid = CAST('lumkest.records' AS pg_catalog.regclass) "
                "AND a.grantee <> c.relowner"))) {
            *error = failure("cannot write to", q.lastError());
            return false;
        }
        static const QStringList kPrivileges = {"SELECT",   "INSERT",  "UPDATE",    "DELETE",
                                                "TRUNCATE", "TRIGGER", "REFERENCES"};
        std::vector<std::pair<QString, QString>> grants;
        while (q.next())
            if (kPrivileges.contains(q.value(0).toString()))
                grants.emplace_back(q.value(0).toString(), q.value(1).toString());
        if (grants.empty()) return true;
        if (!q.exec(QStringLiteral(
                "SELECT c.relname FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n ON "
                "n.oid = c.relnamespace JOIN pg_catalog.pg_roles r ON r.oid = c.relowner WHERE "
                "n.nspname = 'lumkest' AND c.relkind = 'r' AND r.rolname = CURRENT_USER"))) {
            *error = failure("cannot write to", q.lastError());
            return false;
        }
        QStringList owned;
        while (q.next()) owned << q.value(0).toString();
        q.finish();
        for (const QString& table : owned) {
            if (!archiveTableIsNamed(table)) continue;
            for (const auto& [privilege, grantee] : grants)
                if (!exec(QStringLiteral("GRANT %1 ON lumkest.%2 TO %3")
                              .arg(privilege, table, grantee),
                          "cannot write to", error))
                    return false;
        }
        return true;
    }

    static bool archiveTableIsNamed(const QString& table) {
        const std::vector<std::string>& names = archiveTableNames(true);
        return std::find(names.begin(), names.end(), bytesOf(table)) != names.end();
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

// Adds a download with the next number, one past the highest: under the
// write lock, so numbers follow the order of commits and leave no gap.
bool insertDownload(Archive::Connection& c, const SourceDownload& d, qlonglong* id,
                    std::string* error) {
    QSqlQuery q(c.db);
    if (!c.prepare(q,
                   c.sql("INSERT INTO %T%downloads (id, tester_serial, tester_id, downloaded, "
                         "downloaded_utc, form, block_sha256, record_count) %OVERRIDE% VALUES "
                         "((SELECT coalesce(%C%max(id), 0) + 1 FROM %T%downloads), :serial, "
                         ":tester_id, :downloaded, :utc, :form, :block, :count) RETURNING id"),
                   "cannot write to", error))
        return false;
    q.bindValue(QStringLiteral(":serial"), latin1(d.serial));
    q.bindValue(QStringLiteral(":tester_id"), latin1(d.testerId));
    q.bindValue(QStringLiteral(":downloaded"), latin1(d.downloaded));
    q.bindValue(QStringLiteral(":utc"), static_cast<qlonglong>(d.utc));
    q.bindValue(QStringLiteral(":form"), d.form);
    q.bindValue(QStringLiteral(":block"), d.block.empty() ? QVariant(QMetaType::fromType<QString>())
                                                          : QVariant(latin1(d.block)));
    q.bindValue(QStringLiteral(":count"), static_cast<qlonglong>(d.count));
    if (!q.exec() || !q.next()) {
        *error = c.failure("cannot write to", q.lastError());
        return false;
    }
    *id = q.value(0).toLongLong();
    return true;
}

// Adds a version of the asset list with the next number (as a download's),
// keeping info's time and file hash.
bool insertAssetList(Archive::Connection& c, const std::vector<AssetRow>& rows, AssetListInfo* info,
                     std::string* error) {
    info->rows = static_cast<long long>(rows.size());
    auto fail = [&](const QSqlQuery* q) {
        if (q) *error = c.failure("cannot write to", q->lastError());
        return false;
    };
    QSqlQuery list(c.db), row(c.db);
    const std::vector<const char*> rowColumns =
        std::vector<const char*>{"list_id",    "line",  "device_id",
                                 "device_key", "model", "location"} +
        kAssetValueColumns + std::vector<const char*>{"interval_days", "valid_from"};
    if (!c.prepare(list,
                   c.sql("INSERT INTO %T%asset_lists (id, loaded, loaded_utc, sha256, row_count) "
                         "%OVERRIDE% VALUES ((SELECT coalesce(%C%max(id), 0) + 1 FROM "
                         "%T%asset_lists), :loaded, :loaded_utc, :sha256, :row_count) RETURNING "
                         "id"),
                   "cannot write to", error) ||
        !c.prepare(row,
                   c.sql(QStringLiteral("INSERT INTO %T%asset_rows (%1) VALUES (%2)")
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

// ---- another archive as input ----
//
// Read in two passes from one snapshot of it: the first checks every value
// as this program's own inputs are checked and keeps only what orders the
// second (numbers and keys); the second writes.  So a file that is wrong
// anywhere adds nothing, and the destination's write lock is held only for
// the time its rows take to write.  A source on the server itself (an
// archive of version 1 in another schema) shares the connection, so its
// results are read whole rather than row by row.

// The nine texts, the unit and its code as this program writes them.
std::string recordProblem(const QVariantList& texts, const QVariant& code, const QVariant& unit,
                          int form, TestRecord* r) {
    std::vector<std::string> read(texts.size());
    for (int k = 0; k < texts.size(); ++k)
        if (!latin1Text(texts[k], &read[static_cast<std::size_t>(k)]))
            return std::string("the column ") + kTextColumns[static_cast<std::size_t>(k)] +
                   " is no text of the tester's";
    std::string name;
    long long value = 0;
    if (!latin1Text(unit, &name) || unitName(unitCode(name)) != name)
        return "its unit is none of PSI, kPa, Bar and mmHg";
    if (!code.isNull() && (!integerValue(code, &value) || value < 0 || value > 255))
        return "its unit code is no byte";
    // A received block gives every code; a file names mmHg, not its code.
    const bool received = form == static_cast<int>(RecordForm::Received);
    const bool codeAgrees =
        received
            ? !code.isNull() && unitName(static_cast<char>(value)) == name
            : (name == unitName('m') ? code.isNull() : !code.isNull() && value == unitCode(name));
    if (!codeAgrees) return "its unit and unit code disagree";
    // Each text whole: one that does not fit its field was not received.
    const std::size_t cut = recordOfTexts(read, r);
    if (cut < read.size())
        return std::string("the column ") + kTextColumns[cut] + " is longer than its field";
    r->pressureUnits = code.isNull() ? unitCode(name) : static_cast<char>(value);
    return std::string();
}

bool checkSource(Archive::Connection& s, SourcePlan* plan, std::string* why) {
    *plan = SourcePlan();
    const bool wholeResults = s.borrowed;
    auto wrong = [&](const std::string& what) {
        *why = s.shown + " cannot be imported: " + what;
        return false;
    };
    auto failed = [&](const QSqlQuery& q) {
        *why = s.failure("cannot read", q.lastError());
        return false;
    };

    // The downloads, and the block of each that received one.
    std::map<qlonglong, std::size_t> byId;
    {
        QSqlQuery q(s.db);
        q.setForwardOnly(!wholeResults);
        if (!q.exec(s.sql("SELECT id, tester_serial, tester_id, downloaded, downloaded_utc, form, "
                          "block_sha256, record_count FROM %T%downloads ORDER BY id")))
            return failed(q);
        while (q.next()) {
            SourceDownload d;
            long long form = 0;
            if (!integerValue(q.value(0), &d.id) || !latin1Text(q.value(1), &d.serial) ||
                !latin1Text(q.value(2), &d.testerId) || !latin1Text(q.value(3), &d.downloaded) ||
                !integerValue(q.value(4), &d.utc) || !integerValue(q.value(5), &form) ||
                !(q.value(6).isNull() || latin1Text(q.value(6), &d.block)) ||
                !integerValue(q.value(7), &d.count))
                return wrong("a download whose values are not of their columns' kinds");
            d.form = form >= 1 && form <= 3 ? static_cast<int>(form) : 0;
            const std::string problem = downloadProblem(d);
            if (!problem.empty()) return wrong(problem);
            if (!byId.emplace(d.id, plan->downloads.size()).second)
                return wrong("two downloads numbered " + std::to_string(d.id));
            plan->downloads.push_back(d);
        }
        if (q.lastError().isValid()) return failed(q);
    }
    QSqlQuery block(s.db);
    if (!s.prepare(block, s.sql("SELECT bytes FROM %T%blocks WHERE sha256 = :sha"), "cannot read",
                   why))
        return false;
    // The keys of the records download d's block holds; false when it is
    // not the block it should be.
    auto blockKeys = [&](const SourceDownload& d, std::set<std::string>* keys) {
        block.bindValue(QStringLiteral(":sha"), latin1(d.block));
        if (!block.exec()) return failed(block);
        if (!block.next())
            return wrong("download " + std::to_string(d.id) + "'s block is not there");
        const QVariant bytes = block.value(0);
        block.finish();
        if (bytes.typeId() != QMetaType::QByteArray)
            return wrong("download " + std::to_string(d.id) + "'s block is no bytes");
        const std::string problem = blockProblem(d, bytes.toByteArray().toStdString(), keys);
        return problem.empty() || wrong(problem);
    };
    std::set<std::string> keys;
    for (const SourceDownload& d : plan->downloads) {
        if (d.block.empty()) continue;
        if (!blockKeys(d, &keys)) return false;
        plan->blocks.push_back(d.block);
    }
    std::sort(plan->blocks.begin(), plan->blocks.end());
    plan->blocks.erase(std::unique(plan->blocks.begin(), plan->blocks.end()), plan->blocks.end());

    // Every record, download by download: one its first download could
    // have brought, under that download's tester.
    {
        QSqlQuery q(s.db);
        q.setForwardOnly(!wholeResults);
        const bool keyed = s.version >= 2;
        if (!q.exec(s.sql(QStringLiteral("SELECT %1, id, first_download, tester_serial, form, "
                                         "record_key%2 FROM %T%records ORDER BY first_download, id")
                              .arg(columnList(kTextColumns + kUnitColumns),
                                   keyed ? QStringLiteral(", device_key") : QString()))))
            return failed(q);
        std::vector<long long> brought(plan->downloads.size(), 0);
        long long keysOf = -1;  // whose block's keys are in `keys`
        Row row(q);
        while (q.next()) {
            long long id = 0, first = 0, form = 0;
            std::string serial, storedKey, deviceKey;
            if (!integerValue(row["id"], &id) || !integerValue(row["first_download"], &first) ||
                !integerValue(row["form"], &form) || !latin1Text(row["tester_serial"], &serial) ||
                !latin1Text(row["record_key"], &storedKey) ||
                (keyed && !latin1Text(row["device_key"], &deviceKey)))
                return wrong("a record whose values are not of their columns' kinds");
            const std::string which = "record " + std::to_string(id) + ": ";
            const auto at = byId.find(first);
            if (at == byId.end()) return wrong(which + "a record of no download");
            const SourceDownload& d = plan->downloads[at->second];
            if (form < d.form || form > static_cast<int>(RecordForm::Received))
                return wrong(which + "a form of its texts that its download cannot give");
            if (serial != d.serial) return wrong(which + "another tester than its download's");
            QVariantList texts;
            for (const char* column : kTextColumns) texts << row[column];
            TestRecord r;
            const std::string problem =
                recordProblem(texts, row["unit_code"], row["unit"], static_cast<int>(form), &r);
            if (!problem.empty()) return wrong(which + problem);
            std::string key = recordKey(serial, r);
            // Keys by the identity rule of version 2 on; version 1 kept
            // another, which the import computes again.
            if (keyed && (storedKey != key || deviceKey != identityText(FIELD_TEXT(r, deviceID))))
                return wrong(which + "its key is not its texts' identity");
            if (!d.block.empty()) {
                if (keysOf != d.id && !blockKeys(d, &keys)) return false;
                keysOf = d.id;
                if (!keys.count(key))
                    return wrong(which + "a record its download's block does not hold");
            }
            if (++brought[at->second] > d.count)
                return wrong("download " + std::to_string(d.id) + ": more records than its count");
            plan->records.emplace_back(std::move(key), id);
        }
        if (q.lastError().isValid()) return failed(q);
        std::vector<long long> ids;
        for (const auto& [key, id] : plan->records) ids.push_back(id);
        std::sort(ids.begin(), ids.end());
        if (std::adjacent_find(ids.begin(), ids.end()) != ids.end())
            return wrong("two records of one number");
        std::sort(plan->records.begin(), plan->records.end());
        if (keyed && std::adjacent_find(plan->records.begin(), plan->records.end(),
                                        [](const auto& a, const auto& b) {
                                            return a.first == b.first;
                                        }) != plan->records.end())
            return wrong("two records of one identity");
    }

    // Every version of the asset list, read whole (they are small) and
    // judged by the list's own reader.
    if (s.version < 3) return true;
    QSqlQuery lists(s.db), rows(s.db);
    lists.setForwardOnly(!wholeResults);
    if (!lists.exec(s.sql("SELECT id, loaded, loaded_utc, sha256, row_count FROM %T%asset_lists "
                          "ORDER BY id")))
        return failed(lists);
    if (!s.prepare(rows, s.sql("SELECT * FROM %T%asset_rows WHERE list_id = :list ORDER BY line"),
                   "cannot read", why))
        return false;
    long long listsRows = 0;
    while (lists.next()) {
        AssetListInfo info;
        long long utc = 0;
        if (!integerValue(lists.value(0), &info.number) ||
            !latin1Text(lists.value(1), &info.loaded) || !integerValue(lists.value(2), &utc) ||
            !latin1Text(lists.value(3), &info.sha256) || !integerValue(lists.value(4), &info.rows))
            return wrong("an asset list whose values are not of their columns' kinds");
        const std::string which = "asset list " + std::to_string(info.number) + ": ";
        info.loadedUtc = static_cast<std::time_t>(utc);
        if (archiveTimeSeconds(info.loaded) != std::optional<long long>(utc) ||
            !isSha256Text(info.sha256))
            return wrong(which + "a time or file hash this program does not write");
        rows.bindValue(QStringLiteral(":list"), static_cast<qlonglong>(info.number));
        if (!rows.exec()) return failed(rows);
        std::vector<AssetRow> read;
        std::vector<std::string> deviceKeys;
        Row row(rows);
        while (rows.next()) {
            AssetRow a;
            long long line = 0;
            std::string deviceKey;
            if (!integerValue(row["line"], &line) || line < 0 || line > 0x7fffffff ||
                !latin1Text(row["device_id"], &a.deviceId) ||
                !latin1Text(row["device_key"], &deviceKey) || !latin1Text(row["model"], &a.model) ||
                !latin1Text(row["location"], &a.location) ||
                !latin1Text(row["valid_from"], &a.validFrom))
                return wrong(which + "a row whose values are not of their columns' kinds");
            a.line = static_cast<int>(line);
            std::optional<Decimal>* values[] = {&a.values.setRate,      &a.values.flowLowPct,
                                                &a.values.flowHighPct,  &a.values.occlusionMin,
                                                &a.values.occlusionMax, &a.values.peakTimeMax};
            for (std::size_t k = 0; k < kAssetValueColumns.size(); ++k) {
                const QVariant v = row[kAssetValueColumns[k]];
                std::string text;
                if (v.isNull()) continue;
                if (!latin1Text(v, &text) || !(*values[k] = Decimal::parse(text)))
                    return wrong(which + "the column " + kAssetValueColumns[k] +
                                 " holds no number");
            }
            const QVariant interval = row["interval_days"];
            long long days = 0;
            if (!interval.isNull()) {
                if (!integerValue(interval, &days))
                    return wrong(which + "interval_days holds no whole number");
                a.values.intervalDays = days;
            }
            read.push_back(std::move(a));
            deviceKeys.push_back(std::move(deviceKey));
        }
        if (rows.lastError().isValid()) return failed(rows);
        rows.finish();
        if (static_cast<long long>(read.size()) != info.rows)
            return wrong(which + "its count of rows is not the rows it has");
        const std::string problem = assetListProblem(read, deviceKeys);
        if (!problem.empty()) return wrong(which + problem);
        listsRows += info.rows;
        plan->lists.emplace_back(info, std::move(read));
    }
    if (lists.lastError().isValid()) return failed(lists);
    // No row of a list that is not there.
    QSqlQuery all(s.db);
    if (!all.exec(s.sql("SELECT %C%count(*) FROM %T%asset_rows")) || !all.next())
        return failed(all);
    if (all.value(0).toLongLong() != listsRows) return wrong("asset rows of no asset list");
    return true;
}

// The second pass: the checked source into the open transaction of c.
// Blocks and records go in by their keys, so that every writer takes its
// row locks in one order.  A download already here (same tester, time,
// form, block and count, as many times as the source has it) is not added
// again; asset lists only into an archive that has none.
bool importInto(Archive::Connection& c, Archive::Connection& s, const SourcePlan& plan,
                ArchiveImport* summary, std::string* error) {
    *summary = ArchiveImport();
    auto failed = [&](const QSqlQuery& q, const Archive::Connection& on, const char* what) {
        *error = on.failure(what, q.lastError());
        return false;
    };
    QSqlQuery read(s.db), put(c.db);
    if (!s.prepare(read, s.sql("SELECT bytes FROM %T%blocks WHERE sha256 = :sha"), "cannot read",
                   error) ||
        !c.prepare(put,
                   c.sql("INSERT INTO %T%blocks (sha256, bytes) VALUES (:sha, :bytes) "
                         "ON CONFLICT (sha256) DO NOTHING"),
                   "cannot write to", error))
        return false;
    for (const std::string& sha : plan.blocks) {
        read.bindValue(QStringLiteral(":sha"), latin1(sha));
        if (!read.exec() || !read.next()) return failed(read, s, "cannot read");
        put.bindValue(QStringLiteral(":sha"), latin1(sha));
        put.bindValue(QStringLiteral(":bytes"), read.value(0).toByteArray());
        read.finish();
        if (!put.exec()) return failed(put, c, "cannot write to");
    }

    QSqlQuery same(c.db);
    if (!c.prepare(same,
                   c.sql("SELECT id FROM %T%downloads WHERE tester_serial = :serial AND "
                         "tester_id = :tester_id AND downloaded = :downloaded AND downloaded_utc = "
                         ":utc AND form = :form AND coalesce(block_sha256, '') = :block AND "
                         "record_count = :count ORDER BY id LIMIT 1 OFFSET :nth"),
                   "cannot read", error))
        return false;
    std::map<std::string, long long> times;  // how often each download was met so far
    std::map<qlonglong, qlonglong> here;
    for (const SourceDownload& d : plan.downloads) {
        ++summary->downloads;
        const std::string alike = d.serial + '\n' + d.testerId + '\n' + d.downloaded + '\n' +
                                  std::to_string(d.utc) + '\n' + std::to_string(d.form) + '\n' +
                                  d.block + '\n' + std::to_string(d.count);
        same.bindValue(QStringLiteral(":serial"), latin1(d.serial));
        same.bindValue(QStringLiteral(":tester_id"), latin1(d.testerId));
        same.bindValue(QStringLiteral(":downloaded"), latin1(d.downloaded));
        same.bindValue(QStringLiteral(":utc"), static_cast<qlonglong>(d.utc));
        same.bindValue(QStringLiteral(":form"), d.form);
        same.bindValue(QStringLiteral(":block"), latin1(d.block));
        same.bindValue(QStringLiteral(":count"), static_cast<qlonglong>(d.count));
        same.bindValue(QStringLiteral(":nth"), static_cast<qlonglong>(times[alike]++));
        if (!same.exec()) return failed(same, c, "cannot read");
        if (same.next()) {
            here[d.id] = same.value(0).toLongLong();
            same.finish();
            continue;
        }
        same.finish();
        qlonglong id = 0;
        if (!insertDownload(c, d, &id, error)) return false;
        here[d.id] = id;
        ++summary->downloadsAdded;
    }

    RecordWriter writer(c);
    QSqlQuery one(s.db);
    if (!writer.prepare(error) ||
        !s.prepare(one,
                   s.sql(QStringLiteral("SELECT %1, first_download, tester_serial, form FROM "
                                        "%T%records WHERE id = :id")
                             .arg(columnList(kTextColumns + kUnitColumns))),
                   "cannot read", error))
        return false;
    for (const auto& [key, id] : plan.records) {
        one.bindValue(QStringLiteral(":id"), id);
        if (!one.exec() || !one.next()) return failed(one, s, "cannot read");
        Row row(one);
        const TestRecord r = row.record();
        const qlonglong download = here[row["first_download"].toLongLong()];
        const std::string serial = row.text("tester_serial");
        const auto form = static_cast<RecordForm>(row["form"].toInt());
        const bool codeKnown = !row["unit_code"].isNull();
        one.finish();
        bool isNew = false;
        if (!writer.add(download, serial, key, r, form, codeKnown, &isNew, error)) return false;
        ++summary->records;
        summary->recordsAdded += isNew ? 1 : 0;
    }

    summary->assetLists = static_cast<long long>(plan.lists.size());
    if (plan.lists.empty()) return true;
    QSqlQuery any(c.db);
    if (!any.exec(c.sql("SELECT %C%count(*) FROM %T%asset_lists")) || !any.next())
        return failed(any, c, "cannot read");
    if (any.value(0).toLongLong() != 0) return true;
    any.finish();
    for (const auto& [list, rows] : plan.lists) {
        AssetListInfo info = list;
        if (!insertAssetList(c, rows, &info, error)) return false;
        ++summary->assetListsAdded;
    }
    return true;
}

}  // namespace

bool Archive::Connection::mergeStrays(std::string* error) {
    for (const QString& schema : strays) {
        Connection s;
        s.borrowed = true;
        s.db = db;
        s.postgres = true;
        s.version = 1;
        s.at = quotedName(schema) + '.';
        s.shown = shown + " (schema \"" + bytesOf(schema) + "\")";
        SourcePlan plan;
        ArchiveImport merged;
        const bool ok = checkSource(s, &plan, error) &&
                        importInto(*this, s, plan, &merged, error) &&
                        exec(QStringLiteral("DROP TABLE %1records, %1downloads, %1blocks, "
                                            "%1archive_version")
                                 .arg(s.at),
                             "cannot write to", error);
        if (!ok) {
            if (!s.lastCode.isEmpty()) lastCode = s.lastCode;
            return false;
        }
    }
    strays.clear();
    return true;
}

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
    const bool reading = access != ArchiveAccess::Write;
    const bool source = access == ArchiveAccess::Source;
    if (c->postgres) {
        if (source) {
            *error = c->shown + " is a database server: import takes SQLite archive files";
            return nullptr;
        }
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
        // A reader who may not write the file, and every file given to
        // import, opens it read-only.  SQLite then never writes it, not even
        // to roll back a write that did not finish: it refuses to read such
        // a file instead of guessing.  It still takes SQLite's locks, so it
        // sees every commit and never a half-made one.
        c->readOnlyFile = source || (reading && ::access(name.c_str(), W_OK) != 0);
        c->db.setDatabaseName(sqliteUri(name) +
                              (c->readOnlyFile ? QStringLiteral("?mode=ro") : QString()));
        c->db.setConnectOptions(
            QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyTimeoutMs) +
            (c->readOnlyFile ? QStringLiteral(";QSQLITE_OPEN_READONLY") : QString()));
    }
    if (!c->db.open()) {
        *error = c->failure("cannot open", c->db.lastError());
        return nullptr;
    }
    const QVariant handle = c->db.driver()->handle();
    if (c->postgres) {
        if (qstrcmp(handle.typeName(), "PGconn*") == 0)
            PQsetNoticeProcessor(*static_cast<PGconn* const*>(handle.constData()), &dropNotice,
                                 nullptr);
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
    } else {
        if (qstrcmp(handle.typeName(), "sqlite3*") != 0) {
            *error = "cannot open " + c->shown + ": the SQLite driver gives no connection";
            return nullptr;
        }
        c->handle = *static_cast<sqlite3* const*>(handle.constData());
        sqlite3_extended_result_codes(c->handle, 1);
        // A file's views, triggers and indexes may call no function with
        // side effects; a file given to import is only ever read.
        if (!c->exec(QStringLiteral("PRAGMA trusted_schema = OFF"), "cannot open", error) ||
            (source && !c->exec(QStringLiteral("PRAGMA query_only = ON"), "cannot open", error)))
            return nullptr;
    }
    // A reader reads one snapshot from here on; an upgrade is waited for.
    if (reading && !c->beginReading(error)) return nullptr;
    if (!c->findArchive(error)) return nullptr;
    if (c->version > kSchemaVersion) {
        c->newerVersion(error);
        return nullptr;
    }
    if (reading) {
        if (c->version == 0) {
            *error = c->shown + (source ? " is not a LUM Kest archive (no tables at all)"
                                        : " holds no archive yet");
            return nullptr;
        }
        if (!c->strays.isEmpty() && c->version == 1) {
            *error =
                "cannot read " + c->versionOneLine() + ", which the next command that writes does";
            return nullptr;
        }
        if (source) {
            c->plan = std::make_unique<SourcePlan>();
            if (!checkSource(*c, c->plan.get(), error)) return nullptr;
        }
        return std::unique_ptr<Archive>(new Archive(std::move(c)));
    }
    if ((c->version < kSchemaVersion || !c->strays.isEmpty()) && !c->upgrade(error)) return nullptr;
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
    c_->endReading();
    if (!c_->begin(error)) return false;
    c_->inTransaction = true;
    return true;
}

bool Archive::beginReading(std::string* error) { return c_->beginReading(error); }

void Archive::endReading() { c_->endReading(); }

bool Archive::commit(std::string* error) {
    if (c_->reading) {
        c_->endReading();
        return true;
    }
    return c_->commit(error);
}

void Archive::rollback() {
    if (c_->reading)
        c_->endReading();
    else
        c_->rollback();
}

bool Archive::transaction(const std::function<bool(std::string*)>& work, std::string* error) {
    std::minstd_rand jitter(static_cast<unsigned>(::getpid()));
    for (int attempt = 1;; ++attempt) {
        if (begin(error) && work(error) && commit(error)) return true;
        if (c_->inTransaction) c_->rollback();
        if (!c_->retryable() || attempt == kWriteAttempts) return false;
        // The other writer goes first: a pause of its own length each time.
        std::this_thread::sleep_for(std::chrono::milliseconds(50 * attempt + jitter() % 100));
    }
}

bool Archive::newRecords(const TesterIdentity& tester, const std::vector<TestRecord>& records,
                         std::vector<bool>* added, std::string* error) {
    added->assign(records.size(), false);
    QSqlQuery q(c_->db);
    if (!c_->prepare(q, c_->sql("SELECT 1 FROM %T%records WHERE record_key = :key"), "cannot read",
                     error))
        return false;
    std::set<std::string> seen;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const std::string key = recordKey(tester.serial, records[i]);
        if (!seen.insert(key).second) continue;
        q.bindValue(QStringLiteral(":key"), latin1(key));
        if (!q.exec()) {
            *error = c_->failure("cannot read", q.lastError());
            return false;
        }
        (*added)[i] = !q.next();
        q.finish();
    }
    return true;
}

bool Archive::addDownload(const TesterIdentity& tester, std::time_t downloaded,
                          const std::vector<std::uint8_t>& block,
                          const std::vector<TestRecord>& records, std::vector<bool>* added,
                          std::string* error, RecordForm form, long long* number) {
    added->assign(records.size(), false);
    if (!c_->inTransaction)
        return transaction(
            [&](std::string* e) {
                return addDownload(tester, downloaded, block, records, added, e, form, number);
            },
            error);
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
    const SourceDownload row{0,
                             tester.serial,
                             tester.id,
                             isoLocalTime(downloaded),
                             static_cast<long long>(downloaded),
                             static_cast<int>(form),
                             block.empty() ? std::string() : sha256Hex(block),
                             static_cast<long long>(records.size())};

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
        q.addBindValue(latin1(row.block));
        q.addBindValue(QByteArray(reinterpret_cast<const char*>(block.data()),
                                  static_cast<qsizetype>(block.size())));
        if (!q.exec()) return fail(&q);
    }

    qlonglong downloadId = 0;
    if (!insertDownload(*c_, row, &downloadId, error)) return fail(nullptr);

    RecordWriter writer(*c_);
    if (!writer.prepare(error)) return fail(nullptr);
    for (std::size_t i : order) {
        bool isNew = false;
        if (!writer.add(downloadId, tester.serial, keys[i], records[i], form,
                        codeKnownIn(form, records[i]), &isNew, error))
            return fail(nullptr);
        (*added)[i] = isNew;
    }
    if (number) *number = downloadId;
    return true;
}

bool Archive::addArchive(Archive& source, ArchiveImport* summary, std::string* error) {
    if (!source.c_->plan) {
        *error = source.name() + " was not opened for import";
        return false;
    }
    if (!c_->inTransaction)
        return transaction([&](std::string* e) { return addArchive(source, summary, e); }, error);
    if (importInto(*c_, *source.c_, *source.c_->plan, summary, error)) return true;
    c_->rollback();
    return false;
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
                     c_->sql(QStringLiteral("SELECT %C%count(*) FROM %T%records r") +
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
            "%C%count(*) AS count FROM %T%records GROUP BY first_download) n ON n.first_download "
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
    if (!c_->prepare(q,
                     c_->sql(number == 0 ? "SELECT id, loaded, loaded_utc, sha256, row_count FROM "
                                           "%T%asset_lists WHERE id = (SELECT %C%max(id) FROM "
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
