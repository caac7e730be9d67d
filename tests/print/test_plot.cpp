// A plot's picture, drawn by the report's plot code onto an image as onto
// a PDF page or an SVG: the band where its limits say and the step where
// they changed, a FAIL outside the band with its cross, a value beyond the
// scale at the edge, and nothing drawn between two tests across a gap.

#include <gtest/gtest.h>

#include <QImage>
#include <cstdlib>

#include "print/plot.h"
#include "print/qtcanvas.h"

namespace {

bool near(const QColor& c, CanvasColor want, int by = 40) {
    return std::abs(c.red() - want.red) + std::abs(c.green() - want.green) +
               std::abs(c.blue() - want.blue) <=
           by;
}

TEST(Plot, ThePictureShowsTheBandItsStepTheMarksAndTheGaps) {
    const double day = *daysOfIso("2026-01-01");
    auto on = [](const char* iso) { return *daysOfIso(iso); };
    Plot plot;
    plot.firstDay = day;
    plot.lastDay = on("2026-12-31");
    plot.valueLabel = "Flow error (%)";
    plot.band = {{day - 100, -5.0, 5.0}, {on("2026-07-01"), -2.0, 2.0}};
    plot.points = {{on("2026-02-01T10:00:00"), 1.0, PlotMark::Pass},
                   {on("2026-03-01"), 8.0, PlotMark::Fail},
                   {on("2026-06-01"), 60.0, PlotMark::Pass},
                   {on("2026-11-01"), 1.0, PlotMark::Pass},
                   {on("2026-12-01"), -0.5, PlotMark::Open}};
    QImage image(1100, 440, QImage::Format_RGB32);
    image.fill(Qt::white);
    QtPrintCanvas canvas(image, image.width(), image.height());
    ASSERT_TRUE(canvas.beginDocument());
    drawPlot(canvas, 0, 0, image.width(), image.height(), plot);
    ASSERT_TRUE(canvas.endDocument());
    const PlotGeometry g = plotGeometry(canvas, 0, 0, image.width(), image.height(), plot);
    ASSERT_TRUE(g.fits());
    auto at = [&](double d, double value, int dx = 0, int dy = 0) {
        return image.pixelColor(g.x(d) + dx, g.y(value) + dy);
    };

    // The band: ±5 before July, ±2 from July on, with its step on 1 July.
    const double april = on("2026-04-15"), september = on("2026-09-15");
    EXPECT_TRUE(near(at(april, 3.7), kPlotBand, 0));
    EXPECT_TRUE(near(at(april, -3.7), kPlotBand, 0));
    EXPECT_FALSE(near(at(april, 5.7), kPlotBand));
    EXPECT_TRUE(near(at(september, 1.3), kPlotBand, 0));
    EXPECT_FALSE(near(at(september, 3.7), kPlotBand));
    EXPECT_FALSE(near(at(september, -3.7), kPlotBand));
    EXPECT_TRUE(near(at(on("2026-07-01"), 3.7, -3), kPlotBand, 0));
    EXPECT_FALSE(near(at(on("2026-07-01"), 3.7, 3), kPlotBand));

    // The FAIL at 8 % is a red cross outside the band: red on its
    // diagonals, not beside its centre.
    const double march = on("2026-03-01");
    EXPECT_TRUE(near(at(march, 8.0), kPlotFail));
    EXPECT_TRUE(near(at(march, 8.0, 2, 2), kPlotFail));
    EXPECT_FALSE(near(at(march, 8.0, 3, 0), kPlotFail));
    EXPECT_FALSE(near(at(march, 8.0, 0, 0), kPlotBand));
    // A PASS is a filled circle; a mark without verdict is hollow.
    EXPECT_TRUE(near(at(on("2026-02-01T10:00:00"), 1.0), kPlotPass));
    EXPECT_FALSE(near(at(on("2026-12-01"), -0.5), kPlotOpen));

    // 60 % is beyond the scale: its mark sits at the top edge, with an arrow
    // above the frame.
    EXPECT_LT(g.ticks.back(), 60);
    const int x = g.x(on("2026-06-01"));
    bool atEdge = false;
    for (int y = g.top; y < g.top + 12; ++y)
        atEdge = atEdge || near(image.pixelColor(x, y), kPlotPass);
    EXPECT_TRUE(atEdge);
    EXPECT_LT(image.pixelColor(x, g.top - 4).lightness(), 100);

    // No line joins the tests of February and November: the row between
    // them holds no mark's colour.
    for (int px = g.x(on("2026-02-10")); px < g.x(on("2026-10-20")); ++px)
        ASSERT_FALSE(near(image.pixelColor(px, g.y(1.0)), kPlotPass, 80)) << px;

    // Round ticks that hold the band and the FAIL.
    EXPECT_LE(g.ticks.front(), -5);
    EXPECT_GE(g.ticks.back(), 8);
    const double step = g.ticks[1] - g.ticks[0];
    EXPECT_TRUE(step == 1 || step == 2 || step == 5 || step == 10) << step;
}

}  // namespace
