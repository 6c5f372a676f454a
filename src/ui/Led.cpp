#include "Led.h"

#include <QPainter>

namespace qmx {

TLed::TLed(QWidget* parent) : QWidget(parent) { resize(20, 20); }

void TLed::setBrushColor(ColorRef c)
{
    if (c == _color)
        return;
    _color = c;
    update();
}

QColor TLed::shownColor() const { return toQColor(_color, palette()); }

void TLed::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor fill = isEnabled() ? shownColor() : shownColor().lighter(115);
    p.setPen(QPen(palette().color(QPalette::Mid), 1));
    p.setBrush(fill);
    const int d = qMin(width(), height()) - 2;
    p.drawEllipse(QRectF((width() - d) / 2.0, (height() - d) / 2.0, d, d));
}

TFlashLed::TFlashLed(QWidget* parent) : TLed(parent) {}

void TFlashLed::setColors(ColorRef lit, ColorRef unlit)
{
    _litColor = lit;
    _unlitColor = unlit;
    refresh();
}

void TFlashLed::setLit(bool lit)
{
    _lit = lit;
    refresh();
}

void TFlashLed::refresh() { setBrushColor(_lit ? _litColor : _unlitColor); }

}  // namespace qmx
