#pragma once
// RealFft: forward real-input FFT of one power-of-two length N (1 <= N <= 2^30), double
// precision, unscaled, in the half-complex layout the measurement code relies on:
//
//   f[0]         = sum x[n]                       (DC, real)
//   f[k]         = sum x[n] * cos(2*pi*k*n/N)     1 <= k <= N/2-1
//   f[N/2]       = sum x[n] * (-1)^n              (Nyquist, real)
//   f[N/2 + k]   = sum x[n] * sin(2*pi*k*n/N)     1 <= k <= N/2-1   (= -Im X[k])
//
// All storage is allocated at construction; forward() allocates nothing. The transform runs
// on the widest vector unit the processor offers (AVX-512, AVX2 with FMA, or the portable
// two-lane kernel); the choice is made once, at construction.

#include "DynArray.h"
#include "RealFftPlan.h"

namespace qmx {

class RealFft {
public:
    static constexpr int MAX_BIT_DEPTH = 30;

    // Kernel selection. Best picks the widest one the processor supports; the others cap the
    // width (used to compare the kernels against each other and to time them).
    enum class Simd { Portable, Avx2, Avx512, Best };

    explicit RealFft(long length, Simd simd = Simd::Best);

    // Whether this processor and build can run the kernel `simd` (Best and Portable: always).
    static bool supports(Simd simd);

    // x -> f, both caller-owned arrays of length() doubles; x is not modified.
    void forward(const double* x, double* f);

    long length() const { return _length; }
    const double* work_buffer() const { return _work.data(); }

    // The kernel actually in use (Portable also for lengths the wider ones cannot split).
    Simd simd() const { return _simd; }

private:
    long _length = 0;
    int _bit_count = 0;
    Simd _simd = Simd::Portable;
    detail::KernelFn _kernel = nullptr;
    detail::FftPlan _plan;

    DynArray<double> _work;        // N doubles of scratch: the intermediate of the complex transform
    DynArray<double> _scratch;     // the column block being transformed
    DynArray<int> _rev1, _rev2;    // bit-reversal tables of the column and row transforms
    DynArray<double> _passTw;      // radix-4 pass twiddles
    DynArray<double> _laneCos, _laneSin;
    DynArray<double> _twHi, _twLo;
    DynArray<double> _splitHi, _splitLoCos, _splitLoSin;
};

}  // namespace qmx
