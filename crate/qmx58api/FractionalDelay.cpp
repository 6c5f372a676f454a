#include "FractionalDelay.h"

#include <algorithm>
#include <cmath>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace qmx::icp {

namespace {

constexpr double kPi = 3.14159265358979323846;
// Kaiser window shape: a larger beta lowers the error well inside the band but widens the
// transition towards half the rate. With 80 taps the error up to 0.45 times the rate is
// least at 12.5 and grows steeply beyond it (twice at 12.7, seven times at 13); 12.4 stays
// clear of that edge at 10 % more error.
constexpr double kBeta = 12.4;
// Conversions filtered per block and channel: the block's interleaved values stay in cache
// while every channel passes over them.
constexpr std::size_t kBlock = 1024;
// Linear prediction beyond a series' ends: model order and the values it is fitted to
// (the nearest ones, the history's included). The filter reaches up to 56 values beyond an
// end; that far out, the continuation of seven tones up to 0.45 times the rate misses by
// 5e-6 of their peak at order 64 and by 1.4e-6 at order 96.
constexpr std::size_t kPredictOrder = 96;
constexpr std::size_t kPredictFit = kHistory;

double besselI0(double x) {
    double sum = 1, term = 1;
    for (int k = 1; k < 500; ++k) {
        const double h = x / (2 * k);
        term *= h * h;
        sum += term;
        if (term < 1e-17 * sum) break;
    }
    return sum;
}

// Filter taps for a position mu (0 <= mu < 1) past the middle tap: tap t weighs the value
// t - kHalfTaps + 1 places from the base. mu == 0 is an exact pick of one value.
void design(double mu, double (&c)[kTaps]) {
    if (mu == 0) {
        std::fill(std::begin(c), std::end(c), 0.0);
        c[kHalfTaps - 1] = 1.0;
        return;
    }
    static const double i0Beta = besselI0(kBeta);
    double sum = 0;
    for (int t = 0; t < kTaps; ++t) {
        const double x = (t - kHalfTaps + 1) - mu;  // never 0: mu is not an integer
        const double r = x / kHalfTaps;             // |r| < 1
        const double w = besselI0(kBeta * std::sqrt(1 - r * r)) / i0Beta;
        c[t] = w * std::sin(kPi * x) / (kPi * x);
        sum += c[t];
    }
    for (double& v : c) v /= sum;
}

// out[i] = sum over t of c[t] * in[i + t], for i < n.
using FirKernel = void (*)(const double* in, const double* c, double* out, std::size_t n);

void firScalar(const double* in, const double* c, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        double acc = 0;
        for (int t = 0; t < kTaps; ++t) acc += c[t] * in[i + t];
        out[i] = acc;
    }
}

#if defined(__x86_64__)
// 16 outputs at a time in four independent accumulators, so the multiply-adds overlap.
__attribute__((target("avx2,fma"))) void firAvx2(const double* in, const double* c, double* out, std::size_t n) {
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        __m256d a0 = _mm256_setzero_pd(), a1 = a0, a2 = a0, a3 = a0;
        const double* p = in + i;
        for (int t = 0; t < kTaps; ++t) {
            const __m256d ct = _mm256_broadcast_sd(c + t);
            a0 = _mm256_fmadd_pd(ct, _mm256_loadu_pd(p + t), a0);
            a1 = _mm256_fmadd_pd(ct, _mm256_loadu_pd(p + t + 4), a1);
            a2 = _mm256_fmadd_pd(ct, _mm256_loadu_pd(p + t + 8), a2);
            a3 = _mm256_fmadd_pd(ct, _mm256_loadu_pd(p + t + 12), a3);
        }
        _mm256_storeu_pd(out + i, a0);
        _mm256_storeu_pd(out + i + 4, a1);
        _mm256_storeu_pd(out + i + 8, a2);
        _mm256_storeu_pd(out + i + 12, a3);
    }
    firScalar(in + i, c, out + i, n - i);
}

// 128 outputs at a time in sixteen accumulators. A tap t = rho + 8 d of the output vector
// r reads the eight values at rho + 8 (r + d), so per residue rho the five coefficients
// stay in registers and every unaligned load serves up to five multiply-adds: the loop is
// bound by the multiply-adds, not by the loads.
__attribute__((target("avx512f"))) void firAvx512(const double* in, const double* c, double* out, std::size_t n) {
    constexpr int kAcc = 16;
    constexpr int kPer = kTaps / 8;
    static_assert(kTaps % 8 == 0, "taps in whole vectors");
    std::size_t i = 0;
    for (; i + 8 * kAcc <= n; i += 8 * kAcc) {
        __m512d acc[kAcc];
        for (int r = 0; r < kAcc; ++r) acc[r] = _mm512_setzero_pd();
        const double* p = in + i;
        for (int rho = 0; rho < 8; ++rho) {
            __m512d cs[kPer];
#pragma GCC unroll 16
            for (int d = 0; d < kPer; ++d) cs[d] = _mm512_set1_pd(c[rho + 8 * d]);
#pragma GCC unroll 32
            for (int s = 0; s < kAcc + kPer - 1; ++s) {
                const __m512d w = _mm512_loadu_pd(p + rho + 8 * s);
#pragma GCC unroll 16
                for (int d = 0; d < kPer; ++d) {
                    const int r = s - d;
                    if (r >= 0 && r < kAcc) acc[r] = _mm512_fmadd_pd(cs[d], w, acc[r]);
                }
            }
        }
        for (int r = 0; r < kAcc; ++r) _mm512_storeu_pd(out + i + 8 * r, acc[r]);
    }
    firAvx2(in + i, c, out + i, n - i);
}

void firSse2(const double* in, const double* c, double* out, std::size_t n) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        __m128d a0 = _mm_setzero_pd(), a1 = a0, a2 = a0, a3 = a0;
        const double* p = in + i;
        for (int t = 0; t < kTaps; ++t) {
            const __m128d ct = _mm_set1_pd(c[t]);
            a0 = _mm_add_pd(a0, _mm_mul_pd(ct, _mm_loadu_pd(p + t)));
            a1 = _mm_add_pd(a1, _mm_mul_pd(ct, _mm_loadu_pd(p + t + 2)));
            a2 = _mm_add_pd(a2, _mm_mul_pd(ct, _mm_loadu_pd(p + t + 4)));
            a3 = _mm_add_pd(a3, _mm_mul_pd(ct, _mm_loadu_pd(p + t + 6)));
        }
        _mm_storeu_pd(out + i, a0);
        _mm_storeu_pd(out + i + 2, a1);
        _mm_storeu_pd(out + i + 4, a2);
        _mm_storeu_pd(out + i + 6, a3);
    }
    firScalar(in + i, c, out + i, n - i);
}
#endif

FirKernel firKernel() {
#if defined(__x86_64__)
    static const FirKernel k = !(__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) ? firSse2
                               : __builtin_cpu_supports("avx512f")                                ? firAvx512
                                                                                                  : firAvx2;
    return k;
#else
    return firScalar;
#endif
}

// Continues seg[0..n) by count values (out[0] follows seg[n - 1]) with an autoregressive
// model fitted by Burg's method, whose predictor is always stable. The continuation is
// held within twice the segment's peak, so an odd end cannot make it run away.
void predict(const double* seg, std::size_t n, std::size_t count, double* out) {
    if (n == 0) {
        std::fill(out, out + count, 0.0);
        return;
    }
    const std::size_t order = std::min(kPredictOrder, n / 2);
    if (order == 0) {
        std::fill(out, out + count, seg[n - 1]);
        return;
    }
    // Burg's recursion on forward (f) and backward (b) prediction errors; a[0] = 1.
    std::vector<double> f(seg, seg + n), b(seg, seg + n), a(order + 1, 0.0), prev;
    a[0] = 1;
    std::size_t p = 0;
    while (p < order) {
        const std::size_t k = p + 1;
        double num = 0, den = 0;
        for (std::size_t i = k; i < n; ++i) {
            num += f[i] * b[i - 1];
            den += f[i] * f[i] + b[i - 1] * b[i - 1];
        }
        if (!(den > 0)) break;  // the segment is predicted exactly already
        const double r = std::clamp(-2 * num / den, -1.0, 1.0);
        prev.assign(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(k));  // a[0..k - 1]
        for (std::size_t j = 1; j < k; ++j) a[j] = prev[j] + r * prev[k - j];
        a[k] = r;
        for (std::size_t i = n - 1; i >= k; --i) {
            const double fi = f[i];
            f[i] = fi + r * b[i - 1];
            b[i] = b[i - 1] + r * fi;
        }
        p = k;
    }
    double peak = 0;
    for (std::size_t i = 0; i < n; ++i) peak = std::max(peak, std::abs(seg[i]));
    const double limit = 2 * peak;
    // Running window of the last p values, seeded with the segment's end.
    std::vector<double> w(seg + (n - p), seg + n);
    w.reserve(p + count);
    for (std::size_t j = 0; j < count; ++j) {
        double v = 0;
        for (std::size_t q = 1; q <= p; ++q) v -= a[q] * w[w.size() - q];
        v = std::clamp(v, -limit, limit);
        w.push_back(v);
        out[j] = v;
    }
}

}  // namespace

bool channelDelay(const wire::IcpPhaseTable& table, unsigned ch, double rateHz, double& delay) {
    const double lag = table[1 + ch], hz = table[0];
    delay = 0;
    if (lag == 0) return true;
    if (!std::isfinite(lag) || !std::isfinite(hz) || !(hz > 0) || !(rateHz > 0)) return false;
    // Overflows to infinity or underflows to zero rather than trapping; both are judged below.
    const double d = lag / 360.0 / hz * rateHz;
    if (!(std::abs(d) <= kMaxDelay)) return false;  // also NaN
    delay = d;
    return true;
}

// dst[q] = src[q * stride] and back, with the channel counts' strides known to the
// compiler so that it can vectorise them.
template <std::size_t S>
void gatherBy(const double* src, double* dst, std::size_t n) {
    for (std::size_t q = 0; q < n; ++q) dst[q] = src[q * S];
}
template <std::size_t S>
void scatterBy(const double* src, double* dst, std::size_t n) {
    for (std::size_t q = 0; q < n; ++q) dst[q * S] = src[q];
}
void gather(const double* src, std::size_t stride, double* dst, std::size_t n) {
    switch (stride) {
    case 1: return gatherBy<1>(src, dst, n);
    case 2: return gatherBy<2>(src, dst, n);
    case 3: return gatherBy<3>(src, dst, n);
    case 4: return gatherBy<4>(src, dst, n);
    default:
        for (std::size_t q = 0; q < n; ++q) dst[q] = src[q * stride];
    }
}
void scatter(const double* src, double* dst, std::size_t stride, std::size_t n) {
    switch (stride) {
    case 2: return scatterBy<2>(src, dst, n);
    case 3: return scatterBy<3>(src, dst, n);
    case 4: return scatterBy<4>(src, dst, n);
    default:
        for (std::size_t q = 0; q < n; ++q) dst[q * stride] = src[q];
    }
}

// One series: its taps, the values beyond both ends and the window of raw values the
// current block is filtered from.
struct DelayRemover::Line {
    DelaySeries s;
    bool moves = false;        // a nonzero delay: the values change
    long off = 0;              // index of the value under tap 0 for output 0
    double c[kTaps] = {};
    bool headReady = false;
    std::vector<double> head;  // values at indices off .. -1
    std::vector<double> tail;  // values at indices count .. count + tail.size() - 1
    std::size_t done = 0;      // outputs written
    std::vector<double> window;
    std::vector<double> out;

    explicit Line(const DelaySeries& series) : s(series), moves(series.delay != 0) {
        if (!moves) return;
        const long m = static_cast<long>(std::floor(s.delay));
        design(s.delay - static_cast<double>(m), c);
        off = m - kHalfTaps + 1;  // -55 .. -23
        window.resize(kBlock + kTaps - 1);
        out.resize(kBlock);
    }

    // q-th of the history's values followed by the series' raw values.
    double known(std::size_t q) const {
        const DelayHistory& h = *s.history;
        return q < h.size() ? h[q] : s.values[(q - h.size()) * s.stride];
    }
    std::size_t fitLength() const { return std::min(kPredictFit, s.history->size() + s.count); }

    // The values before the first one: the history's, and where that falls short, the
    // series' start predicted backwards. Needs the first fitLength() raw values.
    void prepareHead() {
        const DelayHistory& h = *s.history;
        const std::size_t before = static_cast<std::size_t>(-off), hn = h.size();
        head.assign(before, 0.0);
        const std::size_t fromHistory = std::min(before, hn);
        for (std::size_t q = 0; q < fromHistory; ++q) head[before - 1 - q] = h[hn - 1 - q];
        if (before > fromHistory) {
            const std::size_t fit = fitLength();
            std::vector<double> seg(fit), back(before - fromHistory);
            for (std::size_t q = 0; q < fit; ++q) seg[q] = known(fit - 1 - q);  // reversed
            predict(seg.data(), fit, back.size(), back.data());
            for (std::size_t q = 0; q < back.size(); ++q) head[before - 1 - fromHistory - q] = back[q];
        }
        headReady = true;
    }

    // The values after the last one, predicted, and the history for the next call. Needs
    // the last fitLength() raw values; the history is no longer read after this.
    void finish() {
        const std::size_t total = s.history->size() + s.count;
        if (moves) {
            const std::size_t fit = fitLength();
            std::vector<double> seg(fit);
            for (std::size_t q = 0; q < fit; ++q) seg[q] = known(total - fit + q);
            tail.assign(static_cast<std::size_t>(off + kTaps - 1), 0.0);  // 24 .. 56
            predict(seg.data(), fit, tail.size(), tail.data());
        }
        const std::size_t keep = std::min(kHistory, total);
        DelayHistory next(keep);
        for (std::size_t q = 0; q < keep; ++q) next[q] = known(total - keep + q);
        s.history->swap(next);
    }

    // Outputs b .. b + cnt - 1, from the window of raw values at b + off ... The window
    // keeps the previous block's last kTaps - 1 values, which that block has overwritten
    // in place; every value read fresh lies at b + kHalfTaps + floor(delay) >= b or later,
    // which no block has written yet.
    void run(std::size_t b, std::size_t cnt, FirKernel fir) {
        const long w0 = static_cast<long>(b) + off;
        std::size_t kept = 0;
        if (b > 0) {
            kept = kTaps - 1;
            std::copy(window.begin() + static_cast<std::ptrdiff_t>(kBlock), window.end(), window.begin());
        }
        const std::size_t need = cnt + kTaps - 1;
        // Indices w0 + kept ... w0 + need - 1: those below 0 from head, then the series,
        // then those from count on from tail.
        const long n = static_cast<long>(s.count);
        long j = w0 + static_cast<long>(kept);
        const long end = w0 + static_cast<long>(need);
        double* w = window.data() + kept;
        for (; j < std::min(end, 0L); ++j) *w++ = head[static_cast<std::size_t>(j - off)];
        const long bodyEnd = std::min(end, n);
        if (j < bodyEnd) {
            const double* src = s.values + static_cast<std::size_t>(j) * s.stride;
            const std::size_t len = static_cast<std::size_t>(bodyEnd - j), stride = s.stride;
            gather(src, stride, w, len);
            w += len;
            j = bodyEnd;
        }
        for (; j < end; ++j) *w++ = tail[static_cast<std::size_t>(j - n)];
        double* v = s.values + b * s.stride;
        if (s.stride == 1) {
            fir(window.data(), c, v, cnt);
        } else {
            fir(window.data(), c, out.data(), cnt);
            scatter(out.data(), v, s.stride, cnt);
        }
        done = b + cnt;
    }

    // Filters every block whose inputs are all in place (`avail` values) and whose values
    // are no longer needed for the prediction beyond the end; with `last`, all the rest.
    void advance(std::size_t avail, bool last, FirKernel fir) {
        if (!moves) {
            if (last) finish();
            return;
        }
        if (!headReady && (last || avail >= std::min(s.count, kPredictFit))) prepareHead();
        if (last) finish();
        const auto reach = static_cast<std::size_t>(off + kTaps - 1);  // inputs beyond the last output
        while (headReady && done < s.count) {
            const std::size_t cnt = std::min(kBlock, s.count - done);
            if (!last && (done + cnt + reach > avail || done + cnt + kPredictFit > s.count)) break;
            run(done, cnt, fir);
        }
    }
};

DelayRemover::DelayRemover(const DelaySeries* series, std::size_t n) {
    lines_.reserve(n);
    for (std::size_t i = 0; i < n; ++i) lines_.emplace_back(series[i]);
}

DelayRemover::~DelayRemover() = default;

void DelayRemover::filled(std::size_t conversions, bool last) {
    const FirKernel fir = firKernel();
    for (Line& line : lines_) line.advance(last ? line.s.count : std::min(conversions, line.s.count), last, fir);
}

}  // namespace qmx::icp
