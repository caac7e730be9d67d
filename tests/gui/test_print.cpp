// The print dialog, and real print jobs to PDF files through it, checked
// with pdftotext -bbox.

#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QPageLayout>
#include <QPrinter>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <cmath>
#include <stdexcept>

#include "app/application.h"
#include "app/microLUM.h"
#include "app/systemdialogs.h"
#include "print/qtcanvas.h"
#include "print/report.h"
#include "print/ulumPrint.h"
#include "records/recordstore.h"
#include "tests/core/records.h"
#include "tests/gui/guitest.h"
#include "tests/messagecheck.h"

namespace {

class PrintDialog : public MainWindowTest {
protected:
    void SetUp() override {
        MainWindowTest::SetUp();
        previousHandler_ = setPrintDialogHandler([this](QPrinter* printer) {
            ++systemDialogs;
            if (pdfFile.isEmpty()) return false;  // cancelled
            printer->setOutputFormat(QPrinter::PdfFormat);
            printer->setOutputFileName(pdfFile);
            printer->setPageSize(QPageSize(QPageSize::A4));
            return true;
        });
    }
    void TearDown() override {
        setPrintDialogHandler(previousHandler_);
        MainWindowTest::TearDown();
    }
    template <class W>
    W* control(const char* name) {
        W* w = printDialog()->findChild<W*>(QString::fromLatin1(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    void open(int range, int format) {
        printDialog()->hide();
        printRange = range;
        printFormat = format;
        printDialog()->show();
    }
    void clickPrint() { control<QPushButton>("btnPrintRecords")->click(); }

    int systemDialogs = 0;
    QString pdfFile;  // empty: the system dialog is cancelled

private:
    PrintDialogHandler previousHandler_;
};

TEST_F(PrintDialog, WindowControlsAndTabOrder) {
    EXPECT_EQ(printDialog()->windowTitle(), "Print");
    EXPECT_EQ(printWindow->size(), QSize(342, 120));
    EXPECT_TRUE(printWindow->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_FALSE(printWindow->isModal());
    EXPECT_TRUE(control<QGroupBox>("gbPrint")->font().bold());
    EXPECT_EQ(control<QGroupBox>("gbFormat")->font().pixelSize(), 16);
    EXPECT_EQ(control<QRadioButton>("rdPrintAll")->font().pixelSize(), 11);
    const char* order[] = {"btnPrintRecords", "btnPrintCancel",  "rdPrintAll",
                           "rdPrintSingle",   "rdPrintSelected", "printRecordSelector",
                           "rdListFormat",    "rdRecordFormat"};
    QWidget* w = control<QWidget>(order[0]);
    for (const char* name : order) {
        while (!(w->focusPolicy() & Qt::TabFocus)) w = w->nextInFocusChain();
        EXPECT_EQ(w->objectName(), name);
        EXPECT_FALSE(w->accessibleName().isEmpty()) << name;
        w = w->nextInFocusChain();
    }
}

// Every showing copies printRange and printFormat into the buttons and fills
// the selector "1".."n" with currentRecord chosen; the buttons write back.
TEST_F(PrintDialog, ShowingFollowsThePresetsAndTheButtonsWriteBack) {
    download(5);
    currentRecord = 3;
    struct Case {
        int range, format;
        const char *rangeButton, *formatButton;
    } cases[] = {
        {PrintSelected, PrintListFormat, "rdPrintSelected", "rdListFormat"},
        {PrintSingle, PrintRecordFormat, "rdPrintSingle", "rdRecordFormat"},
        {PrintAll, PrintListFormat, "rdPrintAll", "rdListFormat"},
        {7, 3, "rdPrintAll", "rdRecordFormat"},
    };
    for (const Case& c : cases) {
        open(c.range, c.format);
        EXPECT_TRUE(control<QRadioButton>(c.rangeButton)->isChecked()) << c.range;
        EXPECT_TRUE(control<QRadioButton>(c.formatButton)->isChecked()) << c.format;
        const bool single = c.range == PrintSingle;
        EXPECT_EQ(control<QLabel>("recordLabel")->isEnabled(), single);
        QComboBox* selector = control<QComboBox>("printRecordSelector");
        EXPECT_EQ(selector->isEnabled(), single);
        ASSERT_EQ(selector->count(), 5);
        EXPECT_EQ(selector->itemText(4), "5");
        EXPECT_EQ(selector->currentIndex(), 3);
    }
    struct Click {
        const char* button;
        int range, format;
        bool selectorEnabled;
    } clicks[] = {
        {"rdPrintSingle", PrintSingle, PrintRecordFormat, true},
        {"rdListFormat", PrintSingle, PrintListFormat, true},
        {"rdPrintSelected", PrintSelected, PrintListFormat, false},
        {"rdRecordFormat", PrintSelected, PrintRecordFormat, false},
        {"rdPrintAll", PrintAll, PrintRecordFormat, false},
    };
    for (const Click& c : clicks) {
        control<QRadioButton>(c.button)->click();
        EXPECT_EQ(printRange.load(), c.range) << c.button;
        EXPECT_EQ(printFormat.load(), c.format) << c.button;
        EXPECT_EQ(control<QComboBox>("printRecordSelector")->isEnabled(), c.selectorEnabled);
    }
    // A print command while the dialog is open: it takes up the new presets.
    MainWindow->BtnPrintSingleRecordClick();
    EXPECT_TRUE(control<QRadioButton>("rdPrintSingle")->isChecked());
    EXPECT_TRUE(control<QComboBox>("printRecordSelector")->isEnabled());
}

TEST_F(PrintDialog, PrintButtonBeforeAnyJob) {
    struct Case {
        const char* what;
        int records, range;
        bool selectOne, asksSystemDialog, staysOpen, noSelectionMessage;
    } cases[] = {
        {"selected range, nothing selected", 3, PrintSelected, false, false, false, true},
        {"selected range, one selected, cancelled", 3, PrintSelected, true, true, true, false},
        {"all records, nothing selected, cancelled", 3, PrintAll, false, true, true, false},
        {"single record, cancelled", 3, PrintSingle, false, true, true, false},
        {"single record without records", 0, PrintSingle, false, false, false, false},
    };
    for (const Case& c : cases) {
        resetSharedStateForTest();
        if (c.records) download(c.records);
        if (c.selectOne) recordStore().setSelected(1, true);
        messages.asked.clear();
        systemDialogs = 0;
        open(c.range, PrintRecordFormat);
        control<QComboBox>("printRecordSelector")->setCurrentIndex(c.records ? 2 : -1);
        clickPrint();
        EXPECT_EQ(systemDialogs, c.asksSystemDialog ? 1 : 0) << c.what;
        EXPECT_EQ(printWindow->isVisible(), c.staysOpen) << c.what;
        ASSERT_EQ(messages.asked.size(), c.noSelectionMessage ? 1u : 0u) << c.what;
        if (c.noSelectionMessage)
            expectMessage(messages.asked[0],
                          "There are no records selected.\r\rPrint operation cancelled.",
                          "No Records Selected", MsgIcon::Warning, MsgButtons::Ok);
        if (c.staysOpen) {  // choices unchanged
            EXPECT_EQ(printRange.load(), c.range) << c.what;
            EXPECT_EQ(printFormat.load(), PrintRecordFormat) << c.what;
            EXPECT_EQ(control<QComboBox>("printRecordSelector")->currentIndex(), 2) << c.what;
        }
    }
}

// ---- real jobs to PDF ----

struct Word {
    double x0, y0, x1, y1;
    QString text;
};
using PdfPages = std::vector<std::vector<Word>>;  // the words of each page

PdfPages readPdf(const QString& file) {
    QProcess p;
    p.start(QStringLiteral("pdftotext"), {QStringLiteral("-bbox"), file, QStringLiteral("-")});
    EXPECT_TRUE(p.waitForFinished(30000));
    const QString xml = QString::fromUtf8(p.readAllStandardOutput());
    PdfPages out;
    static const QRegularExpression tag(
        QStringLiteral("(<page )|<word xMin=\"([\\d.]+)\" yMin=\"([\\d.]+)\" "
                       "xMax=\"([\\d.]+)\" yMax=\"([\\d.]+)\">([^<]*)</word>"));
    for (auto m = tag.globalMatch(xml); m.hasNext();) {
        auto g = m.next();
        if (!g.captured(1).isEmpty()) {
            out.emplace_back();
        } else if (!out.empty()) {
            out.back().push_back({g.captured(2).toDouble(), g.captured(3).toDouble(),
                                  g.captured(4).toDouble(), g.captured(5).toDouble(),
                                  g.captured(6)});
        }
    }
    return out;
}

const Word* findWord(const std::vector<Word>& page, const QString& text) {
    for (const Word& w : page)
        if (w.text == text) return &w;
    return nullptr;
}

// Both layouts of 123 records, one job after the other on the dialog's
// printer.  On A4 at 1200 dpi with Liberation Sans for Arial the list takes
// 3 landscape pages and the record blocks 21 portrait pages of 6.
TEST_F(PrintDialog, BothLayoutsPrintToPdfAsDesigned) {
    download(123);
    QTemporaryDir folder;
    struct Case {
        int format, pages;
    } cases[] = {{PrintListFormat, 3}, {PrintRecordFormat, 21}};
    for (const Case& c : cases) {
        pdfFile = folder.filePath(c.format == PrintListFormat ? "list.pdf" : "record.pdf");
        open(PrintAll, c.format);
        clickPrint();
        EXPECT_FALSE(printWindow->isVisible());
        EXPECT_TRUE(messages.asked.empty());
        const PdfPages pdf = readPdf(pdfFile);
        ASSERT_EQ(static_cast<int>(pdf.size()), c.pages);

        // Dots of the printable area to points of the page.
        QPrinter* printer = printWindow->printer();
        const QRect area = printer->pageLayout().paintRectPixels(printer->resolution());
        const double k = 72.0 / printer->resolution();
        auto near = [](double a, double b) { return std::fabs(a - b) < 1.5; };
        int expectedRecord = 1;
        double firstRowY = 0;
        for (int p = 0; p < c.pages; ++p) {
            const auto& page = pdf[p];
            const Word* device = findWord(page, "Device:");
            ASSERT_NE(device, nullptr) << p;
            EXPECT_TRUE(near(device->x0, (area.left() + 200) * k)) << device->x0;
            EXPECT_TRUE(near(device->y0, (area.top() + 200) * k)) << device->y0;
            ASSERT_NE(findWord(page, "Printed"), nullptr);
            // The page number, centred under the rule.
            const Word* number = nullptr;
            for (const Word& w : page)
                if (w.text == QString::number(p + 1) && w.y0 > device->y0 + 300) number = &w;
            ASSERT_NE(number, nullptr) << p;
            EXPECT_TRUE(near((number->x0 + number->x1) / 2, (area.left() + area.width() / 2) * k));
            // The records of this page, in order, the first at the same height
            // on every page.
            int onPage = 0;
            for (const Word& w : page) {
                const QString want = c.format == PrintListFormat
                                         ? QString::number(expectedRecord)
                                         : "#:" + QString::number(expectedRecord);
                if (w.text != want || &w == number) continue;
                if (c.format == PrintListFormat && !near(w.x0, (area.left() + 200) * k)) continue;
                if (onPage++ == 0) {
                    if (p == 0) firstRowY = w.y0;
                    EXPECT_TRUE(near(w.y0, firstRowY)) << p;
                }
                ++expectedRecord;
            }
            EXPECT_GT(onPage, 0) << p;
            EXPECT_EQ(findWord(page, "Technician:") != nullptr, p == c.pages - 1) << p;
        }
        EXPECT_EQ(expectedRecord, 124);
    }
}

// New records arriving while the system print dialog is open: what was
// chosen when Print was pressed is what is printed.
TEST_F(PrintDialog, RecordsReplacedUnderTheSystemDialogPrintTheChoiceMade) {
    download(3);
    QTemporaryDir folder;
    pdfFile = folder.filePath("chosen.pdf");
    open(PrintSingle, PrintRecordFormat);
    control<QComboBox>("printRecordSelector")->setCurrentIndex(2);
    PrintDialogHandler fixture = setPrintDialogHandler(nullptr);
    setPrintDialogHandler([&fixture](QPrinter* printer) {
        EXPECT_EQ(MainWindow->presentRecords({makeRecord("NEW-1")}, 1, {}), 0);
        return fixture(printer);
    });
    clickPrint();
    setPrintDialogHandler(fixture);
    const PdfPages pdf = readPdf(pdfFile);
    ASSERT_EQ(pdf.size(), 1u);
    EXPECT_NE(findWord(pdf[0], "DEV-102"), nullptr);
    EXPECT_EQ(findWord(pdf[0], "NEW-1"), nullptr);
}

TEST_F(PrintDialog, AJobThatCannotStartIsReportedOnceAndTheDialogCloses) {
    download(3);
    pdfFile = "/nonexistent-folder/report.pdf";
    open(PrintAll, PrintListFormat);
    clickPrint();
    ASSERT_EQ(messages.asked.size(), 1u);
    expectMessage(messages.asked[0], "An Error Occurred During Printing.  Job Cancelled",
                  "Print Error", MsgIcon::Warning, MsgButtons::Ok);
    EXPECT_FALSE(printWindow->isVisible());
}

// Qt's printers cannot abort a job they have begun: a job that fails half-way
// must reach the printer not at all.
TEST_F(PrintDialog, AJobThatFailsHalfWaySendsNothing) {
    struct FailingCanvas : QtPrintCanvas {
        using QtPrintCanvas::QtPrintCanvas;
        void textRect(int l, int t, int r, int b, int x, int y, const std::string& text) override {
            if (text == "DEV-150") throw std::runtime_error("row 51");
            QtPrintCanvas::textRect(l, t, r, b, x, y, text);
        }
    };
    download(60);
    printRange = PrintAll;
    QTemporaryDir folder;
    QPrinter printer(QPrinter::HighResolution);
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(folder.filePath("aborted.pdf"));
    FailingCanvas canvas(printer);
    EXPECT_EQ(printReport(canvas, currentReportJob(-1)), -1);
    EXPECT_EQ(canvas.pageNumber(), 2);  // it failed on page 2
    EXPECT_FALSE(QFile::exists(folder.filePath("aborted.pdf")));
    EXPECT_EQ(messages.asked.size(), 1u);
}

}  // namespace
