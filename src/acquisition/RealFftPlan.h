#pragma once
// The tables and buffers one RealFft engine hands to its transform kernel, as plain
// pointers, plus the entry points of the kernels built for each instruction set.
//
// The complex half-length transform (H = N/2 points, z[n] = x[2n] + i x[2n+1]) is split as
// H = N1 * N2 with n = N2*n1 + n2 and k = k1 + N1*k2:
//   column pass: for each group of `lanes` adjacent n2, a length-N1 transform over n1 with
//                one vector lane per n2, on a contiguous copy in `scratch`; then the factor
//                W_H^(n2*k1) and a lanes x lanes transpose into `work`, so that each group of
//                `lanes` rows k1 lies in `work` as N2 rows of `lanes` values;
//   row pass:    for each such group, a length-N2 transform over n2 in place, one lane per
//                k1, written to f in natural order;
//   split step:  the even/odd separation that turns the complex transform into the real one.
// Every transform over rows is an in-place radix-4 (radix-2 x radix-2) decimation in
// frequency, so its output is in bit-reversed row order; rev1/rev2 undo that on the way out.

namespace qmx::detail {

struct FftPlan {
    long half = 0;        // H = N/2
    long n1 = 0, n2 = 0;  // H = n1 * n2, both powers of two >= lanes
    int lanes = 0;        // doubles per row of the batched transforms (8, or 2 for short lengths)

    const int* rev1 = nullptr;  // bit reversal of log2(n1) bits
    const int* rev2 = nullptr;  // bit reversal of log2(n2) bits

    // Radix-4 pass of block size m >= 8: entries j < m/4 at passTw + 6*(m/4 - 2) + 6*j hold
    // cos, sin of 2*pi*j/m, 2*pi*2j/m, 2*pi*3j/m.
    const double* passTw = nullptr;

    // W_H^(k1*l) for k1 < n1, l < lanes: laneCos[k1*lanes + l], laneSin[...].
    const double* laneCos = nullptr;
    const double* laneSin = nullptr;

    // W_H^e = hi[e >> twBits] * lo[e & (2^twBits - 1)], e < H; interleaved cos, sin.
    const double* twHi = nullptr;
    const double* twLo = nullptr;
    int twBits = 0;

    // W_N^k for the split step, k <= H/2: hi interleaved cos, sin; lo as two arrays so that
    // `lanes` consecutive entries load as one vector (splitBits >= log2(lanes)).
    const double* splitHi = nullptr;
    const double* splitLoCos = nullptr;
    const double* splitLoSin = nullptr;
    int splitBits = 0;

    double* work = nullptr;     // 2H doubles: real parts, then imaginary parts
    double* scratch = nullptr;  // 2 * n1 * lanes doubles
};

using KernelFn = void (*)(const FftPlan& plan, const double* x, double* f);

// The kernel for rows of `rowLanes` doubles (8, or one vector of that instruction set); null
// when there is none, or when its translation unit was built without that instruction set.
KernelFn portableKernel(int rowLanes);
KernelFn avx2Kernel(int rowLanes);
KernelFn avx512Kernel(int rowLanes);

}  // namespace qmx::detail
