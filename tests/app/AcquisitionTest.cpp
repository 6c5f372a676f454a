// Measurement runs end to end: the real window and acquisition thread against the simulated
// crate server in this process (fast mode, a free port), with signals whose readings are known.

#include "AcquisitionFixture.h"
#include "Readings.h"
#include "Led.h"
#include "MainThread.h"
#include "Rig.h"
#include "SettingsKeys.h"
#include "SimulatedServer.h"

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <cmath>
#include <map>

namespace {

using namespace qmx;
using namespace qmxtest;
namespace S = qmx::settings;

class Acquisition : public AcquisitionFixture {};

// Stopping never takes more than one second plus the fixed pauses (100 ms before the finish,
// at most one 100 ms frame pause); sanitizer builds are slow, hence the margin.
constexpr double kStopBoundSeconds = 1.0 + 0.2 + 1.5;
// How much slower the sanitizer builds run the steps that cannot be cut short inside a 2^24
// frame (the library's conversion, one transform of the measurement core).
#if defined(__SANITIZE_THREAD__)
constexpr double kSlowdown = 12;
#elif defined(__SANITIZE_ADDRESS__)
constexpr double kSlowdown = 4;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr double kSlowdown = 12;
#elif __has_feature(address_sanitizer)
constexpr double kSlowdown = 4;
#else
constexpr double kSlowdown = 1;
#endif
#else
constexpr double kSlowdown = 1;
#endif

TEST_F(Acquisition, FftReadingsOfKnownSignals)
{
    // Channel 1 on the 2 V range with an AC precision of 4; channel 3 measures DC.
    setUpModule({{S::precisionKey(S::AcDiff, 2.0), "4"}, {S::precisionKey(S::PhDiff, 10.0), "1"}},
                {ChannelSetup{}, ChannelSetup{true, 0, 0, 1}, ChannelSetup{}, ChannelSetup{true, 0, 1, 0}});
    runFrames();
    EXPECT_EQ(thread()->SamplesPerChannel, 16384);
    EXPECT_EQ(form->AcquisitionTimeLMDLabel->text(), "139.8");
    EXPECT_EQ(form->StartMultimeterLMDSpeedButton->text(), "С   Т   О   П");
    EXPECT_EQ(form->StartMultimeterLMDSpeedButton->palette().color(QPalette::ButtonText), QColor(255, 0, 0));

    const double rms[3] = {1000 / std::sqrt(2.0), 500 / std::sqrt(2.0), 2000 / std::sqrt(2.0)};
    const double phase[3] = {0, 30, -100};  // against channel 0; channel 2 crosses -180
    for (int ch = 0; ch < 3; ++ch) {
        SCOPED_TRACE(ch);
        EXPECT_NEAR(value(ch, 1), rms[ch], 0.05);
        EXPECT_NEAR(value(ch, 2), kTone / 1000, 1e-5);
        EXPECT_NEAR(value(ch, 3), phase[ch], 0.11);
        EXPECT_EQ(textColour(ch, 1), QColor(0, 255, 0));
        EXPECT_EQ(form->Frames[ch]->Value2LabLMDLabel->text(), "Частота");
        EXPECT_EQ(form->Frames[ch]->Value3LabUnitLMDLabel->text(), "Град");
        EXPECT_EQ(decimals(ch, 1), ch == 1 ? 4 : 2);
        EXPECT_EQ(decimals(ch, 2), 5);
        EXPECT_EQ(decimals(ch, 3), ch == 1 ? 3 : 1);
    }
    EXPECT_EQ(box(0, 3)->text(), "0.0") << "the reference shows no shift";
    // DC keeps its sign; the other two boxes carry no number.
    EXPECT_NEAR(value(3, 1), -750.0, 0.05);
    EXPECT_EQ(decimals(3, 1), 2);
    EXPECT_TRUE(placeholder(3, 2) && placeholder(3, 3));
    EXPECT_FALSE(box(3, 2)->isEnabled());
    EXPECT_EQ(form->Frames[3]->Value1LabLMDLabel->text(), "Напряжение");
    EXPECT_EQ(form->Frames[3]->Value1LabUnitLMDLabel->text(), "мВ");
    EXPECT_TRUE(form->Frames[3]->Value2LabLMDLabel->text().isEmpty());
    // The LEDs go green after each frame's update.
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->Frames[0]->FlashLed->litColor() == kColorRed; }, 5000));
    EXPECT_FALSE(form->Frames[0]->FlashLed->isLit());

    form->StopThread();
    EXPECT_EQ(form->StartMultimeterLMDSpeedButton->text(), "С   Т   А   Р   Т");
    EXPECT_EQ(form->StartMultimeterLMDSpeedButton->palette().color(QPalette::ButtonText), QColor(0, 128, 0));
    EXPECT_FALSE(form->StartMultimeterLMDSpeedButton->isChecked());
    EXPECT_EQ(form->AcquisitionTimeLMDLabel->text(), "-----");
    EXPECT_EQ(form->MeasurementIdle, 1);
    EXPECT_NEAR(value(3, 1), -750.0, 0.05) << "the last frame's readings stay";

    // Peak amplitude, and another reference channel.
    form->AmplitudeType = "amp";
    form->ReferenceChannel = 1;
    runFrames();
    EXPECT_NEAR(value(0, 1), 1000.0, 0.05);
    EXPECT_NEAR(value(0, 3), -30.0, 0.11);
    EXPECT_EQ(box(1, 3)->text(), "0.000");
}

TEST_F(Acquisition, SumShowsOnlyTheVoltage)
{
    setUpModule({{S::kComputationMethod, "sum"}, {S::kMaxAcquisitionTime, "1"}},
                {ChannelSetup{}, ChannelSetup{false}, ChannelSetup{false}, ChannelSetup{true, 0, 1, 0}});
    runFrames();
    EXPECT_EQ(thread()->SamplesPerChannel, 117187);
    EXPECT_EQ(form->AcquisitionTimeLMDLabel->text(), "1000.0");
    EXPECT_NEAR(value(0, 1), 1000 / std::sqrt(2.0), 0.1);
    EXPECT_NEAR(value(3, 1), -750.0, 0.05);
    for (int ch : {0, 3}) {
        EXPECT_TRUE(placeholder(ch, 2) && placeholder(ch, 3));
        EXPECT_TRUE(form->Frames[ch]->Value3LabLMDLabel->text().isEmpty());
    }
    // Channels off in this run: disabled placeholders.
    EXPECT_TRUE(placeholder(1, 1) && !box(1, 1)->isEnabled());
}

TEST_F(Acquisition, FrameGeometryOfTheSettings)
{
    // "fft" with T = 1 s at 117187.5 Hz, one channel.
    setUpModule({{S::kMaxAcquisitionTime, "1"}},
                {ChannelSetup{}, ChannelSetup{false}, ChannelSetup{false}, ChannelSetup{false}});
    runFrames(1);
    EXPECT_EQ(thread()->SamplesPerChannel, 131072);
    EXPECT_EQ(thread()->RecvChunk, 11718);
    EXPECT_EQ(form->AcquisitionTimeLMDLabel->text(), "1118.5");
    form->StopThread();

    // A time that is no positive number gives the shortest frame the methods measure right,
    // and the time label shows its real length.
    setUpModule({{S::kMaxAcquisitionTime, "-1"}, {S::kReferenceChannel, "3"}},
                {ChannelSetup{false}, ChannelSetup{false}, ChannelSetup{false}, ChannelSetup{true, 0, 1, 0}});
    runFrames(1);
    EXPECT_EQ(thread()->SamplesPerChannel, kMinFrameSamples);
    EXPECT_EQ(thread()->RecvChunk, kMinFrameSamples);
    EXPECT_EQ(form->AcquisitionTimeLMDLabel->text(), "2.2");
    EXPECT_TRUE(std::isfinite(value(3, 1))) << "a number, not a division by zero";

    // The doubling stops at 2^24 samples over all channels.
    EXPECT_EQ(frameSamplesPerChannel("fft", 1000, kFs, 4), 1 << 20);
    EXPECT_EQ(frameSamplesPerChannel("fft", 1000, kFs, 3), 1 << 21);
    EXPECT_EQ(frameSamplesPerChannel("fft", 1000, kFs, 1), 1 << 24);
    EXPECT_EQ(frameSamplesPerChannel("fft", 1e-9, kFs, 1), kMinFrameSamples);
    for (double bad : {0.0, -2.0, std::nan(""), HUGE_VAL})
        for (const char* m : {"fft", "sum"})
            EXPECT_EQ(frameSamplesPerChannel(m, bad, kFs, 2), kMinFrameSamples) << m << " " << bad;
    EXPECT_EQ(frameSamplesPerChannel("sum", 1e-9, kFs, 1), kMinFrameSamples);
    EXPECT_EQ(frameSamplesPerChannel("sum", 0.003, kFs, 1), 351) << "longer than the shortest: as asked";
    EXPECT_EQ(frameSamplesPerChannel("sum", 1e300, kFs, 1), kMaxFrameSamples);
    EXPECT_DOUBLE_EQ(dataRateKBps(1, 2, kFs), 937.5);
}

TEST_F(Acquisition, BuffersThatCannotBeHeldAreNamed)
{
    const std::uint64_t GB = std::uint64_t(1) << 30;
    // M = 2^24, K = 1, "fft": 64 + 128 + 64 + 128 + 128 + 128 + 64 + 64 MiB and the spares.
    EXPECT_EQ(firstUnholdableBuffer(1 << 24, 1, 1, true, GB), -1);
    EXPECT_EQ(firstUnholdableBuffer(1 << 24, 1, 1, true, 100u << 20), 1);  // Data
    EXPECT_EQ(firstUnholdableBuffer(1 << 24, 1, 1, true, 760u << 20), 7);  // PhaseSpectr
    EXPECT_EQ(firstUnholdableBuffer(1 << 24, 1, 1, false, 700u << 20), -1);
    EXPECT_EQ(frameBufferNeeds(1 << 24, 1, 1, true)[5].name, std::string("FftAdcDataPerChannel"));
    // Word counts beyond the conversion call's 32 bits, and sizes that would wrap around.
    EXPECT_EQ(firstUnholdableBuffer(std::int64_t(1) << 30, 1, 2, false, ~std::uint64_t(0)), 0);
    EXPECT_EQ(frameBufferNeeds(kMaxFrameSamples, 4, 2, true)[0].bytes, ~std::uint64_t(0));

    // A hand-edited acquisition time ends the run with the message, nothing crashes.
    for (const char* t : {"1e9", "100000"}) {
        setUpModule({{S::kComputationMethod, "sum"}, {S::kMaxAcquisitionTime, t}},
                    {ChannelSetup{}, ChannelSetup{false}, ChannelSetup{false}, ChannelSetup{false}});
        runExpectingMessage("Не могу выделить память под RcvBuffer!");
    }
}

TEST_F(Acquisition, OverloadInBothDataFormats)
{
    // 24-bit data carry the converter's overload status.
    sim::ModuleFaults faults;
    faults.overloadMask = 0x2;  // channel 1
    ASSERT_TRUE(server->setModuleFaults("TEST-10", 3, faults));
    setUpModule({{S::kDataFormat, "1"}}, {ChannelSetup{}, ChannelSetup{}, ChannelSetup{false}, ChannelSetup{false}});
    runFrames();
    EXPECT_EQ(box(1, 1)->text(), "OVERLOAD!");
    EXPECT_EQ(textColour(1, 1), QColor(255, 0, 0));
    EXPECT_TRUE(placeholder(1, 2) && placeholder(1, 3));
    EXPECT_FALSE(box(1, 2)->isEnabled() || box(1, 3)->isEnabled());
    EXPECT_EQ(form->Frames[1]->Value2LabLMDLabel->text(), "Частота");
    EXPECT_NEAR(value(0, 1), 1000 / std::sqrt(2.0), 0.05) << "the other channel measures on";
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->Frames[1]->FlashLed->isLit(); }, 5000));
    EXPECT_EQ(form->Frames[1]->FlashLed->litColor(), kColorRed);
    form->StopThread();

    // 20-bit words carry no status: a 3 V sine clipped by the 2 V range is found from its
    // codes, with either method, while a 1.9 V sine on the same range measures as usual.
    for (const char* method : {"fft", "sum"}) {
        SCOPED_TRACE(method);
        setUpModule({{S::kComputationMethod, method}},
                    {ChannelSetup{true, 0, 0}, ChannelSetup{true, 0, 0}, ChannelSetup{false}, ChannelSetup{false}}, "TEST-10",
                    4);
        runFrames();
        EXPECT_EQ(box(0, 1)->text(), "OVERLOAD!");
        EXPECT_EQ(textColour(0, 1), QColor(255, 0, 0));
        EXPECT_TRUE(placeholder(0, 2) && placeholder(0, 3));
        EXPECT_NEAR(value(1, 1), 1900 / std::sqrt(2.0), 0.1);
        EXPECT_EQ(textColour(1, 1), QColor(0, 255, 0));
        ASSERT_TRUE(QTest::qWaitFor([&] { return form->Frames[0]->FlashLed->isLit(); }, 5000));
        EXPECT_EQ(form->Frames[0]->FlashLed->litColor(), kColorRed);
        EXPECT_FALSE(form->Frames[1]->FlashLed->isLit() && form->Frames[1]->FlashLed->litColor() == kColorRed);
        form->StopThread();
    }
    // The same 3 V sine on the 10 V range is no overload.
    setUpModule({}, {ChannelSetup{true, 0, 1}, ChannelSetup{false}, ChannelSetup{false}, ChannelSetup{false}}, "TEST-10", 4);
    runFrames();
    EXPECT_NEAR(value(0, 1), 3000 / std::sqrt(2.0), 0.1);
}

// The ICP inputs lag by their table's phase; with the phase filter the readings are those of
// the true signal across the band: amplitude within 0.01 % and phase difference within 0.01
// degree for tones from 0.05 to 0.45 of the conversion rate, at the fastest, a middle and the
// slowest rate (the 1 V ICP range, tones on a spectral line). A tone above 0.45 of the rate
// keeps its numbers but is shown as uncertain, with the reason in the LED's hint.
TEST_F(Acquisition, IcpPhaseCorrectionAcrossTheBand)
{
    struct Rate {
        int listIndex;
        double hz;
        const char* seconds;  // acquisition time for M samples
        int M;
    };
    const Rate rates[] = {{15, 117187.5, "0.1", 16384}, {12, 39062.5, "0.1", 4096}, {0, 610.3515625, "1", 1024}};
    const double phases[4] = {0, 30, -60, 90};
    const double amplitude = 0.9;
    for (const Rate& rate : rates) {
        for (double share : {0.05, 0.1, 0.2, 0.3, 0.4, 0.44, 0.45, 0.48}) {
            const double tone = std::floor(share * rate.M) * rate.hz / rate.M;
            SCOPED_TRACE(testing::Message() << rate.hz << " Hz, tone " << tone << " Hz");
            std::string rig = "crate ICP-10 type 10\n  slot 1 qmx58 ICP58-0001 icp yes\n"
                              "    icp-phase 1000 0.35 0.42 0.28 5.0\n";
            for (int c = 0; c < 4; ++c)
                rig += "    channel " + std::to_string(c) + " sine 0.9 " + QString::number(tone, 'g', 17).toStdString() + " " +
                       std::to_string(static_cast<int>(phases[c])) + "\n";
            ASSERT_TRUE(server.start(rig));
            // At the middle rate the channels are set to ICP one by one and the common selector
            // stays blank: the first frame is corrected all the same.
            const bool perChannel = rate.listIndex == 12;
            const ChannelSetup icp = perChannel ? ChannelSetup{true, 2, 0, 1} : ChannelSetup{};
            setUpModule({{S::kAdcRate, std::to_string(rate.listIndex)},
                         {S::kMaxAcquisitionTime, rate.seconds},
                         {S::kGroupConnectionMode, perChannel ? "-1" : "2"},
                         {S::kGroupIcpRange, perChannel ? "-1" : "0"}},
                        {icp, icp, icp, icp}, "ICP-10", 1);
            ASSERT_TRUE(form->PhaseCorrectionFilterMultimeterLMDCheckBox->isChecked());
            runFrames(1);
            ASSERT_EQ(thread()->SamplesPerChannel, rate.M);
            const FrameResults r = thread()->Results;
            const bool beyond = share > kIcpAccurateBand;
            for (int c = 0; c < 4; ++c)
                EXPECT_EQ(form->Frames[static_cast<std::size_t>(c)]->FlashLed->toolTip().contains("ICP"), beyond) << c;
            form->StopThread();
            if (beyond)
                continue;
            for (int c = 0; c < 4; ++c) {
                SCOPED_TRACE(c);
                EXPECT_LE(std::abs(r.AcValue[c] / (amplitude / std::sqrt(2.0)) - 1), 1e-4);
                EXPECT_NEAR(r.Frequency[c], tone, 1e-6 * tone);
                EXPECT_NEAR(correctPhaseOnce(r.Phase[0] - r.Phase[c]), phases[c], 0.01);
            }
        }
    }
}

// Readings the method cannot make, through the window: a DC level with a little noise measured
// as AC shows its value with no frequency or phase; a tone within the window's main lobe of
// DC and a tone with a second one three bins away keep their numbers with an amber LED whose
// hint says why; a channel at another frequency than the reference has no phase; a
// noise-only reference leaves every channel without a phase.
TEST_F(Acquisition, ReadingsOutsideTheMethodsDomainAreFlagged)
{
    const std::string rig = "crate EDGE-10 type 10\n  slot 1 qmx58 E58-0001 icp no\n"
                            "    channel 0 sine 1.0 1001.3580322265625 0\n"
                            "    channel 1 dc 0.5 noise 0.0002\n"
                            "    channel 2 sine 0.5 " + QString::number(5.1 * kFs / 16384, 'g', 17).toStdString() + " 0\n"
                            "    channel 3 sine 0.5 1001.3580322265625 0 sine 0.1 " +
                            QString::number(143 * kFs / 16384, 'g', 17).toStdString() + " 0\n";
    ASSERT_TRUE(server.start(rig));
    for (const char* reference : {"0", "1"}) {
        SCOPED_TRACE(reference);
        setUpModule({{S::kReferenceChannel, reference}}, {ChannelSetup{}, ChannelSetup{}, ChannelSetup{}, ChannelSetup{}},
                    "EDGE-10", 1);
        runFrames(1);
        ASSERT_TRUE(QTest::qWaitFor([&] { return form->Frames[2]->FlashLed->isLit(); }, 5000)) << "the LED update";
        const auto led = [&](int ch) { return form->Frames[static_cast<std::size_t>(ch)]->FlashLed; };
        // The DC level: a value, nothing else, and no amber.
        EXPECT_FALSE(box(1, 1)->text().isEmpty() || placeholder(1, 1));
        EXPECT_TRUE(placeholder(1, 2) && placeholder(1, 3));
        EXPECT_TRUE(led(1)->toolTip().contains("нет сигнала")) << led(1)->toolTip().toStdString();
        EXPECT_NE(led(1)->litColor(), kColorOrange);
        // The doubtful tones: numbers kept, amber, the reason in the hint.
        for (int ch : {2, 3}) {
            EXPECT_TRUE(std::isfinite(value(ch, 1)) && std::isfinite(value(ch, 2))) << ch;
            EXPECT_EQ(led(ch)->litColor(), kColorOrange) << ch;
            EXPECT_TRUE(led(ch)->isLit()) << ch;
        }
        EXPECT_TRUE(led(2)->toolTip().contains("нулевой частоте")) << led(2)->toolTip().toStdString();
        EXPECT_TRUE(led(3)->toolTip().contains("второй тон")) << led(3)->toolTip().toStdString();
        EXPECT_TRUE(placeholder(2, 3)) << "36 Hz against 1 kHz: no phase";
        if (std::string(reference) == "0") {
            EXPECT_EQ(box(0, 3)->text(), "0.000");
            EXPECT_FALSE(placeholder(3, 3)) << "same frequency as the reference";
        } else {
            for (int ch : {0, 2, 3})
                EXPECT_TRUE(placeholder(ch, 3)) << ch << ": no phase against noise";
        }
        form->StopThread();
    }
}

// A phase difference needs the reference's phase: with the reference overloaded or measuring
// DC, the other channels show the placeholder instead of a number against nothing.
TEST_F(Acquisition, PhaseOnlyAgainstAMeasuredReference)
{
    const std::array<ChannelSetup, 4> ch{ChannelSetup{true, 0, 0}, ChannelSetup{true, 0, 0}, ChannelSetup{true, 0, 1},
                                         ChannelSetup{true, 0, 1, 0}};
    setUpModule({{S::kReferenceChannel, "0"}}, ch, "TEST-10", 4);
    runFrames();
    EXPECT_EQ(box(0, 1)->text(), "OVERLOAD!");
    for (int c : {1, 2}) {
        EXPECT_TRUE(placeholder(c, 3)) << c << ": " << box(c, 3)->text().toStdString();
        EXPECT_NEAR(value(c, 2), kTone / 1000, 1e-5) << "frequency stays";
    }
    form->StopThread();

    setUpModule({{S::kReferenceChannel, "3"}}, ch, "TEST-10", 4);
    runFrames();
    EXPECT_TRUE(placeholder(1, 3) && placeholder(2, 3));
    form->StopThread();

    setUpModule({{S::kReferenceChannel, "2"}}, ch, "TEST-10", 4);
    runFrames();
    EXPECT_NEAR(value(1, 3), 40.0, 0.11);
    EXPECT_EQ(value(2, 3), 0.0);
}

TEST_F(Acquisition, DataRateLimitOfTheCrate)
{
    // The module would refuse its configuration: the rate check must come first.
    sim::ModuleFaults faults;
    faults.failSetAdc = true;
    ASSERT_TRUE(server->setModuleFaults("TEST-21", 1, faults));
    setUpModule({}, {ChannelSetup{}, ChannelSetup{}, ChannelSetup{false}, ChannelSetup{false}}, "TEST-21", 1, 21);
    runExpectingMessage("При выбранных параметрах сбора данных скорость передачи этой информации модулем QMX58 составляет "
                        "937.5 Кбайт/с, что превышает маскимально допустимую для крейта QMX-A1 величину 800.0 Кбайт/с !!! "
                        "\nРекомендуется либо снизить частоту преобразования АЦП, либо уменьшить кол-во активных каналов, "
                        "либо сократить разрядность данных!!!");
    // One channel fits, and then the refused configuration is reported.
    setUpModule({}, {ChannelSetup{}, ChannelSetup{false}, ChannelSetup{false}, ChannelSetup{false}}, "TEST-21", 1, 21);
    runExpectingMessage("QMX58_SetADC() --> BAD!!!");
}

TEST_F(Acquisition, TwoChannelsAtFullRateRunOnOtherCrates)
{
    setUpModule({}, {ChannelSetup{}, ChannelSetup{}, ChannelSetup{false}, ChannelSetup{false}});
    runFrames();
    EXPECT_EQ(thread()->CrateName, "QMX-A8");
}

TEST_F(Acquisition, ConfigurationRefusals)
{
    setUpModule({}, {ChannelSetup{false}, ChannelSetup{false}, ChannelSetup{false}, ChannelSetup{false}});
    runExpectingMessage("Необходимо выбрать не менне одного активного канала!");
    setUpModule({{S::kReferenceChannel, "2"}}, {ChannelSetup{}, ChannelSetup{}, ChannelSetup{false}, ChannelSetup{}});
    runExpectingMessage("Опорный канал сдвига фаз не является активным!!!");
    setUpModule({{S::kReferenceChannel, "7"}}, {ChannelSetup{}, ChannelSetup{}, ChannelSetup{}, ChannelSetup{}});
    runExpectingMessage("Опорный канал сдвига фаз не является активным!!!");
    // Selectors left without a choice by the file are refused, never measured as their first item.
    setUpModule({{S::kDataFormat, "5"}}, {ChannelSetup{}, ChannelSetup{false}, ChannelSetup{false}, ChannelSetup{false}});
    runExpectingMessage("Не выбран формат данных АЦП!");
    setUpModule({}, {ChannelSetup{}, ChannelSetup{true, 0, -1}, ChannelSetup{false}, ChannelSetup{false}});
    runExpectingMessage("Не выбран входной диапазон канала 2!");
    setUpModule({}, {ChannelSetup{}, ChannelSetup{false}, ChannelSetup{false, 0, -1}, ChannelSetup{true, 7}});
    runExpectingMessage("Не выбран режим подключения входа канала 4!");
    setUpModule({{S::kCurrentSource, "9"}}, {ChannelSetup{true, 2, 0}, ChannelSetup{false}, ChannelSetup{false}, ChannelSetup{false}});
    runExpectingMessage("Не выбран ток питания ICP датчиков!");
    setUpModule({{S::kAdcRate, "-1"}}, {ChannelSetup{}, ChannelSetup{false}, ChannelSetup{false}, ChannelSetup{false}});
    runExpectingMessage("Не выбрана частота преобразования АЦП!");
}

// A module that stops answering after it was opened: START configures it on the acquisition
// thread, so the window serves its events through the library's time-out, and the run ends
// with the configuration's message.
TEST_F(Acquisition, StartAgainstAMuteModuleKeepsTheWindowServing)
{
    setUpModule({}, {ChannelSetup{}, ChannelSetup{false}, ChannelSetup{false}, ChannelSetup{false}});
    sim::ModuleFaults mute;
    mute.mute = true;
    ASSERT_TRUE(server->setModuleFaults("TEST-10", 3, mute));
    int ticks = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] { ++ticks; });
    tick.start(10);
    form->StartThread();
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialogs.count() > 0; }, 20000));
    const int ticksAtMessage = ticks;
    EXPECT_EQ(dialogs.shown[0].text, "QMX58_SetADC() --> BAD!!!");
    // The library waits 3 s for its answer: a window thread held by it would have served
    // a handful of ticks before the call and none during it.
    EXPECT_GE(ticksAtMessage, 100);
    ASSERT_TRUE(server->setModuleFaults("TEST-10", 3, sim::ModuleFaults{}));
    form->StopThread();
}

TEST_F(Acquisition, ModuleFaultsEndTheRunWithOneMessage)
{
    const std::array<ChannelSetup, 4> one{ChannelSetup{}, ChannelSetup{false}, ChannelSetup{false}, ChannelSetup{false}};
    struct Case {
        sim::ModuleFaults faults;
        QString text;
    };
    std::vector<Case> cases(4);
    cases[0].faults.shortWords = 5000;
    cases[0].text = "Принято неправильное кол-во данных с модуля!";
    cases[1].faults.stall = true;
    cases[1].text = "Не принято ни одного отсчёта с модуля!";
    cases[2].faults.corruptEvery = 1000;
    cases[2].text = "Не могу обработать полученные данные с модуля!";
    cases[3].faults.failStart = true;
    cases[3].text = "Не могу выполнить запуск сбора кадра данных!!!";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        ASSERT_TRUE(server->setModuleFaults("TEST-10", 3, c.faults));
        setUpModule({}, one);
        QElapsedTimer t;
        t.start();
        runExpectingMessage(c.text);
        if (c.faults.stall) {
            EXPECT_GE(t.elapsed(), 4900) << "the receive waits out its time-out";
        }
    }
}

TEST_F(Acquisition, ChannelUncheckedDuringTheRun)
{
    setUpModule({}, {ChannelSetup{}, ChannelSetup{}, ChannelSetup{false}, ChannelSetup{false}});
    runFrames();
    // Unchecked behind the handlers' back, so the run goes on acquiring the channel.
    form->UpdateGuard = 1;
    form->Frames[1]->ChannelNumberLMDCheckBox->setChecked(false);
    form->UpdateGuard = 0;
    const long seen = frames();
    ASSERT_TRUE(QTest::qWaitFor([&] { return frames() >= seen + 2; }, 20000));
    for (int n = 1; n <= 3; ++n)
        EXPECT_TRUE(placeholder(1, n));
    EXPECT_TRUE(form->Frames[1]->Value1LabLMDLabel->text().isEmpty());
    EXPECT_TRUE(form->Frames[1]->Value3LabUnitLMDLabel->text().isEmpty());
    EXPECT_EQ(form->Frames[1]->FlashLed->litColor(), kColorButtonFace);
    value(0, 1);
}

TEST_F(Acquisition, StoppingIsBounded)
{
    setUpModule({}, {ChannelSetup{}, ChannelSetup{}, ChannelSetup{}, ChannelSetup{}});
    QToolButton* start = form->StartMultimeterLMDSpeedButton;
    auto pressStart = [&] {
        start->click();
        ASSERT_NE(thread(), nullptr);
        ASSERT_TRUE(QTest::qWaitFor([&] { return frames() >= 1; }, 20000));
    };
    pressStart();
    EXPECT_LT(stoppingSeconds([&] { start->click(); }), kStopBoundSeconds) << "START released";
    pressStart();
    EXPECT_LT(stoppingSeconds([&] { form->ApplicationShortCut(Qt::Key_Escape); }), kStopBoundSeconds) << "Escape";
    pressStart();
    EXPECT_LT(stoppingSeconds([&] { form->Frames[3]->ChannelNumberLMDCheckBox->click(); }), kStopBoundSeconds)
        << "a channel switched off";

    // In the middle of a 2^24-sample frame, and while the server sends nothing.
    setUpModule({{S::kMaxAcquisitionTime, "1000"}},
                {ChannelSetup{}, ChannelSetup{false}, ChannelSetup{false}, ChannelSetup{false}});
    runFrames(1, static_cast<int>(30000 * kSlowdown));
    EXPECT_EQ(thread()->SamplesPerChannel, 1 << 24);
    QTest::qWait(300);
    EXPECT_LT(stoppingSeconds([&] { form->StopThread(); }), kStopBoundSeconds * kSlowdown) << "2^24 samples";
    EXPECT_TRUE(dialogs.shown.empty());

    sim::ModuleFaults stall;
    stall.stall = true;
    ASSERT_TRUE(server->setModuleFaults("TEST-10", 3, stall));
    setUpModule({}, {ChannelSetup{}, ChannelSetup{false}, ChannelSetup{false}, ChannelSetup{false}});
    form->StartThread();
    QTest::qWait(1000);
    EXPECT_LT(stoppingSeconds([&] { form->StopThread(); }), kStopBoundSeconds) << "stalled server";
    EXPECT_TRUE(dialogs.shown.empty());
    EXPECT_EQ(form->MeasurementIdle, 1);

    // The window is still usable: a new run measures, and closing the window ends it.
    ASSERT_TRUE(server->setModuleFaults("TEST-10", 3, sim::ModuleFaults{}));
    setUpModule({}, {ChannelSetup{}, ChannelSetup{false}, ChannelSetup{false}, ChannelSetup{false}});
    runFrames(1);
    form->show();
    EXPECT_LT(stoppingSeconds([&] { form->close(); }), kStopBoundSeconds) << "closing the window";
    EXPECT_FALSE(form->isVisible());
}

}  // namespace
