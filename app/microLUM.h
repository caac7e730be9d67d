#pragma once
// The main window: menu, status bar with the connection state and the
// clock, and the page control with the list page and the single record
// page.  It owns the commands of both pages and is the device link's view.

#include <QFont>
#include <QMainWindow>
#include <memory>

#include "device/linkview.h"

namespace Ui {
class TMainWindow;
}
class ListPage;
class SinglePage;
class QLabel;
class QTimer;
class QTabWidget;

class TMainWindow : public QMainWindow, public LinkView {
    Q_OBJECT
public:
    TMainWindow();
    ~TMainWindow() override;

    Ui::TMainWindow* ui() const { return ui_.get(); }
    ListPage* listPage() const { return listPage_; }
    SinglePage* singlePage() const { return singlePage_; }
    QTabWidget* DataView() const;
    QLabel* statusPanel(int index) const { return index == 0 ? statusPanel0_ : statusPanel1_; }
    QTimer* tmrClock() const { return tmrClock_; }

    // Fonts of the list grid's cell drawing, made once by the constructor.
    QFont headerFont;
    QFont numberColumnFont;
    QFont plainFont;

    // ---- handlers ----
    void tmrClockTimer();
    void Exit1Click();
    bool FormClose();  // true when the window may close
    void FormResize();
    void DataViewChange(int index);
    void BtnDownloadDataClick();
    void RetrieveData1Click();
    void SaveasCSV1Click();
    void SaveAsText1Click();
    void BtnSaveSelectedClick();
    void BtnSaveSingleRecordClick();
    void Print1Click();
    void BtnPrintSelectedClick();
    void BtnPrintSingleRecordClick();
    void BtnSelectAllClick();
    void BtnClearAllSelectedClick();
    void BtnSortByIDClick();
    void ByDeviceID1Click();
    void BtnSortByTimeDateClick();
    void ByDateTime1Click();
    void Help1Click();
    void About2Click();
    void RecordListClick();
    void RecordListDblClick();

    // ---- the hand-over of new records, on this window's thread ----
    // replaceAndFill, the fill's 50 ms pause (on the command thread), refreshSinglePage.
    int replaceAndFill(const std::vector<TestRecord>& records, std::size_t capacity,
                       const TesterIdentity& tester);
    int refreshSinglePage();
    int fillList(unsigned n);  // without the pause that follows it
    void enableDataControls();

    // ---- LinkView: called from worker threads ----
    void setConnectionStatus(const std::string& text) override;
    void setDownloadEnabled(bool on) override;
    void showSaveDialogNow() override;
    int presentRecords(const std::vector<TestRecord>& records, std::size_t capacity,
                       const TesterIdentity& tester) override;

    // Start-up seams: how the monitor is started and how the process ends
    // when it cannot be.  Tests replace them.
    static long (*startMonitor)();
    static void (*exitProcess)(int code);

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void sortAndRefill(void (*sort)());
    void selectAllRecords(bool on);  // Select All / Clear All Selected
    void showSaveDialog(int mode);
    void showPrintDialog(int range, int format);
    void refreshOpenDialogs();  // an open save or print window takes up new records
    bool singlePageActive() const;

    std::unique_ptr<Ui::TMainWindow> ui_;
    ListPage* listPage_ = nullptr;
    SinglePage* singlePage_ = nullptr;
    QLabel* statusPanel0_ = nullptr;
    QLabel* statusPanel1_ = nullptr;
    QTimer* tmrClock_ = nullptr;
    bool pageChangeByProgram_ = false;
};

extern TMainWindow* MainWindow;

// "%H:%M:%S" of the local time, as the status bar clock shows it.
QString clockText();
