// The "fft" method's judgement of its AC readings: noise alone is no tone, a weak tone is
// one, and a tone's reading is doubted where the ends of the spectrum or a second tone bias it
// beyond what the display shows, and only there.

#include "ChannelMeasurement.h"
#include "SignalMaker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace {

using qmx::ChannelMeasurement;
using qmx::ChannelReadings;
using qmxtest::makeSignal;

constexpr double kFs = 117187.5;
constexpr long kS = 5;  // first bin of the peak search of the measurement window

ChannelReadings measure(ChannelMeasurement& m, std::vector<double> x)
{
    ChannelReadings r;
    std::string msg;
    EXPECT_TRUE(m.measure(x.data(), 1, r, msg));
    EXPECT_TRUE(msg.empty());
    return r;
}

// a cos(2 pi nu n / M + theta) (+ a2 cos(2 pi nu2 n / M + theta2)), nu in bins.
std::vector<double> tones(long M, double a, double nu, double theta, double a2 = 0, double nu2 = 0,
                          double theta2 = 0, double noise = 0, unsigned seed = 1)
{
    auto x = makeSignal(M, kFs, 0.0, {a, nu * kFs / M, theta}, noise, seed);
    if (a2 != 0) {
        const auto y = makeSignal(M, kFs, 0.0, {a2, nu2 * kFs / M, theta2});
        for (long i = 0; i < M; ++i)
            x[i] += y[i];
    }
    return x;
}

// Amplitude of a tone 10 dB above the unit-variance noise expected in the bins summed around
// bin round(nu): a^2 S / 2 = 10 * bins * (2 S / M).
double tenDecibels(long M, double nu)
{
    const long p = std::lround(nu);
    const long bins = std::min(p + kS - 1, M / 2 - 1) - std::max(p - kS, kS + 1) + 1;
    return std::sqrt(40.0 * static_cast<double>(bins) / static_cast<double>(M));
}

// Noise alone, also riding on a DC level, is not a tone: the reading keeps what the bins
// hold as AcValue, and neither frequency nor phase. (The rate over many frames and lengths is
// the benchmark's: here a few thousand frames, none of which may pass.)
TEST(ToneDetection, NoiseAloneIsNoTone)
{
    for (long M : {256L, 4096L}) {
        ChannelMeasurement m(M, "fft", "amp", kFs, nullptr);
        ASSERT_TRUE(m.detector()->usable());
        const int frames = M == 256 ? 2000 : 200;
        int tonesFound = 0;
        for (int f = 0; f < frames; ++f) {
            const double dc = f % 2 ? 1.5 : 0.0;
            const ChannelReadings r = measure(m, makeSignal(M, kFs, dc, {0, 0, 0}, 0.01, 100 + f));
            tonesFound += r.Tone;
            if (!r.Tone) {
                ASSERT_FALSE(r.Silent);
                ASSERT_GT(r.AcValue, 0.0);
                ASSERT_TRUE(std::isfinite(r.AcValue));
                ASSERT_EQ(r.Frequency, 0.0);
                ASSERT_EQ(r.Phase, 0.0);
                ASSERT_EQ(r.Doubts, 0u);
            }
        }
        EXPECT_EQ(tonesFound, 0) << "M " << M;
    }
}

// A noise-free DC level measured as AC leaves only the transform's rounding in the bins, and
// its spurs at Fs/4, Fs/8, ... are no tone either.
TEST(ToneDetection, ConstantMeasuredAsAcIsNoTone)
{
    for (long M : {256L, 4096L, 65536L}) {
        ChannelMeasurement m(M, "fft", "rms", kFs, nullptr);
        for (double c : {1.5, -0.002, 1e-9}) {
            const ChannelReadings r = measure(m, std::vector<double>(M + 16, c));
            EXPECT_FALSE(r.Tone) << M << " " << c;
            EXPECT_LT(r.AcValue, 1e-12 * std::fabs(c));
            EXPECT_EQ(r.Frequency, 0.0);
        }
    }
}

// A tone whose power is ten times the noise expected in its summed bins is found wherever
// its reading is not doubted, at and between bins, and measured there (not at a noise peak).
TEST(ToneDetection, TenDecibelToneIsFound)
{
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (long M : {256L, 4096L}) {
        ChannelMeasurement m(M, "fft", "rms", kFs, nullptr);
        const double first = kS + ChannelMeasurement::kEdgeDoubtBins;
        const double last = M / 2 - ChannelMeasurement::kEdgeDoubtBins;
        const int frames = M == 256 ? 500 : 100;
        int missed = 0;
        for (int f = 0; f < frames; ++f) {
            double nu = first + u(rng) * (last - first);
            if (f % 4 == 0)
                nu = std::round(nu);  // exactly at a bin
            const ChannelReadings r =
                measure(m, tones(M, tenDecibels(M, nu), nu, 360 * u(rng), 0, 0, 0, 1.0, 500 + f));
            missed += !r.Tone;
            if (r.Tone) {
                EXPECT_NEAR(r.Frequency * M / kFs, nu, 1.0) << "M " << M;
            }
        }
        EXPECT_EQ(missed, 0) << "M " << M;
    }
}

// A clean tone, alone or in moderate noise, at and between bins, from just inside the edge
// doubts to mid-band, is a tone without doubts; the one-tone fit explains its bins to rounding.
TEST(ToneDetection, CleanToneHasNoDoubt)
{
    const long M = 4096;
    ChannelMeasurement m(M, "fft", "rms", kFs, nullptr);
    for (double noise : {0.0, 1e-3})
        for (double nu : {9.0, 9.25, 300.0, 300.5, 1234.75, M / 2 - 4.0, M / 2 - 4.5})
            for (double theta : {0.0, 100.0, -60.0}) {
                const ChannelReadings r = measure(m, tones(M, 1.0, nu, theta, 0, 0, 0, noise, 9));
                EXPECT_TRUE(r.Tone);
                EXPECT_EQ(r.Doubts, 0u) << "nu " << nu << " noise " << noise << " theta " << theta;
                if (noise == 0) {
                    const auto& a = m.lastAssessment();
                    const double E = r.AcValue * r.AcValue * m.windowMeanSquare();
                    // What remains is the tone's mirror image (at -nu, or at M - nu near the
                    // top), about 125 dB down in the window's sidelobes.
                    EXPECT_LT(a.residual, 1e-12 * E) << nu;
                    EXPECT_NEAR(a.frequency, nu, 1e-7) << nu;
                }
            }
}

// Near DC the summed bins lose the lobe's lower part (a tone at 5.1 bins reads 44 % low): the
// doubt holds up to 3.75 bins above s, where the phase error falls below 0.01 degree; near
// M/2 likewise up to 3.75 bins below it. The readings are kept.
TEST(ToneDetection, EdgeDoubts)
{
    const long M = 4096;
    ChannelMeasurement m(M, "fft", "amp", kFs, nullptr);
    for (double theta : {0.0, 70.0, -150.0}) {
        const ChannelReadings low = measure(m, tones(M, 1.0, 5.1, theta));
        EXPECT_TRUE(low.Tone);
        EXPECT_EQ(low.Doubts, unsigned(qmx::kDoubtNearDc));
        EXPECT_LT(low.AcValue, 0.7) << "the biased reading is kept";
        EXPECT_GT(low.Frequency, 0.0);
        EXPECT_EQ(measure(m, tones(M, 1.0, 8.5, theta)).Doubts, unsigned(qmx::kDoubtNearDc));
        EXPECT_EQ(measure(m, tones(M, 1.0, 9.0, theta)).Doubts, 0u);

        for (double below : {1.5, 3.5}) {
            const ChannelReadings top = measure(m, tones(M, 1.0, M / 2 - below, theta));
            EXPECT_TRUE(top.Tone);
            EXPECT_EQ(top.Doubts, unsigned(qmx::kDoubtNearNyquist)) << below;
        }
        EXPECT_EQ(measure(m, tones(M, 1.0, M / 2 - 4.0, theta)).Doubts, 0u);
    }
}

// Two tones three bins apart read 7.6 % high with the phase 62 degrees off: SecondTone. A much
// weaker neighbour still moves the phase by more than 0.01 degree at 1e-3 of the amplitude, no
// longer at 1e-6; a second tone far outside the summed bins moves nothing.
TEST(ToneDetection, SecondToneWithinTheSpan)
{
    const long M = 4096;
    ChannelMeasurement m(M, "fft", "rms", kFs, nullptr);
    for (double offset : {0.0, 0.4})
        for (double theta2 : {0.0, 135.0}) {
            const double nu = 1000 + offset;
            for (double ratio : {1.0, 0.3, 1e-3}) {
                const ChannelReadings r = measure(m, tones(M, 1.0, nu, 20.0, ratio, nu + 3, theta2));
                EXPECT_TRUE(r.Tone);
                EXPECT_EQ(r.Doubts, unsigned(qmx::kDoubtSecondTone)) << ratio << " " << theta2;
            }
            EXPECT_EQ(measure(m, tones(M, 1.0, nu, 20.0, 1e-6, nu + 3, theta2)).Doubts, 0u);
            EXPECT_EQ(measure(m, tones(M, 1.0, nu, 20.0, 0.5, nu - 40, theta2)).Doubts, 0u);
            // In moderate noise the same pair is still told apart.
            EXPECT_EQ(measure(m, tones(M, 1.0, nu, 20.0, 0.3, nu + 3, theta2, 1e-3, 4)).Doubts,
                      unsigned(qmx::kDoubtSecondTone));
        }
}

// Frames too short to estimate the noise floor are not judged: their readings are reported
// as before, tones.
TEST(ToneDetection, ShortFramesAreNotJudged)
{
    for (long M : {16L, 32L, 64L}) {
        ChannelMeasurement m(M, "fft", "rms", kFs, nullptr);
        EXPECT_FALSE(m.detector()->usable()) << M;
        const ChannelReadings r = measure(m, tones(M, 1.0, M / 4 + 0.3, 10.0, 0, 0, 0, 0.1, 2));
        EXPECT_TRUE(r.Tone);
        EXPECT_GT(r.Frequency, 0.0);
    }
}

// The threshold guards a maximum over more bins as the frame grows, and over a floor known
// less well in short frames; a tone of 10 dB (whitened statistic about 80) stays well above it.
TEST(ToneDetector, ThresholdFollowsTheSearchedBins)
{
    const qmx::WindowDescription* w = qmx::windowDescription(qmx::kMeasurementWindowType);
    double previous = 0;
    for (int bits = 11; bits <= 24; ++bits) {
        const qmx::ToneDetector d(1L << bits, w->c, w->terms, w->s);
        ASSERT_TRUE(d.usable());
        const double positions = static_cast<double>((1L << (bits - 1)) - w->s);
        EXPECT_NEAR(qmx::ToneDetector::falseAlarmModel(d.threshold(), positions, d.effectiveFloorSamples()),
                    qmx::ToneDetector::kDesignFalseAlarm, 1e-9);
        if (bits > 14) {  // past the switch to an independent floor sample
            EXPECT_GT(d.threshold(), previous) << bits;
        }
        EXPECT_LT(d.threshold(), 30.0) << bits;
        previous = d.threshold();
    }
    const qmx::ToneDetector small(256, w->c, w->terms, w->s);
    const qmx::ToneDetector medium(4096, w->c, w->terms, w->s);
    EXPECT_GT(small.threshold(), medium.threshold()) << "a floor from 112 bins is less sure";
}

// The peak list: distinct places at least s bins apart, largest first, the first maximum
// leading as findPeak has it.
TEST(SpectrumAnalyserPeaks, DistinctPlacesLargestFirst)
{
    const long N = 256;
    qmx::SpectrumAnalyser an(N, nullptr);
    std::vector<double> w(N);
    ASSERT_TRUE(an.buildWindow(w.data(), qmx::kMeasurementWindowType));
    std::vector<double> A(N / 2, 0.1);
    A[3] = 50;                 // below s: never listed
    A[40] = 9;
    A[42] = 10;                // the same place as 40, larger
    A[60] = 10;                // a tie with 42: the earlier leads
    A[90] = 7;
    A[93] = 6;                 // the same place as 90, smaller
    A[120] = 8;
    long peaks[8];
    ASSERT_EQ(an.findPeaks(A.data(), 1.0, peaks, 8), 4) << "the 0.1 bins lie below the floor";
    EXPECT_EQ(peaks[0], an.findPeak(A.data(), 1.0));
    const std::vector<long> expected = {42, 60, 120, 90};
    EXPECT_EQ(std::vector<long>(peaks, peaks + 4), expected);
    // A short list keeps the largest places; nothing above the floor lists nothing.
    ASSERT_EQ(an.findPeaks(A.data(), 1.0, peaks, 2), 2);
    EXPECT_EQ(peaks[0], 42);
    EXPECT_EQ(peaks[1], 60);
    EXPECT_EQ(an.findPeaks(A.data(), 100.0, peaks, 8), 0);
    EXPECT_EQ(an.findPeaks(A.data(), 1.0, peaks, 0), 0);
}

}  // namespace
