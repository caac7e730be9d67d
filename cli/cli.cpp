#include "cli/cli.h"

#include <langinfo.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QGuiApplication>
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/importfile.h"
#include "cli/options.h"
#include "cli/outputs.h"
#include "device/decode.h"
#include "device/ftdidriver.h"
#include "device/monitor.h"
#include "device/session.h"
#include "device/simoptions.h"
#include "device/virtualtester.h"
#include "print/report.h"
#include "records/recordstore.h"
#include "records/sort.h"
#include "save/stamp.h"
#include "save/writers.h"

namespace {

const char* const kUdevRule = "/lib/udev/rules.d/70-lumkest.rules";
const char* const kNoMatch = "no archived record matches";

std::string plural(std::size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// How many records the archive took as new.
std::size_t countAdded(const std::vector<bool>& added) {
    return static_cast<std::size_t>(std::count(added.begin(), added.end(), true));
}

// Text for standard output: false, with errno kept, when it cannot be written.
bool printAll(std::FILE* out, const std::string& text) {
    return std::fwrite(text.data(), 1, text.size(), out) == text.size() && std::fflush(out) == 0;
}

// The descriptor a shown progress note is on, for a signal that ends the
// run while it shows (-1: none shown).
std::atomic<int> noteShownOn{-1};

// Ends the note's line, so that the shell's prompt does not land after it,
// then dies of the signal as if no handler were there.
extern "C" void endNoteAndDie(int signal) {
    const int fd = noteShownOn.load();
    if (fd >= 0) (void)!::write(fd, "\n", 1);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// Whether the locale's characters are UTF-8, read without changing the
// program's locale.
bool utf8Locale() {
    const locale_t ctype = ::newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
    if (!ctype) return false;
    const bool utf8 = std::strcmp(::nl_langinfo_l(CODESET, ctype), "UTF-8") == 0;
    ::freelocale(ctype);
    return utf8;
}

// The one-line progress note on a terminal: each note replaces the last.
// Where the locale is not UTF-8 or the terminal is dumb, in plain ASCII and
// without escape sequences (the old note is overwritten with spaces).
class Progress {
public:
    Progress(const CliStreams& io, bool quiet) : err_(io.err), on_(io.progress && !quiet) {
        const char* term = std::getenv("TERM");
        plain_ = !utf8Locale() || (term && std::strcmp(term, "dumb") == 0);
    }
    ~Progress() { clear(); }
    void note(std::string text) {
        if (!on_) return;
        if (plain_)
            for (std::size_t at; (at = text.find("\u2026")) != std::string::npos;)
                text.replace(at, std::strlen("\u2026"), "...");
        clear();
        std::fputs(text.c_str(), err_);
        std::fflush(err_);
        shown_ = text.size();
        noteShownOn = fileno(err_);
    }
    // The last note stays on its line.
    void keep() {
        if (shown_) std::fputc('\n', err_);
        forget();
    }
    void clear() {
        if (shown_ && plain_)
            std::fprintf(err_, "\r%s\r", std::string(shown_, ' ').c_str());
        else if (shown_)
            std::fputs("\r\033[K", err_);
        forget();
    }

private:
    void forget() {
        shown_ = 0;
        noteShownOn = -1;
    }
    std::FILE* err_;
    bool on_;
    bool plain_ = false;
    std::size_t shown_ = 0;  // the length of the note showing
};

// Every output of one run carries one stamp: the stamp clock is read once,
// when the records are in, and held until the run ends.
std::time_t heldStamp = 0;
std::time_t heldStampClock() { return heldStamp; }
class HeldStamp {
public:
    HeldStamp() : previous_(setStampClock(&heldStampClock)) { heldStamp = previous_(); }
    ~HeldStamp() { setStampClock(previous_); }
    std::time_t time() const { return heldStamp; }

private:
    StampClock previous_;
};

// What the outputs of one run write: the records in order with their tester
// and stamp, the block (download), and each record's archive entry (history).
struct Listing {
    SaveSource source;
    std::vector<std::uint8_t> block;
    std::time_t downloaded = 0;
    std::vector<ArchivedRecord> archived;  // history only, in the order of source.records
};

class Run {
public:
    Run(const Options& o, const CliStreams& io) : o_(o), io_(io), progress_(io, o.quiet) {}

    int go() {
        switch (o_.command) {
            case Command::History:
                return history();
            case Command::Import:
                return import();
            case Command::Downloads:
                return downloads();
            default:
                return useTester();
        }
    }

private:
    // ---- info and download ----

    int useTester() {
        std::unique_ptr<VirtualTester> tester;
        std::unique_ptr<FtdiDriver> usb;
        if (o_.virtualTester) {
            tester = std::make_unique<VirtualTester>();
            SimOptions sim;
            std::string error;
            if (!parseSimOptions(o_.simArgs, &sim, &error)) return fail(CliUsage, error, true);
            applySimOptions(sim, tester.get());
            if (!o_.fault.empty()) applyVirtualFault(o_.fault, tester.get());
            setDriver(tester.get());
        } else {
            usb = std::make_unique<FtdiDriver>();
            setDriver(usb.get());
        }
        const int code = session();
        setDriver(nullptr);
        return code;
    }

    int session() {
        Listing listing;
        {
            TesterSession session;
            progress_.note("Waiting for the tester\u2026");
            const SessionResult opened = session.open(o_.waitMs);
            if (opened != SessionResult::Done) return noTester(opened);
            if (o_.command == Command::Info) {
                progress_.clear();
                if (const Output* json = o_.output(Kind::Json)) {
                    const QByteArray text = infoJson({instrumentIdText(), instrumentSerialText()});
                    return write(*json, text.toStdString());
                }
                std::fprintf(io_.out, "ID: %s\nSN: %s\n", instrumentIdText().c_str(),
                             instrumentSerialText().c_str());
                return std::fflush(io_.out) == 0 ? CliDone : stdoutFailed("info");
            }
            progress_.note("Downloading\u2026");
            const SessionResult got = session.download();
            listing.block = session.block();
            if (got != SessionResult::Done) {
                // A block that arrived whole but would not decode is still
                // written raw, for a fault report or as the day's evidence.
                if (got == SessionResult::DataError && !listing.block.empty()) {
                    const int code = writeRawOnly(listing.block);
                    if (code != CliDone) return code;
                    if (blockHoldsNoRecords(listing.block.data()))
                        return fail(CliNoRecords, "the tester holds no records");
                }
                return transferFailed(got);
            }
        }  // the tester is closed here, before the files are written
        if (o_.sort == "id") sortByDeviceID();
        if (o_.sort == "date") sortByDateTime();
        HeldStamp stamp;
        listing.source = currentSaveSource();
        listing.downloaded = stamp.time();
        std::string note = plural(listing.source.records.size(), "record", "records");
        // The archive takes the download only once every output is written:
        // an output that fails leaves it as it was, so that the same command
        // gives the same records again.
        std::unique_ptr<Archive> archive;
        if (!o_.archive.empty()) {
            const int code = archiveDownload(&listing, &note, &archive);
            if (code != CliDone) return code;
        }
        const bool nothingNew = archive && o_.newOnly && listing.source.records.empty();
        if (!nothingNew) {
            progress_.note(note);
            progress_.keep();
        }
        int code = nothingNew ? writeRawOnly(listing.block) : writeOutputs(listing);
        if (archive) {
            std::string error;
            if (code != CliDone) {
                archive->rollback();
            } else if (!archive->commit(&error)) {
                return fail(CliArchiveFailed,
                            "archive: " + error +
                                "; the outputs are written, but the archive holds nothing of "
                                "this download: the next run gives these records again");
            }
        }
        if (code == CliDone && nothingNew)
            return fail(CliNoRecords,
                        "no new records: the archive holds every record of this download already");
        return code;
    }

    // Adds the download to the archive in a transaction left open until the
    // outputs are written; with --new-only, keeps only the records it added.
    // On failure only --raw is written.
    int archiveDownload(Listing* listing, std::string* note, std::unique_ptr<Archive>* archive) {
        std::string error;
        *archive = openForWriting(&error);
        std::vector<bool> added;
        long long number = 0;
        const SaveSource& s = listing->source;
        if (!*archive || !(*archive)->begin(&error) ||
            !(*archive)->addDownload({s.instrumentId, s.instrumentSerial}, listing->downloaded,
                                     listing->block, s.records, &added, &error,
                                     RecordForm::Received, &number)) {
            archive->reset();
            return archiveFailed(error, &listing->block);
        }
        *note += ", " + std::to_string(countAdded(added)) + " new (download " +
                 std::to_string(number) + ")";
        // An output that fails from here on says what a rerun gives.
        afterWriteFailure_ =
            "; the archive is left as it was, so the same command gives these records again";
        if (!o_.newOnly) return CliDone;
        std::vector<TestRecord> kept;
        for (std::size_t i = 0; i < added.size(); ++i)
            if (added[i]) kept.push_back(s.records[i]);
        listing->source.records = std::move(kept);
        return CliDone;
    }

    // Opens the archive to write it.  One that this opening made is told
    // even with -q, so that a mistyped name in a nightly job shows in the
    // first night's mail rather than starting a second archive in silence.
    std::unique_ptr<Archive> openForWriting(std::string* error) {
        std::unique_ptr<Archive> archive = Archive::open(o_.archive, error);
        if (archive && archive->madeNew()) {
            progress_.clear();
            std::fprintf(io_.err, "%s: archive: %s held no archive; a new one was made there\n",
                         kProgram, archive->name().c_str());
        }
        return archive;
    }

    // ---- history ----

    int history() {
        std::string error;
        std::unique_ptr<Archive> archive = Archive::open(o_.archive, &error, ArchiveAccess::Read);
        // Every pass reads one snapshot, so the outputs agree with the first
        // pass however the archive grows meanwhile.
        if (!archive || !archive->beginReading(&error)) return archiveFailed(error);
        const HistoryFilter filter{o_.device, o_.tester, o_.since, o_.until, o_.download};
        // PDF and --sort need every record at once; the other outputs are
        // written a record at a time, after a first pass that finds what
        // they need before their first record.
        const bool whole = !o_.sort.empty() || o_.needsPdf();
        const bool jsonOnly = std::all_of(o_.outputs.begin(), o_.outputs.end(),
                                          [](const Output& out) { return out.kind == Kind::Json; });
        if (jsonOnly && !whole) return writeHistory(*archive, filter, SaveSource(), {});
        Listing listing;
        std::set<std::string> testers;
        std::vector<int> widths = listStartWidths();
        unsigned count = 0;
        const bool read = archive->history(
            filter,
            [&](const ArchivedRecord& a) {
                testers.insert(a.tester.serial);
                if (whole) listing.archived.push_back(a);
                widenListColumns(&widths, a.record, count++);
                return true;
            },
            &error, whole);
        if (!read) return archiveFailed(error);
        if (count == 0) return fail(CliNoRecords, kNoMatch);

        // Text, CSV and PDF name one tester in their headers: a serial
        // number, whatever ID texts it had.
        const bool oneTesterOnly = o_.output(Kind::Csv) || o_.output(Kind::Text) ||
                                   o_.output(Kind::Records) || o_.needsPdf();
        if (testers.size() > 1 && oneTesterOnly) {
            std::string names, id;
            for (const std::string& serial : testers) {
                if (!archive->latestTesterId(serial, &id, &error)) return archiveFailed(error);
                names += (names.empty() ? "" : ", ") + serial + " (" + id + ")";
            }
            return fail(CliUsage, "the records come from " +
                                      plural(testers.size(), "tester", "testers") + " (" + names +
                                      "); text, CSV and PDF name one tester: choose it with "
                                      "--tester SERIAL");
        }
        // The headers name the ID text of the tester's latest download.
        listing.source.instrumentSerial = *testers.begin();
        if (!archive->latestTesterId(listing.source.instrumentSerial, &listing.source.instrumentId,
                                     &error))
            return archiveFailed(error);
        HeldStamp stamp;
        listing.downloaded = stamp.time();
        listing.source.stamp = saveStamp();
        if (!whole) return writeHistory(*archive, filter, listing.source, widths);
        progress_.note(plural(count, "record", "records"));
        progress_.keep();
        archive.reset();
        if (!o_.sort.empty()) {
            const auto compare = o_.sort == "id" ? compareByDeviceID : compareByDateTime;
            std::stable_sort(listing.archived.begin(), listing.archived.end(),
                             [compare](const ArchivedRecord& a, const ArchivedRecord& b) {
                                 return compare(a.record, b.record) < 0;
                             });
        }
        for (const ArchivedRecord& r : listing.archived) listing.source.records.push_back(r.record);
        return writeOutputs(listing);
    }

    // history's outputs a record at a time, each from its own pass over the
    // archive: header as the files name it, widths of the list format.  A
    // pass that finds no record writes nothing (the pieces go out only
    // once there is one).
    int writeHistory(Archive& archive, const HistoryFilter& filter, const SaveSource& header,
                     const std::vector<int>& widths) {
        for (const Output& out : o_.outputs) {
            const SavedFormat format = out.kind == Kind::Csv    ? SavedFormat::Csv
                                       : out.kind == Kind::Text ? SavedFormat::List
                                                                : SavedFormat::Records;
            const bool json = out.kind == Kind::Json;
            std::string readFailure;
            unsigned count = 0;
            const PieceProducer produce = [&](const PieceWriter& put) {
                std::string piece;
                if (json)
                    piece = historyJsonOpening();
                else
                    savedFileOpening(piece, format, header, widths);
                unsigned index = 0;
                bool written = true;
                const bool read = archive.history(
                    filter,
                    [&](const ArchivedRecord& a) {
                        if (json)
                            piece += historyJsonRecord(a, static_cast<int>(index + 1));
                        else
                            savedFileRecord(piece, format, a.record, index, widths);
                        ++index;
                        if (piece.size() >= 65536) {
                            written = put(piece);
                            piece.clear();
                        }
                        return written;
                    },
                    &readFailure);
                count = index;
                if (!read || !written || index == 0) return false;
                if (json)
                    piece += historyJsonClosing(index > 0);
                else
                    savedFileClosing(piece, format);
                return put(piece);
            };
            std::string why;
            const bool ok = putPieces(out, produce, &why);
            if (!readFailure.empty()) return archiveFailed(readFailure);
            if (count == 0) return fail(CliNoRecords, kNoMatch);
            if (!ok) return fail(CliWriteFailed, why);
            if (&out == &o_.outputs.front()) {
                progress_.note(plural(count, "record", "records"));
                progress_.keep();
            }
        }
        return CliDone;
    }

    // ---- import ----

    int import() {
        std::vector<std::uint8_t> identity;
        if (!o_.identityFile.empty()) {
            std::string text;
            if (!readWhole(o_.identityFile, &text))
                return fail(CliUsage, "--identity: cannot read \"" + o_.identityFile +
                                          "\": " + std::strerror(errno));
            identity.assign(text.begin(), text.end());
            // Checked before anything else, whether a raw block needs it or not.
            TesterIdentity tester;
            std::string wrong;
            if (!parseIdentityReply(identity.data(), identity.size(), &tester, &wrong))
                return fail(CliUsage, "--identity: \"" + o_.identityFile +
                                          "\" is not a tester's identity reply: " + wrong);
            if (tester.serial.empty())
                return fail(CliUsage, "--identity: \"" + o_.identityFile +
                                          "\" names no serial number");
        }
        // Every file is read and checked before anything is added, so a
        // wrong file leaves the archive as it was.  A whole SQLite archive is
        // read when it is added.
        const std::size_t count = o_.importFiles.size();
        std::vector<ImportedFile> files(count);
        std::vector<bool> isArchive(count, false);
        std::vector<std::time_t> times(count);
        for (std::size_t i = 0; i < count; ++i) {
            const std::string& name = o_.importFiles[i];
            std::string text, why;
            struct stat st;
            if (!readWhole(name, &text) || ::stat(name.c_str(), &st) != 0)
                return fail(CliUsage,
                            "import: cannot read \"" + name + "\": " + std::strerror(errno));
            if ((isArchive[i] = Archive::isSqliteFile(text))) continue;
            if (!readSavedFile(text, identity.empty() ? nullptr : &identity, &files[i], &why))
                return fail(CliUsage, "import: \"" + name + "\": " + why);
            times[i] = stampTime(files[i].stamp, st.st_mtime);
        }
        // All files in one transaction: the archive takes them all or none,
        // and the lines are printed once it has.
        std::string error;
        std::unique_ptr<Archive> archive = openForWriting(&error);
        if (!archive || !archive->begin(&error)) return archiveFailed(error);
        std::string lines;
        for (std::size_t i = 0; i < count; ++i) {
            const std::string& name = o_.importFiles[i];
            if (isArchive[i]) {
                std::unique_ptr<Archive> source = Archive::open(name, &error, ArchiveAccess::Read);
                ArchiveImport got;
                if (!source) {
                    archive->rollback();
                    return archiveFailed(error);
                }
                if (!archive->addArchive(*source, &got, &error)) return archiveFailed(error);
                lines += name + ": " + plural(got.downloads, "download", "downloads") + ", " +
                         std::to_string(got.downloadsAdded) + " new; " +
                         plural(got.records, "record", "records") + ", " +
                         std::to_string(got.recordsAdded) + " new\n";
                continue;
            }
            std::vector<bool> added;
            const ImportedFile& f = files[i];
            if (!archive->addDownload(f.tester, times[i], f.block, f.records, &added, &error,
                                      f.form))
                return archiveFailed(error);
            lines += name + ": " + plural(f.records.size(), "record", "records") + ", " +
                     std::to_string(countAdded(added)) + " new\n";
        }
        if (!archive->commit(&error)) return archiveFailed(error);
        return printAll(io_.out, lines) ? CliDone : stdoutFailed("import");
    }

    // ---- downloads ----

    int downloads() {
        std::string error;
        std::unique_ptr<Archive> archive = Archive::open(o_.archive, &error, ArchiveAccess::Read);
        std::vector<ArchiveDownload> list;
        if (!archive || !archive->downloads(&list, &error)) return archiveFailed(error);
        archive.reset();
        for (const Output& out : o_.outputs) {
            std::string contents;
            if (out.kind == Kind::Json) {
                const QByteArray json = downloadsJson(list);
                contents.assign(json.constData(), static_cast<std::size_t>(json.size()));
            } else {
                contents = out.kind == Kind::Csv ? downloadsCsv(list) : downloadsText(list);
            }
            const int code = write(out, contents);
            if (code != CliDone) return code;
        }
        return CliDone;
    }

    static bool readWhole(const std::string& name, std::string* text) {
        std::FILE* f = std::fopen(name.c_str(), "rb");
        if (!f) return false;
        char buffer[65536];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;)
            text->append(buffer, n);
        const bool ok = !std::ferror(f);
        const int err = errno;
        std::fclose(f);
        errno = err;
        return ok;
    }

    // ---- the outputs ----

    int writeOutputs(const Listing& listing) {
        const SaveSource& source = listing.source;
        for (const Output& out : o_.outputs) {
            std::string contents;
            bool made = true;
            switch (out.kind) {
                case Kind::Raw:
                    contents.assign(listing.block.begin(), listing.block.end());
                    break;
                case Kind::Csv:
                    made = csvFileText(source, AllRecords, &contents);
                    break;
                case Kind::Text:
                    made = textFileText(source, AllRecords, false, &contents);
                    break;
                case Kind::Records:
                    made = textFileText(source, AllRecords, true, &contents);
                    break;
                case Kind::Json: {
                    const QByteArray json = o_.command == Command::History
                                                ? historyJson(listing.archived)
                                                : recordsJson(source, listing.downloaded);
                    contents.assign(json.constData(), static_cast<std::size_t>(json.size()));
                    break;
                }
                case Kind::Pdf:
                case Kind::PdfRecords: {
                    ReportJob job;
                    job.records = source.records;
                    job.range = PrintAll;
                    job.format = out.kind == Kind::Pdf ? PrintListFormat : PrintRecordFormat;
                    job.instrumentId = source.instrumentId;
                    job.instrumentSerial = source.instrumentSerial;
                    QByteArray pdf;
                    made = reportPdf(job, o_.paper, &pdf);
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

    // Standard output for "-"; anything else through the careful saver,
    // which writes pipes and devices plainly and files whole or not at all.
    int write(const Output& out, const std::string& contents) {
        std::string why;
        return put(out, contents, &why) ? CliDone : fail(CliWriteFailed, why);
    }

    // Writes one output made a piece at a time; false with the line that
    // says why.
    bool putPieces(const Output& out, const PieceProducer& produce, std::string* why) {
        if (out.toStdout() || out.descriptor() >= 0) {
            if (produce([&](const std::string& piece) { return putThrough(out, piece); }))
                return true;
            *why = out.option + ": cannot write to " +
                   (out.toStdout() ? std::string("standard output") : "\"" + out.file + "\"") +
                   ": " + std::strerror(errno);
            std::clearerr(io_.out);
            return false;
        }
        std::string reason;
        if (saveStreamedFile(out.file, produce, &reason, kSaveStreamsToo) == kWriteDone)
            return true;
        *why = out.option + ": cannot write \"" + out.file + "\": " + reason;
        return false;
    }

    // Writes one output; false with the line that says why.
    bool put(const Output& out, const std::string& contents, std::string* why) {
        if (out.toStdout() || out.descriptor() >= 0)
            return putPieces(out, [&](const PieceWriter& piece) { return piece(contents); }, why);
        std::string reason;
        if (saveWholeFile(out.file, contents, &reason, kSaveStreamsToo) == kWriteDone) return true;
        *why = out.option + ": cannot write \"" + out.file + "\": " + reason;
        return false;
    }

    // Writes through standard output or the descriptor the name stands
    // for, as it was opened: nothing is truncated, renamed or replaced.
    bool putThrough(const Output& out, const std::string& piece) {
        const int fd = out.toStdout() ? fileno(io_.out) : out.descriptor();
        if (fd == fileno(io_.out)) return printAll(io_.out, piece);
        if (fd == fileno(io_.err)) return printAll(io_.err, piece);
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

    int writeRawOnly(const std::vector<std::uint8_t>& block) {
        const Output* raw = o_.output(Kind::Raw);
        return raw ? write(*raw, std::string(block.begin(), block.end())) : CliDone;
    }

    // ---- failures ----

    int stdoutFailed(const std::string& what) {
        const std::string reason = std::strerror(errno);
        std::clearerr(io_.out);
        return fail(CliWriteFailed, what + ": cannot write to standard output: " + reason);
    }

    // The archive's own line names it (a password in a URI masked).  With
    // a block, --raw is still written; when that fails too, both failures
    // are told, and the exit code is the archive's, which came first.
    int archiveFailed(const std::string& cause, const std::vector<std::uint8_t>* block = nullptr) {
        const Output* raw = block ? o_.output(Kind::Raw) : nullptr;
        std::string rawFailure;
        const bool kept = raw && put(*raw, std::string(block->begin(), block->end()), &rawFailure);
        fail(CliArchiveFailed,
             "archive: " + cause +
                 (kept ? "; the block is kept in \"" + raw->file + "\"" : std::string()));
        if (!rawFailure.empty()) fail(CliWriteFailed, rawFailure);
        return CliArchiveFailed;
    }

    int noTester(SessionResult result) {
        if (result == SessionResult::NoIdentity)
            return fail(CliTransferFailed,
                        "the tester did not answer the identity request; switch it off and on, "
                        "plug it in again and retry");
        switch (driver()->lastOpenProblem()) {
            case DriverOpenProblem::NoPermission:
                return fail(CliNoTester,
                            std::string("the tester was found but may not be opened by this user; "
                                        "install the udev rule ") +
                                kUdevRule +
                                " (package lumkest) or join the group plugdev "
                                "(sudo adduser $USER plugdev, then log in again), and plug the "
                                "tester in again");
            case DriverOpenProblem::Busy:
                return fail(CliNoTester,
                            "the tester is in use by another program (the LUM Kest window?); "
                            "close it and retry");
            default:
                if (o_.waitGiven && o_.waitMs > 0)
                    return fail(CliNoTester, "no tester found within " +
                                                 plural(o_.waitMs / 1000, "second", "seconds") +
                                                 "; plug it in and switch it on");
                return fail(CliNoTester,
                            "no tester found; plug it in and switch it on, or give --wait SECONDS");
        }
    }

    int transferFailed(SessionResult result) {
        switch (result) {
            case SessionResult::CommandFailed:
                return fail(CliTransferFailed,
                            "the download request could not be sent to the tester; plug it in "
                            "again and retry");
            case SessionResult::NoAnswer:
                return fail(CliTransferFailed,
                            "the tester did not answer the download request within 3 seconds; "
                            "retry");
            case SessionResult::TransferTimeout:
                return fail(CliTransferFailed,
                            "a timeout occurred while transferring the data (the block "
                            "arrived incomplete); retry");
            case SessionResult::DataError: {
                const Output* raw = o_.output(Kind::Raw);
                return fail(
                    CliTransferFailed,
                    "the transferred data could not be decoded (no records in it); "
                    "download again" +
                        (raw ? "; the block is kept in \"" + raw->file + "\" for a fault report"
                             : std::string(", and keep it with --raw FILE for a fault "
                                           "report")));
            }
            case SessionResult::Unplugged:
                return fail(CliTransferFailed,
                            "the tester was unplugged during the download; plug it in and retry");
            default:
                return fail(CliTransferFailed, "the download failed; retry");
        }
    }

    int fail(int code, const std::string& what, bool usage = false) {
        progress_.clear();
        const std::string& more = code == CliWriteFailed ? afterWriteFailure_ : std::string();
        std::fprintf(io_.err, "%s: %s%s\n", kProgram, what.c_str(), more.c_str());
        if (usage) std::fprintf(io_.err, "%s\n", kUsage);
        return code;
    }

    const Options& o_;
    const CliStreams& io_;
    Progress progress_;
    std::string afterWriteFailure_;  // what the line of a failed output adds
};

// Qt's own notes (such as "XDG_RUNTIME_DIR not set" under cron) are no
// messages of this program, whose standard error carries one line per error.
void onlyQtErrors(QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
}

}  // namespace

int runCli(int& argc, char** argv, const CliStreams& io) {
    Options o;
    std::string error;
    if (!parseOptions(argc, argv, &o, &error) ||
        (!o.help && !o.version && !checkTargets(o, io.out, &error))) {
        std::fprintf(io.err, "%s: %s\n%s\n", kProgram, error.c_str(), kUsage);
        return CliUsage;
    }
    if (o.help || o.version) {
        const std::string text =
            o.help ? helpText(o.helpCommand) : std::string(kProgram) + " " + LUMKEST_VERSION + "\n";
        if (printAll(io.out, text)) return CliDone;
        std::fprintf(io.err, "%s: cannot write to standard output: %s\n", kProgram,
                     std::strerror(errno));
        return CliWriteFailed;
    }

    // PDF needs a QGuiApplication, which needs no display on the offscreen
    // platform; everything else makes do with the lighter core application
    // (which also loads the archive's database drivers).  This program never
    // shows a window, so the platform is offscreen whatever the environment
    // says: a desktop's QT_QPA_PLATFORM, passed on to an ssh login or a timer
    // with no display, would abort it.
    // Qt is given the program's name only: an output named "-platform"
    // or "-style" is a file name, never one of Qt's own options.
    const QtMessageHandler previousHandler = qInstallMessageHandler(&onlyQtErrors);
    std::unique_ptr<QCoreApplication> app;
    int qtArgc = 1;
    char* qtArgv[] = {argc > 0 ? argv[0] : const_cast<char*>(kProgram), nullptr};
    if (!QCoreApplication::instance()) {
        if (o.needsPdf()) {
            qputenv("QT_QPA_PLATFORM", "offscreen");
            app = std::make_unique<QGuiApplication>(qtArgc, qtArgv);
        } else {
            app = std::make_unique<QCoreApplication>(qtArgc, qtArgv);
        }
    }
    using Handler = void (*)(int);
    const int endings[] = {SIGINT, SIGTERM, SIGHUP};
    Handler previous[3] = {};
    if (io.progress)
        for (int i = 0; i < 3; ++i) previous[i] = std::signal(endings[i], &endNoteAndDie);
    const int code = Run(o, io).go();
    if (io.progress)
        for (int i = 0; i < 3; ++i) std::signal(endings[i], previous[i]);
    app.reset();
    qInstallMessageHandler(previousHandler);
    return code;
}
