#include "device/clock.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

class RealClock : public Clock {
public:
    void sleep(unsigned ms) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
    std::uint64_t now() override {
        using namespace std::chrono;
        return static_cast<std::uint64_t>(
            duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
    }
};

RealClock realClock;
std::atomic<Clock*> installedClock{nullptr};

Clock& currentClock() {
    Clock* c = installedClock.load(std::memory_order_acquire);
    return c ? *c : realClock;
}

}  // namespace

void sleepMs(unsigned ms) { currentClock().sleep(ms); }

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
