#include "device/usbcomm.h"

#include <cstring>

#include "app/guard.h"
#include "app/messages.h"
#include "device/clock.h"
#include "device/decode.h"
#include "device/driver.h"
#include "device/monitor.h"
#include "device/workerthread.h"

std::atomic<std::int32_t> LinkState{LinkIdle};
std::atomic<int> commandStop{0};

namespace {

const char* const kTimeoutText =
    "A timeout occurred while attempting to transfer data.\r\rPlease try again.";
const char* const kTimeoutCaption = "Data Transfer Error";
const char* const kDataErrorText =
    "There were errors parsing transferred data\r\rPlease try downloading again.";
const char* const kDataErrorCaption = "Data Error";

constexpr unsigned kAfterCommandMs = 50;
constexpr unsigned kBlockPollMs = 100;
constexpr int kBlockPolls = 30;
constexpr unsigned kThirdBytePauseMs = 50;

// Never destroyed: the command thread may still run while the process ends.
WorkerThread& commandWorker() {
    static WorkerThread* worker = new WorkerThread;
    return *worker;
}

std::atomic<bool> startFailureForTest{false};
std::atomic<bool> manualForTest{false};
std::atomic<int> startsSoFar{0};

// The receive buffer.  Only one command thread exists at a time (the next
// starts after the previous one has been joined), so the thread owns it; the
// block is decoded straight from it and nothing is allocated per message.
std::uint8_t receiveBuffer[kDataBlockSize];

// The handle to talk through, read before every driver call.  A command
// thread that has been told to stop makes no further driver calls, so a
// thread left over from an earlier connection never touches a newly opened
// tester.
DeviceHandle linkHandle() { return commandStop.load() != 0 ? 0 : deviceHandle.load(); }

void purgeReceive() {
    DeviceHandle h = linkHandle();
    if (h != 0) driver()->purge(h, kPurgeRx);
}

void setLinkIdle() { LinkState = LinkIdle; }

// The command thread moves LinkState only from the state it left it in, so
// that a Download click accepted meanwhile (LinkIdle -> LinkDownloadRequested
// on the user-interface thread) is never overwritten.
void moveLinkState(std::int32_t from, std::int32_t to) {
    LinkState.compare_exchange_strong(from, to);
}

// Back to LinkIdle from anything but a pending download request, which the
// next pass then serves.
void settleLinkIdle() {
    std::int32_t state = LinkState.load();
    while (state != LinkIdle && state != LinkDownloadRequested &&
           !LinkState.compare_exchange_weak(state, LinkIdle)) {
    }
}

// Waits, 100 ms at a time, until `needed` more bytes are waiting.  Returns
// 1 when they are, 0 after the last poll, -1 if a query failed.
int waitForBlock(unsigned needed) {
    for (int poll = 0; poll < kBlockPolls; ++poll) {
        sleepMs(kBlockPollMs);
        unsigned waiting = 0;
        if (driver()->getQueueStatus(linkHandle(), &waiting) != kDriverOk) return -1;
        if (waiting >= needed) return 1;
    }
    return 0;
}

void receiveBlock(unsigned waiting, unsigned headerBytes) {
    std::uint8_t* buf = receiveBuffer;
    if (buf[1] > kSlotCount) {
        purgeReceive();
        return;
    }
    const unsigned rest = static_cast<unsigned>(kDataBlockSize) - headerBytes;
    if (waiting < kDataBlockSize) {
        int ready = waitForBlock(rest);
        if (ready < 0) {
            purgeReceive();
            return;
        }
        if (ready == 0) {
            showMessage(MsgId::TransferTimeout, kTimeoutText, kTimeoutCaption, MsgIcon::Information, MsgButtons::Ok,
                        /*onTop=*/false);
            purgeReceive();
            return;
        }
    }
    unsigned got = 0;
    if (driver()->read(linkHandle(), buf + headerBytes, rest, &got) != kDriverOk || got != rest) {
        purgeReceive();
        return;
    }
    if (decodeDataBlock(buf) != 0) {
        showMessage(MsgId::DataError, kDataErrorText, kDataErrorCaption, MsgIcon::Information, MsgButtons::Ok,
                    /*onTop=*/false);
        purgeReceive();
    }
}

void receiveAnnouncement(unsigned headerBytes) {
    std::uint8_t* buf = receiveBuffer;
    if (buf[1] != 'D') {
        purgeReceive();
        return;
    }
    if (headerBytes == 2) {
        sleepMs(kThirdBytePauseMs);
        unsigned waiting = 0;
        if (driver()->getQueueStatus(linkHandle(), &waiting) != kDriverOk || waiting == 0) {
            purgeReceive();
            return;
        }
        unsigned got = 0;
        if (driver()->read(linkHandle(), buf + 2, 1, &got) != kDriverOk || got != 1) {
            purgeReceive();
            return;
        }
    }
    if (buf[2] != '\r') {
        purgeReceive();
        return;
    }
    if (sendAcknowledge() == -1) purgeReceive();
}

// One pass of the command thread; `pause` ends it with the pass's sleep.
// After an exception the next pass follows at once.
int runPass(bool pause) {
    int result = 0;
    bool ok = guarded("usbcomm", __LINE__, [&] {
        DeviceHandle h = linkHandle();
        if (h == 0) {
            commandStop = 1;
            result = -1;
            return;
        }
        std::int32_t state = LinkState.load();
        if (state == LinkDownloadRequested) {
            sendDownloadCommand();
        } else {
            if (state != LinkIdle) moveLinkState(state, LinkIdle);
            unsigned waiting = 0;
            if (driver()->getQueueStatus(h, &waiting) == kDriverOk && waiting >= 1)
                receiveFromInstrument();
        }
        if (pause) sleepMs(kCommandPassMs);
    });
    if (!ok) settleLinkIdle();
    return result;
}

void commandThread() {
    while (commandStop.load() == 0) {
        if (commandPass() != 0) break;
    }
}

}  // namespace

long startCommandThread() {
    long id = -1;
    bool ok = guarded("usbcomm", __LINE__, [&] {
        // A thread from an earlier connection must have ended first; the
        // caller waits for that (commandThreadEnded) rather than block here.
        if (!commandWorker().join(0)) return;
        // Cleared here rather than in the new thread, so that a stop that
        // comes right after the start is never lost.
        commandStop = 0;
        if (startFailureForTest) {
            id = -1;
        } else if (manualForTest) {
            id = 1;
        } else {
            id = commandWorker().start(&commandThread);
        }
        if (id == -1)
            commandStop = 1;
        else
            ++startsSoFar;
    });
    if (!ok) {
        commandStop = 1;
        setLinkIdle();
        return -1;
    }
    return id;
}

void stopCommandThread() {
    if (!guarded("usbcomm", __LINE__, [] { commandStop = 1; })) setLinkIdle();
}

bool commandThreadRunning() { return commandWorker().running(); }

bool commandThreadEnded() { return commandWorker().join(0); }

bool joinCommandThread(unsigned timeoutMs) { return commandWorker().join(timeoutMs); }

int commandThreadStarts() { return startsSoFar.load(); }

void setCommandThreadStartFailureForTest(bool fail) { startFailureForTest = fail; }

void setCommandThreadManualForTest(bool manual) { manualForTest = manual; }

void setCommandPassesByCaller(bool byCaller) { manualForTest = byCaller; }

void dropUnservedDownloadRequest() { moveLinkState(LinkDownloadRequested, LinkIdle); }

int requestDownload() {
    int result = -1;
    if (!guarded("usbcomm", __LINE__, [&] {
            std::int32_t expected = LinkIdle;
            result = LinkState.compare_exchange_strong(expected, LinkDownloadRequested)
                         ? LinkDownloadRequested
                         : -1;
        })) {
        setLinkIdle();
        return -1;
    }
    return result;
}

int commandPass() { return runPass(true); }

int commandStep() { return runPass(false); }

void sendDownloadCommand() {
    if (!guarded("usbcomm", __LINE__, [] {
            DeviceHandle h = linkHandle();
            if (h == 0) return;
            // Bytes left over from an earlier exchange (line noise, a longer
            // identity reply) must not prefix the block.
            purgeReceive();
            unsigned written = 0;
            int status = driver()->write(h, "DD\r", 3, &written);
            moveLinkState(LinkDownloadRequested,
                          (status != kDriverOk || written < 3) ? LinkIdle : LinkCommandSent);
            sleepMs(kAfterCommandMs);
        })) {
        // The request being served is dropped; the user can ask again.
        moveLinkState(LinkDownloadRequested, LinkIdle);
        settleLinkIdle();
    }
}

int sendAcknowledge() {
    int result = -1;
    if (!guarded("usbcomm", __LINE__, [&] {
            DeviceHandle h = linkHandle();
            if (h == 0) return;
            unsigned written = 0;
            int status = driver()->write(h, "*\r", 2, &written);
            if (status != kDriverOk || written < 2) {
                settleLinkIdle();
                return;
            }
            // A Download clicked while the acknowledgement went out stays
            // pending and is sent at the next pass.
            moveLinkState(LinkIdle, LinkCommandSent);
            sleepMs(kAfterCommandMs);
            result = 0;
        })) {
        settleLinkIdle();
        return -1;
    }
    return result;
}

void receiveFromInstrument() {
    if (!guarded("usbcomm", __LINE__, [] {
            DeviceHandle h = linkHandle();
            if (h == 0) {
                settleLinkIdle();
                return;
            }
            unsigned waiting = 0;
            if (driver()->getQueueStatus(h, &waiting) != kDriverOk) return;
            std::memset(receiveBuffer, 0, sizeof receiveBuffer);
            if (waiting < 2) return;  // a lone byte waits for the next one

            const unsigned header = waiting == 2 ? 2 : 3;
            unsigned got = 0;
            if (driver()->read(linkHandle(), receiveBuffer, header, &got) != kDriverOk ||
                got != header) {
                purgeReceive();
                return;
            }
            switch (receiveBuffer[0]) {
                case 'B': receiveBlock(waiting, header); break;
                case 'R': receiveAnnouncement(header); break;
                default: purgeReceive(); break;
            }
        }))
        settleLinkIdle();
}
