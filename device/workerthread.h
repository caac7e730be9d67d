#pragma once
// A joinable worker thread with a fixed stack size, for the device monitor
// and the command thread.  Plain pthreads: the threads may still run when
// the process ends, and nothing here depends on Qt.

#include <pthread.h>

#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstddef>
#include <mutex>

// Sanitizer runtimes need far more stack than the designed 32 KiB.
#ifdef LUMKEST_SANITIZER_BUILD
constexpr std::size_t kWorkerStackSize = 1024 * 1024;
#else
constexpr std::size_t kWorkerStackSize = 32768;
#endif

class WorkerThread {
public:
    static constexpr unsigned kForever = UINT_MAX;

    // Starts body() on a new thread.  Returns a thread id (> 0), or -1 when
    // the thread could not be created or an earlier one has not been joined.
    long start(void (*body)()) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (joinable_) return -1;
        pthread_attr_t attr;
        if (pthread_attr_init(&attr) != 0) return -1;
        int rc = pthread_attr_setstacksize(&attr, kWorkerStackSize);
        body_ = body;
        running_ = true;  // before the thread can end and clear it
        if (rc == 0) rc = pthread_create(&tid_, &attr, &WorkerThread::trampoline, this);
        pthread_attr_destroy(&attr);
        if (rc != 0) {
            running_ = false;
            return -1;
        }
        joinable_ = true;
        ++starts_;
        return static_cast<long>(tid_);
    }

    bool running() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return running_;
    }

    // Waits up to timeoutMs (real time) for the thread to end, then joins
    // it.  True when no thread is left running.  A thread never joins itself.
    bool join(unsigned timeoutMs = kForever) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (joinable_ && pthread_equal(tid_, pthread_self())) return false;
        auto ended = [this] { return !running_; };
        if (timeoutMs == kForever)
            ended_.wait(lock, ended);
        else if (!ended_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ended))
            return false;
        if (joinable_) {
            joinable_ = false;
            pthread_t tid = tid_;
            lock.unlock();
            pthread_join(tid, nullptr);
        }
        return true;
    }

    // How many threads this object has started, for tests.
    int starts() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return starts_;
    }

private:
    static void* trampoline(void* self) {
        auto* w = static_cast<WorkerThread*>(self);
        w->body_();
        std::lock_guard<std::mutex> lock(w->mutex_);
        w->running_ = false;
        w->ended_.notify_all();
        return nullptr;
    }

    mutable std::mutex mutex_;
    std::condition_variable ended_;
    void (*body_)() = nullptr;
    pthread_t tid_{};
    bool running_ = false;
    bool joinable_ = false;
    int starts_ = 0;
};
