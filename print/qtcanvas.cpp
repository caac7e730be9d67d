#include "print/qtcanvas.h"

#include <QPageLayout>
#include <QPen>
#include <QPrinter>

#include "app/fonts.h"

QtPrintCanvas::QtPrintCanvas(QPrinter& printer) : printer_(printer) { setFont(font_); }

QtPrintCanvas::~QtPrintCanvas() {
    if (painter_.isActive()) abortDocument();
}

bool QtPrintCanvas::setOrientation(PageOrientation orientation) {
    return printer_.setPageOrientation(orientation == PageOrientation::Landscape
                                           ? QPageLayout::Landscape
                                           : QPageLayout::Portrait);
}

QRect QtPrintCanvas::paintRect() const {
    return printer_.pageLayout().paintRectPixels(printer_.resolution());
}

int QtPrintCanvas::pageWidth() { return paintRect().width(); }
int QtPrintCanvas::pageHeight() { return paintRect().height(); }

bool QtPrintCanvas::beginDocument() {
    if (!painter_.begin(&printer_)) return false;
    page_ = 1;
    painter_.setFont(qfont_);
    painter_.setBrush(Qt::white);
    return true;
}

bool QtPrintCanvas::newPage() {
    if (!painter_.isActive() || !printer_.newPage()) return false;
    ++page_;
    return true;
}

bool QtPrintCanvas::endDocument() {
    if (!painter_.isActive()) return false;
    return painter_.end();
}

void QtPrintCanvas::abortDocument() {
    printer_.abort();
    if (painter_.isActive()) painter_.end();
}

bool QtPrintCanvas::inProgress() { return painter_.isActive(); }
int QtPrintCanvas::pageNumber() { return page_; }

void QtPrintCanvas::setFont(const CanvasFont& font) {
    font_ = font;
    qfont_ = arialPoints(font.points, font.bold);
    qfont_.setFamily(QString::fromLatin1(font.face.c_str()));
    metrics_.reset();
    if (painter_.isActive()) painter_.setFont(qfont_);
}

CanvasFont QtPrintCanvas::font() { return font_; }

void QtPrintCanvas::setPenWidth(int dots) { penWidth_ = dots; }

// Measured on the printer itself, before the job begins as well as during it.
const QFontMetrics& QtPrintCanvas::metrics() {
    if (!metrics_) metrics_.emplace(qfont_, &printer_);
    return *metrics_;
}

int QtPrintCanvas::textWidth(const std::string& text) {
    return metrics().horizontalAdvance(latin1Text(text));
}

int QtPrintCanvas::textHeight(const std::string&) { return metrics().height(); }

void QtPrintCanvas::textRect(int left, int top, int right, int bottom, int x, int y,
                             const std::string& text) {
    const QRect cell(left, top, right - left, bottom - top);
    painter_.setClipRect(cell);
    painter_.fillRect(cell, Qt::white);
    painter_.setPen(Qt::black);
    painter_.drawText(x, y + metrics().ascent(), latin1Text(text));
    painter_.setClipping(false);
}

void QtPrintCanvas::line(int x1, int y1, int x2, int y2) {
    painter_.setPen(QPen(Qt::black, penWidth_, Qt::SolidLine, Qt::FlatCap));
    painter_.drawLine(x1, y1, x2, y2);
}
