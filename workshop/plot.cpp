#include "workshop/plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr CanvasColor kBlack{0, 0, 0};
constexpr CanvasColor kGrid{215, 215, 215};
constexpr CanvasColor kWhite{255, 255, 255};

// The value range the axis shows: every plotted value and every finite end
// of the band, except a value far outside the rest (an outlier), which is
// drawn at the edge.  "Far" is measured from the middle half of the values
// and the band's ends: more than one and a half times their spread beyond
// them, the spread being the middle half's width, the band's widest
// two-sided width or a tenth of the middle value, whichever is largest.
struct Range {
    double low, high;
};

double quantile(const std::vector<double>& sorted, double q) {
    const double at = q * static_cast<double>(sorted.size() - 1);
    const auto below = static_cast<std::size_t>(std::floor(at));
    const std::size_t above = std::min(below + 1, sorted.size() - 1);
    return sorted[below] + (sorted[above] - sorted[below]) * (at - static_cast<double>(below));
}

Range valueRange(const Plot& plot) {
    double low = HUGE_VAL, high = -HUGE_VAL, bandWidth = 0;
    for (const PlotBand& b : plot.band) {
        for (const std::optional<double>& end : {b.low, b.high})
            if (end) {
                low = std::min(low, *end);
                high = std::max(high, *end);
            }
        if (b.low && b.high) bandWidth = std::max(bandWidth, *b.high - *b.low);
    }
    std::vector<double> values;
    for (const PlotPoint& p : plot.points)
        if (std::isfinite(p.value)) values.push_back(p.value);
    if (!values.empty()) {
        std::sort(values.begin(), values.end());
        const double q1 = quantile(values, 0.25), q3 = quantile(values, 0.75);
        const double middle = quantile(values, 0.5);
        low = std::min(low, q1);
        high = std::max(high, q3);
        const double spread = std::max({q3 - q1, bandWidth, std::fabs(middle) * 0.1, 1.0});
        const double floorAt = low - 1.5 * spread, ceilingAt = high + 1.5 * spread;
        for (double v : values) {
            if (v >= floorAt) low = std::min(low, v);
            if (v <= ceilingAt) high = std::max(high, v);
        }
    }
    if (low > high) return {0, 1};
    if (high - low < 1e-9) {
        const double pad = std::max(std::fabs(low) * 0.1, 1.0);
        return {low - pad, high + pad};
    }
    const double pad = (high - low) * 0.08;
    return {low - pad, high + pad};
}

double roundStep(double span, int most) {
    const double rough = span / most;
    const double power = std::pow(10.0, std::floor(std::log10(rough)));
    for (double f : {1.0, 2.0, 5.0, 10.0})
        if (f * power >= rough) return f * power;
    return 10 * power;
}

std::string tickText(double value, double step) {
    int decimals = 0;
    while (decimals < 6 && std::fabs(step * std::pow(10.0, decimals) -
                                     std::round(step * std::pow(10.0, decimals))) > 1e-6)
        ++decimals;
    if (std::fabs(value) < step * 1e-6) value = 0;  // no "-0"
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// Date ticks at round steps: days, weeks (Mondays), months (firsts), years.
struct DateStep {
    int days, months;
};
const DateStep kDateSteps[] = {{1, 0}, {2, 0},  {7, 0},  {14, 0}, {0, 1},   {0, 2},  {0, 3},
                               {0, 6}, {0, 12}, {0, 24}, {0, 60}, {0, 120}, {0, 240}};

std::vector<long long> dateTicks(double first, double last, const DateStep& step) {
    std::vector<long long> ticks;
    const auto from = static_cast<long long>(std::ceil(first));
    const auto to = static_cast<long long>(std::floor(last));
    if (step.days > 0) {
        // Day 4 (1970-01-05) was a Monday.
        long long d = from + ((4 - from) % step.days + step.days) % step.days;
        for (; d <= to; d += step.days) ticks.push_back(d);
        return ticks;
    }
    int y, m, dd;
    civilOfDays(from, &y, &m, &dd);
    long long index = y * 12LL + (m - 1) + (dd > 1 ? 1 : 0);  // months since year 0
    index += (step.months - index % step.months) % step.months;
    for (;; index += step.months) {
        const long long d =
            daysOfCivil(static_cast<int>(index / 12), static_cast<int>(index % 12) + 1, 1);
        if (d > to) break;
        ticks.push_back(d);
    }
    return ticks;
}

// The sizes of a plot's parts, from the canvas's text height in Arial 10.
struct PlotSizes {
    int th, unit, radius, arrowRoom;
    explicit PlotSizes(PrintCanvas& c) {
        c.setFont(CanvasFont{"Arial", 10, false});
        th = c.textHeight("X");
        unit = std::max(1, th / 12);
        radius = std::max(2, th * 3 / 10);
        arrowRoom = 2 * radius + unit;
    }
};

class PlotPainter {
public:
    PlotPainter(PrintCanvas& canvas, const Plot& plot) : c_(canvas), plot_(plot), s_(canvas) {}
    void draw(int left, int top, int right, int bottom);

private:
    std::string dateText(long long day) const {
        if (!plot_.dateText) return isoDateOfDays(day);
        int y, m, d;
        civilOfDays(day, &y, &m, &d);
        return plot_.dateText(y, m, d);
    }
    void text(const std::string& s, int x, int y) {
        c_.textRect(x, y, x + c_.textWidth(s), y + s_.th, x, y, s);
    }
    void band();
    void valueAxis();
    void timeAxis();
    void mark(PlotMark kind, int x, int y);
    void arrow(int x, int y, int direction, PlotMark kind);
    // What a legend item shows: a mark, the band, or the arrow of a value
    // beyond the scale.
    enum class Legend { Pass, Fail, Open, Band, Beyond };
    int legendItem(int x, int y, const std::string& label, Legend kind);

    PrintCanvas& c_;
    const Plot& plot_;
    PlotSizes s_;
    PlotGeometry g_;
};

void PlotPainter::draw(int left, int top, int right, int bottom) {
    g_ = plotGeometry(c_, left, top, right, bottom, plot_);
    if (!g_.fits()) return;
    c_.setPenColor(kBlack);
    text(plot_.valueLabel, left, top);
    c_.fillRect(g_.left, g_.top, g_.right, g_.bottom, kWhite);
    band();
    timeAxis();
    valueAxis();

    // The frame, then the marks over everything.
    c_.setPenColor(kBlack);
    c_.setPenWidth(s_.unit);
    c_.line(g_.left, g_.top, g_.right, g_.top);
    c_.line(g_.left, g_.bottom, g_.right, g_.bottom);
    c_.line(g_.left, g_.top, g_.left, g_.bottom);
    c_.line(g_.right, g_.top, g_.right, g_.bottom);

    bool anyBeyond = false;
    const std::vector<PlacedMark> placed = placeMarks(g_, plot_);
    for (std::size_t i = 0; i < placed.size(); ++i) {
        const PlacedMark& m = placed[i];
        if (!m.shown) continue;
        if (m.beyond != 0) {
            anyBeyond = true;
            arrow(m.x, m.beyond > 0 ? g_.top - s_.unit : g_.bottom + s_.unit, m.beyond,
                  plot_.points[i].mark);
        }
        mark(plot_.points[i].mark, m.x, m.y);
    }
    if (plot_.points.empty()) {
        const std::string none = "No test to plot";
        text(none, (g_.left + g_.right - c_.textWidth(none)) / 2, (g_.top + g_.bottom - s_.th) / 2);
    }

    // The legend, on the last line: the marks, the band, the arrow; the
    // time axis's label at its right end.
    const int legendY = bottom - s_.th;
    int x = g_.left;
    x = legendItem(x, legendY, "PASS", Legend::Pass);
    x = legendItem(x, legendY, "FAIL", Legend::Fail);
    x = legendItem(x, legendY, "no verdict", Legend::Open);
    if (!plot_.band.empty()) x = legendItem(x, legendY, "limits in force", Legend::Band);
    if (anyBeyond) legendItem(x, legendY, "beyond the scale", Legend::Beyond);
    c_.setPenColor(kBlack);
    text(plot_.timeLabel, g_.right - c_.textWidth(plot_.timeLabel), legendY);
}

void PlotPainter::band() {
    for (std::size_t i = 0; i < plot_.band.size(); ++i) {
        const PlotBand& b = plot_.band[i];
        const double until = i + 1 < plot_.band.size() ? plot_.band[i + 1].fromDay : g_.lastDay;
        if (until <= g_.firstDay || b.fromDay >= g_.lastDay || (!b.low && !b.high)) continue;
        const int x1 = std::max(g_.left, g_.x(b.fromDay));
        const int x2 = std::min(g_.right, g_.x(until));
        const int yHigh = b.high ? g_.y(*b.high) : g_.top;
        const int yLow = b.low ? g_.y(*b.low) : g_.bottom;
        if (yLow > yHigh) c_.fillRect(x1, yHigh, x2, yLow, kPlotBand);
        // Its edges, so that the band shows without its colour too.
        c_.setPenColor(kPlotBandEdge);
        c_.setPenWidth(s_.unit);
        if (b.high) c_.line(x1, yHigh, x2, yHigh);
        if (b.low) c_.line(x1, yLow, x2, yLow);
        if (i > 0 && x1 > g_.left) {  // the step where the limits changed
            const PlotBand& before = plot_.band[i - 1];
            if (b.high && before.high) c_.line(x1, g_.y(*before.high), x1, yHigh);
            if (b.low && before.low) c_.line(x1, g_.y(*before.low), x1, yLow);
        }
    }
}

void PlotPainter::valueAxis() {
    const std::vector<double>& ticks = g_.ticks;
    const double step = ticks.size() > 1 ? ticks[1] - ticks[0] : 1;
    for (double t : ticks) {
        const int y = g_.y(t);
        c_.setPenColor(std::fabs(t) < step * 1e-6 ? CanvasColor{150, 150, 150} : kGrid);
        c_.setPenWidth(s_.unit);
        if (y > g_.top && y < g_.bottom) c_.line(g_.left, y, g_.right, y);
        c_.setPenColor(kBlack);
        c_.line(g_.left - s_.th / 4, y, g_.left, y);
        const std::string label = tickText(t, step);
        text(label, g_.left - s_.th / 3 - c_.textWidth(label), y - s_.th / 2);
    }
}

void PlotPainter::timeAxis() {
    const int width = g_.right - g_.left;
    const int labelWidth = c_.textWidth(dateText(daysOfCivil(2026, 12, 28))) + s_.th;
    std::vector<long long> ticks;
    for (const DateStep& step : kDateSteps) {
        ticks = dateTicks(g_.firstDay, g_.lastDay, step);
        if (static_cast<long long>(ticks.size()) * labelWidth <= width) break;
    }
    const int labelY = g_.bottom + s_.arrowRoom + s_.th / 4;
    for (long long day : ticks) {
        const int x = g_.x(static_cast<double>(day));
        c_.setPenColor(kGrid);
        c_.setPenWidth(s_.unit);
        c_.line(x, g_.top, x, g_.bottom);
        c_.setPenColor(kBlack);
        c_.line(x, g_.bottom, x, g_.bottom + s_.th / 4);
        const std::string label = dateText(day);
        const int w = c_.textWidth(label);
        if (x - w / 2 >= g_.left - s_.th && x + w / 2 <= g_.right + s_.th)
            text(label, x - w / 2, labelY);
    }
}

void PlotPainter::mark(PlotMark kind, int x, int y) {
    const int r = s_.radius;
    switch (kind) {
        case PlotMark::Pass:
            c_.setPenColor(kPlotPass);
            c_.circle(x, y, r, true);
            return;
        case PlotMark::Fail:
            c_.setPenColor(kPlotFail);
            c_.setPenWidth(std::max(1, s_.th / 7));
            c_.line(x - r, y - r, x + r, y + r);
            c_.line(x - r, y + r, x + r, y - r);
            return;
        case PlotMark::Open:
            c_.setPenColor(kPlotOpen);
            c_.setPenWidth(std::max(1, s_.th / 10));
            c_.circle(x, y, r, false);
            return;
    }
}

// A triangle outside the frame whose base lies on y and whose tip points
// away from the plot: up (direction 1) or down (-1).
void PlotPainter::arrow(int x, int y, int direction, PlotMark kind) {
    const int h = 2 * s_.radius;
    c_.setPenColor(kind == PlotMark::Fail ? kPlotFail : kBlack);
    c_.polygon({{x, y - direction * h}, {x - s_.radius, y}, {x + s_.radius, y}});
}

int PlotPainter::legendItem(int x, int y, const std::string& label, Legend kind) {
    const int middle = y + s_.th / 2;
    const int r = s_.radius;
    switch (kind) {
        case Legend::Pass:
            mark(PlotMark::Pass, x + r, middle);
            break;
        case Legend::Fail:
            mark(PlotMark::Fail, x + r, middle);
            break;
        case Legend::Open:
            mark(PlotMark::Open, x + r, middle);
            break;
        case Legend::Band:
            c_.fillRect(x, middle - r, x + 2 * r, middle + r, kPlotBand);
            c_.setPenColor(kPlotBandEdge);
            c_.setPenWidth(s_.unit);
            c_.line(x, middle - r, x + 2 * r, middle - r);
            c_.line(x, middle + r, x + 2 * r, middle + r);
            break;
        case Legend::Beyond:
            c_.setPenColor(kBlack);
            c_.polygon({{x + r, middle - r}, {x, middle + r}, {x + 2 * r, middle + r}});
            break;
    }
    c_.setPenColor(kBlack);
    text(label, x + 2 * r + s_.th / 3, y);
    return x + 2 * r + s_.th / 3 + c_.textWidth(label) + s_.th;
}

}  // namespace

std::vector<double> valueTicks(const Plot& plot) {
    Range range = valueRange(plot);
    if (!std::isfinite(range.high - range.low)) range = {-1, 1};  // no scale holds it
    const double step = roundStep(range.high - range.low, 6);
    std::vector<double> ticks;
    const double first = std::floor(range.low / step), last = std::ceil(range.high / step);
    for (double k = first; k <= last + 0.5 && ticks.size() < 64; ++k) ticks.push_back(k * step);
    if (ticks.size() < 2) ticks.push_back(ticks.back() + step);
    return ticks;
}

const CanvasColor kPlotPass{20, 50, 130};
const CanvasColor kPlotFail{210, 0, 0};
const CanvasColor kPlotOpen{70, 70, 70};
const CanvasColor kPlotBand{212, 236, 212};
const CanvasColor kPlotBandEdge{40, 130, 40};

int PlotGeometry::x(double day) const {
    return left +
           static_cast<int>(std::lround((day - firstDay) / (lastDay - firstDay) * (right - left)));
}

int PlotGeometry::y(double value) const {
    const double v0 = ticks.front(), v1 = ticks.back();
    const double v = std::clamp(value, v0, v1);
    return bottom - static_cast<int>(std::lround((v - v0) / (v1 - v0) * (bottom - top)));
}

bool PlotGeometry::fits() const { return right - left >= 40 && bottom - top >= 20; }

std::vector<PlacedMark> placeMarks(const PlotGeometry& g, const Plot& plot) {
    std::vector<PlacedMark> placed(plot.points.size());
    const double v0 = g.ticks.front(), v1 = g.ticks.back();
    const int r = g.radius, step = 2 * g.radius + std::max(1, g.radius / 3);
    // By date, so that the later of two marks is the one moved.
    std::vector<std::size_t> order(plot.points.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return plot.points[a].day < plot.points[b].day;
    });
    std::vector<const PlacedMark*> drawn;
    for (std::size_t i : order) {
        const PlotPoint& p = plot.points[i];
        PlacedMark& m = placed[i];
        m.shown = p.day >= g.firstDay && p.day <= g.lastDay;
        if (!m.shown) continue;
        m.beyond = p.value < v0 ? -1 : p.value > v1 ? 1 : 0;
        m.x = g.x(p.day);
        m.y = m.beyond > 0 ? g.top + r : m.beyond < 0 ? g.bottom - r : g.y(p.value);
        // A mark that would cover one drawn before it goes beside it.
        for (bool moved = true; moved;) {
            moved = false;
            for (const PlacedMark* other : drawn)
                if (std::abs(other->x - m.x) < step && std::abs(other->y - m.y) < 2 * r) {
                    m.x = other->x + step;
                    moved = true;
                }
        }
        drawn.push_back(&m);
    }
    return placed;
}

PlotGeometry plotGeometry(PrintCanvas& canvas, int left, int top, int right, int bottom,
                          const Plot& plot) {
    const CanvasFont saved = canvas.font();
    const PlotSizes s(canvas);
    PlotGeometry g;
    g.ticks = valueTicks(plot);
    const double step = g.ticks[1] - g.ticks[0];
    int labelWidth = 0;
    for (double t : g.ticks) labelWidth = std::max(labelWidth, canvas.textWidth(tickText(t, step)));

    // The time axis: the period, at least two weeks, with a little room on
    // either side so that no mark sits on the frame.
    double first = plot.firstDay, last = plot.lastDay;
    if (last - first < 14) {
        const double extra = (14 - (last - first)) / 2;
        first -= extra;
        last += extra;
    }
    g.firstDay = first - (last - first) * 0.04;
    g.lastDay = last + (last - first) * 0.04;

    g.radius = s.radius;
    g.left = left + labelWidth + s.th / 2;
    g.right = right - s.th;
    g.top = top + s.th + s.th / 2 + s.arrowRoom;
    g.bottom = bottom - (s.arrowRoom + s.th / 4 + s.th + s.th / 2 + s.th);
    canvas.setFont(saved);
    return g;
}

void drawPlot(PrintCanvas& canvas, int left, int top, int right, int bottom, const Plot& plot) {
    const CanvasFont saved = canvas.font();
    PlotPainter(canvas, plot).draw(left, top, right, bottom);
    canvas.setPenColor(CanvasColor{});
    canvas.setFont(saved);
}
