#pragma once
// PDF in memory: a document drawn on the report printer's canvas over Qt's
// PDF writer at 1200 dots per inch, as the print dialog's printer, on the
// paper asked for.  lumkest-cli writes the printed layouts with it, and the
// workshop report's PDF is made the same way.

#include <QByteArray>
#include <QIODevice>
#include <functional>

#include "print/canvas.h"
#include "print/paper.h"
#include "print/qtcanvas.h"
#include "print/report.h"

// print draws the document; false when it or the writer failed.
bool pdfOf(Paper paper, QByteArray* pdf, QtPrintCanvas::Painting painting,
           const std::function<bool(PrintCanvas&)>& print);
// The same written to an open device as it is made (a document of any
// length painted as drawn need not be held whole).
bool pdfTo(Paper paper, QIODevice* device, QtPrintCanvas::Painting painting,
           const std::function<bool(PrintCanvas&)>& print);

// The job printed by the report printer (the printed list or record
// layout).  False when printing failed.
bool reportPdf(const ReportJob& job, Paper paper, QByteArray* pdf);
