#include "workshop/qtoutputs.h"

#include <QBuffer>
#include <QSvgGenerator>

#include "app/fonts.h"
#include "print/pdf.h"
#include "print/qtcanvas.h"

// Painted as drawn: a failed report throws the whole PDF away anyway, and a
// report of a thousand devices would otherwise keep every page's drawing.
bool workshopPdf(const WorkshopReport& report, Paper paper, QByteArray* pdf) {
    return pdfOf(paper, pdf, QtPrintCanvas::Painting::AsDrawn,
                 [&](PrintCanvas& canvas) { return printWorkshopReport(canvas, report) == 0; });
}

bool workshopPdf(const std::string& title, const std::string& stamp,
                 const WorkshopSections& sections, Paper paper, QIODevice* device) {
    return pdfTo(paper, device, QtPrintCanvas::Painting::AsDrawn, [&](PrintCanvas& canvas) {
        return printWorkshopReport(canvas, title, stamp, sections) == 0;
    });
}

std::string plotSvg(const Plot& plot) {
    const int width = 1100, height = 440;
    QByteArray svg;
    QBuffer buffer(&svg);
    buffer.open(QIODevice::WriteOnly);
    QSvgGenerator generator;
    generator.setOutputDevice(&buffer);
    generator.setResolution(96);
    generator.setSize(QSize(width, height));
    generator.setViewBox(QRect(0, 0, width, height));
    generator.setTitle(latin1Text(plot.valueLabel));
    generator.setDescription(latin1Text(plot.valueLabel + " by " + plot.timeLabel));
    QtPrintCanvas canvas(generator, width, height);
    if (!canvas.beginDocument()) return {};
    drawPlot(canvas, 0, 0, width, height, plot);
    canvas.endDocument();
    // The element alone, without the XML prolog, for inline use; a screen
    // reader names it by its title.
    const qsizetype start = svg.indexOf("<svg");
    if (start < 0) return {};
    return "<svg role=\"img\"" + svg.mid(start + 4).toStdString();
}
