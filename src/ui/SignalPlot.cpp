#include "SignalPlot.h"

#include "SignalFrame.h"

#include <QEvent>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace qmx {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr float kInfF = std::numeric_limits<float>::infinity();

const QColor kAreaColor(255, 255, 255);
const QColor kGridColor(222, 222, 222);
const QColor kMinorGridColor(240, 240, 240);
const QColor kFrameColor(150, 150, 150);
const QColor kCrosshairColor(90, 90, 90);

// floor(v) as an int limited to [lo, hi]; lo for a value that is not a number. Every
// conversion of a computed coordinate to a pixel goes through here: a double beyond the range
// of int must never be converted.
int clampedFloor(double v, int lo, int hi)
{
    if (!(v >= lo))
        return lo;
    if (v >= hi)
        return hi;
    return static_cast<int>(std::floor(v));
}

// A tick step of 1, 2 or 5 times a power of ten giving about `count` ticks over `span`.
double niceStep(double span, double count)
{
    if (!(span > 0) || !std::isfinite(span))
        return 1;
    const double raw = span / std::max(1.0, count);
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    const double n = raw / magnitude;
    return (n <= 1 ? 1 : n <= 2 ? 2 : n <= 5 ? 5 : 10) * magnitude;
}

// Digits after the point that tell values `resolution` apart.
int decimalsFor(double resolution)
{
    if (!(resolution > 0) || !std::isfinite(resolution))
        return 0;
    return static_cast<int>(std::clamp(std::ceil(-std::log10(resolution) - 1e-9), 0.0, 12.0));
}

QString fixedText(double v, int decimals)
{
    QString t = QString::number(v, 'f', decimals);
    // "-0.00" for a value that rounds to zero reads as a fault
    if (t.startsWith('-') && t.count(QLatin1Char('0')) + t.count(QLatin1Char('.')) == t.size() - 1)
        t.remove(0, 1);
    return t;
}

// A frequency as the peak legend shows it: kHz with the panel's five decimals from 1 kHz.
// In kilohertz with five decimals, as the channel panels show frequencies.
QString peakFrequencyText(double hz) { return QString::number(hz / 1000, 'f', 5) + " кГц"; }

// a*b/d rounded down (or up), exact for any operands: in 64 bits while the product fits, as
// it does for any real frame, else in 128.
unsigned long long mulDiv(unsigned long long a, unsigned long long b, unsigned long long d, bool up)
{
    unsigned long long product;
    if (!__builtin_mul_overflow(a, b, &product) && product <= ~0ull - d)
        return (product + (up ? d - 1 : 0)) / d;
    using Wide = unsigned __int128;
    return static_cast<unsigned long long>((Wide(a) * b + (up ? d - 1 : 0)) / d);
}

bool usableRange(double volts) { return std::isfinite(volts) && volts > 0 && volts < 1e9; }

// Writes trace pixels straight into an RGB32 image. QPainter strokes every pixel of a line
// through its general machinery; for the bands a dense signal makes (hundreds of pixels high
// in every column, four channels) that is about ten times slower than these loops. Works in
// logical pixels, each a block of device pixels on a high-density screen, clipped to `clip`.
class PixelWriter {
public:
    PixelWriter(QImage& image, const QRect& clip)
        : _bits(image.bits()),
          _stride(image.bytesPerLine()),
          _width(image.width()),
          _height(image.height()),
          _dpr(image.devicePixelRatio()),
          _unit(image.devicePixelRatio() == 1.0)
    {
        _clip = clip & QRect(0, 0, static_cast<int>(_width / _dpr), static_cast<int>(_height / _dpr));
    }

    void setColor(const QColor& color) { _rgb = color.rgb(); }

    // Rows y0 .. y1 of column x.
    void column(int x, int y0, int y1)
    {
        if (x < _clip.left() || x > _clip.right())
            return;
        y0 = std::max(y0, _clip.top());
        y1 = std::min(y1, _clip.bottom());
        if (y0 > y1)
            return;
        if (_unit) {
            uchar* p = _bits + static_cast<qsizetype>(y0) * _stride + static_cast<qsizetype>(x) * 4;
            for (int y = y0; y <= y1; ++y, p += _stride)
                *reinterpret_cast<QRgb*>(p) = _rgb;
            return;
        }
        const auto device = [this](int v, int limit) { return std::clamp(static_cast<int>(std::floor(v * _dpr)), 0, limit); };
        const int dx0 = device(x, _width), dx1 = device(x + 1, _width);
        const int dy0 = device(y0, _height), dy1 = device(y1 + 1, _height);
        for (int y = dy0; y < dy1; ++y) {
            auto* row = reinterpret_cast<QRgb*>(_bits + static_cast<qsizetype>(y) * _stride);
            std::fill(row + dx0, row + dx1, _rgb);
        }
    }

    // A straight line from a to b, both ends included.
    void line(QPoint a, QPoint b)
    {
        int x = a.x(), y = a.y();
        const int dx = std::abs(b.x() - x), dy = -std::abs(b.y() - y);
        const int sx = x < b.x() ? 1 : -1, sy = y < b.y() ? 1 : -1;
        int err = dx + dy;
        for (;;) {
            column(x, y, y);
            if (x == b.x() && y == b.y())
                break;
            const int e2 = 2 * err;
            if (e2 >= dy) {
                err += dy;
                x += sx;
            }
            if (e2 <= dx) {
                err += dx;
                y += sy;
            }
        }
    }

    // Row y from x0 to x1, dashed: `on` pixels drawn of every `period`, starting `phase` in.
    void dashedRow(int y, int x0, int x1, int on, int period, int phase)
    {
        for (int x = x0; x <= x1; ++x)
            if ((x - x0 + phase) % period < on)
                column(x, y, y);
    }

private:
    uchar* _bits;
    qsizetype _stride;
    int _width, _height;
    qreal _dpr;
    bool _unit;
    QRect _clip;
    QRgb _rgb = 0xFF000000u;
};

}  // namespace

QColor signalChannelColor(int channel)
{
    switch (channel) {
    case 0: return QColor(0, 80, 220);    // blue
    case 1: return QColor(215, 0, 0);     // red
    case 2: return QColor(0, 145, 0);     // green
    case 3: return QColor(190, 0, 190);   // magenta
    default: return QColor(0, 0, 0);
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
    self->rebuild(plotRect());
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

void SignalPlot::paintEvent(QPaintEvent*)
{
    prepare();
    updateCanvas();
    QPainter p(this);
    p.drawImage(0, 0, _canvas);
    if (_cursorInside && _frame) {
        const QRect a = plotRect();
        p.setPen(QPen(kCrosshairColor, 1, Qt::DotLine));
        p.drawLine(_cursor.x(), a.top(), _cursor.x(), a.bottom());
        p.drawLine(a.left(), _cursor.y(), a.right(), _cursor.y());
    }
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
    p.fillRect(a, kAreaColor);
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
    p.setPen(kFrameColor);
    p.drawRect(a.adjusted(-1, -1, 0, 0));
    if (!_message.isEmpty()) {
        p.setPen(palette().color(QPalette::WindowText));
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
            p.setPen(kGridColor);
            p.drawLine(x, a.top(), x, a.bottom());
            const int left = x - width / 2;
            if (left >= freeFrom && left + width <= rightLimit) {
                p.setPen(text);
                p.drawText(left, a.bottom() + 4 + fm.ascent(), label);
                freeFrom = left + width + 8;
            }
        } else {
            const int y = rowOf(v, a);
            p.setPen(kGridColor);
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
            p.setPen(m == 1 ? kGridColor : kMinorGridColor);
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

void SignalPlot::mouseMoveEvent(QMouseEvent* e)
{
    moveCrosshair(e->position().toPoint());
    QWidget::mouseMoveEvent(e);
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

// ---------------------------------------------------------------------------------------------
// SignalWaveformPlot

SignalWaveformPlot::SignalWaveformPlot(QWidget* parent) : SignalPlot(parent)
{
    setObjectName("SignalWaveformPlot");
}

void SignalWaveformPlot::setFitToData(bool fit)
{
    if (fit == _fit)
        return;
    _fit = fit;
    invalidate();
}

void SignalWaveformPlot::rebuild(const QRect& area)
{
    for (auto& spans : _spans)
        spans.clear();
    _limitTop.fill(-1);
    _limitBottom.fill(-1);

    SignalAxis x, y;
    y.title = "U, В";
    const SignalFrame* f = frame();
    if (!f) {
        _message = "Нет данных";
        _samples = false;
        _yFromFit = false;
        x.labelScale = 1e3;
        x.title = "t, мс";
        y.lo = -1;
        _x = x;
        _y = y;
        return;
    }
    _message.clear();

    // Time axis: 0 .. M/Fs, or in samples when the frame has no usable rate or length.
    std::size_t maxBuckets = 0;
    for (const ChannelTrace& t : f->channels)
        if (t.present)
            maxBuckets = std::max(maxBuckets, std::min(t.envelopeMin.size(), t.envelopeMax.size()));
    const long long m = f->samplesPerChannel;
    const double fs = f->sampleRate;
    const double duration = m > 0 && fs > 0 && std::isfinite(fs) ? static_cast<double>(m) / fs : 0;
    _samples = !(std::isfinite(duration) && duration > 0);
    if (_samples) {
        x.hi = static_cast<double>(m > 0 ? static_cast<std::size_t>(m) : std::max<std::size_t>(maxBuckets, 1));
        x.title = "n, отсчёт";
    } else {
        x.hi = duration;
        x.labelScale = duration <= 2 ? 1e3 : 1;
        x.title = duration <= 2 ? "t, мс" : "t, с";
    }
    _x = saneAxis(x);

    // Buckets to pixel columns: bucket i holds samples [floor(i*N/B), floor((i+1)*N/B)) and
    // goes into every column those samples fall in; a column keeps the extremes of its buckets.
    const auto w = static_cast<unsigned>(area.width());
    constexpr long long kMaxSamples = 1LL << 36;
    const auto n = static_cast<unsigned long long>(
        std::clamp<long long>(m > 0 ? m : static_cast<long long>(std::min<std::size_t>(maxBuckets, kMaxSamples)), 1, kMaxSamples));
    double dataLo = kInf, dataHi = -kInf, widest = 0;
    for (int ch = 0; ch < 4; ++ch) {
        if (!traceShown(ch))
            continue;
        const auto c = static_cast<std::size_t>(ch);
        const ChannelTrace& t = f->channels[c];
        if (usableRange(t.rangeVolts))
            widest = std::max(widest, t.rangeVolts);
        std::vector<float>& colMin = _columnMin[c];
        std::vector<float>& colMax = _columnMax[c];
        colMin.assign(w, kInfF);
        colMax.assign(w, -kInfF);
        const std::size_t b = std::min(t.envelopeMin.size(), t.envelopeMax.size());
        for (std::size_t i = 0; i < b; ++i) {
            float lo = t.envelopeMin[i], hi = t.envelopeMax[i];
            const bool loOk = std::isfinite(lo), hiOk = std::isfinite(hi);
            if (!loOk && !hiOk)
                continue;
            if (!loOk)
                lo = hi;
            if (!hiOk)
                hi = lo;
            if (lo > hi)
                std::swap(lo, hi);
            const unsigned long long first = mulDiv(i, n, b, false);
            unsigned long long end = mulDiv(i + 1, n, b, false);
            if (end <= first)
                end = first + 1;
            const auto c0 = static_cast<unsigned>(std::min<unsigned long long>(mulDiv(first, w, n, false), w - 1));
            const auto c1 = static_cast<unsigned>(std::clamp<unsigned long long>(mulDiv(end, w, n, true), c0 + 1, w) - 1);
            for (unsigned col = c0; col <= c1; ++col) {
                colMin[col] = std::min(colMin[col], lo);
                colMax[col] = std::max(colMax[col], hi);
            }
            dataLo = std::min<double>(dataLo, lo);
            dataHi = std::max<double>(dataHi, hi);
        }
    }

    // Volts axis: the widest range in view, or fitted to the data (rounded to a tick step and
    // kept while the data still fill most of it, so it does not hop from frame to frame).
    const bool haveData = dataLo <= dataHi;
    if (!_fit && widest > 0) {
        y.lo = -widest * 1.05;
        y.hi = widest * 1.05;
        _yFromFit = false;
    } else if (!haveData) {
        y.lo = -1;
        y.hi = 1;
        _yFromFit = false;
    } else {
        const double span = dataHi - dataLo;
        const double pad = span > 0 ? span * 0.05 : std::max(std::fabs(dataHi) * 0.1, 1e-6);
        const double step = niceStep(span + 2 * pad, 20);
        const double lo = std::floor((dataLo - pad) / step) * step;
        const double hi = std::ceil((dataHi + pad) / step) * step;
        const bool keep = _yFromFit && _y.lo <= dataLo && _y.hi >= dataHi && hi - lo >= 0.6 * (_y.hi - _y.lo);
        y.lo = keep ? _y.lo : lo;
        y.hi = keep ? _y.hi : hi;
        _yFromFit = true;
    }
    _y = saneAxis(y);

    // Columns to spans: each column covers the rows from its maximum to its minimum,
    // stretched to meet the previous column so that the trace stays connected.
    for (int ch = 0; ch < 4; ++ch) {
        if (!traceShown(ch))
            continue;
        const auto c = static_cast<std::size_t>(ch);
        const ChannelTrace& t = f->channels[c];
        if (usableRange(t.rangeVolts)) {
            const auto limitRow = [&](double v) {
                const double r = (1 - _y.fraction(v)) * area.height();
                return r >= 0 && r < area.height() ? area.top() + clampedFloor(r, 0, area.height() - 1) : -1;
            };
            _limitTop[c] = limitRow(t.rangeVolts);
            _limitBottom[c] = limitRow(-t.rangeVolts);
        }
        const std::vector<float>& colMin = _columnMin[c];
        const std::vector<float>& colMax = _columnMax[c];
        std::vector<QLine>& spans = _spans[c];
        spans.reserve(w);
        bool previous = false;
        int prevTop = 0, prevBottom = 0;
        for (unsigned col = 0; col < w; ++col) {
            if (!(colMin[col] <= colMax[col])) {
                previous = false;
                continue;
            }
            const int top = rowOf(colMax[col], area);
            const int bottom = rowOf(colMin[col], area);
            int from = top, to = bottom;
            if (previous) {
                if (to < prevTop)
                    to = prevTop;
                else if (from > prevBottom)
                    from = prevBottom;
            }
            const int px = area.left() + static_cast<int>(col);
            spans.emplace_back(px, from, px, to);
            prevTop = top;
            prevBottom = bottom;
            previous = true;
        }
    }
}

void SignalWaveformPlot::drawTraces(QImage& canvas) const
{
    const QRect a = plotRect();
    PixelWriter out(canvas, a);
    for (std::size_t c = 0; c < 4; ++c) {
        // dashes of the channels take turns, so limits of equal ranges all stay visible
        out.setColor(signalChannelColor(static_cast<int>(c)));
        for (int row : {_limitTop[c], _limitBottom[c]})
            if (row >= 0)
                out.dashedRow(row, a.left(), a.right(), 6, 24, 24 - 6 * static_cast<int>(c));
    }
    for (std::size_t c = 0; c < 4; ++c) {
        out.setColor(signalChannelColor(static_cast<int>(c)));
        for (const QLine& span : _spans[c])
            out.column(span.x1(), span.y1(), span.y2());
    }
}

QString SignalWaveformPlot::cursorReading(QPointF value, QPointF perPixel) const
{
    const QString volts = fixedText(value.y(), decimalsFor(perPixel.y()));
    if (_samples)
        return QString("n = %1, U = %2 В").arg(fixedText(value.x(), decimalsFor(perPixel.x())), volts);
    const double scale = _x.labelScale;
    return QString("t = %1 %2, U = %3 В")
        .arg(fixedText(value.x() * scale, decimalsFor(perPixel.x() * scale)), scale == 1 ? "с" : "мс", volts);
}

// ---------------------------------------------------------------------------------------------
// SignalSpectrumPlot

SignalSpectrumPlot::SignalSpectrumPlot(QWidget* parent) : SignalPlot(parent)
{
    setObjectName("SignalSpectrumPlot");
}

void SignalSpectrumPlot::setLogFrequency(bool log)
{
    if (log == _log)
        return;
    _log = log;
    invalidate();
}

QString SignalSpectrumPlot::xTickText(double scaled, int decimals) const
{
    if (!_x.log)
        return SignalPlot::xTickText(scaled, decimals);
    // decades read best short: 100, 1к, 10к
    if (scaled >= 1e6)
        return QString::number(scaled / 1e6, 'g', 4) + "М";
    if (scaled >= 1e3)
        return QString::number(scaled / 1e3, 'g', 4) + "к";
    return QString::number(scaled, 'g', 4);
}

void SignalSpectrumPlot::rebuild(const QRect& area)
{
    for (auto& line : _polylines)
        line.clear();
    for (Peak& peak : _peaks)
        peak = Peak();

    SignalAxis x, y;
    x.title = "f, Гц";
    x.log = _log;
    y.title = "L, дБВ";
    y.lo = -140;
    y.hi = 0;
    const SignalFrame* f = frame();
    if (!f) {
        _message = "Нет данных";
        _yFromData = false;
        x.lo = _log ? 1 : 0;
        x.hi = _log ? 10 : 1;
        _x = x;
        _y = y;
        return;
    }

    // Extents of what is shown.
    double maxHz = -kInf, minPositiveHz = kInf, maxDb = -kInf;
    bool anyShown = false, anyPoint = false;
    for (int ch = 0; ch < 4; ++ch) {
        if (!traceShown(ch))
            continue;
        anyShown = true;
        const ChannelTrace& t = f->channels[static_cast<std::size_t>(ch)];
        const std::size_t n = std::min(t.spectrumHz.size(), t.spectrumDbV.size());
        for (std::size_t i = 0; i < n; ++i) {
            const double hz = t.spectrumHz[i];
            const double db = t.spectrumDbV[i];
            if (!std::isfinite(hz) || !std::isfinite(db))
                continue;
            anyPoint = true;
            maxHz = std::max(maxHz, hz);
            if (hz > 0)
                minPositiveHz = std::min(minPositiveHz, hz);
            maxDb = std::max(maxDb, db);
        }
        if (t.hasPeak && std::isfinite(t.peakHz) && std::isfinite(t.peakDbV))
            maxDb = std::max(maxDb, t.peakDbV);
    }
    _message = anyShown && !anyPoint ? "Нет спектра" : QString();

    // Frequency axis: up to Fs/2 (or the highest point without a sample rate).
    const double fs = f->sampleRate;
    double hi = std::isfinite(fs) && fs > 0 ? fs / 2 : (maxHz > 0 ? maxHz : 1);
    if (!(hi > 0) || !std::isfinite(hi))
        hi = 1;
    x.hi = hi;
    if (_log) {
        x.lo = minPositiveHz < hi ? std::max(minPositiveHz, hi * 1e-12) : hi / 1000;
    } else {
        x.lo = 0;
        x.labelScale = hi >= 10000 ? 1e-3 : 1;
        x.title = hi >= 10000 ? "f, кГц" : "f, Гц";
    }
    _x = saneAxis(x);

    // Level axis: 140 dB from a little above the highest level, rounded to 10 dB and kept
    // while the highest level stays a little below it; never below the floor.
    if (maxDb > -kInf) {
        const double top = std::clamp(maxDb, kDbvFloor, 400.0);
        const bool keep = _yFromData && _y.hi >= top + 2 && _y.hi <= top + 25;
        y.hi = keep ? _y.hi : std::ceil((top + 5) / 10) * 10;
        y.lo = y.hi - 140;
        if (y.lo < kDbvFloor) {
            y.lo = kDbvFloor;
            y.hi = kDbvFloor + 140;
        }
        _yFromData = true;
    } else {
        _yFromData = false;
    }
    _y = saneAxis(y);

    // Points to pixel columns: each column keeps its highest level, drawn as one polyline.
    const int w = area.width();
    if (_log && (_edges.size() != static_cast<std::size_t>(w) + 1 || _edges.front() != _x.lo || _edges.back() != _x.hi)) {
        // the column edges stay while the axis does (from frame to frame, as a rule)
        _edges.resize(static_cast<std::size_t>(w) + 1);
        const double lgLo = std::log10(_x.lo), lgSpan = std::log10(_x.hi) - lgLo;
        for (int c = 0; c <= w; ++c)
            _edges[static_cast<std::size_t>(c)] = std::pow(10.0, lgLo + lgSpan * c / w);
        _edges.front() = _x.lo;
        _edges.back() = _x.hi;
    }
    for (int ch = 0; ch < 4; ++ch) {
        if (!traceShown(ch))
            continue;
        const auto chIndex = static_cast<std::size_t>(ch);
        const ChannelTrace& t = f->channels[chIndex];
        _columnTop.assign(static_cast<std::size_t>(w), -kInfF);
        const std::size_t n = std::min(t.spectrumHz.size(), t.spectrumDbV.size());
        std::size_t hint = 0;  // the column of the previous point: points come in ascending order
        for (std::size_t i = 0; i < n; ++i) {
            const double hz = t.spectrumHz[i];
            const float db = t.spectrumDbV[i];
            if (!std::isfinite(hz) || !std::isfinite(db))
                continue;
            std::size_t col;
            if (_log) {
                if (!(hz >= _edges.front() && hz <= _edges.back()))
                    continue;
                if (hint < static_cast<std::size_t>(w) && _edges[hint] <= hz && hz < _edges[hint + 1]) {
                    col = hint;
                } else {
                    const auto it = std::upper_bound(_edges.begin(), _edges.end(), hz);
                    col = static_cast<std::size_t>(it - _edges.begin()) - 1;
                }
                col = std::min(col, static_cast<std::size_t>(w) - 1);
                hint = col;
            } else {
                const double px = _x.fraction(hz) * w;
                if (!(px >= 0 && px <= w))
                    continue;
                col = static_cast<std::size_t>(clampedFloor(px, 0, w - 1));
            }
            _columnTop[col] = std::max(_columnTop[col], db);
        }
        QVector<QPoint>& line = _polylines[chIndex];
        for (int col = 0; col < w; ++col) {
            const float level = _columnTop[static_cast<std::size_t>(col)];
            if (level > -kInfF)
                line.append(QPoint(area.left() + col, rowOf(level, area)));
        }

        if (t.hasPeak && std::isfinite(t.peakHz) && std::isfinite(t.peakDbV)) {
            const double fr = _x.fraction(t.peakHz);
            if (fr >= 0 && fr <= 1) {
                Peak& peak = _peaks[chIndex];
                peak.shown = true;
                peak.at = QPoint(area.left() + clampedFloor(fr * w, 0, w - 1), rowOf(t.peakDbV, area));
                peak.text = QString("Пик %1: %2, %3 дБВ")
                                .arg(ch + 1)
                                .arg(peakFrequencyText(t.peakHz), QString::number(t.peakDbV, 'f', 2));
            }
        }
    }
}

void SignalSpectrumPlot::drawTraces(QImage& canvas) const
{
    const QRect a = plotRect();
    {
        PixelWriter out(canvas, a);
        for (std::size_t c = 0; c < 4; ++c) {
            const QVector<QPoint>& line = _polylines[c];
            if (line.isEmpty())
                continue;
            out.setColor(signalChannelColor(static_cast<int>(c)));
            if (line.size() == 1)
                out.line(line[0] - QPoint(1, 0), line[0] + QPoint(1, 0));  // a lone point: a short dash
            for (qsizetype i = 1; i < line.size(); ++i)
                out.line(line[i - 1], line[i]);
        }
    }
    // Peaks: a triangle pointing at the point, and a line of text each in the top right corner.
    bool any = false;
    for (const Peak& peak : _peaks)
        any = any || peak.shown;
    if (!any)
        return;
    QPainter p(&canvas);
    const QFontMetrics fm(font());
    int row = 0;
    for (std::size_t c = 0; c < 4; ++c) {
        const Peak& peak = _peaks[c];
        if (!peak.shown)
            continue;
        const QColor color = signalChannelColor(static_cast<int>(c));
        p.setPen(color);
        p.setBrush(color);
        const QPoint at = peak.at;
        const QPoint triangle[3] = {at, at + QPoint(-4, -8), at + QPoint(4, -8)};
        p.drawPolygon(triangle, 3);
        p.drawText(QRect(a.left() + 4, a.top() + 2 + row * fm.height(), a.width() - 8, fm.height()),
                   Qt::AlignRight | Qt::AlignVCenter, peak.text);
        ++row;
    }
}

QString SignalSpectrumPlot::cursorReading(QPointF value, QPointF perPixel) const
{
    return QString("f = %1 Гц, L = %2 дБВ")
        .arg(fixedText(value.x(), decimalsFor(perPixel.x())), fixedText(value.y(), decimalsFor(perPixel.y())));
}

}  // namespace qmx
