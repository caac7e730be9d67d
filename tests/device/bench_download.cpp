// Download latency: from the Download request to the records being in the
// store, with the real threads, the real clock and the virtual tester
// answering at once.  Prints the median and the spread; not a test.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <thread>
#include <vector>

#include "device/clock.h"
#include "device/linkview.h"
#include "device/monitor.h"
#include "device/usbcomm.h"
#include "device/virtualtester.h"
#include "records/recordstore.h"

namespace {

using Steady = std::chrono::steady_clock;

class TimingView : public LinkView {
public:
    void setConnectionStatus(const std::string&) override {}
    void setDownloadEnabled(bool) override {}
    void showSaveDialogNow() override {}
    int presentRecords(const std::vector<TestRecord>& records, std::size_t capacity) override {
        int rc = storeNewRecords(records, capacity);
        presented.store(Steady::now().time_since_epoch().count());
        ++count;
        return rc;
    }
    std::atomic<long long> presented{0};
    std::atomic<int> count{0};
};

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 21;
    VirtualTester tester;
    TimingView view;
    setDriver(&tester);
    setLinkView(&view);

    if (startMonitorThread() <= 0) {
        std::fprintf(stderr, "monitor thread could not be started\n");
        return 1;
    }
    auto deadline = Steady::now() + std::chrono::seconds(10);
    while (!commandThreadRunning() && Steady::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (!commandThreadRunning()) {
        std::fprintf(stderr, "virtual tester not connected\n");
        return 1;
    }

    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        dataSaved = 1;  // no "New Data" question in the measurement
        const int before = view.count.load();
        auto start = Steady::now();
        while (requestDownload() != LinkDownloadRequested) std::this_thread::yield();
        while (view.count.load() == before) std::this_thread::sleep_for(std::chrono::microseconds(100));
        Steady::time_point end{Steady::duration(view.presented.load())};
        ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    }
    stopMonitorThread();
    stopCommandThread();
    waitForWorkers(5000);

    std::sort(ms.begin(), ms.end());
    std::printf("download request -> records in store (%d runs, 123 records)\n", runs);
    std::printf("  median %.2f ms   min %.2f ms   max %.2f ms\n", ms[ms.size() / 2], ms.front(),
                ms.back());
    return 0;
}
