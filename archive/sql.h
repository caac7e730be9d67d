#pragma once
// What the archive's files share (archive/*.cpp only; never installed): the
// connection, each table's columns named once (every statement is built
// from these lists, with named placeholders ":column"), a row read by
// column name, and the helpers that bind values to their placeholders.

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <array>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "archive/archive.h"
#include "archive/importcheck.h"

struct sqlite3;

namespace archivesql {

// PostgreSQL's advisory locks, each bounded by the session's lock_timeout.
// The schema lock: held exclusively by whoever creates or upgrades the
// tables (two concurrent CREATE TABLE can collide, and a table being moved
// must not be read), shared by every reader and writer meanwhile.
constexpr long long kCreateLockKey = 0x4c554d4b455354;  // "LUMKEST"
// The write lock: one writer at a time, as SQLite's BEGIN IMMEDIATE gives,
// so that numbers are given in the order transactions commit and no two
// writers wait for each other's rows.
constexpr long long kWriteLockKey = 0x4c554d4b455357;  // "LUMKESW"

// A record's columns, each named once.
// The raw texts, in the order of recordTexts(), then the unit's two.
extern const std::vector<const char*> kTextColumns;
extern const std::vector<const char*> kUnitColumns;
// What a record is filed under, and its typed values (workshop/typed.h).
extern const std::vector<const char*> kKeyColumns;
extern const std::vector<const char*> kTypedColumns;
// A download's columns but its number and its block (block_sha256, NULL
// when it received none).
extern const std::vector<const char*> kDownloadColumns;
// A version of the asset list's columns but its number, and its rows'.
extern const std::vector<const char*> kAssetListColumns;
extern const std::vector<const char*> kAssetRowColumns;
// An asset row's values, in AssetValues' order (assetValues()).
extern const std::vector<const char*> kAssetValueColumns;
// The rows of the asset list version :list, in their order.
extern const char* const kAssetRowsOfList;
// An asset row's tag and retirement, from version 5 on.
extern const std::vector<const char*> kAssetLifeColumns;
// The tester list's rows (its versions have the asset list's columns), and
// the rows of the tester list version :list, in their order.
extern const std::vector<const char*> kTesterRowColumns;
extern const char* const kTesterRowsOfList;

std::vector<const char*> operator+(std::vector<const char*> a, const std::vector<const char*>& b);

// "a, b" with each name after prefix: "r.a, r.b", or ":a, :b".
QString columnList(const std::vector<const char*>& names, const char* prefix = "");
// "a = :a, b = :b", or joined by another separator (" AND ").
QString assignments(const std::vector<const char*>& names, const char* separator = ", ");
// ":a".
QString placeholder(const char* column);
// UPDATE %T%records SET form = :form and the texts and unit code that
// bindTexts binds: a record given the texts of a fuller form.
QString updateTexts();
// INSERT INTO %T%table (columns) VALUES (:columns).
QString insertInto(const char* table, const std::vector<const char*>& columns);
// INSERT INTO %T%table (columns) VALUES (:columns_0), (:columns_1), ...:
// rows rows in one statement, each column's placeholder numbered by its row.
QString insertRows(const char* table, const std::vector<const char*>& columns, std::size_t rows);
// ":column_n", the placeholder of column in row n of insertRows.
QString placeholder(const char* column, std::size_t row);
// INSERT INTO %T%table (id, columns) with the next number, one past the
// highest (given under the write lock, so numbers follow the order of
// commits and leave no gap), RETURNING id.
QString insertNumbered(const char* table, const std::vector<const char*>& columns);

// The tester's texts are kept as Latin-1 read byte for byte.
QString latin1(const std::string& s);
std::string bytesOf(const QString& s);
// The column, read as its text's bytes where the database can hand them
// over as they are (the Row reads either): CAST(prefix column AS %RAW%) AS
// column.
QString rawText(const char* column, const char* prefix);
// A text read back as the archive keeps it: Latin-1, every character
// U+0001-U+00FF.  False for anything else, which this program never writes.
bool latin1Text(const QVariant& v, std::string* out);
// A whole number as a driver gives one (PostgreSQL's bigint comes as an
// unsigned one).
bool integerValue(const QVariant& v, long long* out);

// NULL of the value's type when there is none.
QVariant nullable(const std::optional<double>& v);
QVariant nullable(const std::optional<long long>& v);
QVariant nullable(const std::optional<std::string>& v);

// An asset row's values, in kAssetValueColumns' order.
template <typename Values>
auto assetValues(Values& v) {
    return std::array{&v.setRate,      &v.flowLowPct,   &v.flowHighPct,
                      &v.occlusionMin, &v.occlusionMax, &v.peakTimeMax};
}

// A record of its nine raw texts (in kTextColumns' order), each cut to its
// field; the index of the first text that had to be cut, or texts.size().
std::size_t recordOfTexts(const std::vector<std::string>& texts, TestRecord* r);
std::vector<std::string> recordTexts(const TestRecord& r);
// Binds the record's texts and unit code to their named placeholders.
void bindTexts(QSqlQuery& q, const TestRecord& r, bool codeKnown);
// Whether a record's unit code came with it: always from a received block;
// from a file, for any unit but mmHg (whose code a file does not show).
bool codeKnownIn(RecordForm form, const TestRecord& r);
// Binds a download's columns (kDownloadColumns and block_sha256).
void bindDownload(QSqlQuery& q, const SourceDownload& d);

// The columns of a query's rows by name, looked up once per query.
class Row {
public:
    explicit Row(const QSqlQuery& q) : q_(q) {}
    QVariant operator[](const char* column);
    // A text as the archive keeps it (Latin-1 read byte for byte), whether
    // the driver gives it as a text or as its UTF-8 bytes (rawText).
    std::string text(const char* column) {
        std::string out;
        text(column, &out);
        return out;
    }
    void text(const char* column, std::string* out);
    // The record's raw texts and unit.
    TestRecord record();

private:
    const QSqlQuery& q_;
    std::vector<std::pair<const char*, int>> at_;
    std::string scratch_;  // a text on its way into a record's field
};

// What an archive read for import holds, each value checked, for the pass
// that then writes it from the same snapshot.
struct SourcePlan {
    std::vector<SourceDownload> downloads;                   // by number
    std::vector<std::string> blocks;                         // the blocks they name, once, sorted
    std::vector<std::pair<std::string, qlonglong>> records;  // (key, id), by key, then by id
    std::vector<std::pair<AssetListInfo, std::vector<AssetRow>>> lists;  // in their order
    std::vector<std::pair<AssetListInfo, std::vector<TesterRow>>> testerLists;
};

}  // namespace archivesql

struct Archive::Connection {
    QString name;  // Qt's name of the connection, unique in the process
    QSqlDatabase db;
    bool postgres = false;
    bool borrowed = false;      // another schema, read through an open connection's db
    sqlite3* handle = nullptr;  // SQLite: the driver's connection
    std::string shown;          // the archive as messages name it
    int version = 0;            // of the archive as found (0: none yet)
    bool utf8 = true;           // SQLite: the file keeps its texts as UTF-8
    QString at;                 // where the tables are, with its dot: "lumkest." on PostgreSQL
    QString oldSchema;          // PostgreSQL, version 1: the schema its tables are in
    // PostgreSQL: other schemas that hold an archive of version 1, made by
    // an older release wherever search_path pointed.  Merged into lumkest
    // by the next command that writes.
    QStringList strays;
    bool inTransaction = false;                    // one begun by Archive::begin
    bool reading = false;                          // a read snapshot is open
    bool readLocked = false;                       // PostgreSQL: this reader shares the schema lock
    bool readOnlyFile = false;                     // SQLite: opened read-only
    bool made = false;                             // this connection made the archive
    mutable QString lastCode;                      // the native code of the last failure
    std::unique_ptr<archivesql::SourcePlan> plan;  // an archive opened for import, checked

    ~Connection();

    // The statement for this database: %T% where the tables are, %C% the
    // schema of functions, %OVERRIDE%, %ID%, %BYTES% and %RAW% what differs
    // between the two database systems.
    QString sql(const char* text) const { return sql(QString::fromLatin1(text)); }
    QString sql(QString text) const;

    // The one line of a failure, decided on the database's own codes:
    // SQLite's extended result codes, PostgreSQL's SQLSTATE.
    std::string failure(const char* what, const QSqlError& e) const;
    // A deadlock or a serialization failure: the transaction may start again.
    bool retryable() const;

    // Prepares a statement; false with *error set.
    bool prepare(QSqlQuery& q, const QString& text, const char* what, std::string* error);
    // Runs one statement without values; false with *error set.
    bool exec(const QString& text, const char* what, std::string* error);
    // Runs a prepared statement with its values bound; false with *error set.
    bool run(QSqlQuery& q, const char* what, std::string* error) const;
    // Runs it and steps to its first row; false with *error set when it
    // fails or gives none.
    bool first(QSqlQuery& q, const char* what, std::string* error) const;
    // PostgreSQL: takes (or frees) one of the program's advisory locks.
    bool lock(const char* function, long long key, const char* what, std::string* error);

    // Starts a transaction that writes.
    bool begin(std::string* error);
    void rollback();
    bool commit(std::string* error);
    // A snapshot for reading: every read until endReading sees the same
    // commits.
    bool beginReading(std::string* error);
    void endReading();

    // Finds the archive: its schema version (0: none yet) and where its
    // tables are.  An archive is recognised by all its tables and their
    // columns.  False when it cannot be read or holds other tables.
    bool findArchive(std::string* error);
    // Brings the archive to this program's schema version in one
    // transaction: creates it, or upgrades an older one step by step, and
    // merges every other archive of version 1 the server holds.
    bool upgrade(std::string* error);
    // Each archive of version 1 in another schema, checked and imported as
    // an archive given to import is, then its tables dropped.
    bool mergeStrays(std::string* error);
    // The line that names every archive of version 1 the server holds.
    std::string versionOneLine() const;
    // Always false, *error naming the archive's version, too new to read.
    bool newerVersion(std::string* error) const;
};

namespace archivesql {

// Adds records to the archive, or gives a record already there the fuller
// texts of a fuller form.  Its identity, its typed values (which follow
// from the identity) and the download that first brought it stay.
class RecordWriter {
public:
    explicit RecordWriter(Archive::Connection& c) : c_(c), insert_(c.db), upgrade_(c.db) {}

    bool prepare(std::string* error);
    // *added: whether it was new.  codeKnown: whether its unit code is the
    // one received (a file names mmHg, not its code).
    bool add(qlonglong download, const std::string& serial, const std::string& key,
             const TestRecord& r, RecordForm form, bool codeKnown, bool* added, std::string* error);

private:
    Archive::Connection& c_;
    QSqlQuery insert_, upgrade_;
};

// Adds received blocks, each unless the archive has it.
class BlockWriter {
public:
    explicit BlockWriter(Archive::Connection& c) : c_(c), insert_(c.db) {}

    bool prepare(std::string* error);
    bool add(const std::string& sha256, const QByteArray& bytes, std::string* error);

private:
    Archive::Connection& c_;
    QSqlQuery insert_;
};

// Adds a download with the next number; *id is its number.
bool insertDownload(Archive::Connection& c, const SourceDownload& d, qlonglong* id,
                    std::string* error);
// Adds a version of the asset list with the next number (as a download's),
// keeping info's time and file hash.
bool insertTesterList(Archive::Connection& c, const std::vector<TesterRow>& rows,
                      AssetListInfo* info, std::string* error);
bool insertAssetList(Archive::Connection& c, const std::vector<AssetRow>& rows, AssetListInfo* info,
                     std::string* error);

// The first pass over another archive given to import (s): every value
// checked, and what orders the second pass kept in *plan; false with *why.
bool checkSource(Archive::Connection& s, SourcePlan* plan, std::string* why);
// The second pass: the checked source into the open transaction of c.
bool importInto(Archive::Connection& c, Archive::Connection& s, const SourcePlan& plan,
                ArchiveImport* summary, std::string* error);

}  // namespace archivesql
