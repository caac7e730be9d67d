// The main window as it opens, its clock, its close guard and start-up
// failure, and the accessible names of its controls.

#include <QAccessible>
#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QStatusBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

#include "app/application.h"
#include "app/listpage.h"
#include "app/messagebox.h"
#include "app/microLUM.h"
#include "app/recordgrid.h"
#include "app/singlepage.h"
#include "app/systemdialogs.h"
#include "device/monitor.h"
#include "help/about.h"
#include "help/ulumHelp.h"
#include "print/ulumPrint.h"
#include "records/recordstore.h"
#include "save/save.h"
#include "tests/gui/guitest.h"
#include "tests/messagecheck.h"
#include "ui_listpage.h"
#include "ui_mainwindow.h"
#include "ui_singlepage.h"

namespace {

using MainWindowAtStart = MainWindowTest;

TEST_F(MainWindowAtStart, WindowFrameStatusBarAndPages) {
    TMainWindow& w = *MainWindow;
    EXPECT_EQ(w.windowTitle(), "LUM Kest");
    EXPECT_EQ(w.width(), 592);
    EXPECT_EQ(w.height() - w.menuBar()->sizeHint().height(), 353);
    EXPECT_EQ(w.minimumSize(), w.maximumSize());  // not resizable
    EXPECT_FALSE(w.windowIcon().isNull());
    EXPECT_EQ(w.windowIcon().availableSizes().value(0), QSize(96, 96));

    EXPECT_EQ(w.statusPanel(0)->text(), "Not Connected");
    EXPECT_EQ(w.statusPanel(0)->width(), 400);
    EXPECT_TRUE(w.statusPanel(1)->alignment() & Qt::AlignRight);
    EXPECT_TRUE(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d$").match(w.statusPanel(1)->text()).hasMatch());
    EXPECT_TRUE(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d$").match(clockText()).hasMatch());
    // The clock is shown whole, inside the window's right edge.
    w.show();
    QLabel* clock = w.statusPanel(1);
    const QRect inWindow(clock->mapTo(&w, QPoint(0, 0)), clock->size());
    EXPECT_LE(inWindow.right(), w.width() - 1);
    EXPECT_GE(clock->contentsRect().width(), clock->fontMetrics().horizontalAdvance(clock->text()));
    EXPECT_EQ(w.tmrClock()->interval(), 500);
    EXPECT_TRUE(w.tmrClock()->isActive());

    QTabWidget* pages = w.DataView();
    ASSERT_EQ(pages->count(), 2);
    EXPECT_EQ(pages->tabText(0), "List View");
    EXPECT_EQ(pages->tabText(1), "Single Record View");
    EXPECT_EQ(pages->currentIndex(), 0);
    EXPECT_EQ(pages->size(), QSize(593, 337));

    // The four secondary windows are built at their first showing, hidden,
    // with their captions.
    for (QWidget* s : std::initializer_list<QWidget*>{ulumSaveDialog, printWindow, helpWindow, frmAbout})
        EXPECT_EQ(s, nullptr);
    EXPECT_EQ(printDialog()->windowTitle(), "Print");
    EXPECT_EQ(helpViewer()->windowTitle(), "Help");
    EXPECT_EQ(aboutBox()->windowTitle(), "About");
    for (QWidget* s : std::initializer_list<QWidget*>{saveDialog(), printWindow, helpWindow, frmAbout}) {
        EXPECT_FALSE(s->isVisible());
        EXPECT_TRUE(s->windowFlags() & Qt::WindowStaysOnTopHint);
    }
}

TEST_F(MainWindowAtStart, MenuItemsCaptionsShortcutsAndStates) {
    Ui::TMainWindow& m = *MainWindow->ui();
    struct Item {
        QAction* action;
        const char* text;
        const char* shortcut;
        bool enabled;
    } items[] = {
        {m.RetrieveData1, "&Download Data", "Ctrl+D", false},
        {m.SaveasCSV1, "&Export To CSV", "Ctrl+E", false},
        {m.SaveAsText1, "&Save As Text", "Ctrl+S", false},
        {m.Print1, "&Print", "Ctrl+P", false},
        {m.ByDateTime1, "By &Time/Date", "Ctrl+T", false},
        {m.ByDeviceID1, "By Device &ID", "Ctrl+I", false},
        {m.Exit1, "E&xit", "Ctrl+X", true},
        {m.Help1, "&Help", "F1", true},
        {m.About2, "&About", "", true},
    };
    for (const Item& i : items) {
        EXPECT_EQ(i.action->text(), i.text);
        EXPECT_EQ(i.action->shortcut().toString(), i.shortcut) << i.text;
        EXPECT_EQ(i.action->isEnabled(), i.enabled) << i.text;
    }
    EXPECT_EQ(m.File1->title(), "&Data");
    EXPECT_TRUE(m.File1->isEnabled());
    EXPECT_EQ(m.S1->title(), "&Sort");
    EXPECT_FALSE(m.S1->isEnabled());
    EXPECT_EQ(m.About1->title(), "&About");
    // Order of the Data menu: four commands, separator, Sort, separator, Exit.
    QList<QAction*> data = m.File1->actions();
    ASSERT_EQ(data.size(), 8);
    EXPECT_TRUE(data[4]->isSeparator());
    EXPECT_EQ(data[5], m.S1->menuAction());
    EXPECT_TRUE(data[6]->isSeparator());
    EXPECT_EQ(data[7], m.Exit1);
    QList<QAction*> about = m.About1->actions();
    ASSERT_EQ(about.size(), 3);
    EXPECT_EQ(about[0], m.Help1);
    EXPECT_TRUE(about[1]->isSeparator());
    EXPECT_EQ(about[2], m.About2);
}

TEST_F(MainWindowAtStart, EveryPageControlAtItsPlaceAndDisabled) {
    Ui::ListPage& l = *MainWindow->listPage()->ui();
    Ui::SinglePage& s = *MainWindow->singlePage()->ui();
    struct Control {
        QWidget* widget;
        QRect bounds;
        const char* caption;
    } controls[] = {
        {l.BtnSortByID, {24, 3, 153, 25}, "Sort Records By Device ID"},
        {l.BtnSortByTimeDate, {184, 3, 153, 25}, "Sort Records By Time/Date"},
        {l.BtnDownloadData, {344, 3, 153, 24}, "Download Data"},
        {l.BtnClearAllSelected, {8, 283, 103, 25}, "Clear All Selected"},
        {l.BtnSelectAll, {118, 283, 103, 25}, "Select All"},
        {l.BtnSaveSelected, {228, 283, 103, 25}, "Save Selected"},
        {l.BtnPrintSelected, {338, 283, 103, 25}, "Print Selected"},
        {s.LblSingleRecordNum, {104, 22, 23, 24}, nullptr},
        {s.ComboChooseRecord, {152, 24, 89, 22}, nullptr},
        {s.BtnBack5Rec, {248, 24, 24, 23}, nullptr},
        {s.BtnPrevRecord, {272, 24, 24, 23}, nullptr},
        {s.BtnNextRecord, {296, 24, 24, 23}, nullptr},
        {s.BtnJump5Rec, {320, 24, 24, 23}, nullptr},
        {s.BtnSaveSingleRecord, {8, 224, 121, 41}, "Save Record"},
        {s.BtnPrintSingleRecord, {144, 224, 113, 41}, "Print Record"},
        {s.ChkSelectRecord, {272, 236, 145, 17}, "Select Record"},
    };
    for (const Control& c : controls) {
        EXPECT_FALSE(c.widget->isEnabled()) << c.widget->objectName().toStdString();
        EXPECT_EQ(c.widget->geometry(), c.bounds) << c.widget->objectName().toStdString();
        if (auto* b = qobject_cast<QAbstractButton*>(c.widget); b && c.caption) {
            EXPECT_EQ(b->text(), c.caption);
        }
    }
    EXPECT_FALSE(l.RecordList->isEnabled());
    EXPECT_EQ(l.RecordList->rowCount(), 0);
    EXPECT_FALSE(l.RecordList->showGrid());
    EXPECT_TRUE(s.Label1->isEnabled());
    EXPECT_EQ(s.Label1->text(), "Record #");
    EXPECT_TRUE(s.Panel1->isEnabled());
    EXPECT_EQ(s.Panel1->geometry(), QRect(0, 64, 577, 145));
    EXPECT_EQ(s.BtnBack5Rec->toolTip(), "Jump 5 Records Back");
    EXPECT_EQ(s.BtnPrevRecord->toolTip(), "Go To The Previous Record");
    EXPECT_EQ(s.BtnNextRecord->toolTip(), "Go To The Next Record");
    EXPECT_EQ(s.BtnJump5Rec->toolTip(), "Jump 5 Records Ahead");
    EXPECT_EQ(s.ComboChooseRecord->toolTip(), "Select The Record Of Interest");
    EXPECT_EQ(s.BtnJump5Rec->iconSize(), QSize(19, 16));
    EXPECT_EQ(s.BtnNextRecord->iconSize(), QSize(10, 16));
    EXPECT_EQ(s.Label1->font().pixelSize(), 21);
    EXPECT_TRUE(s.Label1->font().bold());
    EXPECT_EQ(s.Label6->text(), "Occl. Pressure:");
    EXPECT_EQ(s.Label6->font().pixelSize(), 19);
    EXPECT_EQ(s.LblSingleRecOcclPressure->font().pixelSize(), 16);
    EXPECT_EQ(MainWindow->headerFont.family(), "Arial");
    EXPECT_EQ(MainWindow->headerFont.pointSize(), 10);
    EXPECT_TRUE(MainWindow->headerFont.bold());
    EXPECT_TRUE(MainWindow->numberColumnFont.bold());
    EXPECT_FALSE(MainWindow->plainFont.bold());
}

TEST_F(MainWindowAtStart, EveryControlHasAnAccessibleName) {
    QList<QWidget*> all = MainWindow->findChildren<QWidget*>();
    int checked = 0;
    for (QWidget* w : all) {
        if (!qobject_cast<QAbstractButton*>(w) && !qobject_cast<QComboBox*>(w) &&
            !qobject_cast<QAbstractItemView*>(w) && !qobject_cast<QTabWidget*>(w))
            continue;
        // Qt's own inner parts (headers, list popups) have no name of ours.
        if (w->objectName().isEmpty() || w->objectName().startsWith("qt_")) continue;
        QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(w);
        ASSERT_NE(iface, nullptr);
        EXPECT_FALSE(iface->text(QAccessible::Name).trimmed().isEmpty())
            << w->metaObject()->className() << " " << w->objectName().toStdString();
        ++checked;
    }
    EXPECT_GE(checked, 15);
    Ui::SinglePage& s = *MainWindow->singlePage()->ui();
    EXPECT_EQ(s.BtnJump5Rec->accessibleName(), "Jump 5 Records Ahead");
    EXPECT_EQ(s.ComboChooseRecord->accessibleName(), "Select The Record Of Interest");
}

using ClockTimer = MainWindowTest;

TEST_F(ClockTimer, SaveRequestOpensTheSaveDialogInSaveTextAll) {
    saveDialogMode = ExportCsvAll;
    saveDialogRequested = 1;
    MainWindow->tmrClockTimer();
    EXPECT_EQ(saveDialogRequested.load(), 0);
    EXPECT_EQ(saveDialogMode.load(), SaveTextAll);
    EXPECT_TRUE(ulumSaveDialog->isVisible());
    EXPECT_EQ(savePending.load(), 1);
    ulumSaveDialog->hide();
    EXPECT_EQ(savePending.load(), 0);  // releases a waiting command thread
}

TEST_F(ClockTimer, OtherRequestValuesAreDiscarded) {
    saveDialogRequested = 2;
    MainWindow->tmrClockTimer();
    EXPECT_EQ(saveDialogRequested.load(), 0);
    EXPECT_FALSE(showing(ulumSaveDialog));
    EXPECT_EQ(saveDialogMode.load(), ExportCsvAll);
}

TEST_F(ClockTimer, RunningTimerPicksUpTheRequestWithinATick) {
    saveDialogRequested = 1;
    EXPECT_TRUE(QTest::qWaitFor([] { return showing(ulumSaveDialog); }, 2000));
    EXPECT_EQ(saveDialogMode.load(), SaveTextAll);
}

using Closing = MainWindowTest;

TEST_F(Closing, SavedDataClosesWithoutAQuestion) {
    MainWindow->show();
    EXPECT_TRUE(MainWindow->close());
    EXPECT_TRUE(messages.asked.empty());
    EXPECT_EQ(monitorStop.load(), 1);
}

TEST_F(Closing, UnsavedDataAsksNoKeepsTheWindowYesCloses) {
    MainWindow->show();
    dataSaved = 0;
    messages.answers = {MsgAnswer::No};
    EXPECT_FALSE(MainWindow->close());
    ASSERT_EQ(messages.asked.size(), 1u);
    expectMessage(messages.asked[0], "There is unsaved data.\r\rAre you sure you want to exit?",
                  "Unsaved Data", MsgIcon::Warning, MsgButtons::YesNo, MsgAnswer::No);
    EXPECT_TRUE(MainWindow->isVisible());
    EXPECT_EQ(monitorStop.load(), 0);  // the tester is still watched

    messages.answers = {MsgAnswer::Yes};
    EXPECT_TRUE(MainWindow->close());
    EXPECT_FALSE(MainWindow->isVisible());
    EXPECT_EQ(monitorStop.load(), 1);
}

TEST_F(Closing, CtrlXBehavesExactlyLikeClosing) {
    MainWindow->show();
    QApplication::setActiveWindow(MainWindow);
    ASSERT_TRUE(QTest::qWaitForWindowActive(MainWindow));
    dataSaved = 0;
    messages.answers = {MsgAnswer::No};
    QTest::keyClick(MainWindow, Qt::Key_X, Qt::ControlModifier);
    ASSERT_EQ(messages.asked.size(), 1u);
    EXPECT_EQ(messages.asked[0].caption, "Unsaved Data");
    EXPECT_TRUE(MainWindow->isVisible());
    messages.answers = {MsgAnswer::Yes};
    QTest::keyClick(MainWindow, Qt::Key_X, Qt::ControlModifier);
    EXPECT_FALSE(MainWindow->isVisible());
}

// The real boxes: Enter gives the answer that keeps the data, whatever the
// style's default, and Escape and the close box answer "Unsaved Data" with
// No but leave "New Data" up; once a box closes, the program's window that
// had the focus has it again (the save window after "File Error", though its
// file dialog had the focus last), or the main window when another had it.
TEST_F(Closing, RealBoxesDefaultToKeepingTheDataAndGiveTheFocusBack) {
    installMessageBoxes();
    bool stayed = false;  // the box was still up for Enter
    auto pressOnNextBox = [&stayed](bool escapeFirst) {
        QTimer::singleShot(0, [&stayed, escapeFirst] {
            QTRY_VERIFY(qobject_cast<QMessageBox*>(QApplication::activeModalWidget()));
            QWidget* box = QApplication::activeModalWidget();
            if (escapeFirst) {
                QTest::keyClick(box, Qt::Key_Escape);
                box->close();
            }
            stayed = box->isVisible();
            if (stayed) QTest::keyClick(box, Qt::Key_Return);
        });
    };
    auto active = [](QWidget* w) {
        return QTest::qWaitFor([w] { return QApplication::activeWindow() == w; }, 2000);
    };
    download(2);
    int fileAsks = 0;  // a file dialog that takes the focus, then names an unwritable file
    SaveFileHandler previous = setSaveFileHandler([&](const SaveFileRequest&) {
        ++fileAsks;
        QDialog files;
        files.show();
        files.activateWindow();
        EXPECT_TRUE(active(&files));
        pressOnNextBox(false);
        return QStringLiteral("/dev/null/records.txt");
    });
    QWidget testerWindow;
    MainWindow->show();
    const struct {
        QWidget* before;  // the window active when the box comes
        int ask;          // 0 "Unsaved Data", 1 "New Data", 2 a save ending in "File Error"
        bool escape;      // Escape and the close box tried first
    } rows[] = {{&testerWindow, 0, false}, {&testerWindow, 0, true}, {&testerWindow, 1, false},
                {&testerWindow, 1, true},  {saveDialog(), 1, false}, {saveDialog(), 2, false}};
    for (const auto& r : rows) {
        r.before->show();
        r.before->activateWindow();
        ASSERT_TRUE(active(r.before));
        if (r.ask == 0) {
            pressOnNextBox(r.escape);
            dataSaved = 0;
            EXPECT_FALSE(MainWindow->close());
            EXPECT_EQ(stayed, !r.escape);  // Escape answered No
        } else if (r.ask == 1) {
            pressOnNextBox(r.escape);
            EXPECT_EQ(showMessage(MsgId::NewData, "?", "New Data", MsgIcon::Warning, MsgButtons::YesNo, true,
                                  MsgAnswer::Yes, MsgEscape::Nothing),
                      MsgAnswer::Yes);
            EXPECT_TRUE(stayed);
        } else {
            ulumSaveDialog->findChild<QPushButton*>(QStringLiteral("btnSave"))->click();
            ASSERT_TRUE(active(ulumSaveDialog));
            ASSERT_NE(QApplication::focusWidget(), nullptr);
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);  // tries again
            EXPECT_EQ(fileAsks, 2);
        }
        EXPECT_TRUE(active(r.before == ulumSaveDialog ? r.before : MainWindow));
    }
    setSaveFileHandler(previous);
    // Escape closes the save window and gives the main window the focus.
    QTest::keyClick(ulumSaveDialog, Qt::Key_Escape);
    EXPECT_FALSE(ulumSaveDialog->isVisible());
    EXPECT_TRUE(active(MainWindow));
}

TEST_F(Closing, MonitorThatCannotStartEndsTheProgramWithMinusOne) {
    delete MainWindow;
    monitorResult = -1;
    new TMainWindow;
    ASSERT_EQ(messages.asked.size(), 1u);
    EXPECT_EQ(messages.asked[0].text,
              "Unable to start USB monitoring thread!\r\rOperating system is out of "
              "memory!\r\rExiting!");
    EXPECT_EQ(messages.asked[0].caption, "Memmory Error!");
    EXPECT_EQ(messages.asked[0].icon, MsgIcon::Error);
    EXPECT_EQ(exitCode, -1);
}

}  // namespace
