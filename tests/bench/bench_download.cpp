// A download into the main window, with the real threads, the real clock and
// the virtual tester answering at once (offscreen):
//   - from the Download click to the list painted with 123 records, against
//     the designed waits of the link that fall in the same span (the rest of
//     the pass pause the click lands in, 50 ms after the command, the next
//     25 ms pass pause);
//   - the longest stall of the user-interface thread from the click until the
//     hand-over has ended, against its longest stall over an idle span of the
//     same length just before.
// The stall is the longest gap between the ticks of a 1 ms timer.
//   bench_download [runs]      (default 21)

#include <QApplication>
#include <QPushButton>
#include <QTimer>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "app/application.h"
#include "app/listpage.h"
#include "app/messages.h"
#include "app/microLUM.h"
#include "app/recordgrid.h"
#include "benchrow.h"
#include "device/clock.h"
#include "device/monitor.h"
#include "device/usbcomm.h"
#include "device/virtualtester.h"
#include "records/recordstore.h"
#include "ui_listpage.h"

namespace {

using Steady = std::chrono::steady_clock;
double msBetween(Steady::time_point a, Steady::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

// The real clock, noting every pause of the command thread (the monitor's
// one-second cycle and the user-interface thread's own pauses are left out).
class NotingClock : public Clock {
public:
    explicit NotingClock(std::thread::id ui) : ui_(ui) {}
    void sleep(unsigned ms) override {
        if (ms != 1000 && std::this_thread::get_id() != ui_) {
            std::lock_guard<std::mutex> lock(mutex_);
            pauses_.push_back({Steady::now(), ms});
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
    std::uint64_t now() override {
        return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              Steady::now().time_since_epoch())
                                              .count());
    }
    // The designed length of the noted pauses that falls between a and b.
    double pausedWithin(Steady::time_point a, Steady::time_point b) {
        std::lock_guard<std::mutex> lock(mutex_);
        double sum = 0;
        for (const Pause& p : pauses_) {
            const auto end = p.start + std::chrono::milliseconds(p.ms);
            const auto from = std::max(a, p.start), to = std::min(b, end);
            if (to > from) sum += msBetween(from, to);
        }
        return sum;
    }

private:
    struct Pause {
        Steady::time_point start;
        unsigned ms;
    };
    std::thread::id ui_;
    std::mutex mutex_;
    std::vector<Pause> pauses_;
};

// Notes when the grid's viewport has finished the first paint that shows
// what shows() asks for: the paint is carried out inside the filter, so the
// time taken afterwards is when it ended.
class PaintWatch : public QObject {
public:
    explicit PaintWatch(QWidget* viewport) { viewport->installEventFilter(this); }
    void arm(std::function<bool()> shows) {
        shows_ = std::move(shows);
        painted = false;
    }
    bool painted = false;
    Steady::time_point at{};

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Paint || inside_) return false;
        inside_ = true;
        QCoreApplication::sendEvent(watched, event);
        inside_ = false;
        if (!painted && shows_ && shows_()) {
            at = Steady::now();
            painted = true;
        }
        return true;
    }

private:
    bool inside_ = false;
    std::function<bool()> shows_;
};

// The ticks of a 1 ms timer on the user-interface thread.
struct Ticks {
    std::vector<Steady::time_point> at;
    double longestGap(Steady::time_point from, Steady::time_point to) const {
        double longest = 0;
        for (std::size_t i = 1; i < at.size(); ++i)
            if (at[i] > from && at[i - 1] < to)
                longest = std::max(longest, msBetween(std::max(at[i - 1], from), std::min(at[i], to)));
        return longest;
    }
};

bool spinUntil(const std::function<bool()>& done, int timeoutMs) {
    const auto end = Steady::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (Steady::now() > end) return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void spinFor(int ms) {
    const auto end = Steady::now() + std::chrono::milliseconds(ms);
    spinUntil([end] { return Steady::now() >= end; }, ms + 1000);
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 21;
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);

    NotingClock clock(std::this_thread::get_id());
    setClock(&clock);
    auto* tester = new VirtualTester;  // outlives the worker threads
    setDriver(tester);
    setMessageHandler([](const MessageRequest& r) {
        return r.buttons == MsgButtons::YesNo ? MsgAnswer::No : MsgAnswer::Ok;
    });
    createWindows();
    MainWindow->show();
    RecordGrid* grid = MainWindow->listPage()->grid();
    QPushButton* download = MainWindow->listPage()->ui()->BtnDownloadData;
    PaintWatch paints(grid->viewport());
    Ticks ticks;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, [&ticks] { ticks.at.push_back(Steady::now()); });
    ticker.start(1);

    if (!spinUntil([&] { return download->isEnabled() && commandThreadRunning(); }, 10000)) {
        std::fprintf(stderr, "the virtual tester was not connected\n");
        return 1;
    }
    spinFor(300);

    // Every other run the tester holds its records in reverse order, so that
    // each download changes what the list shows.
    const std::vector<TestRecord> forward = VirtualTester::defaultRecords();
    const std::vector<TestRecord> backward(forward.rbegin(), forward.rend());
    std::vector<double> latency, waits, overWaits, stall, idleStall;
    for (int i = 0; i < runs; ++i) {
        const std::vector<TestRecord>& records = i % 2 ? forward : backward;
        tester->setRecords(records);
        const QString firstID = QStringLiteral(" %1 ").arg(QString::fromLatin1(records[0].deviceID));
        dataSaved = 1;  // no "New Data" question in the measurement
        const auto idleFrom = Steady::now();
        spinFor(250);

        paints.arm([&] { return grid->gridRowCount() == 124 && grid->cellText(1, 1) == firstID; });
        const auto start = Steady::now();
        download->click();
        if (!spinUntil([&] { return paints.painted; }, 5000)) {
            std::fprintf(stderr, "run %d: the list was not painted\n", i + 1);
            return 1;
        }
        const auto painted = paints.at;
        spinFor(150);  // the fill's pause and the single record page
        const auto end = Steady::now();

        latency.push_back(msBetween(start, painted));
        waits.push_back(clock.pausedWithin(start, painted));
        overWaits.push_back(latency.back() - waits.back());
        stall.push_back(ticks.longestGap(start, end));
        idleStall.push_back(ticks.longestGap(idleFrom, idleFrom + (end - start)));
        std::fprintf(stderr, "run %2d: %.1f ms, waits %.1f ms, stall %.1f ms (idle %.1f ms)\n",
                     i + 1, latency.back(), waits.back(), stall.back(), idleStall.back());
    }
    stopMonitorThread();
    stopCommandThread();
    for (int i = 0; i < 300 && !waitForWorkers(10); ++i) QCoreApplication::processEvents();

    printRow("Download request to list painted, 123 records", figure(median(latency), "ms"),
             figure(median(waits), "ms") + " (designed waits)",
             "within 16 ms of the reference (median excess " +
                 figure(median(overWaits), "ms") + ")",
             median(overWaits) <= 16.0);
    printRow("Longest stall of the user-interface thread during a download",
             figure(median(stall), "ms"), figure(median(idleStall), "ms") + " (idle)",
             "under 16 ms", median(stall) < 16.0);
    return 0;
}
