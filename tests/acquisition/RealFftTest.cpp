// RealFft against an independent oracle (a direct DFT in long double), its exact small
// lengths, sign conventions, contract checks and the promise of no allocation per call.

#include "AllocationCounter.h"
#include "RealFft.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <random>
#include <vector>


namespace {

using qmx::RealFft;

// The half-complex layout by definition, evaluated for bin k (0 <= k < N) in long double.
long double oracleBin(const std::vector<double>& x, long k, const std::vector<long double>& cosT,
                      const std::vector<long double>& sinT)
{
    const long N = static_cast<long>(x.size());
    const long H = N / 2;
    const bool sinePart = N > 1 && k > H;
    const long bin = sinePart ? k - H : k;
    long double acc = 0;
    for (long n = 0; n < N; ++n) {
        const long idx = (bin * n) % N;
        acc += static_cast<long double>(x[n]) * (sinePart ? sinT[idx] : cosT[idx]);
    }
    return acc;
}

struct Oracle {
    explicit Oracle(long N) : cosT(N), sinT(N)
    {
        const long double pi = 3.141592653589793238462643383279502884L;
        for (long i = 0; i < N; ++i) {
            cosT[i] = std::cos(2 * pi * i / N);
            sinT[i] = std::sin(2 * pi * i / N);
        }
    }
    std::vector<long double> cosT, sinT;
};

std::vector<double> randomSignal(long N, unsigned seed)
{
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<double> x(N);
    for (auto& v : x)
        v = u(rng);
    return x;
}

double l2(const std::vector<double>& x)
{
    long double s = 0;
    for (double v : x)
        s += static_cast<long double>(v) * v;
    return static_cast<double>(std::sqrt(s));
}

std::vector<double> transform(const std::vector<double>& x, RealFft::Simd simd = RealFft::Simd::Best)
{
    RealFft fft(static_cast<long>(x.size()), simd);
    std::vector<double> f(x.size(), -12345.0);
    fft.forward(x.data(), f.data());
    return f;
}

// Every kernel this machine can run, the portable one always among them.
std::vector<RealFft::Simd> runnableKernels()
{
    std::vector<RealFft::Simd> out;
    for (auto s : {RealFft::Simd::Portable, RealFft::Simd::Avx2, RealFft::Simd::Avx512})
        if (RealFft::supports(s))
            out.push_back(s);
    return out;
}

const char* nameOf(RealFft::Simd s)
{
    switch (s) {
    case RealFft::Simd::Portable: return "portable";
    case RealFft::Simd::Avx2: return "avx2";
    case RealFft::Simd::Avx512: return "avx512";
    default: return "best";
    }
}

TEST(RealFft, SmallLengthsGiveTheExactSums)
{
    const std::vector<double> x1{3.25};
    EXPECT_EQ(transform(x1), x1);

    const std::vector<double> x2{1.5, -0.25};
    EXPECT_EQ(transform(x2), (std::vector<double>{1.25, 1.75}));

    const double a = 0.1, b = -2.5, c = 7.75, d = 1e-3;
    const std::vector<double> f4 = transform({a, b, c, d});
    EXPECT_EQ(f4, (std::vector<double>{a + b + c + d, a - c, a - b + c - d, b - d}));
}

// Every power of two up to 4096 against the direct DFT: the largest error of any output,
// relative to the input's L2 norm, stays at rounding level. Each kernel the machine can run
// is checked, and asking for one gets that one once N is large enough to split for it.
TEST(RealFft, MatchesDirectDftForEveryPowerOfTwoUpTo4096)
{
    for (long N = 1; N <= 4096; N *= 2) {
        const Oracle o(N);
        for (unsigned seed = 1; seed <= 2; ++seed) {
            const auto x = randomSignal(N, seed * 7919 + static_cast<unsigned>(N));
            std::vector<long double> exact(N);
            for (long k = 0; k < N; ++k)
                exact[k] = oracleBin(x, k, o.cosT, o.sinT);
            for (auto simd : runnableKernels()) {
                if (N >= 128) {
                    EXPECT_EQ(RealFft(N, simd).simd(), simd) << nameOf(simd);
                }
                const auto f = transform(x, simd);
                long double worst = 0;
                for (long k = 0; k < N; ++k)
                    worst = std::max(worst, std::fabs(exact[k] - f[k]));
                EXPECT_LT(static_cast<double>(worst) / l2(x), 1e-13) << "N=" << N << " " << nameOf(simd);
            }
        }
    }
}

TEST(RealFft, SpotCheckAt65536)
{
    const long N = 1L << 16;
    const Oracle o(N);
    const auto x = randomSignal(N, 42);
    const auto f = transform(x);
    const double norm = l2(x);
    std::vector<long> bins{0, 1, 2, N / 4, N / 2 - 1, N / 2, N / 2 + 1, N - 1, N / 2 + N / 4};
    std::mt19937 rng(3);
    for (int i = 0; i < 48; ++i)
        bins.push_back(static_cast<long>(rng() % N));
    for (long k : bins)
        EXPECT_LT(std::fabs(static_cast<double>(oracleBin(x, k, o.cosT, o.sinT)) - f[k]) / norm, 1e-13)
            << "bin " << k;
}

// A large length, where the column and row transforms no longer fit a cache level and run
// block by block: a few dozen bins of every kernel against single-bin DFTs in long double.
TEST(RealFft, SpotCheckAtFourMillionForEveryKernel)
{
    const long N = 1L << 22;
    const long double pi = 3.141592653589793238462643383279502884L;
    std::vector<long double> cosT(N);  // sin(2 pi i/N) = cos(2 pi (i - N/4)/N)
    for (long i = 0; i <= N / 4; ++i)
        cosT[i] = std::cos(2 * pi * i / N);
    for (long i = N / 4 + 1; i < N; ++i)
        cosT[i] = i <= N / 2 ? -cosT[N / 2 - i] : cosT[N - i];
    const auto x = randomSignal(N, 77);
    const double norm = l2(x);
    std::vector<long> bins{0, 1, 3, N / 8 + 5, N / 4, N / 2 - 1, N / 2, N / 2 + 1, N / 2 + N / 4, N - 1};
    std::mt19937 rng(11);
    for (int i = 0; i < 14; ++i)
        bins.push_back(static_cast<long>(rng() % N));
    std::vector<long double> exact;
    for (long k : bins) {
        const bool sinePart = k > N / 2;
        const long bin = sinePart ? k - N / 2 : k;
        const long shift = sinePart ? N - N / 4 : 0;
        long double acc = 0;
        for (long n = 0; n < N; ++n)
            acc += static_cast<long double>(x[n]) * cosT[(bin * n + shift) & (N - 1)];
        exact.push_back(acc);
    }
    for (auto simd : runnableKernels()) {
        const auto f = transform(x, simd);
        for (std::size_t i = 0; i < bins.size(); ++i)
            EXPECT_LT(std::fabs(static_cast<double>(exact[i]) - f[bins[i]]) / norm, 1e-13)
                << nameOf(simd) << " bin " << bins[i];
    }
}

// The caller's arrays need not be vector-aligned: an input and an output one double off
// alignment give exactly the result of aligned ones.
TEST(RealFft, MisalignedArraysGiveTheSameResult)
{
    for (long N : {256L, 1L << 14}) {
        const auto x = randomSignal(N, 21);
        for (auto simd : runnableKernels()) {
            const auto aligned = transform(x, simd);
            std::vector<double> xs(N + 1), fs(N + 1, -1.0);
            std::copy(x.begin(), x.end(), xs.begin() + 1);
            RealFft fft(N, simd);
            fft.forward(xs.data() + 1, fs.data() + 1);
            EXPECT_TRUE(std::equal(aligned.begin(), aligned.end(), fs.begin() + 1)) << nameOf(simd) << " N=" << N;
            EXPECT_EQ(fs[0], -1.0) << "wrote before the output";
        }
    }
}

TEST(RealFft, ConstantFrameHasOnlyTheDcTerm)
{
    for (long N : {8L, 64L, 1024L, 1L << 14}) {
        const double c = -0.3125;
        const auto f = transform(std::vector<double>(N, c));
        EXPECT_DOUBLE_EQ(f[0], N * c);
        for (long k = 1; k < N; ++k)
            ASSERT_NEAR(f[k], 0.0, 1e-12 * N) << "N=" << N << " k=" << k;
    }
}

// cos at bin k0 lands in f[k0]; sin lands in f[N/2 + k0] with a positive sign. Bins at the
// bottom, in the middle and at the very top of the spectrum.
TEST(RealFft, PureToneSignConvention)
{
    const long double pi = 3.141592653589793238462643383279502884L;
    for (long N : {8L, 16L, 256L, 4096L}) {
        for (long k0 : {1L, 3L % (N / 2), N / 4, N / 2 - 1}) {
            if (k0 < 1)
                continue;
            std::vector<double> xc(N), xs(N);
            for (long n = 0; n < N; ++n) {
                xc[n] = static_cast<double>(std::cos(2 * pi * k0 * n / N));
                xs[n] = static_cast<double>(std::sin(2 * pi * k0 * n / N));
            }
            const auto fc = transform(xc);
            const auto fs = transform(xs);
            const double tol = 1e-12 * N;
            for (long k = 0; k < N; ++k) {
                EXPECT_NEAR(fc[k], k == k0 ? N / 2.0 : 0.0, tol) << "cos N=" << N << " k0=" << k0 << " k=" << k;
                EXPECT_NEAR(fs[k], k == N / 2 + k0 ? N / 2.0 : 0.0, tol) << "sin N=" << N << " k0=" << k0 << " k=" << k;
            }
        }
    }
}

TEST(RealFft, NyquistTermIsTheAlternatingSum)
{
    for (long N : {8L, 32L, 2048L}) {
        std::vector<double> x(N);
        for (long n = 0; n < N; ++n)
            x[n] = (n % 2 ? -1.0 : 1.0) * 0.5;
        const auto f = transform(x);
        EXPECT_NEAR(f[N / 2], 0.5 * N, 1e-12 * N);
        EXPECT_NEAR(f[0], 0.0, 1e-12 * N);
    }
}

TEST(RealFft, InputIsNotModifiedAndEngineIsReusable)
{
    const long N = 1024;
    RealFft fft(N);
    const auto x = randomSignal(N, 5);
    auto copy = x;
    std::vector<double> f1(N), f2(N);
    fft.forward(copy.data(), f1.data());
    EXPECT_EQ(copy, x);
    fft.forward(copy.data(), f2.data());
    EXPECT_EQ(f1, f2);
    EXPECT_EQ(fft.length(), N);
}

TEST(RealFft, ForwardAllocatesNothing)
{
    for (long N : {1L, 4L, 8L, 1L << 12, 1L << 18}) {
        for (auto simd : runnableKernels()) {
            RealFft fft(N, simd);
            const auto x = randomSignal(N, 9);
            std::vector<double> f(N);
            const long before = qmxtest::allocationCount();
            fft.forward(x.data(), f.data());
            fft.forward(x.data(), f.data());
            EXPECT_EQ(qmxtest::allocationCount(), before) << "N=" << N << " " << nameOf(simd);
        }
    }
}

using RealFftDeathTest = ::testing::Test;

TEST_F(RealFftDeathTest, ConstructionPreconditions)
{
    EXPECT_DEATH(RealFft(0), "x > 0");
    EXPECT_DEATH(RealFft(-8), "x > 0");
    EXPECT_DEATH(RealFft(12), "is_pow2 \\(length\\)");
    EXPECT_DEATH(RealFft(1L << 31), "_bit_count <= MAX_BIT_DEPTH");
}

TEST_F(RealFftDeathTest, ForwardPreconditions)
{
    RealFft fft(16);
    std::vector<double> x(16, 1.0), f(16);
    EXPECT_DEATH(fft.forward(x.data(), nullptr), "f != 0");
    EXPECT_DEATH(fft.forward(nullptr, f.data()), "x != 0");
    EXPECT_DEATH(fft.forward(x.data(), x.data()), "x != f");
    double* work = const_cast<double*>(fft.work_buffer());
    EXPECT_DEATH(fft.forward(x.data(), work), "f != work_buffer \\(\\)");
    EXPECT_DEATH(fft.forward(work, f.data()), "x != work_buffer \\(\\)");
}

TEST_F(RealFftDeathTest, DynArrayChecks)
{
    EXPECT_DEATH(qmx::DynArray<double>(-1), "size >= 0");
#if defined(QMX_CHECK_BOUNDS)
    qmx::DynArray<double> a(4);
    EXPECT_DEATH(a[4] = 1.0, "pos < _len");
    EXPECT_DEATH(a[-1] = 1.0, "pos >= 0");
#endif
}

}  // namespace
