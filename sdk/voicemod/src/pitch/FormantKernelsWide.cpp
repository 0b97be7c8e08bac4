// FormantKernelsWide.cpp - the formant stage's inner loops built for AVX2
// and FMA (the build compiles this file alone with those instructions;
// FormantKernels.cpp calls into it only on a CPU that has them).
#include <cstring>

#if defined(__AVX2__)
#include <immintrin.h>
#endif

#include "pitch/FormantKernels.h"

namespace vcmd {
namespace wide_kernels {
#define VCMD_KERNEL_WIDTH 8
#define VCMD_KERNEL_NAME "avx2-fma"
#include "pitch/FormantKernels.inl"
#undef VCMD_KERNEL_WIDTH
#undef VCMD_KERNEL_NAME
}  // namespace wide_kernels

const FormantKernels& wideFormantKernelsBuilt() noexcept { return wide_kernels::kKernels; }

}  // namespace vcmd
