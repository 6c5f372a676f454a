// frame_bench: the whole "fft" measurement of one frame (de-interleave, window, transform,
// amplitude spectrum, peak, readings) per channel, for K=4 x M=2^20 and K=1 x M=2^24; beside
// it the same pipeline with FFTW as the transform. Prints ms per frame and ns per sample.
//
// FFTW plans are made with FFTW_MEASURE and its wisdom is kept in fft_bench.wisdom beside the
// binary (shared with fft_bench), so only the first run pays for planning.

#include "ChannelMeasurement.h"
#include "Windows.h"

#include <fftw3.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kFs = 117187.5;

std::string wisdomPath(const char* argv0)
{
    std::string p(argv0);
    const auto slash = p.rfind('/');
    return (slash == std::string::npos ? std::string(".") : p.substr(0, slash)) + "/fft_bench.wisdom";
}

// The measurement pipeline with FFTW's r2c in place of RealFft: the same steps and the same
// arithmetic around the transform, reading the complex output where RealFft's layout has
// f[k] and f[M/2+k] (= -Im).
class FftwPipeline {
public:
    FftwPipeline(long M) : _M(M), _window(M + 16), _x(M + 16), _amp(M / 2 + 16)
    {
        _out = fftw_alloc_complex(static_cast<size_t>(M / 2 + 1));
        _in = fftw_alloc_real(static_cast<size_t>(M));
        _plan = fftw_plan_dft_r2c_1d(static_cast<int>(M), _in, _out, FFTW_MEASURE);
        const qmx::WindowDescription* d = qmx::windowDescription(qmx::kMeasurementWindowType);
        qmx::fillCosineWindow(_window.data(), M, d->c, d->terms, nullptr);
        _S = qmx::windowMeanSquare(d->c, d->terms);
        _s = d->s;
    }
    ~FftwPipeline()
    {
        fftw_destroy_plan(_plan);
        fftw_free(_in);
        fftw_free(_out);
    }
    double measure(const double* x, double& freq, double& phase)
    {
        for (long i = 0; i < _M; ++i)
            _in[i] = x[i] * _window[i];
        fftw_execute(_plan);
        const long half = _M / 2;
        _amp[0] = _out[0][0] / static_cast<double>(_M);
        const double scale = 1.0 / static_cast<double>(half);
        for (long k = 1; k < half; ++k)
            _amp[k] = std::sqrt(_out[k][0] * _out[k][0] + _out[k][1] * _out[k][1]) * scale;
        long p = -1;
        double best = -6e7;
        for (long k = _s; k < half; ++k)
            if (_amp[k] > best) {
                best = _amp[k];
                p = k;
            }
        double E = 0, F = 0;
        for (long k = p - _s; k <= p + _s - 1; ++k) {
            if (k <= _s || k >= half)
                continue;
            const double e = 0.5 * _amp[k] * _amp[k];
            E += e;
            F += k * e;
        }
        const double c = F / E;
        freq = c * kFs / _M;
        const long i = static_cast<long>(c);
        const double p1 = std::atan2(-_out[i][1], _out[i][0]) * 180 / M_PI;
        const double p2 = (i + 1 < half ? std::atan2(-_out[i + 1][1], _out[i + 1][0]) : 0.0) * 180 / M_PI;
        phase = p1 + (c - i) * std::fabs(p2 - p1);
        return std::sqrt(E / _S);
    }

private:
    long _M;
    std::vector<double> _window, _x, _amp;
    double* _in;
    fftw_complex* _out;
    fftw_plan _plan;
    double _S;
    long _s;
};

template <class F>
double medianMs(int reps, F&& f)
{
    std::vector<double> t;
    for (int r = 0; r < reps; ++r) {
        const auto a = Clock::now();
        f();
        t.push_back(std::chrono::duration<double, std::milli>(Clock::now() - a).count());
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

void runCase(int K, long M, int reps)
{
    // One interleaved frame of K channels: a tone per channel plus a little noise.
    std::vector<double> data(static_cast<size_t>(M) * K);
    std::mt19937_64 rng(11);
    std::normal_distribution<double> g(0.0, 1e-4);
    for (long j = 0; j < M; ++j)
        for (int ch = 0; ch < K; ++ch)
            data[j * K + ch] = (ch + 1) * 0.5 * std::cos(2 * M_PI * 1000.0 * j / kFs + ch) + g(rng);

    qmx::ChannelMeasurement ours(M, "fft", "rms", kFs, nullptr);
    FftwPipeline theirs(M);
    double* buf = ours.dataPerChannel();
    double sink = 0;

    const double oursMs = medianMs(reps, [&] {
        for (int ch = 0; ch < K; ++ch) {
            for (long j = 0; j < M; ++j)
                buf[j] = data[ch + j * K];
            qmx::ChannelReadings r;
            std::string msg;
            ours.measure(buf, 1, r, msg);
            sink += r.AcValue;
        }
    });
    std::vector<double> tmp(M);
    double maxDiff = 0;
    const double fftwMs = medianMs(reps, [&] {
        for (int ch = 0; ch < K; ++ch) {
            for (long j = 0; j < M; ++j)
                tmp[j] = data[ch + j * K];
            double f, p;
            sink += theirs.measure(tmp.data(), f, p);
        }
    });
    // Both pipelines must agree on the readings.
    for (int ch = 0; ch < K; ++ch) {
        for (long j = 0; j < M; ++j)
            tmp[j] = buf[j] = data[ch + j * K];
        qmx::ChannelReadings r;
        std::string msg;
        ours.measure(buf, 1, r, msg);
        double f, p;
        const double ac = theirs.measure(tmp.data(), f, p);
        maxDiff = std::max({maxDiff, std::fabs(ac - r.AcValue) / ac, std::fabs(f - r.Frequency) / f});
    }
    const double samples = static_cast<double>(M) * K;
    std::printf("K=%d M=%ld realfft_frame_ms=%.2f realfft_ns_per_sample=%.2f fftw_frame_ms=%.2f "
                "fftw_ns_per_sample=%.2f ratio=%.2f readings_max_rel_diff=%.1e\n",
                K, M, oursMs, oursMs * 1e6 / samples, fftwMs, fftwMs * 1e6 / samples, oursMs / fftwMs,
                maxDiff);
    std::fflush(stdout);
    if (sink == 12345.678)
        std::puts("");
}

}  // namespace

int main(int, char** argv)
{
    const std::string wisdom = wisdomPath(argv[0]);
    fftw_import_wisdom_from_filename(wisdom.c_str());
    runCase(4, 1L << 20, 7);
    fftw_export_wisdom_to_filename(wisdom.c_str());
    runCase(1, 1L << 24, 5);
    fftw_export_wisdom_to_filename(wisdom.c_str());
    return 0;
}
