// ChannelMeasurement: the readings of both methods on signals with known answers, and the
// ways a frame is abandoned.

#include "ChannelMeasurement.h"
#include "SignalMaker.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

using qmx::ChannelMeasurement;
using qmx::ChannelReadings;
using qmxtest::makeSignal;

constexpr double kFs = 117187.5;
const std::string kNoSignal = "Опаньки!!! Судя по всему на вход модуля не был подан сигнал!!!";

struct Result {
    bool ok;
    ChannelReadings r;
    std::string message;
};

Result run(ChannelMeasurement& m, std::vector<double> x, int mode)
{
    Result res;
    res.ok = m.measure(x.data(), mode, res.r, res.message);
    return res;
}

TEST(ChannelMeasurementFft, DcOfAConstantKeepsItsSign)
{
    for (long M : {16L, 1024L, 1L << 16}) {
        ChannelMeasurement m(M, "fft", "rms", kFs, nullptr);
        ASSERT_TRUE(m.ready());
        for (double c : {1.5, -0.002, 0.0}) {
            const Result res = run(m, std::vector<double>(M + 16, c), 0);
            ASSERT_TRUE(res.ok);
            EXPECT_NEAR(res.r.DcValue, c, 1e-13 + 1e-12 * std::fabs(c)) << "M " << M;
            EXPECT_EQ(res.r.AcValue, 0.0);
            EXPECT_EQ(res.r.Frequency, 0.0);
        }
    }
}

// A tone at an exact bin k0 well inside the spectrum: RMS or peak amplitude, the bin's
// frequency, and minus the cosine's phase.
TEST(ChannelMeasurementFft, AcOfAToneAtAnExactBin)
{
    const long M = 1L << 14;
    ChannelMeasurement rms(M, "fft", "rms", kFs, nullptr);
    ChannelMeasurement amp(M, "fft", "amp", kFs, nullptr);
    ChannelMeasurement other(M, "fft", "peak", kFs, nullptr);
    for (long k0 : {11L, 140L, 3000L, M / 2 - 6}) {
        for (double theta : {0.0, 30.0, -135.0, 179.0}) {
            const double a = 0.8;
            const auto x = makeSignal(M, kFs, 0.0, {a, k0 * kFs / M, theta});
            const Result r = run(rms, x, 1), p = run(amp, x, 1), o = run(other, x, 1);
            ASSERT_TRUE(r.ok && p.ok && o.ok) << r.message;
            EXPECT_NEAR(r.r.AcValue, a / std::sqrt(2.0), 1e-12);
            EXPECT_NEAR(p.r.AcValue, a, 1e-12);
            EXPECT_EQ(o.r.AcValue, p.r.AcValue) << "any text but \"rms\" selects the peak";
            EXPECT_NEAR(r.r.Frequency, k0 * kFs / M, 1e-9);
            EXPECT_NEAR(r.r.Phase, -theta, 1e-8) << "k0 " << k0 << " theta " << theta;
            EXPECT_EQ(r.r.DcValue, 0.0);
        }
    }
}

TEST(ChannelMeasurementSum, DcAndAcOfSimpleSignals)
{
    const long M = 117187;  // one second at 117187.5 Hz: not a power of two
    ChannelMeasurement rms(M, "sum", "rms", kFs, nullptr);
    ChannelMeasurement amp(M, "sum", "amp", kFs, nullptr);
    ASSERT_TRUE(rms.ready());
    EXPECT_DOUBLE_EQ(rms.windowSum(), M * 0.3232153788877343);

    const std::vector<double> flat(M + 16, -2.25);
    EXPECT_NEAR(run(rms, flat, 0).r.DcValue, -2.25, 1e-13);
    EXPECT_LE(run(rms, flat, 1).r.AcValue, 1e-14);

    // 1 kHz: not a whole number of periods in the frame, but the window's leakage is tiny.
    const auto x = makeSignal(M, kFs, 0.1, {1.0, 1000.0, 10.0});
    const Result r = run(rms, x, 1), p = run(amp, x, 1), d = run(rms, x, 0);
    EXPECT_NEAR(r.r.AcValue, 1.0 / std::sqrt(2.0), 1e-6);
    EXPECT_NEAR(p.r.AcValue, 1.0, 2e-6);
    EXPECT_NEAR(d.r.DcValue, 0.1, 1e-6);
    EXPECT_EQ(r.r.Frequency, 0.0) << "the sum method has no frequency";
    EXPECT_EQ(r.r.Phase, 0.0);

    ChannelMeasurement unknown(64, "FFT", "rms", kFs, nullptr);
    EXPECT_FALSE(unknown.isFft()) << "method texts other than \"fft\" mean \"sum\"";
}

// Frames too short for the peak search (M/2 <= s) have no peak, and a zero input has no
// energy around its "peak": an AC channel reports a silent input and the frame stands, the
// caller decides what silence means for the run.
TEST(ChannelMeasurementFft, NoPeakOrZeroInputIsSilent)
{
    for (long M : {1L, 2L, 4L, 8L}) {
        ChannelMeasurement m(M, "fft", "rms", kFs, nullptr);
        ASSERT_TRUE(m.ready()) << M;
        const Result r = run(m, makeSignal(M, kFs, 0.0, {1.0, kFs / 4, 0.0}), 1);
        EXPECT_TRUE(r.ok);
        EXPECT_TRUE(r.message.empty());
        EXPECT_TRUE(r.r.Silent);
        EXPECT_FALSE(r.r.Tone);
        EXPECT_EQ(r.r.AcValue, 0.0);
        // DC still works on a tiny frame: the bins past M/2 read the zero spares.
        const Result d = run(m, std::vector<double>(M + 16, 0.5), 0);
        EXPECT_TRUE(d.ok);
        EXPECT_TRUE(std::isfinite(d.r.DcValue));
        EXPECT_TRUE(d.r.Tone) << "DC readings are never judged";
    }
    ChannelMeasurement m(4096, "fft", "rms", kFs, nullptr);
    const Result z = run(m, std::vector<double>(4096 + 16, 0.0), 1);
    EXPECT_TRUE(z.ok);
    EXPECT_TRUE(z.message.empty());
    EXPECT_TRUE(z.r.Silent);
    EXPECT_FALSE(z.r.Tone);
    EXPECT_EQ(z.r.AcValue + z.r.Frequency + z.r.Phase, 0.0);
    EXPECT_EQ(std::string(ChannelMeasurement::kNoSignalMessage), kNoSignal) << "the caller's text";
}

// Tones at and next to the top of the spectrum: bins at or above M/2 never enter the sums,
// so the readings stay finite and the frequency below Fs/2; the phase array beyond M/2 stays
// zero whatever a frame did.
TEST(ChannelMeasurementFft, PeakAtTheTopBins)
{
    const long M = 1024;
    ChannelMeasurement m(M, "fft", "rms", kFs, nullptr);
    for (double bin : {M / 2 - 1.0, M / 2 - 1.25, M / 2 - 1.5, M / 2 - 2.0, M / 2 - 0.5}) {
        const Result r = run(m, makeSignal(M, kFs, 0.0, {1.0, bin * kFs / M, 77.0}), 1);
        ASSERT_TRUE(r.ok) << r.message;
        EXPECT_TRUE(std::isfinite(r.r.Phase) && std::isfinite(r.r.AcValue)) << bin;
        EXPECT_TRUE(r.r.Tone);
        EXPECT_NE(r.r.Doubts & qmx::kDoubtNearNyquist, 0u) << bin;
        EXPECT_LT(r.r.Frequency, kFs / 2);
        EXPECT_GE(r.r.Phase, -180.0);
        EXPECT_LE(r.r.Phase, 180.0);
        for (long k = M / 2; k < M / 2 + ChannelMeasurement::kSpare; ++k)
            ASSERT_EQ(m.phaseSpectrum()[k], 0.0);
    }
}

TEST(ChannelMeasurement, StopRequestsAndOtherModes)
{
    std::atomic<bool> stop{false};
    ChannelMeasurement m(4096, "fft", "rms", kFs, &stop);
    ASSERT_TRUE(m.ready());
    const auto x = makeSignal(4096, kFs, 0.0, {1.0, 1000.0, 0.0});

    const Result mode2 = run(m, x, 2);
    EXPECT_TRUE(mode2.ok);
    EXPECT_EQ(mode2.r.DcValue + mode2.r.AcValue + mode2.r.Frequency + mode2.r.Phase, 0.0);

    stop = true;
    const Result stopped = run(m, x, 1);
    EXPECT_FALSE(stopped.ok);
    EXPECT_TRUE(stopped.message.empty());

    // A stop request pending while the run is set up leaves it unusable.
    ChannelMeasurement late(1L << 19, "sum", "rms", kFs, &stop);
    EXPECT_FALSE(late.ready());
    EXPECT_EQ(late.allocationFailure(), nullptr);
    stop = false;
    EXPECT_FALSE(run(late, x, 0).ok);
}

// The same channel measured frame after frame gives the same readings: no state leaks from
// one frame into the next.
TEST(ChannelMeasurementFft, RepeatableAcrossFrames)
{
    const long M = 1L << 12;
    ChannelMeasurement m(M, "fft", "rms", kFs, nullptr);
    const auto a = makeSignal(M, kFs, 0.2, {0.3, 2345.6, -20.0}, 1e-4, 7);
    const auto b = makeSignal(M, kFs, -1.0, {2.0, 30000.0, 120.0}, 0.0);
    const Result first = run(m, a, 1);
    run(m, b, 1);
    run(m, b, 0);
    const Result again = run(m, a, 1);
    EXPECT_EQ(first.r.AcValue, again.r.AcValue);
    EXPECT_EQ(first.r.Frequency, again.r.Frequency);
    EXPECT_EQ(first.r.Phase, again.r.Phase);
}

}  // namespace

#include "AllocationCounter.h"

namespace {

// A measured frame allocates nothing: every array belongs to the run.
TEST(ChannelMeasurement, MeasureAllocatesNothing)
{
    for (const char* method : {"fft", "sum"}) {
        const long M = 1L << 14;
        qmx::ChannelMeasurement m(M, method, "rms", kFs, nullptr);
        auto x = makeSignal(M, kFs, 0.1, {0.5, 1234.0, 10.0});
        auto y = x;
        // Noise alone (the peak judged and turned down) and two tones (the two-tone fit).
        auto noise = makeSignal(M, kFs, 0.0, {0.0, 0.0, 0.0}, 1.0, 3);
        auto two = makeSignal(M, kFs, 0.0, {1.0, 1000.25 * kFs / M, 0.0});
        const auto second = makeSignal(M, kFs, 0.0, {0.3, 1003.25 * kFs / M, 40.0});
        for (long i = 0; i < M; ++i)
            two[i] += second[i];
        qmx::ChannelReadings r;
        std::string msg;
        msg.reserve(256);
        const long before = qmxtest::allocationCount();
        m.measure(x.data(), 1, r, msg);
        m.measure(y.data(), 0, r, msg);
        m.measure(noise.data(), 1, r, msg);
        m.measure(two.data(), 1, r, msg);
        EXPECT_EQ(qmxtest::allocationCount(), before) << method;
        if (m.isFft()) {
            EXPECT_NE(r.Doubts & qmx::kDoubtSecondTone, 0u) << "the two-tone path ran";
        }
    }
}

}  // namespace
