// The body of the transform kernel (see RealFftPlan.h for the scheme). It is compiled once
// per instruction set: the including file defines QMX_FFT_LANES (doubles per vector) and
// QMX_FFT_ENTRY (the name of the function that returns the kernel) and sets the compiler's
// instruction-set flags for itself. Everything except the entry function has internal
// linkage, and no library templates are used, so no code built for a wide instruction set
// can be picked by the linker for a caller on a machine without it.
//
// Two widths are distinct here: VL, the doubles in one vector register, and B, the doubles
// in one row of a batched transform (the plan's `lanes`). With B = 8 every row is one cache
// line, which is what the strided gathers and scatters of the column and row passes want;
// each row operation is then B/VL vector operations.
//
// No include guard: meant to be included exactly once by each kernel translation unit.

#include "RealFftPlan.h"

#include <cstring>

namespace qmx::detail {
namespace {

constexpr int VL = QMX_FFT_LANES;
static_assert(VL == 2 || VL == 4 || VL == 8, "kernel vector width");

typedef double V __attribute__((vector_size(VL * sizeof(double))));
typedef long long VI __attribute__((vector_size(VL * sizeof(long long))));  // shuffle indices

// Rows of `work` and `scratch` are B >= VL doubles on a 64-byte aligned base: aligned
// accesses. x and f belong to the caller and are only 8-byte aligned for sure.
inline V ld(const double* p) { return *reinterpret_cast<const V*>(p); }
inline void st(double* p, V v) { *reinterpret_cast<V*>(p) = v; }
inline V ldu(const double* p)
{
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void stu(double* p, V v) { std::memcpy(p, &v, sizeof v); }

// Two-source lane selection with constant indices (index >= VL picks from b).
#if defined(__clang__)
#define QMX_SHUFFLE(a, b, ...) __builtin_shufflevector(a, b, __VA_ARGS__)
#else
#define QMX_SHUFFLE(a, b, ...) __builtin_shuffle(a, b, VI{__VA_ARGS__})
#endif

inline V reversed(V v)
{
#if QMX_FFT_LANES == 8
    return QMX_SHUFFLE(v, v, 7, 6, 5, 4, 3, 2, 1, 0);
#elif QMX_FFT_LANES == 4
    return QMX_SHUFFLE(v, v, 3, 2, 1, 0);
#else
    return QMX_SHUFFLE(v, v, 1, 0);
#endif
}

// Interleaved complex (re0 im0 re1 im1 ...) in a, b -> real parts, imaginary parts.
inline void deinterleave(V a, V b, V& re, V& im)
{
#if QMX_FFT_LANES == 8
    re = QMX_SHUFFLE(a, b, 0, 2, 4, 6, 8, 10, 12, 14);
    im = QMX_SHUFFLE(a, b, 1, 3, 5, 7, 9, 11, 13, 15);
#elif QMX_FFT_LANES == 4
    re = QMX_SHUFFLE(a, b, 0, 2, 4, 6);
    im = QMX_SHUFFLE(a, b, 1, 3, 5, 7);
#else
    re = QMX_SHUFFLE(a, b, 0, 2);
    im = QMX_SHUFFLE(a, b, 1, 3);
#endif
}

// In-register transpose of a VL x VL block, one stage per bit of the row index: at
// distance d, rows r and r+d (bit d of r clear) swap their off-diagonal d x d blocks.
template <int D>
inline void swapBlocks(V& a, V& b)
{
    const V x = a, y = b;
#if QMX_FFT_LANES == 8
    if constexpr (D == 1) {
        a = QMX_SHUFFLE(x, y, 0, 8, 2, 10, 4, 12, 6, 14);
        b = QMX_SHUFFLE(x, y, 1, 9, 3, 11, 5, 13, 7, 15);
    } else if constexpr (D == 2) {
        a = QMX_SHUFFLE(x, y, 0, 1, 8, 9, 4, 5, 12, 13);
        b = QMX_SHUFFLE(x, y, 2, 3, 10, 11, 6, 7, 14, 15);
    } else {
        a = QMX_SHUFFLE(x, y, 0, 1, 2, 3, 8, 9, 10, 11);
        b = QMX_SHUFFLE(x, y, 4, 5, 6, 7, 12, 13, 14, 15);
    }
#elif QMX_FFT_LANES == 4
    if constexpr (D == 1) {
        a = QMX_SHUFFLE(x, y, 0, 4, 2, 6);
        b = QMX_SHUFFLE(x, y, 1, 5, 3, 7);
    } else {
        a = QMX_SHUFFLE(x, y, 0, 1, 4, 5);
        b = QMX_SHUFFLE(x, y, 2, 3, 6, 7);
    }
#else
    a = QMX_SHUFFLE(x, y, 0, 2);
    b = QMX_SHUFFLE(x, y, 1, 3);
#endif
}

template <int D>
inline void transposeStage(V* t)
{
    for (int r = 0; r < VL; ++r)
        if ((r & D) == 0)
            swapBlocks<D>(t[r], t[r + D]);
}

inline void transposeBlock(V* t)
{
    transposeStage<1>(t);
    if constexpr (VL >= 4)
        transposeStage<2>(t);
    if constexpr (VL >= 8)
        transposeStage<4>(t);
}

// Stores the transpose of the B x B tile t (row l, columns v*VL.. in t[l][v]) as B rows of B
// doubles at dst: VL x VL blocks are transposed in registers and trade places.
template <int B>
inline void storeTransposed(V (&t)[B][B / VL], double* dst)
{
    constexpr int NV = B / VL;
    for (int bl = 0; bl < NV; ++bl)
        for (int bs = 0; bs < NV; ++bs) {
            V blk[VL];
            for (int i = 0; i < VL; ++i)
                blk[i] = t[bl * VL + i][bs];
            transposeBlock(blk);
            for (int i = 0; i < VL; ++i)
                st(dst + (bs * VL + i) * B + bl * VL, blk[i]);
        }
}

// ---- transforms over rows: `rows` rows of B lanes, real parts at re + r*B, imaginary
// parts at im + r*B; in place, output in bit-reversed row order.

// One radix-4 decimation-in-frequency pass of block size m >= 8 over all rows. For each
// j < m/4 the inputs a0..a3 at j, j+q, j+2q, j+3q (q = m/4) become
//   (A + B), (A - B) w^2j, (C - iD) w^j, (C + iD) w^3j,  A = a0+a2, B = a1+a3, C = a0-a2,
// D = a1-a3, w = e^(-2 pi i/m): two radix-2 stages, with their bit-reversed output order.
template <int B>
void radix4Pass(double* re, double* im, long rows, long m, const double* tw)
{
    const long q = m / 4;
    const long qs = q * B;
    for (long base = 0; base < rows; base += m) {
        double* pr = re + base * B;
        double* pi = im + base * B;
        for (long j = 0; j < q; ++j, pr += B, pi += B) {
            const double* t = tw + 6 * j;
            const double c1 = t[0], s1 = t[1], c2 = t[2], s2 = t[3], c3 = t[4], s3 = t[5];
            for (int v = 0; v < B; v += VL) {
                double* r0 = pr + v;
                double* i0 = pi + v;
                const V a0r = ld(r0), a0i = ld(i0);
                const V a1r = ld(r0 + qs), a1i = ld(i0 + qs);
                const V a2r = ld(r0 + 2 * qs), a2i = ld(i0 + 2 * qs);
                const V a3r = ld(r0 + 3 * qs), a3i = ld(i0 + 3 * qs);
                const V ar = a0r + a2r, ai = a0i + a2i, br = a1r + a3r, bi = a1i + a3i;
                const V cr = a0r - a2r, ci = a0i - a2i, dr = a1r - a3r, di = a1i - a3i;
                st(r0, ar + br);
                st(i0, ai + bi);
                const V er = ar - br, ei = ai - bi;
                st(r0 + qs, er * c2 + ei * s2);
                st(i0 + qs, ei * c2 - er * s2);
                const V gr = cr + di, gi = ci - dr;
                st(r0 + 2 * qs, gr * c1 + gi * s1);
                st(i0 + 2 * qs, gi * c1 - gr * s1);
                const V hr = cr - di, hi = ci + dr;
                st(r0 + 3 * qs, hr * c3 + hi * s3);
                st(i0 + 3 * qs, hi * c3 - hr * s3);
            }
        }
    }
}

// The last pass when log2(rows) is even: block size 4, all twiddles 1.
template <int B>
void radix4LastPass(double* re, double* im, long rows)
{
    for (long base = 0; base < rows; base += 4)
        for (int v = 0; v < B; v += VL) {
            double* pr = re + base * B + v;
            double* pi = im + base * B + v;
            const V a0r = ld(pr), a0i = ld(pi);
            const V a1r = ld(pr + B), a1i = ld(pi + B);
            const V a2r = ld(pr + 2 * B), a2i = ld(pi + 2 * B);
            const V a3r = ld(pr + 3 * B), a3i = ld(pi + 3 * B);
            const V ar = a0r + a2r, ai = a0i + a2i, br = a1r + a3r, bi = a1i + a3i;
            const V cr = a0r - a2r, ci = a0i - a2i, dr = a1r - a3r, di = a1i - a3i;
            st(pr, ar + br);
            st(pi, ai + bi);
            st(pr + B, ar - br);
            st(pi + B, ai - bi);
            st(pr + 2 * B, cr + di);
            st(pi + 2 * B, ci - dr);
            st(pr + 3 * B, cr - di);
            st(pi + 3 * B, ci + dr);
        }
}

// The last pass when log2(rows) is odd: block size 2.
template <int B>
void radix2LastPass(double* re, double* im, long rows)
{
    for (long base = 0; base < rows; base += 2)
        for (int v = 0; v < B; v += VL) {
            double* pr = re + base * B + v;
            double* pi = im + base * B + v;
            const V a0r = ld(pr), a0i = ld(pi), a1r = ld(pr + B), a1i = ld(pi + B);
            st(pr, a0r + a1r);
            st(pi, a0i + a1i);
            st(pr + B, a0r - a1r);
            st(pi + B, a0i - a1i);
        }
}

// Blocks larger than this run their first pass over the whole block and then recurse into
// the four quarters, so that all later passes of a quarter stay in the level-1 cache.
constexpr long kCacheBlockBytes = 32 * 1024;

template <int B>
void transformRows(double* re, double* im, long rows, const double* passTw)
{
    if (rows >= 16 && rows * B * 2 * static_cast<long>(sizeof(double)) > kCacheBlockBytes) {
        radix4Pass<B>(re, im, rows, rows, passTw + 6 * (rows / 4 - 2));
        const long q = rows / 4;
        for (int b = 0; b < 4; ++b)
            transformRows<B>(re + b * q * B, im + b * q * B, q, passTw);
        return;
    }
    long m = rows;
    for (; m >= 8; m /= 4)
        radix4Pass<B>(re, im, rows, m, passTw + 6 * (m / 4 - 2));
    if (m == 4)
        radix4LastPass<B>(re, im, rows);
    else if (m == 2)
        radix2LastPass<B>(re, im, rows);
}

// ---- the three steps of the real transform

// How many rows ahead the strided passes fetch their lines: rows are far apart in memory,
// too far for the hardware prefetchers to follow, and each row is only one or two lines.
constexpr long kPrefetchRows = 32;

template <int B>
void columnPass(const FftPlan& p, const double* x)
{
    const long n1 = p.n1, n2 = p.n2;
    double* sRe = p.scratch;
    double* sIm = p.scratch + n1 * B;
    double* wRe = p.work;
    double* wIm = p.work + p.half;
    const long twMask = (1L << p.twBits) - 1;

    for (long n2b = 0; n2b < n2; n2b += B) {
        // Gather B adjacent columns of z: 2B interleaved doubles of x per row.
        const double* src = x + 2 * n2b;
        const long ahead = kPrefetchRows * 2 * n2;
        for (long r = 0; r < n1; ++r, src += 2 * n2) {
            if (r + kPrefetchRows < n1) {
                __builtin_prefetch(src + ahead);
                __builtin_prefetch(src + ahead + 2 * B - 1);
            }
            for (int v = 0; v < B; v += VL) {
                V re, im;
                deinterleave(ldu(src + 2 * v), ldu(src + 2 * v + VL), re, im);
                st(sRe + r * B + v, re);
                st(sIm + r * B + v, im);
            }
        }
        transformRows<B>(sRe, sIm, n1, p.passTw);

        // Multiply row k1 (scratch row rev1[k1]) by W_H^(k1*(n2b+l)) = W_H^(k1*n2b) W_H^(k1*l),
        // then transpose B rows at a time into the row-pass layout of `work`.
        for (long kb = 0; kb < n1; kb += B) {
            V tr[B][B / VL], ti[B][B / VL];
            for (int l = 0; l < B; ++l) {
                const long k1 = kb + l;
                const long e = k1 * n2b;
                const double* hi = p.twHi + 2 * (e >> p.twBits);
                const double* lo = p.twLo + 2 * (e & twMask);
                const double sc = hi[0] * lo[0] - hi[1] * lo[1];
                const double ss = hi[0] * lo[1] + hi[1] * lo[0];
                const long row = p.rev1[k1];
                for (int v = 0; v < B; v += VL) {
                    const V ac = ld(p.laneCos + k1 * B + v), as = ld(p.laneSin + k1 * B + v);
                    const V wc = ac * sc - as * ss, ws = ac * ss + as * sc;
                    const V xr = ld(sRe + row * B + v), xi = ld(sIm + row * B + v);
                    tr[l][v / VL] = xr * wc + xi * ws;
                    ti[l][v / VL] = xi * wc - xr * ws;
                }
            }
            storeTransposed<B>(tr, wRe + kb * n2 + n2b * B);
            storeTransposed<B>(ti, wIm + kb * n2 + n2b * B);
        }
    }
}

template <int B>
void rowPass(const FftPlan& p, double* f)
{
    const long n1 = p.n1, n2 = p.n2;
    for (long kb = 0; kb < n1; kb += B) {
        double* bRe = p.work + kb * n2;
        double* bIm = p.work + p.half + kb * n2;
        transformRows<B>(bRe, bIm, n2, p.passTw);
        // Output row k2 is block row rev2[k2] (bit reversal is its own inverse). The stores go
        // to lines n1 doubles apart; claiming them ahead keeps many line fills in flight.
        double* dRe = f + kb;
        double* dIm = f + p.half + kb;
        const long ahead = kPrefetchRows * n1;
        for (long k2 = 0; k2 < n2; ++k2, dRe += n1, dIm += n1) {
            if (k2 + kPrefetchRows < n2) {
                __builtin_prefetch(dRe + ahead, 1);
                __builtin_prefetch(dIm + ahead, 1);
            }
            const long r = p.rev2[k2];
            for (int v = 0; v < B; v += VL) {
                stu(dRe + v, ld(bRe + r * B + v));
                stu(dIm + v, ld(bIm + r * B + v));
            }
        }
    }
}

// Z = E + iO with E, O the transforms of the even and odd samples:
//   E[k] = (Z[k] + conj Z[H-k]) / 2,  O[k] = (Z[k] - conj Z[H-k]) / 2i,
//   X[k] = E[k] + W_N^k O[k],  X[H-k] = conj(E[k] - W_N^k O[k]);
// f[k] = Re X[k], f[H+k] = -Im X[k]. In place, k and H-k together.
void splitStep(const FftPlan& p, double* f)
{
    const long h = p.half;
    double* re = f;
    double* im = f + h;
    const long mask = (1L << p.splitBits) - 1;

    const double z0r = re[0], z0i = im[0];
    re[0] = z0r + z0i;
    im[0] = z0r - z0i;  // the Nyquist term

    auto scalarPair = [&](long k) {
        const long m = h - k;
        const double* hi = p.splitHi + 2 * (k >> p.splitBits);
        const double lc = p.splitLoCos[k & mask], ls = p.splitLoSin[k & mask];
        const double c = hi[0] * lc - hi[1] * ls, s = hi[0] * ls + hi[1] * lc;
        const double ar = re[k], ai = im[k], br = re[m], bi = im[m];
        const double er = 0.5 * (ar + br), ei = 0.5 * (ai - bi);
        const double or_ = 0.5 * (ai + bi), oi = 0.5 * (br - ar);
        const double tr = c * or_ + s * oi, ti = c * oi - s * or_;
        re[m] = er - tr;
        im[m] = ei - ti;
        re[k] = er + tr;  // k == m at k = H/2: this pair of stores wins, as it must
        im[k] = -(ei + ti);
    };

    long k = 1;
    for (; k < VL && k <= h / 2; ++k)
        scalarPair(k);
    // k is now a multiple of VL; lanes k..k+VL-1 pair with H-k-VL+1..H-k (reversed). The
    // fine table holds at least VL entries past any multiple of VL it is indexed at.
    for (; 2 * k + 2 * VL - 2 < h; k += VL) {
        const long m0 = h - k - VL + 1;
        const double* hi = p.splitHi + 2 * (k >> p.splitBits);
        const V lc = ld(p.splitLoCos + (k & mask)), ls = ld(p.splitLoSin + (k & mask));
        const V c = lc * hi[0] - ls * hi[1], s = ls * hi[0] + lc * hi[1];
        const V ar = ldu(re + k), ai = ldu(im + k);
        const V br = reversed(ldu(re + m0)), bi = reversed(ldu(im + m0));
        const V er = 0.5 * (ar + br), ei = 0.5 * (ai - bi);
        const V or_ = 0.5 * (ai + bi), oi = 0.5 * (br - ar);
        const V tr = c * or_ + s * oi, ti = c * oi - s * or_;
        stu(re + k, er + tr);
        stu(im + k, -(ei + ti));
        stu(re + m0, reversed(er - tr));
        stu(im + m0, reversed(ei - ti));
    }
    for (; k <= h / 2; ++k)
        scalarPair(k);
}

template <int B>
void forwardKernel(const FftPlan& p, const double* x, double* f)
{
    columnPass<B>(p, x);
    rowPass<B>(p, f);
    splitStep(p, f);
}

}  // namespace

// Rows of 8 doubles (one cache line) for every vector width; the two-lane kernel also has
// rows of 2, for lengths too short to split into rows of 8.
KernelFn QMX_FFT_ENTRY(int rowLanes)
{
    if (rowLanes == 8)
        return &forwardKernel<8>;
    if constexpr (VL == 2) {
        if (rowLanes == 2)
            return &forwardKernel<2>;
    }
    return nullptr;
}

}  // namespace qmx::detail
