#include "device/monitor.h"

#include <mutex>
#include <utility>

#include "app/guard.h"
#include "app/messages.h"
#include "device/clock.h"
#include "device/decode.h"
#include "device/linkview.h"
#include "device/usbcomm.h"
#include "device/workerthread.h"
#include "records/recordstore.h"

std::atomic<DeviceHandle> deviceHandle{0};
std::atomic<int> monitorStop{0};

const char* const kInstrumentDescription = "Korvane Systems Dosimark Kest";
const char* const kStatusConnected = "Connected to Dosimark Kest";
const char* const kStatusNotConnected = "Not Connected";

namespace {

const char* const kAttachedCaption = "Device Attached";
const char* const kAttachedText = "A new device has been detected.";
const char* const kAttachedWithDataText =
    "A new device has been detected: \r\n"
    "It is recommended that the current data be saved or it may be overwritten.";
const char* const kDisconnectedCaption = "Device Disconnected";
const char* const kDisconnectedText = "The current device has been disconnected from the PC.";
const char* const kDisconnectedWithDataText =
    "The current device has been disconnected from the PC.\r\r"
    "It is advised that you save your data.";
const char* const kMemoryErrorCaption = "Memmory Error!";
const char* const kMemoryErrorText =
    "Communciations Error - The system may be low on memory.\r\nPlease restart application.";

constexpr unsigned kCycleMs = 1000;
constexpr unsigned kIdentityWaitMs = 100;

// The tester's identity.  Written by the monitor, read by any thread (file
// and page headers), so it is kept behind a lock.
struct Identity {
    std::mutex mutex;
    TesterIdentity tester;
    std::vector<std::uint8_t> reply;  // the bytes it came in
};

// Never destroyed: the worker threads may still run while the process ends.
Identity& identity() {
    static Identity* ident = new Identity;
    return *ident;
}

WorkerThread& monitorWorker() {
    static WorkerThread* worker = new WorkerThread;
    return *worker;
}

std::atomic<bool> threadStartFailure{false};

// The open tester has been identified, but its command thread waits for a
// command thread of the previous connection to end (one held by the user,
// say in the "New Data" question).  Until then the tester is not announced
// as connected and Download stays disabled.  Monitor thread only.
std::atomic<bool> commandThreadDue{false};

// The last look for a tester opened one, whether or not it then answered
// its identity request.
std::atomic<bool> lookOpenedTester{false};

void closeDevice(DeviceHandle h) {
    driver()->close(h);
    deviceHandle = 0;
}

// An opened device gave no identity: it is closed, and the driver's next
// look starts after it, so that a working tester behind it gets its turn.
// Alone, it is opened again at the next cycle.
int giveUpOnIdentity(DeviceHandle h) {
    closeDevice(h);
    driver()->lastOpenedGaveNoAnswer();
    return 0;
}

// True when the open tester is still there.  When it has gone, it is closed
// and the user is told.
bool checkOpenDevice(DeviceHandle h) {
    unsigned rx = 0, tx = 0, events = 0;
    if (driver()->getStatus(h, &rx, &tx, &events) == kDriverOk) return true;

    closeDevice(h);
    commandThreadDue = false;
    stopCommandThread();
    linkView().setDownloadEnabled(false);
    // A Download click that the ended link had not served must not reach
    // the next tester.  None can follow: the controls are disabled now.
    dropUnservedDownloadRequest();
    showMessage(MsgId::DeviceDisconnected, haveData.load() ? kDisconnectedWithDataText : kDisconnectedText,
                kDisconnectedCaption, MsgIcon::Warning, MsgButtons::Ok);
    linkView().setConnectionStatus(kStatusNotConnected);
    return false;
}

// Enables the download commands and starts the command thread for the open
// tester.  Returns -1 when the monitor must end (no thread could be started).
int startLink() {
    linkView().setDownloadEnabled(true);
    if (startCommandThread() == -1) {
        stopMonitorThread();
        showMessage(MsgId::MemoryError, kMemoryErrorText, kMemoryErrorCaption, MsgIcon::Error, MsgButtons::Ok);
        return -1;
    }
    return 0;
}

// Looks for the tester, opens and identifies it.  Returns -1 when the
// monitor must end (no command thread could be started).
int findDevice() {
    Driver* d = driver();
    DeviceHandle h = 0;
    lookOpenedTester = false;
    if (d->openByDescription(kInstrumentDescription, kOpenByDescription, &h) != kDriverOk ||
        h == 0) {
        deviceHandle = 0;
        return 0;
    }
    lookOpenedTester = true;
    deviceHandle = h;
    d->setLatencyTimer(h, 1);
    d->setUsbParameters(h, 1, 4096);

    // Whatever the chip holds from before must not prefix the reply.
    d->purge(h, kPurgeRx);
    unsigned written = 0;
    if (d->write(h, "ID\r", 3, &written) != kDriverOk) return giveUpOnIdentity(h);
    sleepMs(kIdentityWaitMs);
    unsigned waiting = 0;
    d->getQueueStatus(h, &waiting);
    if (waiting < kIdentityReplySize) return giveUpOnIdentity(h);
    std::uint8_t reply[kIdentityReplySize] = {};
    unsigned got = 0;
    TesterIdentity tester;
    // A reply that is none (another first byte, no serial number) is no
    // identity either.
    if (d->read(h, reply, kIdentityReplySize, &got) != kDriverOk ||
        !parseIdentityReply(reply, got, &tester))
        return giveUpOnIdentity(h);
    {
        Identity& ident = identity();
        std::lock_guard<std::mutex> lock(ident.mutex);
        ident.tester = std::move(tester);
        ident.reply.assign(reply, reply + kIdentityReplySize);
    }

    // The monitor never waits for a command thread: one left over from the
    // previous connection may be waiting for the user with no time limit.
    // The new one is then started at a later cycle, once the old one ended.
    const bool canStart = commandThreadEnded();
    if (canStart) linkView().setConnectionStatus(kStatusConnected);
    showMessage(MsgId::DeviceAttached, haveData.load() ? kAttachedWithDataText : kAttachedText, kAttachedCaption,
                MsgIcon::Information, MsgButtons::Ok);
    if (!canStart) {
        commandThreadDue = true;
        return 0;
    }
    return startLink();
}

// A cycle with the tester open and still there: starts its command thread
// if that had to wait for the previous one.
int startDueCommandThread() {
    if (!commandThreadDue.load() || !commandThreadEnded()) return 0;
    commandThreadDue = false;
    linkView().setConnectionStatus(kStatusConnected);
    return startLink();
}

void monitorThread() {
    while (monitorStop.load() == 0) {
        if (monitorCycle() != 0) break;
    }
    // Told to stop (the program is ending): a command thread that the last
    // cycle started after the program had stopped the link is stopped too,
    // so that it cannot run on, its pauses cut short, until the process ends.
    if (monitorStop.load() != 0) stopCommandThread();
}

}  // namespace

std::string instrumentSerialText() {
    Identity& ident = identity();
    std::lock_guard<std::mutex> lock(ident.mutex);
    return ident.tester.serial;
}

std::string instrumentIdText() {
    Identity& ident = identity();
    std::lock_guard<std::mutex> lock(ident.mutex);
    return ident.tester.id;
}

std::vector<std::uint8_t> instrumentIdentityReply() {
    Identity& ident = identity();
    std::lock_guard<std::mutex> lock(ident.mutex);
    return ident.reply;
}

int monitorCycle() {
    sleepMs(kCycleMs);
    return monitorPoll();
}

int monitorPoll() {
    int result = 0;
    bool ok = guarded("monitor", __LINE__, [&] {
        DeviceHandle h = deviceHandle.load();
        if (h == 0)
            result = findDevice();
        else if (checkOpenDevice(h))
            result = startDueCommandThread();
    });
    return ok ? result : -1;
}

long startMonitorThread() {
    long id = -1;
    guarded("monitor", __LINE__, [&] {
        // A monitor that ended (stopped, or after an exception) is joined
        // before a new one starts.
        if (!monitorWorker().join(0)) return;
        monitorStop = 0;
        if (!threadStartFailure) id = monitorWorker().start(&monitorThread);
    });
    return id;
}

void stopMonitorThread() { monitorStop = 1; }

bool waitForWorkers(unsigned timeoutMs) {
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + milliseconds(timeoutMs);
    if (!monitorWorker().join(timeoutMs)) return false;
    auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
    return joinCommandThread(left > 0 ? static_cast<unsigned>(left) : 0);
}

bool lastLookOpenedTester() { return lookOpenedTester.load(); }

void resetMonitorForTest() {
    monitorStop = 1;
    commandStop = 1;
    waitForWorkers(WorkerThread::kForever - 1);
    monitorStop = 0;
    commandStop = 0;
    deviceHandle = 0;
    LinkState = LinkIdle;
    threadStartFailure = false;
    commandThreadDue = false;
    lookOpenedTester = false;
    setCommandThreadStartFailureForTest(false);
    setCommandThreadManualForTest(false);
    Identity& ident = identity();
    std::lock_guard<std::mutex> lock(ident.mutex);
    ident.tester = TesterIdentity();
    ident.reply.clear();
}

void setThreadStartFailureForTest(bool fail) {
    threadStartFailure = fail;
    setCommandThreadStartFailureForTest(fail);
}
