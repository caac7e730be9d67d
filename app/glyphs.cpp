#include "app/glyphs.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace {

// One solid triangle pointing left or right, 8 pixels wide, 10 high.
void drawArrow(QPainter& p, int left, bool pointsRight) {
    QPainterPath path;
    if (pointsRight) {
        path.moveTo(left, 3);
        path.lineTo(left + 8, 8);
        path.lineTo(left, 13);
    } else {
        path.moveTo(left + 8, 3);
        path.lineTo(left, 8);
        path.lineTo(left + 8, 13);
    }
    path.closeSubpath();
    p.fillPath(path, Qt::black);
}

}  // namespace

QPixmap glyphPixmap(Glyph glyph) {
    bool five = glyph == Glyph::Back5 || glyph == Glyph::Jump5;
    bool right = glyph == Glyph::Next || glyph == Glyph::Jump5;
    QPixmap pixmap(five ? 19 : 10, 16);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    drawArrow(p, 1, right);
    if (five) drawArrow(p, 10, right);
    return pixmap;
}

void paintAppIcon(QPainter& p, int size) {
    // A tester's face: a rounded case, a display with a flow curve, and a
    // drop for the infusion.  Drawn on a 96-pixel grid, scaled to size.
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 96.0, size / 96.0);
    QLinearGradient body(0, 0, 0, 96);
    body.setColorAt(0, QColor(0x2b, 0x6c, 0xb0));
    body.setColorAt(1, QColor(0x1a, 0x3f, 0x6e));
    p.setBrush(body);
    p.setPen(QPen(QColor(0x10, 0x28, 0x48), 2));
    p.drawRoundedRect(QRectF(6, 4, 84, 88), 14, 14);
    p.setBrush(QColor(0xe8, 0xf4, 0xe8));
    p.setPen(QPen(QColor(0x10, 0x28, 0x48), 1.5));
    p.drawRoundedRect(QRectF(16, 14, 64, 38), 4, 4);
    QPainterPath curve;
    curve.moveTo(20, 44);
    curve.cubicTo(34, 44, 36, 20, 48, 22);
    curve.cubicTo(60, 24, 62, 40, 76, 30);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(0xc0, 0x20, 0x20), 3));
    p.drawPath(curve);
    QPainterPath drop;
    drop.moveTo(48, 58);
    drop.cubicTo(40, 70, 38, 76, 48, 84);
    drop.cubicTo(58, 76, 56, 70, 48, 58);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xff, 0xff, 0xff));
    p.drawPath(drop);
    p.restore();
}

QIcon appIcon() {
    QPixmap pixmap(96, 96);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    paintAppIcon(p, 96);
    return QIcon(pixmap);
}
