// The spectrum plot: each shown channel's spectrum in dBV or RMS volts against a linear or
// logarithmic frequency axis, the measured peaks marked, and the cursors' readings.
#include "SignalPlot.h"

#include "SignalFrame.h"
#include "SignalPixels.h"

#include <QFontMetrics>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace qmx {

using namespace signalplot;

namespace {

// A frequency as the peak legend shows it: kHz with the panel's five decimals.
QString peakFrequencyText(double hz) { return QString::number(hz / 1000, 'f', 5) + " кГц"; }

// The spectrum a channel can be drawn from: bins, a spacing and a pyramid that agree.
bool hasSpectrum(const ChannelTrace& t)
{
    return t.spectrum.size() >= 2 && std::isfinite(t.spectrumBinHz) && t.spectrumBinHz > 0 &&
           pyramidMatches(t.spectrumPyramid, static_cast<std::int64_t>(t.spectrum.size()), false);
}

constexpr double kMarkerPixels = 6;

}  // namespace

SignalSpectrumPlot::SignalSpectrumPlot(QWidget* parent) : SignalPlot(parent)
{
    setObjectName("SignalSpectrumPlot");
    setAccessibleName("Спектр");
}

void SignalSpectrumPlot::setLogFrequency(bool log)
{
    if (log == _log)
        return;
    _log = log;
    resetZoom();
    invalidate();
}

void SignalSpectrumPlot::setDecibels(bool db)
{
    if (db == _db)
        return;
    _db = db;
    _yFromData = false;
    // a zoomed level range was in the other unit
    resetZoom();
    invalidate();
}

double SignalSpectrumPlot::levelOf(double voltsRms) const
{
    if (_db)
        return dbvOf(voltsRms);
    return std::isfinite(voltsRms) ? voltsRms : 0;
}

double SignalSpectrumPlot::minimumXSpan() const
{
    double bin = 0;
    if (const SignalFrame* f = frame())
        for (const ChannelTrace& t : f->channels)
            if (t.present && hasSpectrum(t))
                bin = bin > 0 ? std::min(bin, t.spectrumBinHz) : t.spectrumBinHz;
    return bin > 0 ? 4 * bin : 1e-9;
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
    _markers.fill(false);

    SignalAxis x, y;
    x.title = "f, Гц";
    x.log = _log;
    y.title = _db ? "L, дБВ" : "U, В (СКЗ)";
    y.lo = _db ? -140 : 0;
    y.hi = _db ? 0 : 1;
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

    // Extents of what is shown: the highest level from the pyramids' tops.
    double maxHz = 0, minBinHz = kInf, maxV = -kInf;
    bool anyShown = false, anySpectrum = false;
    for (int ch = 0; ch < 4; ++ch) {
        if (!traceShown(ch))
            continue;
        anyShown = true;
        const ChannelTrace& t = f->channels[static_cast<std::size_t>(ch)];
        if (t.overloaded)
            _notes.emplace_back(QString("Канал %1: перегрузка — спектр искажён").arg(ch + 1), signalChannelColor(ch));
        if (t.averaging == SpectrumAveraging::Rms && t.averagedFrames > 1)
            _notes.emplace_back(QString("Канал %1: усреднение СКЗ, %2 кадр.").arg(ch + 1).arg(t.averagedFrames), signalChannelColor(ch));
        else if (t.averaging == SpectrumAveraging::PeakHold)
            _notes.emplace_back(QString("Канал %1: пиковое удержание, %2 кадр.").arg(ch + 1).arg(t.averagedFrames), signalChannelColor(ch));
        if (!hasSpectrum(t))
            continue;
        anySpectrum = true;
        const auto n = static_cast<std::int64_t>(t.spectrum.size());
        maxHz = std::max(maxHz, static_cast<double>(n - 1) * t.spectrumBinHz);
        minBinHz = std::min(minBinHz, t.spectrumBinHz);
        const float top = rangeMax(t.spectrum.data(), n, t.spectrumPyramid, 1, n);
        if (std::isfinite(top))
            maxV = std::max<double>(maxV, top);
        if (t.hasPeak && std::isfinite(t.peakHz) && std::isfinite(t.peakDbV))
            maxV = std::max(maxV, std::pow(10.0, t.peakDbV / 20));
    }
    _message = anyShown && !anySpectrum ? "Нет спектра" : QString();

    // Frequency axis: up to Fs/2 (or the highest bin without a sample rate).
    const double fs = f->sampleRate;
    double hi = std::isfinite(fs) && fs > 0 ? fs / 2 : (maxHz > 0 ? maxHz : 1);
    if (!(hi > 0) || !std::isfinite(hi))
        hi = 1;
    SignalAxis full = x;
    full.hi = hi;
    full.lo = _log ? (minBinHz < hi ? std::max(minBinHz, hi * 1e-12) : hi / 1000) : 0;
    full = saneAxis(full);
    x = full;
    applyZoomX(x, full);
    if (!_log) {
        x.labelScale = x.hi >= 10000 ? 1e-3 : 1;
        x.title = x.hi >= 10000 ? "f, кГц" : "f, Гц";
    }
    _x = saneAxis(x);

    // Level axis, dBV: 140 dB from a little above the highest level, rounded to 10 dB and kept
    // while the highest level stays a little below it. Volts: from 0 to a little above it.
    if (maxV > -kInf) {
        if (_db) {
            const double top = std::clamp(dbvOf(maxV), kDbvFloor, 400.0);
            const bool keep = _yFromData && _y.hi >= top + 2 && _y.hi <= top + 25;
            y.hi = keep ? _y.hi : std::ceil((top + 5) / 10) * 10;
            y.lo = y.hi - 140;
            if (y.lo < kDbvFloor) {
                y.lo = kDbvFloor;
                y.hi = kDbvFloor + 140;
            }
        } else {
            const double top = std::max(maxV, 1e-9);
            const bool keep = _yFromData && _y.hi >= top * 1.02 && _y.hi <= top * 1.5;
            y.lo = 0;
            y.hi = keep ? _y.hi : niceStep(top * 1.1, 1) * std::ceil(top * 1.1 / niceStep(top * 1.1, 1));
        }
        _yFromData = true;
    } else {
        _yFromData = false;
    }
    applyZoomY(y);
    _y = saneAxis(y);

    // Column edges (frequency at each column's left edge), kept while the axis stays.
    const int w = area.width();
    if (_edges.size() != static_cast<std::size_t>(w) + 1 || _edges.front() != _x.lo || _edges.back() != _x.hi) {
        _edges.resize(static_cast<std::size_t>(w) + 1);
        for (int c = 0; c <= w; ++c)
            _edges[static_cast<std::size_t>(c)] = _x.valueAtFraction(static_cast<double>(c) / w);
        _edges.front() = _x.lo;
        _edges.back() = _x.hi;
    }
    _bpc = 1;
    for (int ch = 0; ch < 4; ++ch) {
        if (!traceShown(ch))
            continue;
        const ChannelTrace& t = f->channels[static_cast<std::size_t>(ch)];
        if (hasSpectrum(t))
            reduceChannel(ch, area);
        if (t.hasPeak && std::isfinite(t.peakHz) && std::isfinite(t.peakDbV)) {
            const double fr = _x.fraction(t.peakHz);
            if (fr >= 0 && fr <= 1) {
                Peak& peak = _peaks[static_cast<std::size_t>(ch)];
                peak.shown = true;
                peak.at = QPoint(area.left() + clampedFloor(fr * w, 0, w - 1), rowOf(levelOf(std::pow(10.0, t.peakDbV / 20)), area));
                peak.text = QString("Пик %1: %2, %3 дБВ")
                                .arg(ch + 1)
                                .arg(peakFrequencyText(t.peakHz), QString::number(t.peakDbV, 'f', 2));
            }
        }
    }
}

void SignalSpectrumPlot::reduceChannel(int ch, const QRect& area)
{
    const auto c = static_cast<std::size_t>(ch);
    const ChannelTrace& t = frame()->channels[c];
    const auto n = static_cast<std::int64_t>(t.spectrum.size());
    const int w = area.width();
    const double bin = t.spectrumBinHz;
    QVector<QPoint>& line = _polylines[c];
    // bins per column where the columns are widest apart in bins (the right end of a log axis)
    const double bpc = (_edges[static_cast<std::size_t>(w)] - _edges[static_cast<std::size_t>(w - 1)]) / bin;
    _bpc = bpc;
    if (bpc < 1) {
        // zoomed in: every bin in view and one either side, joined by lines
        const auto k0 = static_cast<std::int64_t>(std::max(1.0, std::floor(_x.lo / bin) - 1));
        const auto k1 = static_cast<std::int64_t>(std::min(static_cast<double>(n - 1), std::ceil(_x.hi / bin) + 1));
        double closest = kInf;
        double prevPx = -kInf;
        for (std::int64_t k = k0; k <= k1; ++k) {
            const float v = t.spectrum[static_cast<std::size_t>(k)];
            const double fr = _x.fraction(static_cast<double>(k) * bin);
            if (!std::isfinite(v) || !std::isfinite(fr))
                continue;
            const double px = fr * w;
            closest = std::min(closest, px - prevPx);
            prevPx = px;
            const double py = (1 - _y.fraction(levelOf(v))) * area.height();
            line.append(QPoint(area.left() + clampedFloor(px, -4 * w, 5 * w), area.top() + clampedFloor(py, -1, area.height())));
        }
        _markers[c] = closest >= kMarkerPixels;
        return;
    }
    // zoomed out: each column its highest bin, [ceil(f_c / bin), ceil(f_c+1 / bin)), bin 0 left out
    const auto edge = [&](int col) {
        const double k = std::ceil(_edges[static_cast<std::size_t>(col)] / bin);
        return static_cast<std::int64_t>(std::clamp(k, 1.0, static_cast<double>(n)));
    };
    std::int64_t a = edge(0);
    for (int col = 0; col < w; ++col) {
        const std::int64_t b = edge(col + 1);
        if (b > a) {
            const float v = rangeMax(t.spectrum.data(), n, t.spectrumPyramid, a, b);
            if (std::isfinite(v))
                line.append(QPoint(area.left() + col, rowOf(levelOf(v), area)));
        }
        a = std::max(a, b);
    }
}

void SignalSpectrumPlot::drawTraces(QImage& canvas) const
{
    const QRect a = plotRect();
    {
        PixelWriter out(canvas, a);
        // channel 1 last: on top
        for (int ch = 3; ch >= 0; --ch) {
            const QVector<QPoint>& line = _polylines[static_cast<std::size_t>(ch)];
            if (line.isEmpty())
                continue;
            out.setColor(signalChannelColor(ch));
            const auto [on, period] = channelDash(ch);
            out.setDash(on, period);
            if (line.size() == 1)
                out.line(line[0] - QPoint(1, 0), line[0] + QPoint(1, 0));  // a lone point: a short dash
            for (qsizetype i = 1; i < line.size(); ++i)
                out.line(line[i - 1], line[i]);
            out.setDash(1, 0);
            if (_markers[static_cast<std::size_t>(ch)])
                for (const QPoint& p : line)
                    out.marker(ch, p);
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
    return QString(_db ? "f = %1 Гц, L = %2 дБВ" : "f = %1 Гц, U = %2 В")
        .arg(fixedText(value.x(), decimalsFor(perPixel.x())), fixedText(value.y(), decimalsFor(perPixel.y())));
}

SignalCursorPoint SignalSpectrumPlot::snap(int channel, double x) const
{
    SignalCursorPoint p;
    const SignalFrame* f = frame();
    if (!f || channel < 0 || channel > 3)
        return p;
    const ChannelTrace& t = f->channels[static_cast<std::size_t>(channel)];
    if (!hasSpectrum(t) || !std::isfinite(x))
        return p;
    const double k = std::clamp(std::round(x / t.spectrumBinHz), 1.0, static_cast<double>(t.spectrum.size() - 1));
    p.index = static_cast<long long>(k);
    p.x = k * t.spectrumBinHz;
    p.volts = t.spectrum[static_cast<std::size_t>(p.index)];
    p.y = levelOf(p.volts);
    p.valid = std::isfinite(p.volts);
    return p;
}

QStringList SignalSpectrumPlot::cursorTexts(const SignalCursorPoint& a, const SignalCursorPoint& b) const
{
    const auto point = [&](const char* name, const SignalCursorPoint& c) {
        return QString("%1: f = %2 Гц, L = %3 дБВ, U = %4 В")
            .arg(name, significantText(c.x, 8), fixedText(dbvOf(c.volts), 2), significantText(c.volts, 5));
    };
    const double ddb = dbvOf(b.volts) - dbvOf(a.volts);
    return {point("A", a), point("B", b),
            QString("Δf = %1 Гц, ΔL = %2 дБ").arg(significantText(b.x - a.x, 8), fixedText(ddb, 2))};
}

}  // namespace qmx
