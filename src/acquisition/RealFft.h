#pragma once
// RealFft: forward real-input FFT of one power-of-two length N (1 <= N <= 2^30), double
// precision, unscaled, in the half-complex layout the measurement code relies on:
//
//   f[0]         = sum x[n]                       (DC, real)
//   f[k]         = sum x[n] * cos(2*pi*k*n/N)     1 <= k <= N/2-1
//   f[N/2]       = sum x[n] * (-1)^n              (Nyquist, real)
//   f[N/2 + k]   = sum x[n] * sin(2*pi*k*n/N)     1 <= k <= N/2-1   (= -Im X[k])
//
// All storage is allocated at construction; forward() allocates nothing.

#include "DynArray.h"

namespace qmx {

class RealFft {
public:
    static constexpr int MAX_BIT_DEPTH = 30;

    explicit RealFft(long length);

    // x -> f, both caller-owned arrays of length() doubles; x is not modified.
    void forward(const double* x, double* f);

    long length() const { return _length; }
    const double* work_buffer() const { return _work.data(); }

private:
    void forwardGeneral(const double* x, double* f);

    long _length = 0;
    int _bit_count = 0;
    DynArray<double> _work;       // N doubles of scratch
    DynArray<long> _bitRev;       // bit-reversal index table
    DynArray<double> _twiddle;    // per-pass cos/sin tables of the complex half-length passes
    DynArray<double> _postCos;    // cos(2*pi*k/N), k < N/4 + 1, for the real-split step
    DynArray<double> _postSin;    // sin(2*pi*k/N)
};

}  // namespace qmx
