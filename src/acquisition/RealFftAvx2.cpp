// The transform kernel for AVX2 with FMA: four doubles per vector. Built with -mavx2 -mfma
// on x86-64 (see CMakeLists.txt); called only after the processor was found to support both.
#if defined(__AVX2__) && defined(__FMA__)
#define QMX_FFT_LANES 4
#define QMX_FFT_ENTRY avx2Kernel
#include "RealFftKernel.h"
#else
#include "RealFftPlan.h"
qmx::detail::KernelFn qmx::detail::avx2Kernel(int) { return nullptr; }
#endif
