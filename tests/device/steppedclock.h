#pragma once
// A clock for tests that run the real worker threads deterministically: its
// time moves only when the test moves it, and the test moves it only while
// every worker thread is idle, that is asleep here or parked (held by a
// scripted user, say in a message box).  Each pause of a worker then ends in
// the same order on every run, whatever the machine's load, and a wait of
// three seconds takes no real time.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>
#include <thread>

#include "device/clock.h"

class SteppedClock : public Clock {
public:
    // The thread that moves the time (the test's): its own pauses end at once,
    // since nobody else would end them.
    explicit SteppedClock(std::thread::id driver = std::this_thread::get_id()) : driver_(driver) {}

    // ---- worker side ----
    void sleep(unsigned ms) override {
        std::unique_lock<std::mutex> lock(mutex_);
        if (released_ || std::this_thread::get_id() == driver_) return;
        auto me = sleepers_.insert(sleepers_.end(), Sleeper{now_ + ms, false});
        changed_.notify_all();
        changed_.wait(lock, [&] { return me->woken || released_; });
        sleepers_.erase(me);
    }
    std::uint64_t now() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return now_;
    }
    // Holds the calling worker, counted idle, until the test calls unpark().
    void park() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (released_) return;
        const unsigned generation = parkGeneration_;
        ++parked_;
        changed_.notify_all();
        changed_.wait(lock, [&] { return parkGeneration_ != generation || released_; });
    }

    // ---- test side ----
    // Threads asleep (and not yet woken) or parked.
    int idle() const {
        std::lock_guard<std::mutex> lock(mutex_);
        int n = parked_;
        for (const Sleeper& s : sleepers_) n += s.woken ? 0 : 1;
        return n;
    }
    int parked() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return parked_;
    }
    // Waits up to realMs of real time until at least `threads` are idle.
    bool waitIdle(int threads, unsigned realMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(realMs), [&] {
            int n = parked_;
            for (const Sleeper& s : sleepers_) n += s.woken ? 0 : 1;
            return n >= threads;
        });
    }
    // Lets the parked threads go; they count as busy from this moment.
    void unpark() {
        std::lock_guard<std::mutex> lock(mutex_);
        parked_ = 0;
        ++parkGeneration_;
        changed_.notify_all();
    }
    // Moves the time to the earliest end of a pause, but not past limit, and
    // wakes every sleeper whose pause has ended.  Returns the new time.
    std::uint64_t advance(std::uint64_t limit) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::uint64_t next = limit;
        for (const Sleeper& s : sleepers_)
            if (!s.woken && s.wake < next) next = s.wake;
        if (next > now_) now_ = next;
        for (Sleeper& s : sleepers_)
            if (s.wake <= now_) s.woken = true;
        changed_.notify_all();
        return now_;
    }
    // From now on no sleep or park waits: for the end of a test.
    void releaseAll() {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

private:
    struct Sleeper {
        std::uint64_t wake;
        bool woken;
    };
    const std::thread::id driver_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t now_ = 1000000;
    std::list<Sleeper> sleepers_;
    int parked_ = 0;
    unsigned parkGeneration_ = 0;
    bool released_ = false;
};
