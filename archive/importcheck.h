#pragma once
// Another archive read as input: what its tables and rows must be before
// anything of it is imported.  A file handed to import is untrusted, like a
// saved file, so every value is checked as this program's own inputs are:
// nothing is taken that this program could not have written.  Plain C++ (no
// database): merge.cpp and findarchive.cpp read the rows and ask these
// functions.

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "workshop/assetlist.h"
#include "workshop/testerlist.h"

// What a database holds under one of the archive's table names.
struct FoundTable {
    bool plain = true;  // a real table (no view, virtual or foreign table)
    std::vector<std::string> columns;
    std::vector<std::string> generated;  // generated or hidden columns
};

// Every table name the archive uses in any version (archive_version on
// PostgreSQL only, where SQLite keeps PRAGMA user_version).
const std::vector<std::string>& archiveTableNames(bool postgres);

// Empty when `found` (by table name) is the archive of schema `version`
// exactly: each of its tables real, with its columns and no others, none
// generated; else why not, in a few words.  Tables that version does not
// have must not be there either.
std::string shapeProblem(const std::map<std::string, FoundTable>& found, int version,
                         bool postgres);

// A time as the archive writes it ("2024-05-01T10:00:00+02:00"): its
// seconds since 1970-01-01 UTC; nullopt for any other text.
std::optional<long long> archiveTimeSeconds(const std::string& text);

// The SHA-256 the archive keys blocks and asset-list files by, as 64
// lower-case hex digits; and whether a text is such a key.
std::string sha256Hex(const std::string& bytes);
bool isSha256Text(const std::string& text);

// One download or import as another archive keeps it.
struct SourceDownload {
    long long id = 0;
    std::string serial, testerId, downloaded;
    long long utc = 0;
    int form = 0;
    std::string block;  // its SHA-256; empty: none
    long long count = 0;
};
// Empty, or why the row is none this program writes.
std::string downloadProblem(const SourceDownload& d);

// A received block for the download d: 8194 bytes whose SHA-256 is its key,
// that decode into d.count records.  *keys: the record keys it holds.
std::string blockProblem(const SourceDownload& d, const std::string& bytes,
                         std::set<std::string>* keys);

// A version of the asset list: its rows pass every rule readAssetList
// applies (the list is written as its CSV and read back, and must read the
// same), its lines are distinct and past the header's, and deviceKeys[i] is
// the identity of rows[i]'s device ID.
std::string assetListProblem(const std::vector<AssetRow>& rows,
                             const std::vector<std::string>& deviceKeys);

// A version of the tester list: its lines distinct and past the header's,
// its rows passing every rule readTesterList applies (written as its CSV and
// read back the same).
std::string testerListProblem(const std::vector<TesterRow>& rows);
