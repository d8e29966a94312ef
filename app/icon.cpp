#include "icon.h"

#include <QPainter>
#include <QPainterPath>

namespace romlift {

QPixmap ProgramPixmap(int size) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    const double s = size / 32.0;
    p.scale(s, s);
    // Panel body with its screen.
    p.setPen(QPen(Qt::black, 1));
    p.setBrush(QColor(128, 128, 128));
    p.drawRect(2, 10, 27, 20);
    p.setBrush(QColor(0, 128, 128));
    p.drawRect(5, 13, 21, 10);
    p.setBrush(QColor(255, 255, 0));
    p.drawRect(5, 25, 3, 3);
    p.drawRect(10, 25, 3, 3);
    // Arrow coming down into the panel: firmware going in.
    p.setBrush(QColor(0, 160, 0));
    QPainterPath arrow;
    arrow.moveTo(13, 0);
    arrow.lineTo(19, 0);
    arrow.lineTo(19, 7);
    arrow.lineTo(24, 7);
    arrow.lineTo(16, 17);
    arrow.lineTo(8, 7);
    arrow.lineTo(13, 7);
    arrow.closeSubpath();
    p.drawPath(arrow);
    return pm;
}

QIcon ProgramIcon() {
    QIcon icon;
    icon.addPixmap(ProgramPixmap(32));
    icon.addPixmap(ProgramPixmap(16));
    return icon;
}

}  // namespace romlift
