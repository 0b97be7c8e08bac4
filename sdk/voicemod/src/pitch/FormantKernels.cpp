// FormantKernels.cpp - the baseline build of the formant stage's inner
// loops, and the choice between it and the wide one.
#include "pitch/FormantKernels.h"

#include <cstring>

namespace vcmd {
namespace baseline_kernels {
#define VCMD_KERNEL_WIDTH 4
#define VCMD_KERNEL_NAME "baseline"
#include "pitch/FormantKernels.inl"
#undef VCMD_KERNEL_WIDTH
#undef VCMD_KERNEL_NAME
}  // namespace baseline_kernels

#if defined(VCMD_WIDE_FORMANT_KERNELS)
// FormantKernelsWide.cpp
const FormantKernels& wideFormantKernelsBuilt() noexcept;
#endif

const FormantKernels& baselineFormantKernels() noexcept { return baseline_kernels::kKernels; }

const FormantKernels* wideFormantKernels() noexcept {
#if defined(VCMD_WIDE_FORMANT_KERNELS)
    // The compiler's CPU check also asks the OS whether it saves the wide
    // registers.
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return &wideFormantKernelsBuilt();
#endif
    return nullptr;
}

const FormantKernels& bestFormantKernels() noexcept {
    const FormantKernels* wide = wideFormantKernels();
    return wide != nullptr ? *wide : baselineFormantKernels();
}

}  // namespace vcmd
