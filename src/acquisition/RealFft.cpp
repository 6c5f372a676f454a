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

}  // namespace

RealFft::RealFft(long length) : _length(length)
{
    const long x = length;
    QMX_REQUIRE(x > 0);
    QMX_REQUIRE(is_pow2 (length));
    _bit_count = log2Exact(length);
    QMX_REQUIRE(_bit_count <= MAX_BIT_DEPTH);

    _work.resize(length);
    if (length < 8)
        return;

    // The real transform of length N is a complex transform of length H = N/2 on
    // z[n] = x[2n] + i x[2n+1], followed by a split step that separates the even and odd parts.
    const long H = length / 2;
    const int hBits = _bit_count - 1;
    _bitRev.resize(H);
    for (long n = 0; n < H; ++n) {
        long r = 0;
        for (int b = 0; b < hBits; ++b)
            if (n & (1L << b))
                r |= 1L << (hBits - 1 - b);
        _bitRev[n] = r;
    }
    // Pass with half-span h uses e^{-i pi j / h}, j < h; the tables of all passes are stored
    // back to back (h = 1, 2, 4, ...): cos at 2*(h-1+j), sin at 2*(h-1+j)+1.
    _twiddle.resize(2 * H);
    for (long h = 1; h < H; h *= 2)
        for (long j = 0; j < h; ++j) {
            double c, s;
            unitRoot(j, 2 * h, c, s);
            _twiddle[2 * (h - 1 + j)] = c;
            _twiddle[2 * (h - 1 + j) + 1] = s;
        }
    _postCos.resize(H / 2 + 1);
    _postSin.resize(H / 2 + 1);
    for (long k = 0; k <= H / 2; ++k) {
        double c, s;
        unitRoot(k, length, c, s);
        _postCos[k] = c;
        _postSin[k] = s;
    }
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
        forwardGeneral(x, f);
    }
}

void RealFft::forwardGeneral(const double* x, double* f)
{
    const long N = _length;
    const long H = N / 2;
    double* re = f;       // complex half-length transform, split format, in f itself
    double* im = f + H;

    for (long n = 0; n < H; ++n) {
        const long r = _bitRev[n];
        re[r] = x[2 * n];
        im[r] = x[2 * n + 1];
    }
    for (long h = 1; h < H; h *= 2) {
        const double* tw = &_twiddle[2 * (h - 1)];
        for (long base = 0; base < H; base += 2 * h)
            for (long j = 0; j < h; ++j) {
                const double c = tw[2 * j], s = tw[2 * j + 1];
                const long a = base + j, b = a + h;
                // t = w * z[b], w = c - i s
                const double tr = c * re[b] + s * im[b];
                const double ti = c * im[b] - s * re[b];
                re[b] = re[a] - tr;
                im[b] = im[a] - ti;
                re[a] += tr;
                im[a] += ti;
            }
    }

    // Split step. Z = E + iO with E, O the transforms of the even and odd samples:
    //   E[k] = (Z[k] + conj Z[H-k]) / 2,  O[k] = (Z[k] - conj Z[H-k]) / 2i,
    //   X[k] = E[k] + W^k O[k],  X[H-k] = conj(E[k] - W^k O[k]),  W = e^{-2 pi i / N}.
    // f[k] = Re X[k], f[H+k] = -Im X[k].
    const double z0r = re[0], z0i = im[0];
    re[0] = z0r + z0i;
    im[0] = z0r - z0i;  // f[H]: the Nyquist term
    for (long k = 1; k <= H / 2; ++k) {
        const long m = H - k;
        const double ar = re[k], ai = im[k], br = re[m], bi = im[m];
        const double er = 0.5 * (ar + br), ei = 0.5 * (ai - bi);
        const double or_ = 0.5 * (ai + bi), oi = -0.5 * (ar - br);
        const double c = _postCos[k], s = _postSin[k];
        // W^k O = (c - i s)(or + i oi)
        const double tr = c * or_ + s * oi;
        const double ti = c * oi - s * or_;
        re[k] = er + tr;
        im[k] = -(ei + ti);
        re[m] = er - tr;
        im[m] = -(-(ei - ti));
        if (k == m) {
            re[k] = er + tr;
            im[k] = -(ei + ti);
        }
    }
}

}  // namespace qmx
