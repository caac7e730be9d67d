#include "print/report.h"

#include <utility>

#include "app/debuglog.h"
#include "app/guard.h"
#include "app/messages.h"
#include "records/recordstore.h"
#include "save/stamp.h"

const char* const kPrintErrorText = "An Error Occurred During Printing.  Job Cancelled";
const char* const kPrintErrorCaption = "Print Error";

namespace {

constexpr const char* kUnit = "ulumPrint";
constexpr const char* kFace = "Arial";

// Fixed offsets of the layout, in dots of the printer.
constexpr int kLeft = 200;        // left edge of every text; top of the page header
constexpr int kRuleInset = 300;   // footer rule, from either side
constexpr int kHeaderGap = 75;    // below the page header; extra width of every column
constexpr int kFooterSpace = 75;  // kept free at the foot, above the text height
constexpr int kLinePad = 10;      // added to a text height for a row or line

// Labels that set the least width of each list column, in bold.
const char* const kColumnLabels[10] = {"Rec #",        "Device ID", "Test", " ", "Test Duration",
                                       "Flow (ml/hr)", "Vol. (ml)", " ",    " ", "Peak Time"};

// The job's range and format from the shared words.
PrintRange rangeOf(int word) {
    return word == PrintSelected || word == PrintSingle ? static_cast<PrintRange>(word) : PrintAll;
}

PrintFormat formatOf(int word) {
    return word == PrintListFormat ? PrintListFormat : PrintRecordFormat;
}

}  // namespace

ReportJob currentReportJob(int chosenRecord) {
    ReportJob job;
    // The page header names the tester the records came from.
    job.records = recordStore().displayed(&job.tester);
    job.range = rangeOf(printRange);
    job.format = formatOf(printFormat);
    job.chosen = chosenRecord;
    job.stamp = saveStamp();
    return job;
}

bool reportHasNothingToPrint(const ReportJob& job) {
    return job.range == PrintSingle &&
           (job.chosen < 0 || static_cast<std::size_t>(job.chosen) >= job.records.size());
}

std::array<std::string, 10> listRowTexts(const TestRecord& r, unsigned index) {
    return {
        std::to_string(index + 1),
        FIELD_TEXT(r, deviceID),
        FIELD_TEXT(r, testDate),
        FIELD_TEXT(r, testTime),
        FIELD_TEXT(r, testDuration),
        FIELD_TEXT(r, flow),
        FIELD_TEXT(r, volume),
        FIELD_TEXT(r, pressureMMHG) + " mmHg",
        "(" + FIELD_TEXT(r, pressureUser) + " " + unitName(r.pressureUnits) + ")",
        FIELD_TEXT(r, peakPressureTime),
    };
}

ReportPrinter::ReportPrinter(PrintCanvas& canvas, ReportJob job)
    : canvas_(canvas), job_(std::move(job)) {}

// ---- failure handling ----

void ReportPrinter::cancelJob() {
    guarded(kUnit, __LINE__, [this] {
        if (canvas_.inProgress()) canvas_.abortDocument();
    });
    showMessage(MsgId::PrintError, kPrintErrorText, kPrintErrorCaption, MsgIcon::Warning, MsgButtons::Ok);
}

template <class Body>
int ReportPrinter::step(int line, Body&& body) {
    int result = -1;
    if (guarded(kUnit, line, [&] { result = body(); })) return result;
    cancelJob();
    return -1;
}

// A call on the printer job itself (orientation, begin, new page, end): a
// refusal counts as a failure like an exception.
template <class Call>
bool ReportPrinter::jobCall(int line, Call&& call) {
    bool ok = false;
    if (guarded(kUnit, line, [&] { ok = call(); }) && !ok)
        writeDebugLog("EXCEPTION!!", 'm', nullptr, kUnit, line);
    if (!ok) cancelJob();
    return ok;
}

// ---- drawing helpers ----

void ReportPrinter::setArial(int points, bool bold) {
    canvas_.setFont(CanvasFont{kFace, points, bold});
}

void ReportPrinter::drawLeft(const std::string& text, int x, int right, int top, int bottom) {
    canvas_.textRect(x, top, right, bottom, x, top, text);
}

void ReportPrinter::drawRight(const std::string& text, int right, int top, int bottom) {
    const int x = right - canvas_.textWidth(text);
    canvas_.textRect(x, top, right, bottom, x, top, text);
}

// ---- the driver ----

int ReportPrinter::startNextPage(bool columnHeader) {
    if (printPageFooter() < 0) return -1;
    if (!jobCall(__LINE__, [this] { return canvas_.newPage(); })) return -1;
    layout.printY = 0;
    if (printPageHeader() < 0) return -1;
    if (columnHeader && printColumnHeader() < 0) return -1;
    return 0;
}

int ReportPrinter::printReport() {
    layout = ReportLayout{};
    if (reportHasNothingToPrint(job_)) return 0;
    const bool list = job_.format == PrintListFormat;

    if (!jobCall(__LINE__, [&] {
            return canvas_.setOrientation(list ? PageOrientation::Landscape
                                               : PageOrientation::Portrait);
        }))
        return -1;
    if (list && measureColumns() < 0) return -1;
    const int footer = measureFooter();
    if (footer < 0 || measureBlocks() < 0) return -1;
    int pageHeight = 0;
    if (!jobCall(__LINE__, [&] {
            pageHeight = canvas_.pageHeight();
            return true;
        }))
        return -1;
    layout.pageBottom = pageHeight - footer;

    if (!jobCall(__LINE__, [this] { return canvas_.beginDocument(); })) return -1;
    layout.printY = 0;

    if (job_.range != PrintSingle) {
        if (printPageHeader() < 0) return -1;
        if (list && printColumnHeader() < 0) return -1;
        const int height = list ? layout.rowHeight : layout.recordBlockHeight;
        for (unsigned i = 0; i < job_.records.size(); ++i) {
            // The break test comes first, for every record of the set, printed or not.
            if (layout.printY + height >= layout.pageBottom && startNextPage(list) < 0) return -1;
            if (job_.range == PrintAll || job_.records[i].selected != 0) {
                if ((list ? printListRow(i) : printRecordBlock(i)) < 0) return -1;
            }
        }
        layout.printY += layout.rowHeight;  // one blank row
        if (layout.printY + layout.closingReserve >= layout.pageBottom && startNextPage(false) < 0)
            return -1;
    } else {
        const auto i = static_cast<unsigned>(job_.chosen);
        if (printPageHeader() < 0) return -1;
        if (list) {
            if (printColumnHeader() < 0 || printListRow(i) < 0) return -1;
            layout.printY += layout.rowHeight;
        } else if (printRecordBlock(i) < 0) {
            return -1;
        }
    }

    if (printClosingBlock() < 0 || printPageFooter() < 0) return -1;
    if (!jobCall(__LINE__, [this] { return canvas_.endDocument(); })) return -1;
    return 0;
}

// ---- measuring ----

int ReportPrinter::measureColumns() {
    return step(__LINE__, [this] {
        const CanvasFont saved = canvas_.font();
        auto& width = layout.columnWidth;
        setArial(10, true);
        for (int k = 0; k < 10; ++k) width[k] = canvas_.textWidth(kColumnLabels[k]);
        // Over every record, whatever the range: the columns are the same
        // whichever records are printed.
        setArial(10, false);
        for (unsigned i = 0; i < job_.records.size(); ++i) {
            const auto texts = listRowTexts(job_.records[i], i);
            for (int k = 0; k < 10; ++k) {
                const int w = canvas_.textWidth(texts[k]);
                if (w > width[k]) width[k] = w;
            }
        }
        for (int& w : width) w += kHeaderGap;
        layout.columnX[0] = kLeft;
        for (int k = 0; k < 9; ++k) layout.columnX[k + 1] = layout.columnX[k] + width[k];
        canvas_.setFont(saved);
        return 0;
    });
}

int ReportPrinter::measureFooter() {
    return step(__LINE__, [this] { return pageFooterSpace(canvas_); });
}

int ReportPrinter::measureBlocks() {
    return step(__LINE__, [this] {
        const CanvasFont saved = canvas_.font();
        setArial(10, false);
        const int th = canvas_.textHeight("X");
        layout.rowHeight = th + kLinePad;
        layout.recordBlockHeight = 10 * (th + kLinePad) + 50;
        layout.closingReserve = (layout.recordBlockHeight - 10) / 5 + 100;
        canvas_.setFont(saved);
        return layout.recordBlockHeight;
    });
}

// ---- page elements ----

int ReportPrinter::printPageHeader() {
    return step(__LINE__, [this] {
        layout.printY = drawPageHeader(
            canvas_, "Device: " + job_.tester.id + "  SN: " + job_.tester.serial, job_.stamp);
        return 0;
    });
}

int ReportPrinter::printPageFooter() {
    return step(__LINE__, [this] {
        drawPageFooter(canvas_, std::to_string(canvas_.pageNumber()));
        return 0;
    });
}

int ReportPrinter::printColumnHeader() {
    return step(__LINE__, [this] {
        const CanvasFont saved = canvas_.font();
        setArial(10, true);
        const auto& x = layout.columnX;
        const auto& w = layout.columnWidth;
        const int top = layout.printY;
        const int bottom = top + layout.rowHeight;
        const int tableRight = x[9] + w[9];

        drawLeft("Rec #", x[0], x[1], top, bottom);
        drawLeft("Device ID", x[1], x[2], top, bottom);
        drawLeft("Test Date and Time", x[2], x[4], top, bottom);  // cut off at x[4]
        drawRight("Test Duration", x[5], top, bottom);
        drawRight("Flow (ml/hr)", x[6], top, bottom);
        drawRight("Vol. (ml)", x[7], top, bottom);
        const int pressureX = x[7] + (x[9] - x[7]) / 2 - canvas_.textWidth("Pressure") / 2;
        drawLeft("Pressure", pressureX, x[9], top, bottom);
        drawRight("Peak Time", tableRight, top, bottom);

        canvas_.setPenWidth(4);
        canvas_.line(kLeft, bottom, tableRight, bottom);
        canvas_.setFont(saved);
        layout.printY += layout.rowHeight + kLinePad;
        return 0;
    });
}

int ReportPrinter::printListRow(unsigned index) {
    return step(__LINE__, [this, index] {
        const CanvasFont saved = canvas_.font();
        setArial(10, false);
        const auto texts = listRowTexts(job_.records.at(index), index);
        const auto& x = layout.columnX;
        const int top = layout.printY;
        const int bottom = top + layout.rowHeight;

        drawLeft(texts[0], x[0], x[1], top, bottom);
        drawLeft(texts[1], x[1], x[2], top, bottom);
        drawLeft(texts[2], x[2], x[4], top, bottom);  // the time covers it from x[3] on
        drawLeft(texts[3], x[3], x[4], top, bottom);
        drawRight(texts[4], x[5], top, bottom);
        drawRight(texts[5], x[6], top, bottom);
        drawRight(texts[6], x[7], top, bottom);
        drawRight(texts[7], x[8], top, bottom);
        drawRight(texts[8], x[9], top, bottom);
        drawRight(texts[9], x[9] + layout.columnWidth[9], top, bottom);

        canvas_.setFont(saved);
        layout.printY += layout.rowHeight;
        return 0;
    });
}

int ReportPrinter::printRecordBlock(unsigned index) {
    return step(__LINE__, [this, index] {
        setArial(10, false);  // left so for the next step
        const int l = canvas_.textHeight("X") + kLinePad;
        const auto lines = recordBlockLines(job_.records.at(index), index);
        const int top = layout.printY;
        for (int k = 0; k < 9; ++k) {
            const int y = top + k * l;
            drawLeft(lines[k], kLeft, kLeft + canvas_.textWidth(lines[k]), y, y + l);
        }
        layout.printY += layout.recordBlockHeight;
        return 0;
    });
}

int ReportPrinter::printClosingBlock() {
    return step(__LINE__, [this] {
        const std::string technician = "Technician: ";
        const std::string date = "Date: ";
        setArial(10, true);  // left so; the footer sets its own font
        const int l = canvas_.textHeight("X") + kLinePad;
        const int middle = canvas_.pageWidth() / 2;
        const int y = layout.printY;
        const int technicianWidth = canvas_.textWidth(technician);
        const int dateWidth = canvas_.textWidth(date);

        canvas_.setPenWidth(2);
        canvas_.line(kLeft + technicianWidth, y + l + 5, middle, y + l + 5);
        canvas_.line(kLeft + dateWidth, y + 2 * l + 15, middle, y + 2 * l + 15);
        drawLeft(technician, kLeft, kLeft + technicianWidth, y, y + l);
        drawLeft(date, kLeft, kLeft + dateWidth, y + l, y + 2 * l);
        return 0;
    });
}

int drawPageHeader(PrintCanvas& canvas, const std::string& first, const std::string& stamp) {
    const std::string dateLine = "Data Printed On " + stamp;
    const int right = canvas.pageWidth() - kLeft;
    int y = kLeft;

    canvas.setFont(CanvasFont{kFace, 12, true});
    int h = canvas.textHeight("X");
    canvas.textRect(kLeft, y, right, y + h, kLeft, y, first);
    y += h + kLinePad;

    canvas.setFont(CanvasFont{kFace, 12, false});
    h = canvas.textHeight("X");
    canvas.textRect(kLeft, y, right, y + h, kLeft, y, dateLine);
    y += h + kHeaderGap;

    canvas.setFont(CanvasFont{kFace, 10, false});
    return y;
}

void drawPageFooter(PrintCanvas& canvas, const std::string& text) {
    const int pageWidth = canvas.pageWidth();
    const int pageHeight = canvas.pageHeight();
    canvas.setFont(CanvasFont{kFace, 10, false});
    const int f = canvas.textHeight("X") + 50;
    canvas.setPenWidth(2);
    const int ruleY = pageHeight - (f + 25);  // on pageBottom
    canvas.line(kRuleInset, ruleY, pageWidth - kRuleInset, ruleY);

    const int tw = canvas.textWidth(text);
    const int th = canvas.textHeight(text);
    const int x = pageWidth / 2 - tw / 2;
    const int y = pageHeight - f;
    canvas.textRect(x, y, tw / 2 + pageWidth / 2, y + th, x, y, text);
}

int pageFooterSpace(PrintCanvas& canvas) {
    const CanvasFont saved = canvas.font();
    canvas.setFont(CanvasFont{kFace, 10, false});
    const int result = canvas.textHeight("X") + kFooterSpace;
    canvas.setFont(saved);
    return result;
}

int printReport(PrintCanvas& canvas, const ReportJob& job) {
    return ReportPrinter(canvas, job).printReport();
}
