#pragma once
// The report printer's canvas on a real printer (a CUPS queue or a PDF
// file) or on a PDF writer (the command-line program).  Page sizes are the
// printable area in device pixels; fonts are in points at the printer's own
// resolution and measured on the printer.
//
// A job's pages are kept as drawing steps and handed to the printer only
// when the document ends, so an aborted job sends nothing at all: Qt's CUPS
// and PDF engines cannot abort, and would print what was drawn so far.

#include <QFont>
#include <QFontMetrics>
#include <QLine>
#include <QRect>
#include <QString>
#include <optional>
#include <vector>

#include "print/canvas.h"

class QPagedPaintDevice;
class QPainter;

class QtPrintCanvas : public PrintCanvas {
public:
    explicit QtPrintCanvas(QPagedPaintDevice& printer);

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

private:
    struct Step {
        bool isLine;
        QFont font;  // text: font, white cell, baseline start, text
        QRect cell;
        QPoint at;
        QString text;
        QLine line;  // line: from, to, pen width
        int penWidth;
    };
    const QFontMetrics& metrics();
    static void draw(QPainter& painter, const Step& step);

    int resolution() const;

    QPagedPaintDevice& printer_;
    bool open_ = false;
    int page_ = 0;
    std::vector<std::vector<Step>> pages_;
    int penWidth_ = 1;
    CanvasFont font_{"Arial", 10, false};
    QFont qfont_;
    std::optional<QFontMetrics> metrics_;
};
