// The waveform plot: each shown channel's samples against time (from the trigger's crossing
// when the trigger is on), its range limits, and the cursors' readings in time and volts.
#include "SignalPlot.h"

#include "SignalFrame.h"
#include "SignalPixels.h"

#include <algorithm>
#include <cmath>

namespace qmx {

using namespace signalplot;

namespace {

bool usableRange(double volts) { return std::isfinite(volts) && volts > 0 && volts < 1e9; }

// The samples a channel can be drawn from: the arrays agree with the frame's length.
bool hasSamples(const SignalFrame& f, const ChannelTrace& t)
{
    return f.samplesPerChannel > 0 && t.samples.size() == static_cast<std::size_t>(f.samplesPerChannel) &&
           pyramidMatches(t.pyramid, f.samplesPerChannel);
}

// Below this many pixels between samples they are joined by lines without markers.
constexpr double kMarkerPixels = 6;

}  // namespace

SignalWaveformPlot::SignalWaveformPlot(QWidget* parent) : SignalPlot(parent)
{
    setObjectName("SignalWaveformPlot");
    setAccessibleName("Осциллограмма");
}

void SignalWaveformPlot::setFitToData(bool fit)
{
    if (fit == _fit)
        return;
    _fit = fit;
    invalidate();
}

void SignalWaveformPlot::setTrigger(bool on, int channel, double level, bool rising)
{
    channel = std::clamp(channel, 0, 3);
    if (!std::isfinite(level))
        level = 0;
    if (on == _triggerOn && channel == _triggerChannel && level == _triggerLevel && rising == _triggerRising)
        return;
    _triggerOn = on;
    _triggerChannel = channel;
    _triggerLevel = level;
    _triggerRising = rising;
    invalidate();
}

double SignalWaveformPlot::origin() const
{
    xAxis();
    return _origin;
}

bool SignalWaveformPlot::triggerFound() const
{
    xAxis();
    return _found;
}

double SignalWaveformPlot::samplesPerColumn() const
{
    xAxis();
    return _spp;
}

double SignalWaveformPlot::timeOf(double i) const { return (i - _origin) / _rate; }

double SignalWaveformPlot::minimumXSpan() const { return 4 / _rate; }

void SignalWaveformPlot::findOrigin()
{
    _origin = 0;
    _found = false;
    const SignalFrame* f = frame();
    if (!_triggerOn || !f)
        return;
    const ChannelTrace& t = f->channels[static_cast<std::size_t>(_triggerChannel)];
    if (!t.present || !hasSamples(*f, t)) {
        _notes.emplace_back(QString("Запуск: нет данных канала %1 — кадр от начала").arg(_triggerChannel + 1), textColor());
        return;
    }
    const float* x = t.samples.data();
    const std::size_t n = t.samples.size();
    const double level = _triggerLevel;
    for (std::size_t i = 1; i < n; ++i) {
        const double a = x[i - 1], b = x[i];
        const bool crossed = _triggerRising ? (a < level && b >= level) : (a > level && b <= level);
        if (crossed) {
            // between the two samples, where the straight line through them meets the level
            const double frac = b != a ? (level - a) / (b - a) : 1.0;
            _origin = static_cast<double>(i - 1) + std::clamp(frac, 0.0, 1.0);
            _found = true;
            return;
        }
    }
    _notes.emplace_back(QString("Запуск: уровень %1 В не пересечён — кадр от начала").arg(significantText(level, 4)),
                        textColor());
}

void SignalWaveformPlot::rebuild(const QRect& area)
{
    for (std::size_t c = 0; c < 4; ++c) {
        _spans[c].clear();
        _points[c].clear();
    }
    _limitTop.fill(-1);
    _limitBottom.fill(-1);
    _markers = false;

    SignalAxis x, y;
    y.title = "U, В";
    const SignalFrame* f = frame();
    if (!f) {
        _message = "Нет данных";
        _samples = false;
        _yFromFit = false;
        _origin = 0;
        _found = false;
        _rate = 1;
        x.labelScale = 1e3;
        x.title = "t, мс";
        y.lo = -1;
        _x = x;
        _y = y;
        return;
    }
    _message.clear();

    // Time axis: sample i at (i - origin) / Fs, from the origin to the frame's end; counted in
    // samples when the frame has no usable rate.
    const long long m = f->samplesPerChannel;
    const double fs = f->sampleRate;
    _samples = !(std::isfinite(fs) && fs > 0 && std::isfinite(static_cast<double>(m) / fs));
    _rate = _samples ? 1.0 : fs;
    findOrigin();
    SignalAxis full;
    full.lo = 0;
    full.hi = std::max(1.0, static_cast<double>(m) - _origin) / _rate;
    full = saneAxis(full);
    x = full;
    applyZoomX(x, full);
    const double span = x.hi - x.lo;
    if (_samples) {
        x.title = "n, отсчёт";
    } else {
        x.labelScale = span <= 2 ? 1e3 : 1;
        x.title = span <= 2 ? "t, мс" : "t, с";
    }
    _x = saneAxis(x);
    _spp = (_x.hi - _x.lo) * _rate / area.width();

    // Columns of the channels, and the extremes of what is in view.
    double dataLo = kInf, dataHi = -kInf, widest = 0;
    for (int ch = 0; ch < 4; ++ch) {
        if (!traceShown(ch))
            continue;
        const auto c = static_cast<std::size_t>(ch);
        const ChannelTrace& t = f->channels[c];
        if (usableRange(t.rangeVolts))
            widest = std::max(widest, t.rangeVolts);
        if (t.overloaded)
            _notes.emplace_back(QString("Канал %1: перегрузка").arg(ch + 1), signalChannelColor(ch));
        if (!hasSamples(*f, t))
            continue;
        reduceChannel(ch, area);
        for (std::size_t col = 0; col < _columnMin[c].size(); ++col) {
            if (_columnMin[c][col] <= _columnMax[c][col]) {
                dataLo = std::min<double>(dataLo, _columnMin[c][col]);
                dataHi = std::max<double>(dataHi, _columnMax[c][col]);
            }
        }
    }

    // Volts axis: the widest range in view, or fitted to the data (rounded to a tick step and
    // kept while the data still fill most of it, so it does not hop from frame to frame).
    const bool haveData = dataLo <= dataHi && std::isfinite(dataLo) && std::isfinite(dataHi);
    if (!_fit && widest > 0) {
        y.lo = -widest * 1.05;
        y.hi = widest * 1.05;
        _yFromFit = false;
    } else if (!haveData) {
        y.lo = -1;
        y.hi = 1;
        _yFromFit = false;
    } else {
        const double dspan = dataHi - dataLo;
        const double pad = dspan > 0 ? dspan * 0.05 : std::max(std::fabs(dataHi) * 0.1, 1e-6);
        const double step = niceStep(dspan + 2 * pad, 20);
        const double lo = std::floor((dataLo - pad) / step) * step;
        const double hi = std::ceil((dataHi + pad) / step) * step;
        const bool keep = _yFromFit && _y.lo <= dataLo && _y.hi >= dataHi && hi - lo >= 0.6 * (_y.hi - _y.lo);
        y.lo = keep ? _y.lo : lo;
        y.hi = keep ? _y.hi : hi;
        _yFromFit = true;
    }
    applyZoomY(y);
    _y = saneAxis(y);

    // Columns to spans (zoomed out) or samples to points (zoomed in).
    const int w = area.width();
    _markers = _spp > 0 && 1.0 / _spp >= kMarkerPixels;
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
        if (!hasSamples(*f, t))
            continue;
        if (_spp < 1) {
            // every sample in view and one either side, at its own pixel
            const double first = std::floor(_origin + _x.lo * _rate) - 1;
            const double last = std::ceil(_origin + _x.hi * _rate) + 1;
            const auto i0 = static_cast<long long>(std::max(0.0, first));
            const auto i1 = static_cast<long long>(std::min(static_cast<double>(m - 1), last));
            std::vector<QPoint>& pts = _points[c];
            for (long long i = i0; i <= i1; ++i) {
                const float v = t.samples[static_cast<std::size_t>(i)];
                if (!std::isfinite(v))
                    continue;
                const double px = _x.fraction(timeOf(static_cast<double>(i))) * w;
                const double py = (1 - _y.fraction(v)) * area.height();
                pts.emplace_back(area.left() + clampedFloor(px, -4 * w, 5 * w),
                                 area.top() + clampedFloor(py, -1, area.height()));
            }
            continue;
        }
        // each column covers the rows from its maximum to its minimum, stretched to meet the
        // previous column so that the trace stays connected
        const std::vector<float>& colMin = _columnMin[c];
        const std::vector<float>& colMax = _columnMax[c];
        std::vector<QLine>& spans = _spans[c];
        spans.reserve(static_cast<std::size_t>(w));
        bool previous = false;
        int prevTop = 0, prevBottom = 0;
        for (int col = 0; col < w; ++col) {
            const auto k = static_cast<std::size_t>(col);
            if (!(colMin[k] <= colMax[k])) {
                previous = false;
                continue;
            }
            const int top = rowOf(colMax[k], area);
            const int bottom = rowOf(colMin[k], area);
            int from = top, to = bottom;
            if (previous) {
                if (to < prevTop)
                    to = prevTop;
                else if (from > prevBottom)
                    from = prevBottom;
            }
            spans.emplace_back(area.left() + col, from, area.left() + col, to);
            prevTop = top;
            prevBottom = bottom;
            previous = true;
        }
    }
}

void SignalWaveformPlot::reduceChannel(int ch, const QRect& area)
{
    // Column c covers the samples whose times fall in it: [ceil(s_c), ceil(s_c+1)) with
    // s_c = origin + x(c) * rate. Exact extremes from the pyramid.
    const auto c = static_cast<std::size_t>(ch);
    const ChannelTrace& t = frame()->channels[c];
    const auto n = static_cast<std::int64_t>(t.samples.size());
    const int w = area.width();
    std::vector<float>& colMin = _columnMin[c];
    std::vector<float>& colMax = _columnMax[c];
    colMin.assign(static_cast<std::size_t>(w), kInfF);
    colMax.assign(static_cast<std::size_t>(w), -kInfF);
    const double s0 = _origin + _x.lo * _rate;
    const double perColumn = (_x.hi - _x.lo) * _rate / w;
    const auto edge = [&](int col) {
        const double s = std::ceil(s0 + perColumn * col);
        return static_cast<std::int64_t>(std::clamp(s, 0.0, static_cast<double>(n)));
    };
    std::int64_t a = edge(0);
    for (int col = 0; col < w; ++col) {
        std::int64_t b = edge(col + 1);
        if (perColumn >= 1 && b <= a)
            b = std::min(n, a + 1);
        if (b > a)
            rangeMinMax(t.samples.data(), n, t.pyramid, a, b, colMin[static_cast<std::size_t>(col)],
                        colMax[static_cast<std::size_t>(col)]);
        a = std::max(a, b);
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
    // The insides of all bands first, translucent, then every channel's edges and lines
    // opaque over them (channel 1 last, on top): a channel inside another's band still shows.
    for (int ch = 3; ch >= 0; --ch) {
        out.setBlend(signalChannelColor(ch), 110);
        for (const QLine& span : _spans[static_cast<std::size_t>(ch)])
            if (span.y2() - span.y1() >= 2)
                out.column(span.x1(), span.y1() + 1, span.y2() - 1);
    }
    for (int ch = 3; ch >= 0; --ch) {
        const auto c = static_cast<std::size_t>(ch);
        const QColor color = signalChannelColor(ch);
        const std::vector<QLine>& spans = _spans[c];
        if (!spans.empty()) {
            out.setColor(color);
            for (const QLine& span : spans) {
                out.column(span.x1(), span.y1(), span.y1());
                out.column(span.x1(), span.y2(), span.y2());
            }
        }
        const std::vector<QPoint>& pts = _points[c];
        if (!pts.empty()) {
            out.setColor(color);
            const auto [on, period] = channelDash(ch);
            out.setDash(on, period);
            if (pts.size() == 1)
                out.column(pts[0].x(), pts[0].y(), pts[0].y());
            for (std::size_t i = 1; i < pts.size(); ++i)
                out.line(pts[i - 1], pts[i]);
            out.setDash(1, 0);
            if (_markers)
                for (const QPoint& p : pts)
                    out.marker(ch, p);
        }
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

SignalCursorPoint SignalWaveformPlot::snap(int channel, double x) const
{
    SignalCursorPoint p;
    const SignalFrame* f = frame();
    if (!f || channel < 0 || channel > 3)
        return p;
    const ChannelTrace& t = f->channels[static_cast<std::size_t>(channel)];
    if (!hasSamples(*f, t) || !std::isfinite(x))
        return p;
    const double i = std::clamp(std::round(_origin + x * _rate), 0.0, static_cast<double>(t.samples.size() - 1));
    p.index = static_cast<long long>(i);
    p.x = timeOf(i);
    p.y = p.volts = t.samples[static_cast<std::size_t>(p.index)];
    p.valid = std::isfinite(p.y);
    return p;
}

QStringList SignalWaveformPlot::cursorTexts(const SignalCursorPoint& a, const SignalCursorPoint& b) const
{
    const auto point = [&](const char* name, const SignalCursorPoint& c) {
        if (_samples)
            return QString("%1: n = %2, U = %3 В").arg(name).arg(c.index).arg(significantText(c.y, 6));
        return QString("%1: t = %2 мс, U = %3 В").arg(name, significantText(c.x * 1e3, 7), significantText(c.y, 6));
    };
    const double dt = b.x - a.x;
    QString diff;
    if (_samples)
        diff = QString("Δn = %1, ΔU = %2 В").arg(b.index - a.index).arg(significantText(b.y - a.y, 6));
    else
        diff = QString("Δt = %1 мс, 1/Δt = %2 Гц, ΔU = %3 В")
                   .arg(significantText(dt * 1e3, 7), dt != 0 ? significantText(1.0 / dt, 7) : QStringLiteral("—"),
                        significantText(b.y - a.y, 6));
    return {point("A", a), point("B", b), diff};
}

}  // namespace qmx
