#pragma once
// SignalView: the tool window that pictures the latest measured frame: the waveform of each
// channel (its min/max envelope and range limits) and its spectrum (levels in dBV with the
// measured peaks marked), with the channels' readings, a hover cursor, a freeze switch and
// exports of what is shown as CSV or PNG.
//
// The main window makes one and shows or raises it on request; closing it (its close button
// or Escape) only hides it, and says so with closed(). Frames come on the window thread through
// showFrame(), which keeps the frame and asks for a repaint; the plots reduce it to pixels in
// that repaint, so a hidden view costs next to nothing per frame.
//
// CSV export: "# key: value" comment lines describing the frame, then the header row
//   kind,channel,x,y_min,y_max
// and, for each shown channel (checked and present in the frame) in order 1..4, rows of
//   waveform,<channel>,<time of the bucket's first sample, s>,<minimum, V>,<maximum, V>
//   spectrum,<channel>,<frequency, Hz>,<level, dBV>,
//   peak,<channel>,<frequency, Hz>,<level, dBV>,        (the measured peak, when there is one)
// one waveform row per envelope bucket and one spectrum row per point. Numbers are the
// shortest text that reads back as the same double, with '.'; a value that is not a number,
// or a time without a sample rate, is an empty field.

#include <QByteArray>
#include <QString>
#include <QWidget>

#include <array>
#include <memory>

class QCheckBox;
class QLabel;
class QPushButton;

namespace qmx {

class DialogSeam;
class SignalSpectrumPlot;
class SignalWaveformPlot;
struct ChannelTrace;
struct SignalFrame;

class SignalView : public QWidget {
    Q_OBJECT
public:
    SignalView(DialogSeam& dialogs, QWidget* parent);

    // Shows a frame (null: as clear()); ignored while the view is held.
    void showFrame(std::shared_ptr<const SignalFrame> frame);
    // Forgets the shown frame (e.g. the module changed): the plots say "Нет данных".
    void clear();
    std::shared_ptr<const SignalFrame> shownFrame() const { return _frame; }
    // "Стоп-кадр" is checked: new frames are ignored.
    bool held() const;

    // The hover reading: "t = … мс, U = … В" or "f = … Гц, L = … дБВ"; empty off the plots.
    QString cursorText() const;

    // Window-thread cost of the latest frame, in nanoseconds (steady clock): the time spent in
    // the latest showFrame() that took a frame, plus every repaint of this window since then
    // (plots, labels, flush to the backing store). Read it just before the next showFrame()
    // to get one frame's full cost. A hover or resize repaint after the frame counts too; a
    // hidden view is not repainted, so it costs only showFrame().
    qint64 lastFrameNs() const { return _showNs + _paintNs; }
    qint64 lastShowFrameNs() const { return _showNs; }
    qint64 lastPaintNs() const { return _paintNs; }

    SignalWaveformPlot* waveformPlot() const { return _waveform; }
    SignalSpectrumPlot* spectrumPlot() const { return _spectrum; }

    // What the export buttons do: ask for a file and write the shown frame to it.
    void exportCsv();
    void exportPng();

signals:
    void closed();

protected:
    bool event(QEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void closeEvent(QCloseEvent* e) override;

private:
    // Whether each channel's data is exported: checked and present in the shown frame.
    std::array<bool, 4> exportedChannels() const;
    void setShownTexts();
    void showWriteFailure(const QString& path, const QString& reason);
    // The export's file, asked through the save dialog; empty when cancelled.
    QString askExportPath(const char* dialogName, const QString& defaultFileName, const QString& filter);

    DialogSeam& _dialogs;
    std::shared_ptr<const SignalFrame> _frame;
    std::array<QCheckBox*, 4> _channelBoxes{};
    std::array<QLabel*, 4> _readingsLabels{};
    QLabel* _frameLabel = nullptr;
    QLabel* _cursorLabel = nullptr;
    QCheckBox* _fitBox = nullptr;
    QCheckBox* _logBox = nullptr;
    QCheckBox* _holdBox = nullptr;
    QPushButton* _csvButton = nullptr;
    QPushButton* _pngButton = nullptr;
    SignalWaveformPlot* _waveform = nullptr;
    SignalSpectrumPlot* _spectrum = nullptr;
    qint64 _showNs = 0;
    qint64 _paintNs = 0;
};

// The CSV text of an export (layout above) of the channels `shown` selects that the frame has.
QByteArray signalCsvText(const SignalFrame& frame, const std::array<bool, 4>& shown);
// A channel's readings line, e.g. "707.11 мВ   1.00000 кГц   0.000 Град"; "нет данных" for a
// channel the frame does not have.
QString signalReadingsText(const ChannelTrace& channel);
// The frame line, e.g. "Кадр 12 · 131072 отсчётов · 117187.5 Гц · метод fft · СКЗ".
QString signalFrameText(const SignalFrame* frame);

}  // namespace qmx
