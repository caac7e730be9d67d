#include "print/plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

constexpr CanvasColor kBlack{0, 0, 0};
constexpr CanvasColor kGrid{215, 215, 215};
constexpr CanvasColor kWhite{255, 255, 255};
const CanvasColor& kBandFill = kPlotBand;
const CanvasColor& kBandEdge = kPlotBandEdge;
const CanvasColor& kPass = kPlotPass;
const CanvasColor& kFail = kPlotFail;
const CanvasColor& kOpen = kPlotOpen;

// The value range the axis may show: with a band, one and a half band
// widths beyond it at most.
struct Range {
    double low, high;
};

Range valueRange(const Plot& plot) {
    std::vector<double> limits;
    for (const PlotBand& b : plot.band) {
        if (b.low) limits.push_back(*b.low);
        if (b.high) limits.push_back(*b.high);
    }
    double low = HUGE_VAL, high = -HUGE_VAL;
    double floorAt = -HUGE_VAL, ceilingAt = HUGE_VAL;
    if (!limits.empty()) {
        const auto [lo, hi] = std::minmax_element(limits.begin(), limits.end());
        const double span = std::max({*hi - *lo, std::fabs(*hi) * 0.1, 1.0});
        floorAt = *lo - 1.5 * span;
        ceilingAt = *hi + 1.5 * span;
        low = *lo;
        high = *hi;
    }
    for (const PlotPoint& p : plot.points) {
        low = std::min(low, std::max(p.value, floorAt));
        high = std::max(high, std::min(p.value, ceilingAt));
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

std::string isoDate(int year, int month, int day) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", year, month, day);
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
    int xOf(double day) const { return g_.x(day); }
    int yOf(double value) const { return g_.y(value); }
    std::string dateText(long long day) const {
        int y, m, d;
        civilOfDays(day, &y, &m, &d);
        return plot_.dateText ? plot_.dateText(y, m, d) : isoDate(y, m, d);
    }
    void text(const std::string& s, int x, int y) {
        c_.textRect(x, y, x + c_.textWidth(s), y + th_, x, y, s);
    }
    void band();
    void valueAxis();
    void timeAxis();
    void mark(PlotMark kind, int x, int y);
    void arrow(int x, int y, int direction, PlotMark kind);
    int legendItem(int x, int y, const std::string& label, int kind);

    PrintCanvas& c_;
    const Plot& plot_;
    PlotSizes s_;
    PlotGeometry g_;
    int th_ = s_.th, unit_ = s_.unit, radius_ = s_.radius;
    int& areaLeft_ = g_.left;
    int& areaTop_ = g_.top;
    int& areaRight_ = g_.right;
    int& areaBottom_ = g_.bottom;
    double& t0_ = g_.firstDay;
    double& t1_ = g_.lastDay;
};

void PlotPainter::draw(int left, int top, int right, int bottom) {
    g_ = plotGeometry(c_, left, top, right, bottom, plot_);
    if (!g_.fits()) return;
    const double v0 = g_.ticks.front(), v1 = g_.ticks.back();

    c_.setPenColor(kBlack);
    text(plot_.valueLabel, left, top);
    c_.fillRect(areaLeft_, areaTop_, areaRight_, areaBottom_, kWhite);
    band();
    timeAxis();
    valueAxis();

    // The frame, then the marks over everything.
    c_.setPenColor(kBlack);
    c_.setPenWidth(unit_);
    c_.line(areaLeft_, areaTop_, areaRight_, areaTop_);
    c_.line(areaLeft_, areaBottom_, areaRight_, areaBottom_);
    c_.line(areaLeft_, areaTop_, areaLeft_, areaBottom_);
    c_.line(areaRight_, areaTop_, areaRight_, areaBottom_);

    bool anyBeyond = false;
    for (const PlotPoint& p : plot_.points) {
        if (p.day < t0_ || p.day > t1_) continue;
        const int beyond = p.value < v0 ? -1 : p.value > v1 ? 1 : 0;
        const int x = xOf(p.day);
        int y = yOf(p.value);
        if (beyond != 0) {
            anyBeyond = true;
            y = beyond > 0 ? areaTop_ + radius_ : areaBottom_ - radius_;
            arrow(x, beyond > 0 ? areaTop_ - unit_ : areaBottom_ + unit_, beyond, p.mark);
        }
        mark(p.mark, x, y);
    }
    if (plot_.points.empty()) {
        const std::string none = "No test to plot";
        text(none, (areaLeft_ + areaRight_ - c_.textWidth(none)) / 2,
             (areaTop_ + areaBottom_ - th_) / 2);
    }

    // The legend, on the last line: the marks, the band, the arrow; the
    // time axis's label at its right end.
    const int legendY = bottom - th_;
    int x = areaLeft_;
    x = legendItem(x, legendY, "PASS", 0);
    x = legendItem(x, legendY, "FAIL", 1);
    x = legendItem(x, legendY, "no verdict", 2);
    if (!plot_.band.empty()) x = legendItem(x, legendY, "limits in force", 3);
    if (anyBeyond) legendItem(x, legendY, "beyond the scale", 4);
    c_.setPenColor(kBlack);
    text(plot_.timeLabel, areaRight_ - c_.textWidth(plot_.timeLabel), legendY);
}

void PlotPainter::band() {
    for (std::size_t i = 0; i < plot_.band.size(); ++i) {
        const PlotBand& b = plot_.band[i];
        const double until = i + 1 < plot_.band.size() ? plot_.band[i + 1].fromDay : t1_;
        if (until <= t0_ || b.fromDay >= t1_ || (!b.low && !b.high)) continue;
        const int x1 = std::max(areaLeft_, xOf(b.fromDay));
        const int x2 = std::min(areaRight_, xOf(until));
        const int yHigh = b.high ? yOf(*b.high) : areaTop_;
        const int yLow = b.low ? yOf(*b.low) : areaBottom_;
        if (yLow > yHigh) c_.fillRect(x1, yHigh, x2, yLow, kBandFill);
        // Its edges, so that the band shows without its colour too.
        c_.setPenColor(kBandEdge);
        c_.setPenWidth(unit_);
        if (b.high) c_.line(x1, yHigh, x2, yHigh);
        if (b.low) c_.line(x1, yLow, x2, yLow);
        if (i > 0 && x1 > areaLeft_) {  // the step where the limits changed
            const PlotBand& before = plot_.band[i - 1];
            if (b.high && before.high) c_.line(x1, yOf(*before.high), x1, yHigh);
            if (b.low && before.low) c_.line(x1, yOf(*before.low), x1, yLow);
        }
    }
}

void PlotPainter::valueAxis() {
    const std::vector<double>& ticks = g_.ticks;
    const double step = ticks.size() > 1 ? ticks[1] - ticks[0] : 1;
    for (double t : ticks) {
        const int y = yOf(t);
        c_.setPenColor(std::fabs(t) < step * 1e-6 ? CanvasColor{150, 150, 150} : kGrid);
        c_.setPenWidth(unit_);
        if (y > areaTop_ && y < areaBottom_) c_.line(areaLeft_, y, areaRight_, y);
        c_.setPenColor(kBlack);
        c_.line(areaLeft_ - th_ / 4, y, areaLeft_, y);
        const std::string label = tickText(t, step);
        text(label, areaLeft_ - th_ / 3 - c_.textWidth(label), y - th_ / 2);
    }
}

void PlotPainter::timeAxis() {
    const int width = areaRight_ - areaLeft_;
    const int labelWidth = c_.textWidth(dateText(daysOfCivil(2026, 12, 28))) + th_;
    std::vector<long long> ticks;
    for (const DateStep& step : kDateSteps) {
        ticks = dateTicks(t0_, t1_, step);
        if (static_cast<long long>(ticks.size()) * labelWidth <= width) break;
    }
    const int labelY = areaBottom_ + s_.arrowRoom + th_ / 4;
    for (long long day : ticks) {
        const int x = xOf(static_cast<double>(day));
        c_.setPenColor(kGrid);
        c_.setPenWidth(unit_);
        c_.line(x, areaTop_, x, areaBottom_);
        c_.setPenColor(kBlack);
        c_.line(x, areaBottom_, x, areaBottom_ + th_ / 4);
        const std::string label = dateText(day);
        const int w = c_.textWidth(label);
        if (x - w / 2 >= areaLeft_ - th_ && x + w / 2 <= areaRight_ + th_)
            text(label, x - w / 2, labelY);
    }
}

void PlotPainter::mark(PlotMark kind, int x, int y) {
    const int r = radius_;
    switch (kind) {
        case PlotMark::Pass:
            c_.setPenColor(kPass);
            c_.circle(x, y, r, true);
            return;
        case PlotMark::Fail:
            c_.setPenColor(kFail);
            c_.setPenWidth(std::max(1, th_ / 7));
            c_.line(x - r, y - r, x + r, y + r);
            c_.line(x - r, y + r, x + r, y - r);
            return;
        case PlotMark::Open:
            c_.setPenColor(kOpen);
            c_.setPenWidth(std::max(1, th_ / 10));
            c_.circle(x, y, r, false);
            return;
    }
}

// A triangle outside the frame whose base lies on y and whose tip points
// away from the plot: up (direction 1) or down (-1).
void PlotPainter::arrow(int x, int y, int direction, PlotMark kind) {
    const int h = 2 * radius_;
    c_.setPenColor(kind == PlotMark::Fail ? kFail : kBlack);
    c_.polygon({{x, y - direction * h}, {x - radius_, y}, {x + radius_, y}});
}

// kind: 0 to 2 a mark, 3 the band, 4 the arrow.
int PlotPainter::legendItem(int x, int y, const std::string& label, int kind) {
    const int middle = y + th_ / 2;
    const int r = radius_;
    if (kind <= 2) {
        mark(static_cast<PlotMark>(kind), x + r, middle);
    } else if (kind == 3) {
        c_.fillRect(x, middle - r, x + 2 * r, middle + r, kBandFill);
        c_.setPenColor(kBandEdge);
        c_.setPenWidth(unit_);
        c_.line(x, middle - r, x + 2 * r, middle - r);
        c_.line(x, middle + r, x + 2 * r, middle + r);
    } else {
        c_.setPenColor(kBlack);
        c_.polygon({{x + r, middle - r}, {x, middle + r}, {x + 2 * r, middle + r}});
    }
    c_.setPenColor(kBlack);
    text(label, x + 2 * r + th_ / 3, y);
    return x + 2 * r + th_ / 3 + c_.textWidth(label) + th_;
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

// Days from and to the civil calendar (proleptic Gregorian).
long long daysOfCivil(int year, int month, int day) {
    const long long y = year - (month <= 2 ? 1 : 0);
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const long long yoe = y - era * 400;
    const long long doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void civilOfDays(long long days, int* year, int* month, int* day) {
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const long long doe = days - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    *day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    *month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    *year = static_cast<int>(yoe + era * 400 + (*month <= 2 ? 1 : 0));
}

std::optional<double> daysOfIso(const std::string& iso) {
    int y = 0, m = 0, d = 0, hh = 0, mm = 0, ss = 0;
    char tail = 0;
    const int n =
        std::sscanf(iso.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &y, &m, &d, &hh, &mm, &ss, &tail);
    if ((n != 3 && n != 6) || iso.size() != (n == 3 ? 10u : 19u) || m < 1 || m > 12 || d < 1 ||
        d > 31 || hh > 23 || mm > 59 || ss > 59)
        return std::nullopt;
    return static_cast<double>(daysOfCivil(y, m, d)) + (hh * 3600 + mm * 60 + ss) / 86400.0;
}
