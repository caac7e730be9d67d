#pragma once
// What every command of lumkest-cli shares: the parsed options and the
// streams, the progress note, the one line of a failure with its exit code,
// and the writing of outputs ("-", a descriptor's name, a pipe or a file,
// whole or a piece at a time).  The commands themselves are one file each
// (cli/commands.h lists them).

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "cli/cli.h"
#include "cli/inputs.h"
#include "cli/options.h"
#include "cli/progress.h"
#include "save/filewrite.h"
#include "save/writers.h"
#include "workshop/due.h"
#include "workshop/table.h"
#include "workshop/verdict.h"

// What the outputs of one run write: the records in order with their tester
// and stamp, the block and the tester's identity reply (download), the time
// of the download.
struct RunRecords {
    SaveSource source;
    std::vector<std::uint8_t> block;
    std::vector<std::uint8_t> identity;
    std::time_t downloaded = 0;
};

// One run of one command.
class CliRun {
public:
    CliRun(const Options& options, const CliStreams& streams);

    const Options& o;
    const CliStreams& io;
    Progress progress;
    // What the line of a failed output adds (a download's archive says
    // what a rerun gives).
    std::string afterWriteFailure;

    // The one line on standard error; with usage, the usage lines after it.
    int fail(int code, const std::string& what, bool usage = false);
    int stdoutFailed(const std::string& what);
    // The archive's own line names it (a password in a URI masked).  With a
    // block, --raw is still written; when that fails too, both failures are
    // told, and the exit code is the archive's, which came first.  After
    // assetListHeld found no such version, the line is a usage error (2).
    int archiveFailed(const std::string& cause, const std::vector<std::uint8_t>* block = nullptr);

    // Opens the archive to write it, telling a new one even with -q.
    std::unique_ptr<Archive> openForWriting(std::string* error);

    // Every output asked for, in the command line's order; json makes the
    // JSON output's bytes (it differs by command).
    // results makes --results' bytes, where the command has verdicts.
    int writeOutputs(const RunRecords& records, const std::function<std::string()>& json,
                     const std::function<std::string()>& results = {});
    // Whether the archive holds the asset-list version --asset-list N asks
    // for (versions are 1 to the latest): false with the line that says
    // which it holds ("asset list 9 does not exist; the archive holds 1 to
    // 3"), or why the archive could not be read.
    bool assetListHeld(Archive& archive, std::string* error);
    // The lists that judge the records of this run: the asset list
    // --asset-list N, else the latest (none: every record NOT ASSESSED),
    // and the latest tester list (none: every tester unknown).
    bool loadJudge(Archive& archive, JudgingList* list, std::string* error);
    // The day the due list and the report are made as of: --as-of, else
    // today.
    std::string asOf() const;
    // The due list of the judging list as of asOf(): each asset's last test
    // found in the archive and judged by that list.
    bool loadDueList(Archive& archive, const JudgingList& list, long long within,
                     std::vector<DueEntry>* entries, std::string* error);
    int write(const Output& out, const std::string& contents);
    // One output; false with the line that says why.
    bool put(const Output& out, const std::string& contents, std::string* why);
    bool putPieces(const Output& out, const PieceProducer& produce, std::string* why);
    int writeRawOnly(const std::vector<std::uint8_t>& block);
    // A command's one table (assets, due, downloads) in every output asked
    // for, made by kind (Text, Csv or Json); the text on standard output
    // when none is asked for.
    int writeTable(const std::function<std::string(OutputKind)>& made);

private:
    bool putThrough(const Output& out, const std::string& piece);
    bool noSuchList_ = false;  // --asset-list named a version the archive lacks
};

// Bytes kept in a temporary file (in TMPDIR) until they can be written:
// what a reader takes from the archive's snapshot, so that the snapshot is
// let go before any output waits for its reader.
class Spool {
public:
    Spool();
    ~Spool();
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;
    // Appends a piece; false (with *why from then on) when it cannot.
    bool add(const std::string& piece);
    // Every piece added, in order, in pieces of at most 64 KiB.
    bool replay(const PieceWriter& put);
    bool empty() const { return size_ == 0; }
    const std::string& why() const { return why_; }

private:
    std::FILE* file_ = nullptr;
    std::size_t size_ = 0;
    std::string why_;
};

// Archived records kept in a Spool, in the order added, for outputs made
// after the archive's snapshot is let go: each record's bytes, its tester
// and its first download (a few hundred bytes, whatever an output makes of
// them).
class RecordSpool {
public:
    // Appends a record; false (with why()) when it cannot.
    bool add(const ArchivedRecord& record);
    // Each record added, in order, to each (which returns false to stop);
    // false when it stopped or the spool could not be read.
    bool replay(const std::function<bool(const ArchivedRecord&)>& each);
    const std::string& why() const { return spool_.why(); }

private:
    Spool spool_;
    std::string piece_;  // records gathered into writes of 64 KiB
};

// How many records the archive took as new.
std::size_t countAdded(const std::vector<bool>& added);
// Text for a stream: false, with errno kept, when it cannot be written.
bool printAll(std::FILE* out, const std::string& text);
// The stamp every output of one run carries, read once from the stamp clock
// when the records are in: the time and its text for the headers.
struct RunStamp {
    std::time_t time;
    std::string text;
};
RunStamp stampOfThisRun();
