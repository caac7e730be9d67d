#pragma once
// All waiting of the worker threads goes through sleepMs(), and all reading
// of the time by the link code (the virtual tester's delivery times) through
// nowMs().  Tests install a fake clock whose sleep just advances its time, so
// a step that "waits three seconds" runs at once.

#include <atomic>
#include <cstdint>

class Clock {
public:
    virtual ~Clock() = default;
    virtual void sleep(unsigned ms) = 0;
    virtual std::uint64_t now() = 0;  // milliseconds, monotonic
};

void sleepMs(unsigned ms);
std::uint64_t nowMs();

// At program exit: every sleep of the real clock, running or to come,
// returns at once, so that the worker threads reach their stop checks
// without finishing a pause first.
void interruptSleeps();
bool sleepsInterrupted();
void resetSleepsForTest();

// Installs a clock (nullptr = the real one); returns the previous clock.
Clock* setClock(Clock* clock);

// A clock for tests: sleep() advances the time and returns at once.  Safe to
// use from several threads (the time is one atomic word).
class FakeClock : public Clock {
public:
    void sleep(unsigned ms) override;
    std::uint64_t now() override;
    void advance(unsigned ms);

private:
    std::atomic<std::uint64_t> now_{1000000};
};
