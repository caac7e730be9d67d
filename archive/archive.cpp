#include "archive/archive.h"

#include <unistd.h>

#include <QByteArray>
#include <QCryptographicHash>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QVariant>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <numeric>

namespace {

constexpr int kSchemaVersion = 1;
constexpr int kBusyTimeoutMs = 60000;  // a busy SQLite archive is waited for, not refused
constexpr const char* kDefaultConnectTimeout = "10";
// Serialises the first creation of the tables on PostgreSQL, where two
// concurrent CREATE TABLE IF NOT EXISTS can collide.
constexpr long long kCreateLockKey = 0x4c554d4b455354;  // "LUMKEST"

// The tables; %ID% and %BYTES% are the one difference between the two
// database systems.  SCHEMA.md describes every column.
const char* const kTables[] = {
    "CREATE TABLE IF NOT EXISTS blocks ("
    " sha256 TEXT PRIMARY KEY,"
    " bytes %BYTES% NOT NULL)",
    "CREATE TABLE IF NOT EXISTS downloads ("
    " id %ID%,"
    " tester_serial TEXT NOT NULL,"
    " tester_id TEXT NOT NULL,"
    " downloaded TEXT NOT NULL,"
    " downloaded_utc BIGINT NOT NULL,"
    " form INTEGER NOT NULL,"
    " block_sha256 TEXT REFERENCES blocks (sha256),"
    " record_count INTEGER NOT NULL)",
    "CREATE TABLE IF NOT EXISTS records ("
    " id %ID%,"
    " record_key TEXT NOT NULL UNIQUE,"
    " tester_serial TEXT NOT NULL,"
    " first_download BIGINT NOT NULL REFERENCES downloads (id),"
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
    "CREATE INDEX IF NOT EXISTS records_device ON records (device_id, tested, id)",
    "CREATE INDEX IF NOT EXISTS records_tested ON records (tested)",
    "CREATE INDEX IF NOT EXISTS records_tester ON records (tester_serial, tested)",
    "CREATE INDEX IF NOT EXISTS downloads_tester ON downloads (tester_serial)",
};

// The raw texts, in the records table's column order.
const char* const kTextColumns =
    "device_id, test_date, test_time, test_duration, flow, volume, pressure_mmhg, "
    "pressure_user, peak_time";

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

// The URI as messages may show it: any password taken out.
std::string withoutPassword(std::string uri) {
    const std::size_t start = uri.find("://") + 3;
    const std::size_t at = uri.find('@', start);
    const std::size_t slash = uri.find_first_of("/?", start);
    if (at != std::string::npos && (slash == std::string::npos || at < slash)) {
        const std::size_t colon = uri.find(':', start);
        if (colon < at) uri.replace(colon, at - colon, ":...");
    }
    for (std::size_t p = uri.find("password=", start); p != std::string::npos;
         p = uri.find("password=", p + 1)) {
        const std::size_t end = uri.find('&', p);
        uri.replace(p + 9, (end == std::string::npos ? uri.size() : end) - p - 9, "...");
    }
    return uri;
}

bool isPostgresUri(const std::string& db) {
    return db.rfind("postgresql://", 0) == 0 || db.rfind("postgres://", 0) == 0;
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

std::string percentDecoded(const std::string& s) {
    return QByteArray::fromPercentEncoding(QByteArray(s.data(), static_cast<qsizetype>(s.size())))
        .toStdString();
}

// A value for libpq's key='value' connection string.
std::string quotedOption(const std::string& value) {
    std::string out = "'";
    for (char c : value) {
        if (c == '\'' || c == '\\') out += '\\';
        out += c;
    }
    return out + "'";
}

// Reads a libpq connection URI into the connection's settings.  False with
// the reason for one that cannot be used.
bool setFromUri(const std::string& uri, QSqlDatabase* db, std::string* error) {
    std::string rest = uri.substr(uri.find("://") + 3);
    std::string query;
    if (const std::size_t q = rest.find('?'); q != std::string::npos) {
        query = rest.substr(q + 1);
        rest.erase(q);
    }
    std::string authority = rest, dbname;
    if (const std::size_t slash = rest.find('/'); slash != std::string::npos) {
        authority = rest.substr(0, slash);
        dbname = percentDecoded(rest.substr(slash + 1));
    }
    std::string user, host, port;
    if (const std::size_t at = authority.rfind('@'); at != std::string::npos) {
        user = authority.substr(0, at);
        authority.erase(0, at + 1);
        if (user.find(':') != std::string::npos) {
            *error = "the URI holds a password; give it in ~/.pgpass or PGPASSWORD instead";
            return false;
        }
        user = percentDecoded(user);
    }
    std::size_t colon = authority.rfind(':');
    if (colon != std::string::npos && authority.find(']', colon) != std::string::npos)
        colon = std::string::npos;  // inside an [IPv6] address
    host = authority.substr(0, colon);
    if (colon != std::string::npos) port = authority.substr(colon + 1);
    if (host.size() > 1 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    host = percentDecoded(host);

    std::string options;
    bool timeoutGiven = false;
    std::size_t start = 0;
    while (start < query.size()) {
        std::size_t end = query.find('&', start);
        if (end == std::string::npos) end = query.size();
        const std::string pair = query.substr(start, end - start);
        start = end + 1;
        if (pair.empty()) continue;
        const std::size_t eq = pair.find('=');
        if (eq == std::string::npos) {
            *error = "the URI parameter \"" + pair + "\" has no value";
            return false;
        }
        const std::string key = percentDecoded(pair.substr(0, eq));
        const std::string value = percentDecoded(pair.substr(eq + 1));
        if (key == "password") {
            *error = "the URI holds a password; give it in ~/.pgpass or PGPASSWORD instead";
            return false;
        }
        if (key == "host")
            host = value;
        else if (key == "port")
            port = value;
        else if (key == "user")
            user = value;
        else if (key == "dbname")
            dbname = value;
        else {
            if (key == "connect_timeout") timeoutGiven = true;
            options += (options.empty() ? "" : ";") + key + "=" + quotedOption(value);
        }
    }
    if (!timeoutGiven)
        options +=
            std::string(options.empty() ? "" : ";") + "connect_timeout=" + kDefaultConnectTimeout;
    if (!port.empty()) {
        bool ok = false;
        const int number = QString::fromStdString(port).toInt(&ok);
        if (!ok || number <= 0 || number > 65535) {
            *error = "the URI's port \"" + port + "\" is no port number";
            return false;
        }
        db->setPort(number);
    }
    db->setHostName(QString::fromStdString(host));
    db->setUserName(QString::fromStdString(user));
    db->setDatabaseName(QString::fromStdString(dbname));
    db->setConnectOptions(QString::fromStdString(options));
    return true;
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

}  // namespace

struct Archive::Connection {
    QString name;  // Qt's name of the connection, unique in the process
    QSqlDatabase db;
    bool postgres = false;
    std::string shown;  // the archive as messages name it

    ~Connection() {
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(name);
    }

    std::string failure(const char* what, const QSqlError& e) const {
        const std::string cause = oneLine(e);
        // SQLite finds a read-only archive at its first statement, a read.
        if (cause.find("readonly database") != std::string::npos) what = "cannot write to";
        return std::string(what) + " " + shown + ": " + cause;
    }

    // Runs one statement without values; false with *error set.
    bool exec(const QString& sql, const char* what, std::string* error) {
        QSqlQuery q(db);
        if (q.exec(sql)) return true;
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
    }

    // The schema version; 0 for an archive with no tables yet.  False when
    // it cannot be read or the database is not an archive.
    bool version(int* v, std::string* error) {
        QSqlQuery q(db);
        if (postgres) {
            if (!q.exec(QStringLiteral("SELECT to_regclass('archive_version') IS NOT NULL")) ||
                !q.next()) {
                *error = failure("cannot read", q.lastError());
                return false;
            }
            *v = 0;
            if (!q.value(0).toBool()) return true;
            if (!q.exec(QStringLiteral("SELECT max(version) FROM archive_version")) || !q.next()) {
                *error = failure("cannot read", q.lastError());
                return false;
            }
            *v = q.value(0).toInt();
            return true;
        }
        // One statement, so one snapshot: the version and the tables that
        // another process may be creating at this moment.
        if (!q.exec(QStringLiteral("SELECT (SELECT user_version FROM pragma_user_version), "
                                   "(SELECT count(*) FROM sqlite_master)")) ||
            !q.next()) {
            *error = failure("cannot read", q.lastError());
            return false;
        }
        *v = q.value(0).toInt();
        if (*v != 0) return true;
        if (q.value(1).toInt() != 0) {
            *error = shown + " is not a LUM Kest archive (a database of other tables)";
            return false;
        }
        return true;
    }

    bool createTables(std::string* error) {
        // On PostgreSQL a session lock, taken before the transaction starts,
        // so that the transaction sees the tables another connection may
        // have made meanwhile.
        if (postgres) {
            QSqlQuery lock(db);
            lock.prepare(QStringLiteral("SELECT pg_advisory_lock(?)"));
            lock.addBindValue(kCreateLockKey);
            if (!lock.exec()) {
                *error = failure("cannot write to", lock.lastError());
                return false;
            }
        }
        const bool ok = createTablesLocked(error);
        if (postgres) {
            QSqlQuery unlock(db);
            unlock.prepare(QStringLiteral("SELECT pg_advisory_unlock(?)"));
            unlock.addBindValue(kCreateLockKey);
            unlock.exec();
        }
        return ok;
    }

    bool createTablesLocked(std::string* error) {
        if (!begin(error)) return false;
        int v = 0;
        bool ok = true;
        ok = ok && version(&v, error);
        if (ok && v == 0) {
            for (const char* table : kTables) {
                QString sql = QString::fromLatin1(table);
                sql.replace(QLatin1String("%ID%"),
                            postgres
                                ? QLatin1String("BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY")
                                : QLatin1String("INTEGER PRIMARY KEY"));
                sql.replace(QLatin1String("%BYTES%"),
                            postgres ? QLatin1String("BYTEA") : QLatin1String("BLOB"));
                if (!(ok = exec(sql, "cannot write to", error))) break;
            }
            if (ok && postgres)
                ok = exec(QStringLiteral("CREATE TABLE archive_version (version INTEGER NOT NULL)"),
                          "cannot write to", error) &&
                     exec(QStringLiteral("INSERT INTO archive_version VALUES (%1)")
                              .arg(kSchemaVersion),
                          "cannot write to", error);
            if (ok && !postgres)
                ok = exec(QStringLiteral("PRAGMA user_version = %1").arg(kSchemaVersion),
                          "cannot write to", error);
        }
        if (ok) ok = exec(QStringLiteral("COMMIT"), "cannot write to", error);
        if (!ok) rollback();
        return ok;
    }
};

Archive::Archive(std::unique_ptr<Connection> connection) : c_(std::move(connection)) {}
Archive::~Archive() = default;

std::unique_ptr<Archive> Archive::open(const std::string& name, std::string* error,
                                       ArchiveAccess access) {
    auto c = std::make_unique<Connection>();
    c->name = QStringLiteral("lumkest-archive-%1").arg(++connectionCount);
    c->postgres = isPostgresUri(name);
    c->shown = c->postgres ? withoutPassword(name) : name;
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
    if (c->postgres) {
        std::string why;
        if (!setFromUri(name, &c->db, &why)) {
            *error = "cannot open " + c->shown + ": " + why;
            return nullptr;
        }
    } else {
        // An archive this user may only read (a copy on a read-only share,
        // say) is opened as a file that nobody changes meanwhile: its
        // write-ahead log needs a shared-memory file beside it otherwise.
        if (access == ArchiveAccess::Read && ::access(name.c_str(), F_OK) != 0) {
            *error = "cannot open " + c->shown + ": " + std::strerror(errno);
            return nullptr;
        }
        const bool fixedFile = access == ArchiveAccess::Read && ::access(name.c_str(), F_OK) == 0 &&
                               ::access(name.c_str(), W_OK) != 0;
        c->db.setDatabaseName(sqliteUri(name) +
                              (fixedFile ? QStringLiteral("?immutable=1") : QString()));
        c->db.setConnectOptions(
            QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyTimeoutMs) +
            (fixedFile ? QStringLiteral(";QSQLITE_OPEN_READONLY") : QString()));
    }
    if (!c->db.open()) {
        *error = c->failure("cannot open", c->db.lastError());
        return nullptr;
    }
    int v = 0;
    if (!c->version(&v, error)) return nullptr;
    if (v == 0 && access == ArchiveAccess::Read && !c->postgres) {
        *error = c->shown + " holds no archive yet";
        return nullptr;
    }
    if (v == 0 && !c->createTables(error)) return nullptr;
    if (v == 0 && !c->version(&v, error)) return nullptr;
    if (v == kSchemaVersion && !c->postgres) {
        // An SQLite archive keeps a write-ahead log beside it (NAME-wal,
        // NAME-shm): a download then costs one flush to disk instead of
        // several, and reading goes on while another process writes.  The
        // mode stays with the file; where it cannot be set (a read-only
        // archive, another process busy with it) the archive works as it is.
        QSqlQuery(c->db).exec(QStringLiteral("PRAGMA journal_mode = WAL"));
    }
    if (v != kSchemaVersion) {
        *error = c->shown + " has archive schema version " + std::to_string(v) +
                 "; this program reads version " + std::to_string(kSchemaVersion) +
                 " (made by a newer LUM Kest?)";
        return nullptr;
    }
    return std::unique_ptr<Archive>(new Archive(std::move(c)));
}

bool Archive::addDownload(const ArchiveTester& tester, std::time_t downloaded,
                          const std::vector<std::uint8_t>& block,
                          const std::vector<TestRecord>& records, std::vector<bool>* added,
                          std::string* error, RecordForm form) {
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

    QSqlDatabase& db = c_->db;
    if (!c_->begin(error)) return false;
    auto fail = [&](const QSqlQuery& q) {
        *error = c_->failure("cannot write to", q.lastError());
        c_->rollback();
        added->assign(records.size(), false);
        return false;
    };

    if (!block.empty()) {
        QSqlQuery q(db);
        q.prepare(QStringLiteral(
            "INSERT INTO blocks (sha256, bytes) VALUES (?, ?) ON CONFLICT (sha256) DO NOTHING"));
        q.addBindValue(latin1(blockSha));
        q.addBindValue(QByteArray(reinterpret_cast<const char*>(block.data()),
                                  static_cast<qsizetype>(block.size())));
        if (!q.exec()) return fail(q);
    }

    qlonglong downloadId = 0;
    {
        QSqlQuery q(db);
        q.prepare(QStringLiteral(
            "INSERT INTO downloads (tester_serial, tester_id, downloaded, downloaded_utc, form, "
            "block_sha256, record_count) VALUES (?, ?, ?, ?, ?, ?, ?) RETURNING id"));
        q.addBindValue(latin1(tester.serial));
        q.addBindValue(latin1(tester.id));
        q.addBindValue(latin1(isoLocalTime(downloaded)));
        q.addBindValue(static_cast<qlonglong>(downloaded));
        q.addBindValue(static_cast<int>(form));
        q.addBindValue(block.empty() ? QVariant(QMetaType::fromType<QString>())
                                     : QVariant(latin1(blockSha)));
        q.addBindValue(static_cast<int>(records.size()));
        if (!q.exec() || !q.next()) return fail(q);
        downloadId = q.value(0).toLongLong();
        q.finish();
    }

    QSqlQuery insert(db), upgrade(db);
    insert.prepare(
        QStringLiteral(
            "INSERT INTO records (record_key, tester_serial, first_download, form, %1, "
            "unit_code, unit, tested, flow_ml_h, volume_ml, duration_s, peak_time_s, "
            "pressure_mmhg_value, pressure_user_value) VALUES (?, ?, ?, ?, ?, ?, ?, ?, "
            "?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT (record_key) DO NOTHING")
            .arg(QLatin1String(kTextColumns)));
    // A record archived before in a lesser form (a CSV export, say) takes on
    // the fuller texts of this one.  Its identity, its typed values (which
    // follow from the identity) and the download that first brought it stay.
    upgrade.prepare(QStringLiteral(
        "UPDATE records SET form = ?, device_id = ?, test_date = ?, test_time = ?, "
        "test_duration = ?, flow = ?, volume = ?, pressure_mmhg = ?, pressure_user = ?, "
        "peak_time = ?, unit_code = ? WHERE record_key = ? AND form < ?"));
    for (std::size_t i : order) {
        const TestRecord& r = records[i];
        const TypedRecord t = typedRecord(r);
        const std::string texts[] = {FIELD_TEXT(r, deviceID),
                                     FIELD_TEXT(r, testDate),
                                     FIELD_TEXT(r, testTime),
                                     FIELD_TEXT(r, testDuration),
                                     FIELD_TEXT(r, flow),
                                     FIELD_TEXT(r, volume),
                                     FIELD_TEXT(r, pressureMMHG),
                                     FIELD_TEXT(r, pressureUser),
                                     FIELD_TEXT(r, peakPressureTime)};
        // A file names the unit, not its code: the code of an mmHg unit is
        // known only from a received block.
        const bool codeKnown = form == RecordForm::Received || unitCode(t.unit) != 'm';
        const QVariant code =
            codeKnown ? QVariant(static_cast<int>(static_cast<unsigned char>(r.pressureUnits)))
                      : QVariant(QMetaType::fromType<int>());
        insert.addBindValue(latin1(keys[i]));
        insert.addBindValue(latin1(tester.serial));
        insert.addBindValue(downloadId);
        insert.addBindValue(static_cast<int>(form));
        for (const std::string& text : texts) insert.addBindValue(latin1(text));
        insert.addBindValue(code);
        insert.addBindValue(latin1(t.unit));
        insert.addBindValue(nullable(t.tested));
        insert.addBindValue(nullable(t.flow));
        insert.addBindValue(nullable(t.volume));
        insert.addBindValue(nullable(t.durationSeconds));
        insert.addBindValue(nullable(t.peakSeconds));
        insert.addBindValue(nullable(t.pressureMmHg));
        insert.addBindValue(nullable(t.pressureUser));
        if (!insert.exec()) return fail(insert);
        (*added)[i] = insert.numRowsAffected() == 1;
        if ((*added)[i] || form == RecordForm::Csv) continue;
        upgrade.addBindValue(static_cast<int>(form));
        for (const std::string& text : texts) upgrade.addBindValue(latin1(text));
        upgrade.addBindValue(code);
        upgrade.addBindValue(latin1(keys[i]));
        upgrade.addBindValue(static_cast<int>(form));
        if (!upgrade.exec()) return fail(upgrade);
    }
    QSqlQuery commit(db);
    if (!commit.exec(QStringLiteral("COMMIT"))) return fail(commit);
    return true;
}

bool Archive::history(const HistoryFilter& filter, std::vector<ArchivedRecord>* out,
                      std::string* error) {
    out->clear();
    for (const std::string* date : {&filter.since, &filter.until}) {
        if (!date->empty() && !isIsoDate(*date)) {
            *error = "\"" + *date + "\" is no date of the form YYYY-MM-DD";
            return false;
        }
    }
    QString sql = QStringLiteral(
                      "SELECT %1, r.unit_code, r.unit, r.tester_serial, d.tester_id, d.downloaded "
                      "FROM records r JOIN downloads d ON d.id = r.first_download WHERE 1 = 1")
                      .arg(QLatin1String(kTextColumns));
    QVariantList values;
    if (!filter.device.empty()) {
        sql += QStringLiteral(" AND r.device_id = ?");
        values << latin1(filter.device);
    }
    if (!filter.tester.empty()) {
        sql += QStringLiteral(" AND r.tester_serial = ?");
        values << latin1(filter.tester);
    }
    if (!filter.since.empty()) {
        sql += QStringLiteral(" AND r.tested >= ?");
        values << latin1(filter.since + "T00:00:00");
    }
    if (!filter.until.empty()) {
        sql += QStringLiteral(" AND r.tested <= ?");
        values << latin1(filter.until + "T23:59:59");
    }
    sql += QStringLiteral(" ORDER BY r.tested ASC NULLS LAST, r.id");
    QSqlQuery q(c_->db);
    q.setForwardOnly(true);
    q.prepare(sql);
    for (const QVariant& v : values) q.addBindValue(v);
    if (!q.exec()) {
        *error = c_->failure("cannot read", q.lastError());
        return false;
    }
    while (q.next()) {
        ArchivedRecord a;
        TestRecord& r = a.record;
        r = emptyRecord();
        char* const fields[] = {r.deviceID,     r.testDate,     r.testTime,
                                r.testDuration, r.flow,         r.volume,
                                r.pressureMMHG, r.pressureUser, r.peakPressureTime};
        const std::size_t sizes[] = {
            sizeof r.deviceID,     sizeof r.testDate,     sizeof r.testTime,
            sizeof r.testDuration, sizeof r.flow,         sizeof r.volume,
            sizeof r.pressureMMHG, sizeof r.pressureUser, sizeof r.peakPressureTime};
        for (int k = 0; k < 9; ++k) setField(fields[k], sizes[k], bytesOf(q.value(k).toString()));
        const QVariant code = q.value(9);
        r.pressureUnits = code.isNull() ? unitCode(bytesOf(q.value(10).toString()))
                                        : static_cast<char>(code.toInt());
        a.tester.serial = bytesOf(q.value(11).toString());
        a.tester.id = bytesOf(q.value(12).toString());
        a.firstDownloaded = bytesOf(q.value(13).toString());
        // The typed columns follow from the record's identity, so they are
        // the same values read again from its texts.
        a.typed = typedRecord(r);
        out->push_back(a);
    }
    if (q.lastError().isValid()) {
        *error = c_->failure("cannot read", q.lastError());
        out->clear();
        return false;
    }
    return true;
}
