// SpectrumAnalyser: engine life cycle, window bookkeeping, spectra of known tones, peak search.

#include "SignalMaker.h"
#include "SpectrumAnalyser.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

using qmx::SpectrumAnalyser;

TEST(SpectrumAnalyser, LengthAndEngineLifeCycle)
{
    SpectrumAnalyser none(0, nullptr);
    std::vector<double> x(64, 1.0), f(64);
    EXPECT_EQ(none.length(), 0);
    EXPECT_FALSE(none.transform(x.data(), f.data())) << "no engine for length 0";
    EXPECT_FALSE(none.setLength(0));
    EXPECT_EQ(none.length(), 0);

    EXPECT_TRUE(none.setLength(64));
    ASSERT_TRUE(none.transform(x.data(), f.data()));
    EXPECT_DOUBLE_EQ(f[0], 64.0);
    EXPECT_FALSE(none.transform(nullptr, f.data()));
    EXPECT_FALSE(none.transform(x.data(), nullptr));

    EXPECT_FALSE(none.setLength(0));
    EXPECT_EQ(none.length(), 64) << "a refused length changes nothing";
    EXPECT_TRUE(none.setLength(16));
    std::vector<double> f16(16);
    ASSERT_TRUE(none.transform(x.data(), f16.data()));
    EXPECT_DOUBLE_EQ(f16[0], 16.0) << "the engine was rebuilt for the new length";
}

TEST(SpectrumAnalyser, WindowBookkeeping)
{
    SpectrumAnalyser an(32, nullptr);
    std::vector<double> w(32, -1.0);
    EXPECT_EQ(an.terms(), 0);
    EXPECT_EQ(an.r(), 0);
    EXPECT_EQ(an.s(), 0);

    an.buildWindow(w.data(), 0);
    EXPECT_EQ(w, std::vector<double>(32, -1.0));
    EXPECT_EQ(an.terms(), 0);

    an.buildWindow(w.data(), 6);
    EXPECT_EQ(an.terms(), 5);
    EXPECT_EQ(an.r(), 5);
    EXPECT_EQ(an.s(), 5);
    EXPECT_DOUBLE_EQ(an.coefficient(0), 0.3232153788877343);
    EXPECT_DOUBLE_EQ(an.coefficient(4), 0.001261357088292677);
    EXPECT_NE(w[16], -1.0);

    an.buildWindow(w.data(), 2);
    EXPECT_EQ(an.r(), 3);
    EXPECT_EQ(an.s(), 15);
    EXPECT_EQ(an.coefficient(2), 0.0) << "coefficients of the previous window are cleared";

    std::vector<double> before = w;
    an.buildWindow(w.data(), 9);
    EXPECT_EQ(an.terms(), 0);
    EXPECT_EQ(an.r(), 0);
    EXPECT_EQ(an.s(), 0);
    EXPECT_EQ(w, before);
}

// A cosine of amplitude a and phase theta at bin k0: A[k0] = a, P[k0] = -theta; P[0] = 0
// and the DC term is signed.
TEST(SpectrumAnalyser, AmplitudeAndPhaseOfAKnownTone)
{
    const long N = 1024;
    SpectrumAnalyser an(N, nullptr);
    for (long k0 : {1L, 100L, N / 2 - 1}) {
        auto x = qmxtest::makeSignal(N, N, -0.75, {2.5, static_cast<double>(k0), 40.0});
        std::vector<double> f(N), A(N / 2), P(N / 2, 99.0);
        an.transform(x.data(), f.data());
        an.amplitudeSpectrum(f.data(), A.data());
        an.phaseSpectrum(f.data(), P.data());
        EXPECT_NEAR(A[0], -0.75, 1e-13);
        EXPECT_NEAR(A[k0], 2.5, 1e-13);
        EXPECT_NEAR(P[k0] * 180 / M_PI, -40.0, 1e-11);
        EXPECT_EQ(P[0], 0.0);
        EXPECT_EQ(an.phaseAt(f.data(), k0), P[k0]);
        for (long k = 1; k < N / 2; ++k)
            if (k != k0) {
                ASSERT_NEAR(A[k], 0.0, 1e-13) << k;
            }
    }
}

TEST(SpectrumAnalyser, PeakSearch)
{
    SpectrumAnalyser an(32, nullptr);
    std::vector<double> w(32);
    an.buildWindow(w.data(), 6);  // search from s = 5 to N/2 - 1 = 15
    std::vector<double> A(16 + 16, 0.0);
    A[3] = 100.0;                 // below s: ignored
    A[16] = 100.0;                // at N/2: ignored
    A[7] = 2.0;
    A[11] = 2.0;                  // tie: the first one wins
    EXPECT_EQ(an.findPeak(A.data(), -67108864.0), 7);
    EXPECT_EQ(an.findPeak(A.data(), 5.0), SpectrumAnalyser::kNoPeak) << "nothing above the floor";
    // A floor below the limit is raised to it.
    std::vector<double> low(32, -6.5e7);
    low[9] = -6.1e7;
    EXPECT_EQ(an.findPeak(low.data(), -1e300), SpectrumAnalyser::kNoPeak);
    low[12] = -5.9e7;
    EXPECT_EQ(an.findPeak(low.data(), -1e300), 12);

    SpectrumAnalyser tiny(8, nullptr);
    std::vector<double> w8(8);
    tiny.buildWindow(w8.data(), 6);  // s = 5 >= N/2 = 4: empty range
    EXPECT_EQ(tiny.findPeak(A.data(), -67108864.0), SpectrumAnalyser::kNoPeak);
}

}  // namespace
