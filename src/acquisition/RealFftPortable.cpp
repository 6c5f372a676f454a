// The transform kernel for any x86-64 (SSE2) or other target: two doubles per vector.
#define QMX_FFT_LANES 2
#define QMX_FFT_ENTRY portableKernel
#include "RealFftKernel.h"
