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

// A report's sections one at a time, so that no more than one is held: it
// calls `each` with every section in order (the summary first) and stops
// when `each` returns false; false when a section could not be made or
// `each` returned false.  It may be asked more than once.
using WorkshopSections =
    std::function<bool(const std::function<bool(const WorkshopSection& section)>& each)>;
WorkshopSections sectionsOf(const WorkshopReport& report);

// The report's printed pages: 0 when the job ended, -1 when the canvas
// refused or failed (the job is then aborted).  The sections are asked for
// twice: once to count the pages for "page N of M", once to draw them.
int printWorkshopReport(PrintCanvas& canvas, const std::string& title, const std::string& stamp,
                        const WorkshopSections& sections);
int printWorkshopReport(PrintCanvas& canvas, const WorkshopReport& report);

// The web page, a piece at a time: its head (with the title and the stamp),
// each section, its foot.  plotSvg gives a plot as an <svg> element drawn
// by drawPlot.  A page of its own for a device (--html-dir) is the head,
// its section and the foot.
using PlotSvg = std::function<std::string(const Plot&)>;
std::string workshopPageHead(const std::string& title, const std::string& stamp);
std::string workshopSectionHtml(const WorkshopSection& section, const PlotSvg& plotSvg);
std::string workshopPageFoot();
std::string workshopReportHtml(const WorkshopReport& report, const PlotSvg& plotSvg);
