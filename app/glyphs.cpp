#include "app/glyphs.h"

#include <QGuiApplication>
#include <QIconEngine>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QPointer>
#include <QWidget>
#include <algorithm>

namespace {

// One solid triangle pointing left or right, 8 pixels wide, 10 high, in the
// glyph's design grid.
void drawArrow(QPainter& p, int left, bool pointsRight, const QColor& colour) {
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
    p.fillPath(path, colour);
}

// Draws the glyph's design grid scaled into the middle of rect.
void drawGlyph(QPainter& p, const QRectF& rect, Glyph glyph, const QColor& colour) {
    const QSize design = glyphSize(glyph);
    const qreal scale = std::min(rect.width() / design.width(), rect.height() / design.height());
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.translate(rect.center());
    p.scale(scale, scale);
    p.translate(-design.width() / 2.0, -design.height() / 2.0);
    const bool right = glyph == Glyph::Next || glyph == Glyph::Jump5;
    drawArrow(p, 1, right, colour);
    if (glyph == Glyph::Back5 || glyph == Glyph::Jump5) drawArrow(p, 10, right, colour);
    p.restore();
}

class GlyphEngine : public QIconEngine {
public:
    GlyphEngine(Glyph glyph, QWidget* owner) : glyph_(glyph), owner_(owner) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override {
        drawGlyph(*painter, rect, glyph_, colour(mode));
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        QPixmap pixmap(size);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        paint(&p, pixmap.rect(), mode, state);
        return pixmap;
    }
    QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override { return size; }
    QIconEngine* clone() const override { return new GlyphEngine(glyph_, owner_); }
    QString key() const override { return QStringLiteral("LumKestGlyph"); }

private:
    QColor colour(QIcon::Mode mode) const {
        const QPalette palette = owner_ ? owner_->palette() : QGuiApplication::palette();
        if (mode == QIcon::Disabled) return palette.color(QPalette::Disabled, QPalette::ButtonText);
        const bool active = !owner_ || owner_->isActiveWindow();
        return palette.color(active ? QPalette::Active : QPalette::Inactive, QPalette::ButtonText);
    }

    Glyph glyph_;
    QPointer<QWidget> owner_;
};

}  // namespace

QSize glyphSize(Glyph glyph) {
    return glyph == Glyph::Back5 || glyph == Glyph::Jump5 ? QSize(19, 16) : QSize(10, 16);
}

QIcon glyphIcon(Glyph glyph, QWidget* owner) { return QIcon(new GlyphEngine(glyph, owner)); }

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

QPixmap aboutPicture() {
    // The tester beside an infusion bag whose line runs into it, on a pale
    // sky; drawn into a 24-bit image without transparency.
    QImage image(100, 70, QImage::Format_RGB888);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, 0, 70);
    sky.setColorAt(0, QColor(0xd6, 0xe6, 0xf5));
    sky.setColorAt(1, QColor(0xff, 0xff, 0xff));
    p.fillRect(image.rect(), sky);

    // The line from the bag's drip chamber into the tester's side.
    QPainterPath line;
    line.moveTo(78, 41);
    line.cubicTo(78, 58, 60, 50, 47, 47);
    p.setPen(QPen(QColor(0x70, 0x90, 0xb0), 1.5));
    p.setBrush(Qt::NoBrush);
    p.drawPath(line);

    // The bag and its drip chamber.
    p.setPen(QPen(QColor(0x50, 0x70, 0x90), 1));
    p.setBrush(QColor(0xb8, 0xd8, 0xf0));
    p.drawRoundedRect(QRectF(68, 6, 20, 25), 4, 4);
    p.setBrush(QColor(0x8c, 0xbc, 0xe4));
    p.drawRect(QRectF(70, 20, 16, 10));
    p.setBrush(QColor(0xf4, 0xf8, 0xfc));
    p.drawRect(QRectF(76, 31, 4, 10));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x3a, 0x7c, 0xc8));
    p.drawEllipse(QRectF(77, 35, 2, 3));

    // The tester: case, display with a flow curve, three keys.
    QLinearGradient body(0, 12, 0, 64);
    body.setColorAt(0, QColor(0x2b, 0x6c, 0xb0));
    body.setColorAt(1, QColor(0x1a, 0x3f, 0x6e));
    p.setBrush(body);
    p.setPen(QPen(QColor(0x10, 0x28, 0x48), 1));
    p.drawRoundedRect(QRectF(8, 12, 39, 52), 6, 6);
    p.setBrush(QColor(0xe8, 0xf4, 0xe8));
    p.drawRoundedRect(QRectF(13, 18, 29, 20), 2, 2);
    QPainterPath curve;
    curve.moveTo(15, 34);
    curve.cubicTo(21, 34, 22, 22, 27, 23);
    curve.cubicTo(32, 24, 33, 31, 40, 27);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(0xc0, 0x20, 0x20), 1.5));
    p.drawPath(curve);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xdd, 0xe6, 0xef));
    for (int x : {15, 24, 33}) p.drawEllipse(QRectF(x, 45, 7, 7));
    p.end();
    return QPixmap::fromImage(image);
}
