#pragma once
// The report printer's canvas on a real printer: a QPainter over a QPrinter
// (a CUPS queue or a PDF file).  Page sizes are the printable area in device
// pixels; fonts are in points at the printer's own resolution.

#include <QFont>
#include <QFontMetrics>
#include <QPainter>
#include <optional>

#include "print/canvas.h"

class QPrinter;

class QtPrintCanvas : public PrintCanvas {
public:
    explicit QtPrintCanvas(QPrinter& printer);
    ~QtPrintCanvas() override;  // aborts a job still in progress

    bool setOrientation(PageOrientation orientation) override;
    int pageWidth() override;
    int pageHeight() override;

    bool beginDocument() override;
    bool newPage() override;
    bool endDocument() override;
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
    QRect paintRect() const;
    const QFontMetrics& metrics();

    QPrinter& printer_;
    QPainter painter_;
    int page_ = 0;
    int penWidth_ = 1;
    CanvasFont font_{"Arial", 10, false};
    QFont qfont_;
    std::optional<QFontMetrics> metrics_;
};
