#include <algorithm>
#include <exception>

#include "print/report.h"
#include "workshop/table.h"
#include "workshop/report.h"

namespace {

constexpr const char* kFace = "Arial";
constexpr int kLeft = 200;       // the printed layouts' left edge, in dots
constexpr int kLinePad = 10;     // added to a text height for a line
constexpr int kColumnGap = 120;  // between table columns

// Stands in for the canvas while the pages are counted: it measures on the
// real canvas and draws nothing.
class PageCounter : public PrintCanvas {
public:
    explicit PageCounter(PrintCanvas& real) : real_(real) {}
    bool setOrientation(PageOrientation o) override { return real_.setOrientation(o); }
    int pageWidth() override { return real_.pageWidth(); }
    int pageHeight() override { return real_.pageHeight(); }
    bool beginDocument() override { return page_ = 1, open_ = true; }
    bool newPage() override { return ++page_, true; }
    bool endDocument() override { return !(open_ = false); }
    void abortDocument() override { open_ = false; }
    bool inProgress() override { return open_; }
    int pageNumber() override { return page_; }
    void setFont(const CanvasFont& font) override { real_.setFont(font); }
    CanvasFont font() override { return real_.font(); }
    void setPenWidth(int) override {}
    int textWidth(const std::string& text) override { return real_.textWidth(text); }
    int textHeight(const std::string& text) override { return real_.textHeight(text); }
    void textRect(int, int, int, int, int, int, const std::string&) override {}
    void line(int, int, int, int) override {}
    void setPenColor(CanvasColor) override {}
    void fillRect(int, int, int, int, CanvasColor) override {}
    void circle(int, int, int, bool) override {}
    void polygon(const std::vector<CanvasPoint>&) override {}

private:
    PrintCanvas& real_;
    int page_ = 0;
    bool open_ = false;
};

// Words that fit width, a line at a time; a word longer than the width
// stands alone (and is clipped).
std::vector<std::string> wrapped(PrintCanvas& c, const std::string& text, int width) {
    std::vector<std::string> lines;
    std::string line;
    std::size_t at = 0;
    while (at <= text.size()) {
        std::size_t end = text.find(' ', at);
        if (end == std::string::npos) end = text.size();
        const std::string word = text.substr(at, end - at);
        const std::string longer = line.empty() ? word : line + " " + word;
        if (!line.empty() && c.textWidth(longer) > width) {
            lines.push_back(line);
            line = word;
        } else {
            line = longer;
        }
        at = end + 1;
    }
    lines.push_back(line);
    return lines;
}

// A cell's text in lines of at most width: at its spaces, and inside a
// word that is wider than the width by itself.
std::vector<std::string> broken(PrintCanvas& c, const std::string& text, int width) {
    std::vector<std::string> lines;
    for (std::string line : wrapped(c, text, width)) {
        while (c.textWidth(line) > width && line.size() > 1) {
            std::size_t fits = 1;
            while (fits < line.size() && c.textWidth(line.substr(0, fits + 1)) <= width) ++fits;
            lines.push_back(line.substr(0, fits));
            line.erase(0, fits);
        }
        lines.push_back(line);
    }
    return lines;
}

class WorkshopPrinter {
public:
    WorkshopPrinter(PrintCanvas& canvas, const std::string& title, const std::string& stamp,
                    int pages)
        : c_(canvas), title_(title), stamp_(stamp), pages_(pages) {}
    // The number of pages, or -1.
    int print(const WorkshopSections& sections);

private:
    bool startPage(const WorkshopSection& section);
    bool endPage();
    bool room(int height, const WorkshopSection& section);
    bool block(const WorkshopBlock& b, const WorkshopSection& section);
    bool table(const WorkshopTable& t, const WorkshopSection& section);
    void tableHead(const WorkshopTable& t);
    // A row's cells, each in the lines its column's width gives it.
    std::vector<std::vector<std::string>> cellLines(const std::vector<std::string>& cells);
    void row(const std::vector<std::vector<std::string>>& cells, const WorkshopTable& t);

    PrintCanvas& c_;
    const std::string &title_, &stamp_;
    int pages_;
    bool first_ = true;  // the first section (the summary) is on the page in print
    int y_ = 0, bottom_ = 0, right_ = 0, rowHeight_ = 0;
    std::vector<int> x_;  // the table's column edges
    int gap_ = kColumnGap;
};

int WorkshopPrinter::print(const WorkshopSections& sections) {
    if (!c_.setOrientation(PageOrientation::Portrait)) return -1;
    bottom_ = c_.pageHeight() - pageFooterSpace(c_);
    right_ = c_.pageWidth() - kLeft;
    c_.setFont(CanvasFont{kFace, 10, false});
    rowHeight_ = c_.textHeight("X") + kLinePad;
    if (!c_.beginDocument()) return -1;
    bool any = false;
    const bool made = sections([&](const WorkshopSection& section) {
        if (any && (!endPage() || !c_.newPage())) return false;
        first_ = !any;
        any = true;
        if (!startPage(section)) return false;
        for (const WorkshopBlock& b : section.blocks)
            if (!block(b, section)) return false;
        return true;
    });
    if (!made || !any) return -1;
    if (!endPage()) return -1;
    const int pages = c_.pageNumber();
    return c_.endDocument() ? pages : -1;
}

bool WorkshopPrinter::startPage(const WorkshopSection& section) {
    y_ = drawPageHeader(c_, escapedText(first_ ? title_ : title_ + ": " + section.title), stamp_);
    return true;
}

bool WorkshopPrinter::endPage() {
    drawPageFooter(c_, "page " + std::to_string(c_.pageNumber()) + " of " +
                           std::to_string(std::max(pages_, c_.pageNumber())));
    return true;
}

// A new page (with the section's header) when height does not fit below y.
bool WorkshopPrinter::room(int height, const WorkshopSection& section) {
    if (y_ + height < bottom_) return true;
    return endPage() && c_.newPage() && startPage(section);
}

bool WorkshopPrinter::block(const WorkshopBlock& b, const WorkshopSection& section) {
    switch (b.kind) {
        case WorkshopBlock::Kind::Heading: {
            c_.setFont(CanvasFont{kFace, 12, true});
            const int h = c_.textHeight("X");
            // A heading stays with the first lines under it.
            if (!room(rowHeight_ / 2 + h + 3 * rowHeight_, section)) return false;
            y_ += rowHeight_ / 2;
            c_.textRect(kLeft, y_, right_, y_ + h, kLeft, y_, escapedText(b.text));
            y_ += h + kLinePad;
            return true;
        }
        case WorkshopBlock::Kind::Line:
            c_.setFont(CanvasFont{kFace, 10, false});
            for (const std::string& line : broken(c_, escapedText(b.text), right_ - kLeft)) {
                if (!room(rowHeight_, section)) return false;
                c_.setFont(CanvasFont{kFace, 10, false});
                c_.textRect(kLeft, y_, right_, y_ + rowHeight_, kLeft, y_, line);
                y_ += rowHeight_;
            }
            return true;
        case WorkshopBlock::Kind::Table:
            return table(b.table, section);
        case WorkshopBlock::Kind::Plot: {
            const int height = (right_ - kLeft) * 2 / 5;
            if (!room(height + rowHeight_ / 2, section)) return false;
            y_ += rowHeight_ / 2;
            drawPlot(c_, kLeft, y_, right_, y_ + height, b.plot);
            y_ += height;
            return true;
        }
    }
    return true;
}

bool WorkshopPrinter::table(const WorkshopTable& t, const WorkshopSection& section) {
    // Each column as wide as its widest text.  A table wider than the page
    // keeps its whole columns (device IDs, dates, results: never cut) as
    // wide as they are, and shares the rest among the others, whose texts
    // wrap within their column.
    const std::size_t n = t.heads.size();
    std::vector<long long> width(n, 0);
    c_.setFont(CanvasFont{kFace, 10, true});
    for (std::size_t k = 0; k < n; ++k) width[k] = c_.textWidth(escapedText(t.heads[k]));
    c_.setFont(CanvasFont{kFace, 10, false});
    for (const auto& cells : t.rows)
        for (std::size_t k = 0; k < n && k < cells.size(); ++k)
            width[k] = std::max<long long>(width[k], c_.textWidth(escapedText(cells[k])));
    // The gap between columns narrows first, down to a fifth of its width.
    long long total = 0;
    for (long long w : width) total += w;
    const long long room = right_ - kLeft;
    gap_ = n == 0 ? kColumnGap
                  : static_cast<int>(std::clamp<long long>(
                        (room - total) / static_cast<long long>(n), kColumnGap / 5, kColumnGap));
    total += gap_ * static_cast<long long>(n);
    if (total > room) {
        long long whole = 0, rest = 0;
        for (std::size_t k = 0; k < n; ++k)
            (k < t.whole.size() && t.whole[k] ? whole : rest) += width[k];
        const long long share = std::max<long long>(room - whole - gap_ * static_cast<long long>(n),
                                                    c_.textWidth("WWWW") * 2);
        for (std::size_t k = 0; k < n; ++k)
            if (!(k < t.whole.size() && t.whole[k]) && rest > 0)
                width[k] = std::max<long long>(c_.textWidth("WWWW"), width[k] * share / rest);
    }
    x_.assign(1, kLeft);
    for (std::size_t k = 0; k < n; ++k) x_.push_back(x_.back() + static_cast<int>(width[k]) + gap_);

    if (!this->room(rowHeight_ / 2 + 3 * rowHeight_, section)) return false;
    y_ += rowHeight_ / 2;
    tableHead(t);
    for (const auto& cells : t.rows) {
        const std::vector<std::vector<std::string>> lines = cellLines(cells);
        std::size_t height = 1;
        for (const auto& l : lines) height = std::max(height, l.size());
        if (y_ + rowHeight_ * static_cast<int>(height) >= bottom_) {
            if (!endPage() || !c_.newPage() || !startPage(section)) return false;
            tableHead(t);
        }
        row(lines, t);
    }
    return true;
}

std::vector<std::vector<std::string>> WorkshopPrinter::cellLines(
    const std::vector<std::string>& cells) {
    std::vector<std::vector<std::string>> lines;
    for (std::size_t k = 0; k < cells.size() && k + 1 < x_.size(); ++k)
        lines.push_back(broken(c_, escapedText(cells[k]), x_[k + 1] - gap_ - x_[k]));
    return lines;
}

void WorkshopPrinter::tableHead(const WorkshopTable& t) {
    c_.setFont(CanvasFont{kFace, 10, true});
    row(cellLines(t.heads), t);
    c_.setPenWidth(4);
    c_.line(kLeft, y_, x_.back() - gap_, y_);
    y_ += kLinePad;
    c_.setFont(CanvasFont{kFace, 10, false});
}

void WorkshopPrinter::row(const std::vector<std::vector<std::string>>& cells,
                          const WorkshopTable& t) {
    std::size_t height = 1;
    for (std::size_t k = 0; k < cells.size(); ++k) {
        const int left = x_[k], right = x_[k + 1] - gap_;
        const bool alignRight = k < t.right.size() && t.right[k];
        int y = y_;
        for (const std::string& line : cells[k]) {
            const int x = alignRight ? right - c_.textWidth(line) : left;
            c_.textRect(std::max(left, x), y, right, y + rowHeight_, x, y, line);
            y += rowHeight_;
        }
        height = std::max(height, cells[k].size());
    }
    y_ += rowHeight_ * static_cast<int>(height);
}

}  // namespace

int printWorkshopReport(PrintCanvas& canvas, const std::string& title, const std::string& stamp,
                        const WorkshopSections& sections) {
    try {
        // The first pass counts the pages for "page N of M".
        PageCounter counter(canvas);
        const int pages = WorkshopPrinter(counter, title, stamp, 0).print(sections);
        if (pages > 0 && WorkshopPrinter(canvas, title, stamp, pages).print(sections) == pages)
            return 0;
    } catch (const std::exception&) {
    }
    if (canvas.inProgress()) canvas.abortDocument();
    return -1;
}

int printWorkshopReport(PrintCanvas& canvas, const WorkshopReport& report) {
    return printWorkshopReport(canvas, report.title, report.stamp, sectionsOf(report));
}
