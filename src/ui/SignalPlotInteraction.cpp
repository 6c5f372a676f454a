// The plots' zoom, pan and cursors, and the mouse that drives them.
#include "SignalPlot.h"

#include "SignalFrame.h"
#include "SignalPixels.h"

#include <QMouseEvent>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace qmx {

using namespace signalplot;

// ---- zoom and pan

void SignalPlot::applyZoomX(SignalAxis& x, const SignalAxis& fullX)
{
    _fullX = saneAxis(fullX);
    if (_zoomX) {
        // inside the whole frame, and never narrower than a few trace points
        const double minSpan = minimumXSpan();
        double lo = _zx0, hi = _zx1;
        if (_fullX.log) {
            lo = std::clamp(lo, _fullX.lo, _fullX.hi);
            hi = std::clamp(hi, _fullX.lo, _fullX.hi);
            if (hi - lo < minSpan) {
                const double centre = std::sqrt(lo * hi);
                lo = std::max(_fullX.lo, centre - minSpan / 2);
                hi = std::min(_fullX.hi, lo + minSpan);
            }
        } else {
            const double span = std::clamp(hi - lo, std::min(minSpan, _fullX.hi - _fullX.lo), _fullX.hi - _fullX.lo);
            const double centre = std::isfinite(lo + hi) ? (lo + hi) / 2 : (_fullX.lo + _fullX.hi) / 2;
            lo = std::clamp(centre - span / 2, _fullX.lo, _fullX.hi - span);
            hi = lo + span;
        }
        if (std::isfinite(lo) && std::isfinite(hi) && hi > lo && (!_fullX.log || lo > 0)) {
            x.lo = lo;
            x.hi = hi;
        }
    }
}

void SignalPlot::applyZoomY(SignalAxis& y) const
{
    if (_zoomY && std::isfinite(_zy0) && std::isfinite(_zy1) && _zy1 > _zy0) {
        y.lo = _zy0;
        y.hi = _zy1;
    }
}

void SignalPlot::zoomX(double lo, double hi)
{
    if (!(std::isfinite(lo) && std::isfinite(hi)))
        return;
    if (lo > hi)
        std::swap(lo, hi);
    _zoomX = true;
    _zx0 = lo;
    _zx1 = hi;
    invalidate();
}

void SignalPlot::zoomY(double lo, double hi)
{
    if (!(std::isfinite(lo) && std::isfinite(hi)) || lo == hi)
        return;
    if (lo > hi)
        std::swap(lo, hi);
    _zoomY = true;
    _zy0 = lo;
    _zy1 = hi;
    invalidate();
}

void SignalPlot::zoomAbout(QPoint pixel, double factor, bool yAxis)
{
    prepare();
    if (!_frame || !(factor > 0) || !std::isfinite(factor))
        return;
    const QRect a = plotRect();
    const SignalAxis& axis = yAxis ? _y : _x;
    const double f = yAxis ? 1 - (pixel.y() - a.top() + 0.5) / a.height() : (pixel.x() - a.left() + 0.5) / a.width();
    const double fc = std::clamp(f, 0.0, 1.0);
    // in fractions of the axis: the point under the pointer stays put
    const double lo = axis.valueAtFraction(fc - fc * factor);
    const double hi = axis.valueAtFraction(fc + (1 - fc) * factor);
    if (yAxis)
        zoomY(lo, hi);
    else
        zoomX(lo, hi);
}

void SignalPlot::panByPixels(QPoint delta)
{
    prepare();
    if (!_frame)
        return;
    const QRect a = plotRect();
    if (delta.x() != 0) {
        const double df = -static_cast<double>(delta.x()) / a.width();
        zoomX(_x.valueAtFraction(df), _x.valueAtFraction(1 + df));
    }
    if (delta.y() != 0 && _zoomY) {
        const double df = static_cast<double>(delta.y()) / a.height();
        zoomY(_y.valueAtFraction(df), _y.valueAtFraction(1 + df));
    }
}

void SignalPlot::resetZoom()
{
    if (!_zoomX && !_zoomY)
        return;
    _zoomX = _zoomY = false;
    invalidate();
}

// ---- cursors

void SignalPlot::setCursorsShown(bool shown)
{
    if (shown == _cursorsOn)
        return;
    _cursorsOn = shown;
    if (shown) {
        prepare();
        // first shown: a third and two thirds across what is in view
        for (int i = 0; i < 2; ++i)
            if (!_cursorPlaced[static_cast<std::size_t>(i)])
                _cursorX[static_cast<std::size_t>(i)] = _x.valueAtFraction((i + 1) / 3.0);
        _cursorPlaced = {true, true};
    }
    resnapCursors();
    invalidate();
    emit cursorsChanged();
}

void SignalPlot::setCursorChannel(int channel)
{
    channel = std::clamp(channel, 0, 3);
    if (channel == _cursorChannel)
        return;
    _cursorChannel = channel;
    resnapCursors();
    update();
    emit cursorsChanged();
}

SignalCursorPoint SignalPlot::setCursor(int which, double x)
{
    const auto w = static_cast<std::size_t>(std::clamp(which, 0, 1));
    prepare();
    _cursorX[w] = x;
    _cursorPlaced[w] = true;
    resnapCursors();
    update();
    emit cursorsChanged();
    return _cursorPoints[w];
}

SignalCursorPoint SignalPlot::cursorPoint(int which) const
{
    prepare();
    return _cursorPoints[static_cast<std::size_t>(std::clamp(which, 0, 1))];
}

void SignalPlot::resnapCursors()
{
    for (std::size_t i = 0; i < 2; ++i) {
        _cursorPoints[i] = SignalCursorPoint();
        if (_cursorPlaced[i] && traceShown(_cursorChannel) && std::isfinite(_cursorX[i]))
            _cursorPoints[i] = snap(_cursorChannel, _cursorX[i]);
    }
}

QString SignalPlot::cursorSummary() const
{
    prepare();
    if (!_cursorsOn || !_cursorPoints[0].valid || !_cursorPoints[1].valid)
        return {};
    return cursorTexts(_cursorPoints[0], _cursorPoints[1]).join("   ");
}

// ---- the mouse

void SignalPlot::mousePressEvent(QMouseEvent* e)
{
    _pressAt = _dragAt = e->position().toPoint();
    _moved = false;
    const bool rubber = e->button() == Qt::RightButton ||
                        (e->button() == Qt::LeftButton && (e->modifiers() & Qt::ShiftModifier));
    if (_frame && plotRect().contains(_pressAt))
        _drag = rubber ? Drag::Rubber : e->button() == Qt::LeftButton ? Drag::Pan : Drag::None;
    e->accept();
}

void SignalPlot::mouseMoveEvent(QMouseEvent* e)
{
    const QPoint at = e->position().toPoint();
    if (_drag != Drag::None) {
        if ((at - _pressAt).manhattanLength() >= 3)
            _moved = true;
        if (_drag == Drag::Pan && _moved) {
            panByPixels(at - _dragAt);
        }
        _dragAt = at;
        update();
    }
    moveCrosshair(at);
    QWidget::mouseMoveEvent(e);
}

void SignalPlot::mouseReleaseEvent(QMouseEvent* e)
{
    const QPoint at = e->position().toPoint();
    const Drag drag = _drag;
    _drag = Drag::None;
    if (drag == Drag::Rubber && _moved) {
        const QRect r = QRect(_pressAt, at).normalized() & plotRect();
        if (r.width() >= 3 && r.height() >= 3) {
            const QPointF a = valueAt(r.topLeft()), b = valueAt(r.bottomRight());
            zoomX(a.x(), b.x());
            zoomY(b.y(), a.y());
        }
    } else if (drag == Drag::Pan && !_moved && _cursorsOn) {
        // a click moves the nearer cursor to the trace point there
        const double x = valueAt(at).x();
        const int nearA = std::abs(pixelAt(QPointF(_cursorPoints[0].x, 0)).x() - at.x());
        const int nearB = std::abs(pixelAt(QPointF(_cursorPoints[1].x, 0)).x() - at.x());
        setCursor(!_cursorPoints[0].valid || nearA <= nearB || !_cursorPoints[1].valid ? 0 : 1, x);
    }
    update();
    e->accept();
}

void SignalPlot::mouseDoubleClickEvent(QMouseEvent* e)
{
    resetZoom();
    e->accept();
}

void SignalPlot::wheelEvent(QWheelEvent* e)
{
    const int steps = e->angleDelta().y();
    if (steps == 0 || !_frame) {
        e->ignore();
        return;
    }
    const bool yAxis = e->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier);
    zoomAbout(e->position().toPoint(), std::pow(0.8, steps / 120.0), yAxis);
    e->accept();
}

}  // namespace qmx
