#include "app/app_icon.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace veltrane {
namespace {

constexpr int kIconSizes[] = {16, 24, 32, 48, 64, 128, 256};

} // namespace

QIcon AppIcon()
{
    QIcon icon;
    for (const int size : kIconSizes) {
        icon.addFile(u":/veltrane/veltrane-%1.png"_s.arg(size), QSize(size, size));
    }
    return icon;
}

QPixmap WarningSign(int size, const QColor& fill, const QColor& mark)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;
    QPainterPath triangle;
    triangle.moveTo(s * 0.5, s * 0.06);
    triangle.lineTo(s * 0.97, s * 0.92);
    triangle.lineTo(s * 0.03, s * 0.92);
    triangle.closeSubpath();
    // A dark rim keeps the sign readable on light and dark trays alike.
    painter.setPen(QPen(QColor(0x40, 0x20, 0x00), std::max(1.0, s / 16), Qt::SolidLine,
                        Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(fill);
    painter.drawPath(triangle);
    painter.setPen(Qt::NoPen);
    painter.setBrush(mark);
    const qreal w = std::max(1.5, s * 0.12);
    painter.drawRoundedRect(QRectF(s * 0.5 - w / 2, s * 0.32, w, s * 0.34), w / 3, w / 3);
    painter.drawEllipse(QPointF(s * 0.5, s * 0.78), w * 0.6, w * 0.6);
    return pixmap;
}

QIcon AppWarningIcon()
{
    const QIcon base = AppIcon();
    QIcon icon;
    for (const int size : kIconSizes) {
        QPixmap pixmap = base.pixmap(size, size);
        QPainter painter(&pixmap);
        const int sign = size * 5 / 8;
        painter.drawPixmap(size - sign, size - sign,
                           WarningSign(sign, QColor(0xff, 0xc1, 0x07), QColor(0x20, 0x20, 0x20)));
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

} // namespace veltrane
