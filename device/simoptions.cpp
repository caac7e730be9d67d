#include "device/simoptions.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "device/decode.h"
#include "device/virtualtester.h"

namespace {

// Reads a file that must hold exactly `size` bytes.  At most size + 1 bytes
// are read, so a huge file is refused without being loaded.
bool readExactFile(const std::string& option, const std::string& path, std::size_t size,
                   const char* what, std::vector<std::uint8_t>* out, std::string* error) {
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
    std::vector<std::uint8_t> bytes(size + 1);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (in.bad()) {
        *error = prefix + "read error";
        return false;
    }
    const auto got = static_cast<std::size_t>(in.gcount());
    if (got != size) {
        *error = option + ": \"" + path + "\" " +
                 (got > size ? std::string("is larger than ") + std::to_string(size) + " bytes"
                             : "is " + std::to_string(got) + " bytes") +
                 "; " + what + " is exactly " + std::to_string(size) + " bytes";
        return false;
    }
    bytes.resize(size);
    *out = std::move(bytes);
    return true;
}

}  // namespace

bool parseSimOptions(const std::vector<std::string>& args, SimOptions* opts, std::string* error) {
    *opts = SimOptions{};
    error->clear();
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
        if (name == "--block" || name == "--identity") {
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
            if (block) {
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
           " [--block FILE] [--identity FILE] [--unplugged] [--no-tester-window]\n"
           "LUM Kest with a virtual tester in place of the USB link.\n"
           "  --block FILE        8194-byte data block, as on the wire, sent for a download\n"
           "                      and for Send All Records\n"
           "  --identity FILE     33-byte reply to the identity command\n"
           "  --unplugged         start with the tester unplugged\n"
           "  --no-tester-window  do not show the Virtual Tester window\n"
           "  --help              show this text\n";
}
