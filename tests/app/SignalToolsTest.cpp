// The tools beside the readings, end to end against the simulated server: the signal view
// following the frames of a run, the measurement settings changed from the menu, and the
// recording of the readings to a CSV file. Plus the reductions the acquisition thread makes
// for the view, against brute force.

#include "AcquisitionFixture.h"
#include "SignalPlot.h"
#include "SignalTap.h"
#include "SignalView.h"
#include "Windows.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFile>
#include <QLabel>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <random>

namespace {

using namespace qmx;
using namespace qmxtest;

// ---- the reductions

TEST(SignalReduction, EnvelopeKeepsEveryExtremeOfItsBuckets)
{
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(0, 0.01);
    for (std::int64_t M : {std::int64_t(1), std::int64_t(5), std::int64_t(2048), std::int64_t(2049), std::int64_t(100003),
                           std::int64_t(1) << 20}) {
        SCOPED_TRACE(M);
        std::vector<double> x(static_cast<std::size_t>(M));
        for (std::int64_t i = 0; i < M; ++i)
            x[static_cast<std::size_t>(i)] = 0.5 * std::sin(0.001 * static_cast<double>(i)) + noise(rng);
        // One sample far above and one far below everything else.
        const std::int64_t up = M * 2 / 3, down = M / 5;
        x[static_cast<std::size_t>(up)] = 3.25;
        if (down != up)
            x[static_cast<std::size_t>(down)] = -2.5;
        std::vector<float> lo, hi;
        envelopeOf(x.data(), M, SignalTap::kEnvelopeBuckets, lo, hi);
        const std::int64_t B = std::min<std::int64_t>(M, SignalTap::kEnvelopeBuckets);
        ASSERT_EQ(static_cast<std::int64_t>(lo.size()), B);
        // Brute force over the documented bucket bounds: every sample in exactly one bucket.
        for (std::int64_t b = 0; b < B; ++b) {
            const std::int64_t begin = b * M / B, end = (b + 1) * M / B;
            ASSERT_LT(begin, end);
            const auto [mn, mx] = std::minmax_element(x.begin() + begin, x.begin() + end);
            ASSERT_EQ(lo[static_cast<std::size_t>(b)], static_cast<float>(*mn)) << b;
            ASSERT_EQ(hi[static_cast<std::size_t>(b)], static_cast<float>(*mx)) << b;
        }
        EXPECT_EQ(*std::max_element(hi.begin(), hi.end()), 3.25f);
        if (down != up) {
            EXPECT_EQ(*std::min_element(lo.begin(), lo.end()), -2.5f);
        }
    }
    // Samples that are no number leave their bucket's others to speak.
    std::vector<double> x{std::nan(""), 1.0, std::nan(""), -1.0};
    std::vector<float> lo, hi;
    envelopeOf(x.data(), 4, 2, lo, hi);
    EXPECT_EQ(hi[0], 1.0f);
    EXPECT_EQ(lo[1], -1.0f);
}

TEST(SignalReduction, SpectrumBucketsServeBothAxesAndThePeakKeepsItsLevel)
{
    for (std::int64_t H : {std::int64_t(3), std::int64_t(4097), std::int64_t(8193), std::int64_t(1) << 23}) {
        SCOPED_TRACE(H);
        std::vector<std::int64_t> b;
        spectrumBuckets(H, SignalTap::kSpectrumBucketsPerGrid, b);
        ASSERT_GE(b.size(), 2u);
        EXPECT_EQ(b.front(), 1);
        EXPECT_EQ(b.back(), H);
        EXPECT_LE(b.size(), 2u * SignalTap::kSpectrumBucketsPerGrid + 1);
        const double linear = std::max(1.0, static_cast<double>(H - 1) / SignalTap::kSpectrumBucketsPerGrid);
        const double ratio = std::pow(static_cast<double>(H), 1.0 / SignalTap::kSpectrumBucketsPerGrid);
        for (std::size_t i = 1; i < b.size(); ++i) {
            ASSERT_LT(b[i - 1], b[i]);
            // No bucket wider than a linear axis's step, nor than a log axis's step (+1 bin).
            ASSERT_LE(static_cast<double>(b[i] - b[i - 1]), linear + 1);
            ASSERT_LE(static_cast<double>(b[i]), static_cast<double>(b[i - 1]) * ratio + 1.0);
        }
    }

    // A windowed sine of amplitude 0.8 V at bin 1000 of 2^16: the strongest point is that bin,
    // at 0.8/sqrt2 V RMS in dBV.
    const long L = 1 << 16;
    const double Fs = 65536, tone = 1000;
    SpectrumAnalyser an(L, nullptr);
    std::vector<double> w(L + 16), x(L + 16), f(L + 16), A(L / 2 + 16);
    ASSERT_TRUE(an.buildWindow(w.data(), kMeasurementWindowType));
    for (long i = 0; i < L; ++i)
        x[static_cast<std::size_t>(i)] = 0.8 * std::cos(2 * M_PI * tone * static_cast<double>(i) / Fs + 0.3);
    an.applyWindow(x.data(), w.data());
    ASSERT_TRUE(an.transform(x.data(), f.data()));
    an.amplitudeSpectrum(f.data(), A.data());
    std::vector<std::int64_t> b;
    spectrumBuckets(L / 2, SignalTap::kSpectrumBucketsPerGrid, b);
    std::vector<double> hz;
    std::vector<float> dbv;
    spectrumPoints(A.data(), L, Fs, an.coefficient(0), b, hz, dbv);
    const auto peak = std::max_element(dbv.begin(), dbv.end()) - dbv.begin();
    EXPECT_EQ(hz[static_cast<std::size_t>(peak)], tone);
    EXPECT_NEAR(dbv[static_cast<std::size_t>(peak)], 20 * std::log10(0.8 / std::sqrt(2.0)), 1e-3);
    EXPECT_LT(*std::min_element(dbv.begin(), dbv.end()), -100);  // the window's far side lobes
}

// ---- end to end

// Channel 0: a 1 V sine on a bin with a 2.5 V one-conversion spike; channel 1: noise only.
const std::string kSignalRig = R"(
crate SIG-10 type 10
  slot 2 qmx58 SIG58-0201 icp yes
    channel 0 sine 1.0 1001.3580322265625 0 spike 2.5 700001
    channel 1 sine 0.25 5000 0 noise 0.001
    channel 2 dc 0.5
    channel 3 noise 0.01
)";

class SignalTools : public AcquisitionFixture {
protected:
    std::string rig() const override { return kSignalRig; }

    void openModule(const std::map<std::string, std::string>& keys = {},
                    std::array<ChannelSetup, 4> ch = {ChannelSetup{}, ChannelSetup{}, ChannelSetup{true, 0, 1, 0},
                                                      ChannelSetup{false}})
    {
        setUpModule(keys, ch, "SIG-10", 2);
    }
    SignalView* openView()
    {
        form->ShowSignalViewAction->trigger();
        SignalView* v = form->signalView();
        EXPECT_NE(v, nullptr);
        if (v) {
            EXPECT_TRUE(v->isVisible());
        }
        return v;
    }
    long long shownFrameNumber(SignalView* v) const { return v->shownFrame() ? v->shownFrame()->frame : 0; }
    std::string settingsKey(const std::string& key) const
    {
        IniFile f(form->settingsPath().toStdString());
        return f.ReadString(S::kModule, key, "?");
    }
};

// The view follows every frame while open; its waveform keeps a one-conversion spike of a
// 2^20-sample frame, its spectrum peaks at the tone, and the readings are the panel's.
TEST_F(SignalTools, ViewFollowsTheFramesAndShowsWhatWasMeasured)
{
    // One channel, 8.9 s asked: the "fft" frame is 2^20 conversions.
    openModule({{S::kMaxAcquisitionTime, "8.9"}},
               {ChannelSetup{}, ChannelSetup{false}, ChannelSetup{false}, ChannelSetup{false}});
    SignalView* view = openView();
    ASSERT_NE(view, nullptr);
    runFrames(2, 120000);
    ASSERT_TRUE(QTest::qWaitFor([&] { return shownFrameNumber(view) >= 2; }, 60000));
    std::shared_ptr<const SignalFrame> f = view->shownFrame();
    ASSERT_EQ(f->samplesPerChannel, 1 << 20);
    const ChannelTrace& t = f->channels[0];
    ASSERT_TRUE(t.present);
    EXPECT_FALSE(f->channels[1].present);
    ASSERT_EQ(t.envelopeMax.size(), static_cast<std::size_t>(SignalTap::kEnvelopeBuckets));
    // Only the bucket of conversion 700001 holds the spike (2.5 V on the sine's value there).
    const std::size_t spikeBucket = static_cast<std::size_t>(700001LL * SignalTap::kEnvelopeBuckets / (1 << 20));
    for (std::size_t b = 0; b < t.envelopeMax.size(); ++b) {
        if (b == spikeBucket)
            EXPECT_GT(t.envelopeMax[b], 1.5f);
        else
            ASSERT_LT(t.envelopeMax[b], 1.01f) << b;
    }
    EXPECT_EQ(t.rangeVolts, 10.0);
    // The spectrum's strongest point is the tone's bin, the marked peak the reading.
    const auto peak = std::max_element(t.spectrumDbV.begin(), t.spectrumDbV.end()) - t.spectrumDbV.begin();
    EXPECT_NEAR(t.spectrumHz[static_cast<std::size_t>(peak)], kTone, kFs / (1 << 20));
    ASSERT_TRUE(t.hasPeak);
    EXPECT_NEAR(t.peakHz, kTone, 1e-3);
    EXPECT_NEAR(t.peakDbV, 20 * std::log10(1 / std::sqrt(2.0)), 0.05);
    EXPECT_EQ(t.valueText, box(0, 1)->text());
    EXPECT_EQ(t.frequencyText, box(0, 2)->text());

    // Hold keeps the frame while the run goes on.
    auto* hold = view->findChild<QCheckBox*>("SignalHoldCheckBox");
    ASSERT_NE(hold, nullptr);
    hold->setChecked(true);
    const long long held = shownFrameNumber(view);
    const long before = frames();
    ASSERT_TRUE(QTest::qWaitFor([&] { return frames() >= before + 1; }, 60000));
    EXPECT_EQ(shownFrameNumber(view), held);
    hold->setChecked(false);

    // Escape closes it; from then on the thread makes no copies.
    QTest::keyClick(view, Qt::Key_Escape);
    ASSERT_FALSE(view->isVisible());
    EXPECT_FALSE(form->signalWanted());
    form->StopThread();
}

// The trigger on the real window's frames: two successive frames of the run's sine, which start
// at unrelated phases, are shown from the same phase (within a small part of a sample).
TEST_F(SignalTools, TriggerHoldsTheRunsSineStill)
{
    openModule({}, {ChannelSetup{}, ChannelSetup{false}, ChannelSetup{false}, ChannelSetup{false}});
    SignalView* view = openView();
    ASSERT_NE(view, nullptr);
    view->findChild<QComboBox*>("SignalTriggerChannelComboBox")->setCurrentIndex(0);
    view->findChild<QDoubleSpinBox*>("SignalTriggerLevelSpinBox")->setValue(0.25);
    view->findChild<QCheckBox*>("SignalTriggerCheckBox")->setChecked(true);
    SignalWaveformPlot* wave = view->waveformPlot();
    const double hz = 1001.3580322265625;
    // The sine's phase at the trigger point: a least-squares fit at the known frequency over
    // the samples after it, with time counted from the (fractional) origin.
    const auto phaseAtOrigin = [&](const SignalFrame& f, double origin) {
        const std::vector<float>& x = f.channels[0].samples;
        double sc = 0, cc = 0;
        const auto first = static_cast<std::size_t>(std::ceil(origin));
        for (std::size_t i = first; i < std::min(x.size(), first + 4096); ++i) {
            const double w = 2 * M_PI * hz * (double(i) - origin) / f.sampleRate;
            sc += x[i] * std::sin(w);
            cc += x[i] * std::cos(w);
        }
        return std::atan2(cc, sc);
    };
    runFrames(1);
    std::vector<double> phases, origins;
    long long last = 0;
    for (int n = 0; n < 2; ++n) {
        ASSERT_TRUE(QTest::qWaitFor([&] { return shownFrameNumber(view) > last; }, 30000));
        std::shared_ptr<const SignalFrame> f = view->shownFrame();
        last = f->frame;
        ASSERT_TRUE(wave->triggerFound());
        ASSERT_EQ(f->channels[0].samples.size(), static_cast<std::size_t>(f->samplesPerChannel));
        origins.push_back(wave->origin());
        phases.push_back(phaseAtOrigin(*f, wave->origin()));
    }
    form->StopThread();
    const double perSample = 2 * M_PI * hz / kFs;
    EXPECT_NEAR(phases[1], phases[0], 0.05 * perSample) << "origins " << origins[0] << ", " << origins[1];
    // rising through 0.25 V of a 1 V sine
    EXPECT_NEAR(phases[0], std::asin(0.25), 0.05 * perSample);
}

// With "sum" the measurement has no spectrum: the view gets one of its own. A noise-only
// channel's spectrum has no marked peak; a DC channel shows its waveform. The run stopping, a
// new discovery and closing the window with the view open are all safe.
TEST_F(SignalTools, SumSpectrumAndTheViewAcrossStopsAndModuleChanges)
{
    openModule({{S::kComputationMethod, "sum"}});
    SignalView* view = openView();
    ASSERT_NE(view, nullptr);
    runFrames(2);
    ASSERT_TRUE(QTest::qWaitFor([&] { return shownFrameNumber(view) >= 1; }, 30000));
    std::shared_ptr<const SignalFrame> f = view->shownFrame();
    EXPECT_EQ(f->method, "sum");
    EXPECT_EQ(f->spectrumLength, 8192);  // 0.1 s: 11718 samples, the last 2^13 of them
    const ChannelTrace& t = f->channels[1];
    ASSERT_FALSE(t.spectrumDbV.empty());
    const auto peak = std::max_element(t.spectrumDbV.begin(), t.spectrumDbV.end()) - t.spectrumDbV.begin();
    EXPECT_NEAR(t.spectrumHz[static_cast<std::size_t>(peak)], 5000, kFs / 8192);
    EXPECT_NEAR(t.spectrumDbV[static_cast<std::size_t>(peak)], 20 * std::log10(0.25 / std::sqrt(2.0)), 1.0);
    EXPECT_FALSE(t.hasPeak);  // "sum" measures no frequency
    EXPECT_NEAR(f->channels[2].envelopeMax[0], 0.5, 0.01);
    EXPECT_EQ(f->channels[2].valueText, box(2, 1)->text());

    form->StopThread();
    ASSERT_EQ(thread(), nullptr);
    EXPECT_TRUE(view->isVisible());
    // A new discovery forgets the last frame: the module may change.
    form->requestDiscovery(3, false);
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->DiscoveryRunning == 0 && form->DiscoveryMayBeRequested == 1; }, 30000));
    EXPECT_EQ(view->shownFrame(), nullptr);
    openModule({{S::kComputationMethod, "sum"}});
    runFrames(1);
    // The fixture's tear-down closes the window with the view open and the run going.
}

// Method, amplitude type and acquisition time from the menu: each writes its key, and a run
// in progress starts again with it (its old readings held, never shown as live); a recording
// goes on across the restart with a line naming the change. The voltage boxes' hint says
// which setting is in force.
TEST_F(SignalTools, MeasurementSettingsFromTheMenu)
{
    openModule({}, {ChannelSetup{}, ChannelSetup{false}, ChannelSetup{false}, ChannelSetup{false}});
    const QString path = folder.filePath("settings-change.csv");
    dialogs.fileAnswer = path;
    form->RecordReadingsAction->trigger();
    ASSERT_TRUE(form->recording());
    dialogs.shown.clear();
    runFrames(1);
    EXPECT_NEAR(value(0, 1), 1000 / std::sqrt(2.0), 0.05);
    EXPECT_TRUE(box(0, 1)->toolTip().contains("(rms)"));
    auto live = [&](int ch, int field) {
        return !box(ch, field)->text().isEmpty() && box(ch, field)->palette().color(QPalette::Text) == QColor(0, 255, 0);
    };
    EXPECT_TRUE(live(0, 1));

    // Peak amplitude: the run starts again at once and reads the sine's amplitude; until its
    // first frame the old RMS reading is not shown as live.
    form->AmplitudeAmpAction->trigger();
    ASSERT_NE(thread(), nullptr) << "the run goes on with the new setting";
    EXPECT_TRUE(QTest::qWaitFor([&] { return thread()->Settings.AmplitudeType == "amp"; }, 5000));
    EXPECT_FALSE(live(0, 1));
    EXPECT_TRUE(form->recording()) << "the recording goes on";
    EXPECT_EQ(settingsKey(S::kAmplitudeType), "amp");
    EXPECT_EQ(form->AmplitudeTypeLabLMDLabel->text(), "amp");
    EXPECT_TRUE(form->AmplitudeAmpAction->isChecked());
    EXPECT_TRUE(box(0, 1)->toolTip().contains("(amp)"));
    runFrames(1);
    EXPECT_NEAR(value(0, 1), 1000, 0.05);
    EXPECT_TRUE(live(0, 1));
    form->StopThread();
    EXPECT_FALSE(live(0, 1)) << "a stopped run's readings are held";
    EXPECT_EQ(form->Frames[0]->FlashLed->isLit(), false);
    EXPECT_FALSE(form->recording()) << "a stop of the operator ends the recording";
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(file.readAll());
        SCOPED_TRACE(text.toStdString());
        EXPECT_TRUE(text.contains(QString("# change: %1: rms -> amp\n").arg(QString::fromStdString(S::kAmplitudeType))));
        EXPECT_EQ(text.count("# amplitude: peak\n"), 1);
        EXPECT_EQ(text.count("time_utc,"), 1);
        EXPECT_TRUE(text.contains(QRegularExpression("# end \\S+: измерение остановлено\n$")));
        const int change = text.indexOf("# change:");
        EXPECT_GT(text.indexOf(",1,1,ac,", change), change) << "the new run's rows follow the change";
    }

    // "sum": only the voltage.
    form->MethodSumAction->trigger();
    EXPECT_EQ(settingsKey(S::kComputationMethod), "sum");
    EXPECT_TRUE(box(0, 1)->toolTip().contains("метод расчёта sum"));
    runFrames(1);
    EXPECT_TRUE(placeholder(0, 2));
    EXPECT_NEAR(value(0, 1), 1000, 0.5);
    form->StopThread();

    // The acquisition time: 0.2 s is 23437 "sum" samples, 200.0 ms; a cancelled dialog keeps it.
    dialogs.numberAnswer = 0.2;
    form->AcquisitionTimeAction->trigger();
    ASSERT_EQ(dialogs.count(), 1u);
    EXPECT_EQ(dialogs.shown[0].caption, "AcquisitionTimeDialog");
    EXPECT_EQ(settingsKey(S::kMaxAcquisitionTime), "0.2");
    dialogs.numberAnswer.reset();
    form->AcquisitionTimeAction->trigger();
    EXPECT_EQ(settingsKey(S::kMaxAcquisitionTime), "0.2");
    dialogs.shown.clear();
    runFrames(1);
    EXPECT_EQ(thread()->SamplesPerChannel, 23437);
    EXPECT_EQ(form->AcquisitionTimeLMDLabel->text(), "200.0");
    form->StopThread();

    // Back to "fft" and RMS; a settings file that cannot be written still changes the run.
    form->MethodFftAction->trigger();
    form->AmplitudeRmsAction->trigger();
    EXPECT_EQ(settingsKey(S::kComputationMethod), "fft");
    EXPECT_EQ(settingsKey(S::kAmplitudeType), "rms");
    EXPECT_EQ(dialogs.count(), 0u);
}

// Short cuts and Escape pressed while another handler waits for the run to stop: each second
// press is posted so that it is served inside the first one's wait, as the operator's keys
// are. Nothing is stopped twice, and the last key pressed is the setting that stays.
TEST_F(SignalTools, StopsServedInsideAStop)
{
    openModule({}, {ChannelSetup{}, ChannelSetup{false}, ChannelSetup{false}, ChannelSetup{false}});
    runFrames(1);
    // amp, then rms while amp's restart still waits for the run to end: rms stays.
    QTimer::singleShot(0, form.get(), [&] { form->AmplitudeRmsAction->trigger(); });
    form->AmplitudeAmpAction->trigger();
    // A run's settings are its own from its first frame on.
    auto measuredWith = [&](auto field, const char* value) {
        return QTest::qWaitFor([&] { return thread() && thread()->FramesShown.load() > 0 && field(*thread()) == value; }, 10000);
    };
    ASSERT_TRUE(measuredWith([](const TMainThread& t) { return t.Settings.AmplitudeType; }, "rms"));
    EXPECT_EQ(settingsKey(S::kAmplitudeType), "rms");
    EXPECT_TRUE(form->AmplitudeRmsAction->isChecked());

    // sum inside fft's stop (the two methods' short cuts in quick succession), and Escape
    // inside that wait (it clears the guard, so a third handler runs inside the first).
    runFrames(thread()->FramesShown.load() + 1);
    form->ComputationMethod = "sum";
    QTimer::singleShot(0, form.get(), [&] { form->ApplicationShortCut(Qt::Key_Escape); });
    QTimer::singleShot(0, form.get(), [&] { form->MethodSumAction->trigger(); });
    form->MethodFftAction->trigger();
    ASSERT_TRUE(measuredWith([](const TMainThread& t) { return t.Settings.ComputationMethod; }, "sum"));
    EXPECT_EQ(settingsKey(S::kComputationMethod), "sum");
    EXPECT_TRUE(placeholder(0, 2)) << "measured the sum way";

    // A stop of the operator's with Escape served inside it: one stop, no second one.
    QTimer::singleShot(0, form.get(), [&] { form->ApplicationShortCut(Qt::Key_Escape); });
    QTimer::singleShot(0, form.get(), [&] { form->StopThread(); });
    form->StopThread();
    EXPECT_EQ(thread(), nullptr);
    QTest::qWait(100);
    EXPECT_EQ(thread(), nullptr);
    EXPECT_EQ(TThread::liveCount(), 0);
    EXPECT_EQ(dialogs.count(), 0u);
}

// Recording: every frame's rows as the panels show them, appended to the chosen file (the
// column names once); a file that cannot take them stops the recording with a message and
// the measurement goes on.
TEST_F(SignalTools, RecordingTheReadings)
{
    openModule();
    const QString path = folder.filePath("readings.csv");
    dialogs.fileAnswer = path;
    for (int run = 0; run < 2; ++run) {
        form->RecordReadingsAction->trigger();
        ASSERT_TRUE(form->recording());
        ASSERT_EQ(dialogs.count(), 1u);
        dialogs.shown.clear();
        EXPECT_TRUE(form->RecordingMarkLabel->isVisibleTo(form.get()));
        runFrames(3);
        form->StopThread();
        EXPECT_FALSE(form->recording());
        EXPECT_FALSE(form->RecordReadingsAction->isChecked());
        EXPECT_TRUE(form->RecordingMarkLabel->text().contains("остановлена")) << "says why it stopped";
    }
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    EXPECT_EQ(lines.filter(QRegularExpression("^time_utc,")).size(), 1);
    EXPECT_EQ(lines.filter(QRegularExpression("^# method: fft$")).size(), 2);
    // The last frame's rows are the panels' readings at the display's precision.
    QStringList last;
    for (const QString& l : lines)
        if (!l.startsWith('#') && !l.startsWith("time_utc"))
            last.push_back(l);
    ASSERT_GE(last.size(), 2 * 3 * 4);
    last = last.mid(last.size() - 4);
    for (int ch = 0; ch < 4; ++ch) {
        SCOPED_TRACE(ch);
        const QStringList cells = last[ch].split(',');
        ASSERT_EQ(cells.size(), 8);
        EXPECT_EQ(cells[2], QString::number(ch + 1));
        if (ch == 3) {
            EXPECT_EQ(cells[7], "off");
            continue;
        }
        EXPECT_EQ(cells[7], "ok");
        EXPECT_EQ(QString::number(cells[4].toDouble(), 'f', 2), box(ch, 1)->text());
        if (ch < 2) {
            EXPECT_EQ(QString::number(cells[5].toDouble(), 'f', 5), box(ch, 2)->text());
            // A tone at another frequency than the reference's has no phase difference.
            EXPECT_EQ(cells[6].isEmpty() ? QString("--------") : QString::number(cells[6].toDouble(), 'f', 3),
                      box(ch, 3)->text());
        }
    }

    // A device that takes nothing: the message, the recording stops, the frames go on.
    dialogs.fileAnswer = "/dev/full";
    form->RecordReadingsAction->trigger();
    ASSERT_TRUE(form->recording());
    dialogs.shown.clear();
    form->StartThread();
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialogs.count() > 0; }, 30000));
    EXPECT_FALSE(form->recording());
    EXPECT_FALSE(form->RecordReadingsAction->isChecked());
    EXPECT_EQ(dialogs.shown[0].caption, "Запись показаний");
    EXPECT_TRUE(dialogs.shown[0].text.contains("/dev/full"));
    const long now = frames();
    ASSERT_TRUE(QTest::qWaitFor([&] { return frames() >= now + 2; }, 30000));
    EXPECT_NE(thread(), nullptr);
    form->StopThread();
}

}  // namespace
