// The readings writer on frames made up here, for what a run against the simulated server
// does not reach: the rows of a phase that wraps, of a DC reference, of a channel without a
// signal; the number form in any locale; a write failure returned instead of thrown.

#include "ReadingsWriter.h"

#include <QFile>

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>

namespace {

using namespace qmx;

// Four active channels: 1 AC, 2 AC, 3 DC, 4 AC; "fft"; reference channel 1.
void frame(RunSettings& s, FrameResults& r)
{
    s = RunSettings{};
    r = FrameResults{};
    r.SampleRate = 100000.0;
    r.SamplesPerChannel = 1000;  // bins of 100 Hz: the four tones agree
    s.ComputationMethod = "fft";
    s.ReferenceChannel = 0;
    for (std::size_t ch = 0; ch < 4; ++ch) {
        s.Channels[ch].ChannelMode = ch == 2 ? 0 : 1;
        r.ChannelActive[ch] = true;
        r.AcValue[ch] = 0.5 * static_cast<double>(ch + 1);
        r.Frequency[ch] = 1000.0 + static_cast<double>(ch);
        r.Phase[ch] = -170.0 + 100.0 * static_cast<double>(ch);
    }
    r.DcValue[2] = -0.75;
}

TEST(ReadingsRows, FollowTheWindowsRules)
{
    RunSettings s;
    FrameResults r;
    frame(s, r);
    auto rows = decideReadings(s, r);
    EXPECT_EQ(rows[0].status, ChannelStatus::Ok);
    EXPECT_EQ(*rows[0].valueMilliVolts, 500.0);
    EXPECT_EQ(*rows[0].frequencyKiloHertz, 1.0);
    EXPECT_EQ(*rows[0].phaseDegrees, 0.0);
    EXPECT_EQ(*rows[1].phaseDegrees, -100.0);
    EXPECT_EQ(*rows[3].phaseDegrees, 60.0) << "-170 - 130 = -300, corrected once";
    EXPECT_STREQ(rows[2].mode, "dc");
    EXPECT_EQ(*rows[2].valueMilliVolts, -750.0);
    EXPECT_FALSE(rows[2].frequencyKiloHertz || rows[2].phaseDegrees);

    // An overloaded reference leaves every other channel without a phase, but not itself
    // without its status; an inactive channel is "off".
    r.OverloadFlags[0] = true;
    r.ChannelActive[1] = false;
    rows = decideReadings(s, r);
    EXPECT_EQ(rows[0].status, ChannelStatus::Overload);
    EXPECT_STREQ(rows[0].mode, "ac");
    EXPECT_FALSE(rows[0].valueMilliVolts || rows[0].frequencyKiloHertz || rows[0].phaseDegrees);
    EXPECT_EQ(rows[1].status, ChannelStatus::Off);
    EXPECT_STREQ(rows[1].mode, "");
    EXPECT_TRUE(rows[3].frequencyKiloHertz);
    EXPECT_FALSE(rows[3].phaseDegrees);

    // A DC reference has no phase either; "sum" has neither frequency nor phase.
    frame(s, r);
    s.Channels[0].ChannelMode = 0;
    EXPECT_FALSE(decideReadings(s, r)[1].phaseDegrees);
    frame(s, r);
    s.ComputationMethod = "sum";
    rows = decideReadings(s, r);
    EXPECT_TRUE(rows[1].valueMilliVolts);
    EXPECT_FALSE(rows[1].frequencyKiloHertz || rows[1].phaseDegrees);

    // A spectrum of zeros keeps its value but has neither frequency nor phase; a value that is
    // no number measured nothing.
    frame(s, r);
    r.AcValue[1] = 0;
    r.Silent[1] = true;
    r.Tone[1] = false;
    r.DcValue[2] = std::numeric_limits<double>::quiet_NaN();
    rows = decideReadings(s, r);
    EXPECT_EQ(rows[1].status, ChannelStatus::NoSignal);
    EXPECT_EQ(rows[2].status, ChannelStatus::NoSignal);
    EXPECT_EQ(rows[1].valueMilliVolts, 0.0);
    EXPECT_FALSE(rows[1].frequencyKiloHertz || rows[1].phaseDegrees);
    EXPECT_FALSE(rows[2].valueMilliVolts);
}

// Noise, doubtful tones and phases: only what the frame truly measured is given, and an
// uncertain reading keeps its numbers with the reason.
TEST(ReadingsRows, NoToneUncertainAndPhaseAgreement)
{
    RunSettings s;
    FrameResults r;
    frame(s, r);
    r.SampleRate = 1000.0;
    r.SamplesPerChannel = 1000;  // one bin is 1 Hz: channels 1..4 are at 1000..1003 Hz

    // Channel 2 lies two bins from the reference: no phase. Noise only on the reference:
    // nobody gets a phase, and the reference itself has no frequency.
    auto rows = decideReadings(s, r);
    EXPECT_TRUE(rows[1].phaseDegrees) << "1 Hz apart: within one bin";
    EXPECT_FALSE(rows[2].phaseDegrees) << "DC";
    EXPECT_FALSE(rows[3].phaseDegrees) << "3 Hz apart";
    EXPECT_TRUE(rows[3].why.contains("бин"));
    EXPECT_EQ(rows[3].status, ChannelStatus::Ok);
    r.Tone[0] = false;
    rows = decideReadings(s, r);
    EXPECT_EQ(rows[0].status, ChannelStatus::NoSignal);
    EXPECT_EQ(*rows[0].valueMilliVolts, 500.0);
    EXPECT_FALSE(rows[0].frequencyKiloHertz || rows[0].phaseDegrees);
    EXPECT_FALSE(rows[1].phaseDegrees);
    EXPECT_TRUE(rows[1].frequencyKiloHertz);

    // A doubt makes the channel uncertain with its values; against an uncertain reference the
    // phase is uncertain too, and so is an ICP tone above 0.45 of the rate.
    frame(s, r);
    r.SampleRate = 1000.0;
    r.SamplesPerChannel = 1000;
    r.Frequency = {1000.0, 1000.5, 0.0, 1000.2};
    r.Doubts[0] = qmx::kDoubtSecondTone;
    rows = decideReadings(s, r);
    EXPECT_EQ(rows[0].status, ChannelStatus::Uncertain);
    EXPECT_TRUE(rows[0].valueMilliVolts && rows[0].frequencyKiloHertz && rows[0].phaseDegrees);
    EXPECT_EQ(rows[1].status, ChannelStatus::Uncertain);
    EXPECT_TRUE(rows[1].why.contains("опорного"));
    EXPECT_EQ(rows[2].status, ChannelStatus::Ok) << "a DC channel has no phase to doubt";
    r.Doubts[0] = 0;
    s.Channels[3].InputMode = 2;
    r.Frequency[3] = 451.0;
    r.Frequency[0] = 451.0;
    EXPECT_EQ(decideReadings(s, r)[3].status, ChannelStatus::Uncertain) << "451 Hz > 0.45 * 1000 Hz";
    r.Frequency[3] = 449.0;
    r.Frequency[0] = 449.0;
    EXPECT_EQ(decideReadings(s, r)[3].status, ChannelStatus::Ok);
    EXPECT_STREQ(statusText(ChannelStatus::Uncertain), "uncertain");
    EXPECT_STREQ(statusText(ChannelStatus::NoSignal), "no-signal");
}

TEST(ReadingsNumbers, RoundTripWithADotInAnyLocale)
{
    const char* old = std::setlocale(LC_ALL, nullptr);
    const std::string saved = old ? old : "C";
    std::setlocale(LC_ALL, "ru_RU.UTF-8");  // a decimal comma where installed
    for (double v : {0.1, 1.0 / 3.0, -707.1067811865476, 6.02214076e23, 5e-324, 123456789.0})
        EXPECT_EQ(numberText(v).toDouble(), v) << numberText(v).toStdString();
    EXPECT_EQ(numberText(0.1), "0.1");
    EXPECT_EQ(numberText(-750), "-750");
    EXPECT_TRUE(numberText(std::nan("")).isEmpty());
    EXPECT_TRUE(numberText(HUGE_VAL).isEmpty());
    std::setlocale(LC_ALL, saved.c_str());
    EXPECT_EQ(utcText(QDateTime(QDate(2026, 12, 8), QTime(23, 59, 1, 123), Qt::UTC)), "2026-12-08T23:59:01.123Z");
}

TEST(ReadingsWriterOutput, AFullDeviceIsReportedNotThrown)
{
    QFile full("/dev/full");
    if (!full.open(QIODevice::WriteOnly))
        GTEST_SKIP() << "no /dev/full";
    RunSettings s;
    FrameResults r;
    frame(s, r);
    ReadingsWriter w(full, ReadingsFormat::Csv);
    EXPECT_FALSE(w.writeFrame(QDateTime::currentDateTimeUtc(), 1, s, r));
    EXPECT_FALSE(w.errorString().isEmpty());
}

}  // namespace
