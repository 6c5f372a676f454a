#include "RealFft.h"

#include <cmath>

namespace qmx {
namespace {

bool is_pow2(long x) { return x > 0 && (x & (x - 1)) == 0; }

int log2Exact(long x)
{
    int bits = 0;
    while ((1L << bits) < x)
        ++bits;
    return bits;
}

// cos and sin of 2*pi*num/den (den a power of two), reduced to the first octant in integer
// arithmetic, so that the tables are exact at multiples of pi/4 and symmetric to the last bit.
void unitRoot(long num, long den, double& c, double& s)
{
    const long double halfPi = 1.570796326794896619231321691639751442L;
    long t = num % den;
    if (t < 0)
        t += den;
    // theta = 2 pi t / den = q * pi/2 + phi, 0 <= phi < pi/2, phi = (pi/2) * r / den
    const long q = (4 * t) / den;
    const long r = 4 * t - q * den;
    long double cp, sp;
    if (r == 0) {
        cp = 1.0L;
        sp = 0.0L;
    } else if (2 * r == den) {
        cp = sp = 0.707106781186547524400844362104849039L;
    } else if (2 * r < den) {
        const long double phi = halfPi * static_cast<long double>(r) / static_cast<long double>(den);
        cp = std::cos(phi);
        sp = std::sin(phi);
    } else {
        const long double psi = halfPi * static_cast<long double>(den - r) / static_cast<long double>(den);
        cp = std::sin(psi);
        sp = std::cos(psi);
    }
    long double cr = cp, sr = sp;
    switch (q) {
    case 1: cr = -sp; sr = cp; break;
    case 2: cr = -cp; sr = -sp; break;
    case 3: cr = sp; sr = -cp; break;
    default: break;
    }
    c = static_cast<double>(cr);
    s = static_cast<double>(sr);
}

void fillBitReversal(DynArray<int>& rev, int bits)
{
    const long n = 1L << bits;
    rev.resize(n);
    for (long i = 0; i < n; ++i) {
        long r = 0;
        for (int b = 0; b < bits; ++b)
            if (i & (1L << b))
                r |= 1L << (bits - 1 - b);
        rev[i] = static_cast<int>(r);
    }
}

detail::KernelFn kernelOf(RealFft::Simd simd, int rowLanes)
{
    switch (simd) {
    case RealFft::Simd::Avx512: return detail::avx512Kernel(rowLanes);
    case RealFft::Simd::Avx2: return detail::avx2Kernel(rowLanes);
    default: return detail::portableKernel(rowLanes);
    }
}

}  // namespace

bool RealFft::supports(Simd simd)
{
#if defined(__x86_64__) && defined(__GNUC__)
    __builtin_cpu_init();  // an engine may be built during static initialisation
#endif
    switch (simd) {
    case Simd::Portable:
    case Simd::Best:
        return true;
    case Simd::Avx2:
#if defined(__x86_64__) && defined(__GNUC__)
        return detail::avx2Kernel(8) != nullptr && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
        return false;
#endif
    case Simd::Avx512:
#if defined(__x86_64__) && defined(__GNUC__)
        return detail::avx512Kernel(8) != nullptr && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("fma");
#else
        return false;
#endif
    }
    return false;
}

RealFft::RealFft(long length, Simd simd) : _length(length)
{
    const long x = length;
    QMX_REQUIRE(x > 0);
    QMX_REQUIRE(is_pow2 (length));
    _bit_count = log2Exact(length);
    QMX_REQUIRE(_bit_count <= MAX_BIT_DEPTH);

    _work.resize(length);
    if (length < 8)
        return;  // N = 1, 2, 4 are written out in forward()

    // Rows of 8 doubles (a cache line) need N1, N2 >= 8; shorter lengths take rows of 2 and
    // the portable kernel. Otherwise the widest vector unit permitted and present.
    const long half = length / 2;
    const int hBits = _bit_count - 1;
    const int lanes = half >= 64 ? 8 : 2;
    _simd = Simd::Portable;
    if (lanes == 8) {
        if ((simd == Simd::Best || simd == Simd::Avx512) && supports(Simd::Avx512))
            _simd = Simd::Avx512;
        else if (simd != Simd::Portable && supports(Simd::Avx2))
            _simd = Simd::Avx2;
    }
    _kernel = kernelOf(_simd, lanes);

    const int n1Bits = hBits / 2;
    const int n2Bits = hBits - n1Bits;
    const long n1 = 1L << n1Bits, n2 = 1L << n2Bits;
    fillBitReversal(_rev1, n1Bits);
    fillBitReversal(_rev2, n2Bits);

    // Radix-4 passes of block size m = 8, 16, ..., n2 (n2 >= n1 is the longest transform).
    if (n2 >= 8) {
        _passTw.resize(6 * (n2 / 2 - 2));
        for (long m = 8; m <= n2; m *= 2) {
            double* t = &_passTw[6 * (m / 4 - 2)];
            for (long j = 0; j < m / 4; ++j)
                for (int p = 1; p <= 3; ++p)
                    unitRoot(p * j, m, t[6 * j + 2 * (p - 1)], t[6 * j + 2 * (p - 1) + 1]);
        }
    }

    _laneCos.resize(n1 * lanes);
    _laneSin.resize(n1 * lanes);
    for (long k1 = 0; k1 < n1; ++k1)
        for (long l = 0; l < lanes; ++l)
            unitRoot(k1 * l, half, _laneCos[k1 * lanes + l], _laneSin[k1 * lanes + l]);

    // W_H^e, e < H, as the product of a coarse and a fine table of about sqrt(H) entries each.
    const int twBits = (hBits + 1) / 2;
    const long twLoSize = 1L << twBits, twHiSize = (half >> twBits) + 1;
    _twLo.resize(2 * twLoSize);
    _twHi.resize(2 * twHiSize);
    for (long j = 0; j < twLoSize; ++j)
        unitRoot(j, half, _twLo[2 * j], _twLo[2 * j + 1]);
    for (long j = 0; j < twHiSize; ++j)
        unitRoot(j << twBits, half, _twHi[2 * j], _twHi[2 * j + 1]);

    // W_N^k, k <= H/2, the same way; the fine table at least 8 entries (one vector) long.
    const int splitBits = hBits / 2 > 3 ? hBits / 2 : 3;
    const long spLoSize = 1L << splitBits, spHiSize = ((half / 2) >> splitBits) + 1;
    _splitLoCos.resize(spLoSize);
    _splitLoSin.resize(spLoSize);
    _splitHi.resize(2 * spHiSize);
    for (long j = 0; j < spLoSize; ++j)
        unitRoot(j, length, _splitLoCos[j], _splitLoSin[j]);
    for (long j = 0; j < spHiSize; ++j)
        unitRoot(j << splitBits, length, _splitHi[2 * j], _splitHi[2 * j + 1]);

    _scratch.resize(2 * n1 * lanes);

    _plan.half = half;
    _plan.n1 = n1;
    _plan.n2 = n2;
    _plan.lanes = lanes;
    _plan.twBits = twBits;
    _plan.splitBits = splitBits;
}

void RealFft::forward(const double* x, double* f)
{
    QMX_REQUIRE(f != 0);
    QMX_REQUIRE(x != 0);
    QMX_REQUIRE(x != f);
    QMX_REQUIRE(f != work_buffer ());
    QMX_REQUIRE(x != work_buffer ());

    switch (_length) {
    case 1:
        f[0] = x[0];
        return;
    case 2:
        f[0] = x[0] + x[1];
        f[1] = x[0] - x[1];
        return;
    case 4:
        f[0] = x[0] + x[1] + x[2] + x[3];
        f[1] = x[0] - x[2];
        f[2] = x[0] - x[1] + x[2] - x[3];
        f[3] = x[1] - x[3];
        return;
    default:
        break;
    }

    // The tables' addresses are taken here rather than kept, so that a moved engine stays valid.
    detail::FftPlan& p = _plan;
    p.rev1 = _rev1.data();
    p.rev2 = _rev2.data();
    p.passTw = _passTw.data();
    p.laneCos = _laneCos.data();
    p.laneSin = _laneSin.data();
    p.twHi = _twHi.data();
    p.twLo = _twLo.data();
    p.splitHi = _splitHi.data();
    p.splitLoCos = _splitLoCos.data();
    p.splitLoSin = _splitLoSin.data();
    p.work = _work.data();
    p.scratch = _scratch.data();
    _kernel(p, x, f);
}

}  // namespace qmx
