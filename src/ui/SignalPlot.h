#pragma once
// The two plots of the signal view: the waveform (each channel's samples against time, with its
// range limits) and the spectrum (levels in dBV or RMS volts against frequency, with the
// measured peaks marked). Both are plain widgets painted with QPainter over a cached picture.
//
// Both zoom and pan: the wheel zooms the x axis about the pointer (with Shift or Ctrl the y
// axis), a left drag pans, a right drag (or a Shift + left drag) zooms to the rectangle drawn,
// a double click or resetZoom() returns to the whole frame. Zoomed out, a plot draws per pixel
// column the extremes of the samples (or the highest bin) the column covers, taken exactly from
// the frame's pyramids in a few dozen reads per column; zoomed in to under one sample (bin) per
// column it draws the points joined by lines, with a marker on each when they are far apart.
//
// Each plot has two cursors (A and B) that snap to the nearest sample or bin of a chosen
// channel; a left click moves the nearer one there. Their values and differences are drawn on
// the plot and given by cursorSummary().
//
// The plot does its work once per frame (or option change, zoom or resize), on the first paint
// after it: it reduces the frame to pixel columns, keeps the axes, grid and tick labels as a
// picture redrawn only when an axis or the size changes, and writes the traces' pixels straight
// into a copy of it (translucent bands with opaque edges, so overlapping channels stay
// visible). A paint event then only copies that picture to the window and adds the hover
// cross-hair, the rubber band and the cursors.
//
// Mapping: column c of the plot area (c = 0 .. W-1) covers the x values from x(c/W) to
// x((c+1)/W), x linear or logarithmic over the axis range; row r (0 .. H-1) likewise covers
// the y values from the top of the axis down. valueAt() gives the value at the centre of a
// pixel and pixelAt() the pixel a value falls in, so pixelAt(valueAt(p)) == p inside the plot
// area. A trace value beyond the axis is drawn at the edge of the plot area.

#include <QImage>
#include <QLine>
#include <QMargins>
#include <QPoint>
#include <QString>
#include <QVector>
#include <QWidget>

#include <array>
#include <memory>
#include <vector>

class QPainter;

namespace qmx {

struct SignalFrame;
struct ChannelTrace;

// The colour a channel (0..3) has wherever the view shows it: traces, limits, markers and its
// check box. Okabe–Ito colours, told apart with the common colour-vision deficiencies and
// readable on a light and on a dark plot area.
QColor signalChannelColor(int channel);
// The second cue of a channel besides its colour: its line's dash pattern and its marker, as
// the legend shows them ("—", "– –", "···", "–·–"; "■", "✚", "✖", "□").
QString signalChannelCue(int channel);

// One axis of a plot. A plot keeps its axes sane: lo < hi, both finite, lo > 0 when log.
struct SignalAxis {
    double lo = 0;
    double hi = 1;
    bool log = false;
    double labelScale = 1;  // tick labels show value * labelScale (ms for s, kHz for Hz)
    QString title;          // e.g. "t, мс"

    // Where v lies along the axis, 0 at lo and 1 at hi (outside 0..1 beyond the range; NaN
    // for v <= 0 on a log axis), and the value at such a fraction.
    double fraction(double v) const;
    double valueAtFraction(double f) const;
    bool operator==(const SignalAxis& o) const
    {
        return lo == o.lo && hi == o.hi && log == o.log && labelScale == o.labelScale && title == o.title;
    }
    bool operator!=(const SignalAxis& o) const { return !(*this == o); }
};

// A cursor snapped to a trace point: its index (sample or bin), x (s from the waveform's
// origin, or Hz) and y (V, or the spectrum's unit); valid false when nothing to snap to.
struct SignalCursorPoint {
    bool valid = false;
    long long index = 0;
    double x = 0, y = 0;
    double volts = 0;  // the point's value in volts (RMS volts for the spectrum)
};

class SignalPlot : public QWidget {
    Q_OBJECT
public:
    explicit SignalPlot(QWidget* parent = nullptr);

    // The frame to show; null shows "Нет данных".
    void setFrame(std::shared_ptr<const SignalFrame> frame);
    const SignalFrame* frame() const { return _frame.get(); }
    // Whether a channel (0..3) is drawn when its frame has it.
    void setChannelShown(int channel, bool shown);
    bool channelShown(int channel) const;

    // The plot area inside the axes, in widget pixels.
    QRect plotRect() const;
    // The axes as the plot draws them now (laid out first if anything changed).
    SignalAxis xAxis() const;
    SignalAxis yAxis() const;
    // The value (x in s or Hz, y in V or dBV; samples on a waveform without a sample rate) at
    // the centre of a pixel, and the pixel a value falls in.
    QPointF valueAt(QPoint pixel) const;
    QPoint pixelAt(QPointF value) const;
    // The reading the cursor shows at a pixel; empty outside the plot area or without a frame.
    QString cursorTextAt(QPoint pixel) const;

    // Zoom: the x (and y) range shown, limited to the frame's extent and to a few trace points
    // across. zoomX() of a plot not zoomed sets it; resetZoom() shows the whole frame again.
    void zoomX(double lo, double hi);
    void zoomY(double lo, double hi);
    // Zooms by `factor` (< 1 in, > 1 out) about the value under a pixel; pans by pixels.
    void zoomAbout(QPoint pixel, double factor, bool yAxis);
    void panByPixels(QPoint delta);
    void resetZoom();
    bool zoomed() const { return _zoomX || _zoomY; }

    // Cursors: shown or not, the channel (0..3) they snap to, and where they are (x values).
    void setCursorsShown(bool shown);
    bool cursorsShown() const { return _cursorsOn; }
    void setCursorChannel(int channel);
    int cursorChannel() const { return _cursorChannel; }
    // Puts cursor 0 (A) or 1 (B) at the trace point nearest to x; returns where it snapped.
    SignalCursorPoint setCursor(int which, double x);
    SignalCursorPoint cursorPoint(int which) const;
    // "A: …  B: …  Δ…" as the plot shows it; empty with the cursors off or nothing to snap to.
    QString cursorSummary() const;

    QSize minimumSizeHint() const override { return {240, 120}; }

    // Draws the plot as it is now (axes, traces, cursors; no hover cross-hair) into `target`.
    void renderPlot(QPainter& p, const QRect& target);

signals:
    // The mouse moved over the plot area (its reading) or left it (an empty text).
    void cursorMoved(const QString& text);
    // The cursors moved or changed their readings.
    void cursorsChanged();

protected:
    // The text the plot area shows instead of a picture (e.g. "Нет данных"); empty for none.
    QString _message;
    // Lines the plot area shows in its top left corner (e.g. an overload), with their colours.
    std::vector<std::pair<QString, QColor>> _notes;
    // The axes, set by rebuild().
    SignalAxis _x, _y;

    // Derived plots reduce the frame to traces for a plot area of `area` (set _x, _y, _message,
    // _notes); they pass their whole-frame axes through applyZoomX() and applyZoomY().
    virtual void rebuild(const QRect& area) = 0;
    // Derived plots draw their prepared traces over the axes into `canvas` (the widget's
    // picture, device pixels, its device pixel ratio set; logical coordinates as plotRect()).
    virtual void drawTraces(QImage& canvas) const = 0;
    // The cursor reading for a value at the given pixel resolution (value change per pixel).
    virtual QString cursorReading(QPointF value, QPointF perPixel) const = 0;
    // Tick label text for a value of an axis already multiplied by its labelScale.
    virtual QString xTickText(double scaled, int decimals) const;
    // The trace point of a channel nearest to x; invalid when the channel has none.
    virtual SignalCursorPoint snap(int channel, double x) const = 0;
    // The readings of two snapped cursors (A, B and their difference), one line each.
    virtual QStringList cursorTexts(const SignalCursorPoint& a, const SignalCursorPoint& b) const = 0;
    // The narrowest x span a zoom may show (a few trace points).
    virtual double minimumXSpan() const = 0;

    // Replace a whole-frame axis by the zoomed range when zoomed (x kept inside fullX and no
    // narrower than minimumXSpan()).
    void applyZoomX(SignalAxis& x, const SignalAxis& fullX);
    void applyZoomY(SignalAxis& y) const;
    // Marks the prepared traces stale (frame, channel choice or an option changed) and repaints.
    void invalidate();
    // The shown frame's channel is drawn: the frame has it and it is checked.
    bool traceShown(int channel) const;
    // Pixel column / row of a value, clamped into the plot area (-1 for a value that is not a
    // number, or a column of a value not positive on a log axis).
    int columnOf(double x, const QRect& area) const;
    int rowOf(double y, const QRect& area) const;
    // The colours of the plot area, its grid and its text, from the palette.
    QColor areaColor() const;
    QColor textColor() const;

    // An axis made usable: finite, lo < hi with a span a double can resolve, lo > 0 when log.
    static SignalAxis saneAxis(SignalAxis a);

    void paintEvent(QPaintEvent* e) override;
    void changeEvent(QEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void mouseDoubleClickEvent(QMouseEvent* e) override;
    void wheelEvent(QWheelEvent* e) override;
    void leaveEvent(QEvent* e) override;
    void hideEvent(QHideEvent* e) override;

private:
    struct BackgroundKey {
        QSize size;
        qreal dpr = 0;
        SignalAxis x, y;
        QString message;
        bool hasFrame = false;
        bool operator==(const BackgroundKey& o) const
        {
            return size == o.size && dpr == o.dpr && x == o.x && y == o.y && message == o.message &&
                   hasFrame == o.hasFrame;
        }
    };
    enum class Drag { None, Pan, Rubber };

    // Rebuilds axes and traces when stale. Called from const accessors too: the plot is never
    // a const object, and what it rebuilds is a cache of what the frame and options say.
    void prepare() const;
    bool paintBackground();
    void updateCanvas();
    void drawLinearTicks(QPainter& p, const QRect& area, bool horizontal);
    void drawLogTicks(QPainter& p, const QRect& area);
    void drawOverlay(QPainter& p) const;
    void moveCrosshair(QPoint pixel);
    void updateMargins();
    // Re-snaps the cursors to the current frame (their x values stay).
    void resnapCursors();

    std::shared_ptr<const SignalFrame> _frame;
    std::array<bool, 4> _shown{{true, true, true, true}};
    bool _stale = true;
    QSize _builtSize;
    QMargins _margins;
    QImage _background;
    QImage _canvas;
    bool _canvasStale = true;
    BackgroundKey _backgroundKey;
    bool _cursorInside = false;
    QPoint _cursor;

    // Zoom: the ranges shown when zoomed (x in axis units; y likewise).
    bool _zoomX = false, _zoomY = false;
    double _zx0 = 0, _zx1 = 1, _zy0 = 0, _zy1 = 1;
    SignalAxis _fullX;  // the whole frame's x axis, as the latest rebuild found it

    Drag _drag = Drag::None;
    QPoint _pressAt, _dragAt;
    bool _moved = false;

    bool _cursorsOn = false;
    int _cursorChannel = 0;
    std::array<double, 2> _cursorX{{0, 0}};
    std::array<bool, 2> _cursorPlaced{{false, false}};
    std::array<SignalCursorPoint, 2> _cursorPoints;
};

// The waveform: volts against time.
class SignalWaveformPlot : public SignalPlot {
    Q_OBJECT
public:
    explicit SignalWaveformPlot(QWidget* parent = nullptr);

    // Off: the volts axis spans the widest range of the shown channels (limits in view).
    // On: it fits the shown data.
    void setFitToData(bool fit);
    bool fitToData() const { return _fit; }
    // The time axis counts samples (the frame has no usable sample rate).
    bool timeInSamples() const { return _samples; }

    // Trigger: when on, time 0 is the first crossing of `level` volts by the channel's samples
    // (rising: from below to at or above; falling: the reverse), interpolated between the two
    // samples; without one the frame is shown from its start and the plot says so.
    void setTrigger(bool on, int channel, double level, bool rising);
    bool triggerOn() const { return _triggerOn; }
    // Where time 0 lies, in samples from the frame's start, and whether a crossing was found.
    double origin() const;
    bool triggerFound() const;

    // How the latest rebuild drew: samples per pixel column (below 1: points joined by lines).
    double samplesPerColumn() const;

protected:
    void rebuild(const QRect& area) override;
    void drawTraces(QImage& canvas) const override;
    QString cursorReading(QPointF value, QPointF perPixel) const override;
    SignalCursorPoint snap(int channel, double x) const override;
    QStringList cursorTexts(const SignalCursorPoint& a, const SignalCursorPoint& b) const override;
    double minimumXSpan() const override;

private:
    // Time (axis units) of sample i and the sample at a time.
    double timeOf(double i) const;
    void findOrigin();
    void reduceChannel(int ch, const QRect& area);

    bool _fit = false;
    bool _samples = false;
    bool _yFromFit = false;  // the volts axis was fitted to data (kept while it still suits)
    bool _triggerOn = false;
    bool _triggerRising = true;
    int _triggerChannel = 0;
    double _triggerLevel = 0;
    double _origin = 0;
    bool _found = false;
    double _rate = 1;  // samples per axis unit
    double _spp = 1;   // samples per pixel column
    std::array<std::vector<float>, 4> _columnMin, _columnMax;  // per pixel column, volts
    std::array<std::vector<QLine>, 4> _spans;   // envelope: per column its rows, top to bottom
    std::array<std::vector<QPoint>, 4> _points;  // zoomed in: the samples' pixels
    bool _markers = false;
    std::array<int, 4> _limitTop{}, _limitBottom{};  // rows of +-range; -1 when out of view
};

// The spectrum: level against frequency.
class SignalSpectrumPlot : public SignalPlot {
    Q_OBJECT
public:
    explicit SignalSpectrumPlot(QWidget* parent = nullptr);

    // A logarithmic frequency axis from the lowest positive bin to Fs/2.
    void setLogFrequency(bool log);
    bool logFrequency() const { return _log; }
    // Levels in dBV (true) or in RMS volts on a linear axis (false).
    void setDecibels(bool db);
    bool decibels() const { return _db; }

    // Bins per pixel column of the latest rebuild (below 1: bins joined by lines).
    double binsPerColumn() const
    {
        xAxis();
        return _bpc;
    }

protected:
    void rebuild(const QRect& area) override;
    void drawTraces(QImage& canvas) const override;
    QString cursorReading(QPointF value, QPointF perPixel) const override;
    QString xTickText(double scaled, int decimals) const override;
    SignalCursorPoint snap(int channel, double x) const override;
    QStringList cursorTexts(const SignalCursorPoint& a, const SignalCursorPoint& b) const override;
    double minimumXSpan() const override;

private:
    struct Peak {
        bool shown = false;
        QPoint at;
        QString text;
    };
    double levelOf(double voltsRms) const;
    void reduceChannel(int ch, const QRect& area);

    bool _log = false;
    bool _db = true;
    bool _yFromData = false;  // the level axis was placed by data (kept while it still suits)
    double _bpc = 1;
    std::vector<double> _edges;  // frequency at the left edge of each column, and hi
    std::array<QVector<QPoint>, 4> _polylines;
    std::array<bool, 4> _markers{};
    std::array<Peak, 4> _peaks;
};

}  // namespace qmx
