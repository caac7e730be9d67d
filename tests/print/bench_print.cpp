// How long 123 records take to lay out and print to a PDF file, in each
// layout.  Prints numbers; not a test.
//   print_bench [FOLDER]   keeps list.pdf and record.pdf in FOLDER

#include <QApplication>
#include <QDir>
#include <QPrinter>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "print/qtcanvas.h"
#include "print/report.h"
#include "records/recordstore.h"
#include "tests/print/samples.h"

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir scratch;
    const QString folder =
        argc > 1 ? QDir(QString::fromLocal8Bit(argv[1])).absolutePath() : scratch.path();
    QDir().mkpath(folder);

    ReportJob job;
    job.records = sampleRecords(123);
    job.range = PrintAll;
    job.instrumentId = "KEST-UNIT-9";
    job.instrumentSerial = "SN-0042";
    const int runs = 7;
    for (int format : {PrintListFormat, PrintRecordFormat}) {
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
        std::sort(ms.begin(), ms.end());
        std::printf(
            "%-14s 123 records, %d pages at %d dpi: median %.1f ms, min %.1f ms (%d runs)\n",
            format == PrintListFormat ? "list layout" : "record layout", pages,
            QPrinter(QPrinter::HighResolution).resolution(), ms[runs / 2], ms[0], runs);
    }
    return 0;
}
