// A plot's picture, drawn by the report's plot code onto an image as onto
// a PDF page or an SVG: the band where its limits say and the step where
// they changed, a FAIL outside the band with its cross, a value beyond the
// scale at the edge, and nothing drawn between two tests across a gap.

#include <gtest/gtest.h>

#include <QImage>
#include <cstdlib>

#include "print/qtcanvas.h"
#include "workshop/plot.h"

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

// The value axis holds the band's finite ends and every value but one far
// from the rest, which sits at the edge; marks that would overlap stand
// side by side.
TEST(Plot, TheAxisHoldsTheValuesAndEveryMarkStaysVisible) {
    const double day = *daysOfIso("2026-01-01");
    auto points = [&](std::vector<double> values) {
        std::vector<PlotPoint> out;
        for (std::size_t i = 0; i < values.size(); ++i)
            out.push_back({day + 30.0 * static_cast<double>(i), values[i], PlotMark::Pass});
        return out;
    };
    const struct {
        std::vector<PlotBand> band;
        std::vector<double> values;
        double from, to;         // the axis reaches at least this far
        std::vector<int> edges;  // the values drawn at an edge (-1 below, 1 above)
    } rows[] = {
        // An occlusion window open at the top: normal readings far above
        // its minimum are on the scale.
        {{{day, 250.0, std::nullopt}}, {407, 455, 520, 600, 580}, 250, 600, {0, 0, 0, 0, 0}},
        // A flow window of ±5: -31 % is an outlier; 8 % is not.
        {{{day, -5.0, 5.0}}, {1, -2, 3, -31, 8, 0.5}, -5, 8, {0, 0, 0, -1, 0, 0}},
        // A window open below, and a reading of 60 % far above the rest.
        {{{day, std::nullopt, 5.0}}, {1, 2, 60, 3}, 1, 5, {0, 0, 1, 0}},
        // No band: a flow in ml/h with one reading of 500.
        {{}, {100, 101, 99, 500, 100}, 99, 101, {0, 0, 0, 1, 0}},
    };
    QImage image(1100, 440, QImage::Format_RGB32);
    QtPrintCanvas canvas(image, image.width(), image.height());
    for (const auto& row : rows) {
        Plot plot;
        plot.firstDay = day;
        plot.lastDay = day + 365;
        plot.band = row.band;
        plot.points = points(row.values);
        const PlotGeometry g = plotGeometry(canvas, 0, 0, image.width(), image.height(), plot);
        EXPECT_LE(g.ticks.front(), row.from) << row.values[0];
        EXPECT_GE(g.ticks.back(), row.to) << row.values[0];
        std::vector<int> edges;
        for (const PlacedMark& m : placeMarks(g, plot)) edges.push_back(m.beyond);
        EXPECT_EQ(edges, row.edges) << row.values[0];
    }

    // A FAIL and a PASS a day apart at one value, and a third on the same
    // day: every mark is drawn where no other covers it.
    Plot plot;
    plot.firstDay = day;
    plot.lastDay = day + 365;
    plot.band = {{day, -5.0, 5.0}};
    plot.points = {{day + 100, 7, PlotMark::Fail},
                   {day + 101, 7, PlotMark::Pass},
                   {day + 101, 7.1, PlotMark::Open},
                   {day + 200, 7, PlotMark::Pass}};
    const PlotGeometry g = plotGeometry(canvas, 0, 0, image.width(), image.height(), plot);
    const std::vector<PlacedMark> placed = placeMarks(g, plot);
    EXPECT_EQ(placed[0].x, g.x(day + 100));  // the earliest stays on its date
    EXPECT_EQ(placed[3].x, g.x(day + 200));
    for (std::size_t a = 0; a < placed.size(); ++a)
        for (std::size_t b = a + 1; b < placed.size(); ++b)
            EXPECT_TRUE(std::abs(placed[a].x - placed[b].x) >= 2 * g.radius ||
                        std::abs(placed[a].y - placed[b].y) >= 2 * g.radius)
                << a << " covers " << b;
}

}  // namespace
