// Soak: many downloads through the whole path (monitor, command passes,
// decoding, the "New Data" question with the save dialog opened and closed,
// the hand-over into the main window's grid) on a fake clock, offscreen.
// Every 1000 downloads it prints the resident set and the heap in use; after
// the warm-up it fails if either has grown beyond a small bound.
//   device_soak [downloads]       (default 10000)

#include <malloc.h>
#include <unistd.h>

#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "app/application.h"
#include "app/microLUM.h"
#include "app/messages.h"
#include "device/clock.h"
#include "device/monitor.h"
#include "device/usbcomm.h"
#include "device/virtualtester.h"
#include "records/recordstore.h"
#include "save/save.h"

namespace {

constexpr int kWarmUp = 1000;
constexpr int kReportEvery = 1000;
constexpr long kRssBoundKb = 2048;   // after warm-up
constexpr long kHeapBoundKb = 256;

// Fake time; while the command thread waits for the save dialog, its
// polls play the user interface: the clock timer's tick opens the dialog,
// the next poll closes it again.
class SoakClock : public Clock {
public:
    void sleep(unsigned ms) override {
        now_ += ms;
        if (ms != 100 || savePending.load() != 1) return;
        if (saveDialogRequested.load() == 1)
            MainWindow->tmrClockTimer();
        else
            ulumSaveDialog->hide();
    }
    std::uint64_t now() override { return now_; }

private:
    std::uint64_t now_ = 1000000;
};

long residentKb() {
    long pages = 0, resident = 0;
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    if (!f) return -1;
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = -1;
    std::fclose(f);
    return resident < 0 ? -1 : resident * (sysconf(_SC_PAGESIZE) / 1024);
}

long heapKb() { return static_cast<long>(mallinfo2().uordblks / 1024); }

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    const int downloads = argc > 1 ? std::max(kWarmUp + kReportEvery, std::atoi(argv[1])) : 10000;
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    // The offscreen platform says at every dialog that it cannot raise it.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});

    SoakClock clock;
    VirtualTester tester;
    setClock(&clock);
    setDriver(&tester);
    int answer = 0;
    setMessageHandler([&answer](const MessageRequest& r) {
        if (r.buttons == MsgButtons::Ok) return MsgAnswer::Ok;
        return ++answer % 2 ? MsgAnswer::Yes : MsgAnswer::No;
    });
    TMainWindow::startMonitor = [] { return 1L; };  // the passes are made here
    setCommandThreadManualForTest(true);
    createWindows();
    MainWindow->tmrClock()->stop();
    MainWindow->show();

    const std::vector<TestRecord> all = VirtualTester::defaultRecords();
    long rssAtWarmUp = 0, heapAtWarmUp = 0;
    bool grew = false;
    std::printf("%10s %12s %12s\n", "downloads", "RSS KB", "heap KB");
    for (int i = 1; i <= downloads; ++i) {
        if (deviceHandle.load() == 0 && monitorCycle() != 0) {
            std::fprintf(stderr, "monitor ended\n");
            return 1;
        }
        // Sizes, deliveries and senders vary from one download to the next.
        tester.setRecords({all.begin(), all.begin() + 1 + (i * 37) % 123});
        tester.setDelivery(i % 3 == 0 ? Delivery::Pieces : Delivery::AtOnce);
        if (i % 5 == 0)
            tester.sendAnnouncement(i % 10 == 0, 1 + i % 7);
        else
            requestDownload();
        for (int pass = 0; pass < 20 && (LinkState.load() != LinkIdle || tester.waitingBytes()); ++pass)
            commandPass();
        commandPass();
        if (recordCount.load() == 0) {
            std::fprintf(stderr, "download %d brought no records\n", i);
            return 1;
        }
        tester.clearCommands();
        if (i % 250 == 0) {  // pulled out and plugged in again
            tester.unplug();
            monitorCycle();
            commandPass();
            tester.plugIn();
        }
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

        if (i % kReportEvery == 0) {
            const long rss = residentKb(), heap = heapKb();
            std::printf("%10d %12ld %12ld\n", i, rss, heap);
            if (i == kWarmUp) {
                rssAtWarmUp = rss;
                heapAtWarmUp = heap;
            } else if (i > kWarmUp) {
#ifndef LUMKEST_SANITIZER_BUILD  // the sanitizers' own allocator holds memory back
                if (rss - rssAtWarmUp > kRssBoundKb || heap - heapAtWarmUp > kHeapBoundKb)
                    grew = true;
#endif
            }
        }
    }
    std::printf("growth after warm-up: RSS %+ld KB (bound %ld), heap %+ld KB (bound %ld)\n",
                residentKb() - rssAtWarmUp, kRssBoundKb, heapKb() - heapAtWarmUp, kHeapBoundKb);

    tester.unplug();
    monitorCycle();
    setLinkView(nullptr);
    setMessageHandler(nullptr);
    setDriver(nullptr);
    setClock(nullptr);
    if (grew) std::fprintf(stderr, "memory grew during the soak\n");
    return grew ? 1 : 0;
}
