#include "tests/gui/guitest.h"

#include "app/application.h"
#include "app/microLUM.h"
#include "device/monitor.h"
#include "device/usbcomm.h"
#include "help/about.h"
#include "help/ulumHelp.h"
#include "print/ulumPrint.h"
#include "records/recordstore.h"
#include "save/save.h"
#include "tests/core/records.h"

int MainWindowTest::exitCode = 0;
long MainWindowTest::monitorResult = 1;

void MainWindowTest::SetUp() {
    resetSharedStateForTest();
    LinkState = LinkIdle;
    monitorStop = 0;
    exitCode = 0;
    monitorResult = 1;
    previousClock = setClock(&clock);
    TMainWindow::startMonitor = [] { return monitorResult; };
    TMainWindow::exitProcess = [](int code) { exitCode = code; };
    // The help viewer reads the help shipped in the source tree.
    ThelpWindow::helpFolder = [] { return std::string(LUMKEST_HELP_TEXT_DIR); };
    createWindows();
}

void MainWindowTest::TearDown() {
    for (QWidget* w : std::initializer_list<QWidget*>{printWindow, helpWindow, frmAbout,
                                                      ulumSaveDialog, MainWindow})
        delete w;
    printWindow = nullptr;
    helpWindow = nullptr;
    frmAbout = nullptr;
    ulumSaveDialog = nullptr;
    setClock(previousClock);
    resetSharedStateForTest();
    LinkState = LinkIdle;
    monitorStop = 0;
}

void MainWindowTest::download(int count) {
    std::vector<TestRecord> records;
    const char* dates[] = {"29 Dec 2003", "5 Jun 2004", "30 Jan 2004", "14 Feb 2005"};
    const char units[] = {'p', 'k', 'b', 'x'};
    for (int i = 0; i < count; ++i)
        records.push_back(makeRecord("DEV-" + std::to_string(100 + i), dates[i % 4],
                                     i % 2 ? "09:15" : "18:34", units[i % 4]));
    ASSERT_EQ(MainWindow->presentRecords(records, records.size(), {}), 0);
}
