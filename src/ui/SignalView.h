#pragma once
// SignalView: the tool window that pictures the latest measured frame: the waveform of each
// channel (its samples, range limits, a trigger that holds a periodic signal still) and its
// spectrum (dBV or RMS volts, averaged or peak-held across frames, the measured peaks marked),
// with the channels' readings, zoom and pan, two cursors per plot, a hover reading, a freeze
// switch and exports (envelope CSV, the samples as CSV or WAV, a PNG of the plots).
//
// The main window makes one and shows or raises it on request; closing it (its close button
// or Escape) only hides it, and says so with closed(). Frames come on the window thread through
// showFrame(), which keeps the frame and asks for a repaint; the plots reduce it to pixels in
// that repaint, so a hidden view costs next to nothing per frame. The spectrum averaging is
// done by the acquisition thread's tap, which the view tells what it wants (signalTapControl).
//
// The view's options (saveOptions/restoreOptions), as text:
//   channels        shown channels, e.g. "1 2 4"          log_frequency  0 / 1
//   fit             0 / 1                                 spectrum_unit  dBV / V
//   averaging       off / rms / peak                      average_count  1 .. 10000
//   trigger         0 / 1                                 trigger_channel 1 .. 4
//   trigger_level   volts                                 trigger_edge   rising / falling
//   cursors         0 / 1                                 cursor_channel 1 .. 4
// A key missing or holding anything else keeps its default.

#include "SignalExport.h"

#include <QDateTime>
#include <QImage>
#include <QMap>
#include <QString>
#include <QWidget>

#include <array>
#include <functional>
#include <memory>
#include <thread>

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QPushButton;
class QSpinBox;

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
    ~SignalView() override;

    // Shows a frame (null: as clear()); ignored while the view is held.
    void showFrame(std::shared_ptr<const SignalFrame> frame);
    // Forgets the shown frame (e.g. the module changed): the plots say "Нет данных".
    void clear();
    std::shared_ptr<const SignalFrame> shownFrame() const { return _frame; }
    // "Стоп-кадр" is checked: new frames are ignored.
    bool held() const;

    // The crate and module the frames come from, named in every export's header.
    void setSource(const QString& crateSerial, const QString& moduleSerial);

    // The options as text (layout above), and back; garbage falls back to the defaults.
    QMap<QString, QString> saveOptions() const;
    void restoreOptions(const QMap<QString, QString>& options);

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

    // What the export buttons do: ask for a file and write the shown frame to it. The file is
    // written on a thread of its own (the frame is kept until then); exportFinished() says
    // when it is complete, after the message of a failure. finishExport() waits for it.
    void exportCsv();
    void exportSamplesCsv();
    void exportWav();
    void exportPng();
    // The PNG's picture: a caption (source, settings, time) over the two plots as drawn now.
    QImage renderPicture(const QDateTime& timeUtc);
    void finishExport();

signals:
    void closed();
    void exportFinished(const QString& path, bool ok);

protected:
    bool event(QEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void closeEvent(QCloseEvent* e) override;

private:
    void buildControls();
    // Whether each channel's data is exported: checked and present in the shown frame.
    std::array<bool, 4> exportedChannels() const;
    void setShownTexts();
    void applyTrigger();
    void applyCursors();
    void applyAveraging();
    void showWriteFailure(const QString& path, const QString& reason);
    // The export's file, asked through the save dialog; empty when cancelled.
    QString askExportPath(const char* dialogName, const QString& defaultFileName, const QString& filter);
    // Asks for a file and writes the shown frame's channels to it with `write`, on the export
    // thread; says so when there is no frame.
    using FrameWriter = std::function<bool(QIODevice&, const SignalFrame&, const std::array<bool, 4>&, const SignalExportInfo&,
                                           QString&)>;
    void exportShownFrame(const char* dialogName, const QString& stem, const QString& suffix, const QString& filter,
                          const FrameWriter& write);
    // A default name with the date and time ("signal-20261209-124501.csv"), never one offered
    // before in this session.
    QString defaultName(const QString& stem, const QString& suffix, const QDateTime& timeUtc);
    // Writes through a temporary file renamed into place; a failure says why, in a message.
    // Writes on the export thread through a temporary file renamed into place; a failure says
    // why, in a message. write sets `error` when the reason is not the file's own.
    void writeExport(const QString& path, std::function<bool(QIODevice&, QString& error)> write);
    SignalExportInfo exportInfo(const QDateTime& timeUtc) const;

    DialogSeam& _dialogs;
    std::shared_ptr<const SignalFrame> _frame;
    QString _crateSerial, _moduleSerial;
    QStringList _offeredNames;
    std::array<QCheckBox*, 4> _channelBoxes{};
    std::array<QLabel*, 4> _readingsLabels{};
    QLabel* _frameLabel = nullptr;
    QLabel* _cursorLabel = nullptr;
    QCheckBox* _fitBox = nullptr;
    QCheckBox* _logBox = nullptr;
    QCheckBox* _holdBox = nullptr;
    QCheckBox* _triggerBox = nullptr;
    QComboBox* _triggerChannel = nullptr;
    QDoubleSpinBox* _triggerLevel = nullptr;
    QComboBox* _triggerEdge = nullptr;
    QCheckBox* _cursorsBox = nullptr;
    QComboBox* _cursorChannel = nullptr;
    QPushButton* _resetZoomButton = nullptr;
    QComboBox* _unitCombo = nullptr;
    QComboBox* _averagingCombo = nullptr;
    QSpinBox* _averageCount = nullptr;
    QPushButton* _averagingResetButton = nullptr;
    QPushButton* _csvButton = nullptr;
    QPushButton* _samplesCsvButton = nullptr;
    QPushButton* _wavButton = nullptr;
    QPushButton* _pngButton = nullptr;
    SignalWaveformPlot* _waveform = nullptr;
    SignalSpectrumPlot* _spectrum = nullptr;
    qint64 _showNs = 0;
    qint64 _paintNs = 0;
    std::thread _exportThread;
};

// A channel's readings line, e.g. "707.11 мВ   1.00000 кГц   0.000 Град"; "нет данных" for a
// channel the frame does not have.
QString signalReadingsText(const ChannelTrace& channel);
// The frame line, e.g. "Кадр 12 · 131072 отсчётов · 117187.5 Гц · метод fft · СКЗ".
QString signalFrameText(const SignalFrame* frame);

}  // namespace qmx
