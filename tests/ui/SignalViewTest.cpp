// The signal view: the plots' value/pixel mapping and hover readings, what a frame draws (a
// one-sample spike reaches its pixels, an unchecked channel leaves no trace of its colour), the
// axes, hold, closing, the texts, exports read back, and hostile frames. The window-thread
// cost of a full frame is printed, never asserted.

#include "RecordingDialogSeam.h"
#include "SignalFrame.h"
#include "SignalPlot.h"
#include "SignalTestFrames.h"
#include "SignalView.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace {

using namespace qmx;
using namespace qmxtest;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

int countColor(const QImage& image, const QColor& color)
{
    const QRgb wanted = color.rgb();
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            n += image.pixel(x, y) == wanted;
    return n;
}

// Whether any pixel of the square of half-side `r` around `at` has the colour.
bool colorNear(const QImage& image, QPoint at, int r, const QColor& color)
{
    for (int dy = -r; dy <= r; ++dy)
        for (int dx = -r; dx <= r; ++dx)
            if (image.valid(at + QPoint(dx, dy)) && image.pixel(at + QPoint(dx, dy)) == color.rgb())
                return true;
    return false;
}

void hover(QWidget* w, QPoint at)
{
    QMouseEvent move(QEvent::MouseMove, at, w->mapToGlobal(at), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(w, &move);
}

class SignalViewTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        view = std::make_unique<SignalView>(dialogs, nullptr);
        view->resize(1000, 700);
        view->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get()));
    }
    QCheckBox* box(const QString& name) const { return view->findChild<QCheckBox*>(name); }
    QString labelText(const QString& name) const { return view->findChild<QLabel*>(name)->text(); }
    // Waits for the export in progress and takes its outcome (a message) on this thread.
    void exported()
    {
        view->finishExport();
        QCoreApplication::sendPostedEvents();
    }
    QStringList exportCsv(const std::shared_ptr<SignalFrame>& frame)
    {
        view->showFrame(frame);
        dialogs.fileAnswer = dir.filePath("signal.csv");
        view->findChild<QPushButton*>("SignalExportCsvButton")->click();
        exported();
        QFile file(dialogs.fileAnswer);
        EXPECT_TRUE(file.open(QIODevice::ReadOnly));
        return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    }

    qmxtest::RecordingDialogSeam dialogs;
    std::unique_ptr<SignalView> view;
    QTemporaryDir dir;
};

// pixelAt(valueAt(p)) == p over the plot areas, valueAt(pixelAt(v)) within a pixel of v, and
// the hover reading at a known point of each plot, on a linear and a logarithmic axis.
TEST_F(SignalViewTest, MappingAndCursorReadings)
{
    view->showFrame(sineFrame());
    for (bool log : {false, true}) {
        box("SignalLogFrequencyCheckBox")->setChecked(log);
        for (SignalPlot* plot : std::initializer_list<SignalPlot*>{view->waveformPlot(), view->spectrumPlot()}) {
            SCOPED_TRACE(plot->objectName().toStdString() + (log ? " log" : " linear"));
            const QRect a = plot->plotRect();
            for (int x = a.left(); x <= a.right(); x += 37)
                for (int y = a.top(); y <= a.bottom(); y += 23)
                    ASSERT_EQ(plot->pixelAt(plot->valueAt({x, y})), QPoint(x, y));
        }
    }
    const auto number = [](const QString& text, const QString& pattern, int group) {
        const QRegularExpressionMatch m = QRegularExpression(pattern).match(text);
        EXPECT_TRUE(m.hasMatch()) << text.toStdString();
        return m.captured(group).toDouble();
    };
    // waveform: 0 .. 1.118 s in ms, ±10.5 V; t = 500 ms, U = 2 V
    SignalWaveformPlot* wave = view->waveformPlot();
    const QRect wa = wave->plotRect();
    const double msPerPixel = 131072 / kFs * 1000 / wa.width(), voltsPerPixel = 21.0 / wa.height();
    hover(wave, wave->pixelAt({0.5, 2.0}));
    const QString t = view->cursorText();
    EXPECT_NEAR(number(t, "^t = ([-0-9.]+) мс, U = ([-0-9.]+) В$", 1), 500, msPerPixel);
    EXPECT_NEAR(number(t, "^t = ([-0-9.]+) мс, U = ([-0-9.]+) В$", 2), 2.0, voltsPerPixel);
    EXPECT_EQ(wave->cursorTextAt(wa.topLeft() - QPoint(1, 1)), "") << "outside the plot area";

    // spectrum, log axis: f = 1000 Hz, L = -40 dBV
    SignalSpectrumPlot* spectrum = view->spectrumPlot();
    const SignalAxis fx = spectrum->xAxis();
    EXPECT_EQ(fx.lo, kFs / 131072) << "from the lowest bin";
    EXPECT_EQ(fx.hi, kFs / 2);
    const double ratio = std::pow(fx.hi / fx.lo, 1.0 / spectrum->plotRect().width());
    hover(spectrum, spectrum->pixelAt({1000, -40}));
    const QString s = view->cursorText();
    EXPECT_NEAR(number(s, "^f = ([0-9.]+) Гц, L = ([-0-9.]+) дБВ$", 1), 1000, 1000 * (ratio - 1));
    EXPECT_NEAR(number(s, "^f = ([0-9.]+) Гц, L = ([-0-9.]+) дБВ$", 2), -40, 140.0 / spectrum->plotRect().height());

    // linear: the same point reads the same within a (coarser) pixel
    box("SignalLogFrequencyCheckBox")->setChecked(false);
    hover(spectrum, spectrum->pixelAt({1000, -40}));
    EXPECT_NEAR(number(view->cursorText(), "^f = ([0-9.]+) Гц", 1), 1000, kFs / 2 / spectrum->plotRect().width());

    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(spectrum, &leave);
    EXPECT_EQ(view->cursorText(), "");
}

// Volts axis: the widest shown range with its limits in view, or fitted to the data; level
// axis: 140 dB from a little above the highest point.
TEST_F(SignalViewTest, AxesFollowRangesAndData)
{
    auto frame = sineFrame();
    view->showFrame(frame);
    SignalAxis y = view->waveformPlot()->yAxis();
    EXPECT_GT(y.hi, 10.0);
    EXPECT_LT(y.hi, 11.0);
    EXPECT_EQ(y.lo, -y.hi);
    box("SignalChannel1CheckBox")->setChecked(false);
    EXPECT_GT(view->waveformPlot()->yAxis().hi, 5.0) << "channel 2's range is the widest shown";
    EXPECT_LT(view->waveformPlot()->yAxis().hi, 5.5);
    box("SignalFitCheckBox")->setChecked(true);
    y = view->waveformPlot()->yAxis();
    EXPECT_GE(y.hi, 2.5) << "channel 2 swings ±2.5 V";
    EXPECT_LT(y.hi, 3.5);
    EXPECT_LE(y.lo, -2.5);

    const SignalAxis level = view->spectrumPlot()->yAxis();
    const double highest = dbvOf(2.5 / std::sqrt(2.0));
    EXPECT_GT(level.hi, highest);
    EXPECT_LE(level.hi, highest + 15);
    EXPECT_EQ(level.hi - level.lo, 140);

    for (ChannelTrace& t : frame->channels) {
        std::fill(t.spectrum.begin(), t.spectrum.end(), 0.0f);
        refresh(t);
        t.hasPeak = false;
    }
    view->showFrame(std::make_shared<SignalFrame>(*frame));
    EXPECT_EQ(view->spectrumPlot()->yAxis().lo, kDbvFloor) << "never below the floor";
}

// A one-sample spike reaches its level in its column and nowhere else; a flat signal still
// draws its row.
TEST_F(SignalViewTest, SpikeReachesItsPixels)
{
    auto frame = sineFrame(100000);
    for (std::size_t c = 1; c < 4; ++c)
        frame->channels[c] = ChannelTrace();
    ChannelTrace& t = frame->channels[0];
    std::fill(t.samples.begin(), t.samples.end(), 0.0f);
    const std::size_t k = 34179;
    t.samples[k] = 6.0f;
    refresh(t);
    const double time = double(k) / kFs;
    for (bool fit : {false, true}) {
        SCOPED_TRACE(fit ? "fit" : "ranges");
        box("SignalFitCheckBox")->setChecked(fit);
        view->showFrame(std::make_shared<SignalFrame>(*frame));
        SignalWaveformPlot* plot = view->waveformPlot();
        const QImage image = plot->grab().toImage();
        const QColor color = signalChannelColor(0);
        const QPoint spike = plot->pixelAt({time, 6.0});
        EXPECT_TRUE(colorNear(image, spike, 1, color));
        EXPECT_FALSE(colorNear(image, spike + QPoint(0, -4), 1, color)) << "not beyond the spike";
        EXPECT_FALSE(colorNear(image, spike + QPoint(20, 0), 2, color)) << "not in other columns";
        EXPECT_TRUE(colorNear(image, plot->pixelAt({time * 1.5, 0.0}), 0, color)) << "flat part drawn";
        if (fit) {
            EXPECT_LT(spike.y() - plot->plotRect().top(), plot->plotRect().height() / 8) << "fitted: near the top";
        }
    }
}

// The channel colours: its check box, and unchecking it removes its colour from both plots.
TEST_F(SignalViewTest, UncheckedChannelLeavesNoColour)
{
    view->showFrame(sineFrame());
    EXPECT_EQ(box("SignalChannel2CheckBox")->palette().color(QPalette::WindowText), signalChannelColor(1));
    for (int a = 0; a < 4; ++a)
        for (int b = a + 1; b < 4; ++b)
            EXPECT_NE(signalChannelColor(a), signalChannelColor(b));
    for (SignalPlot* plot : std::initializer_list<SignalPlot*>{view->waveformPlot(), view->spectrumPlot()}) {
        SCOPED_TRACE(plot->objectName().toStdString());
        box("SignalChannel2CheckBox")->setChecked(true);
        EXPECT_GT(countColor(plot->grab().toImage(), signalChannelColor(1)), 100);
        box("SignalChannel2CheckBox")->setChecked(false);
        const QImage image = plot->grab().toImage();
        EXPECT_EQ(countColor(image, signalChannelColor(1)), 0);
        EXPECT_GT(countColor(image, signalChannelColor(0)), 100);
    }
}

// Hold ignores new frames; clear forgets the shown one; the texts follow the frame.
TEST_F(SignalViewTest, HoldClearAndTexts)
{
    auto a = sineFrame(), b = sineFrame();
    b->frame = 13;
    b->method = "sum";
    b->amplitudeType = "amp";
    b->channels[2].present = false;
    b->channels[1].valueText = "OVERLOAD!";
    b->channels[1].frequencyText.clear();
    view->showFrame(a);
    EXPECT_EQ(labelText("SignalFrameLabel"), "Кадр 12 · 131072 отсчётов · 117187.5 Гц · метод fft · СКЗ");
    EXPECT_EQ(labelText("SignalReadings1Label"), "3535.53 мВ   1.00000 кГц   0.000 Град");
    box("SignalHoldCheckBox")->setChecked(true);
    EXPECT_TRUE(view->held());
    view->showFrame(b);
    EXPECT_EQ(view->shownFrame(), a);
    box("SignalHoldCheckBox")->setChecked(false);
    view->showFrame(b);
    EXPECT_EQ(view->shownFrame(), b);
    EXPECT_EQ(labelText("SignalFrameLabel"),
              "Кадр 13 · 131072 отсчётов · 117187.5 Гц · метод sum · амплитуда · спектр только для просмотра");
    EXPECT_EQ(labelText("SignalReadings2Label"), "OVERLOAD!   0.000 Град");
    EXPECT_EQ(labelText("SignalReadings3Label"), "нет данных");

    view->clear();
    EXPECT_EQ(view->shownFrame(), nullptr);
    EXPECT_EQ(labelText("SignalFrameLabel"), "Нет данных");
    EXPECT_FALSE(view->findChild<QPushButton*>("SignalExportCsvButton")->isEnabled());
    EXPECT_EQ(countColor(view->waveformPlot()->grab().toImage(), signalChannelColor(0)), 0);
}

// Escape and the close button hide the window (not delete it) and say so.
TEST_F(SignalViewTest, EscapeClosesAndEmits)
{
    QSignalSpy closed(view.get(), &SignalView::closed);
    QTest::keyClick(view.get(), Qt::Key_Escape);
    EXPECT_EQ(closed.count(), 1);
    EXPECT_FALSE(view->isVisible());
    view->show();
    EXPECT_TRUE(view->close());
    EXPECT_EQ(closed.count(), 2);
    EXPECT_EQ(view->objectName(), "SignalView");
    EXPECT_TRUE(view->windowFlags() & Qt::Tool);
}

// The CSV reads back as the shown frame: checked present channels only, every number exact.
TEST_F(SignalViewTest, CsvExportReadsBack)
{
    auto frame = sineFrame(100000);
    frame->channels[3].present = false;
    frame->channels[0].envelopeMin[3] = static_cast<float>(kNaN);
    box("SignalChannel2CheckBox")->setChecked(false);
    const QStringList lines = exportCsv(frame);
    ASSERT_EQ(dialogs.count(), 1u);
    EXPECT_EQ(dialogs.shown[0].caption, "SignalExportCsvDialog");
    EXPECT_TRUE(QRegularExpression("^signal-\\d{8}-\\d{6}\\.csv$").match(dialogs.shown[0].text).hasMatch())
        << "the default name carries the date and time: " << dialogs.shown[0].text.toStdString();
    EXPECT_TRUE(lines.contains("# sample_rate_hz: 117187.5"));
    EXPECT_TRUE(lines.contains("# method: fft"));
    const int header = static_cast<int>(lines.indexOf("kind,channel,x,y_min,y_max"));
    ASSERT_GE(header, 0);
    std::array<std::size_t, 4> waveRows{}, spectrumRows{}, peakRows{};
    for (int i = header + 1; i < lines.size(); ++i) {
        const QStringList f = lines[i].split(',');
        ASSERT_EQ(f.size(), 5) << lines[i].toStdString();
        const int ch = f[1].toInt() - 1;
        ASSERT_TRUE(ch == 0 || ch == 2) << "only checked present channels";
        const ChannelTrace& t = frame->channels[static_cast<std::size_t>(ch)];
        const auto c = static_cast<std::size_t>(ch);
        if (f[0] == "waveform") {
            const std::size_t b = waveRows[c]++;
            EXPECT_EQ(f[2].toDouble(), double(b * 100000 / 2048) / kFs);
            if (std::isnan(t.envelopeMin[b]))
                EXPECT_EQ(f[3], "");
            else
                EXPECT_EQ(f[3].toDouble(), double(t.envelopeMin[b]));
            EXPECT_EQ(f[4].toDouble(), double(t.envelopeMax[b]));
        } else if (f[0] == "spectrum") {
            const std::size_t p = spectrumRows[c]++;
            EXPECT_EQ(f[2].toDouble(), t.spectrumHz[p]);
            EXPECT_EQ(f[3].toDouble(), double(t.spectrumDbV[p]));
            EXPECT_EQ(f[4], "");
        } else {
            ASSERT_EQ(f[0], "peak");
            ++peakRows[c];
            EXPECT_EQ(f[2].toDouble(), t.peakHz);
            EXPECT_EQ(f[3].toDouble(), t.peakDbV);
        }
    }
    EXPECT_EQ(waveRows, (std::array<std::size_t, 4>{2048, 0, 2048, 0}));
    EXPECT_EQ(spectrumRows, (std::array<std::size_t, 4>{frame->channels[0].spectrumHz.size(), 0, frame->channels[2].spectrumHz.size(), 0}));
    EXPECT_GT(spectrumRows[0], 2000u);
    EXPECT_EQ(peakRows, (std::array<std::size_t, 4>{1, 0, 1, 0}));
}

// PNG of the view; a cancelled dialog writes nothing; a failed write says why, in a message.
TEST_F(SignalViewTest, PngExportCancelAndFailure)
{
    view->showFrame(sineFrame());
    dialogs.fileAnswer = dir.filePath("view.png");
    view->exportPng();
    exported();
    const QImage image(dialogs.fileAnswer);
    ASSERT_FALSE(image.isNull());
    // the plots under a caption, not the window's controls
    EXPECT_EQ(image.width(), view->waveformPlot()->width());
    EXPECT_GT(image.height(), view->waveformPlot()->height() + view->spectrumPlot()->height());
    EXPECT_GT(countColor(image, signalChannelColor(3)), 100);

    dialogs.shown.clear();
    dialogs.fileAnswer.clear();
    view->exportCsv();
    view->exportPng();
    exported();
    EXPECT_EQ(dialogs.count(), 2u) << "two file dialogs, no message";
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"view.png"});

    for (const char* name : {"missing/signal.csv", "missing/signal.png"}) {
        dialogs.shown.clear();
        dialogs.fileAnswer = dir.filePath(name);
        if (QString(name).endsWith("csv"))
            view->exportCsv();
        else
            view->exportPng();
        exported();
        ASSERT_EQ(dialogs.count(), 2u) << name;
        EXPECT_TRUE(dialogs.shown[1].text.startsWith("Не могу записать файл " + QDir::toNativeSeparators(dialogs.fileAnswer) + ": "))
            << dialogs.shown[1].text.toStdString();
        EXPECT_EQ(dialogs.shown[1].caption, "Экспорт");
        EXPECT_EQ(dialogs.shown[1].icon, MsgIcon::Warning);
    }
}

// Frames no producer should send still draw, map, read and export without a fault.
TEST_F(SignalViewTest, HostileFramesDrawSanely)
{
    std::vector<std::shared_ptr<SignalFrame>> frames;
    const auto add = [&](auto change) {
        auto f = sineFrame(1000);
        change(*f);
        frames.push_back(f);
    };
    add([](SignalFrame& f) { f.channels = {}; });
    add([](SignalFrame& f) {
        for (ChannelTrace& t : f.channels) {
            t = ChannelTrace();
            t.present = true;
        }
    });
    add([](SignalFrame& f) {
        for (ChannelTrace& t : f.channels) {
            t.envelopeMin.resize(1), t.envelopeMax.resize(1), t.spectrumHz.resize(1), t.spectrumDbV.resize(1);
            t.samples.resize(1), t.spectrum.resize(1);
        }
    });
    for (double rate : {0.0, -5.0, kNaN, kInf, 1e-310, 1e308})
        add([rate](SignalFrame& f) { f.sampleRate = rate; });
    for (long long m : {0LL, -7LL, 3LL, std::numeric_limits<long long>::max()})
        add([m](SignalFrame& f) { f.samplesPerChannel = m; });
    for (double v : {kNaN, kInf, -kInf, 1e300, -1e300, 0.0}) {
        add([v](SignalFrame& f) {
            const float fv = std::isfinite(v) && std::fabs(v) > 3e38 ? static_cast<float>(v > 0 ? kInf : -kInf) : static_cast<float>(v);
            for (ChannelTrace& t : f.channels) {
                std::fill(t.envelopeMin.begin(), t.envelopeMin.end(), fv);
                t.envelopeMax[5] = -fv;
                std::fill(t.samples.begin(), t.samples.end(), fv);
                t.samples[5] = -fv;
                std::fill(t.spectrum.begin(), t.spectrum.end(), fv);
                refresh(t);
                t.spectrumBinHz = v;
                std::fill(t.spectrumDbV.begin(), t.spectrumDbV.end(), fv);
                t.spectrumHz[3] = v;
                t.spectrumHz[4] = -v;
                t.rangeVolts = v;
                t.peakHz = v;
                t.peakDbV = -v;
            }
        });
    }
    add([](SignalFrame& f) {
        for (ChannelTrace& t : f.channels) {
            std::reverse(t.spectrumHz.begin(), t.spectrumHz.end());
            t.envelopeMin.resize(10);
            t.spectrumDbV.resize(7);
            t.samples.resize(10);
            t.spectrum.resize(7);  // the pyramids no longer fit: nothing is drawn from them
            std::fill(t.spectrumHz.begin(), t.spectrumHz.end(), 5.0);
        }
    });
    add([](SignalFrame& f) {
        for (ChannelTrace& t : f.channels) {
            std::fill(t.spectrumDbV.begin(), t.spectrumDbV.end(), static_cast<float>(kDbvFloor));
            std::fill(t.spectrum.begin(), t.spectrum.end(), 0.0f);
            refresh(t);
        }
    });
    frames.push_back(nullptr);

    for (std::size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE(i);
        view->showFrame(frames[i]);
        for (int option = 0; option < 4; ++option) {
            box("SignalLogFrequencyCheckBox")->setChecked(option & 1);
            box("SignalFitCheckBox")->setChecked(option & 2);
            for (SignalPlot* plot : std::initializer_list<SignalPlot*>{view->waveformPlot(), view->spectrumPlot()}) {
                EXPECT_FALSE(plot->grab().isNull());
                const SignalAxis x = plot->xAxis(), y = plot->yAxis();
                EXPECT_TRUE(std::isfinite(x.lo) && std::isfinite(x.hi) && x.lo < x.hi);
                EXPECT_TRUE(std::isfinite(y.lo) && std::isfinite(y.hi) && y.lo < y.hi);
                const QRect a = plot->plotRect();
                for (QPoint p : {a.topLeft(), a.bottomRight(), a.center()}) {
                    plot->pixelAt(plot->valueAt(p));
                    hover(plot, p);
                }
            }
        }
        if (frames[i])
            signalCsvText(*frames[i], {true, true, true, true});
    }
    EXPECT_GE(view->spectrumPlot()->yAxis().lo, kDbvFloor);

    // plots squeezed to nothing
    SignalWaveformPlot wave;
    SignalSpectrumPlot spectrum;
    for (SignalPlot* plot : std::initializer_list<SignalPlot*>{&wave, &spectrum}) {
        for (QSize size : {QSize(0, 0), QSize(5, 3), QSize(90, 40)}) {
            plot->resize(size);
            plot->setFrame(frames[0] ? frames[0] : sineFrame());
            EXPECT_EQ(plot->grab().size(), size);
            plot->cursorTextAt(plot->plotRect().center());
        }
    }
}

// Per-frame window-thread cost of a full four-channel frame in a shown 1000×700 view (printed).
TEST_F(SignalViewTest, PrintsPerFrameCost)
{
    std::vector<std::shared_ptr<const SignalFrame>> frames;
    for (int i = 0; i < 8; ++i)
        frames.push_back(sineFrame(131072, i * 0.7));
    for (bool log : {false, true}) {
        box("SignalLogFrequencyCheckBox")->setChecked(log);
        std::vector<double> counted, measured;
        for (int i = 0; i < 60; ++i) {
            QElapsedTimer timer;
            timer.start();
            view->showFrame(frames[static_cast<std::size_t>(i) % frames.size()]);
            QApplication::processEvents();
            const auto elapsed = static_cast<double>(timer.nsecsElapsed());
            if (i < 10)
                continue;  // warm-up
            counted.push_back(static_cast<double>(view->lastFrameNs()) / 1e6);
            measured.push_back(elapsed / 1e6);
        }
        EXPECT_GT(view->lastPaintNs(), 0) << "the repaint a frame causes is counted";
        std::sort(counted.begin(), counted.end());
        std::sort(measured.begin(), measured.end());
        std::printf("[signal view %s] per frame: lastFrameNs median %.3f ms, max %.3f ms; "
                    "showFrame+processEvents median %.3f ms\n",
                    log ? "log f" : "linear f", counted[counted.size() / 2], counted.back(), measured[measured.size() / 2]);
    }
}

}  // namespace
