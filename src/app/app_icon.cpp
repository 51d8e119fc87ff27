#include "app/app_icon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace orvel {

namespace {

// The icon on a canvas of 128 x 128 units, as the SVG file draws it.
void drawIcon(QPainter& p) {
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x2b, 0x3a, 0x4a));
    p.drawRoundedRect(QRectF(4, 4, 120, 120), 24, 24);

    // The track, and its dashed centre line.
    const QRectF track(16, 30, 96, 68);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(0x8a, 0x94, 0x9e), 14));
    p.drawEllipse(track);
    QPen dashes(QColor(0xf2, 0xf2, 0xf2), 2);
    dashes.setDashPattern({3, 3});
    p.setPen(dashes);
    p.drawEllipse(track);

    // Two cars on it, turned as they take the bends.
    auto car = [&p](QPointF centre, QColor colour) {
        p.save();
        p.translate(centre);
        p.rotate(-20);
        p.setPen(Qt::NoPen);
        p.setBrush(colour);
        p.drawRoundedRect(QRectF(-11, -6, 22, 12), 3, 3);
        p.restore();
    };
    car(QPointF(41, 30), QColor(0xd0, 0x28, 0x28));
    car(QPointF(89, 98), QColor(0x2e, 0x86, 0xde));

    // The exchange between the players: arrows both ways.
    QPainterPath arrows;
    arrows.moveTo(52, 64);
    arrows.lineTo(76, 64);
    arrows.moveTo(70, 58);
    arrows.lineTo(76, 64);
    arrows.lineTo(70, 70);
    p.setPen(QPen(QColor(0xf2, 0xc2, 0x30), 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(arrows);
}

}  // namespace

QIcon appIcon() {
    QIcon icon;
    for (const int size : {16, 24, 32, 48, 64, 128, 256}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        p.scale(size / 128.0, size / 128.0);
        drawIcon(p);
        p.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

}  // namespace orvel
