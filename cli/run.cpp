#include "cli/run.h"

#include <fcntl.h>
#include <langinfo.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <map>

#include "cli/commands.h"
#include "cli/outputs.h"
#include "print/pdf.h"
#include "print/report.h"
#include "records/recordstore.h"
#include "save/filewrite.h"
#include "save/stamp.h"

// ---- one run ----

CliRun::CliRun(const Options& options, const CliStreams& streams)
    : o(options), io(streams), progress(streams, options.quiet) {}

int CliRun::fail(int code, const std::string& what, bool usage) {
    progress.clear();
    const std::string& more = code == CliWriteFailed ? afterWriteFailure : std::string();
    std::fprintf(io.err, "%s: %s\n", kProgram, escapedText(what + more).c_str());
    if (usage) std::fprintf(io.err, "%s\n", usageLines().c_str());
    return code;
}

int CliRun::stdoutFailed(const std::string& what) {
    const std::string reason = std::strerror(errno);
    std::clearerr(io.out);
    return fail(CliWriteFailed, what + ": cannot write to standard output: " + reason);
}

int CliRun::archiveFailed(const std::string& cause, const std::vector<std::uint8_t>* block) {
    const int code = noSuchList_ ? CliUsage : CliArchiveFailed;
    const Output* raw = block ? o.output(OutputKind::Raw) : nullptr;
    std::string rawFailure;
    const bool kept = raw && put(*raw, std::string(block->begin(), block->end()), &rawFailure);
    fail(code, (noSuchList_ ? "" : "archive: ") + cause +
                   (kept ? "; the block is kept in \"" + raw->file + "\"" : std::string()));
    if (!rawFailure.empty()) fail(CliWriteFailed, rawFailure);
    return code;
}

// One that this opening made is told even with -q, so that a mistyped name
// in a nightly job shows in the first night's mail rather than starting a
// second archive in silence.
std::unique_ptr<Archive> CliRun::openForWriting(std::string* error) {
    std::unique_ptr<Archive> archive = Archive::open(o.archive, error);
    if (archive && archive->madeNew()) {
        progress.clear();
        std::fprintf(io.err, "%s: archive: %s held no archive; a new one was made there\n",
                     kProgram, escapedText(archive->name()).c_str());
    }
    return archive;
}

// ---- the outputs ----

int CliRun::writeOutputs(const RunRecords& records, const std::function<std::string()>& json,
                         const std::function<std::string()>& results) {
    const SaveSource& source = records.source;
    for (const Output& out : o.outputs) {
        std::string contents;
        bool made = true;
        switch (out.kind) {
            case OutputKind::Raw:
                contents.assign(records.block.begin(), records.block.end());
                break;
            case OutputKind::Csv:
                made = csvFileText(source, AllRecords, &contents);
                break;
            case OutputKind::Text:
                made = textFileText(source, AllRecords, false, &contents);
                break;
            case OutputKind::Records:
                made = textFileText(source, AllRecords, true, &contents);
                break;
            case OutputKind::Json:
                contents = json();
                break;
            case OutputKind::Html:  // the workshop report's only (report.cpp)
            case OutputKind::HtmlDir:
            case OutputKind::Identity:  // info's only
                made = false;
                break;
            case OutputKind::Results:
                made = bool(results);
                if (made) contents = results();
                break;
            case OutputKind::Pdf:
            case OutputKind::PdfRecords: {
                ReportJob job;
                job.records = source.records;
                job.range = PrintAll;
                job.format = out.kind == OutputKind::Pdf ? PrintListFormat : PrintRecordFormat;
                job.tester = source.tester;
                job.stamp = source.stamp;
                QByteArray pdf;
                made = reportPdf(job, o.paper, &pdf);
                contents.assign(pdf.constData(), static_cast<std::size_t>(pdf.size()));
                break;
            }
        }
        if (!made) return fail(CliWriteFailed, out.option + ": the file could not be made");
        const int code = write(out, contents);
        if (code != CliDone) return code;
    }
    return CliDone;
}

// Standard output for "-"; anything else through the careful saver, which
// writes pipes and devices plainly and files whole or not at all.
int CliRun::write(const Output& out, const std::string& contents) {
    std::string why;
    return put(out, contents, &why) ? CliDone : fail(CliWriteFailed, why);
}

bool CliRun::put(const Output& out, const std::string& contents, std::string* why) {
    if (out.toStdout() || out.descriptor() >= 0)
        return putPieces(
            out, [&](const PieceWriter& piece) { return piece(contents); }, why);
    std::string reason;
    if (saveWholeFile(out.file, contents, &reason, SaveTargets::StreamsToo) == SaveResult::Done)
        return true;
    *why = out.option + ": cannot write \"" + out.file + "\": " + reason;
    return false;
}

bool CliRun::putPieces(const Output& out, const PieceProducer& produce, std::string* why) {
    if (out.toStdout() || out.descriptor() >= 0) {
        if (produce([&](const std::string& piece) { return putThrough(out, piece); })) return true;
        *why = out.option + ": cannot write to " +
               (out.toStdout() ? std::string("standard output") : "\"" + out.file + "\"") + ": " +
               std::strerror(errno);
        std::clearerr(io.out);
        return false;
    }
    std::string reason;
    if (saveStreamedFile(out.file, produce, &reason, SaveTargets::StreamsToo) == SaveResult::Done)
        return true;
    *why = out.option + ": cannot write \"" + out.file + "\": " + reason;
    return false;
}

// Writes through standard output or the descriptor the name stands for, as
// it was opened: nothing is truncated, renamed or replaced.
bool CliRun::putThrough(const Output& out, const std::string& piece) {
    const int fd = out.toStdout() ? fileno(io.out) : out.descriptor();
    if (fd == fileno(io.out)) return printAll(io.out, piece);
    if (fd == fileno(io.err)) return printAll(io.err, piece);
    const char* p = piece.data();
    for (std::size_t left = piece.size(); left > 0;) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

int CliRun::writeRawOnly(const std::vector<std::uint8_t>& block) {
    const Output* raw = o.output(OutputKind::Raw);
    return raw ? write(*raw, std::string(block.begin(), block.end())) : CliDone;
}

int CliRun::writeTable(const std::function<std::string(OutputKind)>& made) {
    if (o.outputs.empty())
        return printAll(io.out, made(OutputKind::Text)) ? CliDone
                                                        : stdoutFailed(cliCommand(o.command).name);
    for (const Output& out : o.outputs) {
        const int code = write(out, made(out.kind));
        if (code != CliDone) return code;
    }
    return CliDone;
}

// ---- the spool ----

Spool::Spool() {
    // An unnamed file in TMPDIR (else /tmp), gone when it is closed.
    const char* dir = std::getenv("TMPDIR");
    std::string folder = dir && *dir ? dir : "/tmp";
    int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {  // a file system without unnamed files
        std::string name = folder + "/lumkest-spool-XXXXXX";
        fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd >= 0) ::unlink(name.c_str());
    }
    if (fd >= 0) file_ = ::fdopen(fd, "w+b");
    if (!file_) why_ = "cannot make a temporary file in " + folder + ": " + std::strerror(errno);
}

Spool::~Spool() {
    if (file_) std::fclose(file_);
}

bool Spool::add(const std::string& piece) {
    if (!file_) return false;
    if (std::fwrite(piece.data(), 1, piece.size(), file_) != piece.size()) {
        why_ = std::string("cannot write a temporary file: ") + std::strerror(errno);
        return false;
    }
    size_ += piece.size();
    return true;
}

bool Spool::replay(const PieceWriter& put) {
    if (!file_ || std::fflush(file_) != 0 || std::fseek(file_, 0, SEEK_SET) != 0) return false;
    std::string piece(65536, '\0');
    for (std::size_t n; (n = std::fread(piece.data(), 1, piece.size(), file_)) > 0;)
        if (!put(piece.substr(0, n))) return false;
    return !std::ferror(file_);
}

// ---- the records' spool ----

namespace {

// A record in the spool: its size, the record's bytes, the tester's serial
// and ID, the first download's time (each a size and its bytes), the first
// download's number.
template <class T>
void appendBytes(std::string& out, const T& value) {
    out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

void appendText(std::string& out, const std::string& text) {
    appendBytes(out, static_cast<std::uint32_t>(text.size()));
    out += text;
}

template <class T>
T bytesAt(const char* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

const char* textAt(const char* at, std::string* text) {
    const auto size = bytesAt<std::uint32_t>(at);
    text->assign(at + sizeof size, size);
    return at + sizeof size + size;
}

}  // namespace

bool RecordSpool::add(const ArchivedRecord& a) {
    const std::size_t start = piece_.size();
    appendBytes(piece_, std::uint32_t(0));
    appendBytes(piece_, a.record);
    appendText(piece_, a.tester.serial);
    appendText(piece_, a.tester.id);
    appendText(piece_, a.firstDownloaded);
    appendBytes(piece_, a.firstDownload);
    const auto size = static_cast<std::uint32_t>(piece_.size() - start);
    std::memcpy(&piece_[start], &size, sizeof size);
    if (piece_.size() < 65536) return true;
    const bool kept = spool_.add(piece_);
    piece_.clear();
    return kept;
}

bool RecordSpool::replay(const std::function<bool(const ArchivedRecord&)>& each) {
    if (!piece_.empty()) {
        if (!spool_.add(piece_)) return false;
        piece_.clear();
    }
    // The spool's pieces cut records anywhere: what is left of one piece
    // waits for the next.
    std::string pending;
    ArchivedRecord a;
    return spool_.replay([&](const std::string& piece) {
        pending += piece;
        std::size_t at = 0;
        while (pending.size() - at >= sizeof(std::uint32_t)) {
            const auto size = bytesAt<std::uint32_t>(pending.data() + at);
            if (pending.size() - at < size) break;
            const char* p = pending.data() + at + sizeof size;
            a.record = bytesAt<TestRecord>(p);
            p = textAt(p + sizeof a.record, &a.tester.serial);
            p = textAt(p, &a.tester.id);
            p = textAt(p, &a.firstDownloaded);
            a.firstDownload = bytesAt<long long>(p);
            at += size;
            if (!each(a)) return false;
        }
        pending.erase(0, at);
        return true;
    }) && pending.empty();
}

// ---- small shared steps ----

std::size_t countAdded(const std::vector<bool>& added) {
    return static_cast<std::size_t>(std::count(added.begin(), added.end(), true));
}

bool printAll(std::FILE* out, const std::string& text) {
    return std::fwrite(text.data(), 1, text.size(), out) == text.size() && std::fflush(out) == 0;
}

RunStamp stampOfThisRun() {
    const std::time_t now = stampNow();
    return {now, saveStamp(now)};
}

bool CliRun::assetListHeld(Archive& archive, std::string* error) {
    const long long asked = o.number("asset-list");
    long long latest = 0;
    if (asked == 0) return true;
    if (!archive.latestAssetList(&latest, error)) return false;
    if (asked <= latest) return true;
    noSuchList_ = true;
    *error = "asset list " + std::to_string(asked) + " does not exist; the archive holds " +
             (latest == 0   ? std::string("none")
              : latest == 1 ? std::string("only 1")
                            : "1 to " + std::to_string(latest));
    return false;
}

bool CliRun::loadJudge(Archive& archive, JudgingList* list, std::string* error) {
    AssetListInfo info;
    std::vector<AssetRow> rows;
    std::vector<TesterRow> testers;
    AssetListInfo testerInfo;
    if (!assetListHeld(archive, error) ||
        !archive.assetList(o.number("asset-list"), &rows, &info, error) ||
        !archive.testerList(0, &testers, &testerInfo, error))
        return false;
    list->number = info.number;
    list->assets = AssetIndex(std::move(rows));
    list->testerList = testerInfo.number;
    list->testers = TesterIndex(std::move(testers));
    return true;
}

std::string CliRun::asOf() const {
    return o.has("as-of") ? o.value("as-of") : isoLocalTime(stampNow()).substr(0, 10);
}

bool CliRun::loadDueList(Archive& archive, const JudgingList& list, long long within,
                         std::vector<DueEntry>* entries, std::string* error) {
    entries->clear();
    std::vector<std::pair<std::string, ArchivedRecord>> tests;
    if (!archive.lastTests(list.number, asOf(), &tests, error)) return false;
    std::map<std::string, LastTest> last;
    for (const auto& [device, a] : tests) {
        const JudgedTest test = list.test(a.record, a.firstDownloaded, a.tester.serial);
        const VerdictResult result = test.verdict.result;
        last[device] = {test.typed.tested.value_or(std::string()),
                        result == VerdictResult::Fail || result == VerdictResult::Unreadable};
    }
    *entries = dueList(list.assets, asOf(), within,
                       [&last](const std::string& device) -> std::optional<LastTest> {
                           const auto found = last.find(identityText(device));
                           if (found == last.end()) return std::nullopt;
                           return found->second;
                       });
    return true;
}
