// libFuzzer target: arbitrary bytes from the tester through the receive path
// (commandPass / receiveFromInstrument) into the decoding and the store.
//
// The first input byte picks how the rest is presented:
//   bit 0     dataSaved before the bytes arrive (clear: "New Data" is asked)
//   bit 1     the rest is the body of a 'B' block, zero-padded to 8194 bytes
//   bits 2-3  delivery: at once / 2 bytes then the rest 300 ms later /
//             1 byte then the rest 50 ms later / the rest after 3.5 s
//   bit 4     "New Data" is answered Yes: the save dialog is opened and
//             closed again a few polls later, as the user interface does
//   bit 5     the tester is pulled out after (input size % 12) passes, the
//             monitor notices it, and it is plugged in again for the next run
//   bit 6     a Download is requested as well
//   bit 7     the tester sends its own announcement ("RD\r") first
//
// The seeds (tests/device/fuzz_seeds.cpp) are the virtual tester's own
// blocks and announcements in these modes.

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

// A fake clock that also plays the user interface's part in the save
// handshake: while the command thread polls savePending, the third poll
// picks up the request (the clock timer) and the dialog is closed at once.
class FuzzClock : public Clock {
public:
    void sleep(unsigned ms) override {
        now_ += ms;
        if (ms == 100 && savePending.load() == 1 && ++polls_ >= 3) {
            polls_ = 0;
            saveDialogRequested = 0;
            savePending = 0;
        }
    }
    std::uint64_t now() override { return now_; }
    void advance(unsigned ms) { now_ += ms; }

private:
    std::uint64_t now_ = 1000000;  // one thread only: no atomics needed
    int polls_ = 0;
};

struct Link {
    FuzzClock clock;
    VirtualTester tester;
    bool answerYes = false;

    Link() {
        setClock(&clock);
        setDriver(&tester);
        setLinkView(nullptr);
        setMessageHandler([this](const MessageRequest& r) {
            if (r.buttons != MsgButtons::YesNo) return MsgAnswer::Ok;
            return answerYes ? MsgAnswer::Yes : MsgAnswer::No;
        });
        setCommandThreadManualForTest(true);
        tester.setRecords(VirtualTester::defaultRecords());
    }

    void connect() {
        if (!tester.pluggedIn()) tester.plugIn();
        if (deviceHandle.load() != 0) return;
        monitorCycle();
    }

    // Drops everything still queued, delivered or not.
    void flush() {
        clock.advance(10000);
        if (DeviceHandle h = deviceHandle.load()) tester.purge(h, kPurgeRx);
        tester.clearCommands();  // keeps memory flat over millions of runs
    }
};

void checkStore() {
    const unsigned n = recordCount.load();
    if (n > kMaxRecords || n > recordStore().capacity() || savePending.load() != 0)
        __builtin_trap();
}

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
    link->answerYes = (mode & 0x10) != 0;
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

    if (mode & 0x80) link->tester.sendAnnouncement(size % 2 == 1, 1 + size % 128);
    if (!stream.empty()) {
        static const unsigned kHead[] = {0, 2, 1, 2};
        static const unsigned kDelay[] = {0, 300, 50, 3500};
        const unsigned split = (mode >> 2) & 3;
        const std::size_t head =
            split == 0 ? stream.size() : std::min<std::size_t>(kHead[split], stream.size());
        link->tester.sendRaw(std::vector<std::uint8_t>(stream.begin(), stream.begin() + head));
        if (head < stream.size())
            link->tester.sendRaw(std::vector<std::uint8_t>(stream.begin() + head, stream.end()),
                                 kDelay[split]);
    }
    if (mode & 0x40) requestDownload();

    const int unplugAt = (mode & 0x20) ? static_cast<int>(size % 12) : -1;
    for (int pass = 0; pass < 12; ++pass) {
        if (pass == unplugAt) link->tester.unplug();
        if (commandPass() != 0) break;
        checkStore();
    }
    if (unplugAt >= 0) {
        monitorCycle();  // notices the removal and closes the tester
        if (deviceHandle.load() != 0) __builtin_trap();
        link->tester.plugIn();
    }
    link->flush();
    return 0;
}
