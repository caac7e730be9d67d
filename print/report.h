#pragma once
// The report printer: one print job of the chosen records, as a landscape
// list (one row per record) or as portrait record blocks, with page header,
// page footer and a closing block for the technician's name and date.
//
// Plain C++ over a PrintCanvas.  Every step returns -1 after a failure that
// it has already handled: logged under "ulumPrint", job aborted, "Print
// Error" shown once.  printReport then stops at once.

#include <array>
#include <string>
#include <vector>

#include "print/canvas.h"
#include "records/recordstore.h"
#include "records/testrecord.h"

extern const char* const kPrintErrorText;     // "An Error Occurred During Printing.  Job Cancelled"
extern const char* const kPrintErrorCaption;  // "Print Error"

// What one job prints, copied once at its start.
struct ReportJob {
    std::vector<TestRecord> records;  // displayRecords, in the order shown
    PrintRange range = PrintSelected;
    PrintFormat format = PrintListFormat;
    int chosen = -1;                  // PrintSingle: index chosen in the dialog
    TesterIdentity tester;            // the records' tester, for the page header
    std::string stamp;  // the time every page's header names (save/stamp.h)
};

// The job as the shared words and the record store stand now, with the
// dialog's chosen record, stamped now.  A printRange that names no range
// prints all; a printFormat other than PrintListFormat is record format.
ReportJob currentReportJob(int chosenRecord);

// True when the job would print nothing: PrintSingle without a record.
bool reportHasNothingToPrint(const ReportJob& job);

// The ten texts of one list row, for record index (0-based).
std::array<std::string, 10> listRowTexts(const TestRecord& record, unsigned index);

// Layout state, recomputed for every job.
struct ReportLayout {
    int printY = 0;
    int pageBottom = 0;
    int rowHeight = 0;
    int recordBlockHeight = 0;
    int closingReserve = 0;
    std::array<int, 10> columnWidth{};
    std::array<int, 10> columnX{};
};

class ReportPrinter {
public:
    ReportPrinter(PrintCanvas& canvas, ReportJob job);

    // The whole job: 0 when complete (or nothing to print), -1 on failure.
    int printReport();

    // The steps, callable one by one.
    int measureColumns();
    int measureFooter();  // returns TextHeight("X") + 75
    int measureBlocks();  // returns recordBlockHeight
    int printPageHeader();
    int printColumnHeader();
    int printListRow(unsigned index);
    int printRecordBlock(unsigned index);
    int printClosingBlock();
    int printPageFooter();

    ReportLayout layout;

private:
    template <class Body>
    int step(int line, Body&& body);
    template <class Call>
    bool jobCall(int line, Call&& call);
    void cancelJob();
    int startNextPage(bool columnHeader);
    void setArial(int points, bool bold);
    void drawLeft(const std::string& text, int x, int right, int top, int bottom);
    void drawRight(const std::string& text, int right, int top, int bottom);

    PrintCanvas& canvas_;
    ReportJob job_;
};

int printReport(PrintCanvas& canvas, const ReportJob& job);

// What every printed page shares, also the workshop report's.  The header:
// first in Arial 12 bold, "Data Printed On " and the stamp in Arial 12, at
// the top left; returns the y below it, with Arial 10 set.  The footer: a
// rule on the page's bottom line and text centred under it.  The space the
// footer needs at the foot of the page: TextHeight("X") + 75 in Arial 10.
int drawPageHeader(PrintCanvas& canvas, const std::string& first, const std::string& stamp);
void drawPageFooter(PrintCanvas& canvas, const std::string& text);
int pageFooterSpace(PrintCanvas& canvas);
