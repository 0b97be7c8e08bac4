// Denormals.h - keeps subnormal floats out of the audio thread's arithmetic.
#pragma once

#if defined(__SSE__) || defined(__x86_64__) || defined(_M_X64)
#include <xmmintrin.h>
#define VCMD_HAVE_MXCSR 1
#endif

namespace vcmd {

// For the lifetime of the guard, arithmetic results that would be subnormal
// become zero (flush-to-zero) and subnormal operands count as zero
// (denormals-are-zero). Plain copies are not arithmetic, so a bypassed
// signal still passes bit for bit. The caller's mode is restored at the end.
// Writing the control register is an ordinary instruction, not a system
// call. On other processors the effects' feedback paths stay above the
// subnormal range by themselves (see kDenormalFloor in Dsp.h).
class DenormalGuard {
public:
#ifdef VCMD_HAVE_MXCSR
    DenormalGuard() noexcept : saved_(_mm_getcsr()) { _mm_setcsr(saved_ | 0x8040u); }
    ~DenormalGuard() { _mm_setcsr(saved_); }

private:
    unsigned int saved_;
#else
    DenormalGuard() noexcept {}
#endif
public:
    DenormalGuard(const DenormalGuard&) = delete;
    DenormalGuard& operator=(const DenormalGuard&) = delete;
};

}  // namespace vcmd
