#include "print/qtcanvas.h"

#include <QPageLayout>
#include <QPagedPaintDevice>
#include <QPainter>
#include <QPen>

#include "app/fonts.h"

QtPrintCanvas::QtPrintCanvas(QPagedPaintDevice& printer, Painting painting)
    : device_(printer), printer_(&printer), painting_(painting) {
    setFont(font_);
}

QtPrintCanvas::QtPrintCanvas(QPaintDevice& device, int width, int height)
    : device_(device), printer_(nullptr), width_(width), height_(height) {
    setFont(font_);
}

bool QtPrintCanvas::setOrientation(PageOrientation orientation) {
    if (!printer_) return true;
    return printer_->setPageOrientation(
        orientation == PageOrientation::Landscape ? QPageLayout::Landscape : QPageLayout::Portrait);
}

int QtPrintCanvas::pageWidth() {
    return printer_ ? printer_->pageLayout().paintRectPixels(resolution()).width() : width_;
}

int QtPrintCanvas::pageHeight() {
    return printer_ ? printer_->pageLayout().paintRectPixels(resolution()).height() : height_;
}

// Dots per inch, which both QPrinter and QPdfWriter report as their
// resolution.
int QtPrintCanvas::resolution() const { return device_.logicalDpiX(); }

bool QtPrintCanvas::beginDocument() {
    pages_.assign(1, {});
    if (painting_ == Painting::AsDrawn && !painter_.begin(&device_)) return false;
    open_ = true;
    page_ = 1;
    return true;
}

bool QtPrintCanvas::newPage() {
    if (!open_ || !printer_) return false;
    if (painting_ == Painting::AsDrawn) {
        if (!printer_->newPage()) return false;
    } else {
        pages_.emplace_back();
    }
    ++page_;
    return true;
}

bool QtPrintCanvas::endDocument() {
    if (!open_) return false;
    open_ = false;
    if (painting_ == Painting::AsDrawn) return painter_.end();
    const std::vector<std::vector<Step>> pages = std::move(pages_);
    pages_.clear();
    QPainter painter;
    if (!painter.begin(&device_)) return false;
    for (std::size_t p = 0; p < pages.size(); ++p) {
        if (p > 0 && (!printer_ || !printer_->newPage())) {
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
    if (painter_.isActive()) painter_.end();
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

void QtPrintCanvas::setPenColor(CanvasColor color) {
    penColor_ = QColor(color.red, color.green, color.blue);
}

// Measured on the printer itself, so that the widths fit what it prints.
const QFontMetrics& QtPrintCanvas::metrics() {
    if (!metrics_) metrics_.emplace(qfont_, &device_);
    return *metrics_;
}

int QtPrintCanvas::textWidth(const std::string& text) {
    return metrics().horizontalAdvance(latin1Text(text));
}

int QtPrintCanvas::textHeight(const std::string&) { return metrics().height(); }

void QtPrintCanvas::add(Step step) {
    if (!open_) return;
    if (painting_ == Painting::AsDrawn)
        draw(painter_, step);
    else
        pages_.back().push_back(std::move(step));
}

void QtPrintCanvas::textRect(int left, int top, int right, int bottom, int x, int y,
                             const std::string& text) {
    Step step;
    step.shape = Shape::Text;
    step.font = qfont_;
    step.cell = QRect(left, top, right - left, bottom - top);
    step.at = QPoint(x, y + metrics().ascent());
    step.text = latin1Text(text);
    add(std::move(step));
}

void QtPrintCanvas::line(int x1, int y1, int x2, int y2) {
    Step step;
    step.shape = Shape::Line;
    step.line = QLine(x1, y1, x2, y2);
    step.penWidth = penWidth_;
    step.color = penColor_;
    add(std::move(step));
}

void QtPrintCanvas::fillRect(int left, int top, int right, int bottom, CanvasColor color) {
    Step step;
    step.shape = Shape::Fill;
    step.cell = QRect(left, top, right - left, bottom - top);
    step.color = QColor(color.red, color.green, color.blue);
    add(std::move(step));
}

void QtPrintCanvas::circle(int x, int y, int radius, bool filled) {
    Step step;
    step.shape = Shape::Circle;
    step.cell = QRect(x - radius, y - radius, 2 * radius, 2 * radius);
    step.penWidth = penWidth_;
    step.color = penColor_;
    step.filled = filled;
    add(std::move(step));
}

void QtPrintCanvas::polygon(const std::vector<CanvasPoint>& points) {
    Step step;
    step.shape = Shape::Polygon;
    for (const CanvasPoint& p : points) step.polygon << QPoint(p.x, p.y);
    step.color = penColor_;
    add(std::move(step));
}

void QtPrintCanvas::draw(QPainter& painter, const Step& step) {
    switch (step.shape) {
        case Shape::Line:
            painter.setPen(QPen(step.color, step.penWidth, Qt::SolidLine, Qt::FlatCap));
            painter.drawLine(step.line);
            return;
        case Shape::Fill:
            painter.fillRect(step.cell, step.color);
            return;
        case Shape::Circle:
            painter.setRenderHint(QPainter::Antialiasing, true);
            if (step.filled) {
                painter.setPen(Qt::NoPen);
                painter.setBrush(step.color);
            } else {
                painter.setPen(QPen(step.color, step.penWidth));
                painter.setBrush(Qt::NoBrush);
            }
            painter.drawEllipse(step.cell);
            painter.setRenderHint(QPainter::Antialiasing, false);
            return;
        case Shape::Polygon:
            painter.setRenderHint(QPainter::Antialiasing, true);
            painter.setPen(Qt::NoPen);
            painter.setBrush(step.color);
            painter.drawPolygon(step.polygon);
            painter.setRenderHint(QPainter::Antialiasing, false);
            return;
        case Shape::Text:
            break;
    }
    painter.setClipRect(step.cell);
    painter.fillRect(step.cell, Qt::white);
    if (painter.font() != step.font) painter.setFont(step.font);
    painter.setPen(Qt::black);
    painter.drawText(step.at, step.text);
    painter.setClipping(false);
}
