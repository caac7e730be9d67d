// libFuzzer target: arbitrary bytes from the tester through the receive path
// (commandPass / receiveFromInstrument) into the decoding and the store.
//
// The first input byte picks how the rest is presented:
//   bit 0     dataSaved before the bytes arrive (clear: "New Data" is asked)
//   bit 1     the rest is the body of a 'B' block, zero-padded to 8194 bytes
//   bits 2-3  delivery: at once / 2 bytes then the rest 300 ms later /
//             1 byte then the rest 50 ms later / the rest after 3.5 s
//   bit 6     a Download is requested as well

#include <cstddef>
#include <cstdint>
#include <vector>

#include "app/messages.h"
#include "device/clock.h"
#include "device/decode.h"
#include "device/linkview.h"
#include "device/monitor.h"
#include "device/usbcomm.h"
#include "device/virtualtester.h"
#include "records/recordstore.h"

namespace {

struct Link {
    FakeClock clock;
    VirtualTester tester;

    Link() {
        setClock(&clock);
        setDriver(&tester);
        setLinkView(nullptr);
        setMessageHandler([](const MessageRequest& r) {
            return r.buttons == MsgButtons::YesNo ? MsgAnswer::No : MsgAnswer::Ok;
        });
        setCommandThreadManualForTest(true);
        tester.setRecords(VirtualTester::defaultRecords());
    }

    void connect() {
        if (deviceHandle.load() != 0) return;
        commandStop = 0;
        monitorCycle();
    }

    // Drops everything still queued, delivered or not.
    void flush() {
        clock.advance(10000);
        if (DeviceHandle h = deviceHandle.load()) tester.purge(h, kPurgeRx);
        tester.clearCommands();  // keeps memory flat over millions of runs
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Link* link = new Link;
    if (size < 1) return 0;
    const std::uint8_t mode = data[0];
    ++data;
    --size;

    link->connect();
    if (deviceHandle.load() == 0) return 0;
    dataSaved = mode & 1;
    LinkState = LinkIdle;

    std::vector<std::uint8_t> stream;
    if (mode & 2) {
        stream.assign(kDataBlockSize, 0);
        stream[0] = 'B';
        for (std::size_t i = 0; i < size && i + 1 < kDataBlockSize; ++i) stream[i + 1] = data[i];
        // Decoding on its own, on the same block.
        std::vector<TestRecord> records;
        std::size_t capacity = 0;
        if (decodeRecords(stream.data(), &records, &capacity)) {
            if (records.empty() || records.size() > kMaxRecords ||
                (stream[1] != 0 && (records.size() != 1 || capacity != 1)) ||
                (stream[1] == 0 && capacity < records.size()))
                __builtin_trap();
        }
    } else {
        stream.assign(data, data + size);
    }

    if (!stream.empty()) {
        static const unsigned kHead[] = {0, 2, 1, 2};
        static const unsigned kDelay[] = {0, 300, 50, 3500};
        const unsigned split = (mode >> 2) & 3;
        const std::size_t head = split == 0 ? stream.size() : std::min<std::size_t>(kHead[split], stream.size());
        link->tester.sendRaw(std::vector<std::uint8_t>(stream.begin(), stream.begin() + head));
        if (head < stream.size())
            link->tester.sendRaw(std::vector<std::uint8_t>(stream.begin() + head, stream.end()),
                                 kDelay[split]);
    }
    if (mode & 0x40) requestDownload();

    for (int pass = 0; pass < 12; ++pass) {
        commandPass();
        if (recordCount.load() > kMaxRecords) __builtin_trap();
    }
    link->flush();
    return 0;
}
