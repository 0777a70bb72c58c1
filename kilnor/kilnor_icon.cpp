#include "kilnor_dialog.h"

#include <QIcon>
#include <QPainter>
#include <QPixmap>

namespace {

// A chip with pins on a kiln-orange tile, drawn so that no binary image has
// to be kept in the sources.
QPixmap drawIcon(int aSize)
{
    QPixmap pixmap(aSize, aSize);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal unit = aSize / 16.0;
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0xC8, 0x55, 0x1E));
    painter.drawRoundedRect(QRectF(0, 0, aSize, aSize), 3 * unit, 3 * unit);
    painter.setBrush(QColor(0x30, 0x30, 0x30));
    painter.drawRect(QRectF(4 * unit, 4 * unit, 8 * unit, 8 * unit));
    painter.setBrush(QColor(0xF0, 0xE0, 0xB0));
    for (int i = 0; i < 3; ++i) {
        const qreal at = (5 + 2.5 * i) * unit;
        painter.drawRect(QRectF(at, 2 * unit, unit, 2 * unit));
        painter.drawRect(QRectF(at, 12 * unit, unit, 2 * unit));
        painter.drawRect(QRectF(2 * unit, at, 2 * unit, unit));
        painter.drawRect(QRectF(12 * unit, at, 2 * unit, unit));
    }
    return pixmap;
}

} // namespace

QIcon kilnorIcon()
{
    QIcon icon;
    icon.addPixmap(drawIcon(16));
    icon.addPixmap(drawIcon(32));
    return icon;
}
