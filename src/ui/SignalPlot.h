#pragma once
// The two plots of the signal view: the waveform (the min/max envelope of each channel against
// time, with its range limits) and the spectrum (levels in dBV against frequency, with the
// measured peaks marked). Both are plain widgets painted with QPainter.
//
// A frame can come several times a second with thousands of points per channel, so a plot
// does its work once per frame (or option change, or resize), on the first paint after it:
// it reduces the frame to pixel columns (the envelope's extremes, the spectrum's highest level
// per column), keeps the axes, grid and tick labels as a picture redrawn only when an axis or
// the size changes, and draws the traces over a copy of that picture by writing their pixels
// straight into it, without antialiasing (a dense signal is a band hundreds of pixels high in
// every column; QPainter's line stroking takes ten times longer for it). A paint event then
// only copies that picture to the window and adds the hover cross-hair.
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

// The colour a channel (0..3) has wherever the view shows it: traces, limits, markers and its
// check box. Chosen to be told apart and to read well on the white plot area.
QColor signalChannelColor(int channel);

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

    QSize minimumSizeHint() const override { return {240, 120}; }

signals:
    // The mouse moved over the plot area (its reading) or left it (an empty text).
    void cursorMoved(const QString& text);

protected:
    // The text the plot area shows instead of a picture (e.g. "Нет данных"); empty for none.
    QString _message;
    // The axes, set by rebuild().
    SignalAxis _x, _y;

    // Derived plots reduce the frame to traces for a plot area of `area` (set _x, _y, _message).
    virtual void rebuild(const QRect& area) = 0;
    // Derived plots draw their prepared traces over the axes into `canvas` (the widget's
    // picture, device pixels, its device pixel ratio set; logical coordinates as plotRect()).
    virtual void drawTraces(QImage& canvas) const = 0;
    // The cursor reading for a value at the given pixel resolution (value change per pixel).
    virtual QString cursorReading(QPointF value, QPointF perPixel) const = 0;
    // Tick label text for a value of an axis already multiplied by its labelScale.
    virtual QString xTickText(double scaled, int decimals) const;

    // Marks the prepared traces stale (frame, channel choice or an option changed) and repaints.
    void invalidate();
    // The shown frame's channel is drawn: the frame has it and it is checked.
    bool traceShown(int channel) const;
    // Pixel column / row of a value, clamped into the plot area (-1 for a value that is not a
    // number, or a column of a value not positive on a log axis).
    int columnOf(double x, const QRect& area) const;
    int rowOf(double y, const QRect& area) const;

    // An axis made usable: finite, lo < hi with a span a double can resolve, lo > 0 when log.
    static SignalAxis saneAxis(SignalAxis a);

    void paintEvent(QPaintEvent* e) override;
    void changeEvent(QEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
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

    // Rebuilds axes and traces when stale. Called from const accessors too: the plot is never
    // a const object, and what it rebuilds is a cache of what the frame and options say.
    void prepare() const;
    // Redraws the axes picture if its key changed (true then).
    bool paintBackground();
    // The canvas: the axes picture with the traces drawn over it, redrawn when either changed.
    void updateCanvas();
    void drawLinearTicks(QPainter& p, const QRect& area, bool horizontal);
    void drawLogTicks(QPainter& p, const QRect& area);
    void moveCrosshair(QPoint pixel);
    void updateMargins();

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

protected:
    void rebuild(const QRect& area) override;
    void drawTraces(QImage& canvas) const override;
    QString cursorReading(QPointF value, QPointF perPixel) const override;

private:
    bool _fit = false;
    bool _samples = false;
    bool _yFromFit = false;  // the volts axis was fitted to data (kept while it still suits)
    std::array<std::vector<float>, 4> _columnMin, _columnMax;  // per pixel column, volts
    std::array<std::vector<QLine>, 4> _spans;  // per column with data: its rows, top to bottom
    std::array<int, 4> _limitTop{}, _limitBottom{};  // rows of +-range; -1 when out of view
};

// The spectrum: dBV against frequency.
class SignalSpectrumPlot : public SignalPlot {
    Q_OBJECT
public:
    explicit SignalSpectrumPlot(QWidget* parent = nullptr);

    // A logarithmic frequency axis from the lowest positive point frequency to Fs/2.
    void setLogFrequency(bool log);
    bool logFrequency() const { return _log; }

protected:
    void rebuild(const QRect& area) override;
    void drawTraces(QImage& canvas) const override;
    QString cursorReading(QPointF value, QPointF perPixel) const override;
    QString xTickText(double scaled, int decimals) const override;

private:
    struct Peak {
        bool shown = false;
        QPoint at;
        QString text;
    };
    bool _log = false;
    bool _yFromData = false;  // the level axis was placed by data (kept while it still suits)
    std::vector<double> _edges;    // log axis: frequency at the left edge of each column, and hi
    std::vector<float> _columnTop;  // per pixel column, the highest level of one channel
    std::array<QVector<QPoint>, 4> _polylines;
    std::array<Peak, 4> _peaks;
};

}  // namespace qmx
