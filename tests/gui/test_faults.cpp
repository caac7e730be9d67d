// The fault matrix: the real monitor and command threads against the virtual
// tester, with the main window on this (the user-interface) thread.  The
// threads run on a stepped clock, so every case takes the same steps on every
// run and a three-second timeout takes no real time.  This thread serves the
// workers' calls between the steps, plays the clock timer's tick every 500 ms
// of link time and checks at each tick that the grid shows what the store
// holds.  Each case must end in its designed messages (or none), with the
// records on screen and in the store either intact or wholly the new ones.

#include <unistd.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <ostream>
#include <thread>

#include "app/fonts.h"
#include "app/listpage.h"
#include "app/microLUM.h"
#include "app/recordgrid.h"
#include "app/singlepage.h"
#include "app/systemdialogs.h"
#include "device/decode.h"
#include "device/monitor.h"
#include "device/usbcomm.h"
#include "device/virtualtester.h"
#include "device/virtualtesterwindow.h"
#include "print/report.h"
#include "print/ulumPrint.h"
#include "records/recordstore.h"
#include "records/viewformat.h"
#include "save/save.h"
#include "save/writers.h"
#include "tests/core/records.h"
#include "tests/files.h"
#include "tests/device/steppedclock.h"
#include "tests/gui/guitest.h"
#include "ui_listpage.h"
#include "ui_singlepage.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// The designed text of every message the matrix can meet; records are always
// shown, so the attach and detach messages take their longer texts.
std::string designedText(const std::string& caption) {
    if (caption == "Device Attached")
        return "A new device has been detected: \r\n"
               "It is recommended that the current data be saved or it may be overwritten.";
    if (caption == "Device Disconnected")
        return "The current device has been disconnected from the PC.\r\r"
               "It is advised that you save your data.";
    if (caption == "Data Transfer Error")
        return "A timeout occurred while attempting to transfer data.\r\rPlease try again.";
    if (caption == "Data Error")
        return "There were errors parsing transferred data\r\rPlease try downloading again.";
    if (caption == "New Data")
        return "There is new data and current data has not been saved.\r\r"
               "Do you wish to save current data?";
    return "(unexpected message)";
}

// What the tester holds: its default records in reverse order, so that they
// differ from the records shown before (those sorted by ID, all selected).
std::vector<TestRecord> testerRecords() {
    std::vector<TestRecord> r = VirtualTester::defaultRecords();
    std::reverse(r.begin(), r.end());
    return r;
}

const Bytes kGarbage = {0xFF, 0x00, 'x', 0x13, 0x37, 'D', 'D', '\r', 0x80, 0x7F};

class Faults;

struct FaultCase {
    std::string name;
    bool unsaved;  // dataSaved clear: a good block asks "New Data"
    std::function<void(Faults&)> fault;
    std::vector<std::string> captions;  // every message shown, in order
    int newRecords;                     // the tester's first n records shown; 0 = the old, intact
    bool connected;                     // the tester open at the end
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

// Everything the user sees of the records, and the store behind it.
struct Screen {
    std::vector<QString> cells;
    std::vector<TestRecord> store;
    unsigned count = 0, current = 0;
    QString singleID;
    int chooserEntries = 0;

    bool operator==(const Screen& o) const {
        return cells == o.cells && count == o.count && current == o.current &&
               singleID == o.singleID && chooserEntries == o.chooserEntries &&
               store.size() == o.store.size() &&
               std::memcmp(store.data(), o.store.data(), store.size() * sizeof(TestRecord)) == 0;
    }
};

class Faults : public MainWindowTest, public ::testing::WithParamInterface<FaultCase> {
public:
    SteppedClock stepped;
    VirtualTester tester;
    std::atomic<bool> answerYes{false};
    std::function<void()> onQuestion;  // runs on the asking worker thread

    // ---- the user's side ----
    void clickDownload() { MainWindow->listPage()->ui()->BtnDownloadData->click(); }
    bool downloadEnabled() { return MainWindow->listPage()->ui()->BtnDownloadData->isEnabled(); }
    QString status() { return MainWindow->statusPanel(0)->text(); }
    std::string lastCaption() {
        std::lock_guard<std::mutex> lock(shownMutex_);
        return shown_.empty() ? std::string() : shown_.back().caption;
    }

    // Runs the link until done() holds at a quiet moment or budgetMs of clock
    // time have passed; returns done()'s last value.
    bool runUntil(const std::function<bool()>& done, unsigned budgetMs) {
        const auto realEnd = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        const std::uint64_t end = stepped.now() + budgetMs;
        for (;;) {
            beat();
            while (!quiet()) {
                beat();
                QCoreApplication::processEvents();
                if (std::chrono::steady_clock::now() > realEnd) {
                    ADD_FAILURE() << "the worker threads never came to rest";
                    return false;
                }
            }
            if (stepped.now() >= nextTick_) {
                MainWindow->tmrClockTimer();
                nextTick_ += 500;
                expectScreenShowsStore();
                continue;
            }
            if (done()) return true;
            if (stepped.now() >= end) return false;
            stepped.advance(std::min(end, nextTick_));
        }
    }
    void runFor(unsigned ms) { runUntil([] { return false; }, ms); }
    void connect() {
        ASSERT_TRUE(runUntil([this] { return downloadEnabled() && commandThreadRunning(); }, 3000));
        ASSERT_EQ(status(), "Connected to Dosimark Kest");
        tester.clearCommands();  // commands, reads and purges from here on
    }

    Screen screen() {
        Screen s;
        RecordGrid* grid = MainWindow->listPage()->grid();
        for (int r = 0; r < grid->gridRowCount(); ++r)
            for (int c = 0; c < kListColumns; ++c) s.cells.push_back(grid->cellText(c, r));
        s.store = recordStore().displayed();
        s.count = recordCount.load();
        s.current = currentRecord.load();
        Ui::SinglePage& single = *MainWindow->singlePage()->ui();
        s.singleID = single.LblSingleRecDeviceID->text();
        s.chooserEntries = single.ComboChooseRecord->count();
        return s;
    }
    void expectScreenShowsStore() {
        RecordGrid* grid = MainWindow->listPage()->grid();
        ASSERT_EQ(grid->gridRowCount(), static_cast<int>(recordCount.load()) + 1);
        for (unsigned r = 1; r <= recordCount.load(); ++r)
            for (int c = 0; c < kListColumns; ++c)
                ASSERT_EQ(grid->cellText(c, static_cast<int>(r)),
                          latin1Text(listCellText(recordStore().record(r - 1), r, c)))
                    << "row " << r << " column " << c;
    }

    Screen before;
    std::vector<MessageRequest> shown() {
        std::lock_guard<std::mutex> lock(shownMutex_);
        return shown_;
    }

protected:
    void SetUp() override {
        MainWindowTest::SetUp();
        MainWindow->tmrClock()->stop();  // its tick is played on the link's clock
        // The records of an earlier download, sorted by ID and all selected.
        std::vector<TestRecord> old = VirtualTester::defaultRecords();
        ASSERT_EQ(MainWindow->presentRecords(old, old.size(), {}), 0);
        MainWindow->BtnSortByIDClick();
        MainWindow->BtnSelectAllClick();
        dataSaved = GetParam().unsaved ? 0 : 1;
        before = screen();

        tester.setRecords(testerRecords());
        setClock(&stepped);
        setDriver(&tester);
        previousHandler_ = setMessageHandler([this](const MessageRequest& r) {
            {
                std::lock_guard<std::mutex> lock(shownMutex_);
                shown_.push_back(r);
            }
            if (r.buttons == MsgButtons::Ok) return MsgAnswer::Ok;
            if (onQuestion) onQuestion();
            return answerYes ? MsgAnswer::Yes : MsgAnswer::No;
        });
        nextTick_ = stepped.now() + 500;
        // This thread must never wait for a worker: one that does is reported
        // rather than left hanging.
        beat();
        watchdog_ = std::thread([this] {
            while (!watchEnd_) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                if (realMs() - heartbeat_.load() > 10000) {
                    std::fprintf(stderr, "%s: the user-interface thread has been blocked for 10 s\n",
                                 GetParam().name.c_str());
                    std::abort();
                }
            }
        });
        ASSERT_GT(startMonitorThread(), 0);
    }

    void TearDown() override {
        watchEnd_ = true;
        if (watchdog_.joinable()) watchdog_.join();
        stopMonitorThread();
        stopCommandThread();
        stepped.releaseAll();
        for (int i = 0; i < 1000 && !waitForWorkers(10); ++i) QCoreApplication::processEvents();
        EXPECT_TRUE(waitForWorkers(0));
        resetMonitorForTest();
        setMessageHandler(previousHandler_);
        setDriver(nullptr);
        MainWindowTest::TearDown();
    }

private:
    // Every worker asleep or parked.  The worker count is read after the
    // first look: a command thread is started by a monitor that is not idle.
    bool quiet() {
        if (!stepped.waitIdle(workers(), 1)) return false;
        const int w = workers();
        return stepped.idle() >= w;
    }
    static int workers() { return 1 + (commandThreadRunning() ? 1 : 0); }

    static long long realMs() {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
    void beat() { heartbeat_ = realMs(); }

    std::thread watchdog_;
    std::atomic<bool> watchEnd_{false};
    std::atomic<long long> heartbeat_{0};
    std::uint64_t nextTick_ = 0;
    MessageHandler previousHandler_;
    std::mutex shownMutex_;
    std::vector<MessageRequest> shown_;
};

// ---- the faults ----

void downloadAndWait(Faults& t) {
    t.connect();
    t.clickDownload();
    t.runFor(4000);
}

void silentTester(Faults& t) {
    t.tester.setSilent(true);
    t.runFor(3500);
    EXPECT_EQ(t.tester.opens(), 3);  // tried again every second
}

void shortIdentity(Faults& t) {
    Bytes reply = VirtualTester::buildIdentityReply("KS0401123", "Dosimark Kest Bay 2");
    reply.resize(32);
    t.tester.setIdentityReply(reply);
    t.runFor(3500);
    EXPECT_EQ(t.tester.opens(), 3);
}

void garbageBeforeBlock(Faults& t) {
    t.connect();
    t.tester.sendRaw(kGarbage);
    t.clickDownload();  // the garbage is purged before "DD\r" goes out
    t.runFor(1000);
    EXPECT_EQ(t.tester.purges(), 1);
    EXPECT_EQ(t.tester.commandsReceived(), std::vector<std::string>{"DD\r"});
}

void garbageAfterBlock(Faults& t) {
    t.connect();
    t.clickDownload();
    ASSERT_TRUE(t.runUntil([&] { return !t.tester.commandsReceived().empty(); }, 1000));
    t.tester.sendRaw(kGarbage);  // right behind the block, before it is read
    t.runFor(1000);
    EXPECT_EQ(t.tester.purges(), 2);  // before "DD\r", and the garbage
    EXPECT_EQ(t.tester.waitingBytes(), 0u);
}

std::function<void(Faults&)> blockCutOffAt(std::size_t bytes) {
    return [bytes](Faults& t) {
        Bytes block = VirtualTester::buildAllRecordsBlock(testerRecords());
        block.resize(bytes);
        t.tester.setBlockOverride(block);
        downloadAndWait(t);
        EXPECT_EQ(t.tester.waitingBytes(), 0u);
    };
}

void blockTooSlow(Faults& t) {
    t.tester.setDelivery(Delivery::TooSlow);
    downloadAndWait(t);
    EXPECT_EQ(t.tester.waitingBytes(), 0u);  // the late rest was purged silently
}

void unplugDuringBlock(Faults& t) {
    t.tester.setDelivery(Delivery::Pieces);
    t.connect();
    t.clickDownload();
    ASSERT_TRUE(t.runUntil([&] { return !t.tester.readSizes().empty(); }, 1000));
    t.tester.unplug();  // after the header, before the rest
    t.runFor(2000);
    EXPECT_FALSE(commandThreadRunning());
}

void unplugDuringNewDataQuestion(Faults& t) {
    t.onQuestion = [&t] {
        t.tester.unplug();
        t.stepped.park();  // the user thinks until the monitor has told the loss
    };
    t.connect();
    t.clickDownload();
    ASSERT_TRUE(t.runUntil([&] { return t.lastCaption() == "Device Disconnected"; }, 3000));
    EXPECT_EQ(t.screen(), t.before);
    t.stepped.unpark();  // No: the block was whole, its records replace the old ones
    t.runFor(1000);
    EXPECT_FALSE(commandThreadRunning());
}

void unplugWhileSaveDialogOpen(Faults& t) {
    t.answerYes = true;
    t.connect();
    t.clickDownload();
    ASSERT_TRUE(t.runUntil([] { return showing(ulumSaveDialog); }, 1000));
    EXPECT_EQ(savePending.load(), 1);
    t.tester.unplug();
    ASSERT_TRUE(t.runUntil([&] { return t.lastCaption() == "Device Disconnected"; }, 3000));
    // The dialog stays open on the old records, which stay shown.
    EXPECT_TRUE(ulumSaveDialog->isVisible());
    EXPECT_EQ(savePending.load(), 1);
    EXPECT_EQ(t.screen(), t.before);
    t.runFor(2000);
    EXPECT_EQ(t.screen(), t.before);
    ulumSaveDialog->hide();  // saved or cancelled alike
    t.runFor(1000);
    EXPECT_FALSE(commandThreadRunning());
}

void wrongThirdByte(Faults& t) {
    t.connect();
    t.tester.sendRaw({'R', 'D', 'X'});
    t.runFor(1000);
    EXPECT_TRUE(t.tester.commandsReceived().empty());  // no acknowledgement
    EXPECT_EQ(t.tester.purges(), 1);
}

// An all-records block with the first `filled` tester records, slots 124 to
// 127 filled as well, and the count byte set to `count`.
std::function<void(Faults&)> countByte(std::size_t filled, std::uint8_t count) {
    return [filled, count](Faults& t) {
        std::vector<TestRecord> r = testerRecords();
        r.resize(filled);
        Bytes block = VirtualTester::buildAllRecordsBlock(r);
        for (std::size_t s = 124; s <= 127; ++s) {
            DeviceRecordSlot slot = recordToSlot(makeRecord("PAST-" + std::to_string(s)));
            std::memcpy(block.data() + 2 + kSlotSize * (s - 1), &slot, sizeof slot);
        }
        block[kRecordCountOffset] = count;
        t.tester.setBlockOverride(block);
        downloadAndWait(t);
        EXPECT_EQ(recordStore().capacity(), count);
    };
}

// Unplugged and plugged in again (and, if `unplugAgain`, unplugged once
// more) while the old command thread holds "New Data": each is noticed.
std::function<void(Faults&)> replugDuringNewDataQuestion(bool unplugAgain) {
    return [unplugAgain](Faults& t) {
        t.onQuestion = [&t] { t.stepped.park(); };
        t.connect();
        t.clickDownload();
        ASSERT_TRUE(t.runUntil([&] { return t.stepped.parked() == 1; }, 2000));
        t.tester.unplug();
        ASSERT_TRUE(t.runUntil([&] { return t.lastCaption() == "Device Disconnected"; }, 3000));
        t.tester.plugIn();
        ASSERT_TRUE(t.runUntil([&] { return t.lastCaption() == "Device Attached"; }, 3000));
        t.runFor(2000);  // no command thread for it yet: not announced as connected
        EXPECT_EQ(t.status(), "Not Connected");
        EXPECT_FALSE(t.downloadEnabled());
        if (unplugAgain) t.tester.unplug();
        t.runFor(2000);
        EXPECT_EQ(t.screen(), t.before);
        t.stepped.unpark();  // No: the records of the first block replace the old ones
        // Once the old thread has ended, a later cycle starts the new one.
        t.runFor(2000);
        EXPECT_EQ(commandThreadRunning(), !unplugAgain);
    };
}

// Download clicked while the command thread is held acknowledging the
// tester's announcement ("*\r").
void clickWhileAcknowledging(Faults& t) {
    t.connect();
    t.tester.setCommandHook([&t](const std::string& command) {
        if (command == "*\r") t.stepped.park();
    });
    t.tester.sendAnnouncement();
    ASSERT_TRUE(t.runUntil([&] { return t.stepped.parked() == 1; }, 1000));
    t.clickDownload();
}

// Download clicked while the announcement is acknowledged: served after it.
void clickDuringAcknowledgement(Faults& t) {
    ASSERT_NO_FATAL_FAILURE(clickWhileAcknowledging(t));
    t.stepped.unpark();
    t.runFor(2000);
    EXPECT_EQ(t.tester.commandsReceived(), (std::vector<std::string>{"*\r", "DD\r"}));
}

// Bytes left over (a stray byte, an identity reply past 33 bytes): the
// first click downloads.
std::function<void(Faults&)> leftOverBytes(std::size_t identityBytes, const Bytes& stray) {
    return [identityBytes, stray](Faults& t) {
        Bytes reply = VirtualTester::buildIdentityReply("KS0401123", "Dosimark Kest Bay 2");
        reply.resize(identityBytes, '\r');
        t.tester.setIdentityReply(reply);
        t.connect();
        t.tester.sendRaw(stray);
        t.runFor(500);
        t.clickDownload();
        t.runFor(1000);
        EXPECT_EQ(t.tester.commandsReceived(), std::vector<std::string>{"DD\r"});
    };
}

// Download clicked while the command thread is busy (acknowledging an
// announcement), and the tester pulled before it goes on: the click, never
// served, is not carried over to the next tester, whose records do not
// replace the saved ones unasked.
void clickThenUnplugBeforeItIsServed(Faults& t) {
    ASSERT_NO_FATAL_FAILURE(clickWhileAcknowledging(t));
    t.tester.unplug();
    ASSERT_TRUE(t.runUntil([&] { return t.lastCaption() == "Device Disconnected"; }, 3000));
    t.tester.setCommandHook(nullptr);
    t.stepped.unpark();
    t.tester.clearCommands();
    t.tester.plugIn();
    t.runFor(3000);
    EXPECT_EQ(t.tester.commandsReceived(), std::vector<std::string>{"ID\r"});
}

void asUsbDelivers(Faults& t) {
    t.tester.setDelivery(Delivery::AsUsb);
    downloadAndWait(t);
    EXPECT_EQ(t.tester.readSizes(), (std::vector<unsigned>{3, 8191}));
}

// A block's rest arrives `ms` after the receiver's first look at two bytes.
std::function<void(Faults&)> blockRestAfter(unsigned ms) {
    return [ms](Faults& t) {
        Bytes block = VirtualTester::buildAllRecordsBlock(testerRecords());
        t.connect();
        t.tester.sendRaw(Bytes(block.begin(), block.begin() + 2));
        ASSERT_TRUE(t.runUntil([&] { return !t.tester.readSizes().empty(); }, 1000));
        t.tester.sendRaw(Bytes(block.begin() + 2, block.end()), ms);
        t.runFor(4000);
        EXPECT_EQ(t.tester.waitingBytes(), 0u);
    };
}

// ---- records replaced under open windows, a second tester ----

template <class W>
W* named(QWidget* window, const char* name) {  // by object or accessible name
    for (W* w : window->findChildren<W*>())
        if (w->objectName() == QLatin1String(name) || w->accessibleName() == QLatin1String(name))
            return w;
    ADD_FAILURE() << "no control " << name;
    return nullptr;
}

// Presses Save; the file dialog runs `meanwhile` and names a scratch file,
// whose text is returned.
std::string saveThroughDialog(const std::function<void()>& meanwhile = nullptr) {
    const std::string file = std::filesystem::temp_directory_path() /
                             ("lumkest-faults-" + std::to_string(::getpid()) + ".txt");
    SaveFileHandler previous = setSaveFileHandler([&](const SaveFileRequest&) {
        if (meanwhile) meanwhile();
        return QString::fromStdString(file);
    });
    named<QPushButton>(ulumSaveDialog, "btnSave")->click();
    setSaveFileHandler(previous);
    const std::string text = readFile(file);
    std::remove(file.c_str());
    return text;
}

// Records downloaded from tester A stay named after A when B is plugged in.
void secondTesterAfterDownload(Faults& t) {
    t.connect();
    t.clickDownload();
    t.runFor(1000);
    {
        VirtualTesterWindow window(&t.tester);
        EXPECT_EQ(named<QLineEdit>(&window, "Tester serial")->text(), "KS0401123");
        named<QLineEdit>(&window, "Tester serial")->setText("KS0999888777");
        named<QLineEdit>(&window, "Tester ID")->setText("Dosimark Kest Bay 7");
        named<QPushButton>(&window, "Apply")->click();
    }
    t.tester.unplug();
    ASSERT_TRUE(t.runUntil([&] { return t.lastCaption() == "Device Disconnected"; }, 3000));
    t.tester.plugIn();
    t.connect();
    EXPECT_EQ(instrumentIdText() + instrumentSerialText(), "Dosimark Kest Bay 7KS0999888777");
    const SaveSource source = currentSaveSource();
    const ReportJob job = currentReportJob(-1);
    EXPECT_EQ(source.tester.id + source.tester.serial, "Dosimark Kest Bay 2KS0401123");
    EXPECT_EQ(job.tester.id + job.tester.serial, "Dosimark Kest Bay 2KS0401123");
}

// The save and print windows open on the old records list the new ones as
// at a fresh showing, and save the new record chosen.
void dialogsOpenWhenRecordsReplaced(Faults& t) {
    std::vector<TestRecord> three = testerRecords();
    three.resize(3);
    t.tester.setRecords(three);
    currentRecord = 40;
    MainWindow->BtnSaveSingleRecordClick();
    MainWindow->BtnPrintSingleRecordClick();
    named<QRadioButton>(ulumSaveDialog, "rdSaveAll")->click();
    t.connect();
    t.clickDownload();
    t.runFor(1000);
    auto* saveSelector = named<QComboBox>(ulumSaveDialog, "saveRecordSelector");
    auto* printSelector = named<QComboBox>(printWindow, "printRecordSelector");
    for (QComboBox* selector : {saveSelector, printSelector}) {
        EXPECT_EQ(selector->count(), 3);
        EXPECT_EQ(selector->currentIndex(), 0);
        EXPECT_TRUE(selector->isEnabled());
    }
    EXPECT_TRUE(named<QRadioButton>(ulumSaveDialog, "rdSaveSingle")->isChecked());
    saveSelector->setCurrentIndex(2);
    const std::string text = saveThroughDialog(), third = three[2].deviceID;
    EXPECT_NE(text.find("Record #:3\r\nDevice ID: " + third), std::string::npos) << text;
}

// "New Data" answered Yes under a one-record save's file dialog: that save
// writes its record of the old ones; the save of all opens after it, and the
// new records come once that has closed.
void newDataYesWhileChoosingAFile(Faults& t) {
    t.answerYes = true;
    t.connect();
    currentRecord = 4;
    MainWindow->BtnSaveSingleRecordClick();
    const Screen before = t.screen();
    const std::string text = saveThroughDialog([&t, &before] {
        t.clickDownload();
        ASSERT_TRUE(t.runUntil([&] { return t.lastCaption() == "New Data"; }, 1000));
        t.runFor(2000);  // four ticks of the clock timer
        EXPECT_EQ(saveDialogMode.load(), SaveTextSingle);
        EXPECT_EQ(t.screen(), before);
    });
    const std::string fifth = t.before.store[4].deviceID;
    EXPECT_NE(text.find("Record #:5\r\nDevice ID: " + fifth), std::string::npos) << text;
    EXPECT_EQ(text.find("Record #:6"), std::string::npos);
    ASSERT_TRUE(t.runUntil([] { return ulumSaveDialog->isVisible(); }, 1000));
    EXPECT_TRUE(named<QRadioButton>(ulumSaveDialog, "rdSaveAll")->isChecked());
    t.runFor(1000);
    EXPECT_EQ(t.screen(), before);
    ulumSaveDialog->hide();
    t.runFor(1000);
}

// Started with a block file, the Virtual Tester window's "Send One Record"
// sends that block's slot, not the tester's own records: a filled slot
// replaces the records shown, an empty one gives "Data Error".
void sendOneRecordOfTheBlockFile(Faults& t) {
    const std::vector<TestRecord> own = testerRecords();
    const Bytes block =
        VirtualTester::buildAllRecordsBlock({own[1], own[0], emptyRecord(), own[2]});
    t.tester.setBlockOverride(block);
    t.connect();
    VirtualTesterWindow window(&t.tester, block, QStringLiteral("block.bin"));
    auto* slot = named<QSpinBox>(&window, "Slot to send");
    auto* send = named<QPushButton>(&window, "Send One Record");
    slot->setValue(2);
    send->click();
    EXPECT_EQ(window.statusText().section(" | ", 2), "Sent the record in slot 2");
    t.runFor(1000);
    ASSERT_EQ(recordCount.load(), 1u);
    const Screen one = t.screen();
    slot->setValue(3);
    send->click();
    EXPECT_EQ(window.statusText().section(" | ", 2), "Sent slot 3 (empty)");
    t.runFor(1000);
    EXPECT_EQ(t.screen(), one);
}

std::vector<FaultCase> faultCases() {
    const std::vector<std::string> attached = {"Device Attached"};
    const std::vector<std::string> timeout = {"Device Attached", "Data Transfer Error"};
    const std::vector<std::string> detached = {"Device Attached", "Device Disconnected"};
    const std::vector<std::string> askedDetached = {"Device Attached", "New Data",
                                                    "Device Disconnected"};
    std::vector<FaultCase> cases = {
        {"NoIdentityAnswer", false, silentTester, {}, 0, false},
        {"ShortIdentity", false, shortIdentity, {}, 0, false},
        {"GarbageBeforeBlock", false, garbageBeforeBlock, attached, 123, true},
        {"GarbageAfterBlock", false, garbageAfterBlock, attached, 123, true},
        {"BlockTooSlow", false, blockTooSlow, timeout, 0, true},
        {"UnplugDuringBlock", false, unplugDuringBlock, detached, 0, false},
        {"UnplugDuringNewDataQuestion", true, unplugDuringNewDataQuestion, askedDetached, 123,
         false},
        {"UnplugWhileSaveDialogOpen", true, unplugWhileSaveDialogOpen, askedDetached, 123, false},
        {"AnnouncementWithWrongThirdByte", false, wrongThirdByte, attached, 0, true},
        {"CountByteAbove123", false, countByte(123, 200), attached, 123, true},
        {"SlotsPastTheCount", false, countByte(10, 3), attached, 3, true},
        {"ReplugDuringNewDataQuestion", true, replugDuringNewDataQuestion(false),
         {"Device Attached", "New Data", "Device Disconnected", "Device Attached"}, 123, true},
        {"ReplugDuringNewDataQuestionThenUnplug", true, replugDuringNewDataQuestion(true),
         {"Device Attached", "New Data", "Device Disconnected", "Device Attached",
          "Device Disconnected"},
         123, false},
        {"DownloadClickedDuringAcknowledgement", false, clickDuringAcknowledgement, attached, 123,
         true},
        {"StrayByteBeforeDownload", false, leftOverBytes(33, {0x00}), attached, 123, true},
        {"IdentityReplyOf34Bytes", false, leftOverBytes(34, {}), attached, 123, true},
        {"IdentityReplyOf40Bytes", false, leftOverBytes(40, {}), attached, 123, true},
        {"DownloadClickNotCarriedToNextTester", false, clickThenUnplugBeforeItIsServed,
         {"Device Attached", "Device Disconnected", "Device Attached"}, 0, true},
        {"AsUsbDelivers", false, asUsbDelivers, attached, 123, true},
        {"BlockRestIn3000ms", false, blockRestAfter(3000), attached, 123, true},
        {"BlockRestIn3001ms", false, blockRestAfter(3001), timeout, 0, true},
        {"SecondTesterAfterDownload", false, secondTesterAfterDownload,
         {"Device Attached", "Device Disconnected", "Device Attached"}, 123, true},
        {"DialogsOpenWhenRecordsReplaced", false, dialogsOpenWhenRecordsReplaced, attached, 3, true},
        {"NewDataYesWhileChoosingAFile", true, newDataYesWhileChoosingAFile,
         {"Device Attached", "New Data"}, 123, true},
        {"SendOneRecordOfTheBlockFile", false, sendOneRecordOfTheBlockFile,
         {"Device Attached", "Data Error"}, 1, true},
    };
    for (std::size_t cut = 512; cut < kDataBlockSize; cut += 512)
        cases.push_back({"BlockCutOffAt" + std::to_string(cut), false, blockCutOffAt(cut),
                         timeout, 0, true});
    return cases;
}

TEST_P(Faults, EndsInTheDesignedMessageOrSilence) {
    const FaultCase& c = GetParam();
    c.fault(*this);
    if (HasFatalFailure()) return;

    std::vector<std::string> captions;
    for (const MessageRequest& m : shown()) {
        captions.push_back(m.caption);
        EXPECT_EQ(m.text, designedText(m.caption)) << m.caption;
        EXPECT_EQ(m.onTop, m.caption != "Data Transfer Error" && m.caption != "Data Error")
            << m.caption;
        // Only a button answers "New Data": Escape's No would replace the records.
        EXPECT_EQ(m.escape, m.caption == "New Data" ? MsgEscape::Nothing : MsgEscape::Answers)
            << m.caption;
    }
    EXPECT_EQ(captions, c.captions);

    if (c.newRecords == 0) {
        EXPECT_EQ(screen(), before);
    } else {
        std::vector<TestRecord> expected = testerRecords();
        expected.resize(static_cast<std::size_t>(c.newRecords));
        std::vector<TestRecord> shownRecords = recordStore().displayed();
        ASSERT_EQ(shownRecords.size(), expected.size());
        EXPECT_EQ(std::memcmp(shownRecords.data(), expected.data(),
                              expected.size() * sizeof(TestRecord)),
                  0);
        EXPECT_EQ(currentRecord.load(), 0u);
        EXPECT_EQ(MainWindow->singlePage()->ui()->LblSingleRecDeviceID->text(),
                  QString::fromLatin1(expected[0].deviceID));
    }
    expectScreenShowsStore();
    EXPECT_EQ(savePending.load(), 0);
    EXPECT_EQ(status(), c.connected ? "Connected to Dosimark Kest" : "Not Connected");
    EXPECT_EQ(downloadEnabled(), c.connected);
}

INSTANTIATE_TEST_SUITE_P(Matrix, Faults, ::testing::ValuesIn(faultCases()),
                         [](const ::testing::TestParamInfo<FaultCase>& info) {
                             return info.param.name;
                         });

}  // namespace
