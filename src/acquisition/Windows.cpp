#include "Windows.h"

#include <algorithm>
#include <cmath>

namespace qmx {
namespace {

// clang-format off
const WindowDescription kWindows[8] = {
    {2, {0.5, -0.5}, 2, 15},                                                     // 1 Hann
    {2, {0.54, -0.46}, 3, 15},                                                   // 2 Hamming
    {3, {0.42, -0.5, 0.08}, 3, 15},                                              // 3 Blackman
    {3, {0.4243800934609435, -0.4973406350967378, 0.07827927144231873}, 3, 15},  // 4 three-term
    {4, {0.3635819267707608, -0.4891774371450171, 0.1365995139786921,
         -0.01064112210553003}, 4, 4},                                           // 5 four-term
    {5, {0.3232153788877343, -0.471492143957626, 0.1755341299601972,
         -0.02849699010614994, 0.001261357088292677}, 5, 5},                     // 6 five-term
    {7, {0.2712203605850388, -0.4334446123274422, 0.2180041228929303,
         -0.06578534329560609, 0.01076186730534183, -0.0007700127105808265,
         1.368088305992921e-05}, 7, 7},                                          // 7 seven-term
    {9, {0.2384331152777942, -0.400554534864382, 0.2358242530472107,
         -0.09527918858383112, 0.02537395516617152, -0.004152432907505835,
         0.000368560416329818, -1.38435559391703e-05, 1.161808358932861e-07}, 9, 9},  // 8 nine-term
};
// clang-format on

bool stopRequested(const std::atomic<bool>* stop)
{
    return stop && stop->load(std::memory_order_relaxed);
}

// cos(2*pi*i/L) with the angle reduced to [0, pi/2] in integer arithmetic, so that the window
// is symmetric (w[i] == w[L-i]) to the last bit and accurate for any L.
double cosOfTurn(long i, long L)
{
    constexpr double pi = 3.14159265358979323846;
    const long j = std::min(i, L - i);     // 2*pi*j/L in [0, pi]
    const long twice = 2 * j;              // angle = pi * twice / L
    if (2 * twice <= L)                    // angle <= pi/2
        return std::cos(pi * static_cast<double>(twice) / static_cast<double>(L));
    return -std::cos(pi * static_cast<double>(L - twice) / static_cast<double>(L));
}

}  // namespace

const WindowDescription* windowDescription(int type)
{
    if (type < 1 || type > 8)
        return nullptr;
    return &kWindows[type - 1];
}

bool fillCosineWindow(double* w, long L, const double* c, int terms, const std::atomic<bool>* stop)
{
    terms = std::clamp(terms, 0, 9);
    for (long start = 0; start < L; start += kWindowBlock) {
        if (stopRequested(stop))
            return false;
        const long end = std::min(L, start + kWindowBlock);
        for (long i = start; i < end; ++i) {
            double cs[9];
            cs[0] = 1.0;
            const double c1 = cosOfTurn(i, L);
            cs[1] = c1;
            cs[2] = 2.0 * c1 * c1 - 1.0;
            cs[3] = 2.0 * c1 * cs[2] - c1;
            cs[4] = 2.0 * cs[2] * cs[2] - 1.0;
            cs[5] = 2.0 * cs[2] * cs[3] - c1;
            cs[6] = 2.0 * cs[3] * cs[3] - 1.0;
            cs[7] = 2.0 * cs[3] * cs[4] - c1;
            cs[8] = 2.0 * cs[4] * cs[4] - 1.0;
            double v = 0.0;
            for (int k = 0; k < terms; ++k)
                v += c[k] * cs[k];
            w[i] = v;
        }
    }
    return true;
}

bool buildSumWindow(double* window, long M, int type, const std::atomic<bool>* stop)
{
    if (type == 0) {
        for (long start = 0; start < M; start += kWindowBlock) {
            if (stopRequested(stop))
                return false;
            std::fill(window + start, window + std::min(M, start + kWindowBlock), 1.0);
        }
        return true;
    }
    const WindowDescription* d = windowDescription(type);
    if (!d)
        return true;
    return fillCosineWindow(window, M, d->c, d->terms, stop);
}

double windowMeanSquare(const double* c, int terms)
{
    // Summed in extended precision so that the result is the correctly rounded value
    // (0.23143355218026979 for the five-term window).
    if (terms <= 0)
        return 0.0;
    long double s = static_cast<long double>(c[0]) * c[0];
    for (int k = 1; k < terms; ++k)
        s += 0.5L * static_cast<long double>(c[k]) * c[k];
    return static_cast<double>(s);
}

double weightedMean(const double* x, const double* w, long M, double windowSum)
{
    // Four partial sums: independent chains for the pipeline, and a smaller rounding error
    // than one running sum over millions of samples.
    double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    long i = 0;
    for (; i + 4 <= M; i += 4) {
        s0 += x[i] * w[i];
        s1 += x[i + 1] * w[i + 1];
        s2 += x[i + 2] * w[i + 2];
        s3 += x[i + 3] * w[i + 3];
    }
    for (; i < M; ++i)
        s0 += x[i] * w[i];
    return ((s0 + s1) + (s2 + s3)) / windowSum;
}

double weightedDeviation(const double* x, const double* w, long M, double windowSum)
{
    const double m = weightedMean(x, w, M, windowSum);
    double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    long i = 0;
    for (; i + 4 <= M; i += 4) {
        const double d0 = x[i] - m, d1 = x[i + 1] - m, d2 = x[i + 2] - m, d3 = x[i + 3] - m;
        s0 += d0 * d0 * w[i];
        s1 += d1 * d1 * w[i + 1];
        s2 += d2 * d2 * w[i + 2];
        s3 += d3 * d3 * w[i + 3];
    }
    for (; i < M; ++i) {
        const double d = x[i] - m;
        s0 += d * d * w[i];
    }
    return std::sqrt(std::fabs(((s0 + s1) + (s2 + s3)) / windowSum));
}

}  // namespace qmx
