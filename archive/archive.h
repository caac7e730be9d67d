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
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "archive/recordkey.h"
#include "records/testrecord.h"
#include "workshop/typed.h"
#include "workshop/verdict.h"

struct ArchivedRecord {
    TestRecord record;            // raw texts; the unit code as received, else one of unitCode()
    TesterIdentity tester;        // of the download that first brought it
    std::string firstDownloaded;  // that download's time, isoLocalTime form
    long long firstDownload = 0;  // that download's number
};

// Empty members do not filter.  device: compared as the record identity
// reads it (identityText), so "ICU 3, BED 7" also finds "ICU 3  BED 7" from
// a CSV export.  since / until: ISO dates (isIsoDate), both inclusive, on
// the typed test date; records whose date does not parse then drop out.
// download: the records that download first brought (its "new" set).
struct HistoryFilter {
    std::string device;
    std::string tester;  // tester serial number, exactly
    std::string since, until;
    long long download = 0;
    // With since or until: also the records whose date does not read,
    // which no date can place inside or outside.
    bool undatedToo = false;
};

// One download or import as the archive keeps it.
struct ArchiveDownload {
    long long number = 0;
    std::string downloaded;  // isoLocalTime form
    TesterIdentity tester;
    RecordForm form = RecordForm::Received;
    long long records = 0;     // in the download, new or not
    long long newRecords = 0;  // that it brought first
};

// One download as it was made: its tester, its time (seconds since 1970
// UTC) and the block it received (empty for an import of a file).
struct DownloadMade {
    long long number = 0;  // 0: the archive holds no such download
    TesterIdentity tester;
    std::time_t time = 0;
    std::vector<std::uint8_t> block;
};

// What the import of a whole archive added.  Asset lists are brought over
// only into an archive that has none (the move to a server): assetLists
// counts the source's, assetListsAdded those taken (renumbered here in
// their order), 0 when this archive has lists of its own.
struct ArchiveImport {
    long long downloads = 0, downloadsAdded = 0;
    long long records = 0, recordsAdded = 0;
    long long assetLists = 0, assetListsAdded = 0;
    long long testerLists = 0, testerListsAdded = 0;
};

// One version of the asset list (or of the tester list) as the archive
// keeps it.
struct AssetListInfo {
    long long number = 0;
    std::string loaded;  // isoLocalTime form
    std::time_t loadedUtc = 0;
    std::string sha256;  // of the file it was read from
    long long rows = 0;
};

// What a run does with the archive.  Read: nothing is made, upgraded or
// changed; an SQLite file this user may not write is opened read-only, and
// one that holds an unfinished write is then refused, never guessed at.
// Source: an SQLite file given to import, untrusted input: opened
// read-only whoever may write it, read in one snapshot, and checked whole
// (every table real, with the archive's columns; every value one this
// program writes) before open returns it.
enum class ArchiveAccess { Write, Read, Source };

class Archive {
public:
    // The schema version this program writes; older archives are upgraded
    // in place when opened for writing.
    static constexpr int kSchemaVersion = 5;

    // Opens (SQLite: creates) the archive, creates its tables on first use
    // and upgrades an older schema, in one transaction.  Opened to read (or
    // as a source), it reads one snapshot until endReading or its end; on
    // PostgreSQL it waits for an upgrade another process is making.
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

    // Whether this opening made the archive (its tables, in a new file or
    // an empty database), and the archive as messages name it.
    bool madeNew() const;
    const std::string& name() const;

    // Whether bytes start as an SQLite database file does (an archive to
    // import whole).
    static bool isSqliteFile(const std::string& bytes);

    // One transaction around several adds; without it each add is its own.
    // On PostgreSQL it takes the archive's write lock: one writer at a time,
    // as on SQLite.
    bool begin(std::string* error);
    // One snapshot around several reads (history read twice, say): every
    // read sees the same commits until endReading().  On SQLite it holds the
    // shared lock, so writers wait to commit meanwhile: read into memory or
    // a spool, end reading, then write what was read.
    bool beginReading(std::string* error);
    void endReading();
    bool commit(std::string* error);
    void rollback();
    // begin(), work, commit(); a transaction that meets a deadlock or a
    // serialization failure (PostgreSQL's SQLSTATE 40P01, 40001) is rolled
    // back and run again, a few times, before its failure is told.
    bool transaction(const std::function<bool(std::string*)>& work, std::string* error);

    // (*added)[i]: whether records[i] would be new to the archive (not in
    // it, nor earlier in records), as addDownload would find now.
    bool newRecords(const TesterIdentity& tester, const std::vector<TestRecord>& records,
                    std::vector<bool>* added, std::string* error);

    // Adds one download (or import): the tester, the time, the block as
    // received (empty for an import of a file) and the records.
    // (*added)[i] tells whether records[i] was new to the archive; *number is
    // the download's number.  form says how full the records' texts are; a
    // record already archived in a lesser form takes on these texts.  False
    // with one line in *error; then nothing of it was added, and a
    // transaction begun with begin() is rolled back.  Downloads are
    // numbered 1, 2, 3 in the order they commit, with no gap.
    bool addDownload(const TesterIdentity& tester, std::time_t downloaded,
                     const std::vector<std::uint8_t>& block, const std::vector<TestRecord>& records,
                     std::vector<bool>* added, std::string* error,
                     RecordForm form = RecordForm::Received, long long* number = nullptr);

    // Download number as it was made; out->number 0 when there is none.
    bool downloadMade(long long number, DownloadMade* out, std::string* error);
    // The number of the download already archived with this tester (serial
    // and ID), time, received block and count of records, the nth such
    // (from 0) in the order they were archived; 0 when there is none.  A
    // download kept after a failed archiving is found so when that
    // archiving did commit after all.
    bool receivedDownload(const TesterIdentity& tester, std::time_t downloaded,
                          const std::vector<std::uint8_t>& block, long long records, long long nth,
                          long long* number, std::string* error);

    // Adds every download, block and record of another archive (opened as
    // ArchiveAccess::Source), keeping the downloads' times, testers and
    // forms and each record's first download, and every version of its
    // asset list when this archive has none.  A download already here (same
    // tester, time, form, block and count, as often as the source has it)
    // is not added again.  As addDownload on failure.
    bool addArchive(Archive& source, ArchiveImport* summary, std::string* error);

    // The records that pass the filter, by test date and time (records
    // without one last), then in the order they were archived, one at a
    // time to each (which returns false to stop).
    // inTestOrder false: in whatever order the database finds them fastest
    // (for a count).
    bool history(const HistoryFilter& filter,
                 const std::function<bool(const ArchivedRecord&)>& each, std::string* error,
                 bool inTestOrder = true);
    bool history(const HistoryFilter& filter, std::vector<ArchivedRecord>* out, std::string* error);
    // How many records pass the filter.
    bool count(const HistoryFilter& filter, long long* records, std::string* error);

    // Every download and import, in the order they were archived.
    bool downloads(std::vector<ArchiveDownload>* out, std::string* error);

    // Adds a new version of the asset list, read from fileBytes, in one
    // transaction; *number is its number.  Versions are never changed.
    bool addAssetList(const std::vector<AssetRow>& rows, const std::string& fileBytes,
                      std::time_t loaded, AssetListInfo* info, std::string* error);
    // Version number of the asset list, or the latest for 0 (none at all:
    // no rows, info->number 0).  False, with *error saying so, when there is
    // no such version.
    bool assetList(long long number, std::vector<AssetRow>* rows, AssetListInfo* info,
                   std::string* error);
    // The number of the latest version of the asset list: versions are
    // 1 to it; 0 for none.
    bool latestAssetList(long long* number, std::string* error);
    // The tester list's versions, as the asset list's.
    bool addTesterList(const std::vector<TesterRow>& rows, const std::string& fileBytes,
                       std::time_t loaded, AssetListInfo* info, std::string* error);
    bool testerList(long long number, std::vector<TesterRow>* rows, AssetListInfo* info,
                    std::string* error);
    // The devices the archive holds tests of that asset list version
    // assetList does not name (every device without a list), by device ID:
    // the exception queue.  Their look-alikes are the asset list's to say.
    bool unknownDevices(long long assetList, std::vector<UnknownDevice>* devices,
                        std::string* error);
    // The last test of each device of asset list version assetList that
    // has one, by its device key (identityText of its ID): of its tests
    // dated on or before asOf (ISO date) and not more than a day after the
    // archive first received them, the latest (by test date and time, then
    // the order archived).
    bool lastTests(long long assetList, const std::string& asOf,
                   std::vector<std::pair<std::string, ArchivedRecord>>* lastByDevice,
                   std::string* error);
    // When the archive first received each of the tester's records
    // (isoLocalTime form; empty for a record it does not hold).
    bool firstReceived(const std::string& testerSerial, const std::vector<TestRecord>& records,
                       std::vector<std::string>* received, std::string* error);

    // The ID text of the tester's latest download (by its time); empty when
    // the archive has none of it.
    bool latestTesterId(const std::string& serial, std::string* id, std::string* error);

    struct Connection;  // the Qt SQL side

private:
    explicit Archive(std::unique_ptr<Connection> connection);
    std::unique_ptr<Connection> c_;
};
