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
    auto rows = frameRows(s, r);
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
    rows = frameRows(s, r);
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
    EXPECT_FALSE(frameRows(s, r)[1].phaseDegrees);
    frame(s, r);
    s.ComputationMethod = "sum";
    rows = frameRows(s, r);
    EXPECT_TRUE(rows[1].valueMilliVolts);
    EXPECT_FALSE(rows[1].frequencyKiloHertz || rows[1].phaseDegrees);

    // A spectrum without a peak, or a value that is no number, measured nothing.
    frame(s, r);
    r.AcValue[1] = 0;
    r.DcValue[2] = std::numeric_limits<double>::quiet_NaN();
    rows = frameRows(s, r);
    EXPECT_EQ(rows[1].status, ChannelStatus::NoSignal);
    EXPECT_EQ(rows[2].status, ChannelStatus::NoSignal);
    EXPECT_FALSE(rows[1].valueMilliVolts || rows[1].frequencyKiloHertz || rows[1].phaseDegrees);
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
