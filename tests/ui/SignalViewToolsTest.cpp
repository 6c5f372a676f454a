// The signal view's tools on synthetic frames: zoom down to single samples and bins, the
// cursors snapping to a known sample and bin, the trigger holding a sine still, the raw
// exports read back bit for bit, the options round trip (and garbage), and every control named.

#include "RecordingDialogSeam.h"
#include "SignalFrame.h"
#include "SignalPlot.h"
#include "SignalTap.h"
#include "SignalTestFrames.h"
#include "SignalView.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFile>
#include <QMouseEvent>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include <charconv>
#include <cmath>
#include <cstring>

namespace {

using namespace qmx;
using namespace qmxtest;

class SignalViewTools : public ::testing::Test {
protected:
    void SetUp() override
    {
        signalTapControl().averaging = 0;
        view = std::make_unique<SignalView>(dialogs, nullptr);
        view->resize(1000, 760);
        view->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get()));
    }
    template <typename W>
    W* child(const char* name) const
    {
        W* w = view->findChild<W*>(name);
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    // Waits for the export in progress and takes its outcome (a message) on this thread.
    void exported()
    {
        view->finishExport();
        QCoreApplication::sendPostedEvents();
    }
    QByteArray exportBytes(const char* button)
    {
        dialogs.shown.clear();
        dialogs.fileAnswer = dir.filePath(QString("export-%1").arg(++exports));
        child<QPushButton>(button)->click();
        exported();
        QFile file(dialogs.fileAnswer);
        EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << button;
        return file.readAll();
    }

    qmxtest::RecordingDialogSeam dialogs;
    std::unique_ptr<SignalView> view;
    QTemporaryDir dir;
    int exports = 0;
};

// Zoomed in, the waveform draws its samples (a 1 kHz sine is a sine, not a band): each sample's
// pixel carries the channel's colour; down to 4 samples across, no further; the wheel keeps
// the value under the pointer; a double click shows the whole frame again. The spectrum zooms
// to single bins, pans by dragging, and a right drag zooms to a rectangle.
TEST_F(SignalViewTools, ZoomsToSingleSamplesAndBins)
{
    auto frame = sineFrame();
    view->showFrame(frame);
    SignalWaveformPlot* wave = view->waveformPlot();
    EXPECT_GT(wave->samplesPerColumn(), 100) << "the whole frame: an envelope";
    const double t0 = 1000 / kFs, t1 = 1040 / kFs;
    wave->zoomX(t0, t1);
    EXPECT_LT(wave->samplesPerColumn(), 0.1);
    const QImage image = wave->grab().toImage();
    const ChannelTrace& t = frame->channels[0];
    for (long long i = 1002; i < 1038; i += 5) {
        const QPoint p = wave->pixelAt({double(i) / kFs, double(t.samples[static_cast<std::size_t>(i)])});
        bool coloured = false;
        for (int dy = -1; dy <= 1; ++dy)
            coloured = coloured || image.pixel(p + QPoint(0, dy)) == signalChannelColor(0).rgb();
        EXPECT_TRUE(coloured) << "sample " << i;
    }
    // a sine, not a band: the column of a sample holds its colour only near the sample
    const QPoint p = wave->pixelAt({1020 / kFs, double(t.samples[1020])});
    int rowsColoured = 0;
    for (int y = wave->plotRect().top(); y <= wave->plotRect().bottom(); ++y)
        rowsColoured += image.pixel(p.x(), y) == signalChannelColor(0).rgb();
    EXPECT_LT(rowsColoured, 12);

    wave->zoomX(t0, t0 + 1e-9);
    EXPECT_NEAR((wave->xAxis().hi - wave->xAxis().lo) * kFs, 4, 1e-6) << "never fewer than 4 samples across";
    wave->zoomX(0, 1000 / kFs);
    const QPoint at = wave->plotRect().center();
    const double before = wave->valueAt(at).x();
    QWheelEvent wheel(at, wave->mapToGlobal(at), QPoint(), QPoint(0, 240), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(wave, &wheel);
    EXPECT_NEAR(wave->valueAt(at).x(), before, 2 * (wave->xAxis().hi - wave->xAxis().lo) / wave->plotRect().width());
    EXPECT_LT(wave->xAxis().hi - wave->xAxis().lo, 1000 / kFs * 0.7);
    QTest::mouseDClick(wave, Qt::LeftButton, Qt::NoModifier, at);
    EXPECT_FALSE(wave->zoomed());
    EXPECT_NEAR(wave->xAxis().hi, 131072 / kFs, 1e-12);

    SignalSpectrumPlot* spectrum = view->spectrumPlot();
    const double bin = frame->channels[0].spectrumBinHz;
    spectrum->zoomX(1000 - 10 * bin, 1000 + 10 * bin);
    EXPECT_LT(spectrum->binsPerColumn(), 0.1);
    const SignalAxis zoomed = spectrum->xAxis();
    QTest::mousePress(spectrum, Qt::LeftButton, Qt::NoModifier, spectrum->plotRect().center());
    QTest::mouseMove(spectrum, spectrum->plotRect().center() + QPoint(100, 0));
    QTest::mouseRelease(spectrum, Qt::LeftButton, Qt::NoModifier, spectrum->plotRect().center() + QPoint(100, 0));
    EXPECT_LT(spectrum->xAxis().lo, zoomed.lo) << "dragged right: lower frequencies come into view";
    EXPECT_NEAR(spectrum->xAxis().hi - spectrum->xAxis().lo, zoomed.hi - zoomed.lo, 1e-9);
    child<QPushButton>("SignalResetZoomButton")->click();
    EXPECT_FALSE(spectrum->zoomed());
    const QRect a = wave->plotRect();
    const QPoint from = a.topLeft() + QPoint(a.width() / 4, a.height() / 4), to = a.center();
    QTest::mousePress(wave, Qt::RightButton, Qt::NoModifier, from);
    QTest::mouseMove(wave, to);
    QTest::mouseRelease(wave, Qt::RightButton, Qt::NoModifier, to);
    EXPECT_NEAR(wave->xAxis().hi, 131072 / kFs / 2, 131072 / kFs / a.width() * 2);
    EXPECT_NEAR(wave->yAxis().lo, 0, 21.0 / a.height() * 2);
}

// Cursors snap to the nearest sample (bin) of the chosen channel and read its exact value; the
// differences follow.
TEST_F(SignalViewTools, CursorsSnapToSamplesAndBins)
{
    auto frame = sineFrame();
    view->showFrame(frame);
    child<QComboBox>("SignalCursorChannelComboBox")->setCurrentIndex(1);
    child<QCheckBox>("SignalCursorsCheckBox")->setChecked(true);
    SignalWaveformPlot* wave = view->waveformPlot();
    const SignalCursorPoint a = wave->setCursor(0, 100.4 / kFs);
    const SignalCursorPoint b = wave->setCursor(1, 217.6 / kFs);
    ASSERT_TRUE(a.valid && b.valid);
    EXPECT_EQ(a.index, 100);
    EXPECT_EQ(b.index, 218);
    EXPECT_EQ(a.y, double(frame->channels[1].samples[100]));
    EXPECT_EQ(b.y, double(frame->channels[1].samples[218]));
    const QString summary = wave->cursorSummary();
    const QRegularExpressionMatch m = QRegularExpression("Δt = ([0-9.]+) мс, 1/Δt = ([0-9.]+) Гц").match(summary);
    ASSERT_TRUE(m.hasMatch()) << summary.toStdString();
    EXPECT_NEAR(m.captured(1).toDouble(), 118 / kFs * 1e3, 1e-6);
    EXPECT_NEAR(m.captured(2).toDouble(), kFs / 118, 1e-3);

    // a click moves the nearer cursor there
    QTest::mouseClick(wave, Qt::LeftButton, Qt::NoModifier, wave->pixelAt({300 / kFs, 0}));
    EXPECT_NEAR(double(wave->cursorPoint(1).index), 300, 131072.0 / wave->plotRect().width());
    EXPECT_EQ(wave->cursorPoint(0).index, 100);

    SignalSpectrumPlot* spectrum = view->spectrumPlot();
    const ChannelTrace& t = frame->channels[1];
    const SignalCursorPoint fa = spectrum->setCursor(0, 2000.2);
    const SignalCursorPoint fb = spectrum->setCursor(1, 30 * t.spectrumBinHz + 0.4 * t.spectrumBinHz);
    const auto k = static_cast<long long>(std::round(2000.2 / t.spectrumBinHz));
    EXPECT_EQ(fa.index, k);
    EXPECT_EQ(fa.x, double(k) * t.spectrumBinHz);
    EXPECT_EQ(fa.volts, double(t.spectrum[static_cast<std::size_t>(k)]));
    EXPECT_EQ(fb.index, 30);
    EXPECT_NEAR(fa.volts, 2.5 / std::sqrt(2.0), 0.03) << "the tone's bin";
    EXPECT_TRUE(spectrum->cursorSummary().contains(
        QString("ΔL = %1 дБ").arg(QString::number(dbvOf(fb.volts) - dbvOf(fa.volts), 'f', 2))));
    child<QCheckBox>("SignalCursorsCheckBox")->setChecked(false);
    EXPECT_EQ(spectrum->cursorSummary(), "");
}

// Two frames of the same sine at different phases start at the same phase once triggered;
// a level never crossed shows the frame from its start and says so.
TEST_F(SignalViewTools, TriggerHoldsASineStill)
{
    child<QComboBox>("SignalTriggerChannelComboBox")->setCurrentIndex(0);
    child<QDoubleSpinBox>("SignalTriggerLevelSpinBox")->setValue(1.0);
    child<QCheckBox>("SignalTriggerCheckBox")->setChecked(true);
    SignalWaveformPlot* wave = view->waveformPlot();
    const double period = kFs / 1000;  // samples
    std::vector<double> phases;
    for (double phase : {0.0, 1.1, 2.9, 5.0}) {
        view->showFrame(sineFrame(16384, phase));
        ASSERT_TRUE(wave->triggerFound());
        // sample i has phase 2 pi i / period + phase: where it crosses 1 V rising, modulo a period
        phases.push_back(std::fmod(wave->origin() + phase / (2 * M_PI) * period, period));
        EXPECT_EQ(wave->xAxis().lo, 0);
    }
    for (double p : phases)
        EXPECT_NEAR(p, phases[0], 0.05) << "within a twentieth of a sample";
    child<QComboBox>("SignalTriggerEdgeComboBox")->setCurrentIndex(1);
    view->showFrame(sineFrame(16384, 0));
    const double falling = wave->origin();
    // falling through 1 V of a 5 V sine: half a period minus the rising point's offset
    EXPECT_NEAR(std::fmod(falling, period), period / 2 - std::asin(0.2) / (2 * M_PI) * period, 0.05);

    child<QDoubleSpinBox>("SignalTriggerLevelSpinBox")->setValue(7.0);
    view->showFrame(sineFrame(16384, 0));
    EXPECT_FALSE(wave->triggerFound());
    EXPECT_EQ(wave->origin(), 0);
    const QImage image = wave->grab().toImage();
    EXPECT_FALSE(image.isNull());
}

// The raw exports: the samples CSV's values parse back to the frame's floats bit for bit, the
// WAV carries them as they are, with the format, rate and header text; the default names
// carry the date and time and never repeat; a write failure names its cause.
TEST_F(SignalViewTools, RawExportsReadBackBitForBit)
{
    auto frame = sineFrame(5000);
    frame->sampleRate = 610.3515625;
    frame->channels[2].present = false;
    frame->channels[0].samples[7] = 1e-30f;
    frame->channels[0].samples[8] = -3.4028235e38f;
    view->setSource("CR-0042", "M58-1234");
    child<QCheckBox>("SignalChannel4CheckBox")->setChecked(false);
    view->showFrame(frame);
    const std::vector<int> shown{0, 1};

    const QByteArray csv = exportBytes("SignalExportSamplesCsvButton");
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_TRUE(QRegularExpression("^signal-samples-\\d{8}-\\d{6}\\.csv$").match(dialogs.shown[0].text).hasMatch());
    const QList<QByteArray> lines = csv.split('\n');
    EXPECT_TRUE(lines.contains("# sample_rate_hz: 610.3515625"));
    EXPECT_TRUE(lines.contains("# crate_serial: CR-0042"));
    EXPECT_TRUE(lines.contains("# module_serial: M58-1234"));
    EXPECT_TRUE(lines.contains("# channel_1: range 10 V, AC, differential"));
    const int header = static_cast<int>(lines.indexOf("t_s,ch1_V,ch2_V"));
    ASSERT_GE(header, 0);
    long long rows = 0;
    for (int i = header + 1; i < lines.size(); ++i) {
        if (lines[i].isEmpty())
            continue;
        const QList<QByteArray> f = lines[i].split(',');
        ASSERT_EQ(f.size(), 3);
        // read back as a C program would, whatever the locale's decimal separator
        double time = -1;
        std::from_chars(f[0].constData(), f[0].constData() + f[0].size(), time);
        EXPECT_EQ(time, double(rows) / 610.3515625);
        for (std::size_t c = 0; c < shown.size(); ++c) {
            const QByteArray& text = f[static_cast<int>(c) + 1];
            float back = -1;
            ASSERT_EQ(std::from_chars(text.constData(), text.constData() + text.size(), back).ec, std::errc());
            const float want = frame->channels[static_cast<std::size_t>(shown[c])].samples[static_cast<std::size_t>(rows)];
            ASSERT_EQ(std::memcmp(&back, &want, 4), 0) << rows << " " << f[static_cast<int>(c) + 1].constData();
        }
        ++rows;
    }
    EXPECT_EQ(rows, 5000);

    const QByteArray wav = exportBytes("SignalExportWavButton");
    const auto u32 = [&](int at) { quint32 v; std::memcpy(&v, wav.constData() + at, 4); return v; };
    const auto u16 = [&](int at) { quint16 v; std::memcpy(&v, wav.constData() + at, 2); return v; };
    ASSERT_GT(wav.size(), 44);
    EXPECT_EQ(wav.left(4), "RIFF");
    EXPECT_EQ(u32(4), static_cast<quint32>(wav.size() - 8));
    EXPECT_EQ(wav.mid(8, 8), "WAVEfmt ");
    EXPECT_EQ(u16(20), 3) << "IEEE float";
    EXPECT_EQ(u16(22), 2) << "channels";
    EXPECT_EQ(u32(24), 610u) << "the rate rounded";
    EXPECT_EQ(u16(34), 32);
    const int list = static_cast<int>(wav.indexOf("LIST"));
    ASSERT_GT(list, 0);
    const QByteArray info = wav.mid(list + 8, static_cast<int>(u32(list + 4)));
    EXPECT_TRUE(info.startsWith("INFOICMT"));
    EXPECT_TRUE(info.contains("sample_rate_hz: 610.3515625"));
    EXPECT_TRUE(info.contains("crate_serial: CR-0042"));
    const int data = static_cast<int>(wav.indexOf("data", list + 8 + static_cast<int>(u32(list + 4))));
    ASSERT_GT(data, 0);
    ASSERT_EQ(u32(data + 4), 5000u * 2 * 4);
    ASSERT_EQ(wav.size(), data + 8 + 5000 * 2 * 4);
    for (long long i = 0; i < 5000; ++i)
        for (std::size_t c = 0; c < 2; ++c)
            ASSERT_EQ(std::memcmp(wav.constData() + data + 8 + (i * 2 + static_cast<long long>(c)) * 4,
                                  &frame->channels[static_cast<std::size_t>(shown[c])].samples[static_cast<std::size_t>(i)], 4),
                      0);
    const QString wavName = dialogs.shown[0].text;
    EXPECT_TRUE(wavName.endsWith(".wav"));
    exportBytes("SignalExportWavButton");
    EXPECT_NE(dialogs.shown[0].text, wavName) << "a second export is offered another name";

    dialogs.shown.clear();
    dialogs.fileAnswer = dir.filePath("missing/signal.wav");
    QSignalSpy finished(view.get(), &SignalView::exportFinished);
    view->exportWav();
    exported();
    ASSERT_EQ(finished.count(), 1);
    EXPECT_FALSE(finished[0][1].toBool());
    ASSERT_EQ(dialogs.shown.size(), 2u);
    const QString failed = "Не могу записать файл " + QDir::toNativeSeparators(dialogs.fileAnswer) + ": ";
    EXPECT_TRUE(dialogs.shown[1].text.startsWith(failed)) << dialogs.shown[1].text.toStdString();
    EXPECT_GT(dialogs.shown[1].text.size(), failed.size()) << "the cause is named";
    EXPECT_FALSE(QFile::exists(dialogs.fileAnswer));

    // A device is written in place, never replaced by a renamed file; a full one names why.
    dialogs.shown.clear();
    dialogs.fileAnswer = "/dev/full";
    view->exportSamplesCsv();
    exported();
    ASSERT_EQ(finished.count(), 2);
    EXPECT_FALSE(finished[1][1].toBool());
    ASSERT_EQ(dialogs.shown.size(), 2u);
    // The cause in Qt's words or the system's (which follow the locale).
    const QString& message = dialogs.shown[1].text;
    EXPECT_TRUE(message.contains("No space left on device") || message.contains(QString::fromLocal8Bit(std::strerror(ENOSPC))))
        << message.toStdString();
    struct stat st {};
    ASSERT_EQ(::stat("/dev/full", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode)) << "/dev/full is still the device";
}

// Options round trip into a fresh view; garbage (unknown keys, bad values) gives the defaults.
TEST_F(SignalViewTools, OptionsRoundTripAndToleratesGarbage)
{
    const QMap<QString, QString> defaults = view->saveOptions();
    QMap<QString, QString> wanted = defaults;
    wanted["channels"] = "1 3";
    wanted["log_frequency"] = "1";
    wanted["fit"] = "1";
    wanted["spectrum_unit"] = "V";
    wanted["averaging"] = "rms";
    wanted["average_count"] = "64";
    wanted["trigger"] = "1";
    wanted["trigger_channel"] = "3";
    wanted["trigger_level"] = "-0.25";
    wanted["trigger_edge"] = "falling";
    wanted["cursors"] = "1";
    wanted["cursor_channel"] = "4";
    view->restoreOptions(wanted);
    EXPECT_EQ(view->saveOptions(), wanted);
    EXPECT_EQ(signalTapControl().averaging.load(), static_cast<int>(SpectrumAveraging::Rms));
    EXPECT_EQ(signalTapControl().averageCount.load(), 64);
    EXPECT_TRUE(view->waveformPlot()->triggerOn());
    EXPECT_FALSE(view->spectrumPlot()->decibels());
    SignalView other(dialogs, nullptr);
    other.restoreOptions(view->saveOptions());
    EXPECT_EQ(other.saveOptions(), wanted);

    const QMap<QString, QString> garbage{{"channels", "1 9 x"},      {"log_frequency", "maybe"},
                                         {"averaging", "\x01\xff"},   {"average_count", "-5"},
                                         {"trigger_level", "nan"},   {"trigger_channel", "99999999999999999999"},
                                         {"trigger_edge", ""},       {"cursors", "2"},
                                         {"unknown", "1"},           {"spectrum_unit", QString(100000, 'V')}};
    view->restoreOptions(garbage);
    EXPECT_EQ(view->saveOptions(), defaults);
    view->restoreOptions({});
    EXPECT_EQ(view->saveOptions(), defaults);
}

// Every control and both plots have an object name and an accessible name; the plots follow a
// dark palette (its base and text colours), not a fixed white.
TEST_F(SignalViewTools, NamedControlsAndDarkPalette)
{
    const QList<QWidget*> widgets = view->findChildren<QWidget*>();
    int controls = 0;
    for (QWidget* w : widgets) {
        const bool control = qobject_cast<QAbstractButton*>(w) || qobject_cast<QComboBox*>(w) ||
                             qobject_cast<QAbstractSpinBox*>(w) || qobject_cast<SignalPlot*>(w);
        if (!control || w->parent() != view.get())
            continue;
        ++controls;
        EXPECT_FALSE(w->objectName().isEmpty()) << w->metaObject()->className();
        EXPECT_FALSE(w->accessibleName().isEmpty()) << w->objectName().toStdString();
    }
    EXPECT_GE(controls, 20);

    QPalette dark = view->palette();
    dark.setColor(QPalette::Window, QColor(30, 30, 30));
    dark.setColor(QPalette::Base, QColor(18, 18, 18));
    dark.setColor(QPalette::Text, QColor(230, 230, 230));
    dark.setColor(QPalette::WindowText, QColor(230, 230, 230));
    view->setPalette(dark);
    view->showFrame(sineFrame());
    for (SignalPlot* plot : std::initializer_list<SignalPlot*>{view->waveformPlot(), view->spectrumPlot()}) {
        const QImage image = plot->grab().toImage();
        const QRect a = plot->plotRect();
        int base = 0, white = 0;
        for (int y = a.top(); y <= a.bottom(); y += 3)
            for (int x = a.left(); x <= a.right(); x += 3) {
                base += image.pixel(x, y) == QColor(18, 18, 18).rgb();
                white += image.pixel(x, y) == qRgb(255, 255, 255);
            }
        EXPECT_GT(base, a.width() * a.height() / 9 / 3) << plot->objectName().toStdString();
        EXPECT_EQ(white, 0) << plot->objectName().toStdString();
    }
}

}  // namespace
