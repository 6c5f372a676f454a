#pragma once
// Helpers the signal view's plots share: pixel arithmetic, tick steps and number texts, and
// the writer that puts trace pixels straight into the plots' picture.

#include <QColor>
#include <QImage>
#include <QPoint>
#include <QRect>
#include <QString>

#include <algorithm>
#include <cmath>
#include <limits>

namespace qmx::signalplot {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr float kInfF = std::numeric_limits<float>::infinity();

// floor(v) as an int limited to [lo, hi]; lo for a value that is not a number. Every
// conversion of a computed coordinate to a pixel goes through here: a double beyond the range
// of int must never be converted.
inline int clampedFloor(double v, int lo, int hi)
{
    if (!(v >= lo))
        return lo;
    if (v >= hi)
        return hi;
    return static_cast<int>(std::floor(v));
}

// A tick step of 1, 2 or 5 times a power of ten giving about `count` ticks over `span`.
inline double niceStep(double span, double count)
{
    if (!(span > 0) || !std::isfinite(span))
        return 1;
    const double raw = span / std::max(1.0, count);
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    const double n = raw / magnitude;
    return (n <= 1 ? 1 : n <= 2 ? 2 : n <= 5 ? 5 : 10) * magnitude;
}

// Digits after the point that tell values `resolution` apart.
inline int decimalsFor(double resolution)
{
    if (!(resolution > 0) || !std::isfinite(resolution))
        return 0;
    return static_cast<int>(std::clamp(std::ceil(-std::log10(resolution) - 1e-9), 0.0, 12.0));
}

inline QString fixedText(double v, int decimals)
{
    QString t = QString::number(v, 'f', decimals);
    // "-0.00" for a value that rounds to zero reads as a fault
    if (t.startsWith('-') && t.count(QLatin1Char('0')) + t.count(QLatin1Char('.')) == t.size() - 1)
        t.remove(0, 1);
    return t;
}

// A value with about `digits` significant digits: fixed notation, or with an exponent below
// 1e-4 and from 1e9 on.
inline QString significantText(double v, int digits)
{
    if (!std::isfinite(v))
        return QStringLiteral("—");
    if (v == 0)
        return QStringLiteral("0");
    const int magnitude = static_cast<int>(std::floor(std::log10(std::fabs(v))));
    if (magnitude < -4 || magnitude >= 9)
        return QString::number(v, 'e', std::max(0, digits - 1));
    return fixedText(v, std::clamp(digits - 1 - magnitude, 0, 12));
}

// The colour between a and b at t (0: a, 1: b).
inline QColor mixColor(const QColor& a, const QColor& b, double t)
{
    return QColor::fromRgbF(static_cast<float>(a.redF() + (b.redF() - a.redF()) * t),
                            static_cast<float>(a.greenF() + (b.greenF() - a.greenF()) * t),
                            static_cast<float>(a.blueF() + (b.blueF() - a.blueF()) * t));
}

// Writes trace pixels straight into an RGB32 image. QPainter strokes every pixel of a line
// through its general machinery; for the bands a dense signal makes (hundreds of pixels high
// in every column, four channels) that is about ten times slower than these loops. Works in
// logical pixels, each a block of device pixels on a high-density screen, clipped to `clip`.
// Colours are opaque, or blended over what is there (setBlend) for the inside of bands.
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

    void setColor(const QColor& color)
    {
        _rgb = color.rgb();
        _alpha = 256;
    }
    // Blends `color` with weight alpha/256 (0 .. 256) over the picture.
    void setBlend(const QColor& color, int alpha)
    {
        _rgb = color.rgb();
        _alpha = std::clamp(alpha, 0, 256);
        _srcRb = (_rgb & 0xFF00FFu) * static_cast<unsigned>(_alpha);
        _srcG = (_rgb & 0x00FF00u) * static_cast<unsigned>(_alpha);
    }
    // Dashes for line(): `on` pixels drawn of every `period` (period 0: solid).
    void setDash(int on, int period)
    {
        _dashOn = on;
        _dashPeriod = period;
        _dashStep = 0;
    }

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
                put(*reinterpret_cast<QRgb*>(p));
            return;
        }
        const auto device = [this](int v, int limit) { return std::clamp(static_cast<int>(std::floor(v * _dpr)), 0, limit); };
        const int dx0 = device(x, _width), dx1 = device(x + 1, _width);
        const int dy0 = device(y0, _height), dy1 = device(y1 + 1, _height);
        for (int y = dy0; y < dy1; ++y) {
            auto* row = reinterpret_cast<QRgb*>(_bits + static_cast<qsizetype>(y) * _stride);
            for (int xx = dx0; xx < dx1; ++xx)
                put(row[xx]);
        }
    }

    // A straight line from a to b, both ends included, dashed as set.
    void line(QPoint a, QPoint b)
    {
        // the part outside the picture is not walked pixel by pixel
        if (std::max(a.x(), b.x()) < _clip.left() || std::min(a.x(), b.x()) > _clip.right() ||
            std::max(a.y(), b.y()) < _clip.top() || std::min(a.y(), b.y()) > _clip.bottom())
            return;
        int x = a.x(), y = a.y();
        const int dx = std::abs(b.x() - x), dy = -std::abs(b.y() - y);
        const int sx = x < b.x() ? 1 : -1, sy = y < b.y() ? 1 : -1;
        int err = dx + dy;
        for (int guard = 0; guard < (1 << 22); ++guard) {
            if (_dashPeriod <= 0 || (_dashStep++ % _dashPeriod) < _dashOn)
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

    // The channel's marker (0: filled square, 1: plus, 2: cross, 3: hollow square) at p.
    void marker(int kind, QPoint p)
    {
        const int x = p.x(), y = p.y();
        switch (kind) {
        case 0:
            for (int d = -2; d <= 2; ++d)
                column(x + d, y - 2, y + 2);
            break;
        case 1:
            column(x, y - 3, y + 3);
            for (int d = -3; d <= 3; ++d)
                column(x + d, y, y);
            break;
        case 2:
            for (int d = -3; d <= 3; ++d) {
                column(x + d, y + d, y + d);
                column(x + d, y - d, y - d);
            }
            break;
        default:
            column(x - 3, y - 3, y + 3);
            column(x + 3, y - 3, y + 3);
            for (int d = -2; d <= 2; ++d) {
                column(x + d, y - 3, y - 3);
                column(x + d, y + 3, y + 3);
            }
            break;
        }
    }

private:
    void put(QRgb& d) const
    {
        if (_alpha >= 256) {
            d = _rgb;
            return;
        }
        const unsigned inv = 256u - static_cast<unsigned>(_alpha);
        const unsigned rb = (((d & 0xFF00FFu) * inv + _srcRb) >> 8) & 0xFF00FFu;
        const unsigned g = (((d & 0x00FF00u) * inv + _srcG) >> 8) & 0x00FF00u;
        d = 0xFF000000u | rb | g;
    }

    uchar* _bits;
    qsizetype _stride;
    int _width, _height;
    qreal _dpr;
    bool _unit;
    QRect _clip;
    QRgb _rgb = 0xFF000000u;
    int _alpha = 256;
    unsigned _srcRb = 0, _srcG = 0;
    int _dashOn = 1, _dashPeriod = 0, _dashStep = 0;
};

// The dash pattern of a channel's lines: {on, period}; period 0 for solid.
inline std::pair<int, int> channelDash(int channel)
{
    switch (channel) {
    case 1: return {7, 10};
    case 2: return {2, 4};
    case 3: return {8, 14};
    default: return {1, 0};
    }
}

}  // namespace qmx::signalplot
