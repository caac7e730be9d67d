// Writes the seeds of the fuzz campaign into a folder: the virtual tester's
// own blocks, announcements and identity, each behind the mode byte that
// fuzz_receive.cpp reads (delivery, "New Data" answer, unplugging, ...).
//   device_fuzz_seeds DIR

#include <cstdio>
#include <string>
#include <vector>

#include "device/virtualtester.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

bool writeSeed(const std::string& dir, const std::string& name, std::uint8_t mode,
               const Bytes& body) {
    const std::string path = dir + "/seed-" + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(&mode, 1, 1, f) == 1 &&
              (body.empty() || std::fwrite(body.data(), 1, body.size(), f) == body.size());
    return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argc > 0 ? argv[0] : "device_fuzz_seeds");
        return 2;
    }
    const std::string dir = argv[1];
    const std::vector<TestRecord> records = VirtualTester::defaultRecords();
    const Bytes all = VirtualTester::buildAllRecordsBlock(records);
    const Bytes few = VirtualTester::buildAllRecordsBlock({records[0], records[1], records[2]});
    const Bytes single = VirtualTester::buildSingleRecordBlock(records[6], 7);
    const Bytes body(all.begin() + 1, all.end());  // for the block-body mode
    const Bytes announcement = {'R', 'D', '\r'};
    const Bytes identity = VirtualTester::buildIdentityReply("KS0401123", "Dosimark Kest Bay 2");
    const Bytes none, oneByte = {0};

    struct Seed {
        const char* name;
        std::uint8_t mode;
        const Bytes& body;
    };
    const Seed seeds[] = {
        {"all-at-once", 0x01, all},       {"all-pieces", 0x05, all},
        {"all-byte-then-rest", 0x09, all}, {"all-too-slow", 0x0D, all},
        {"all-new-data-no", 0x00, all},   {"all-new-data-yes", 0x10, all},
        {"all-unplugged", 0x21, all},     {"three-records", 0x01, few},
        {"single-7", 0x01, single},       {"single-7-yes", 0x10, single},
        {"block-body", 0x03, body},       {"announcement", 0x01, announcement},
        {"announcement-split", 0x05, announcement},
        {"tester-announces", 0x81, none}, {"tester-announces-single", 0x81, oneByte},
        {"download", 0x41, none},         {"download-pieces-yes", 0x54, none},
        {"identity", 0x01, identity},
    };
    for (const Seed& s : seeds) {
        if (!writeSeed(dir, s.name, s.mode, s.body)) {
            std::fprintf(stderr, "cannot write %s/seed-%s\n", dir.c_str(), s.name);
            return 1;
        }
    }
    return 0;
}
