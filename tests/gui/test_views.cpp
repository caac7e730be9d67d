// The list page, the single record page, sorting from the main window, and
// the commands with their presets and enablement.

#include <QAbstractItemView>
#include <QAccessible>
#include <QAction>
#include <QComboBox>
#include <QFontMetrics>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QScrollBar>
#include <QTabWidget>
#include <QTest>
#include <QWheelEvent>
#include <cstring>
#include <functional>

#include "app/listpage.h"
#include "app/microLUM.h"
#include "app/recordgrid.h"
#include "app/singlepage.h"
#include "device/usbcomm.h"
#include "help/about.h"
#include "help/ulumHelp.h"
#include "print/ulumPrint.h"
#include "records/recordstore.h"
#include "save/save.h"
#include "tests/core/records.h"
#include "tests/gui/guitest.h"
#include "ui_listpage.h"
#include "ui_mainwindow.h"
#include "ui_singlepage.h"

namespace {

class ViewTest : public MainWindowTest {
protected:
    Ui::ListPage& list() { return *MainWindow->listPage()->ui(); }
    Ui::SinglePage& single() { return *MainWindow->singlePage()->ui(); }
    Ui::TMainWindow& menu() { return *MainWindow->ui(); }
    RecordGrid* grid() { return MainWindow->listPage()->grid(); }

    void present(const std::vector<TestRecord>& records) {
        ASSERT_EQ(MainWindow->presentRecords(records, records.size(), {}), 0);
    }
    void showActive() {
        MainWindow->show();
        QApplication::setActiveWindow(MainWindow);
        ASSERT_TRUE(QTest::qWaitForWindowActive(MainWindow));
    }
    QPoint cellCentre(int row, int column = 3) {
        return grid()->visualRect(grid()->model()->index(row - 1, column)).center();
    }
    void clickRow(int row, int column = 3) {
        QTest::mouseClick(grid()->viewport(), Qt::LeftButton, {}, cellCentre(row, column));
    }
    bool shownSelected(int row) {
        QColor highlight = grid()->palette().color(QPalette::Active, QPalette::Highlight);
        QColor highlightText = grid()->palette().color(QPalette::Active, QPalette::HighlightedText);
        int selectedColumns = 0;
        for (int c = 1; c < 10; ++c) {
            RecordGrid::Colours k = grid()->coloursFor(c, row);
            if (k.background == highlight && k.text == highlightText) {
                ++selectedColumns;
            } else {
                EXPECT_EQ(k.background, QColor(Qt::white)) << "row " << row << " column " << c;
                EXPECT_EQ(k.text, QColor(Qt::black)) << "row " << row << " column " << c;
            }
        }
        EXPECT_TRUE(selectedColumns == 0 || selectedColumns == 9) << "row " << row;
        RecordGrid::Colours number = grid()->coloursFor(0, row);
        EXPECT_EQ(number.background, QColor(Qt::white));
        EXPECT_EQ(number.text, QColor(Qt::black));
        return selectedColumns == 9;
    }
    std::vector<int> selectedRows() {
        std::vector<int> rows;
        for (unsigned i = 0; i < recordCount; ++i) {
            bool flag = recordStore().record(i).selected == 1;
            EXPECT_EQ(shownSelected(static_cast<int>(i) + 1), flag) << "row " << i + 1;
            // What assistive technology reads as the selected rows.
            EXPECT_EQ(grid()->selectionModel()->isRowSelected(static_cast<int>(i)), flag)
                << "row " << i + 1;
            if (flag) rows.push_back(static_cast<int>(i) + 1);
        }
        return rows;
    }
    void wheel(int steps) { wheelBy(120 * steps); }
    void wheelBy(int angle) {
        QPoint at = cellCentre(1);
        QWheelEvent event(at, grid()->viewport()->mapToGlobal(at), QPoint(), QPoint(0, angle),
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(grid()->viewport(), &event);
    }
    QString singleValues() {
        Ui::SinglePage& s = single();
        QStringList texts;
        for (QLabel* l :
             {s.LblSingleRecordNum, s.LblSingleRecDeviceID, s.LblSingleRecTestTime,
              s.LblSingleRecTestDate, s.LblSingleRecFlowRate, s.LblSingleRecVolume,
              s.LblSingleRecOcclPressure, s.LblSingleRecOPPeakTime, s.LblSingleRecTestDuration})
            texts << l->text();
        return texts.join('|');
    }
};

// ---- List page ----

using ListView = ViewTest;

TEST_F(ListView, HeaderAndCellTextsOfTheTenColumns) {
    download(4);  // units p, k, b and an unknown code
    EXPECT_TRUE(grid()->isEnabled());
    EXPECT_EQ(grid()->gridRowCount(), 5);
    EXPECT_FALSE(grid()->horizontalHeader()->isHidden());
    EXPECT_EQ(grid()->gridLineWidth(), 1);
    const char* headers[] = {" # ",         " Device ID ",   " Date ",          " Time ",
                             " Flow Rate ", " Volume ",      " Test Duration ", " Pressure ",
                             " Pressure ",  " OP Peak Time "};
    const char* row1[] = {" 1 ",     " DEV-100 ",  " 29 Dec 2003 ", " 18:34 ",    " 5.183 ",
                          " 5.183 ", " 88:48:39 ", " 376 mmHg ",    " 7.27 PSI ", " 16:32 "};
    for (int c = 0; c < 10; ++c) {
        EXPECT_EQ(grid()->cellText(c, 0), headers[c]) << c;
        EXPECT_EQ(grid()->cellText(c, 1), row1[c]) << c;
    }
    EXPECT_EQ(grid()->cellText(8, 2), " 7.27 kPa ");
    EXPECT_EQ(grid()->cellText(8, 3), " 7.27 Bar ");
    EXPECT_EQ(grid()->cellText(8, 4), " 7.27 mmHg ");
    EXPECT_EQ(grid()->cellText(0, 4), " 4 ");
    EXPECT_EQ(grid()->cellText(3, 2), " 09:15 ");
}

TEST_F(ListView, OneRecordRowTogglesOnEachClickButItsNumberCellNeverColours) {
    download(1);
    showActive();
    EXPECT_EQ(grid()->gridRowCount(), 2);
    EXPECT_EQ(grid()->rowCount(), 1);
    EXPECT_FALSE(shownSelected(1));

    clickRow(1);
    EXPECT_EQ(recordStore().record(0).selected, 1);
    EXPECT_TRUE(shownSelected(1));
    // What reaches the screen: the flow cell's blank left part in the
    // selection colour, the number cell white.
    QImage image = grid()->viewport()->grab().toImage();
    QRect flow = grid()->visualRect(grid()->model()->index(0, 4));
    QRect number = grid()->visualRect(grid()->model()->index(0, 0));
    EXPECT_EQ(image.pixelColor(flow.left() + 1, flow.center().y()),
              grid()->palette().color(QPalette::Active, QPalette::Highlight));
    EXPECT_EQ(image.pixelColor(number.left() + 1, number.center().y()), QColor(Qt::white));
    // The focused cell has a plain 2-pixel outline: on a selected row in the
    // highlighted text colour, else in the highlight colour.
    auto outlined = [&](int column, QPalette::ColorRole role) {
        const QRect cell = grid()->visualRect(grid()->model()->index(0, column));
        const QColor colour = grid()->palette().color(QPalette::Active, role);
        return image.pixelColor(cell.topLeft()) == colour &&
               image.pixelColor(cell.bottomRight() - QPoint(1, 1)) == colour;
    };
    EXPECT_TRUE(outlined(3, QPalette::HighlightedText));

    clickRow(1, 0);  // the number cell belongs to the row as well
    EXPECT_EQ(recordStore().record(0).selected, 0);
    EXPECT_FALSE(shownSelected(1));
    image = grid()->viewport()->grab().toImage();
    EXPECT_EQ(image.pixelColor(flow.left() + 1, flow.center().y()), QColor(Qt::white));
    EXPECT_TRUE(outlined(0, QPalette::Highlight));
}

TEST_F(ListView, SelectAllAndClearAllColourEveryRowAndFocusThePages) {
    download(6);
    showActive();
    list().BtnSelectAll->click();
    EXPECT_EQ(selectedRows(), (std::vector<int>{1, 2, 3, 4, 5, 6}));
    EXPECT_TRUE(MainWindow->DataView()->hasFocus());
    grid()->setFocus();
    list().BtnClearAllSelected->click();
    EXPECT_TRUE(selectedRows().empty());
    EXPECT_TRUE(MainWindow->DataView()->hasFocus());
}

TEST_F(ListView, KeysAndWheelStepsToggleTheRowTheyLandOnProgramMovesDoNot) {
    download(8);
    showActive();
    grid()->setFocus();
    grid()->setCurrentGridRow(2);
    grid()->setTopGridRow(2);
    EXPECT_EQ(grid()->selectedGridRow(), 2);
    EXPECT_TRUE(selectedRows().empty());

    QTest::keyClick(grid(), Qt::Key_Down);
    QTest::keyClick(grid(), Qt::Key_Down);
    EXPECT_EQ(grid()->selectedGridRow(), 4);
    EXPECT_EQ(selectedRows(), (std::vector<int>{3, 4}));

    wheel(-1);  // one step down
    EXPECT_EQ(grid()->selectedGridRow(), 5);
    EXPECT_EQ(selectedRows(), (std::vector<int>{3, 4, 5}));
    QTest::keyClick(grid(), Qt::Key_Up);
    EXPECT_EQ(selectedRows(), (std::vector<int>{3, 5}));

    // A key that does not move the row (already at the top) toggles nothing.
    grid()->setCurrentGridRow(1);
    QTest::keyClick(grid(), Qt::Key_Up);
    wheel(1);
    EXPECT_EQ(selectedRows(), (std::vector<int>{3, 5}));

    // Typing moves nothing (no type-ahead search through the rows); its two
    // blanks are Spaces, each toggling the current row as a click does.
    QTest::keyClicks(grid(), "  1a");
    EXPECT_EQ(grid()->selectedGridRow(), 1);
    EXPECT_EQ(selectedRows(), (std::vector<int>{3, 5}));
    QTest::keyClick(grid(), Qt::Key_Space);
    EXPECT_EQ(selectedRows(), (std::vector<int>{1, 3, 5}));
    QTest::keyClick(grid(), Qt::Key_Space);
    EXPECT_EQ(selectedRows(), (std::vector<int>{3, 5}));

    // Fine wheel travel adds up to whole steps; a two-step event toggles
    // both rows it passes.
    for (int i = 0; i < 3; ++i) wheelBy(-40);
    EXPECT_EQ(grid()->selectedGridRow(), 2);
    wheel(-2);
    EXPECT_EQ(grid()->selectedGridRow(), 4);
    EXPECT_EQ(selectedRows(), (std::vector<int>{2, 4, 5}));
}

TEST_F(ListView, ClickIsIgnoredWhileTheSingleRecordPageIsActive) {
    download(3);
    grid()->setCurrentGridRow(2);
    MainWindow->DataView()->setCurrentIndex(1);
    MainWindow->RecordListClick();
    EXPECT_EQ(recordStore().record(1).selected, 0);
    MainWindow->DataView()->setCurrentIndex(0);
    MainWindow->RecordListClick();
    EXPECT_EQ(recordStore().record(1).selected, 1);
}

TEST_F(ListView, DoubleClickTogglesOnceAndOpensTheRecord) {
    download(8);
    showActive();
    // As the window system delivers it: press and release, then the double click.
    clickRow(5);
    QTest::mouseDClick(grid()->viewport(), Qt::LeftButton, {}, cellCentre(5));
    EXPECT_EQ(selectedRows(), (std::vector<int>{5}));
    EXPECT_EQ(currentRecord.load(), 4u);
    EXPECT_EQ(MainWindow->DataView()->currentIndex(), 1);
    EXPECT_EQ(single().ComboChooseRecord->currentIndex(), 4);
    EXPECT_EQ(single().ComboChooseRecord->currentText(), " 5");
    EXPECT_EQ(single().LblSingleRecordNum->text(), "5");
    EXPECT_EQ(single().LblSingleRecDeviceID->text(), "DEV-104");
    EXPECT_TRUE(single().ChkSelectRecord->isChecked());

    // Enter opens the current row as a double click does.
    MainWindow->DataView()->setCurrentIndex(0);
    grid()->setFocus();
    grid()->setCurrentGridRow(7);
    QTest::keyClick(grid(), Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_EQ(single().LblSingleRecDeviceID->text(), "DEV-106");
    EXPECT_EQ(MainWindow->DataView()->currentIndex(), 1);
    EXPECT_EQ(selectedRows(), (std::vector<int>{5}));
}

TEST_F(ListView, NumberColumnStaysInViewWhenTheGridScrollsSideways) {
    download(6);
    showActive();
    clickRow(2);
    QTest::qWait(20);
    auto numberStrip = [this](QWidget* w) {
        return w->grab().toImage().copy(0, 0, grid()->columnWidth(0), w->height());
    };
    const QImage cells = numberStrip(grid()->viewport());
    const QImage header = numberStrip(grid()->horizontalHeader()->viewport());
    QScrollBar* sideways = grid()->horizontalScrollBar();
    ASSERT_GT(sideways->maximum(), 0) << "the fitted columns overflow the grid";
    sideways->setValue(sideways->maximum());
    QTest::qWait(20);
    EXPECT_EQ(numberStrip(grid()->viewport()), cells);
    EXPECT_EQ(numberStrip(grid()->horizontalHeader()->viewport()), header);

    // A click on the number column still toggles the row it is on.
    QTest::mouseClick(grid()->viewport(), Qt::LeftButton, {}, QPoint(4, cellCentre(4).y()));
    EXPECT_EQ(selectedRows(), (std::vector<int>{2, 4}));
}

TEST_F(ListView, RowsAndColumnsFitTheirTextsInTheFontsTheyAreDrawnIn) {
    EXPECT_EQ(grid()->fontFor(0, 1), MainWindow->numberColumnFont);
    EXPECT_EQ(grid()->fontFor(4, 0), MainWindow->headerFont);
    EXPECT_EQ(grid()->fontFor(4, 1), grid()->font());

    auto check = [this] {
        const int rows = grid()->gridRowCount();
        int dataHeight = 0;
        for (int c = 0; c < 10; ++c) {
            int widest = 0;
            for (int r = 0; r < rows; ++r) {
                QFontMetrics m(grid()->fontFor(c, r));
                widest = std::max(widest, m.horizontalAdvance(grid()->cellText(c, r)));
                if (r > 0) dataHeight = std::max(dataHeight, m.height());
            }
            EXPECT_EQ(grid()->columnWidth(c), widest + 5 + 1) << "column " << c;
        }
        for (int r = 0; r < grid()->rowCount(); ++r)
            EXPECT_EQ(grid()->rowHeight(r), dataHeight + 2);
        EXPECT_EQ(grid()->horizontalHeader()->height(),
                  QFontMetrics(MainWindow->headerFont).height() + 2);
    };
    download(4);
    EXPECT_EQ(gridMeasured.load(), 0);
    grid()->fitIfNeeded();
    EXPECT_EQ(gridMeasured.load(), 1);
    check();

    // The next download refits: a full-width identifier widens its column.
    dataSaved = 1;
    const int before = grid()->columnWidth(1);
    present({makeRecord("1234567890ABCDEF"), makeRecord("X")});
    EXPECT_EQ(gridMeasured.load(), 0);
    showActive();  // painting fits the grid
    EXPECT_EQ(gridMeasured.load(), 1);
    EXPECT_GT(grid()->columnWidth(1), before);
    EXPECT_EQ(grid()->cellText(1, 1), " 1234567890ABCDEF ");
    check();
}

TEST_F(ListView, DisabledGridDrawsGreyTextOnWhite) {
    ASSERT_FALSE(grid()->isEnabled());
    RecordGrid::Colours k = grid()->coloursFor(2, 1);
    EXPECT_EQ(k.background, QColor(Qt::white));
    EXPECT_EQ(k.text, grid()->palette().color(QPalette::Disabled, QPalette::Text));
    EXPECT_NE(k.text, QColor(Qt::black));
    // The empty grid at start is all white.
    MainWindow->show();
    QImage empty = grid()->viewport()->grab().toImage();
    EXPECT_EQ(empty.pixelColor(empty.width() / 2, empty.height() / 2), QColor(Qt::white));
    EXPECT_EQ(empty.pixelColor(2, 2), QColor(Qt::white));
}

// ---- Single record page ----

using SingleRecordView = ViewTest;

TEST_F(SingleRecordView, BeforeDataThePageShowsEmptyValues) {
    MainWindow->DataView()->setCurrentIndex(1);
    EXPECT_EQ(singleValues(), "||||||||");
    EXPECT_FALSE(single().ChkSelectRecord->isChecked());
    // A screen reader reads an empty value as empty, not as its caption.
    Ui::SinglePage& s = single();
    for (QLabel* l : {s.LblSingleRecDeviceID, s.LblSingleRecTestTime, s.LblSingleRecTestDate,
                      s.LblSingleRecFlowRate, s.LblSingleRecVolume, s.LblSingleRecOcclPressure,
                      s.LblSingleRecOPPeakTime, s.LblSingleRecTestDuration}) {
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(l);
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(a->text(QAccessible::Name), "") << l->objectName().toStdString();
    }
}

TEST_F(SingleRecordView, ShowsTheValuesOfTheCurrentRecord) {
    download(4);
    EXPECT_EQ(single().ComboChooseRecord->count(), 4);
    EXPECT_EQ(single().ComboChooseRecord->itemText(3), " 4");
    EXPECT_EQ(singleValues().section('|', 0, 1), "1|DEV-100");  // refreshed by the hand-over
    single().BtnNextRecord->click();
    single().BtnNextRecord->click();
    EXPECT_EQ(singleValues(),
              "3|DEV-102|18:34 (hh:mm)|30 Jan 2004|5.183 ml/hr|5.183 ml|"
              "376 mmHg (7.27 Bar)|16:32 (mm:ss)|88:48:39 (hh:mm:ss)");
    single().BtnNextRecord->click();
    EXPECT_EQ(single().LblSingleRecOcclPressure->text(), "376 mmHg (7.27 mmHg)");
}

TEST_F(SingleRecordView, ValueLabelsShowTheirWholeTextWithoutCoveringTheirNeighbours) {
    std::vector<TestRecord> records;
    for (int i = 0; i < 123; ++i) records.push_back(makeRecord("DEV"));
    std::strcpy(records[121].deviceID, "PUMP-2004-000117");
    std::strcpy(records[122].deviceID, "WWWWWWWWWWWWWWWW");
    present(records);
    Ui::SinglePage& s = single();
    auto wholeText = [](QLabel* l) {
        return QFontMetrics(l->font()).horizontalAdvance(l->text()) <= l->width();
    };
    for (unsigned index : {0u, 121u, 122u}) {
        currentRecord = index;
        MainWindow->singlePage()->refresh();
        SCOPED_TRACE(s.LblSingleRecDeviceID->text().toStdString());
        for (QLabel* l : {s.LblSingleRecordNum, s.LblSingleRecDeviceID, s.LblSingleRecTestDuration,
                          s.LblSingleRecOcclPressure})
            EXPECT_TRUE(wholeText(l)) << l->objectName().toStdString();
        // A gap stays before the neighbouring control.
        EXPECT_LT(s.LblSingleRecordNum->geometry().right(), s.ComboChooseRecord->x() - 2);
        EXPECT_LT(s.LblSingleRecDeviceID->geometry().right(), s.Label8->x() - 2);
    }
    EXPECT_EQ(s.LblSingleRecordNum->text(), "123");
    EXPECT_LT(s.LblSingleRecDeviceID->font().pixelSize(), 16);  // drawn smaller to fit
    currentRecord = 0;
    MainWindow->singlePage()->refresh();
    EXPECT_EQ(s.LblSingleRecDeviceID->font().pixelSize(), 16);  // and back at its size
}

TEST_F(SingleRecordView, StepButtonsClampAtBothEnds) {
    download(10);
    struct Case {
        unsigned from;
        QPushButton* button;
        unsigned to;
    } cases[] = {
        {7, single().BtnJump5Rec, 9},   {3, single().BtnJump5Rec, 8},
        {2, single().BtnBack5Rec, 0},   {5, single().BtnBack5Rec, 0},
        {9, single().BtnBack5Rec, 4},   {9, single().BtnNextRecord, 9},
        {4, single().BtnNextRecord, 5}, {0, single().BtnPrevRecord, 0},
        {6, single().BtnPrevRecord, 5},
    };
    for (const Case& k : cases) {
        currentRecord = k.from;
        MainWindow->singlePage()->selectChooserEntry(static_cast<int>(k.from));
        k.button->click();
        EXPECT_EQ(currentRecord.load(), k.to)
            << k.from << " " << k.button->objectName().toStdString();
        EXPECT_EQ(single().ComboChooseRecord->currentIndex(), static_cast<int>(k.to));
        EXPECT_EQ(single().LblSingleRecordNum->text(), QString::number(k.to + 1));
    }

    dataSaved = 1;
    present({makeRecord("ONLY")});
    for (QPushButton* b : {single().BtnNextRecord, single().BtnJump5Rec, single().BtnPrevRecord,
                           single().BtnBack5Rec}) {
        b->click();
        EXPECT_EQ(currentRecord.load(), 0u);
        EXPECT_EQ(single().LblSingleRecordNum->text(), "1");
    }
}

TEST_F(SingleRecordView, ChooserIgnoresTypingArrowsShowAndKeepFocusMousePickFocusesThePages) {
    download(10);
    showActive();
    MainWindow->DataView()->setCurrentIndex(1);
    QComboBox* chooser = single().ComboChooseRecord;
    chooser->setFocus();
    QTest::keyClicks(chooser, "7");
    QTest::keyClicks(chooser, " 3");
    EXPECT_EQ(chooser->currentIndex(), 0);
    EXPECT_EQ(currentRecord.load(), 0u);
    EXPECT_EQ(single().LblSingleRecordNum->text(), "1");

    QTest::keyClick(chooser, Qt::Key_Down);
    QTest::keyClick(chooser, Qt::Key_Down);
    EXPECT_EQ(currentRecord.load(), 2u);
    EXPECT_EQ(single().LblSingleRecDeviceID->text(), "DEV-102");
    EXPECT_TRUE(chooser->hasFocus());
    QTest::keyClick(chooser, Qt::Key_Up);
    EXPECT_EQ(currentRecord.load(), 1u);
    EXPECT_EQ(single().LblSingleRecordNum->text(), "2");
    EXPECT_TRUE(chooser->hasFocus());
    // Left and right step through the entries too.
    QTest::keyClick(chooser, Qt::Key_Right);
    EXPECT_EQ(currentRecord.load(), 2u);
    QTest::keyClick(chooser, Qt::Key_Left);
    QTest::keyClick(chooser, Qt::Key_Left);
    EXPECT_EQ(currentRecord.load(), 0u);
    EXPECT_EQ(chooser->currentIndex(), 0);
    EXPECT_EQ(single().LblSingleRecordNum->text(), "1");
    EXPECT_TRUE(chooser->hasFocus());

    // A pick from the list (no key since the last change).
    chooser->setCurrentIndex(6);
    emit chooser->activated(6);
    EXPECT_EQ(currentRecord.load(), 6u);
    EXPECT_EQ(single().LblSingleRecordNum->text(), "7");
    EXPECT_TRUE(MainWindow->DataView()->hasFocus());
}

TEST_F(SingleRecordView, DroppedDownListShowsEachMoveIgnoresOtherKeysAndClosesOnEscape) {
    download(10);
    showActive();
    MainWindow->DataView()->setCurrentIndex(1);
    QComboBox* chooser = single().ComboChooseRecord;
    chooser->setFocus();
    chooser->showPopup();
    QAbstractItemView* list = chooser->view();
    ASSERT_TRUE(QTest::qWaitFor([list] { return list->isVisible(); }));
    EXPECT_EQ(list->visualRect(chooser->model()->index(3, 0)).height(), 16);
    QTest::keyClicks(list, " 5");
    EXPECT_EQ(currentRecord.load(), 0u);
    // Each move shows its record at once; the list stays down.
    QTest::keyClick(list, Qt::Key_Down);
    QTest::keyClick(list, Qt::Key_Down);
    EXPECT_EQ(currentRecord.load(), 2u);
    EXPECT_EQ(single().LblSingleRecordNum->text(), "3");
    QTest::keyClick(list, Qt::Key_Right);
    EXPECT_EQ(currentRecord.load(), 3u);
    EXPECT_EQ(chooser->currentIndex(), 3);
    // Keys other than Tab and the movement keys do nothing, picking keys too.
    for (Qt::Key k : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_F4, Qt::Key_A})
        QTest::keyClick(list, k);
    QTest::keyClick(list, Qt::Key_X, Qt::AltModifier);
    EXPECT_TRUE(list->isVisible());
    EXPECT_EQ(currentRecord.load(), 3u);
    // Escape closes it on the record last shown, the focus in the chooser.
    QTest::keyClick(list, Qt::Key_Escape);
    ASSERT_TRUE(QTest::qWaitFor([list] { return !list->isVisible(); }));
    EXPECT_EQ(currentRecord.load(), 3u);
    EXPECT_EQ(single().LblSingleRecordNum->text(), "4");
    EXPECT_TRUE(chooser->hasFocus());

    // Ctrl+Tab leaves the page from the chooser as from any other control.
    QTest::keyClick(chooser, Qt::Key_Tab, Qt::ControlModifier);
    EXPECT_EQ(MainWindow->DataView()->currentIndex(), 0);
}

TEST_F(SingleRecordView, CheckBoxAndListSelectionStayInStep) {
    download(5);
    showActive();
    MainWindow->DataView()->setCurrentIndex(1);
    single().BtnNextRecord->click();
    single().BtnNextRecord->click();
    QTest::mouseClick(single().ChkSelectRecord, Qt::LeftButton);
    EXPECT_EQ(recordStore().record(2).selected, 1);

    MainWindow->DataView()->setCurrentIndex(0);
    EXPECT_EQ(selectedRows(), (std::vector<int>{3}));
    clickRow(3);  // unselected again in the list
    clickRow(1);
    MainWindow->DataView()->setCurrentIndex(1);
    EXPECT_FALSE(single().ChkSelectRecord->isChecked());
    single().BtnPrevRecord->click();  // the refresh sets the box without toggling the record
    EXPECT_FALSE(single().ChkSelectRecord->isChecked());
    single().BtnPrevRecord->click();
    EXPECT_TRUE(single().ChkSelectRecord->isChecked());
    MainWindow->DataView()->setCurrentIndex(0);
    EXPECT_EQ(selectedRows(), (std::vector<int>{1}));
}

TEST_F(SingleRecordView, ReturningToTheListPutsTheCurrentRowOnTop) {
    download(40);
    showActive();
    MainWindow->DataView()->setCurrentIndex(1);
    single().BtnJump5Rec->click();
    single().BtnJump5Rec->click();
    MainWindow->DataView()->setCurrentIndex(0);
    EXPECT_EQ(grid()->topGridRow(), 11);
    EXPECT_TRUE(selectedRows().empty());  // scrolling is no click

    MainWindow->DataView()->setCurrentIndex(1);
    for (int i = 0; i < 8; ++i) single().BtnJump5Rec->click();
    ASSERT_EQ(currentRecord.load(), 39u);
    MainWindow->DataView()->setCurrentIndex(0);
    // As far as the grid scrolls: the last row is in view.
    EXPECT_EQ(grid()->topGridRow(), grid()->verticalScrollBar()->maximum() + 1);
    EXPECT_GT(grid()->topGridRow(), 11);
    EXPECT_TRUE(
        grid()->viewport()->rect().intersects(grid()->visualRect(grid()->model()->index(39, 1))));

    // Tabbing into the list shows the row the keys act on, scrolled into
    // view and outlined, toggling nothing: the first row while none is
    // current, else the current one.
    auto shown = [this](int row) {
        const QRect cell = grid()->visualRect(grid()->model()->index(row - 1, 0));
        return grid()->selectedGridRow() == row && grid()->viewport()->rect().contains(cell) &&
               grid()->viewport()->grab().toImage().pixelColor(cell.topLeft()) ==
                   grid()->palette().color(QPalette::Active, QPalette::Highlight);
    };
    list().BtnSortByTimeDate->setFocus();
    QTest::keyClick(list().BtnSortByTimeDate, Qt::Key_Tab);
    EXPECT_TRUE(shown(1));
    grid()->setCurrentGridRow(30);
    grid()->setTopGridRow(1);
    list().BtnClearAllSelected->setFocus();
    QTest::keyClick(list().BtnClearAllSelected, Qt::Key_Tab, Qt::ShiftModifier);
    EXPECT_TRUE(shown(30));
    EXPECT_TRUE(selectedRows().empty());
}

// ---- Sorting ----

using Sorting = ViewTest;

TEST_F(Sorting, ButtonsAndMenuItemsReorderTheRowsAndKeepEverythingElse) {
    present(
        {makeRecord("c-300", "5 Jun 2004", "10:00"), makeRecord("A-100", "30 Jan 2004", "10:00"),
         makeRecord("a-050", "29 Dec 2003", "18:34"), makeRecord("b-200", "29 Dec 2003", "09:15")});
    showActive();
    ASSERT_EQ(gridMeasured.load(), 1);
    clickRow(2);
    clickRow(4);  // b-200
    MainWindow->DataView()->setCurrentIndex(1);
    for (int i = 0; i < 3; ++i) single().BtnNextRecord->click();
    ASSERT_EQ(single().LblSingleRecDeviceID->text(), "b-200");
    MainWindow->DataView()->setCurrentIndex(0);
    const std::vector<int> widths = [this] {
        std::vector<int> w;
        for (int c = 0; c < 10; ++c) w.push_back(grid()->columnWidth(c));
        return w;
    }();

    const QStringList byID = {"a-050", "A-100", "b-200", "c-300"};
    const QStringList byDate = {"b-200", "a-050", "A-100", "c-300"};
    struct Step {
        std::function<void()> sort;
        QStringList order;
        std::vector<int> selected;
    } steps[] = {
        {[this] { list().BtnSortByID->click(); }, byID, {2, 3}},
        {[this] { menu().ByDateTime1->trigger(); }, byDate, {1, 3}},
        {[this] { menu().ByDeviceID1->trigger(); }, byID, {2, 3}},
        {[this] { list().BtnSortByTimeDate->click(); }, byDate, {1, 3}},
    };
    for (const Step& s : steps) {
        s.sort();
        for (int r = 1; r <= 4; ++r) {
            EXPECT_EQ(grid()->cellText(1, r), " " + s.order[r - 1] + " ");
            EXPECT_EQ(grid()->cellText(0, r), QString(" %1 ").arg(r));
            EXPECT_EQ(QString::fromLatin1(recordStore().record(r - 1).deviceID), s.order[r - 1]);
        }
        EXPECT_EQ(selectedRows(), s.selected);
        EXPECT_EQ(currentRecord.load(), 3u);
        EXPECT_EQ(gridMeasured.load(), 1);
        EXPECT_EQ(dataSaved.load(), 0);
        // The single record page waits for its next refresh.
        EXPECT_EQ(single().LblSingleRecDeviceID->text(), "b-200");
    }
    for (int c = 0; c < 10; ++c) EXPECT_EQ(grid()->columnWidth(c), widths[c]);
    dataSaved = 1;
    list().BtnSortByID->click();
    EXPECT_EQ(dataSaved.load(), 1);
    MainWindow->DataView()->setCurrentIndex(1);
    EXPECT_EQ(single().LblSingleRecordNum->text(), "4");
    EXPECT_EQ(single().LblSingleRecDeviceID->text(), "c-300");
}

TEST_F(Sorting, ShortcutsOnTheSingleRecordPageShowTheRecordNowAtTheCurrentPosition) {
    present({makeRecord("c-300", "5 Jun 2004"), makeRecord("A-100", "30 Jan 2004"),
             makeRecord("b-200", "29 Dec 2003")});
    showActive();
    clickRow(1);  // c-300 selected
    MainWindow->DataView()->setCurrentIndex(1);
    single().BtnNextRecord->click();
    ASSERT_EQ(single().LblSingleRecDeviceID->text(), "A-100");
    ASSERT_FALSE(single().ChkSelectRecord->isChecked());
    single().BtnNextRecord->setFocus();

    QTest::keyClick(MainWindow, Qt::Key_I, Qt::ControlModifier);  // A-100, b-200, c-300
    EXPECT_EQ(QString::fromLatin1(recordStore().record(1).deviceID), "b-200");
    EXPECT_EQ(currentRecord.load(), 1u);
    EXPECT_EQ(single().LblSingleRecDeviceID->text(), "b-200");
    EXPECT_EQ(single().LblSingleRecordNum->text(), "2");

    QTest::keyClick(MainWindow, Qt::Key_T, Qt::ControlModifier);  // b-200, A-100, c-300
    EXPECT_EQ(single().LblSingleRecDeviceID->text(), "A-100");
    single().BtnNextRecord->click();
    EXPECT_EQ(single().LblSingleRecDeviceID->text(), "c-300");
    EXPECT_TRUE(single().ChkSelectRecord->isChecked());
    // The check box acts on the record it shows.
    single().ChkSelectRecord->click();
    EXPECT_EQ(recordStore().record(2).selected, 0);
    EXPECT_EQ(std::string(recordStore().record(2).deviceID), "c-300");
}

// ---- Commands and enablement ----

using Commands = ViewTest;

TEST_F(Commands, ADownloadEnablesTheDataControlsAndUnpluggingOnlyTheDownloadCommands) {
    MainWindow->setDownloadEnabled(true);
    EXPECT_TRUE(list().BtnDownloadData->isEnabled());
    EXPECT_TRUE(menu().RetrieveData1->isEnabled());
    download(3);
    Ui::ListPage& l = list();
    Ui::SinglePage& s = single();
    Ui::TMainWindow& m = menu();
    auto expectDataControlsEnabled = [&] {
        for (QWidget* w : std::initializer_list<QWidget*>{
                 l.RecordList, l.BtnSortByID, l.BtnSortByTimeDate, l.BtnPrintSelected,
                 l.BtnSaveSelected, l.BtnSelectAll, l.BtnClearAllSelected, s.LblSingleRecordNum,
                 s.ComboChooseRecord, s.BtnBack5Rec, s.BtnPrevRecord, s.BtnNextRecord,
                 s.BtnJump5Rec, s.ChkSelectRecord, s.BtnSaveSingleRecord, s.BtnPrintSingleRecord})
            EXPECT_TRUE(w->isEnabled()) << w->objectName().toStdString();
        for (QAction* a : {m.SaveasCSV1, m.SaveAsText1, m.Print1, m.ByDateTime1, m.ByDeviceID1,
                           m.Exit1, m.Help1, m.About2})
            EXPECT_TRUE(a->isEnabled()) << a->text().toStdString();
        EXPECT_TRUE(m.S1->isEnabled());
        EXPECT_TRUE(m.File1->isEnabled());
    };
    expectDataControlsEnabled();
    MainWindow->setDownloadEnabled(false);
    EXPECT_FALSE(l.BtnDownloadData->isEnabled());
    EXPECT_FALSE(m.RetrieveData1->isEnabled());
    expectDataControlsEnabled();
}

TEST_F(Commands, DownloadIsRequestedOnlyWhenTheLinkIsIdle) {
    MainWindow->setDownloadEnabled(true);
    list().BtnDownloadData->click();
    EXPECT_EQ(LinkState.load(), LinkDownloadRequested);
    LinkState = LinkCommandSent;
    menu().RetrieveData1->trigger();
    list().BtnDownloadData->click();
    EXPECT_EQ(LinkState.load(), LinkCommandSent);
    LinkState = LinkIdle;
    menu().RetrieveData1->trigger();
    EXPECT_EQ(LinkState.load(), LinkDownloadRequested);
}

TEST_F(Commands, EachCommandPresetsItsDialogOnEitherPage) {
    download(3);
    const auto save = []() -> QWidget* { return ulumSaveDialog; };
    const auto print = []() -> QWidget* { return printWindow; };
    struct Case {
        const char* name;
        int page;
        std::function<void()> run;
        std::function<QWidget*()> window;  // built by the command at its first showing
        int mode, range, format;  // -1: not a preset of this command
    } cases[] = {
        {"Export To CSV", 0, [this] { menu().SaveasCSV1->trigger(); }, save, ExportCsvAll,
         -1, -1},
        {"Export To CSV", 1, [this] { menu().SaveasCSV1->trigger(); }, save,
         ExportCsvSingle, -1, -1},
        {"Save As Text", 0, [this] { menu().SaveAsText1->trigger(); }, save, SaveTextAll,
         -1, -1},
        {"Save As Text", 1, [this] { menu().SaveAsText1->trigger(); }, save,
         SaveTextSingle, -1, -1},
        {"Save Selected", 0, [this] { list().BtnSaveSelected->click(); }, save,
         SaveTextSelected, -1, -1},
        {"Save Record", 1, [this] { single().BtnSaveSingleRecord->click(); }, save,
         SaveTextSingle, -1, -1},
        {"Print", 0, [this] { menu().Print1->trigger(); }, print, -1, PrintAll,
         PrintListFormat},
        {"Print", 1, [this] { menu().Print1->trigger(); }, print, -1, PrintSingle,
         PrintRecordFormat},
        {"Print Selected", 0, [this] { list().BtnPrintSelected->click(); }, print, -1,
         PrintSelected, PrintListFormat},
        {"Print Record", 1, [this] { single().BtnPrintSingleRecord->click(); }, print, -1,
         PrintSingle, PrintRecordFormat},
        {"Help", 0, [this] { menu().Help1->trigger(); }, [] () -> QWidget* { return helpWindow; }, -1, -1, -1},
        {"About", 1, [this] { menu().About2->trigger(); }, [] () -> QWidget* { return frmAbout; }, -1, -1, -1},
    };
    ASSERT_FALSE(recordStore().anySelected());  // "Print Selected" with nothing selected
    for (const Case& c : cases) {
        MainWindow->DataView()->setCurrentIndex(c.page);
        for (QWidget* w :
             std::initializer_list<QWidget*>{ulumSaveDialog, printWindow, helpWindow, frmAbout})
            if (w) w->hide();
        saveDialogMode = c.mode == ExportCsvAll ? SaveTextAll : ExportCsvAll;
        printRange = c.range == PrintAll ? PrintSelected : PrintAll;
        printFormat = c.format == PrintListFormat ? PrintRecordFormat : PrintListFormat;
        c.run();
        std::string what = std::string(c.name) + " on page " + std::to_string(c.page);
        EXPECT_TRUE(showing(c.window())) << what;
        if (c.mode >= 0) {
            EXPECT_EQ(saveDialogMode.load(), c.mode) << what;
        }
        if (c.range >= 0) {
            EXPECT_EQ(printRange.load(), c.range) << what;
            EXPECT_EQ(printFormat.load(), c.format) << what;
        }
    }
}

}  // namespace

namespace {

// Field bytes are whatever the tester sent: markup, format sequences, bytes
// above 127 and the bytes of full-width text all show as the bytes they are.
TEST_F(SingleRecordView, HostileFieldBytesShowAsData) {
    TestRecord r = makeRecord("<b>%s%n</b>\xe9\xff", "%1 %2 %x", "%d:%p", 'k');
    SET_FIELD(r, pressureUser, "\xef\xbc\x91");
    present({r});
    const QString id = QString::fromLatin1("<b>%s%n</b>\xe9\xff");
    const QString fullWidth = QString::fromLatin1("\xef\xbc\x91");
    EXPECT_EQ(grid()->cellText(1, 1), " " + id + " ");
    EXPECT_EQ(grid()->cellText(2, 1), " %1 %2 %x ");
    EXPECT_EQ(grid()->cellText(8, 1), " " + fullWidth + " kPa ");
    EXPECT_EQ(singleValues(), "1|" + id + "|%d:%p (hh:mm)|%1 %2 %x|5.183 ml/hr|5.183 ml|376 mmHg (" +
                                  fullWidth + " kPa)|16:32 (mm:ss)|88:48:39 (hh:mm:ss)");
    EXPECT_EQ(single().LblSingleRecDeviceID->textFormat(), Qt::PlainText);
}

}  // namespace

// Under a dark scheme the step glyphs are drawn in the palette's button text
// colour, and in its disabled colour while the buttons are disabled.
TEST_F(SingleRecordView, StepGlyphsTakeTheButtonTextColourOfADarkScheme) {
    const QPalette dark(QColor(0x35, 0x35, 0x35));  // light text on dark buttons
    MainWindow->setPalette(dark);
    // The most opaque pixel of the glyph as the button draws it.
    auto ink = [](QPushButton* b) {
        const QImage image = b->icon()
                                 .pixmap(b->iconSize(), b->isEnabled() ? QIcon::Normal : QIcon::Disabled)
                                 .toImage()
                                 .convertToFormat(QImage::Format_ARGB32);
        QColor best(0, 0, 0, 0);
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (image.pixelColor(x, y).alpha() > best.alpha()) best = image.pixelColor(x, y);
        return best.name().toStdString();  // #rrggbb
    };
    Ui::SinglePage& s = single();
    for (QPalette::ColorGroup group : {QPalette::Disabled, QPalette::Active}) {
        if (group == QPalette::Active) download(3);
        for (QPushButton* b : {s.BtnBack5Rec, s.BtnPrevRecord, s.BtnNextRecord, s.BtnJump5Rec})
            EXPECT_EQ(ink(b), dark.color(group, QPalette::ButtonText).name().toStdString())
                << b->objectName().toStdString();
    }
}
