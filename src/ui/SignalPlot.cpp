#include "SignalPlot.h"

#include "SignalFrame.h"
#include "SignalPixels.h"

#include <QEvent>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace qmx {

using namespace signalplot;

QColor signalChannelColor(int channel)
{
    switch (channel) {
    case 0: return QColor(230, 159, 0);    // orange
    case 1: return QColor(86, 180, 233);   // sky blue
    case 2: return QColor(0, 158, 115);    // bluish green
    case 3: return QColor(204, 121, 167);  // reddish purple
    default: return QColor(128, 128, 128);
    }
}

QString signalChannelCue(int channel)
{
    switch (channel) {
    case 0: return QStringLiteral("—— ■");
    case 1: return QStringLiteral("– – ✚");
    case 2: return QStringLiteral("··· ✖");
    case 3: return QStringLiteral("— — □");
    default: return {};
    }
}

double SignalAxis::fraction(double v) const
{
    if (log)
        return (std::log10(v) - std::log10(lo)) / (std::log10(hi) - std::log10(lo));
    return (v - lo) / (hi - lo);
}

double SignalAxis::valueAtFraction(double f) const
{
    if (log)
        return std::pow(10.0, std::log10(lo) + f * (std::log10(hi) - std::log10(lo)));
    return lo + f * (hi - lo);
}

// ---------------------------------------------------------------------------------------------
// SignalPlot

SignalPlot::SignalPlot(QWidget* parent) : QWidget(parent)
{
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);  // the background picture covers every pixel
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    setFocusPolicy(Qt::ClickFocus);
    updateMargins();
}

SignalAxis SignalPlot::saneAxis(SignalAxis a)
{
    if (a.log) {
        const bool good = std::isfinite(a.lo) && std::isfinite(a.hi) && a.lo > 0 && a.hi > a.lo &&
                          std::log10(a.hi) - std::log10(a.lo) >= 1e-6;
        if (!good) {
            const bool loGood = std::isfinite(a.lo) && a.lo > 0 && a.lo < 1e300;
            a.lo = loGood ? a.lo : 1;
            a.hi = a.lo * 10;
        }
        return a;
    }
    const auto good = [](double lo, double hi) {
        return std::isfinite(lo) && std::isfinite(hi) && hi > lo && std::isfinite(hi - lo) &&
               hi - lo >= 1e-9 * std::max(std::fabs(lo), std::fabs(hi));
    };
    if (!good(a.lo, a.hi)) {
        const double centre = std::isfinite(a.lo) && std::isfinite(a.hi) ? a.lo / 2 + a.hi / 2 : 0;
        const double half = std::max(std::fabs(centre) * 1e-3, 1e-6);
        a.lo = centre - half;
        a.hi = centre + half;
        if (!good(a.lo, a.hi)) {
            a.lo = 0;
            a.hi = 1;
        }
    }
    return a;
}

QColor SignalPlot::areaColor() const { return palette().color(QPalette::Base); }
QColor SignalPlot::textColor() const { return palette().color(QPalette::Text); }

void SignalPlot::updateMargins()
{
    const QFontMetrics fm(font());
    _margins = QMargins(fm.horizontalAdvance(QStringLiteral("-0000.00")) + 12, fm.height() + 6, 14, fm.height() + 10);
}

void SignalPlot::setFrame(std::shared_ptr<const SignalFrame> frame)
{
    _frame = std::move(frame);
    invalidate();
    if (_cursorInside) {
        // the reading under a resting mouse follows the frame (its axes may have moved)
        if (!_frame)
            _cursorInside = false;
        emit cursorMoved(_cursorInside ? cursorTextAt(_cursor) : QString());
    }
    if (_cursorsOn)
        emit cursorsChanged();
}

void SignalPlot::setChannelShown(int channel, bool shown)
{
    if (channel < 0 || channel >= 4 || _shown[static_cast<std::size_t>(channel)] == shown)
        return;
    _shown[static_cast<std::size_t>(channel)] = shown;
    invalidate();
}

bool SignalPlot::channelShown(int channel) const
{
    return channel >= 0 && channel < 4 && _shown[static_cast<std::size_t>(channel)];
}

bool SignalPlot::traceShown(int channel) const
{
    return _frame && channelShown(channel) && _frame->channels[static_cast<std::size_t>(channel)].present;
}

void SignalPlot::invalidate()
{
    _stale = true;
    update();
}

QRect SignalPlot::plotRect() const
{
    QRect r = rect().marginsRemoved(_margins);
    if (r.width() < 1)
        r.setWidth(1);
    if (r.height() < 1)
        r.setHeight(1);
    return r;
}

void SignalPlot::prepare() const
{
    if (!_stale && _builtSize == size())
        return;
    auto* self = const_cast<SignalPlot*>(this);
    self->_stale = false;
    self->_canvasStale = true;
    self->_builtSize = size();
    self->_notes.clear();
    self->rebuild(plotRect());
    self->resnapCursors();
}

SignalAxis SignalPlot::xAxis() const
{
    prepare();
    return _x;
}

SignalAxis SignalPlot::yAxis() const
{
    prepare();
    return _y;
}

int SignalPlot::columnOf(double x, const QRect& area) const
{
    const double f = _x.fraction(x);
    if (std::isnan(f) || (_x.log && !(x > 0)))
        return -1;
    return area.left() + clampedFloor(f * area.width(), 0, area.width() - 1);
}

int SignalPlot::rowOf(double y, const QRect& area) const
{
    const double f = _y.fraction(y);
    if (std::isnan(f))
        return -1;
    return area.top() + clampedFloor((1 - f) * area.height(), 0, area.height() - 1);
}

QPointF SignalPlot::valueAt(QPoint pixel) const
{
    prepare();
    const QRect a = plotRect();
    const double fx = (pixel.x() - a.left() + 0.5) / a.width();
    const double fy = (pixel.y() - a.top() + 0.5) / a.height();
    return {_x.valueAtFraction(fx), _y.valueAtFraction(1 - fy)};
}

QPoint SignalPlot::pixelAt(QPointF value) const
{
    prepare();
    const QRect a = plotRect();
    constexpr int kFar = 1 << 24;
    return {a.left() + clampedFloor(_x.fraction(value.x()) * a.width(), -kFar, kFar),
            a.top() + clampedFloor((1 - _y.fraction(value.y())) * a.height(), -kFar, kFar)};
}

QString SignalPlot::cursorTextAt(QPoint pixel) const
{
    if (!_frame || !plotRect().contains(pixel))
        return {};
    const QPointF v = valueAt(pixel);
    const QPointF right = valueAt(pixel + QPoint(1, 0));
    const QPointF up = valueAt(pixel - QPoint(0, 1));
    return cursorReading(v, QPointF(std::fabs(right.x() - v.x()), std::fabs(up.y() - v.y())));
}

QString SignalPlot::xTickText(double scaled, int decimals) const { return fixedText(scaled, decimals); }

// ---- painting

void SignalPlot::paintEvent(QPaintEvent*)
{
    prepare();
    updateCanvas();
    QPainter p(this);
    p.drawImage(0, 0, _canvas);
    drawOverlay(p);
    if (_cursorInside && _frame && _drag == Drag::None) {
        const QRect a = plotRect();
        p.setPen(QPen(mixColor(areaColor(), textColor(), 0.6), 1, Qt::DotLine));
        p.drawLine(_cursor.x(), a.top(), _cursor.x(), a.bottom());
        p.drawLine(a.left(), _cursor.y(), a.right(), _cursor.y());
    }
    if (_drag == Drag::Rubber) {
        p.setPen(QPen(textColor(), 1, Qt::DashLine));
        p.setBrush(Qt::NoBrush);
        p.drawRect(QRect(_pressAt, _dragAt).normalized() & plotRect());
    }
}

void SignalPlot::renderPlot(QPainter& p, const QRect& target)
{
    prepare();
    updateCanvas();
    p.save();
    p.translate(target.topLeft());
    p.setClipRect(QRect(QPoint(0, 0), target.size()));
    p.drawImage(QRect(QPoint(0, 0), size()), _canvas);
    drawOverlay(p);
    p.restore();
}

void SignalPlot::drawOverlay(QPainter& p) const
{
    if (!_frame)
        return;
    const QRect a = plotRect();
    const QFontMetrics fm(font());
    p.save();
    p.setClipRect(a);
    int row = 0;
    for (const auto& [text, color] : _notes) {
        p.setPen(color);
        p.drawText(QRect(a.left() + 6, a.top() + 2 + row * fm.height(), a.width() - 12, fm.height()),
                   Qt::AlignLeft | Qt::AlignVCenter, text);
        ++row;
    }
    if (_cursorsOn) {
        const QColor ink = textColor();
        for (std::size_t i = 0; i < 2; ++i) {
            const SignalCursorPoint& c = _cursorPoints[i];
            if (!c.valid)
                continue;
            const QPoint at = pixelAt(QPointF(c.x, c.y));
            p.setPen(QPen(ink, 1, i == 0 ? Qt::SolidLine : Qt::DashLine));
            p.drawLine(at.x(), a.top(), at.x(), a.bottom());
            p.setBrush(Qt::NoBrush);
            p.drawEllipse(at, 4, 4);
            p.drawText(at.x() + 4, a.bottom() - 4, i == 0 ? QStringLiteral("A") : QStringLiteral("B"));
        }
        if (_cursorPoints[0].valid && _cursorPoints[1].valid) {
            const QStringList lines = cursorTexts(_cursorPoints[0], _cursorPoints[1]);
            // the box from the longest line's length (laying the lines out twice a frame to
            // measure them costs as much as drawing them)
            qsizetype longest = 0;
            for (const QString& l : lines)
                longest = std::max(longest, l.size());
            const int width = static_cast<int>(longest) * fm.horizontalAdvance(QLatin1Char('0'));
            const QRect box(a.left() + 6, a.bottom() - 8 - fm.height() * static_cast<int>(lines.size()) - fm.height(),
                            width + 10, fm.height() * static_cast<int>(lines.size()) + 4);
            QColor back = areaColor();
            back.setAlpha(210);
            p.fillRect(box, back);
            p.setPen(ink);
            for (int i = 0; i < lines.size(); ++i)
                p.drawText(box.left() + 5, box.top() + 2 + fm.ascent() + i * fm.height(), lines[i]);
        }
    }
    p.restore();
}

void SignalPlot::updateCanvas()
{
    const bool newBackground = paintBackground();
    if (!newBackground && !_canvasStale)
        return;
    _canvasStale = false;
    if (_canvas.size() != _background.size() || _canvas.devicePixelRatio() != _background.devicePixelRatio()) {
        _canvas = QImage(_background.size(), _background.format());
        _canvas.setDevicePixelRatio(_background.devicePixelRatio());
    }
    // same size and format: a plain copy, into memory the canvas already owns
    std::memcpy(_canvas.bits(), _background.constBits(), static_cast<std::size_t>(_background.sizeInBytes()));
    if (_frame)
        drawTraces(_canvas);
}

bool SignalPlot::paintBackground()
{
    const qreal dpr = devicePixelRatioF();
    BackgroundKey key{size(), dpr, _x, _y, _message, _frame != nullptr};
    if (!_background.isNull() && key == _backgroundKey)
        return false;
    _backgroundKey = key;
    // opaque RGB32, the format of the window's backing store, so that drawing it is a copy
    _background = QImage(size() * dpr, QImage::Format_RGB32);
    _background.setDevicePixelRatio(dpr);

    const QRect a = plotRect();
    QPainter p(&_background);
    p.fillRect(rect(), palette().color(QPalette::Window));
    p.fillRect(a, areaColor());
    if (_frame) {
        drawLinearTicks(p, a, false);
        if (_x.log)
            drawLogTicks(p, a);
        else
            drawLinearTicks(p, a, true);
        // titles: the level's above the plot area, the x axis' at the right end of its labels
        p.setPen(palette().color(QPalette::WindowText));
        const QFontMetrics fm(font());
        p.drawText(QRect(a.left(), 0, a.width(), a.top() - 2), Qt::AlignLeft | Qt::AlignBottom, _y.title);
        p.drawText(QRect(0, a.bottom() + 4, width() - 4, fm.height() + 2), Qt::AlignRight | Qt::AlignTop, _x.title);
    }
    p.setPen(mixColor(areaColor(), textColor(), 0.45));
    p.drawRect(a.adjusted(-1, -1, 0, 0));
    if (!_message.isEmpty()) {
        p.setPen(textColor());
        p.drawText(a, Qt::AlignCenter, _message);
    }
    return true;
}

void SignalPlot::drawLinearTicks(QPainter& p, const QRect& a, bool horizontal)
{
    const SignalAxis& axis = horizontal ? _x : _y;
    const double pixels = horizontal ? a.width() : a.height();
    const double step = niceStep(axis.hi - axis.lo, pixels / (horizontal ? 90.0 : 40.0));
    const int decimals = decimalsFor(step * axis.labelScale);
    const QFontMetrics fm(font());
    const QColor text = palette().color(QPalette::WindowText);
    const QColor grid = mixColor(areaColor(), textColor(), 0.22);
    // labels keep clear of each other and of the x axis title at the right
    int freeFrom = horizontal ? 0 : a.bottom() + fm.ascent() / 2 + 1;
    const int rightLimit = this->width() - fm.horizontalAdvance(_x.title) - 12;
    const double first = std::ceil(axis.lo / step);
    for (int i = 0; i < 500; ++i) {
        double v = (first + i) * step;
        if (v > axis.hi + step * 1e-9)
            break;
        if (std::fabs(v) < step * 1e-6)
            v = 0;
        const QString label = horizontal ? xTickText(v * axis.labelScale, decimals) : fixedText(v * axis.labelScale, decimals);
        const int width = fm.horizontalAdvance(label);
        if (horizontal) {
            const int x = columnOf(v, a);
            p.setPen(grid);
            p.drawLine(x, a.top(), x, a.bottom());
            const int left = x - width / 2;
            if (left >= freeFrom && left + width <= rightLimit) {
                p.setPen(text);
                p.drawText(left, a.bottom() + 4 + fm.ascent(), label);
                freeFrom = left + width + 8;
            }
        } else {
            const int y = rowOf(v, a);
            p.setPen(grid);
            p.drawLine(a.left(), y, a.right(), y);
            const int baseline = y + fm.ascent() / 2;
            if (baseline <= freeFrom && baseline - fm.ascent() >= 0) {
                p.setPen(text);
                p.drawText(a.left() - 5 - width, baseline, label);
                freeFrom = baseline - fm.height();
            }
        }
    }
}

void SignalPlot::drawLogTicks(QPainter& p, const QRect& a)
{
    const double e0 = std::floor(std::log10(_x.lo));
    const double e1 = std::ceil(std::log10(_x.hi));
    const double decades = std::max(1.0, e1 - e0);
    // a label every `every` decades so they do not crowd; minor lines only with room for them
    const double every = std::max(1.0, std::ceil(decades / std::max(1.0, a.width() / 60.0)));
    const bool minors = decades <= a.width() / 30.0;
    const bool fewDecades = e1 - e0 <= 2;
    const QFontMetrics fm(font());
    const QColor text = palette().color(QPalette::WindowText);
    const QColor grid = mixColor(areaColor(), textColor(), 0.22);
    const QColor minorGrid = mixColor(areaColor(), textColor(), 0.11);
    int freeFrom = 0;
    const int rightLimit = this->width() - fm.horizontalAdvance(_x.title) - 12;
    for (double e = e0; e <= e1 && e - e0 <= 1000; e += 1) {
        for (int m = 1; m <= 9; ++m) {
            if (m > 1 && !minors)
                break;
            const double v = m * std::pow(10.0, e);
            if (v < _x.lo || v > _x.hi)
                continue;
            const int x = columnOf(v, a);
            p.setPen(m == 1 ? grid : minorGrid);
            p.drawLine(x, a.top(), x, a.bottom());
            const bool labelled = (m == 1 && std::fmod(e - e0, every) == 0) || (fewDecades && (m == 2 || m == 5));
            if (!labelled)
                continue;
            const QString label = xTickText(v * _x.labelScale, decimalsFor(v));
            const int width = fm.horizontalAdvance(label);
            const int left = x - width / 2;
            if (left >= freeFrom && left + width <= rightLimit) {
                p.setPen(text);
                p.drawText(left, a.bottom() + 4 + fm.ascent(), label);
                freeFrom = left + width + 8;
            }
        }
    }
}

void SignalPlot::moveCrosshair(QPoint pixel)
{
    const bool inside = _frame && plotRect().contains(pixel);
    if (!inside && !_cursorInside)
        return;
    _cursorInside = inside;
    _cursor = pixel;
    update();
    emit cursorMoved(inside ? cursorTextAt(pixel) : QString());
}

void SignalPlot::leaveEvent(QEvent* e)
{
    moveCrosshair(QPoint(-1, -1));
    QWidget::leaveEvent(e);
}

void SignalPlot::hideEvent(QHideEvent* e)
{
    // a window closed under the mouse gets no leave event
    moveCrosshair(QPoint(-1, -1));
    _drag = Drag::None;
    QWidget::hideEvent(e);
}

void SignalPlot::changeEvent(QEvent* e)
{
    if (e->type() == QEvent::FontChange || e->type() == QEvent::PaletteChange) {
        updateMargins();
        _background = QImage();
        invalidate();
    }
    QWidget::changeEvent(e);
}

}  // namespace qmx
