#pragma once
// The report printer's canvas on a real printer (a CUPS queue or a PDF
// file) or on a PDF writer (the command-line program).  Page sizes are the
// printable area in device pixels; fonts are in points at the printer's own
// resolution and measured on the printer.
//
// A job's pages are kept as drawing steps and handed to the printer only
// when the document ends, so an aborted job sends nothing at all: Qt's CUPS
// and PDF engines cannot abort, and would print what was drawn so far.  A
// job whose output is thrown away on failure anyway (a PDF in memory) may
// paint as it goes instead, and keeps no pages.
//
// On a device of one page (an SVG generator, an image) the page is the
// size given, in the device's pixels; newPage fails there.

#include <QColor>
#include <QFont>
#include <QFontMetrics>
#include <QLine>
#include <QPainter>
#include <QPolygon>
#include <QRect>
#include <QString>
#include <optional>
#include <vector>

#include "print/canvas.h"

class QPagedPaintDevice;
class QPaintDevice;

class QtPrintCanvas : public PrintCanvas {
public:
    enum class Painting { AtEnd, AsDrawn };
    explicit QtPrintCanvas(QPagedPaintDevice& printer, Painting painting = Painting::AtEnd);
    QtPrintCanvas(QPaintDevice& device, int width, int height);

    bool setOrientation(PageOrientation orientation) override;
    int pageWidth() override;
    int pageHeight() override;

    bool beginDocument() override;
    bool newPage() override;
    bool endDocument() override;  // prints every page
    void abortDocument() override;
    bool inProgress() override;
    int pageNumber() override;

    void setFont(const CanvasFont& font) override;
    CanvasFont font() override;
    void setPenWidth(int dots) override;

    int textWidth(const std::string& text) override;
    int textHeight(const std::string& text) override;
    void textRect(int left, int top, int right, int bottom, int x, int y,
                  const std::string& text) override;
    void line(int x1, int y1, int x2, int y2) override;
    void setPenColor(CanvasColor color) override;
    void fillRect(int left, int top, int right, int bottom, CanvasColor color) override;
    void circle(int x, int y, int radius, bool filled) override;
    void polygon(const std::vector<CanvasPoint>& points) override;

private:
    enum class Shape { Text, Line, Fill, Circle, Polygon };
    struct Step {
        Shape shape = Shape::Text;
        QFont font;  // text: font, white cell, baseline start, text
        QRect cell;  // text's cell; a fill's rectangle; a circle's square
        QPoint at;
        QString text;
        QLine line;  // line: from, to
        int penWidth = 0;
        QColor color;  // of a line, an outline or a fill
        bool filled = false;
        QPolygon polygon;
    };
    const QFontMetrics& metrics();
    void add(Step step);
    static void draw(QPainter& painter, const Step& step);

    int resolution() const;

    QPaintDevice& device_;
    QPagedPaintDevice* printer_;  // nullptr on a device of one page
    int width_ = 0, height_ = 0;  // the one page's size
    Painting painting_ = Painting::AtEnd;
    QPainter painter_;  // Painting::AsDrawn: open for the whole job
    bool open_ = false;
    int page_ = 0;
    std::vector<std::vector<Step>> pages_;
    int penWidth_ = 1;
    QColor penColor_ = Qt::black;
    CanvasFont font_{"Arial", 10, false};
    QFont qfont_;
    std::optional<QFontMetrics> metrics_;
};
