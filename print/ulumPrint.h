#pragma once
// The print dialog: which records to print (all, the selected ones, one) and
// in which layout (list or individual record).  The main window's print
// commands preset printRange and printFormat and show it; the user's choices
// go straight back into those words, which the report printer reads.

#include <QPrinter>
#include <memory>

#include "app/secondarywindow.h"

class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;

class TprintWindow : public SecondaryWindow {
    Q_OBJECT
public:
    TprintWindow();

    // ---- handlers ----
    void FormShow();
    void rdPrintAllClick();
    void rdPrintSelectedClick();
    void rdPrintSingleClick();
    void rdListFormatClick();
    void rdRecordFormatClick();
    void btnPrintRecordsClick();
    void btnPrintCancelClick();

    // Prints the job the dialog's choices describe on the dialog's printer.
    int printReport();

    // The dialog's printer, made at its first use: asking the printer
    // service for it is slow, and most runs never print.
    QPrinter* printer();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void setRangeControls(int range);

    std::unique_ptr<QPrinter> printer_;
    QGroupBox* gbPrint_;
    QRadioButton* rdPrintAll_;
    QRadioButton* rdPrintSelected_;
    QRadioButton* rdPrintSingle_;
    QLabel* recordLabel_;
    QComboBox* printRecordSelector_;
    QGroupBox* gbFormat_;
    QRadioButton* rdListFormat_;
    QRadioButton* rdRecordFormat_;
    QPushButton* btnPrintRecords_;
    QPushButton* btnPrintCancel_;
};

extern TprintWindow* printWindow;
