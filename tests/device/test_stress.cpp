// Many plug / download / unplug cycles with the real monitor and command
// threads, a sped-up clock and a stand-in user-interface thread that answers
// the save-dialog handshake and reads the shared state.  Run it under
// ThreadSanitizer (LUMKEST_SANITIZE=thread) as well; LUMKEST_STRESS_CYCLES
// sets the number of cycles (CI runs 1000 under ThreadSanitizer).

#include <cstdlib>

#include "linktest.h"

namespace {

int stressCycles() {
    const char* env = std::getenv("LUMKEST_STRESS_CYCLES");
    const int n = env ? std::atoi(env) : 0;
    return n > 0 ? n : 100;
}

class Stress : public LinkFixture {
protected:
    Stress() : LinkFixture(&fast) {}
    void SetUp() override {
        LinkFixture::SetUp();
        setCommandThreadManualForTest(false);
    }
    FastClock fast{50};
};

TEST_F(Stress, PlugDownloadUnplugCycles) {
    const int kCycles = stressCycles();
    std::atomic<bool> done{false};
    std::atomic<int> dialogsShown{0};
    // The user interface: acts on save-dialog requests the way the clock
    // timer and the save dialog do, and keeps reading what the link writes.
    std::thread ui([&] {
        while (!done) {
            if (saveDialogRequested.exchange(0) == 1) {
                savePending = 1;  // the dialog opens
                ++dialogsShown;
                (void)recordStore().displayed();
                dataSaved = 1;
                savePending = 0;  // and is closed
            }
            (void)instrumentIdText();
            (void)instrumentSerialText();
            (void)recordStore().record(0);
            (void)view.downloadEnabled.load();
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });

    ASSERT_GT(startMonitorThread(), 0);
    int downloads = 0;
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        SCOPED_TRACE(cycle);
        tester.setIdentity("SN" + std::to_string(cycle), cycle % 2 ? "short" : "a longer identity");
        tester.setDelivery(cycle % 3 == 1 ? Delivery::Pieces : Delivery::AtOnce);
        messages.answerYes = cycle % 4 == 2;
        tester.plugIn();
        ASSERT_TRUE(eventually([] { return commandThreadRunning() && deviceHandle.load() != 0; },
                               20000));

        const int before = view.presented.load();
        if (cycle % 5 == 3) {
            tester.sendAnnouncement();  // the tester sends on its own
        } else {
            ASSERT_TRUE(eventually([] { return requestDownload() == LinkDownloadRequested; }));
        }
        if (cycle % 7 != 6) {
            ASSERT_TRUE(eventually([&] { return view.presented.load() > before; }, 20000));
            ++downloads;
        }
        // Otherwise the tester is pulled out in the middle of the transfer.

        tester.unplug();
        ASSERT_TRUE(eventually(
            [] { return !commandThreadRunning() && deviceHandle.load() == 0; }, 20000));
    }
    stopMonitorThread();
    EXPECT_TRUE(waitForWorkers(20000));
    done = true;
    ui.join();

    EXPECT_GE(downloads, kCycles * 5 / 7);
    EXPECT_GT(dialogsShown.load(), 0);
    EXPECT_EQ(recordCount.load(), 123u);
    EXPECT_EQ(tester.opens(), kCycles);
}

}  // namespace
