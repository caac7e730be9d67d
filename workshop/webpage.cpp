#include <string>

#include "workshop/report.h"
#include "workshop/table.h"

namespace {

// Latin-1 bytes as UTF-8, with HTML's special characters escaped; control
// bytes shown as \xHH (escapedText), and the C1 controls, which HTML does
// not take, as U+FFFD.
std::string html(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size() + 8);
    for (const unsigned char b : bytes) {
        switch (b) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                if (b < 0x20 || b == 0x7F) {
                    out += escapedText(std::string(1, static_cast<char>(b)));
                } else if (b >= 0x80 && b < 0xA0) {
                    out += "\xEF\xBF\xBD";
                } else if (b < 0x80) {
                    out += static_cast<char>(b);
                } else {
                    out += static_cast<char>(0xC0 | (b >> 6));
                    out += static_cast<char>(0x80 | (b & 0x3F));
                }
        }
    }
    return out;
}

const char* const kStyle =
    "body{font-family:Arial,\"Liberation Sans\",Helvetica,sans-serif;font-size:15px;"
    "line-height:1.4;max-width:1180px;margin:0 auto;padding:16px 24px;color:#000;"
    "overflow-wrap:anywhere;"
    "background:#fff}\n"
    "h1{font-size:24px;margin:0}\n"
    "h2{font-size:20px;border-bottom:2px solid #000;margin:36px 0 8px;padding-bottom:2px}\n"
    "h3{font-size:16px;margin:18px 0 6px}\n"
    "p{margin:2px 0;white-space:pre-wrap}\n"
    "table{border-collapse:collapse;margin:6px 0 14px}\n"
    "th,td{padding:3px 12px 3px 0;text-align:left;vertical-align:top;"
    "border-bottom:1px solid #ccc}\n"
    "th{border-bottom:2px solid #000}\n"
    ".n{text-align:right}\n"
    "figure{margin:10px 0 16px}\n"
    "figure svg{display:block;width:100%;height:auto;max-width:1100px}\n"
    "@media print{body{max-width:none;padding:0;font-size:10pt}"
    "section{break-before:page}tr,figure{break-inside:avoid}}\n";

void htmlTable(std::string& out, const WorkshopTable& t) {
    auto cell = [&](const char* tag, std::size_t k, const std::string& text) {
        const bool right = k < t.right.size() && t.right[k];
        out += std::string("<") + tag + (right ? " class=\"n\">" : ">") + html(text) + "</" + tag +
               ">";
    };
    out += "<table>\n<thead><tr>";
    for (std::size_t k = 0; k < t.heads.size(); ++k) cell("th", k, t.heads[k]);
    out += "</tr></thead>\n<tbody>\n";
    for (std::size_t r = 0; r < t.rows.size(); ++r) {
        const std::vector<std::string>& cells = t.rows[r];
        const std::string link = r < t.rowLinks.size() ? t.rowLinks[r] : std::string();
        out += "<tr>";
        for (std::size_t k = 0; k < cells.size(); ++k) {
            if (k == 0 && !link.empty())
                out += "<td><a href=\"" + html(link) + "\">" + html(cells[0]) + "</a></td>";
            else
                cell("td", k, cells[k]);
        }
        out += "</tr>\n";
    }
    out += "</tbody>\n</table>\n";
}

}  // namespace

WorkshopSections sectionsOf(const WorkshopReport& report) {
    return [&report](const std::function<bool(const WorkshopSection&)>& each) {
        for (const WorkshopSection& section : report.sections)
            if (!each(section)) return false;
        return true;
    };
}

std::string workshopPageHead(const std::string& title, const std::string& stamp) {
    return "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>" +
           html(title) + "</title>\n<style>\n" + kStyle + "</style>\n</head>\n<body>\n" +
           "<header>\n<h1>" + html(title) + "</h1>\n<p>Data Printed On " + html(stamp) +
           "</p>\n</header>\n";
}

std::string workshopPageFoot() { return "</body>\n</html>\n"; }

std::string workshopReportHtml(const WorkshopReport& report, const PlotSvg& plotSvg) {
    std::string out = workshopPageHead(report.title, report.stamp);
    for (const WorkshopSection& section : report.sections)
        out += workshopSectionHtml(section, plotSvg);
    return out + workshopPageFoot();
}

std::string workshopSectionHtml(const WorkshopSection& section, const PlotSvg& plotSvg) {
    std::string out;
    {
        out +=
            "<section id=\"" + html(section.anchor) + "\">\n<h2>" + html(section.title) + "</h2>\n";
        for (const WorkshopBlock& b : section.blocks) {
            switch (b.kind) {
                case WorkshopBlock::Kind::Heading:
                    out += (b.anchor.empty() ? std::string("<h3>")
                                             : "<h3 id=\"" + html(b.anchor) + "\">") +
                           html(b.text) + "</h3>\n";
                    break;
                case WorkshopBlock::Kind::Line:
                    out += "<p>" + html(b.text) + "</p>\n";
                    break;
                case WorkshopBlock::Kind::Table:
                    htmlTable(out, b.table);
                    break;
                case WorkshopBlock::Kind::Plot:
                    out += "<figure>\n" + plotSvg(b.plot) + "</figure>\n";
                    break;
            }
        }
        out += "</section>\n";
    }
    return out;
}
