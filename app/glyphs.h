#pragma once
// Pictures drawn by the program itself: the window icon, the arrow glyphs
// of the four step buttons (also the menu bar's extension button) and the
// About box's picture.

#include <QIcon>
#include <QPixmap>
#include <QSize>

class QPainter;
class QWidget;

enum class Glyph { Back5, Prev, Next, Jump5 };

// The glyph's size as designed: 10 x 16 for one step, 19 x 16 for five.
QSize glyphSize(Glyph glyph);

// The glyph as an icon, drawn afresh at whatever size and pixel density it
// is shown, in the button text colour of owner's palette (the application's
// without an owner) and in its disabled colour when shown disabled, so that
// it stays visible under light and dark colour schemes alike.
QIcon glyphIcon(Glyph glyph, QWidget* owner = nullptr);
QIcon appIcon();         // 96 x 96
QPixmap aboutPicture();  // 100 x 70, 24-bit colour

// Draws the program icon into the square (0, 0, size, size); the installed
// theme icons are rendered with it at build time.
void paintAppIcon(QPainter& p, int size);
