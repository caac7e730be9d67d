// The connection: opening an archive (a file, or a PostgreSQL URI read into
// the driver's settings with the program's bounded waits), the locks and
// transactions around reads and writes, and failures told by the
// database's own codes.

#include <libpq-fe.h>
#include <sqlite3.h>
#include <unistd.h>

#include <QSqlDriver>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>

#include "archive/pguri.h"
#include "archive/sql.h"

using namespace archivesql;

namespace {

constexpr int kBusyTimeoutMs = 60000;  // a busy SQLite archive is waited for, not refused
// A writer that meets a deadlock or a serialization failure (a writer of
// another version, say) starts its transaction again, this many times.
constexpr int kWriteAttempts = 5;

// Server encodings that keep every byte 0x01-0xFF of the tester's texts.
const char* const kWholeEncodings[] = {"UTF8", "LATIN1", "SQL_ASCII"};

std::atomic<unsigned> connectionCount{0};

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

// What a reader that may not write meets when the file holds a write that
// never finished: a hot journal to roll back, a write-ahead log without its
// index, which only a writer may put right.
bool unfinishedWrite(int code) {
    return code == SQLITE_READONLY_ROLLBACK || code == SQLITE_READONLY_RECOVERY ||
           code == SQLITE_READONLY_CANTINIT || code == SQLITE_READONLY_CANTLOCK ||
           code == SQLITE_CANTOPEN;
}

// libpq's notices go nowhere: a connection the server ends says so in the
// failing statement's one line, not in a raw line of its own.
void dropNotice(void*, const char*) {}

}  // namespace

Archive::Connection::~Connection() {
    if (borrowed) return;
    endReading();
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(name);
}

std::string Archive::Connection::failure(const char* what, const QSqlError& e) const {
    lastCode = e.nativeErrorCode();
    std::string cause = oneLine(e);
    if (postgres) {
        // A lock another session holds beyond lock_timeout.
        if (lastCode == QLatin1String("55P03"))
            cause = "another process holds the archive (" + cause + ")";
        return std::string(what) + " " + shown + ": " + cause;
    }
    // SQLite's extended result codes: the connection asks for them.
    const int code = lastCode.toInt();
    if (readOnlyFile && unfinishedWrite(code))
        return "cannot read " + shown +
               ": this copy holds an unfinished write: open it where it can be written, or take "
               "the copy again";
    // SQLite finds a read-only archive at its first statement, a read.
    if ((code & 0xff) == SQLITE_READONLY) what = "cannot write to";
    // A lock another process holds beyond the busy timeout.
    if ((code & 0xff) == SQLITE_BUSY || (code & 0xff) == SQLITE_LOCKED)
        cause = "another process holds the archive (" + cause + ")";
    return std::string(what) + " " + shown + ": " + cause;
}

bool Archive::Connection::retryable() const {
    return postgres && (lastCode == QLatin1String("40P01") || lastCode == QLatin1String("40001"));
}

bool Archive::Connection::prepare(QSqlQuery& q, const QString& text, const char* what,
                                  std::string* error) {
    if (q.prepare(text)) return true;
    *error = failure(what, q.lastError());
    return false;
}

bool Archive::Connection::exec(const QString& text, const char* what, std::string* error) {
    QSqlQuery q(db);
    if (q.exec(text)) return true;
    *error = failure(what, q.lastError());
    return false;
}

bool Archive::Connection::run(QSqlQuery& q, const char* what, std::string* error) const {
    if (q.exec()) return true;
    *error = failure(what, q.lastError());
    return false;
}

bool Archive::Connection::first(QSqlQuery& q, const char* what, std::string* error) const {
    if (q.exec() && q.next()) return true;
    *error = failure(what, q.lastError());
    return false;
}

// The function and its argument's type named, so that no other role's
// function of that name can receive the call.
bool Archive::Connection::lock(const char* function, long long key, const char* what,
                               std::string* error) {
    QSqlQuery q(db);
    if (!prepare(q,
                 QStringLiteral("SELECT pg_catalog.%1(CAST(:key AS bigint))")
                     .arg(QLatin1String(function)),
                 what, error))
        return false;
    q.bindValue(QStringLiteral(":key"), static_cast<qlonglong>(key));
    return run(q, what, error);
}

// SQLite takes the write lock at once (waiting for it up to the busy
// timeout), so two writers never both hold a read lock and fail to upgrade;
// PostgreSQL takes a share of the schema lock (no upgrade meanwhile) and the
// write lock.
bool Archive::Connection::begin(std::string* error) {
    if (!postgres) return exec(QStringLiteral("BEGIN IMMEDIATE"), "cannot write to", error);
    if (!exec(QStringLiteral("BEGIN"), "cannot write to", error)) return false;
    if (lock("pg_advisory_xact_lock_shared", kCreateLockKey, "cannot write to", error) &&
        lock("pg_advisory_xact_lock", kWriteLockKey, "cannot write to", error))
        return true;
    rollback();
    return false;
}

void Archive::Connection::rollback() {
    inTransaction = false;
    // A connection the server ended has nothing to roll back.
    if (!db.isOpen()) return;
    QSqlQuery q(db);
    q.exec(QStringLiteral("ROLLBACK"));
}

bool Archive::Connection::commit(std::string* error) {
    inTransaction = false;
    if (exec(QStringLiteral("COMMIT"), "cannot write to", error)) return true;
    rollback();
    return false;
}

// PostgreSQL shares the schema lock first, so that an upgrade is waited for
// rather than met halfway; SQLite takes its shared lock at the first read
// and holds it (a writer waits to commit meanwhile).
bool Archive::Connection::beginReading(std::string* error) {
    if (reading) return true;
    if (postgres) {
        if (!lock("pg_advisory_lock_shared", kCreateLockKey, "cannot read", error)) return false;
        readLocked = true;
    }
    reading = exec(postgres ? QStringLiteral("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY")
                            : QStringLiteral("BEGIN"),
                   "cannot read", error);
    if (!reading) endReading();
    return reading;
}

void Archive::Connection::endReading() {
    if (reading) rollback();
    reading = false;
    if (readLocked && db.isOpen()) {
        std::string ignored;
        lock("pg_advisory_unlock_shared", kCreateLockKey, "cannot read", &ignored);
    }
    readLocked = false;
}

namespace {

// Libpq reads the URI; the program's own defaults bound every wait
// (connecting, a lock, an idle transaction) and keep notices off standard
// error.  Names are bytes, as libpq and the driver pass them.
bool setServer(Archive::Connection& c, const std::string& uri, std::string* error) {
    PgSettings settings;
    std::string why;
    if (!pgSettingsFromUri(uri, &settings, &why)) {
        *error = "cannot open " + c.shown + ": " + why;
        return false;
    }
    c.db.setHostName(QString::fromLocal8Bit(settings.host));
    c.db.setUserName(QString::fromLocal8Bit(settings.user));
    c.db.setDatabaseName(QString::fromLocal8Bit(settings.dbname));
    if (settings.port != 0) c.db.setPort(settings.port);
    c.db.setConnectOptions(QString::fromLocal8Bit(settings.connectOptions));
    return true;
}

// An open connection to a server: its notices dropped, its encoding one
// that holds the tester's texts (Latin-1 read byte for byte: every
// character U+0001-U+00FF).
bool serverOpened(Archive::Connection& c, const QVariant& handle, std::string* error) {
    if (qstrcmp(handle.typeName(), "PGconn*") == 0)
        PQsetNoticeProcessor(*static_cast<PGconn* const*>(handle.constData()), &dropNotice,
                             nullptr);
    QSqlQuery q(c.db);
    if (!q.exec(QStringLiteral("SHOW server_encoding")) || !q.next()) {
        *error = c.failure("cannot read", q.lastError());
        return false;
    }
    const std::string encoding = Row(q).text("server_encoding");
    if (std::none_of(std::begin(kWholeEncodings), std::end(kWholeEncodings),
                     [&](const char* e) { return encoding == e; })) {
        *error = "cannot use " + c.shown + ": its encoding " + encoding +
                 " cannot hold every byte of the tester's texts; make the database with "
                 "ENCODING 'UTF8'";
        return false;
    }
    return true;
}

// An open SQLite file: its extended result codes asked for, and no function
// with side effects called by its views, triggers and indexes; a file given
// to import is only ever read.
bool fileOpened(Archive::Connection& c, const QVariant& handle, bool source, std::string* error) {
    if (qstrcmp(handle.typeName(), "sqlite3*") != 0) {
        *error = "cannot open " + c.shown + ": the SQLite driver gives no connection";
        return false;
    }
    c.handle = *static_cast<sqlite3* const*>(handle.constData());
    sqlite3_extended_result_codes(c.handle, 1);
    if (!c.exec(QStringLiteral("PRAGMA trusted_schema = OFF"), "cannot open", error) ||
        (source && !c.exec(QStringLiteral("PRAGMA query_only = ON"), "cannot open", error)))
        return false;
    // Texts are read as their bytes only from a file that keeps UTF-8
    // (every file this program makes; another program can make one of UTF-16).
    QSqlQuery q(c.db);
    if (q.exec(QStringLiteral("PRAGMA encoding")) && q.next())
        c.utf8 = Row(q).text("encoding") == "UTF-8";
    return true;
}

}  // namespace

Archive::Archive(std::unique_ptr<Connection> connection) : c_(std::move(connection)) {}
Archive::~Archive() = default;

bool Archive::madeNew() const { return c_->made; }

const std::string& Archive::name() const { return c_->shown; }

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
        if (!setServer(*c, name, error)) return nullptr;
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
    if (c->postgres ? !serverOpened(*c, handle, error) : !fileOpened(*c, handle, source, error))
        return nullptr;
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
            Row(q)["journal_mode"].toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) ==
                0)
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
