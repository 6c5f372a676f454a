// Cosine-sum windows and the window-weighted mean and deviation of the "sum" method.

#include "SignalMaker.h"
#include "SpectrumAnalyser.h"
#include "Windows.h"

#include <gtest/gtest.h>

#include <cmath>
#include <thread>
#include <vector>

namespace {

using namespace qmx;

// Every table row, even and odd lengths: the recurrence-built window against sum c_k cos(k x)
// evaluated directly in long double; the window is symmetric to the last bit.
TEST(Windows, EveryTypeMatchesDirectCosineSum)
{
    for (int type = 1; type <= 8; ++type) {
        const WindowDescription* d = windowDescription(type);
        ASSERT_NE(d, nullptr);
        for (long L : {1L, 2L, 7L, 64L, 1001L, 4096L}) {
            std::vector<double> w(L);
            ASSERT_TRUE(fillCosineWindow(w.data(), L, d->c, d->terms, nullptr));
            for (long i = 0; i < L; ++i) {
                long double ref = 0;
                for (int k = 0; k < d->terms; ++k)
                    ref += d->c[k] * std::cos(2 * qmxtest::kPi * k * i / L);
                ASSERT_NEAR(w[i], static_cast<double>(ref), 1e-15) << "type " << type << " L " << L << " i " << i;
                if (i > 0) {
                    ASSERT_EQ(w[i], w[L - i]) << "type " << type << " L " << L << " i " << i;
                }
            }
        }
    }
    EXPECT_EQ(windowDescription(0), nullptr);
    EXPECT_EQ(windowDescription(9), nullptr);
    EXPECT_EQ(windowDescription(-1), nullptr);
}

// The closed forms the measurement relies on: sum w = M c0 and the mean square
// S = c0^2 + 1/2 sum c_k^2 (0.23143355218026979 for the five-term window) equal the
// window's actual sums over a full period.
TEST(Windows, SumAndMeanSquareMatchTheWindowItself)
{
    const WindowDescription* d6 = windowDescription(kMeasurementWindowType);
    EXPECT_EQ(windowMeanSquare(d6->c, d6->terms), 0.23143355218026979);
    for (int type = 1; type <= 8; ++type) {
        const WindowDescription* d = windowDescription(type);
        const long L = 4096;
        std::vector<double> w(L);
        fillCosineWindow(w.data(), L, d->c, d->terms, nullptr);
        long double sum = 0, sq = 0;
        for (double v : w) {
            sum += v;
            sq += static_cast<long double>(v) * v;
        }
        EXPECT_NEAR(static_cast<double>(sum), L * d->c[0], 1e-12) << type;
        EXPECT_NEAR(static_cast<double>(sq / L), windowMeanSquare(d->c, d->terms), 1e-15) << type;
    }
}

TEST(Windows, SumWindowRectangularUnknownAndStopped)
{
    std::vector<double> w(300000, -7.0);
    ASSERT_TRUE(buildSumWindow(w.data(), 299999, 0, nullptr));
    EXPECT_EQ(w[0], 1.0);
    EXPECT_EQ(w[299998], 1.0);
    EXPECT_EQ(w[299999], -7.0) << "wrote past M";

    std::vector<double> u(100, -7.0);
    EXPECT_TRUE(buildSumWindow(u.data(), 100, 9, nullptr));
    EXPECT_EQ(u, std::vector<double>(100, -7.0));

    // A pending stop request ends the filling before the first block.
    std::atomic<bool> stop{true};
    std::vector<double> v(kWindowBlock + 10, -7.0);
    EXPECT_FALSE(buildSumWindow(v.data(), static_cast<long>(v.size()), 6, &stop));
    EXPECT_FALSE(buildSumWindow(v.data(), static_cast<long>(v.size()), 0, &stop));
    EXPECT_EQ(v.front(), -7.0);
    EXPECT_EQ(v.back(), -7.0);
}

// A stop request raised by another thread while a long window is being filled ends it at a
// block boundary: the array is filled up to some block and untouched beyond.
TEST(Windows, StopDuringFillEndsAtABlockBoundary)
{
    const long L = 64 * kWindowBlock;
    std::vector<double> w(L, -7.0);
    std::atomic<bool> stop{false};
    std::atomic<bool> started{false};
    std::thread stopper([&] {
        while (!started.load())
            std::this_thread::yield();
        stop.store(true);
    });
    started.store(true);
    const bool complete = buildSumWindow(w.data(), L, 6, &stop);
    stopper.join();
    if (complete)
        GTEST_SKIP() << "the whole window was filled before the stop request arrived";
    long filled = 0;
    while (filled < L && w[filled] != -7.0)
        ++filled;
    EXPECT_EQ(filled % kWindowBlock, 0);
    EXPECT_LT(filled, L);
    for (long i = filled; i < L; i += 4099)
        ASSERT_EQ(w[i], -7.0);
}

class WeightedSums : public ::testing::Test {
protected:
    static constexpr long M = 1L << 16;
    void SetUp() override
    {
        w.resize(M);
        buildSumWindow(w.data(), M, kMeasurementWindowType, nullptr);
        W = M * windowDescription(kMeasurementWindowType)->c[0];
    }
    std::vector<double> w;
    double W = 0;
};

TEST_F(WeightedSums, ConstantGivesItsValueAndNoDeviation)
{
    for (double c : {0.0, 1.25, -3.5e-3, 9.99}) {
        const std::vector<double> x(M, c);
        EXPECT_NEAR(weightedMean(x.data(), w.data(), M, W), c, 1e-14 * (1 + std::fabs(c)));
        EXPECT_LE(weightedDeviation(x.data(), w.data(), M, W), 2e-14 * (1 + std::fabs(c)));
    }
}

// A sine with a whole number of periods in the frame: the mean is the DC level and the
// deviation the RMS a/sqrt(2), also when a tiny AC part rides on a large DC level (where
// forming m2 - m1^2 would lose most of its digits).
TEST_F(WeightedSums, SineOnDcLevel)
{
    const double fs = 100000.0;
    struct Case { double dc, a; long k; };
    for (const Case& c : {Case{0.0, 1.0, 37}, Case{0.5, 2.0, 1000}, Case{9.5, 1e-3, 123},
                          Case{-9.5, 1e-4, 4000}}) {
        const auto x = qmxtest::makeSignal(M, fs, c.dc, {c.a, c.k * fs / M, 30.0});
        EXPECT_NEAR(weightedMean(x.data(), w.data(), M, W), c.dc, 1e-12 * (std::fabs(c.dc) + c.a));
        const double rms = weightedDeviation(x.data(), w.data(), M, W);
        EXPECT_NEAR(rms / (c.a / std::sqrt(2.0)), 1.0, 1e-10) << "dc " << c.dc << " a " << c.a;
    }
}

}  // namespace
