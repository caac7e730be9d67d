#include "device/session.h"

#include <cstring>
#include <string>

#include "device/clock.h"
#include "device/decode.h"
#include "device/driver.h"
#include "device/monitor.h"
#include "device/usbcomm.h"

namespace {

constexpr unsigned kMonitorRhythmMs = 1000;

// The link's messages that end a session; every other one ("Device
// Attached") is answered and passed over.
struct Ending {
    MsgId message;
    SessionResult result;
};
const Ending kEndings[] = {
    {MsgId::TransferTimeout, SessionResult::TransferTimeout},
    {MsgId::DataError, SessionResult::DataError},
    {MsgId::DeviceDisconnected, SessionResult::Unplugged},
};

}  // namespace

TesterSession::TesterSession() {
    previousHandler_ = setMessageHandler([this](const MessageRequest& r) { return answer(r); });
    setBlockObserver(
        [this](const std::uint8_t* block) { block_.assign(block, block + kDataBlockSize); });
    setCommandPassesByCaller(true);
}

TesterSession::~TesterSession() {
    const DeviceHandle h = deviceHandle.exchange(0);
    if (h != 0) driver()->close(h);
    stopCommandThread();
    setCommandPassesByCaller(false);
    setBlockObserver({});
    setMessageHandler(previousHandler_);
}

MsgAnswer TesterSession::answer(const MessageRequest& request) {
    for (const Ending& e : kEndings)
        if (request.id == e.message && shown_ == SessionResult::Done) shown_ = e.result;
    // "New Data" (records from an earlier download in this process) is
    // answered No: the new records replace them, as nothing shows them.
    return request.buttons == MsgButtons::Ok ? MsgAnswer::Ok : MsgAnswer::No;
}

SessionResult TesterSession::open(std::uint64_t waitMs) {
    const std::uint64_t start = nowMs();
    for (;;) {
        if (monitorPoll() == 0 && deviceHandle.load() != 0) return SessionResult::Done;
        if (nowMs() - start >= waitMs) break;
        sleepMs(kMonitorRhythmMs);
    }
    return lastLookOpenedTester() ? SessionResult::NoIdentity : SessionResult::NoTester;
}

SessionResult TesterSession::download() {
    if (deviceHandle.load() == 0) return SessionResult::NoTester;
    block_.clear();
    shown_ = SessionResult::Done;
    requestDownload();
    commandPass();  // writes "DD\r", then the 50 ms and 25 ms pauses
    if (LinkState.load() != LinkCommandSent) return SessionResult::CommandFailed;

    const std::uint64_t sent = nowMs();
    std::uint64_t lastCheck = sent;
    for (;;) {
        // Listens; a block that has begun is received within this step.  The
        // pass's pause follows only while there is more to listen for.
        commandStep();
        if (shown_ != SessionResult::Done) return shown_;
        if (!block_.empty()) return SessionResult::Done;  // decoded without a complaint
        sleepMs(kCommandPassMs);
        const std::uint64_t now = nowMs();
        if (now - lastCheck >= kMonitorRhythmMs) {
            // As the monitor does: a tester that has gone is closed and reported.
            lastCheck = now;
            monitorPoll();
            if (shown_ != SessionResult::Done) return shown_;
        }
        if (deviceHandle.load() == 0) return SessionResult::Unplugged;
        if (now - sent >= kAnswerWaitMs) return SessionResult::NoAnswer;
    }
}
