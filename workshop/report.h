#pragma once
// The workshop report: a summary, then one section per device with its
// plots and the table of its tests.  The report is made of plain blocks
// (headings, lines, tables, plots) that two layouts show alike: printed
// pages on the report's drawing surface (the printed layouts' fonts, page
// header and stamp, "page N of M" at the foot, each section on a new page),
// and one self-contained web page whose plots are SVG drawn by the same
// plot code.
//
// Texts are the archive's 8-bit (Latin-1) bytes, as the printed layouts
// take them; the web page writes them as UTF-8.

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "print/canvas.h"
#include "workshop/plot.h"

struct WorkshopTable {
    std::vector<std::string> heads;
    std::vector<bool> right;  // per column: right-aligned (numbers)
    // per column: never cut nor wrapped in the PDF (device IDs, dates,
    // results); the other columns' long texts wrap within their column
    std::vector<bool> whole;
    std::vector<std::vector<std::string>> rows;
    // The web page links a row's first cell to this section anchor; empty: none.
    std::vector<std::string> rowLinks;

    static WorkshopTable of(std::vector<std::string> heads, std::vector<bool> right = {},
                            std::vector<bool> whole = {}) {
        WorkshopTable t;
        t.heads = std::move(heads);
        t.right = std::move(right);
        t.whole = std::move(whole);
        return t;
    }
};

struct WorkshopBlock {
    enum class Kind { Heading, Line, Table, Plot };
    Kind kind = Kind::Line;
    std::string text;    // Heading, Line
    std::string anchor;  // Heading: the web page's id for it; empty: none
    WorkshopTable table;
    Plot plot;

    static WorkshopBlock line(std::string text) {
        WorkshopBlock b;
        b.text = std::move(text);
        return b;
    }
    static WorkshopBlock heading(std::string text, std::string anchor = std::string()) {
        WorkshopBlock b = line(std::move(text));
        b.kind = Kind::Heading;
        b.anchor = std::move(anchor);
        return b;
    }
    static WorkshopBlock of(WorkshopTable table) {
        WorkshopBlock b;
        b.kind = Kind::Table;
        b.table = std::move(table);
        return b;
    }
};

struct WorkshopSection {
    std::string title;   // "Summary", "Device ICU-3"
    std::string anchor;  // the web page's id for it
    std::vector<WorkshopBlock> blocks;
};

struct WorkshopReport {
    std::string title;  // the first line of every page header
    std::string stamp;  // save/stamp's text
    std::vector<WorkshopSection> sections;
};

// The report's printed pages: 0 when the job ended, -1 when the canvas
// refused or failed (the job is then aborted).
int printWorkshopReport(PrintCanvas& canvas, const WorkshopReport& report);

// The web page.  plotSvg gives a plot as an <svg> element drawn by drawPlot.
std::string workshopReportHtml(const WorkshopReport& report,
                               const std::function<std::string(const Plot&)>& plotSvg);
