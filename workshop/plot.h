#pragma once
// A plot of one device's tests on a true time axis: each test one mark (no
// line joins them, so a gap between tests stays a gap), the band of the
// limits shaded as they were in force from each date on, and a value that
// lies beyond the scale drawn at its edge with an arrow that says so.  The
// mark's shape tells the result without colour: a filled circle for PASS, a
// cross (in red) for FAIL, a hollow circle where there is no verdict.
//
// Plain C++ on the report's drawing surface (print/canvas.h): the workshop
// report draws the same plot onto its PDF pages and, through Qt's SVG
// generator, into its web page.  Sizes follow the canvas's text height, so
// one plot reads alike at 1200 dots per inch and at 96 pixels per inch.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "print/canvas.h"
#include "records/calendar.h"  // days since 1970-01-01, as PlotPoint::day counts them

enum class PlotMark { Pass, Fail, Open };

struct PlotPoint {
    double day = 0;  // days since 1970-01-01 (local calendar), time of day as a fraction
    double value = 0;
    PlotMark mark = PlotMark::Open;
};

// The limits in force from fromDay until the next step; either end may be
// open (the band reaches the plot's edge on that side).  A step with
// neither end has no band.
struct PlotBand {
    double fromDay = 0;
    std::optional<double> low, high;
};

struct Plot {
    std::string valueLabel;            // the value axis, with its unit: "Flow error (%)"
    std::string timeLabel;             // "Test date"
    double firstDay = 0, lastDay = 0;  // the period the time axis spans
    std::vector<PlotPoint> points;
    std::vector<PlotBand> band;  // by fromDay; empty: no band
    // A date as the reader's locale writes it; ISO when not set.
    std::function<std::string(int year, int month, int day)> dateText;
};

// Draws the plot into the rectangle (left, top)-(right, bottom) of the
// canvas, with its labels and its legend inside that rectangle.
void drawPlot(PrintCanvas& canvas, int left, int top, int right, int bottom, const Plot& plot);

// Where drawPlot puts things: the plot area inside the rectangle and its
// scales.  x and y give the canvas position of a day and a value; y clamps
// a value beyond the scale to the area's edge.
struct PlotGeometry {
    int left = 0, top = 0, right = 0, bottom = 0;  // the plot area
    int radius = 2;                                // of a mark
    double firstDay = 0, lastDay = 1;              // at left and right
    std::vector<double> ticks;                     // the value axis, low to high
    int x(double day) const;
    int y(double value) const;
    bool fits() const;  // false: the rectangle is too small to plot in
};
PlotGeometry plotGeometry(PrintCanvas& canvas, int left, int top, int right, int bottom,
                          const Plot& plot);

// Where each point's mark is drawn (in plot.points' order): at its day and
// value, or at the edge when it lies beyond the scale (beyond: -1 below, 1
// above); a mark that would cover one of an earlier date is moved to the
// right beside it, so that a FAIL never hides under a PASS nor the other way
// round.  shown: false for a point outside the time axis.
struct PlacedMark {
    int x = 0, y = 0, beyond = 0;
    bool shown = false;
};
std::vector<PlacedMark> placeMarks(const PlotGeometry& geometry, const Plot& plot);

// The colours the marks and the band are drawn in (shape tells the same).
extern const CanvasColor kPlotPass, kPlotFail, kPlotOpen, kPlotBand, kPlotBandEdge;

// The value axis: round ticks (1, 2 or 5 times a power of ten apart) that
// cover every point and every finite end of the band, except a value far
// outside the rest (beyond one and a half times their spread from the
// middle half of the values and the band), which is drawn at the edge.
std::vector<double> valueTicks(const Plot& plot);
