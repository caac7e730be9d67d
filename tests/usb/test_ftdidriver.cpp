// FtdiDriver through libftdi1, libusb and usbdevfs, against an FTDI chip
// emulated in umockdev's testbed with the virtual tester behind it.  Runs
// with LD_PRELOAD=libumockdev-preload.so.0 (set by CTest).

#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <functional>
#include <sstream>
#include <thread>
#include <utility>

#include "app/debuglog.h"
#include "device/decode.h"
#include "device/ftdidriver.h"
#include "files.h"
#include "ftdichip.h"
#include "linktest.h"
#include "messagecheck.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Records as the saved record format shows them, for whole comparisons.
std::vector<std::array<std::string, 9>> shown(const std::vector<TestRecord>& records) {
    std::vector<std::array<std::string, 9>> out;
    for (std::size_t i = 0; i < records.size(); ++i)
        out.push_back(recordBlockLines(records[i], static_cast<unsigned>(i)));
    return out;
}

// Without the preload, libusb would look at the machine's real bus.
void requirePreload() {
    const char* preload = std::getenv("LD_PRELOAD");
    ASSERT_TRUE(preload && std::strstr(preload, "libumockdev-preload"))
        << "run with LD_PRELOAD=libumockdev-preload.so.0 (ctest sets it)";
}

// The device link on the USB backend: the link fixture's virtual tester sits
// behind the emulated chip, and FtdiDriver is the installed driver.
class UsbLink : public LinkFixture {
protected:
    UsbLink() : LinkFixture(&clock) {}

    void SetUp() override {
        LinkFixture::SetUp();
        requirePreload();
        setDriver(&usb);
    }

    DeviceHandle open() {
        DeviceHandle h = 0;
        EXPECT_EQ(usb.openByDescription(kInstrumentDescription, kOpenByDescription, &h), 0);
        usb.setLatencyTimer(h, 1);
        usb.setUsbParameters(h, 1, 4096);
        return h;
    }

    // Queries for up to 5 s until at least `n` bytes are waiting.
    unsigned waitFor(DeviceHandle h, unsigned n) {
        unsigned waiting = 0;
        eventually([&] { return usb.getQueueStatus(h, &waiting) == 0 && waiting >= n; });
        return waiting;
    }

    Bytes read(DeviceHandle h, unsigned n) {
        Bytes out(n);
        unsigned got = 0;
        EXPECT_EQ(usb.read(h, out.data(), n, &got), 0);
        out.resize(got);
        return out;
    }

    // The fake clock, with a step to take at the link's next pause.
    struct HookedClock : FakeClock {
        void sleep(unsigned ms) override {
            if (atNextSleep) std::exchange(atNextSleep, nullptr)();
            FakeClock::sleep(ms);
        }
        std::function<void()> atNextSleep;  // the link runs on the test's thread
    } clock;
    FtdiChip chip{tester};
    FtdiDriver usb;
};

TEST(UsbOpen, ByProductStringOverTheStandardProductIds) {
    requirePreload();
    struct Case {
        unsigned productId;
        const char* product;
        bool opens;
    };
    const Case cases[] = {
        {0x6001, "Korvane Systems Dosimark Kest", true},
        {0x6010, "Korvane Systems Dosimark Kest", true},
        {0x6011, "Korvane Systems Dosimark Kest", true},
        {0x6014, "Korvane Systems Dosimark Kest", true},
        {0x6015, "Korvane Systems Dosimark Kest", true},
        {0x6001, "Korvane Systems Dosimark", false},  // the whole string must match
        {0x6016, "Korvane Systems Dosimark Kest", false},  // not one of the five
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.productId << " " << c.product);
        VirtualTester tester;
        FtdiChip chip(tester, c.productId, c.product);
        FtdiDriver usb;
        DeviceHandle h = 0;
        EXPECT_EQ(usb.openByDescription(kInstrumentDescription, kOpenByDescription, &h) == 0,
                  c.opens);
        if (!c.opens) continue;
        EXPECT_EQ(usb.setLatencyTimer(h, 1), 0);
        EXPECT_EQ(usb.setUsbParameters(h, 1, 4096), 0);
        FtdiChip::Counters seen = chip.counters();
        EXPECT_EQ(seen.latencyMs, 1u);
        EXPECT_EQ(seen.resets, 1);
        EXPECT_EQ(seen.rxPurges, 1);  // the receive buffer is emptied on open
        EXPECT_EQ(usb.close(h), 0);
    }
}

// This thread (the one making USB calls) checked as an ordinary user: root's
// power to open any file is left out of its effective capabilities meanwhile.
class OrdinaryUser {
public:
    OrdinaryUser() {
        ::syscall(SYS_capget, &header_, saved_);
        __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
        reduced[0].effective &= ~(1u << CAP_DAC_OVERRIDE | 1u << CAP_DAC_READ_SEARCH);
        ::syscall(SYS_capset, &header_, reduced);
    }
    ~OrdinaryUser() { ::syscall(SYS_capset, &header_, saved_); }

private:
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2]{};
};

// The "USB device skipped" lines of the diagnostic log.
std::vector<std::string> skippedLines() {
    std::istringstream log(readFile(debugLogFileName()));
    std::vector<std::string> out;
    for (std::string line; std::getline(log, line);)
        if (line.find("USB device skipped") != std::string::npos) out.push_back(line);
    return out;
}

// Another FTDI device, unopenable or another product, before the tester
// (port 2) or after it (port 0): the tester is found; the other is logged
// once however often the monitor looks, and is no tester when unplugged.
TEST(UsbOpen, PassesOverOtherFtdiDevicesAndLogsEachOnce) {
    requirePreload();
    const std::string folder = "/tmp/lumkest-usb-log-" + std::to_string(::getpid()) + "/";
    ::mkdir(folder.c_str(), 0700);
    setLogFolderForTest(folder);
    for (bool openable : {false, true})
        for (unsigned port : {2u, 0u}) {
            const std::string logged = "device 10" + std::to_string(port) + " (0403:6001): " +
                                       (openable ? "product \"USB <-> Serial Cable\""
                                                 : "cannot be opened or read (Access denied");
            SCOPED_TRACE(logged);
            resetDebugLogForTest();
            initDebugLog("dbug.dbg");
            VirtualTester tester;
            FtdiChip chip(tester);
            chip.addOtherDevice(port, 0x6001, openable ? "USB <-> Serial Cable" : "FT232R",
                                openable);
            OrdinaryUser user;
            FtdiDriver usb;
            DeviceHandle h = 0;
            for (int attempt = 1; attempt <= 2; ++attempt) {
                ASSERT_EQ(usb.openByDescription(kInstrumentDescription, kOpenByDescription, &h), 0);
                EXPECT_EQ(chip.counters().resets, attempt);  // the tester was opened
                EXPECT_EQ(usb.close(h), 0);
            }
            // Only a device listed before the tester has been looked at.
            EXPECT_EQ(skippedLines().size(), port == 2 ? 1u : 0u);
            chip.unplug();
            for (int attempt = 0; attempt < 2; ++attempt) {
                EXPECT_NE(usb.openByDescription(kInstrumentDescription, kOpenByDescription, &h), 0);
                EXPECT_EQ(usb.lastOpenProblem(), FtdiDriver::OpenProblem::NotFound);
            }
            const std::vector<std::string> skipped = skippedLines();
            ASSERT_EQ(skipped.size(), 1u);
            EXPECT_NE(skipped[0].find(logged), std::string::npos) << skipped[0];
        }
    resetDebugLogForTest();
    setLogFolderForTest("");
    std::remove((folder + "dbug.dbg").c_str());
    ::rmdir(folder.c_str());
}

// Why the tester could not be opened: held by another program, or no right.
TEST(UsbOpen, TellsWhyTheTesterCouldNotBeOpened) {
    requirePreload();
    VirtualTester tester;
    FtdiChip chip(tester);
    OrdinaryUser user;
    FtdiDriver first, second;
    DeviceHandle h = 0, other = 0;
    ASSERT_EQ(first.openByDescription(kInstrumentDescription, kOpenByDescription, &h), 0);
    EXPECT_NE(second.openByDescription(kInstrumentDescription, kOpenByDescription, &other), 0);
    EXPECT_EQ(second.lastOpenProblem(), FtdiDriver::OpenProblem::Busy);
    EXPECT_EQ(first.close(h), 0);
    chip.setTesterOpenable(false);
    EXPECT_NE(second.openByDescription(kInstrumentDescription, kOpenByDescription, &other), 0);
    EXPECT_EQ(second.lastOpenProblem(), FtdiDriver::OpenProblem::NoPermission);
}

// Attach, identity, download, decode, unplug and re-plug, as the monitor and
// the command thread do them.
TEST_F(UsbLink, IdentifiesDownloadsLosesAndFindsTheTesterAgain) {
    tester.setIdentity("KS0401123456", "Dosimark Kest Bay 2");
    ASSERT_EQ(monitorCycle(), 0);
    ASSERT_NE(deviceHandle.load(), 0u);
    EXPECT_EQ(instrumentSerialText(), "KS0401123456");
    EXPECT_EQ(instrumentIdText(), "Dosimark Kest Bay 2");
    EXPECT_EQ(log.events(), (std::vector<std::string>{"status:Connected to Dosimark Kest",
                                                      "msg:Device Attached", "download:on"}));

    ASSERT_EQ(requestDownload(), LinkDownloadRequested);
    for (int pass = 0; pass < 200 && view.presented == 0; ++pass) ASSERT_EQ(commandPass(), 0);
    ASSERT_EQ(view.presented, 1);
    EXPECT_EQ(tester.commandsReceived(), (std::vector<std::string>{"ID\r", "DD\r"}));
    EXPECT_EQ(shown(recordStore().displayed()), shown(tester.records()));

    log.clear();
    messages.clear();
    chip.unplug();
    ASSERT_EQ(monitorCycle(), 0);
    EXPECT_EQ(deviceHandle.load(), 0u);
    EXPECT_EQ(log.events(), (std::vector<std::string>{"download:off", "msg:Device Disconnected",
                                                      "status:Not Connected"}));
    ASSERT_EQ(messages.requests().size(), 1u);
    expectMessage(messages.requests()[0],
                  "The current device has been disconnected from the PC.\r\r"
                  "It is advised that you save your data.",
                  "Device Disconnected", MsgIcon::Warning, MsgButtons::Ok);
    EXPECT_EQ(commandPass(), -1);  // the command thread ends
    EXPECT_EQ(shown(recordStore().displayed()), shown(tester.records()));

    log.clear();
    chip.plugIn();
    ASSERT_EQ(monitorCycle(), 0);
    EXPECT_NE(deviceHandle.load(), 0u);
    EXPECT_EQ(log.events(), (std::vector<std::string>{"status:Connected to Dosimark Kest",
                                                      "msg:Device Attached", "download:on"}));
    EXPECT_EQ(starts(), 2);
}

// A tester that gives no identity is tried again every cycle while it is
// the only one; listed before a working tester, it is passed over at the
// next cycle, so the working one is found.
TEST_F(UsbLink, SilentTesterDoesNotHideAWorkingOne) {
    tester.setSilent(true);
    for (int cycle = 1; cycle <= 2; ++cycle) {
        ASSERT_EQ(monitorCycle(), 0);
        EXPECT_EQ(deviceHandle.load(), 0u);
        EXPECT_EQ(chip.counters().resets, cycle);  // opened again
    }
    tester.setSilent(false);
    // Another device with the tester's product string carries no data: a
    // silent tester, listed first (port 2).
    chip.addOtherDevice(2, 0x6001, kInstrumentDescription, true);
    for (int cycle = 0; cycle < 3 && deviceHandle.load() == 0; ++cycle)
        ASSERT_EQ(monitorCycle(), 0);
    ASSERT_NE(deviceHandle.load(), 0u);
    EXPECT_EQ(instrumentIdText(), "Dosimark Kest Bay 2");
    EXPECT_EQ(captions(), std::vector<std::string>{"Device Attached"});
}

// Unplugged while the command thread waits for the rest of a block: its
// calls fail first, yet the user sees only the disconnect.
TEST_F(UsbLink, UnplugHalfwayThroughABlockEndsInTheDisconnectOnly) {
    ASSERT_EQ(monitorCycle(), 0);
    tester.setDelivery(Delivery::TooSlow);  // 2 bytes now, the rest much later
    ASSERT_EQ(requestDownload(), LinkDownloadRequested);
    ASSERT_EQ(commandPass(), 0);
    ASSERT_EQ(tester.commandsReceived().back(), "DD\r");
    messages.clear();
    clock.atNextSleep = [this] { chip.unplug(); };  // the first wait for the rest
    ASSERT_EQ(commandPass(), 0);
    EXPECT_EQ(tester.readSizes().back(), 2u);  // the header went over the bus
    EXPECT_TRUE(messages.requests().empty());

    ASSERT_EQ(monitorCycle(), 0);
    EXPECT_EQ(deviceHandle.load(), 0u);
    EXPECT_EQ(captions(), std::vector<std::string>{"Device Disconnected"});
    EXPECT_EQ(commandPass(), -1);
    EXPECT_EQ(view.presented, 0);
}

// The 8194-byte block crosses the bus in 133 packets of at most 62 data
// bytes; the status bytes never reach the receive buffer.
TEST_F(UsbLink, BlockInManyPacketsIsReadWhole) {
    for (Delivery delivery : {Delivery::AtOnce, Delivery::Pieces}) {
        SCOPED_TRACE(static_cast<int>(delivery));
        tester.setDelivery(delivery);
        const int packetsBefore = chip.counters().dataPackets;
        DeviceHandle h = open();
        unsigned written = 0;
        ASSERT_EQ(usb.write(h, "DD\r", 3, &written), 0);
        ASSERT_EQ(written, 3u);
        if (delivery == Delivery::Pieces) {
            EXPECT_EQ(waitFor(h, 2), 2u);
            clock.advance(300);  // the rest arrives
        }
        ASSERT_EQ(waitFor(h, kDataBlockSize), kDataBlockSize);
        EXPECT_EQ(read(h, kDataBlockSize), VirtualTester::buildAllRecordsBlock(tester.records()));
        EXPECT_EQ(chip.counters().dataPackets - packetsBefore,
                  delivery == Delivery::AtOnce ? 133 : 1 + 133);
        EXPECT_EQ(usb.close(h), 0);
    }
}

TEST_F(UsbLink, QueueStatusReadAndPurgeWorkOnTheReceiveBuffer) {
    const Bytes identity = VirtualTester::buildIdentityReply("KS0401123", "Dosimark Kest Bay 2");
    DeviceHandle h = open();
    unsigned written = 0, waiting = 0;
    ASSERT_EQ(usb.write(h, "ID\r", 3, &written), 0);
    ASSERT_EQ(waitFor(h, 33), 33u);
    EXPECT_EQ(read(h, 10), Bytes(identity.begin(), identity.begin() + 10));
    ASSERT_EQ(usb.getQueueStatus(h, &waiting), 0);
    EXPECT_EQ(waiting, 23u);
    EXPECT_EQ(read(h, 100), Bytes(identity.begin() + 10, identity.end()));  // what there is

    // A purge drops what the driver holds and what is still in the chip.
    ASSERT_EQ(usb.write(h, "ID\r", 3, &written), 0);
    ASSERT_EQ(waitFor(h, 33), 33u);
    ASSERT_TRUE(tester.sendRaw(Bytes(100, 'x')));
    const int purgesBefore = chip.counters().rxPurges;
    EXPECT_EQ(usb.purge(h, kPurgeRx), 0);
    EXPECT_EQ(chip.counters().rxPurges, purgesBefore + 1);
    ASSERT_EQ(usb.getQueueStatus(h, &waiting), 0);
    EXPECT_EQ(waiting, 0u);
    EXPECT_EQ(usb.close(h), 0);
}

// A chip that does not answer: the query gives up after the read timeout,
// reports nothing waiting, and the device stays usable.
TEST_F(UsbLink, ReadTimeoutIsNotADisconnect) {
    DeviceHandle h = open();
    chip.setMute(true);
    unsigned waiting = 99, rx = 0, tx = 0, events = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(usb.getQueueStatus(h, &waiting), 0);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(90));
    EXPECT_LT(took, std::chrono::seconds(2));  // gives up, as the 25 ms polls need
    EXPECT_EQ(waiting, 0u);
    EXPECT_EQ(chip.counters().pendingIn, 0);  // the request was cancelled and reaped

    chip.setMute(false);
    EXPECT_EQ(usb.getStatus(h, &rx, &tx, &events), 0);
    unsigned written = 0;
    ASSERT_EQ(usb.write(h, "ID\r", 3, &written), 0);
    EXPECT_EQ(waitFor(h, 33), 33u);
    EXPECT_EQ(usb.close(h), 0);
}

// Unplugged while idle or with a read in flight: the call in flight fails
// (-ESHUTDOWN), every later call too (ENODEV); closing still works.
TEST_F(UsbLink, UnplugFailsTheCallInFlightAndEveryLaterCall) {
    for (bool inFlight : {false, true}) {
        SCOPED_TRACE(inFlight ? "read in flight" : "idle");
        chip.plugIn();
        DeviceHandle h = open();
        if (inFlight) {
            chip.setMute(true);
            int status = 0;
            std::thread reader([&] {
                unsigned waiting = 0;
                status = usb.getQueueStatus(h, &waiting);
            });
            eventually([&] { return chip.counters().pendingIn == 1; });
            chip.unplug();
            reader.join();
            EXPECT_NE(status, 0);
            chip.setMute(false);
        } else {
            chip.unplug();
        }
        unsigned n = 0, rx = 0, tx = 0, events = 0;
        std::uint8_t byte = 0;
        EXPECT_NE(usb.getStatus(h, &rx, &tx, &events), 0);
        EXPECT_NE(usb.getQueueStatus(h, &n), 0);
        EXPECT_NE(usb.read(h, &byte, 1, &n), 0);
        EXPECT_NE(usb.write(h, "DD\r", 3, &n), 0);
        EXPECT_NE(usb.purge(h, kPurgeRx), 0);
        EXPECT_EQ(usb.close(h), 0);
    }
}

}  // namespace
