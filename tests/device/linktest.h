#pragma once
// Shared pieces of the device link tests: a scripted message handler, a
// view that records what the link asked of the user interface, a fast clock
// for tests with real threads, and a fixture that puts it all in place.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/messages.h"
#include "device/clock.h"
#include "device/driver.h"
#include "device/linkview.h"
#include "device/monitor.h"
#include "device/usbcomm.h"
#include "device/virtualtester.h"
#include "records/recordstore.h"

// Everything the link showed or changed, in order, as short texts:
// "msg:<caption>", "status:<text>", "download:on|off", "savedialog".
class EventLog {
public:
    void add(const std::string& e) {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(e);
    }
    std::vector<std::string> events() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> events_;
};

// Answers every message box: Ok, and Yes or No as set; records requests.
class ScriptedMessages {
public:
    explicit ScriptedMessages(EventLog* log) : log_(log) {}
    MsgAnswer answer(const MessageRequest& r) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(r);
        }
        log_->add("msg:" + r.caption);
        if (onQuestion && r.buttons == MsgButtons::YesNo) onQuestion();
        if (r.buttons == MsgButtons::Ok) return MsgAnswer::Ok;
        return answerYes.load() ? MsgAnswer::Yes : MsgAnswer::No;
    }
    std::vector<MessageRequest> requests() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.clear();
    }
    std::atomic<bool> answerYes{false};
    std::function<void()> onQuestion;  // set before the link runs

private:
    EventLog* log_;
    mutable std::mutex mutex_;
    std::vector<MessageRequest> requests_;
};

class RecordingView : public LinkView {
public:
    explicit RecordingView(EventLog* log) : log_(log) {}
    void setConnectionStatus(const std::string& text) override { log_->add("status:" + text); }
    void setDownloadEnabled(bool on) override {
        downloadEnabled = on;
        log_->add(on ? "download:on" : "download:off");
    }
    void showSaveDialogNow() override {
        saveDialogMode = SaveTextAll;
        log_->add("savedialog");
    }
    int presentRecords(const std::vector<TestRecord>& records, std::size_t capacity,
                       const TesterIdentity& tester) override {
        ++presented;
        return failPresent ? -1 : storeNewRecords(records, capacity, tester);
    }
    std::atomic<bool> downloadEnabled{false};
    std::atomic<int> presented{0};
    std::atomic<bool> failPresent{false};

private:
    EventLog* log_;
};

// Real time, sped up: sleep(ms) sleeps ms / factor, and now() runs factor
// times faster than the steady clock, so delivery times and waits agree.
class FastClock : public Clock {
public:
    explicit FastClock(unsigned factor) : factor_(factor), start_(std::chrono::steady_clock::now()) {}
    void sleep(unsigned ms) override {
        std::this_thread::sleep_for(std::chrono::microseconds(1000ull * ms / factor_));
    }
    std::uint64_t now() override {
        auto real = std::chrono::steady_clock::now() - start_;
        return 1000000 +
               std::chrono::duration_cast<std::chrono::microseconds>(real).count() * factor_ / 1000;
    }

private:
    unsigned factor_;
    std::chrono::steady_clock::time_point start_;
};

// Polls cond every millisecond of real time for up to timeoutMs.
inline bool eventually(const std::function<bool()>& cond, unsigned timeoutMs = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return cond();
}

// Installs the virtual tester, a clock, the scripted messages and the view,
// and puts the link and the record store back to their start state.
class LinkFixture : public ::testing::Test {
protected:
    explicit LinkFixture(Clock* clock = nullptr) : clock_(clock ? clock : &fakeClock) {}

    void SetUp() override {
        resetMonitorForTest();
        resetSharedStateForTest();
        setClock(clock_);
        setDriver(&tester);
        setLinkView(&view);
        setMessageHandler([this](const MessageRequest& r) { return messages.answer(r); });
        setCommandThreadManualForTest(true);
        startsBefore_ = commandThreadStarts();
    }

    // Command threads started since the test began.
    int starts() const { return commandThreadStarts() - startsBefore_; }

    void TearDown() override {
        stopMonitorThread();
        stopCommandThread();
        EXPECT_TRUE(waitForWorkers(10000));
        resetMonitorForTest();
        setMessageHandler(nullptr);
        setLinkView(nullptr);
        setDriver(nullptr);
        setClock(nullptr);
        resetSharedStateForTest();
    }

    // One monitor cycle that should find and identify the tester.
    void connect() {
        ASSERT_EQ(monitorCycle(), 0);
        ASSERT_NE(deviceHandle.load(), 0u);
        tester.clearCommands();
        messages.clear();
        log.clear();
    }

    std::vector<std::string> captions() const {
        std::vector<std::string> out;
        for (const auto& r : messages.requests()) out.push_back(r.caption);
        return out;
    }

    FakeClock fakeClock;
    Clock* clock_;
    int startsBefore_ = 0;
    VirtualTester tester;
    EventLog log;
    ScriptedMessages messages{&log};
    RecordingView view{&log};
};
