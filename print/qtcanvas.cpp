#include "print/qtcanvas.h"

#include <QPageLayout>
#include <QPagedPaintDevice>
#include <QPainter>
#include <QPen>

#include "app/fonts.h"

QtPrintCanvas::QtPrintCanvas(QPagedPaintDevice& printer) : printer_(printer) { setFont(font_); }

bool QtPrintCanvas::setOrientation(PageOrientation orientation) {
    return printer_.setPageOrientation(
        orientation == PageOrientation::Landscape ? QPageLayout::Landscape : QPageLayout::Portrait);
}

int QtPrintCanvas::pageWidth() {
    return printer_.pageLayout().paintRectPixels(resolution()).width();
}

int QtPrintCanvas::pageHeight() {
    return printer_.pageLayout().paintRectPixels(resolution()).height();
}

// Dots per inch, which both QPrinter and QPdfWriter report as their
// resolution.
int QtPrintCanvas::resolution() const { return printer_.logicalDpiX(); }

bool QtPrintCanvas::beginDocument() {
    pages_.assign(1, {});
    open_ = true;
    page_ = 1;
    return true;
}

bool QtPrintCanvas::newPage() {
    if (!open_) return false;
    pages_.emplace_back();
    ++page_;
    return true;
}

bool QtPrintCanvas::endDocument() {
    if (!open_) return false;
    open_ = false;
    const std::vector<std::vector<Step>> pages = std::move(pages_);
    pages_.clear();
    QPainter painter;
    if (!painter.begin(&printer_)) return false;
    for (std::size_t p = 0; p < pages.size(); ++p) {
        if (p > 0 && !printer_.newPage()) {
            painter.end();
            return false;
        }
        for (const Step& step : pages[p]) draw(painter, step);
    }
    return painter.end();
}

void QtPrintCanvas::abortDocument() {
    open_ = false;
    pages_.clear();
}

bool QtPrintCanvas::inProgress() { return open_; }
int QtPrintCanvas::pageNumber() { return page_; }

void QtPrintCanvas::setFont(const CanvasFont& font) {
    font_ = font;
    qfont_ = arialPoints(font.points, font.bold);
    qfont_.setFamily(QString::fromLatin1(font.face.c_str()));
    metrics_.reset();
}

CanvasFont QtPrintCanvas::font() { return font_; }

void QtPrintCanvas::setPenWidth(int dots) { penWidth_ = dots; }

// Measured on the printer itself, so that the widths fit what it prints.
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
    if (!open_) return;
    pages_.back().push_back({false, qfont_, QRect(left, top, right - left, bottom - top),
                             QPoint(x, y + metrics().ascent()), latin1Text(text), QLine(), 0});
}

void QtPrintCanvas::line(int x1, int y1, int x2, int y2) {
    if (!open_) return;
    pages_.back().push_back(
        {true, QFont(), QRect(), QPoint(), QString(), QLine(x1, y1, x2, y2), penWidth_});
}

void QtPrintCanvas::draw(QPainter& painter, const Step& step) {
    if (step.isLine) {
        painter.setPen(QPen(Qt::black, step.penWidth, Qt::SolidLine, Qt::FlatCap));
        painter.drawLine(step.line);
        return;
    }
    painter.setClipRect(step.cell);
    painter.fillRect(step.cell, Qt::white);
    if (painter.font() != step.font) painter.setFont(step.font);
    painter.setPen(Qt::black);
    painter.drawText(step.at, step.text);
    painter.setClipping(false);
}
