// fft_bench: times qmx::RealFft::forward against FFTW's real-to-complex transform (single
// thread, double, FFTW_MEASURE) on the same input, in the same process.
//
//   fft_bench [log2 N ...]        default: 10 12 16 20 22 24
//   QMX_FFT_SIMD=portable|avx2|avx512 in the environment caps the engine's kernel.
//
// stdout, one line per N:  N=<n> realfft_ns=<median> fftw_ns=<median> ratio=<realfft/fftw>
// stderr: progress, and for each N the largest difference between the two outputs relative
// to the largest reference value; the exit status is 1 if that exceeds 1e-11.
//
// FFTW_MEASURE planning takes minutes at the largest sizes, so FFTW's wisdom is kept in
// fft_bench.wisdom beside the executable and reused. Plans are always made with
// FFTW_MEASURE: with wisdom loaded that is fast, and an estimated plan would be a slower,
// unfair reference.

#include "DynArray.h"
#include "RealFft.h"

#include <fftw3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

std::string wisdomPath()
{
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    std::string dir = ".";
    if (n > 0) {
        std::string exe(buf, static_cast<std::size_t>(n));
        const auto slash = exe.rfind('/');
        if (slash != std::string::npos)
            dir = exe.substr(0, slash);
    }
    return dir + "/fft_bench.wisdom";
}

qmx::RealFft::Simd requestedSimd()
{
    const char* v = std::getenv("QMX_FFT_SIMD");
    const std::string s = v ? v : "";
    if (s == "portable")
        return qmx::RealFft::Simd::Portable;
    if (s == "avx2")
        return qmx::RealFft::Simd::Avx2;
    if (s == "avx512")
        return qmx::RealFft::Simd::Avx512;
    return qmx::RealFft::Simd::Best;
}

const char* nameOf(qmx::RealFft::Simd s)
{
    switch (s) {
    case qmx::RealFft::Simd::Portable: return "portable";
    case qmx::RealFft::Simd::Avx2: return "avx2";
    case qmx::RealFft::Simd::Avx512: return "avx512";
    default: return "best";
    }
}

long long nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

long long median(std::vector<long long> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

int repetitionsFor(long n)
{
    if (n <= (1L << 12))
        return 2001;
    if (n <= (1L << 16))
        return 301;
    if (n <= (1L << 20))
        return 41;
    if (n <= (1L << 22))
        return 15;
    return 9;
}

// Runs one size; returns the largest output difference relative to the largest reference value.
double benchOne(int log2n, const std::string& wisdom)
{
    const long n = 1L << log2n;
    const long bins = n / 2 + 1;

    double* in = fftw_alloc_real(static_cast<std::size_t>(n));
    fftw_complex* out = fftw_alloc_complex(static_cast<std::size_t>(bins));
    std::fprintf(stderr, "# N=%ld: planning FFTW (FFTW_MEASURE)...\n", n);
    const long long t0 = nowNs();
    fftw_plan plan = fftw_plan_dft_r2c_1d(static_cast<int>(n), in, out, FFTW_MEASURE);
    const double planSeconds = (nowNs() - t0) * 1e-9;
    if (!plan) {
        std::fprintf(stderr, "FFTW could not plan N=%ld\n", n);
        std::exit(2);
    }
    if (planSeconds > 1.0 && !fftw_export_wisdom_to_filename(wisdom.c_str()))
        std::fprintf(stderr, "# could not save wisdom to %s\n", wisdom.c_str());

    qmx::RealFft fft(n, requestedSimd());
    qmx::DynArray<double> x(n), f(n);
    std::mt19937_64 rng(1234u + static_cast<unsigned>(log2n));
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (long i = 0; i < n; ++i)
        x[i] = in[i] = u(rng);  // planning may have overwritten `in`: fill afterwards

    // Warm up both (page faults, caches), then alternate them so both see the same conditions.
    fft.forward(x.data(), f.data());
    fftw_execute(plan);
    const int reps = repetitionsFor(n);
    std::vector<long long> ours, theirs;
    ours.reserve(static_cast<std::size_t>(reps));
    theirs.reserve(static_cast<std::size_t>(reps));
    for (int r = 0; r < reps; ++r) {
        long long a = nowNs();
        fft.forward(x.data(), f.data());
        ours.push_back(nowNs() - a);
        a = nowNs();
        fftw_execute(plan);
        theirs.push_back(nowNs() - a);
    }

    // FFTW's X[k] in this engine's layout: f[k] = Re X[k] (k <= N/2), f[N/2+k] = -Im X[k].
    double maxRef = 0, maxDiff = 0;
    for (long k = 0; k < bins; ++k) {
        maxRef = std::max(maxRef, std::fabs(out[k][0]));
        maxDiff = std::max(maxDiff, std::fabs(f[k] - out[k][0]));
        if (k > 0 && k < n / 2) {
            maxRef = std::max(maxRef, std::fabs(out[k][1]));
            maxDiff = std::max(maxDiff, std::fabs(f[n / 2 + k] + out[k][1]));
        }
    }
    const double rel = maxRef > 0 ? maxDiff / maxRef : maxDiff;

    const long long mo = median(ours), mt = median(theirs);
    std::printf("N=%ld realfft_ns=%lld fftw_ns=%lld ratio=%.2f\n", n, mo, mt,
                static_cast<double>(mo) / static_cast<double>(mt));
    std::fflush(stdout);
    std::fprintf(stderr, "# N=%ld max_rel_diff=%.3g (vs largest |X|), kernel=%s, reps=%d, fftw plan %.1f s\n", n,
                 rel, nameOf(fft.simd()), reps, planSeconds);

    fftw_destroy_plan(plan);
    fftw_free(out);
    fftw_free(in);
    return rel;
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i) {
        char* end = nullptr;
        const long v = std::strtol(argv[i], &end, 10);
        if (!end || *end != '\0' || v < 1 || v > 27) {
            std::fprintf(stderr, "usage: %s [log2 N (1..27) ...]\n", argv[0]);
            return 2;
        }
        sizes.push_back(static_cast<int>(v));
    }
    if (sizes.empty())
        sizes = {10, 12, 16, 20, 22, 24};

    const std::string wisdom = wisdomPath();
    if (fftw_import_wisdom_from_filename(wisdom.c_str()))
        std::fprintf(stderr, "# loaded FFTW wisdom from %s\n", wisdom.c_str());

    bool ok = true;
    for (int b : sizes)
        ok = benchOne(b, wisdom) <= 1e-11 && ok;
    return ok ? 0 : 1;
}
