#pragma once
// Cosine-sum windows: w[i] = sum_k c_k * cos(k * 2*pi*i / L), i = 0 .. L-1, and the
// window-weighted mean and deviation of the "sum" measurement method.

#include <atomic>

namespace qmx {

// Window samples are produced in blocks of this many; the stop request is tested before
// each block, so a huge window never delays a stop by more than one block.
inline constexpr long kWindowBlock = 262144;

// The window every measurement uses (five-term).
inline constexpr int kMeasurementWindowType = 6;

inline constexpr int kMaxWindowTerms = 32;

struct WindowDescription {
    int terms;          // number of coefficients
    double c[9];        // c0 .. c(terms-1)
    int r;              // width of the DC lobe, in bins
    int s;              // first bin of the peak search
};

// The rows of the window table for types 1 .. 8 (Hann .. nine-term); nullptr for type 0
// (rectangular, which has no row) and for any type outside 1 .. 8.
const WindowDescription* windowDescription(int type);

// Fills w[0 .. L) with sum_k c[k] cos(k x), x = 2*pi*i/L, for terms <= 9. cos(kx) comes from
// cos x by the double- and sum-angle identities. Tests *stop (may be null) before each block of
// kWindowBlock samples; returns false when it stopped early, leaving the rest untouched.
bool fillCosineWindow(double* w, long L, const double* c, int terms, const std::atomic<bool>* stop);

// Window of the "sum" method: type 0 fills M ones, types 1 .. 8 their row of the table, any
// other type leaves the array untouched. Returns false when stopped early.
bool buildSumWindow(double* window, long M, int type, const std::atomic<bool>* stop);

// Mean square of a cosine-sum window over a full period: c0^2 + 1/2 sum_{k>=1} c_k^2.
double windowMeanSquare(const double* c, int terms);

// sum x[i] w[i] / windowSum.
double weightedMean(const double* x, const double* w, long M, double windowSum);

// sqrt|sum (x[i] - m)^2 w[i] / windowSum| with m the weighted mean: the weighted standard
// deviation, i.e. the RMS of the AC part. Formed around the mean rather than as m2 - m^2,
// which equals it exactly but loses the AC part to cancellation under a large DC level.
double weightedDeviation(const double* x, const double* w, long M, double windowSum);

}  // namespace qmx
