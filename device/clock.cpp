#include "device/clock.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

class RealClock : public Clock {
public:
    void sleep(unsigned ms) override {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return interrupted_; });
    }
    void interrupt(bool on) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            interrupted_ = on;
        }
        wake_.notify_all();
    }
    bool interrupted() {
        std::lock_guard<std::mutex> lock(mutex_);
        return interrupted_;
    }
    std::uint64_t now() override {
        using namespace std::chrono;
        return static_cast<std::uint64_t>(
            duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool interrupted_ = false;
};

RealClock realClock;
std::atomic<Clock*> installedClock{nullptr};

Clock& currentClock() {
    Clock* c = installedClock.load(std::memory_order_acquire);
    return c ? *c : realClock;
}

}  // namespace

void sleepMs(unsigned ms) { currentClock().sleep(ms); }

void interruptSleeps() { realClock.interrupt(true); }

bool sleepsInterrupted() { return realClock.interrupted(); }

void resetSleepsForTest() { realClock.interrupt(false); }

std::uint64_t nowMs() { return currentClock().now(); }

Clock* setClock(Clock* clock) {
    Clock* previous = installedClock.exchange(clock, std::memory_order_acq_rel);
    return previous;
}

void FakeClock::sleep(unsigned ms) {
    advance(ms);
    // Lets another thread that the sleeper waits for make progress.
    std::this_thread::yield();
}

std::uint64_t FakeClock::now() { return now_.load(); }

void FakeClock::advance(unsigned ms) { now_.fetch_add(ms); }
