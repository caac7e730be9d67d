#pragma once
// A canvas that records what the report printer does, with fixed font
// metrics so that coordinates do not depend on installed fonts:
// a text is 10 dots per point high (+10 bold) and 6 dots per point wide per
// character (+1 per point bold).  At 10 points: height 100, bold 110; a
// character 60 wide, bold 70.

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "print/canvas.h"

class RecordingCanvas : public PrintCanvas {
public:
    int longSide = 8000, shortSide = 6000;  // page in dots
    std::string failDraw;                   // textRect of this text throws,
    int failDrawAt = 1;                     // at its failDrawAt-th drawing
    std::string failMeasure;                // textWidth of this text throws
    bool refuseBegin = false, refuseNewPage = false;

    std::vector<std::string> ops;  // "T 12B l,t,r,b @x,y text", "L 4 x1,y1-x2,y2", job calls
    std::vector<std::vector<std::string>> pages;  // ops by page

    bool setOrientation(PageOrientation o) override {
        landscape_ = o == PageOrientation::Landscape;
        ops.push_back(landscape_ ? "landscape" : "portrait");
        return true;
    }
    int pageWidth() override { return landscape_ ? longSide : shortSide; }
    int pageHeight() override { return landscape_ ? shortSide : longSide; }
    bool beginDocument() override {
        ops.push_back("begin");
        if (refuseBegin) return false;
        printing_ = true;
        page_ = 1;
        pages.assign(1, {});
        return true;
    }
    bool newPage() override {
        ops.push_back("newPage");
        if (refuseNewPage) return false;
        ++page_;
        pages.emplace_back();
        return true;
    }
    bool endDocument() override {
        ops.push_back("end");
        printing_ = false;
        return true;
    }
    void abortDocument() override {
        ops.push_back("abort");
        printing_ = false;
    }
    bool inProgress() override { return printing_; }
    int pageNumber() override { return page_; }
    void setFont(const CanvasFont& f) override { font_ = f; }
    CanvasFont font() override { return font_; }
    void setPenWidth(int dots) override { pen_ = dots; }
    int textWidth(const std::string& text) override {
        if (!failMeasure.empty() && text == failMeasure) throw std::runtime_error("measure");
        return static_cast<int>(text.size()) * (font_.points * 6 + (font_.bold ? font_.points : 0));
    }
    int textHeight(const std::string&) override {
        return font_.points * 10 + (font_.bold ? 10 : 0);
    }
    void textRect(int l, int t, int r, int b, int x, int y, const std::string& text) override {
        if (!failDraw.empty() && text == failDraw && --failDrawAt == 0)
            throw std::runtime_error("draw");
        record("T " + std::to_string(font_.points) + (font_.bold ? "B " : " ") + num(l, t) + "," +
               num(r, b) + " @" + num(x, y) + " " + text);
    }
    void line(int x1, int y1, int x2, int y2) override {
        record("L " + std::to_string(pen_) + (color_ == CanvasColor{} ? "" : " " + hex(color_)) +
               " " + num(x1, y1) + "-" + num(x2, y2));
    }

    void setPenColor(CanvasColor c) override { color_ = c; }
    void fillRect(int l, int t, int r, int b, CanvasColor c) override {
        record("F " + hex(c) + " " + num(l, t) + "," + num(r, b));
    }
    void circle(int x, int y, int radius, bool filled) override {
        record(std::string(filled ? "C* " : "C ") + hex(color_) + " " + num(x, y) + " r" +
               std::to_string(radius));
    }
    void polygon(const std::vector<CanvasPoint>& points) override {
        std::string op = "P " + hex(color_);
        for (const CanvasPoint& p : points) op += " " + num(p.x, p.y);
        record(op);
    }

private:
    static std::string hex(CanvasColor c) {
        char text[8];
        std::snprintf(text, sizeof text, "#%02x%02x%02x", c.red, c.green, c.blue);
        return text;
    }
    static std::string num(int a, int b) { return std::to_string(a) + "," + std::to_string(b); }
    void record(const std::string& op) {
        ops.push_back(op);
        if (!pages.empty()) pages.back().push_back(op);
    }
    bool landscape_ = false, printing_ = false;
    int page_ = 0, pen_ = 1;
    CanvasFont font_{"Arial", 10, false};
    CanvasColor color_;
};
