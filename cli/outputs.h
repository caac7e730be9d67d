#pragma once
// The two outputs that only the command-line program makes: the records as
// JSON, and the report printer's layouts as PDF in memory.

#include <QByteArray>
#include <ctime>
#include <vector>

#include "archive/archive.h"
#include "archive/recordkey.h"
#include "print/report.h"
#include "print/workshop.h"
#include "save/writers.h"

// The asset list that records are judged by (an empty list judges every
// record NOT ASSESSED; list.number 0 then).
struct Judged {
    struct {
        long long number = 0;
        AssetIndex rows;
    } list;
    Verdict of(const TestRecord& record) const;
};

// The JSON of download and history, "format": 2, members in the order the
// manual page lists them.  Each record has its raw
// texts (field bytes read as Latin-1, so every byte comes back) and their
// typed values (archive/typed.h; null where a text does not parse).
// download: the tester's identity, the download time (local, with its
// offset from UTC) and the records in the order shown.
// received: when the archive first received each record (isoLocalTime
// form), for the verdict's datedAfterReceipt.
QByteArray recordsJson(const SaveSource& source, std::time_t downloaded,
                       const Judged* judged = nullptr,
                       const std::vector<std::string>& received = {});
// The "format" of download's and history's JSON.
inline constexpr int kRecordsJsonFormat = 2;
// history: the records, each with its tester and the time of the download
// that first brought it.
QByteArray historyJson(const std::vector<ArchivedRecord>& records, const Judged* judged = nullptr);
// The same, a record at a time for any number of records: the opening, each
// record (position from 1), the closing; together historyJson's bytes.
std::string historyJsonOpening();
std::string historyJsonRecord(const ArchivedRecord& record, int position,
                              const Judged* judged = nullptr);
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
// received: when the archive first received the record (its date_check).
std::string resultsHeader();
std::string resultsRow(const TestRecord& record, const TesterIdentity& tester, const Judged& judged,
                       const std::string& received);

// assets --json, and due's outputs (text, CSV, JSON).
QByteArray assetListJson(const std::vector<AssetRow>& rows, const AssetListInfo& info);
std::string dueText(const std::vector<DueEntry>& entries);
std::string dueCsv(const std::vector<DueEntry>& entries);
QByteArray dueJson(const std::vector<DueEntry>& entries, const std::string& asOf,
                   long long assetList);

enum class Paper { A4, Letter };

// The locale's paper (LC_PAPER), as the desktop's print dialog takes it:
// Letter where the locale's paper is 279 mm high, A4 otherwise.
Paper localePaper();

// The job printed by the report printer onto a PDF canvas (1200 dots per
// inch, as the print dialog's printer).  False when printing failed.
bool reportPdf(const ReportJob& job, Paper paper, QByteArray* pdf);

// The workshop report (print/workshop.h) as PDF, on the same PDF canvas.
bool workshopPdf(const WorkshopReport& report, Paper paper, QByteArray* pdf);
// One plot as an <svg> element for the web page: Qt's SVG generator under
// the same drawing code, 1100 by 440 pixels at 96 per inch.
std::string plotSvg(const Plot& plot);
