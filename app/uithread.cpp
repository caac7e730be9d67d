#include "app/uithread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace {

// One request of a worker.  The worker waits until it has run or been
// refused; the user-interface thread runs it only if it has not been
// refused, so that a refused request never touches the worker's frame.
struct HandOver {
    bool started = false;
    bool done = false;
};

// Never destroyed: a worker may still wait here while the process ends.
struct HandOvers {
    std::mutex mutex;
    std::condition_variable done;
    bool loopEnded = false;  // guarded by mutex
};

HandOvers& handOvers() {
    static HandOvers* h = new HandOvers;
    return *h;
}

// Marks a request done however fn leaves, so its worker never waits on.
class DoneMark {
public:
    explicit DoneMark(HandOver* h) : h_(h) {}
    ~DoneMark() {
        HandOvers& all = handOvers();
        {
            std::lock_guard<std::mutex> lock(all.mutex);
            h_->done = true;
        }
        all.done.notify_all();
    }
    DoneMark(const DoneMark&) = delete;
    DoneMark& operator=(const DoneMark&) = delete;

private:
    HandOver* h_;
};

}  // namespace

void runOnUiThread(const std::function<void()>& fn) {
    QCoreApplication* app = QCoreApplication::instance();
    const bool onUiThread = app && QThread::currentThread() == app->thread();
    if (onUiThread || !app) {
        fn();
        return;
    }
    HandOvers& all = handOvers();
    auto request = std::make_shared<HandOver>();
    {
        std::lock_guard<std::mutex> lock(all.mutex);
        if (all.loopEnded) return;  // no loop will run it any more
    }
    // fn is used only while its worker still waits here: a request that
    // arrives after the loop has ended is dropped unrun.
    QMetaObject::invokeMethod(
        app,
        [request, &fn, &all] {
            {
                std::lock_guard<std::mutex> lock(all.mutex);
                if (all.loopEnded) return;
                request->started = true;
            }
            DoneMark mark(request.get());
            fn();
        },
        Qt::QueuedConnection);
    std::unique_lock<std::mutex> lock(all.mutex);
    all.done.wait(lock, [&] { return request->done || (all.loopEnded && !request->started); });
}

void setUiShuttingDown() {
    HandOvers& all = handOvers();
    {
        std::lock_guard<std::mutex> lock(all.mutex);
        all.loopEnded = true;
    }
    all.done.notify_all();
}

bool uiShuttingDown() {
    HandOvers& all = handOvers();
    std::lock_guard<std::mutex> lock(all.mutex);
    return all.loopEnded;
}

void resetUiHandOversForTest() {
    HandOvers& all = handOvers();
    std::lock_guard<std::mutex> lock(all.mutex);
    all.loopEnded = false;
}
