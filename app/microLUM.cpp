#include "app/microLUM.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QLabel>
#include <QMenu>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>
#include <cstdlib>
#include <ctime>

#include "app/application.h"
#include "app/fonts.h"
#include "app/glyphs.h"
#include "app/guard.h"
#include "app/listpage.h"
#include "app/messages.h"
#include "app/recordgrid.h"
#include "app/singlepage.h"
#include "app/uithread.h"
#include "device/clock.h"
#include "device/monitor.h"
#include "device/usbcomm.h"
#include "help/about.h"
#include "help/ulumHelp.h"
#include "print/ulumPrint.h"
#include "records/recordstore.h"
#include "records/sort.h"
#include "save/save.h"
#include "ui_listpage.h"
#include "ui_mainwindow.h"
#include "ui_singlepage.h"

TMainWindow* MainWindow = nullptr;

long (*TMainWindow::startMonitor)() = startMonitorThread;
void (*TMainWindow::exitProcess)(int) = [](int code) { std::exit(code); };

namespace {

constexpr int kClientWidth = 592;
constexpr int kClientHeight = 353;
constexpr int kStatusBarHeight = 19;
constexpr unsigned kFillPauseMs = 50;  // after the list fill's repaint
constexpr unsigned kSaveWaitMs = 100;  // new records waiting for a save to end

void showWindow(QWidget* window) {
    if (!window) return;
    window->show();
    window->raise();
    window->activateWindow();
}

}  // namespace

QString clockText() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return QString::fromLatin1(text);
}

TMainWindow::TMainWindow() : ui_(std::make_unique<Ui::TMainWindow>()) {
    MainWindow = this;
    // The designed dialog face is not on Linux desktops; Liberation Sans has
    // the metrics of the grid's Arial and keeps captions within their places.
    QFont::insertSubstitution(QStringLiteral("MS Sans Serif"), QStringLiteral("Liberation Sans"));
    // Set before the controls are made, which then take it up as they are
    // built rather than being re-measured afterwards.
    setFont(dialogFont(11));
    ui_->setupUi(this);
    setWindowIcon(appIcon());

    listPage_ = new ListPage(ui_->DataView);
    singlePage_ = new SinglePage(ui_->DataView);
    listPage_->setObjectName(QStringLiteral("ListSheet"));
    singlePage_->setObjectName(QStringLiteral("SingleSheet"));
    ui_->DataView->addTab(listPage_, QStringLiteral("List View"));
    ui_->DataView->addTab(singlePage_, QStringLiteral("Single Record View"));
    ui_->DataView->setAccessibleName(QStringLiteral("Data View"));
    singlePage_->setFocusTarget(ui_->DataView);
    listPage_->grid()->setFont(dialogFont(13));

    statusPanel0_ = new QLabel(QStringLiteral("Not Connected"));
    statusPanel0_->setObjectName(QStringLiteral("StatusPanel0"));
    statusPanel0_->setFixedWidth(400);
    statusPanel1_ = new QLabel;
    statusPanel1_->setObjectName(QStringLiteral("StatusPanel1"));
    // The clock panel takes the rest of the bar (a little under its designed
    // 200 pixels beside the 400 of panel 0), so its right-justified text is
    // always shown whole.
    statusPanel1_->setMinimumWidth(0);
    statusPanel1_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    statusBar()->addWidget(statusPanel0_);
    statusBar()->addPermanentWidget(statusPanel1_, 1);
    statusBar()->setFixedHeight(kStatusBarHeight);

    // Fixed single border: the client area keeps its designed size.
    setFixedSize(kClientWidth, kClientHeight + menuBar()->sizeHint().height());

    Ui::ListPage& l = *listPage_->ui();
    Ui::SinglePage& s = *singlePage_->ui();
    Ui::TMainWindow& m = *ui_;
    connect(m.RetrieveData1, &QAction::triggered, this, &TMainWindow::RetrieveData1Click);
    connect(m.SaveasCSV1, &QAction::triggered, this, &TMainWindow::SaveasCSV1Click);
    connect(m.SaveAsText1, &QAction::triggered, this, &TMainWindow::SaveAsText1Click);
    connect(m.Print1, &QAction::triggered, this, &TMainWindow::Print1Click);
    connect(m.ByDateTime1, &QAction::triggered, this, &TMainWindow::ByDateTime1Click);
    connect(m.ByDeviceID1, &QAction::triggered, this, &TMainWindow::ByDeviceID1Click);
    connect(m.Exit1, &QAction::triggered, this, &TMainWindow::Exit1Click);
    connect(m.Help1, &QAction::triggered, this, &TMainWindow::Help1Click);
    connect(m.About2, &QAction::triggered, this, &TMainWindow::About2Click);
    connect(l.BtnDownloadData, &QPushButton::clicked, this, &TMainWindow::BtnDownloadDataClick);
    connect(l.BtnSortByID, &QPushButton::clicked, this, &TMainWindow::BtnSortByIDClick);
    connect(l.BtnSortByTimeDate, &QPushButton::clicked, this, &TMainWindow::BtnSortByTimeDateClick);
    connect(l.BtnClearAllSelected, &QPushButton::clicked, this,
            &TMainWindow::BtnClearAllSelectedClick);
    connect(l.BtnSelectAll, &QPushButton::clicked, this, &TMainWindow::BtnSelectAllClick);
    connect(l.BtnSaveSelected, &QPushButton::clicked, this, &TMainWindow::BtnSaveSelectedClick);
    connect(l.BtnPrintSelected, &QPushButton::clicked, this, &TMainWindow::BtnPrintSelectedClick);
    connect(s.BtnSaveSingleRecord, &QPushButton::clicked, this,
            &TMainWindow::BtnSaveSingleRecordClick);
    connect(s.BtnPrintSingleRecord, &QPushButton::clicked, this,
            &TMainWindow::BtnPrintSingleRecordClick);
    connect(l.RecordList, &RecordGrid::userClicked, this, &TMainWindow::RecordListClick);
    connect(l.RecordList, &RecordGrid::userDoubleClicked, this, &TMainWindow::RecordListDblClick);
    connect(m.DataView, &QTabWidget::currentChanged, this, &TMainWindow::DataViewChange);

    tmrClock_ = new QTimer(this);
    tmrClock_->setObjectName(QStringLiteral("tmrClock"));
    tmrClock_->setInterval(500);
    connect(tmrClock_, &QTimer::timeout, this, &TMainWindow::tmrClockTimer);

    guarded("microLUM", 100, [this] {
        initDebugLog("dbug.dbg");
        headerFont = arialPoints(10, true);
        numberColumnFont = arialPoints(10, true);
        plainFont = arialPoints(10, false);
        listPage_->grid()->setCellPainter(GridCellPainter{
            [](int row) { return recordStore().record(static_cast<std::size_t>(row - 1)).selected == 1; },
            headerFont, numberColumnFont, plainFont});
        pageChangeByProgram_ = true;
        ui_->DataView->setCurrentIndex(0);
        pageChangeByProgram_ = false;
        listPage_->grid()->setEnabled(false);
        statusPanel1_->setText(clockText());
        tmrClock_->start();
        setLinkView(this);
        if (startMonitor() == -1) {
            showMessage(MsgId::ThreadStartFailed,
                        "Unable to start USB monitoring thread!\r\rOperating system is out of "
                        "memory!\r\rExiting!",
                        "Memmory Error!", MsgIcon::Error, MsgButtons::Ok);
            exitProcess(-1);
        }
        RecordGrid* grid = listPage_->grid();
        grid->setFixedRows(0);
        grid->setFixedColumns(0);
        grid->setGridRowCount(0);
        grid->setGridLineWidth(0);
    });
    FormResize();
}

TMainWindow::~TMainWindow() {
    setLinkView(nullptr);
    if (MainWindow == this) MainWindow = nullptr;
}

QTabWidget* TMainWindow::DataView() const { return ui_->DataView; }

bool TMainWindow::singlePageActive() const { return ui_->DataView->currentIndex() == 1; }

// ---- clock, close, layout ----

void TMainWindow::tmrClockTimer() {
    guarded("microLUM", 110, [this] {
        statusPanel1_->setText(clockText());
        // A save that is choosing its file or writing it is never changed
        // under the user: a request raised meanwhile waits for it to end.
        if (saveInProgress.load() != 0) return;
        // The request is cleared only where it was read, so that one raised
        // meanwhile by the command thread is never wiped out unseen; and the
        // dialog counts as open before the request is cleared, so that the
        // waiting command thread never finds neither word set and replaces
        // the records while the dialog opens (the request may have outlived
        // a dialog that was closed meanwhile).
        const int request = saveDialogRequested.load();
        if (request == 1) savePending = 1;
        int seen = request;
        if (request != 0) saveDialogRequested.compare_exchange_strong(seen, 0);
        if (request == 1) showSaveDialog(SaveTextAll);
    });
}

void TMainWindow::Exit1Click() {
    guarded("microLUM", 120, [this] { close(); });
}

bool TMainWindow::FormClose() {
    bool mayClose = true;
    guarded("microLUM", 130, [&mayClose] {
        if (dataSaved.load() != 0) return;
        // Enter answers No, which keeps the window and its records.
        MsgAnswer answer = showMessage(MsgId::UnsavedData, "There is unsaved data.\r\rAre you sure you want to exit?",
                                       "Unsaved Data", MsgIcon::Warning, MsgButtons::YesNo);
        mayClose = answer == MsgAnswer::Yes;
    });
    return mayClose;
}

void TMainWindow::closeEvent(QCloseEvent* event) {
    if (!FormClose()) {
        event->ignore();
        return;
    }
    guarded("microLUM", 131, [] { stopMonitorThread(); });
    event->accept();
    QCoreApplication::quit();
}

void TMainWindow::FormResize() {
    guarded("microLUM", 140, [this] {
        // The outer size the layout rule expects: the client area with the
        // designed frame around it, whatever the window manager draws.
        int clientHeight = height() - menuBar()->sizeHint().height();
        ListPageLayout layout = listPageLayout(width() + 1, clientHeight + 52);
        ui_->DataView->resize(layout.dataViewWidth, layout.dataViewHeight);
        Ui::ListPage& l = *listPage_->ui();
        for (QWidget* button : {static_cast<QWidget*>(l.BtnClearAllSelected),
                                static_cast<QWidget*>(l.BtnSelectAll),
                                static_cast<QWidget*>(l.BtnSaveSelected),
                                static_cast<QWidget*>(l.BtnPrintSelected)})
            button->move(button->x(), layout.bottomButtonsTop);
        l.RecordList->resize(layout.gridWidth, layout.gridHeight);
    });
}

void TMainWindow::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    FormResize();
}

void TMainWindow::DataViewChange(int index) {
    if (pageChangeByProgram_) return;
    guarded("microLUM", 150, [this, index] {
        if (index == 1) {
            singlePage_->refresh();
            ui_->DataView->setFocus();
            return;
        }
        RecordGrid* grid = listPage_->grid();
        grid->setTopGridRow(static_cast<int>(currentRecord.load()) + 1);
        ui_->DataView->setFocus();
        sleepMs(10);
        grid->showSelection();  // the check box may have changed a record
        grid->repaint();
    });
}

// ---- commands ----

void TMainWindow::BtnDownloadDataClick() {
    guarded("microLUM", 200, [] { requestDownload(); });
}

void TMainWindow::RetrieveData1Click() {
    guarded("microLUM", 201, [] { requestDownload(); });
}

void TMainWindow::showSaveDialog(int mode) {
    saveDialogMode = mode;
    TulumSaveDialog* dialog = saveDialog();  // built at its first showing
    // Already open (say for another command): it takes up the new mode as if
    // shown afresh, and counts as open again for a waiting command thread.
    if (dialog->isVisible()) dialog->FormShow();
    showWindow(dialog);
}

void TMainWindow::showPrintDialog(int range, int format) {
    printRange = range;
    printFormat = format;
    TprintWindow* dialog = printDialog();  // built at its first showing
    // Already open: it takes up the new presets as if shown afresh.
    if (dialog->isVisible()) dialog->FormShow();
    showWindow(dialog);
}

void TMainWindow::SaveasCSV1Click() {
    guarded("microLUM", 210, [this] {
        showSaveDialog(singlePageActive() ? ExportCsvSingle : ExportCsvAll);
    });
}

void TMainWindow::SaveAsText1Click() {
    guarded("microLUM", 211, [this] {
        showSaveDialog(singlePageActive() ? SaveTextSingle : SaveTextAll);
    });
}

void TMainWindow::BtnSaveSelectedClick() {
    guarded("microLUM", 212, [this] { showSaveDialog(SaveTextSelected); });
}

void TMainWindow::BtnSaveSingleRecordClick() {
    guarded("microLUM", 213, [this] { showSaveDialog(SaveTextSingle); });
}

void TMainWindow::Print1Click() {
    guarded("microLUM", 220, [this] {
        if (singlePageActive())
            showPrintDialog(PrintSingle, PrintRecordFormat);
        else
            showPrintDialog(PrintAll, PrintListFormat);
    });
}

void TMainWindow::BtnPrintSelectedClick() {
    guarded("microLUM", 221, [this] { showPrintDialog(PrintSelected, PrintListFormat); });
}

void TMainWindow::BtnPrintSingleRecordClick() {
    guarded("microLUM", 222, [this] { showPrintDialog(PrintSingle, PrintRecordFormat); });
}

void TMainWindow::selectAllRecords(bool on) {
    recordStore().setAllSelected(on);
    listPage_->grid()->showSelection();
    listPage_->grid()->viewport()->repaint();
    ui_->DataView->setFocus();
}

void TMainWindow::BtnSelectAllClick() {
    guarded("microLUM", 230, [this] { selectAllRecords(true); });
}

void TMainWindow::BtnClearAllSelectedClick() {
    guarded("microLUM", 231, [this] { selectAllRecords(false); });
}

void TMainWindow::sortAndRefill(void (*sort)()) {
    sort();
    listPage_->writeCells();
    listPage_->grid()->viewport()->update();
    // The menu sorts also work while the single record page is showing; it
    // then shows the record now at the current position, so that what the
    // user sees is what Save Record, Print Record and the check box act on.
    if (singlePageActive()) singlePage_->refresh();
}

void TMainWindow::BtnSortByIDClick() {
    guarded("microLUM", 240, [this] { sortAndRefill(sortByDeviceID); });
}

void TMainWindow::ByDeviceID1Click() {
    guarded("microLUM", 241, [this] { sortAndRefill(sortByDeviceID); });
}

void TMainWindow::BtnSortByTimeDateClick() {
    guarded("microLUM", 242, [this] { sortAndRefill(sortByDateTime); });
}

void TMainWindow::ByDateTime1Click() {
    guarded("microLUM", 243, [this] { sortAndRefill(sortByDateTime); });
}

void TMainWindow::Help1Click() {
    guarded("microLUM", 250, [] { showWindow(helpViewer()); });
}

void TMainWindow::About2Click() {
    guarded("microLUM", 251, [] { showWindow(aboutBox()); });
}

// ---- the list's clicks ----

void TMainWindow::RecordListClick() {
    guarded("microLUM", 260, [this] {
        if (haveData.load() != 1 || ui_->DataView->currentIndex() != 0) return;
        RecordGrid* grid = listPage_->grid();
        int row = grid->selectedGridRow();
        if (row < 1 || static_cast<unsigned>(row) > recordCount.load()) return;
        recordStore().toggleSelected(static_cast<std::size_t>(row - 1));
        grid->repaintGridRow(row);
    });
}

void TMainWindow::RecordListDblClick() {
    guarded("microLUM", 270, [this] {
        int row = listPage_->grid()->selectedGridRow();
        if (row < 1 || static_cast<unsigned>(row) > recordCount.load()) return;
        currentRecord = static_cast<unsigned>(row - 1);
        singlePage_->selectChooserEntry(row - 1);
        singlePage_->refresh();
        pageChangeByProgram_ = true;
        ui_->DataView->setCurrentIndex(1);
        pageChangeByProgram_ = false;
    });
}

// ---- hand-over of new records ----

void TMainWindow::enableDataControls() {
    Ui::ListPage& l = *listPage_->ui();
    Ui::SinglePage& s = *singlePage_->ui();
    Ui::TMainWindow& m = *ui_;
    for (QWidget* w : std::initializer_list<QWidget*>{
             l.BtnSortByID, l.BtnSortByTimeDate, l.BtnPrintSelected, l.BtnSaveSelected,
             l.BtnSelectAll, l.BtnClearAllSelected, s.LblSingleRecordNum, s.ComboChooseRecord,
             s.BtnBack5Rec, s.BtnPrevRecord, s.BtnNextRecord, s.BtnJump5Rec, s.ChkSelectRecord,
             s.BtnSaveSingleRecord, s.BtnPrintSingleRecord})
        w->setEnabled(true);
    m.SaveasCSV1->setEnabled(true);
    m.SaveAsText1->setEnabled(true);
    m.Print1->setEnabled(true);
    m.S1->setEnabled(true);
    m.ByDateTime1->setEnabled(true);
    m.ByDeviceID1->setEnabled(true);
}

// The fill's 50 ms pause after the repaint is left to the caller (see
// presentRecords), so that it need not hold up this window's thread.
int TMainWindow::fillList(unsigned n) {
    int result = -1;
    guarded("microLUM", 280, [this, n, &result] {
        recordStore().fillDisplay(n);  // recordCount, dataSaved, currentRecord, the copy
        singlePage_->refillChooser();
        listPage_->writeCells();
        gridMeasured = 0;
        listPage_->grid()->repaint();
        result = 0;
    });
    return result;
}

int TMainWindow::refreshSinglePage() {
    return guarded("usbcomm", 291, [this] { singlePage_->refresh(); }) ? 0 : -1;
}

int TMainWindow::replaceAndFill(const std::vector<TestRecord>& records, std::size_t capacity,
                                const TesterIdentity& tester) {
    int result = -1;
    guarded("usbcomm", 290, [&] {
        if (records.empty() || !recordStore().replace(capacity, records, tester)) return;
        haveData = 1;
        const unsigned n = static_cast<unsigned>(std::min(records.size(), capacity));
        RecordGrid* grid = listPage_->grid();
        listPage_->prepareGrid();
        grid->setEnabled(true);
        grid->setGridRowCount(static_cast<int>(n) + 1);
        grid->setFixedColumns(1);
        grid->setGridLineWidth(1);
        enableDataControls();
        if (fillList(n) != 0) return;
        refreshOpenDialogs();
        result = 0;
    });
    return result;
}

// What an open save or print window lists and presets is what it would be at
// a fresh showing: the entries of the new records, the current record, the
// presets and the enabled controls.
void TMainWindow::refreshOpenDialogs() {
    if (ulumSaveDialog && ulumSaveDialog->isVisible()) ulumSaveDialog->FormShow();
    if (printWindow && printWindow->isVisible()) printWindow->FormShow();
}

// ---- LinkView ----

void TMainWindow::setConnectionStatus(const std::string& text) {
    runOnUiThread([this, &text] { statusPanel0_->setText(latin1Text(text)); });
}

void TMainWindow::setDownloadEnabled(bool on) {
    runOnUiThread([this, on] {
        listPage_->ui()->BtnDownloadData->setEnabled(on);
        ui_->RetrieveData1->setEnabled(on);
    });
}

void TMainWindow::showSaveDialogNow() {
    runOnUiThread([this] {
        // During a save the request waits, as the clock timer's does, and
        // the timer opens the dialog once the save has ended.
        if (saveInProgress.load() != 0)
            saveDialogRequested = 1;
        else
            showSaveDialog(SaveTextAll);
    });
}

// The hand-over runs on this window's thread but for the fill's pause,
// which the calling worker takes on its own: the window stays responsive
// while the order of the steps stays as it was.  While a save is choosing
// its file or writing it, the records it reads stay in place: the worker
// waits and tries again.  Whether a save is running is looked at on this
// thread, where saves start, so none can begin between the look and the
// replacement.
int TMainWindow::presentRecords(const std::vector<TestRecord>& records, std::size_t capacity,
                                const TesterIdentity& tester) {
    int result = -1;
    for (bool saving = true; saving;) {
        saving = false;
        runOnUiThread([&] {
            if (saveInProgress.load() != 0)
                saving = true;
            else
                result = replaceAndFill(records, capacity, tester);
        });
        if (saving) sleepMs(kSaveWaitMs);
    }
    if (result != 0) return -1;
    sleepMs(kFillPauseMs);
    runOnUiThread([&] { result = refreshSinglePage(); });
    return result;
}
