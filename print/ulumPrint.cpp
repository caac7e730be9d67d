#include "print/ulumPrint.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QShowEvent>

#include "app/dialogcontrols.h"
#include "app/fonts.h"
#include "app/guard.h"
#include "app/messages.h"
#include "app/microLUM.h"
#include "app/recordselector.h"
#include "app/systemdialogs.h"
#include "print/qtcanvas.h"
#include "print/report.h"
#include "records/recordstore.h"

TprintWindow* printWindow = nullptr;

namespace {

constexpr const char* kUnit = "ulumPrint";

}  // namespace

TprintWindow::TprintWindow() : SecondaryWindow(QStringLiteral("Print"), 342, 120) {
    setObjectName(QStringLiteral("printWindow"));
    setFont(dialogFont(11));

    gbPrint_ = makeGroup(this, "gbPrint", QStringLiteral("Items To Print"),
                         QStringLiteral("Items To Print"), QRect(8, 4, 160, 109));
    rdPrintAll_ =
        makeControl<QRadioButton>(gbPrint_, "rdPrintAll", QStringLiteral("Print All Records "),
                                  QStringLiteral("Print All Records"), QRect(8, 24, 113, 17));
    rdPrintSelected_ = makeControl<QRadioButton>(
        gbPrint_, "rdPrintSelected", QStringLiteral("Print Selected Records "),
        QStringLiteral("Print Selected Records"), QRect(8, 42, 137, 17));
    rdPrintSingle_ =
        makeControl<QRadioButton>(gbPrint_, "rdPrintSingle", QStringLiteral("Print Single Record "),
                                  QStringLiteral("Print Single Record"), QRect(8, 60, 145, 17));
    printRecordSelector_ = makeRecordSelector(gbPrint_, "printRecordSelector", &recordLabel_);

    gbFormat_ = makeGroup(this, "gbFormat", QStringLiteral("Format "), QStringLiteral("Format"),
                          QRect(176, 4, 161, 69));
    rdListFormat_ =
        makeControl<QRadioButton>(gbFormat_, "rdListFormat", QStringLiteral("List Format "),
                                  QStringLiteral("List Format"), QRect(8, 24, 113, 17));
    rdRecordFormat_ = makeControl<QRadioButton>(
        gbFormat_, "rdRecordFormat", QStringLiteral("Individual Record Format "),
        QStringLiteral("Individual Record Format"), QRect(8, 42, 145, 17));

    btnPrintRecords_ = makeControl<QPushButton>(this, "btnPrintRecords", QStringLiteral("Print"),
                                                QStringLiteral("Print"), QRect(176, 80, 78, 25));
    btnPrintCancel_ = makeControl<QPushButton>(this, "btnPrintCancel", QStringLiteral("Cancel"),
                                               QStringLiteral("Cancel"), QRect(259, 80, 78, 25));

    // The radio buttons of each group box form one exclusive group.
    setTabOrder(btnPrintRecords_, btnPrintCancel_);
    setTabOrder(btnPrintCancel_, rdPrintAll_);
    setTabOrder(rdPrintAll_, rdPrintSingle_);
    setTabOrder(rdPrintSingle_, rdPrintSelected_);
    setTabOrder(rdPrintSelected_, printRecordSelector_);
    setTabOrder(printRecordSelector_, rdListFormat_);
    setTabOrder(rdListFormat_, rdRecordFormat_);

    // A button that becomes checked, by the user or by FormShow, runs its
    // handler.
    auto onCheck = [](void (TprintWindow::*handler)(), TprintWindow* self) {
        return [self, handler](bool checked) {
            if (checked) (self->*handler)();
        };
    };
    connect(rdPrintAll_, &QRadioButton::toggled, this,
            onCheck(&TprintWindow::rdPrintAllClick, this));
    connect(rdPrintSelected_, &QRadioButton::toggled, this,
            onCheck(&TprintWindow::rdPrintSelectedClick, this));
    connect(rdPrintSingle_, &QRadioButton::toggled, this,
            onCheck(&TprintWindow::rdPrintSingleClick, this));
    connect(rdListFormat_, &QRadioButton::toggled, this,
            onCheck(&TprintWindow::rdListFormatClick, this));
    connect(rdRecordFormat_, &QRadioButton::toggled, this,
            onCheck(&TprintWindow::rdRecordFormatClick, this));
    connect(btnPrintRecords_, &QPushButton::clicked, this, &TprintWindow::btnPrintRecordsClick);
    connect(btnPrintCancel_, &QPushButton::clicked, this, &TprintWindow::btnPrintCancelClick);
}

void TprintWindow::showEvent(QShowEvent* event) {
    SecondaryWindow::showEvent(event);
    if (event->spontaneous()) return;
    centreOn(MainWindow);
    FormShow();
}

void TprintWindow::setRangeControls(int range) {
    recordLabel_->setEnabled(range == PrintSingle);
    printRecordSelector_->setEnabled(range == PrintSingle);
}

void TprintWindow::FormShow() {
    guarded(kUnit, __LINE__, [this] {
        const int range = printRange;
        const int format = printFormat;
        QRadioButton* rangeButton = range == PrintSelected ? rdPrintSelected_
                                    : range == PrintSingle ? rdPrintSingle_
                                                           : rdPrintAll_;
        rangeButton->setChecked(true);
        setRangeControls(range);
        (format == PrintListFormat ? rdListFormat_ : rdRecordFormat_)->setChecked(true);
        fillRecordSelector(printRecordSelector_);
    });
}

void TprintWindow::rdPrintAllClick() {
    guarded(kUnit, __LINE__, [this] {
        printRange = PrintAll;
        setRangeControls(PrintAll);
    });
}

void TprintWindow::rdPrintSelectedClick() {
    guarded(kUnit, __LINE__, [this] {
        printRange = PrintSelected;
        setRangeControls(PrintSelected);
    });
}

void TprintWindow::rdPrintSingleClick() {
    guarded(kUnit, __LINE__, [this] {
        printRange = PrintSingle;
        setRangeControls(PrintSingle);
    });
}

void TprintWindow::rdListFormatClick() {
    guarded(kUnit, __LINE__, [] { printFormat = PrintListFormat; });
}

void TprintWindow::rdRecordFormatClick() {
    guarded(kUnit, __LINE__, [] { printFormat = PrintRecordFormat; });
}

QPrinter* TprintWindow::printer() {
    if (!printer_) {
        printer_ = std::make_unique<QPrinter>(QPrinter::HighResolution);
        printer_->setDocName(QStringLiteral("LUM Kest"));
    }
    return printer_.get();
}

int TprintWindow::printReport() {
    QtPrintCanvas canvas(*printer());
    return ::printReport(canvas, currentReportJob(printRecordSelector_->currentIndex()));
}

void TprintWindow::btnPrintRecordsClick() {
    guarded(kUnit, __LINE__, [this] {
        if (rdPrintSelected_->isEnabled() && rdPrintSelected_->isChecked() &&
            !recordStore().anySelected()) {
            showMessage(MsgId::NothingSelectedToPrint, "There are no records selected.\r\rPrint operation cancelled.",
                        "No Records Selected", MsgIcon::Warning, MsgButtons::Ok);
            closeToMainWindow();
            return;
        }
        // What is chosen now is what is printed, even if new records arrive
        // while the system print dialog is open.
        const ReportJob job = currentReportJob(printRecordSelector_->currentIndex());
        // One record to print and none to choose: nothing to print.
        if (reportHasNothingToPrint(job)) {
            closeToMainWindow();
            return;
        }
        if (!askPrintSettings(printer())) return;  // cancelled: the dialog stays as it is
        QtPrintCanvas canvas(*printer());
        ::printReport(canvas, job);
        closeToMainWindow();
    });
}

void TprintWindow::btnPrintCancelClick() {
    guarded(kUnit, __LINE__, [this] { closeToMainWindow(); });
}
