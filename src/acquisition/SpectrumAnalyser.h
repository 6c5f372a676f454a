#pragma once
// SpectrumAnalyser: the spectral half of the "fft" measurement. Owns the RealFft engine for
// the frame length and the description of the window in use (terms, coefficients, DC lobe
// width r, peak-search start s).

#include "DynArray.h"
#include "RealFft.h"
#include "Windows.h"

#include <atomic>
#include <complex>
#include <memory>

namespace qmx {

class SpectrumAnalyser {
public:
    // Lowest floor the peak search accepts; a lower one is raised to it.
    static constexpr double kPeakFloorLimit = -6.0e7;
    static constexpr long kNoPeak = -1;

    // Builds the engine for `length` (none for length 0). The stop flag (may be null) is
    // tested while windows are filled.
    SpectrumAnalyser(long length, const std::atomic<bool>* stopFlag);

    // n == 0 is refused (false, nothing changes); another length rebuilds the engine.
    bool setLength(long n);

    // Fills window[0 .. N) for a window type of the table and records its description.
    // Type 0 records nothing and leaves the array untouched; a type above 8 clears r, s and
    // the term count and leaves the array untouched. Returns false when the stop request
    // cut the filling short.
    bool buildWindow(double* window, int type);

    // samples[i] *= window[i], i < N.
    void applyWindow(double* samples, const double* window) const;

    // Forward transform into the half-complex layout; false (nothing done) when an array is
    // missing or there is no engine.
    bool transform(const double* samples, double* spectrum);

    // A[0] = f[0]/N; A[k] = |f[k] + i f[N/2+k]| / (N/2), 1 <= k < N/2.
    void amplitudeSpectrum(const double* spectrum, double* amp) const;
    // P[0] = 0; P[k] = atan2(f[N/2+k], f[k]), 1 <= k < N/2 (radians).
    void phaseSpectrum(const double* spectrum, double* phase) const;
    // P[k] alone, for 1 <= k < N/2 (the readings only need two bins).
    double phaseAt(const double* spectrum, long k) const;

    // First k in s .. N/2-1 whose A[k] is strictly greater than the best so far, starting
    // from max(floor, kPeakFloorLimit); kNoPeak when the range is empty or nothing beats it.
    long findPeak(const double* amp, double floor) const;
    // The same search listing up to `count` (<= kMaxPeaks) peaks of distinct places, at least
    // s bins apart, largest first: peaks[0] is what findPeak returns. Returns how many.
    static constexpr int kMaxPeaks = 64;
    long findPeaks(const double* amp, double floor, long* peaks, int count) const;

    long length() const { return _length; }
    int terms() const { return _terms; }
    double coefficient(int k) const { return _coefs[k]; }
    const double* coefficients() const { return _coefs; }
    int r() const { return _r; }
    int s() const { return _s; }

private:
    long _length = 0;
    std::unique_ptr<RealFft> _fft;
    const std::atomic<bool>* _stopFlag = nullptr;
    int _terms = 0;
    double _coefs[kMaxWindowTerms] = {};
    int _r = 0;
    int _s = 0;
};

// ToneDetector: decides whether the summed peak of a windowed spectrum is a tone or merely the
// largest of the noise, and whether one tone explains the summed bins. It works on the complex
// bins y[k] = f[k] - i f[N/2+k] scaled so that |y[k]|^2 = e[k] = A[k]^2 / 2, the power the
// readings sum.
//
// Noise floor. White noise of variance v gives every bin the same mean power mu = 2 v S / N
// (S the window's mean square), exponentially distributed, and neighbouring bins correlated
// through the window: E[y_k conj(y_l)] = mu rho(k-l), rho(j) = b_j / b_0, where b is the
// self-convolution of the window's bin-domain taps a_0 = c0, a_{+-m} = c_m / 2 (zero beyond
// 2(terms-1) bins). mu is estimated as median(e) / ln 2 over the bins above the DC lobe
// (k > s) outside the summed span: the median ignores tones and harmonics as long as they
// occupy fewer than half of the bins. Above kMaxFloorSamples bins the sample takes every
// d-th bin, d >= 2 terms - 1, so that the sampled bins are independent and the cost does not
// grow with N.
//
// Detection statistic. A tone at frequency nu (bins) adds alpha t(nu) to the bins, with
// t_k(nu) = sum_m a_m D(k - m - nu), D(x) = exp(-i pi x (N-1)/N) sin(pi x) / sin(pi x / N).
// The best linear test for it in correlated noise is the whitened matched filter over the
// summed span J:  G(nu) = |t^H R^-1 y|^2 / (t^H R^-1 t), R = [rho(k-l)], k, l in J. For a
// fixed nu, noise alone gives G / mu ~ Exp(1), and a tone of power P (in the units of the
// summed power E) gives about 0.8 P / mu: whitening undoes most of the window's noise
// bandwidth, where the summed power E itself adds the noise of all ten bins and the peak bin
// alone loses 3.4 dB to it. G is maximised over nu in peak +- 7/8 (steps of 1/4) and the
// centroid; near N/2 (and near 0) the bins of a real signal are not circular, and G is
// divided by 1 + |E[z^2]| / E[|z|^2] of the filter output z, which keeps its tail below
// exp(-G/mu) there too. Tone when G / mu_hat exceeds threshold().
//
// Threshold. On noise alone, the statistic of any of the N/2 - s peak positions exceeds tau
// with a probability of at most about  Q(tau) = P (1 + beta sqrt(tau)) L(tau),  P the number
// of positions (a union bound, so it also covers judging several peaks of a frame), beta the
// excess of the search over nu around each position (0.6, measured), and
// L(tau) = E[exp(-tau mu_hat / mu)] the effect of the estimated floor: for a median of n
// independent exponential samples L = prod_{i=1..n/2+1} 1 / (1 + tau / (ln 2 (n - i + 1))); the
// correlated neighbouring bins of a stride-1 sample count as n / 2.3 (measured).
// threshold() solves Q(tau) = kDesignFalseAlarm: 22.2 at N = 256, 19.2 at 4096, 21.8 at
// 65536, 24.5 at 2^20, 27.4 at 2^24. Measured on white noise the rate is 0.2 .. 1 times Q.
//
// Second tone. One tone is fitted to the span by least squares, its frequency refined by
// Gauss-Newton steps from the best nu: y ~ alpha t(nu) + beta t'(nu), nu += Re(beta / alpha).
// What is left, r = ||y - alpha t - beta t'||^2, is the power in the span no single tone
// explains; a clean tone leaves only noise (about 5 mu on average) and the model's rounding
// (1e-15 of E; its mirror image, 125 dB down in the sidelobes, 3e-13 of E near the ends).
// When r says there is more, fitTwoTones() separates the two strongest tones of the span; the
// readings formed from the stronger alone tell how far the other moves the reported ones.
class ToneDetector {
public:
    // Largest span (summed bins) the detector handles; wider windows are not judged.
    static constexpr int kMaxSpan = 32;
    // The noise floor is estimated from at most this many bins.
    static constexpr long kMaxFloorSamples = 8192;
    // Noise-only frames reported as a tone, per frame, the threshold is solved for (half the
    // promised 1e-4, the rest is the margin of the false-alarm model).
    static constexpr double kDesignFalseAlarm = 5e-5;

    struct Result {
        bool judged = false;      // false: too few bins to know the floor; nothing below is set
        bool tone = false;        // statistic > threshold
        double statistic = 0;     // max G / mu_hat
        double floor = 0;         // mu_hat, mean noise power per bin
        double frequency = 0;     // fitted tone frequency, bins (tone only)
        std::complex<double> amplitude;  // the fitted bins are amplitude * toneBin(frequency, k)
        double residual = 0;      // r, power the fitted tone leaves in the span (tone only)
    };

    // length N (a power of two), the window's cosine coefficients and term count, s the first
    // bin of the peak search. Allocates the floor sample (may throw std::bad_alloc).
    ToneDetector(long length, const double* coefficients, int terms, int s);

    // False when the frame is too short for the floor estimate or the window too wide: every
    // assessment then reports judged = false.
    bool usable() const { return _usable; }
    double threshold() const { return _threshold; }
    long floorSamples() const { return _floorSamples; }
    long floorStride() const { return _floorStride; }
    // The floor sample's worth in independent bins (fewer than floorSamples() at stride 1).
    double effectiveFloorSamples() const;
    double correlation(int lag) const;

    // Probability that noise alone exceeds tau at one of `positions` peak positions, the
    // floor estimated from `effectiveSamples` independent bins (the model described above).
    static double falseAlarmModel(double tau, double positions, double effectiveSamples);
    // The tau at which falseAlarmModel equals `rate`; +inf when no tau below 1000 reaches it.
    static double solveThreshold(double positions, double effectiveSamples, double rate);

    // spectrum: the half-complex transform; peak: the peak bin; lo .. hi: the summed bins
    // (inclusive, s < lo <= hi < N/2); centroid: F / E in bins; floor: estimateFloor().
    // Allocates nothing.
    Result assess(const double* spectrum, long peak, long lo, long hi, double centroid,
                  double floor);

    // mu_hat of the frame, the bins around `peak` left out; negative when it cannot be known
    // (then assess() does not judge). Once per frame, before assess(). Allocates nothing.
    double estimateFloor(const double* amp, long peak);

    // t_k(nu) of a unit tone, in the scale of y; for k within one bin and nu within `terms`
    // bins of the span of the last assessment.
    std::complex<double> toneBin(double nu, long k) const;

    struct Tone {
        double frequency;              // bins
        std::complex<double> amplitude;  // its bins are amplitude * toneBin(frequency, k)
    };
    // Two tones fitted to the span of the last assessment (a tone), the first started at its
    // one-tone fit, the second at the best of a quarter-bin grid, both then refined together.
    // main is the stronger. False when the span is narrower than five bins or the fit fails.
    bool fitTwoTones(const Result& single, Tone& main, Tone& other) const;

private:
    using Cx = std::complex<double>;
    // t_k(nu) for k = lo .. lo + n - 1 into t; with its derivative in nu into td.
    void toneShape(double nu, long lo, int n, Cx* t) const;
    void derivative(double nu, long lo, int n, Cx* t, Cx* td) const;
    // Least squares y ~ sum coef[a] basis[a], count <= 4 basis vectors of n bins; false when
    // the basis is degenerate.
    static bool leastSquares(const Cx* const* basis, int count, int n, const Cx* y, Cx* coef,
                             double& residual);

    long _length;
    long _half;
    int _terms;
    int _s;
    bool _usable = false;
    double _taps[kMaxWindowTerms] = {};   // a_0 .. a_{terms-1}
    double _rho[2 * kMaxWindowTerms] = {};
    int _maxLag = 0;                      // rho(j) = 0 beyond
    int _tableHalf = 0;                   // the tables cover i = -_tableHalf .. _tableHalf
    DynArray<double> _sinTab, _cosTab;    // sin, cos(pi i / N)
    DynArray<double> _floorSample;
    long _floorSamples = 0;
    long _floorStride = 1;
    double _threshold = 0;
    Cx _y[kMaxSpan];                      // the span of the last assessment
    long _lo = 0;
    int _n = 0;
};

}  // namespace qmx
