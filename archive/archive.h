#pragma once
// The workshop archive: every record of every download, kept in SQLite (a
// file name) or PostgreSQL (a postgresql:// URI) through Qt SQL, one code
// path for both.  Records are only ever added; each download is one
// transaction.  SCHEMA.md describes the tables.
//
// Needs a QCoreApplication (Qt loads the database drivers as plugins).  An
// Archive is one connection, used from the thread that opened it.

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "archive/recordkey.h"
#include "archive/typed.h"
#include "records/testrecord.h"

struct ArchivedRecord {
    TestRecord record;            // raw texts; the unit code as received, else one of unitCode()
    ArchiveTester tester;         // of the download that first brought it
    std::string firstDownloaded;  // that download's time, isoLocalTime form
    TypedRecord typed;
};

// Empty members do not filter.  since / until: ISO dates (isIsoDate), both
// inclusive, on the typed test date; records whose date does not parse
// then drop out.
struct HistoryFilter {
    std::string device;  // device ID, exactly
    std::string tester;  // tester serial number, exactly
    std::string since, until;
};

// What a run does with the archive: history only reads it (an SQLite file
// this user may not write is then read as it stands; none is made).
enum class ArchiveAccess { Write, Read };

class Archive {
public:
    // Opens (SQLite: creates) the archive and creates its tables on first use.
    // db: a file name (bytes, passed to SQLite as they are) or a libpq URI
    // "postgresql://[user@][host][:port][/dbname][?param=value&...]"; a
    // socket folder as host=/folder.  The password comes from PGPASSWORD or
    // ~/.pgpass; a URI holding one is refused.  On failure nullptr and one
    // line in *error naming the cause.
    static std::unique_ptr<Archive> open(const std::string& db, std::string* error,
                                         ArchiveAccess access = ArchiveAccess::Write);
    ~Archive();
    Archive(const Archive&) = delete;
    Archive& operator=(const Archive&) = delete;

    // Adds one download (or import) in one transaction: the tester, the time,
    // the block as received (empty for an import of a file) and the records.
    // (*added)[i] tells whether records[i] was new to the archive.  form says
    // how full the records' texts are; a record already archived in a lesser
    // form takes on these texts.  False with one line in *error; then nothing
    // of it was added.
    bool addDownload(const ArchiveTester& tester, std::time_t downloaded,
                     const std::vector<std::uint8_t>& block, const std::vector<TestRecord>& records,
                     std::vector<bool>* added, std::string* error,
                     RecordForm form = RecordForm::Received);

    // The records that pass the filter, by test date and time (records
    // without one last), then in the order they were archived.
    bool history(const HistoryFilter& filter, std::vector<ArchivedRecord>* out, std::string* error);

    struct Connection;  // the Qt SQL side

private:
    explicit Archive(std::unique_ptr<Connection> connection);
    std::unique_ptr<Connection> c_;
};
