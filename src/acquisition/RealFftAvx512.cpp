// The transform kernel for AVX-512F: eight doubles per vector. Built with -mavx512f -mfma on
// x86-64 (see CMakeLists.txt); called only after the processor was found to support it.
#if defined(__AVX512F__) && defined(__FMA__)
#define QMX_FFT_LANES 8
#define QMX_FFT_ENTRY avx512Kernel
#include "RealFftKernel.h"
#else
#include "RealFftPlan.h"
qmx::detail::KernelFn qmx::detail::avx512Kernel(int) { return nullptr; }
#endif
