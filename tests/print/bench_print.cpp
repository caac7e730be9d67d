// How long 123 records take to lay out and print to a PDF file, in each
// layout, against a PDF job of as many pages that only carry their page
// number (the printer's own cost).  Prints numbers; not a test.
//   print_bench [RUNS] [FOLDER]   keeps list.pdf and record.pdf in FOLDER

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPainter>
#include <QPrinter>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "print/qtcanvas.h"
#include "print/report.h"
#include "save/stamp.h"
#include "records/recordstore.h"
#include "tests/bench/benchrow.h"
#include "tests/print/samples.h"

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir scratch;
    const QString folder =
        argc > 2 ? QDir(QString::fromLocal8Bit(argv[2])).absolutePath() : scratch.path();
    QDir().mkpath(folder);

    ReportJob job;
    job.records = sampleRecords(123);
    job.range = PrintAll;
    job.tester.id = "KEST-UNIT-9";
    job.tester.serial = "SN-0042";
    job.stamp = saveStamp();
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    for (PrintFormat format : {PrintListFormat, PrintRecordFormat}) {
        job.format = format;
        const QString file = folder + (format == PrintListFormat ? "/list.pdf" : "/record.pdf");
        std::vector<double> ms;
        int pages = 0;
        for (int run = 0; run < runs; ++run) {
            QPrinter printer(QPrinter::HighResolution);
            printer.setOutputFormat(QPrinter::PdfFormat);
            printer.setOutputFileName(file);
            auto start = std::chrono::steady_clock::now();
            QtPrintCanvas canvas(printer);
            if (printReport(canvas, job) != 0) {
                std::fprintf(stderr, "printing failed\n");
                return 1;
            }
            ms.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count());
            pages = canvas.pageNumber();
        }
        // The reference: as many pages, each with only its number.
        std::vector<double> blank;
        for (int run = 0; run < runs; ++run) {
            QPrinter printer(QPrinter::HighResolution);
            printer.setOutputFormat(QPrinter::PdfFormat);
            printer.setOutputFileName(folder + "/blank.pdf");
            printer.setPageOrientation(format == PrintListFormat ? QPageLayout::Landscape
                                                                 : QPageLayout::Portrait);
            auto start = std::chrono::steady_clock::now();
            QPainter painter(&printer);
            for (int page = 1; page <= pages; ++page) {
                if (page > 1) printer.newPage();
                painter.drawText(100, 100, QString::number(page));
            }
            painter.end();
            blank.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count());
        }
        const double value = median(ms);
        printRow(std::string("Print 123 records to PDF, ") +
                     (format == PrintListFormat ? "list layout (" : "record layout (") +
                     std::to_string(pages) + " pages)",
                 figure(value, "ms"), figure(median(blank), "ms") + " (as many numbered pages)",
                 "under 300 ms", value < 300.0);
    }
    QFile::remove(folder + "/blank.pdf");
    return 0;
}
