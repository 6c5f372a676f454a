#include "SpectrumAnalyser.h"

#include <algorithm>
#include <iterator>
#include <cmath>
#include <limits>

namespace qmx {

SpectrumAnalyser::SpectrumAnalyser(long length, const std::atomic<bool>* stopFlag)
    : _length(length), _stopFlag(stopFlag)
{
    if (length > 0)
        _fft = std::make_unique<RealFft>(length);
}

bool SpectrumAnalyser::setLength(long n)
{
    if (n == 0)
        return false;
    if (n != _length || !_fft) {
        _fft = std::make_unique<RealFft>(n);
        _length = n;
    }
    return true;
}

bool SpectrumAnalyser::buildWindow(double* window, int type)
{
    if (type == 0)
        return true;
    const WindowDescription* d = windowDescription(type);
    if (!d) {
        _r = _s = _terms = 0;
        return true;
    }
    std::fill(std::begin(_coefs), std::end(_coefs), 0.0);
    std::copy(d->c, d->c + d->terms, _coefs);
    _terms = d->terms;
    _r = d->r;
    _s = d->s;
    return fillCosineWindow(window, _length, _coefs, _terms, _stopFlag);
}

void SpectrumAnalyser::applyWindow(double* samples, const double* window) const
{
    for (long i = 0; i < _length; ++i)
        samples[i] *= window[i];
}

bool SpectrumAnalyser::transform(const double* samples, double* spectrum)
{
    if (!samples || !spectrum || !_fft)
        return false;
    _fft->forward(samples, spectrum);
    return true;
}

void SpectrumAnalyser::amplitudeSpectrum(const double* spectrum, double* amp) const
{
    const long half = _length / 2;
    amp[0] = spectrum[0] / static_cast<double>(_length);
    const double scale = 1.0 / static_cast<double>(half);
    const double* re = spectrum;
    const double* im = spectrum + half;
    for (long k = 1; k < half; ++k)
        amp[k] = std::sqrt(re[k] * re[k] + im[k] * im[k]) * scale;
}

void SpectrumAnalyser::phaseSpectrum(const double* spectrum, double* phase) const
{
    const long half = _length / 2;
    phase[0] = 0.0;
    for (long k = 1; k < half; ++k)
        phase[k] = std::atan2(spectrum[half + k], spectrum[k]);
}

double SpectrumAnalyser::phaseAt(const double* spectrum, long k) const
{
    return std::atan2(spectrum[_length / 2 + k], spectrum[k]);
}

long SpectrumAnalyser::findPeak(const double* amp, double floor) const
{
    double best = std::max(floor, kPeakFloorLimit);
    long peak = kNoPeak;
    for (long k = _s; k < _length / 2; ++k)
        if (amp[k] > best) {
            best = amp[k];
            peak = k;
        }
    return peak;
}

long SpectrumAnalyser::findPeaks(const double* amp, double floor, long* peaks, int count) const
{
    // One pass: the first maximum, and a short list of the largest bins of distinct places
    // (a bin within s of a listed one replaces it when larger, else it is ignored). gate is
    // the least listed value once the list is full; few bins pass it.
    if (count <= 0)
        return 0;
    const double start = std::max(floor, kPeakFloorLimit);
    double best = start, gate = start;
    long peak = kNoPeak;
    double values[kMaxPeaks];
    int listed = 0;
    count = std::clamp(count, 0, kMaxPeaks);
    for (long k = _s; k < _length / 2; ++k) {
        const double a = amp[k];
        if (!(a > gate))
            continue;
        if (a > best) {
            best = a;
            peak = k;
        }
        int near = -1;
        for (int j = 0; j < listed; ++j)
            if (k - peaks[j] < _s) {
                near = j;
                break;
            }
        if (near >= 0) {
            if (a > values[near]) {
                values[near] = a;
                peaks[near] = k;
            }
        } else if (listed < count) {
            values[listed] = a;
            peaks[listed++] = k;
        } else {
            int least = 0;
            for (int j = 1; j < listed; ++j)
                if (values[j] < values[least])
                    least = j;
            values[least] = a;
            peaks[least] = k;
        }
        if (listed == count) {
            gate = values[0];
            for (int j = 1; j < listed; ++j)
                gate = std::min(gate, values[j]);
        }
    }
    if (peak == kNoPeak)
        return 0;
    // Largest first; the first maximum leads.
    for (int i = 1; i < listed; ++i)
        for (int j = i; j > 0 && (values[j] > values[j - 1] ||
                                  (values[j] == values[j - 1] && peaks[j] < peaks[j - 1]));
             --j) {
            std::swap(values[j], values[j - 1]);
            std::swap(peaks[j], peaks[j - 1]);
        }
    return listed;
}

}  // namespace qmx

namespace qmx {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kLn2 = 0.69314718055994530942;

// Excess of the continuous frequency search (grid and centroid around each peak) over one
// exponential per peak position, and the factor by which the correlated neighbouring bins of
// a stride-1 floor sample count less than independent ones; both measured with the five-term
// window on white noise (bench/detector_bench prints the check).
constexpr double kSearchExcess = 0.6;
constexpr double kNeighbourCorrelation = 2.3;

// Steps of the tone fit and the step of its numerical derivative, in bins.
constexpr int kFitSteps = 3;
constexpr int kTwoToneSteps = 10;
constexpr double kDerivativeStep = 1e-3;

// Real-symmetric positive definite n x n, row-major: lower Cholesky factor in place. Returns
// false when a pivot is not positive (the caller then does not judge the frame).
bool cholesky(double* a, int n)
{
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j <= i; ++j) {
            double sum = a[i * n + j];
            for (int k = 0; k < j; ++k)
                sum -= a[i * n + k] * a[j * n + k];
            if (i == j) {
                if (!(sum > 0))
                    return false;
                a[i * n + i] = std::sqrt(sum);
            } else {
                a[i * n + j] = sum / a[j * n + j];
            }
        }
    }
    return true;
}

// Solves L L^T v = t for complex t with the real factor L.
void choleskySolve(const double* l, int n, const std::complex<double>* t, std::complex<double>* v)
{
    for (int i = 0; i < n; ++i) {
        std::complex<double> sum = t[i];
        for (int k = 0; k < i; ++k)
            sum -= l[i * n + k] * v[k];
        v[i] = sum / l[i * n + i];
    }
    for (int i = n - 1; i >= 0; --i) {
        std::complex<double> sum = v[i];
        for (int k = i + 1; k < n; ++k)
            sum -= l[k * n + i] * v[k];
        v[i] = sum / l[i * n + i];
    }
}

}  // namespace

ToneDetector::ToneDetector(long length, const double* coefficients, int terms, int s)
    : _length(length), _half(length / 2), _terms(terms), _s(s)
{
    if (terms < 1 || terms > kMaxWindowTerms || s < 1 || 2 * s > kMaxSpan)
        return;
    _taps[0] = coefficients[0];
    for (int m = 1; m < terms; ++m)
        _taps[m] = 0.5 * coefficients[m];
    // b_j = sum_m a_m a_{j-m} over the symmetric taps m = -(terms-1) .. terms-1.
    _maxLag = 2 * (terms - 1);
    double b[2 * kMaxWindowTerms] = {};
    for (int j = 0; j <= _maxLag; ++j)
        for (int m = -(terms - 1); m <= terms - 1; ++m) {
            const int o = j - m;
            if (o >= -(terms - 1) && o <= terms - 1)
                b[j] += _taps[std::abs(m)] * _taps[std::abs(o)];
        }
    if (!(b[0] > 0))
        return;
    for (int j = 0; j <= _maxLag; ++j)
        _rho[j] = b[j] / b[0];

    // The shapes need D at offsets i - phi, |i| <= 2s + 2 terms + 1; those must stay below N.
    _tableHalf = 2 * s + 2 * terms + 1;
    if (length < 4 * _tableHalf)
        return;

    // Floor sample: every bin above s when they are few, else every d-th with d at least
    // 2 terms - 1 (beyond 2(terms-1) bins the window leaves the noise uncorrelated).
    const long count = _half - (s + 1);
    const long span = 2L * s;
    if (count <= kMaxFloorSamples) {
        _floorStride = 1;
        _floorSamples = count - span;
    } else {
        _floorStride = std::max<long>(2L * terms - 1, (count + kMaxFloorSamples - 1) / kMaxFloorSamples);
        _floorSamples = (count + _floorStride - 1) / _floorStride - (span + _floorStride - 1) / _floorStride;
    }
    // Fewer than 16 floor bins say too little about the floor to judge anything.
    if (_floorSamples < 16)
        return;

    _sinTab.resize(2 * _tableHalf + 1);
    _cosTab.resize(2 * _tableHalf + 1);
    for (int i = -_tableHalf; i <= _tableHalf; ++i) {
        _sinTab[i + _tableHalf] = std::sin(kPi * i / static_cast<double>(length));
        _cosTab[i + _tableHalf] = std::cos(kPi * i / static_cast<double>(length));
    }
    _floorSample.resize(std::min(count, kMaxFloorSamples) + 1);

    _threshold = solveThreshold(static_cast<double>(_half - s), effectiveFloorSamples(), kDesignFalseAlarm);
    _usable = std::isfinite(_threshold);
}

double ToneDetector::effectiveFloorSamples() const
{
    return _floorStride == 1 ? static_cast<double>(_floorSamples) / kNeighbourCorrelation
                             : static_cast<double>(_floorSamples);
}

double ToneDetector::correlation(int lag) const
{
    lag = std::abs(lag);
    return lag <= _maxLag ? _rho[lag] : 0.0;
}

double ToneDetector::falseAlarmModel(double tau, double positions, double effectiveSamples)
{
    // log L(tau) for the median of n exponential samples: the m-th smallest is a sum of m
    // independent exponentials of means 1 / (n - i + 1).
    const double n = effectiveSamples;
    const long m = static_cast<long>(std::floor(n / 2)) + 1;
    double logL = 0;
    for (long i = 1; i <= m; ++i)
        logL -= std::log1p(tau / (kLn2 * (n - static_cast<double>(i) + 1)));
    return positions * (1 + kSearchExcess * std::sqrt(tau)) * std::exp(logL);
}

double ToneDetector::solveThreshold(double positions, double effectiveSamples, double rate)
{
    double lo = 0, hi = 1000;
    if (!(positions > 0) || !(effectiveSamples >= 1) ||
        falseAlarmModel(hi, positions, effectiveSamples) > rate)
        return std::numeric_limits<double>::infinity();
    for (int it = 0; it < 100; ++it) {
        const double mid = 0.5 * (lo + hi);
        (falseAlarmModel(mid, positions, effectiveSamples) > rate ? lo : hi) = mid;
    }
    return hi;
}

void ToneDetector::toneShape(double nu, long lo, int n, Cx* t) const
{
    // nu = n0 + phi with n0 whole and |phi| <= 1/2; D(i - phi) for whole i. With phi != 0,
    //   D(i - phi) = K e^{i pi i / N} / sin(pi (i - phi) / N),  K = -sin(pi phi) e^{i pi phi (N-1)/N},
    // and sin(pi (i - phi)/N) from the tables by the difference formula; with phi == 0 only
    // D(0) = N is not zero.
    const double n0 = std::nearbyint(nu);
    const double phi = nu - n0;
    const long base = static_cast<long>(n0);
    const int reach = _terms - 1;
    const long iLo = lo - reach - base;
    const int width = n + 2 * reach;
    Cx d[kMaxSpan + 2 * kMaxWindowTerms];
    const double N = static_cast<double>(_length);
    if (phi == 0.0) {
        for (int j = 0; j < width; ++j)
            d[j] = iLo + j == 0 ? Cx(N, 0.0) : Cx(0.0, 0.0);
    } else {
        const double sq = std::sin(kPi * phi / N), cq = std::cos(kPi * phi / N);
        const double turn = kPi * phi * (N - 1) / N;
        const double kRe = -std::sin(kPi * phi) * std::cos(turn);
        const double kIm = -std::sin(kPi * phi) * std::sin(turn);
        const double* sinTab = _sinTab.data();
        const double* cosTab = _cosTab.data();
        for (int j = 0; j < width; ++j) {
            const long idx = iLo + j + _tableHalf;
            const double si = sinTab[idx], ci = cosTab[idx];
            const double inv = 1.0 / (si * cq - ci * sq);
            // K * (ci + i si) / den
            d[j] = Cx((kRe * ci - kIm * si) * inv, (kRe * si + kIm * ci) * inv);
        }
    }
    for (int k = 0; k < n; ++k) {
        // t_k = sum_m a_|m| D(k - m - nu): the entry of D for offset (lo + k - m) - n0.
        const Cx* dk = d + k + reach;
        Cx sum = _taps[0] * dk[0];
        for (int m = 1; m <= reach; ++m)
            sum += _taps[m] * (dk[-m] + dk[m]);
        t[k] = sum;
    }
}

double ToneDetector::estimateFloor(const double* amp, long peak)
{
    if (!_usable)
        return -1.0;
    long n = 0;
    double* e = _floorSample.data();
    const long capacity = _floorSample.size();
    for (long k = _s + 1; k < _half && n < capacity; k += _floorStride) {
        if (k >= peak - _s && k <= peak + _s - 1)
            continue;
        e[n++] = 0.5 * amp[k] * amp[k];
    }
    if (n == 0)
        return -1.0;
    std::nth_element(e, e + n / 2, e + n);
    return e[n / 2] / kLn2;
}

ToneDetector::Result ToneDetector::assess(const double* spectrum, long peak, long lo, long hi,
                                          double centroid, double floor)
{
    Result res;
    const int n = static_cast<int>(hi - lo + 1);
    if (!_usable || n < 1 || n > kMaxSpan || !(floor >= 0) || !std::isfinite(centroid) ||
        peak < lo - _s || peak > hi + _s)
        return res;

    // The span's bins, scaled to |y|^2 = e, and the Cholesky factor of their correlation.
    Cx y[kMaxSpan];
    const double scale = 1.0 / (static_cast<double>(_half) * std::sqrt(2.0));
    for (int i = 0; i < n; ++i)
        y[i] = Cx(spectrum[lo + i], -spectrum[_half + lo + i]) * scale;
    double l[kMaxSpan * kMaxSpan];
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j)
            l[i * n + j] = correlation(i - j);
    if (!cholesky(l, n))
        return res;

    // Pseudo-correlation E[y_k y_l] / mu = rho(k + l) near 0 and rho(N - k - l) near N/2.
    const bool improper = lo + lo <= _maxLag || hi + hi >= _length - _maxLag;
    auto pseudo = [&](long k, long m) {
        const long sum = k + m;
        if (sum <= _maxLag)
            return _rho[sum];
        if (_length - sum <= _maxLag)
            return _rho[_length - sum];
        return 0.0;
    };

    Cx t[kMaxSpan], v[kMaxSpan];
    auto statistic = [&](double nu) {
        toneShape(nu, lo, n, t);
        choleskySolve(l, n, t, v);
        Cx num = 0, den = 0;
        for (int i = 0; i < n; ++i) {
            num += std::conj(v[i]) * y[i];
            den += std::conj(t[i]) * v[i];
        }
        const double power = den.real();
        if (!(power > 0))
            return 0.0;
        double g = std::norm(num) / power;
        if (improper) {
            Cx z2 = 0;
            for (int i = 0; i < n; ++i)
                for (int j = 0; j < n; ++j)
                    z2 += std::conj(v[i]) * std::conj(v[j]) * pseudo(lo + i, lo + j);
            g /= 1 + std::abs(z2) / power;
        }
        return g;
    };

    double best = statistic(centroid);
    double bestNu = centroid;
    for (int j = -4; j < 4; ++j) {
        const double nu = static_cast<double>(peak) + (2 * j + 1) / 8.0;
        const double g = statistic(nu);
        if (g > best) {
            best = g;
            bestNu = nu;
        }
    }

    res.floor = floor;
    res.judged = true;
    res.statistic = res.floor > 0 ? best / res.floor
                                  : (best > 0 ? std::numeric_limits<double>::infinity() : 0.0);
    res.tone = res.statistic > _threshold;
    if (!res.tone)
        return res;

    // One tone by least squares on {t, t'}; each step moves nu by Re(beta / alpha).
    for (int i = 0; i < n; ++i)
        _y[i] = y[i];
    _lo = lo;
    _n = n;
    double nu = bestNu;
    Cx coef[4];
    double residual = 0;
    for (int step = 0; step < kFitSteps; ++step) {
        Cx td[kMaxSpan];
        derivative(nu, lo, n, t, td);
        const Cx* basis[2] = {t, td};
        if (!leastSquares(basis, n >= 2 ? 2 : 1, n, y, coef, residual))
            break;
        if (n < 2 || coef[0] == Cx(0, 0))
            break;
        nu = std::clamp(nu + std::clamp((coef[1] / coef[0]).real(), -0.5, 0.5),
                        static_cast<double>(lo) - 1.0, static_cast<double>(hi) + 1.0);
    }
    // The fitted tone: the refined frequency and its amplitude there.
    toneShape(nu, lo, n, t);
    const Cx* basis[1] = {t};
    double ignored = 0;
    if (!leastSquares(basis, 1, n, y, coef, ignored))
        coef[0] = 0;
    res.frequency = nu;
    res.amplitude = coef[0];
    res.residual = residual;
    return res;
}

void ToneDetector::derivative(double nu, long lo, int n, Cx* t, Cx* td) const
{
    Cx up[kMaxSpan], down[kMaxSpan];
    toneShape(nu, lo, n, t);
    toneShape(nu + kDerivativeStep, lo, n, up);
    toneShape(nu - kDerivativeStep, lo, n, down);
    for (int i = 0; i < n; ++i)
        td[i] = (up[i] - down[i]) / (2 * kDerivativeStep);
}

bool ToneDetector::leastSquares(const Cx* const* basis, int count, int n, const Cx* y, Cx* coef,
                                double& residual)
{
    // Normal equations (B^H B) x = B^H y, at most 4 unknowns, Gaussian elimination with
    // partial pivoting.
    Cx g[4][5];
    for (int a = 0; a < count; ++a) {
        for (int b = 0; b < count; ++b) {
            Cx sum = 0;
            for (int i = 0; i < n; ++i)
                sum += std::conj(basis[a][i]) * basis[b][i];
            g[a][b] = sum;
        }
        Cx sum = 0;
        for (int i = 0; i < n; ++i)
            sum += std::conj(basis[a][i]) * y[i];
        g[a][count] = sum;
    }
    double scale = 0;
    for (int a = 0; a < count; ++a)
        scale = std::max(scale, std::abs(g[a][a]));
    for (int col = 0; col < count; ++col) {
        int pivot = col;
        for (int r = col + 1; r < count; ++r)
            if (std::abs(g[r][col]) > std::abs(g[pivot][col]))
                pivot = r;
        if (!(std::abs(g[pivot][col]) > 1e-13 * scale))
            return false;
        for (int c = 0; c <= count; ++c)
            std::swap(g[col][c], g[pivot][c]);
        for (int r = col + 1; r < count; ++r) {
            const Cx f = g[r][col] / g[col][col];
            for (int c = col; c <= count; ++c)
                g[r][c] -= f * g[col][c];
        }
    }
    for (int r = count - 1; r >= 0; --r) {
        Cx sum = g[r][count];
        for (int c = r + 1; c < count; ++c)
            sum -= g[r][c] * coef[c];
        coef[r] = sum / g[r][r];
    }
    residual = 0;
    for (int i = 0; i < n; ++i) {
        Cx fit = 0;
        for (int a = 0; a < count; ++a)
            fit += coef[a] * basis[a][i];
        residual += std::norm(y[i] - fit);
    }
    return true;
}

bool ToneDetector::fitTwoTones(const Result& single, Tone& main, Tone& other) const
{
    const int n = _n;
    const long lo = _lo;
    if (!single.tone || n < 5)
        return false;
    // The second tone counts while its main lobe (terms bins either side) reaches the span.
    const double first = static_cast<double>(lo - _terms);
    const double last = static_cast<double>(lo + n - 1 + _terms);

    // The second tone's start: the best of a quarter-bin grid over the span, the first held
    // at the one-tone fit.
    Cx t1[kMaxSpan], t2[kMaxSpan];
    double nu1 = single.frequency;
    toneShape(nu1, lo, n, t1);
    double nu2 = 0, best = std::numeric_limits<double>::infinity();
    Cx coef[4];
    for (double nu = first; nu <= last; nu += 0.25) {
        if (std::fabs(nu - nu1) < 0.25)
            continue;
        toneShape(nu, lo, n, t2);
        const Cx* basis[2] = {t1, t2};
        double r = 0;
        if (leastSquares(basis, 2, n, _y, coef, r) && r < best) {
            best = r;
            nu2 = nu;
        }
    }
    if (!std::isfinite(best))
        return false;

    // Both frequencies refined together: basis {t1, t1', t2, t2'}.
    for (int step = 0; step < kTwoToneSteps; ++step) {
        Cx d1[kMaxSpan], d2[kMaxSpan];
        derivative(nu1, lo, n, t1, d1);
        derivative(nu2, lo, n, t2, d2);
        const Cx* basis[4] = {t1, d1, t2, d2};
        double r = 0;
        if (!leastSquares(basis, 4, n, _y, coef, r) || coef[0] == Cx(0, 0) || coef[2] == Cx(0, 0))
            break;
        nu1 = std::clamp(nu1 + std::clamp((coef[1] / coef[0]).real(), -0.25, 0.25), first, last);
        nu2 = std::clamp(nu2 + std::clamp((coef[3] / coef[2]).real(), -0.25, 0.25), first, last);
    }
    toneShape(nu1, lo, n, t1);
    toneShape(nu2, lo, n, t2);
    const Cx* basis[2] = {t1, t2};
    double r = 0;
    if (!leastSquares(basis, 2, n, _y, coef, r))
        return false;
    main = {nu1, coef[0]};
    other = {nu2, coef[1]};
    if (std::abs(coef[1]) > std::abs(coef[0]))
        std::swap(main, other);
    return true;
}

std::complex<double> ToneDetector::toneBin(double nu, long k) const
{
    Cx t;
    toneShape(nu, k, 1, &t);
    return t;
}

}  // namespace qmx
