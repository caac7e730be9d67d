// Decoding on a worker thread while this (the user-interface) thread runs
// the event loop: the "New Data" question, the wait for the save dialog and
// the replacement of the records shown.

#include <QComboBox>
#include <QLabel>
#include <QTest>
#include <QTimer>
#include <QCoreApplication>
#include <atomic>
#include <chrono>
#include <thread>

#include "app/application.h"
#include "app/listpage.h"
#include "device/decode.h"
#include "device/virtualtester.h"
#include "app/microLUM.h"
#include "app/recordgrid.h"
#include "app/singlepage.h"
#include "app/uithread.h"
#include "records/recordstore.h"
#include "save/save.h"
#include "tests/core/records.h"
#include "tests/gui/guitest.h"
#include "tests/messagecheck.h"
#include "ui_listpage.h"
#include "ui_singlepage.h"

namespace {

// Runs decodeDataBlock on its own thread, as the command thread does.
class Decoder {
public:
    explicit Decoder(std::vector<std::uint8_t> block)
        : block_(std::move(block)), thread_([this] {
              result = decodeDataBlock(block_.data());
              done = true;
          }) {}
    ~Decoder() {
        savePending = 0;  // never leave the thread waiting for a dialog
        saveDialogRequested = 0;
        finish();
    }
    // Runs the event loop until the decoding has ended.
    bool finish(int timeoutMs = 10000) {
        bool ended = QTest::qWaitFor([this] { return done.load(); }, timeoutMs);
        if (ended && thread_.joinable()) thread_.join();
        return ended;
    }

    std::atomic<int> result{-2};
    std::atomic<bool> done{false};

private:
    std::vector<std::uint8_t> block_;
    std::thread thread_;
};

std::vector<TestRecord> newRecords(int count) {
    std::vector<TestRecord> records;
    for (int i = 0; i < count; ++i) records.push_back(makeRecord("NEW-" + std::to_string(i + 1)));
    return records;
}

class HandOver : public MainWindowTest {
protected:
    void SetUp() override {
        MainWindowTest::SetUp();
        setClock(nullptr);  // real waits: the command thread polls every 100 ms
    }
    RecordGrid* grid() { return MainWindow->listPage()->grid(); }
    Ui::SinglePage& single() { return *MainWindow->singlePage()->ui(); }
    QString firstID() { return grid()->cellText(1, 1); }
    void expectNewDataQuestion() {
        ASSERT_EQ(messages.asked.size(), 1u);
        expectMessage(messages.asked[0],
                      "There is new data and current data has not been saved.\r\r"
                      "Do you wish to save current data?",
                      "New Data", MsgIcon::Warning, MsgButtons::YesNo, MsgAnswer::Yes);
        // Escape and the close box do not answer No, which would replace the records.
        EXPECT_EQ(messages.asked[0].escape, MsgEscape::Nothing);
    }
};

TEST_F(HandOver, FirstDownloadAndADownloadAfterASaveAskNothing) {
    std::vector<TestRecord> records = newRecords(3);
    records[2] = makeRecord("ABCDEFGHIJKLMNOP");  // fills its 16 bytes, no terminator on the wire
    {
        Decoder d(VirtualTester::buildAllRecordsBlock(records));
        ASSERT_TRUE(d.finish());
        EXPECT_EQ(d.result.load(), 0);
    }
    EXPECT_EQ(recordCount.load(), 3u);
    EXPECT_EQ(grid()->gridRowCount(), 4);
    EXPECT_EQ(firstID(), " NEW-1 ");
    EXPECT_EQ(grid()->cellText(1, 3), " ABCDEFGHIJKLMNOP ");
    EXPECT_EQ(dataSaved.load(), 0);

    markSaved(true);
    {
        Decoder d(VirtualTester::buildAllRecordsBlock(newRecords(5)));
        ASSERT_TRUE(d.finish());
        EXPECT_EQ(d.result.load(), 0);
    }
    EXPECT_TRUE(messages.asked.empty());
    EXPECT_EQ(recordCount.load(), 5u);
    EXPECT_EQ(grid()->gridRowCount(), 6);
}

TEST_F(HandOver, YesOpensTheSaveDialogAndKeepsTheOldRecordsUntilItCloses) {
    download(4);
    messages.answers = {MsgAnswer::Yes};
    saveDialogMode = ExportCsvSingle;
    Decoder d(VirtualTester::buildAllRecordsBlock(newRecords(6)));
    ASSERT_TRUE(QTest::qWaitFor(
        [] { return saveDialogRequested.load() == 1 || showing(ulumSaveDialog); }));
    expectNewDataQuestion();
    EXPECT_EQ(savePending.load(), 1);

    MainWindow->tmrClockTimer();  // the clock's next tick (if it has not come yet)
    ASSERT_TRUE(ulumSaveDialog->isVisible());
    EXPECT_EQ(saveDialogMode.load(), SaveTextAll);
    EXPECT_EQ(saveDialogRequested.load(), 0);

    QTest::qWait(400);  // the command thread keeps waiting meanwhile
    EXPECT_FALSE(d.done.load());
    EXPECT_EQ(recordCount.load(), 4u);
    EXPECT_EQ(recordStore().displayed().size(), 4u);
    EXPECT_EQ(firstID(), " DEV-100 ");
    EXPECT_EQ(grid()->gridRowCount(), 5);

    ulumSaveDialog->hide();  // saved or cancelled alike
    ASSERT_TRUE(d.finish());
    EXPECT_EQ(d.result.load(), 0);
    EXPECT_EQ(messages.asked.size(), 1u);
    EXPECT_EQ(recordCount.load(), 6u);
    EXPECT_EQ(grid()->gridRowCount(), 7);
    EXPECT_EQ(firstID(), " NEW-1 ");
    EXPECT_EQ(single().LblSingleRecDeviceID->text(), "NEW-1");
}

TEST_F(HandOver, ASaveDialogAlreadyOpenIsTakenOverForTheOldRecords) {
    download(4);
    MainWindow->tmrClock()->stop();  // the tick comes when the test says
    saveDialogMode = ExportCsvSingle;
    saveDialog()->show();
    ASSERT_EQ(ulumSaveDialog->windowTitle(), "Export To CSV");
    messages.answers = {MsgAnswer::Yes};
    Decoder d(VirtualTester::buildAllRecordsBlock(newRecords(6)));
    ASSERT_TRUE(QTest::qWaitFor([] { return saveDialogRequested.load() == 1; }));

    // Closing the earlier dialog before the request is picked up lets
    // nothing through: the requested dialog has not been shown yet.
    ulumSaveDialog->hide();
    QTest::qWait(300);
    EXPECT_FALSE(d.done.load());
    EXPECT_EQ(recordCount.load(), 4u);

    ulumSaveDialog->show();  // opened again by the user meanwhile
    MainWindow->tmrClockTimer();
    EXPECT_EQ(saveDialogMode.load(), SaveTextAll);
    EXPECT_EQ(ulumSaveDialog->windowTitle(), "Save To Text File");
    EXPECT_EQ(savePending.load(), 1);
    QTest::qWait(300);
    EXPECT_EQ(recordCount.load(), 4u);

    ulumSaveDialog->hide();
    ASSERT_TRUE(d.finish());
    EXPECT_EQ(recordCount.load(), 6u);
}

TEST_F(HandOver, NoReplacesTheRecordsAtOnce) {
    download(4);
    messages.answers = {MsgAnswer::No};
    Decoder d(VirtualTester::buildAllRecordsBlock(newRecords(2)));
    ASSERT_TRUE(d.finish());
    EXPECT_EQ(d.result.load(), 0);
    expectNewDataQuestion();
    EXPECT_FALSE(showing(ulumSaveDialog));
    EXPECT_EQ(saveDialogRequested.load(), 0);
    EXPECT_EQ(savePending.load(), 0);
    EXPECT_EQ(recordCount.load(), 2u);
    EXPECT_EQ(firstID(), " NEW-1 ");
}

TEST_F(HandOver, SingleRecordBlockWithYesShowsTheSaveDialogDirectly) {
    download(4);
    messages.answers = {MsgAnswer::Yes};
    saveDialogMode = ExportCsvAll;
    MainWindow->tmrClock()->stop();  // so that only the direct request can show it
    Decoder d(VirtualTester::buildSingleRecordBlock(makeRecord("ONE-7"), 7));
    ASSERT_TRUE(QTest::qWaitFor([] { return showing(ulumSaveDialog); }));
    expectNewDataQuestion();
    EXPECT_EQ(saveDialogMode.load(), SaveTextAll);
    EXPECT_EQ(saveDialogRequested.load(), 0);
    QTest::qWait(200);
    EXPECT_EQ(recordCount.load(), 4u);
    EXPECT_EQ(firstID(), " DEV-100 ");

    ulumSaveDialog->hide();
    ASSERT_TRUE(d.finish());
    EXPECT_EQ(d.result.load(), 0);
    EXPECT_EQ(recordCount.load(), 1u);
    EXPECT_EQ(recordStore().capacity(), 1u);
    EXPECT_EQ(grid()->gridRowCount(), 2);
    EXPECT_EQ(firstID(), " ONE-7 ");
    EXPECT_EQ(single().ComboChooseRecord->count(), 1);
}

TEST_F(HandOver, FailedDecodingLeavesTheRecordsShownUntouched) {
    download(4);
    recordStore().setSelected(2, true);
    currentRecord = 2;
    std::vector<std::uint8_t> emptySlot = VirtualTester::buildSingleRecordBlock(makeRecord("X"), 7);
    emptySlot[2 + 64 * 6] = 0;  // slot 7's identifier: the slot is empty
    for (const auto& block : {emptySlot, VirtualTester::buildAllRecordsBlock({})}) {
        Decoder d(block);
        ASSERT_TRUE(d.finish());
        EXPECT_EQ(d.result.load(), -1);
    }
    EXPECT_TRUE(messages.asked.empty());  // nothing to ask about
    EXPECT_EQ(recordCount.load(), 4u);
    EXPECT_EQ(currentRecord.load(), 2u);
    EXPECT_EQ(recordStore().record(2).selected, 1);
    EXPECT_EQ(grid()->gridRowCount(), 5);
    EXPECT_EQ(firstID(), " DEV-100 ");
    EXPECT_EQ(dataSaved.load(), 0);
}

TEST_F(HandOver, NewDownloadAfterSortingShowsDownloadOrderUnselectedOnRecordOne) {
    std::vector<TestRecord> records = {makeRecord("C"), makeRecord("A"), makeRecord("B")};
    ASSERT_EQ(MainWindow->presentRecords(records, records.size(), {}), 0);
    MainWindow->BtnSortByIDClick();
    MainWindow->BtnSelectAllClick();
    MainWindow->DataView()->setCurrentIndex(1);
    single().BtnJump5Rec->click();
    ASSERT_EQ(firstID(), " A ");
    markSaved(true);

    Decoder d(VirtualTester::buildAllRecordsBlock(records));
    ASSERT_TRUE(d.finish());
    EXPECT_EQ(d.result.load(), 0);
    EXPECT_EQ(firstID(), " C ");
    EXPECT_EQ(grid()->cellText(1, 3), " B ");
    EXPECT_FALSE(recordStore().anySelected());
    EXPECT_EQ(currentRecord.load(), 0u);
    EXPECT_EQ(single().ComboChooseRecord->currentIndex(), 0);
    EXPECT_EQ(single().LblSingleRecordNum->text(), "1");
    EXPECT_EQ(single().LblSingleRecDeviceID->text(), "C");
    EXPECT_FALSE(single().ChkSelectRecord->isChecked());
}

// Requests the ended event loop never reached are refused when the end is
// marked (the worker goes on at once) and never run; later ones at once.
TEST_F(HandOver, ARequestLeftWhenTheLoopEndsIsRefusedAndNeverRun) {
    std::atomic<int> ran{0};
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        runOnUiThread([&] { ++ran; });
        returned = true;
    });
    // The loop has ended: this thread serves no events from here on.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    setUiShuttingDown();
    for (int i = 0; i < 100 && !returned; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(returned.load()) << "the worker still waits for a loop that has ended";
    while (!returned) QCoreApplication::processEvents();  // never leave it hanging
    worker.join();
    QCoreApplication::processEvents();
    EXPECT_EQ(ran.load(), 0);

    std::thread([&] { runOnUiThread([&] { ++ran; }); }).join();  // a worker asking later
    QCoreApplication::processEvents();
    EXPECT_EQ(ran.load(), 0);
    resetUiHandOversForTest();
}

}  // namespace
