// Denormals.h - keeps subnormal floats out of the audio thread's arithmetic.
#pragma once

#include <cstdint>

#if defined(__SSE__) || defined(__x86_64__) || defined(_M_X64)
#include <xmmintrin.h>
#define VCMD_HAVE_MXCSR 1
#elif defined(__aarch64__)
#define VCMD_HAVE_FPCR 1
#endif

namespace vcmd {

// For the lifetime of the guard, arithmetic results that would be subnormal
// become zero (flush-to-zero; on x86 also denormals-are-zero for operands).
// Plain copies are not arithmetic, so a bypassed signal still passes bit for
// bit. The caller's mode is restored at the end. Writing the control
// register is an ordinary instruction, not a system call. Elsewhere the
// guard does nothing and the hardware's default applies.
class DenormalGuard {
public:
#if defined(VCMD_HAVE_MXCSR)
    DenormalGuard() noexcept : saved_(_mm_getcsr()) { _mm_setcsr(saved_ | 0x8040u); }
    ~DenormalGuard() { _mm_setcsr(saved_); }
#elif defined(VCMD_HAVE_FPCR)
    DenormalGuard() noexcept {
        asm volatile("mrs %0, fpcr" : "=r"(saved_));
        asm volatile("msr fpcr, %0" : : "r"(saved_ | (std::uint64_t{1} << 24)));
    }
    ~DenormalGuard() { asm volatile("msr fpcr, %0" : : "r"(saved_)); }
#else
    DenormalGuard() noexcept {}
#endif
    DenormalGuard(const DenormalGuard&) = delete;
    DenormalGuard& operator=(const DenormalGuard&) = delete;

private:
#if defined(VCMD_HAVE_MXCSR)
    unsigned int saved_;
#elif defined(VCMD_HAVE_FPCR)
    std::uint64_t saved_;
#endif
};

}  // namespace vcmd
