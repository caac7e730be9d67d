#pragma once
// The drawing surface of the report printer: a printer job with its page
// geometry, fonts in points and the few drawing calls the layouts use.
// Positions and sizes are integer dots of the printable area, origin at its
// top left corner.  Texts are 8-bit single-byte (Latin-1) strings.
//
// The program draws on a QPainter over the print dialog's QPrinter
// (print/qtcanvas.h); tests draw on a recording canvas with fixed metrics.
// Any call may throw; the report printer treats that as a failed job.
//
// The workshop report's plots also fill rectangles, draw marks and lines in
// colour; the printed layouts draw in black only.

#include <string>
#include <vector>

enum class PageOrientation { Portrait, Landscape };

struct CanvasFont {
    std::string face;
    int points = 10;
    bool bold = false;
    bool operator==(const CanvasFont& o) const {
        return face == o.face && points == o.points && bold == o.bold;
    }
};

struct CanvasColor {
    unsigned char red = 0, green = 0, blue = 0;
    bool operator==(const CanvasColor& o) const {
        return red == o.red && green == o.green && blue == o.blue;
    }
};

struct CanvasPoint {
    int x = 0, y = 0;
};

class PrintCanvas {
public:
    virtual ~PrintCanvas() = default;

    // Page set-up, before beginDocument.
    virtual bool setOrientation(PageOrientation orientation) = 0;
    virtual int pageWidth() = 0;  // printable area, dots
    virtual int pageHeight() = 0;

    // The job.  beginDocument makes the page number 1, newPage adds 1.
    // abortDocument discards what was sent; inProgress is true between a
    // successful begin and end or abort.
    virtual bool beginDocument() = 0;
    virtual bool newPage() = 0;
    virtual bool endDocument() = 0;
    virtual void abortDocument() = 0;
    virtual bool inProgress() = 0;
    virtual int pageNumber() = 0;

    // Drawing state.
    virtual void setFont(const CanvasFont& font) = 0;
    virtual CanvasFont font() = 0;
    virtual void setPenWidth(int dots) = 0;

    // Measuring in the current font.
    virtual int textWidth(const std::string& text) = 0;
    virtual int textHeight(const std::string& text) = 0;

    // Fills the cell (left, top)-(right, bottom) white and draws text with
    // its top left corner at (x, y), clipped to the cell.  The right and
    // bottom edges lie outside the cell.
    virtual void textRect(int left, int top, int right, int bottom, int x, int y,
                          const std::string& text) = 0;
    // A straight line in the current pen width and colour (black unless
    // setPenColor said otherwise).
    virtual void line(int x1, int y1, int x2, int y2) = 0;

    // Colour: lines and outlines take the pen colour; fills take their own.
    virtual void setPenColor(CanvasColor color) = 0;
    // The rectangle (left, top)-(right, bottom) filled, with no outline.
    virtual void fillRect(int left, int top, int right, int bottom, CanvasColor color) = 0;
    // A circle around (x, y): outlined with the pen, or filled in the pen colour.
    virtual void circle(int x, int y, int radius, bool filled) = 0;
    // A closed polygon filled in the pen colour.
    virtual void polygon(const std::vector<CanvasPoint>& points) = 0;
};
