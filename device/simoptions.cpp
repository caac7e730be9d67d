#include "device/simoptions.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "device/decode.h"
#include "device/virtualtester.h"
#include "save/readback.h"
#include "save/recordsjson.h"

namespace {

// Reads at most limit + 1 bytes of a file, so that a huge file (or a
// device that never ends) is refused without being loaded.
bool readBounded(const std::string& option, const std::string& path, std::size_t limit,
                 std::string* out, std::string* error) {
    const std::string prefix = option + ": cannot read \"" + path + "\": ";
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        *error = prefix + "it is a directory";
        return false;
    }
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) {
        *error = prefix + (errno != 0 ? std::strerror(errno) : "cannot open it");
        return false;
    }
    out->assign(limit + 1, '\0');
    in.read(out->data(), static_cast<std::streamsize>(out->size()));
    if (in.bad()) {
        *error = prefix + "read error";
        return false;
    }
    out->resize(static_cast<std::size_t>(in.gcount()));
    return true;
}

// Reads a file that must hold exactly `size` bytes.
bool readExactFile(const std::string& option, const std::string& path, std::size_t size,
                   const char* what, std::vector<std::uint8_t>* out, std::string* error) {
    std::string bytes;
    if (!readBounded(option, path, size, &bytes, error)) return false;
    const std::size_t got = bytes.size();
    if (got != size) {
        *error = option + ": \"" + path + "\" " +
                 (got > size ? std::string("is larger than ") + std::to_string(size) + " bytes"
                             : "is " + std::to_string(got) + " bytes") +
                 "; " + what + " is exactly " + std::to_string(size) + " bytes";
        return false;
    }
    out->assign(bytes.begin(), bytes.end());
    return true;
}

// The largest file --from reads: a history JSON of 123 records with their
// verdicts is some 300 KiB; any file LUM Kest writes of 123 records is less.
constexpr std::size_t kLargestFrom = 4u << 20;

// A record's texts and its unit's name: what a record is, wherever it is
// kept.
std::vector<std::string> textsOf(const TestRecord& r) {
    return {FIELD_TEXT(r, deviceID),        FIELD_TEXT(r, testDate),     FIELD_TEXT(r, testTime),
            FIELD_TEXT(r, testDuration),    FIELD_TEXT(r, flow),         FIELD_TEXT(r, volume),
            FIELD_TEXT(r, pressureMMHG),    FIELD_TEXT(r, pressureUser), unitName(r.pressureUnits),
            FIELD_TEXT(r, peakPressureTime)};
}

// How many testers a file's records name.
enum class FileTesters { None, One, Several };

// The records of a file LUM Kest wrote, as the block the tester sends them
// in, and the tester the file names.
bool readFromFile(const std::string& path, std::vector<std::uint8_t>* block, TesterIdentity* tester,
                  FileTesters* testers, std::string* error) {
    std::string bytes;
    if (!readBounded("--from", path, kLargestFrom, &bytes, error)) return false;
    const std::string prefix = "--from: \"" + path + "\" ";
    if (bytes.size() > kLargestFrom) {
        *error = prefix + "is larger than any file of a tester's records";
        return false;
    }
    if (bytes.size() == kDataBlockSize && static_cast<std::uint8_t>(bytes[0]) == kDataBlockMarker) {
        *error = prefix + "is a raw block: give it with --block";
        return false;
    }
    SavedFileContents file;
    std::string why;
    const std::size_t first = bytes.find_first_not_of(" \t\r\n");
    const bool json = first != std::string::npos && bytes[first] == '{';
    if (!(json ? readRecordsJson(bytes, &file, &why)
               : readSavedFile(bytes, nullptr, &file, &why))) {
        *error = prefix + "cannot be read: " + why;
        return false;
    }
    if (file.records.size() > kMaxRecords) {
        *error = prefix + "holds " + std::to_string(file.records.size()) +
                 " records; a tester holds " + std::to_string(kMaxRecords) + " at most";
        return false;
    }
    // The tester sends its records in 64-byte slots: each must come back
    // from the block as it was read, or the tester would hold another one.
    *block = VirtualTester::buildAllRecordsBlock(file.records);
    std::vector<TestRecord> back;
    std::size_t capacity = 0;
    if (!file.records.empty()) decodeRecords(block->data(), &back, &capacity);
    for (std::size_t i = 0; i < file.records.size(); ++i) {
        if (i < back.size() && textsOf(file.records[i]) == textsOf(back[i])) continue;
        *error = prefix + "holds a record (its " + std::to_string(i + 1) +
                 ". one) that a tester cannot hold: no device ID, or a text longer than the "
                 "tester keeps";
        return false;
    }
    *tester = file.tester;
    // Only a history's JSON names no one tester: none when it holds no
    // records, several when they came from more than one.
    const bool named = !file.tester.serial.empty() || !file.tester.id.empty();
    *testers = file.kind != SavedFileKind::Json || named ? FileTesters::One
               : file.records.empty()                    ? FileTesters::None
                                                         : FileTesters::Several;
    return true;
}

}  // namespace

bool parseSimOptions(const std::vector<std::string>& args, SimOptions* opts, std::string* error) {
    *opts = SimOptions{};
    error->clear();
    std::vector<std::uint8_t> fromBlock;
    TesterIdentity fromTester;
    FileTesters fromTesters = FileTesters::None;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.rfind("--", 0) != 0) {
            if (arg == "-h") {
                opts->help = true;
                continue;
            }
            opts->qtArgs.push_back(arg);  // Qt's own options and their values
            continue;
        }
        std::string name = arg;
        std::string value;
        bool hasValue = false;
        const std::size_t eq = arg.find('=');
        if (eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            hasValue = true;
        }
        if (name == "--block" || name == "--identity" || name == "--from") {
            if (!hasValue) {
                if (i + 1 >= args.size()) {
                    *error = name + " needs a file name";
                    return false;
                }
                value = args[++i];
            }
            if (value.empty()) {
                *error = name + " needs a file name";
                return false;
            }
            const bool block = name == "--block";
            if (name == "--from") {
                opts->fromFile = value;
                if (!readFromFile(value, &fromBlock, &fromTester, &fromTesters, error))
                    return false;
            } else if (block) {
                opts->blockFile = value;
                if (!readExactFile(name, value, kDataBlockSize, "a data block", &opts->block, error))
                    return false;
            } else {
                opts->identityFile = value;
                if (!readExactFile(name, value, kIdentityReplySize, "an identity reply",
                                   &opts->identity, error))
                    return false;
            }
            continue;
        }
        if (hasValue && (name == "--unplugged" || name == "--no-tester-window" || name == "--help")) {
            *error = name + " takes no value";
            return false;
        }
        if (name == "--unplugged") {
            opts->unplugged = true;
        } else if (name == "--no-tester-window") {
            opts->testerWindow = false;
        } else if (name == "--help") {
            opts->help = true;
        } else {
            *error = "unknown option " + name;
            return false;
        }
    }
    if (!opts->fromFile.empty()) {
        if (!opts->blockFile.empty()) {
            *error = "--from and --block both give what the tester holds; give one of them";
            return false;
        }
        // Held as a block, as --block's is: the Virtual Tester window offers it
        // as the file's, and the tester sends its slots as the file has them.
        opts->blockFile = opts->fromFile;
        opts->block = std::move(fromBlock);
        if (opts->identityFile.empty() && fromTesters != FileTesters::None) {
            if (fromTesters == FileTesters::Several) {
                *error = "--from: \"" + opts->fromFile +
                         "\" holds records of several testers; give the one to answer with "
                         "--identity FILE";
                return false;
            }
            opts->identity = VirtualTester::buildIdentityReply(fromTester.serial, fromTester.id);
        }
    }
    return true;
}

void applySimOptions(const SimOptions& opts, VirtualTester* tester) {
    if (!opts.block.empty()) tester->setBlockOverride(opts.block);
    if (!opts.identity.empty()) tester->setIdentityReply(opts.identity);
    if (opts.unplugged) tester->unplug();
}

namespace {

// Where a short block stops.
constexpr std::size_t kShortBlockBytes = 4000;

const struct {
    const char* name;
    VirtualFault fault;
} kFaultNames[] = {
    {"silent", VirtualFault::Silent}, {"no-answer", VirtualFault::NoAnswer},
    {"short", VirtualFault::Short},   {"empty", VirtualFault::Empty},
    {"busy", VirtualFault::Busy},
};

}  // namespace

bool parseVirtualFault(const std::string& kind, VirtualFault* fault) {
    for (const auto& f : kFaultNames) {
        if (kind != f.name) continue;
        *fault = f.fault;
        return true;
    }
    return false;
}

void applyVirtualFault(VirtualFault fault, VirtualTester* tester) {
    switch (fault) {
        case VirtualFault::Silent:
            tester->setSilent(true);
            break;
        case VirtualFault::NoAnswer:
            tester->setDownloadIgnored(true);
            break;
        case VirtualFault::Short: {
            std::vector<std::uint8_t> block =
                VirtualTester::buildAllRecordsBlock(tester->records());
            block.resize(kShortBlockBytes);
            tester->setBlockOverride(block);
            break;
        }
        case VirtualFault::Empty:
            tester->setBlockOverride(VirtualTester::buildAllRecordsBlock({}));
            break;
        case VirtualFault::Busy:
            tester->setHeldElsewhere(true);
            break;
    }
}

bool applyVirtualFault(const std::string& kind, VirtualTester* tester) {
    VirtualFault fault{};
    if (!parseVirtualFault(kind, &fault)) return false;
    applyVirtualFault(fault, tester);
    return true;
}

std::string simUsage(const std::string& program) {
    return "Usage: " + program +
           " [--block FILE | --from FILE] [--identity FILE] [--unplugged]\n"
           "       [--no-tester-window]\n"
           "LUM Kest with a virtual tester in place of the USB link.\n"
           "  --block FILE        8194-byte data block, as on the wire, sent for a download\n"
           "                      and for Send All Records\n"
           "  --from FILE         the records of a CSV export, a text file or a records JSON\n"
           "                      of lumkest-cli (at most 123), held as that block; the\n"
           "                      file's tester answers unless --identity is given\n"
           "  --identity FILE     33-byte reply to the identity command\n"
           "  --unplugged         start with the tester unplugged\n"
           "  --no-tester-window  do not show the Virtual Tester window\n"
           "  --help              show this text\n";
}
