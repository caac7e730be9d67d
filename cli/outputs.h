#pragma once
// The outputs that only the command-line program makes: the records as
// JSON (with their verdicts), the results CSV, and the tables of assets
// lists, due lists and downloads.

#include <QByteArray>
#include <ctime>
#include <vector>

#include "archive/archive.h"
#include "archive/recordkey.h"
#include "save/writers.h"
#include "workshop/due.h"
#include "workshop/verdict.h"

// The JSON of download and history, "format": 2, members in the order the
// manual page lists them.  Each record has its raw
// texts (field bytes read as Latin-1, so every byte comes back) and their
// typed values (workshop/typed.h; null where a text does not parse), and
// with a judging list their verdict.
// download: the tester's identity, the download time (local, with its
// offset from UTC) and the records in the order shown.
// received: when the archive first received each record (isoLocalTime
// form), for the verdict's datedAfterReceipt.
QByteArray recordsJson(const SaveSource& source, std::time_t downloaded,
                       const JudgingList* list = nullptr,
                       const std::vector<std::string>& received = {});
// The "format" of download's and history's JSON.
inline constexpr int kRecordsJsonFormat = 3;
// history: the records, each with its tester and the time of the download
// that first brought it.
QByteArray historyJson(const std::vector<ArchivedRecord>& records,
                       const JudgingList* list = nullptr);
// The same, a record at a time for any number of records: the opening, each
// record (position from 1) as judged by list onto the end of out, the
// closing; together historyJson's bytes.
std::string historyJsonOpening();
void historyJsonRecord(std::string& out, const ArchivedRecord& record, const JudgedTest& test,
                       int position, const JudgingList* list = nullptr);
std::string historyJsonClosing(bool anyRecords);

// The archive's downloads and imports, for `downloads`: number, time,
// tester serial and ID, form ("csv", "text" or "block"), records, records
// new.  JSON "format": 1; CSV with a header row, RFC 4180 quoting and CR LF;
// text as aligned columns, one download a line.  Texts are the tester's
// bytes (Latin-1 in JSON).
QByteArray downloadsJson(const std::vector<ArchiveDownload>& downloads);
// info --json: "format": 1, the tester's "id" and "serial", and its "state"
// ("connected": it answered the identity request).
QByteArray infoJson(const TesterIdentity& tester);
std::string downloadsCsv(const std::vector<ArchiveDownload>& downloads);
std::string downloadsText(const std::vector<ArchiveDownload>& downloads);

// --results: the verdicts as the maintenance-management system imports
// them, RFC 4180 CSV in UTF-8: the header row, then one row per record.
std::string resultsHeader();
std::string resultsRow(const JudgedTest& test, const TesterIdentity& tester, long long assetList);

// assets --json and testers --json: "format", the version's number, when it
// was loaded, its file's SHA-256 and rows, then each row.
QByteArray assetListJson(const std::vector<AssetRow>& rows, const AssetListInfo& info);
QByteArray testerListJson(const std::vector<TesterRow>& rows, const AssetListInfo& info);
// due's outputs: the assets, then the testers due for calibration (text:
// under their own heading; CSV: a row each with kind "tester"; JSON: their
// own array).
std::string dueText(const std::vector<DueEntry>& entries, const std::vector<TesterDue>& testers);
std::string dueCsv(const std::vector<DueEntry>& entries, const std::vector<TesterDue>& testers);
QByteArray dueJson(const std::vector<DueEntry>& entries, const std::vector<TesterDue>& testers,
                   const std::string& asOf, long long assetList, long long testerList);
// unknown's outputs: each device not in the asset list.
std::string unknownText(const std::vector<UnknownDevice>& devices);
std::string unknownCsv(const std::vector<UnknownDevice>& devices);
QByteArray unknownJson(const std::vector<UnknownDevice>& devices, long long assetList);
