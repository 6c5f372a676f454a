#include "ApplicationIcon.h"

#include <QPainter>
#include <QPainterPath>

#include <cmath>

namespace qmx {

QPixmap drawApplicationIcon(int size)
{
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    // Drawn in design coordinates, scaled to the size asked for.
    p.scale(double(size) / kApplicationIconDesignSize, double(size) / kApplicationIconDesignSize);
    p.setBrush(QColor(20, 30, 40));
    p.setPen(QPen(QColor(120, 130, 140), 3));
    p.drawRoundedRect(3, 3, 58, 58, 10, 10);
    QPainterPath wave;
    wave.moveTo(8, 24);
    for (int x = 8; x <= 56; ++x)
        wave.lineTo(x, 24 - 12 * std::sin((x - 8) / 48.0 * 2 * 3.14159265));
    p.setPen(QPen(QColor(0, 255, 0), 3));
    p.setBrush(Qt::NoBrush);
    p.drawPath(wave);
    QFont f("Arial");
    f.setBold(true);
    f.setPixelSize(22);
    p.setFont(f);
    p.setPen(QColor(255, 255, 164));
    p.drawText(QRect(0, 34, 64, 28), Qt::AlignCenter, "58");
    return pm;
}

QIcon applicationIcon() { return QIcon(drawApplicationIcon(kApplicationIconDesignSize)); }

}  // namespace qmx
