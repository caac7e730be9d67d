#include "print/pdf.h"

#include <QBuffer>
#include <QPageSize>
#include <QPdfWriter>

// A PDF in memory at 1200 dots per inch, as the print dialog's printer;
// print draws the document on a canvas over it.
bool pdfOf(Paper paper, QByteArray* pdf, QtPrintCanvas::Painting painting,
           const std::function<bool(PrintCanvas&)>& print) {
    pdf->clear();
    QBuffer buffer(pdf);
    return buffer.open(QIODevice::WriteOnly) && pdfTo(paper, &buffer, painting, print) &&
           !pdf->isEmpty();
}

bool pdfTo(Paper paper, QIODevice* device, QtPrintCanvas::Painting painting,
           const std::function<bool(PrintCanvas&)>& print) {
    QPdfWriter writer(device);
    writer.setResolution(1200);
    writer.setPageSize(QPageSize(paper == Paper::Letter ? QPageSize::Letter : QPageSize::A4));
    writer.setTitle(QStringLiteral("LUM Kest"));
    writer.setCreator(QStringLiteral("LUM Kest"));
    QtPrintCanvas canvas(writer, painting);
    return print(canvas);
}

bool reportPdf(const ReportJob& job, Paper paper, QByteArray* pdf) {
    return pdfOf(paper, pdf, QtPrintCanvas::Painting::AtEnd,
                 [&](PrintCanvas& canvas) { return printReport(canvas, job) == 0; });
}
