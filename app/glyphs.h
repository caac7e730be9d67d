#pragma once
// Pictures drawn by the program itself: the window icon, the arrow glyphs
// of the four step buttons and the About box's picture.

#include <QIcon>
#include <QPixmap>

class QPainter;

enum class Glyph { Back5, Prev, Next, Jump5 };

QPixmap glyphPixmap(Glyph glyph);  // 10 x 16 for one step, 19 x 16 for five
QIcon appIcon();                   // 96 x 96
QPixmap aboutPicture();            // 100 x 70, 24-bit colour

// Draws the program icon into the square (0, 0, size, size); the installed
// theme icons are rendered with it at build time.
void paintAppIcon(QPainter& p, int size);
