#pragma once
// The workshop report as PDF, and a plot as SVG for its web page: the same
// layouts and plot code (workshop/reportpages, workshop/plot) on Qt's PDF
// writer and SVG generator.

#include <QByteArray>
#include <QIODevice>
#include <string>

#include "print/paper.h"
#include "workshop/plot.h"
#include "workshop/report.h"

// The report's pages as PDF, on the printed layouts' PDF canvas: in memory,
// or written to an open device as its sections come (asked for twice).
bool workshopPdf(const WorkshopReport& report, Paper paper, QByteArray* pdf);
bool workshopPdf(const std::string& title, const std::string& stamp,
                 const WorkshopSections& sections, Paper paper, QIODevice* device);
// One plot as an <svg> element for the web page: Qt's SVG generator under
// the same drawing code, 1100 by 440 pixels at 96 per inch.
std::string plotSvg(const Plot& plot);
