// ShifterMath.h - the pitch shifter's arithmetic: ring-buffer sizes and
// positions, four-float vectors, and the dot products of the alignment
// search and the interpolator, shared by its source files.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vcmd {
namespace shifter {

// Vertex of the parabola through (-1, a), (0, b), (1, c): its offset (held
// to half a sample either way; 0 where there is no maximum) and its value.
inline void parabola(float a, float b, float c, float& offset, float& value) noexcept {
    const float curve = a - 2.0f * b + c;
    offset = curve < 0.0f ? std::clamp(0.5f * (a - c) / curve, -0.5f, 0.5f) : 0.0f;
    value = b - 0.25f * (a - c) * offset;
}

inline std::size_t powerOfTwoAtLeast(std::size_t n) {
    std::size_t p = 16;
    while (p < n) p <<= 1;
    return p;
}

// Floor division for possibly negative sample positions.
inline std::int64_t floorDiv(std::int64_t a, std::int64_t b) noexcept {
    const std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}


// Four floats in one vector register (GCC and Clang vector extension; SSE
// on x86-64, NEON on ARM). The interpolator works on 16 taps as four of
// them. Other compilers get a plain four-float type with the same
// element-wise arithmetic, so the results are the same sample for sample.
#if defined(__GNUC__) || defined(__clang__)
typedef float Float4 __attribute__((vector_size(16)));
#define VCMD_ALWAYS_INLINE inline __attribute__((always_inline))
#else
struct Float4 {
    float v[4];
    float& operator[](int i) noexcept { return v[i]; }
    float operator[](int i) const noexcept { return v[i]; }
    Float4& operator+=(const Float4& o) noexcept {
        for (int i = 0; i < 4; ++i) v[i] += o.v[i];
        return *this;
    }
};
inline Float4 operator+(Float4 a, const Float4& b) noexcept { return a += b; }
inline Float4 operator-(const Float4& a, const Float4& b) noexcept {
    return Float4{{a.v[0] - b.v[0], a.v[1] - b.v[1], a.v[2] - b.v[2], a.v[3] - b.v[3]}};
}
inline Float4 operator*(const Float4& a, const Float4& b) noexcept {
    return Float4{{a.v[0] * b.v[0], a.v[1] * b.v[1], a.v[2] * b.v[2], a.v[3] * b.v[3]}};
}
inline Float4 operator*(float k, const Float4& a) noexcept { return Float4{{k, k, k, k}} * a; }
#if defined(_MSC_VER)
#define VCMD_ALWAYS_INLINE __forceinline
#else
#define VCMD_ALWAYS_INLINE inline
#endif
#endif

inline Float4 load4(const float* p) noexcept {
    Float4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

VCMD_ALWAYS_INLINE float dot(const float* a, const float* b, int n) noexcept {
    // Four partial sums, one per lane of a vector register, added up at the
    // end as (s0 + s1) + (s2 + s3). Sixteen products per turn of the loop,
    // added in order, so the sums are those of four at a time.
    Float4 s = {0.0f, 0.0f, 0.0f, 0.0f};
    int i = 0;
    for (; i + 16 <= n; i += 16) {
        s += load4(a + i) * load4(b + i);
        s += load4(a + i + 4) * load4(b + i + 4);
        s += load4(a + i + 8) * load4(b + i + 8);
        s += load4(a + i + 12) * load4(b + i + 12);
    }
    for (; i + 4 <= n; i += 4) s += load4(a + i) * load4(b + i);
    float s0 = s[0];
    for (; i < n; ++i) s0 += a[i] * b[i];
    return (s0 + s[1]) + (s[2] + s[3]);
}

// dot(a, b, n) and dot(b, b, n) in one pass over b.
inline void dotAndEnergy(const float* a, const float* b, int n, float& ab, float& bb) noexcept {
    Float4 s = {0.0f, 0.0f, 0.0f, 0.0f}, e = s;
    int i = 0;
    for (; i + 8 <= n; i += 8) {
        const Float4 x0 = load4(b + i), x1 = load4(b + i + 4);
        s += load4(a + i) * x0;
        e += x0 * x0;
        s += load4(a + i + 4) * x1;
        e += x1 * x1;
    }
    for (; i + 4 <= n; i += 4) {
        const Float4 x = load4(b + i);
        s += load4(a + i) * x;
        e += x * x;
    }
    float s0 = s[0], e0 = e[0];
    for (; i < n; ++i) {
        s0 += a[i] * b[i];
        e0 += b[i] * b[i];
    }
    ab = (s0 + s[1]) + (s[2] + s[3]);
    bb = (e0 + e[1]) + (e[2] + e[3]);
}

// The 16 tap weights of a read position: the tabulated row below its
// fraction plus `a` times the step to the next row (tabulated too).
struct Weights {
    Float4 w[4];
    Weights(const float* k0, const float* step, float a) noexcept {
        for (int q = 0; q < 4; ++q) w[q] = load4(k0 + 4 * q) + a * load4(step + 4 * q);
    }
    // The four lanes' partial sums; the caller adds the lanes up once for
    // all grains.
    Float4 apply(const float* x) const noexcept {
        return w[0] * load4(x) + w[1] * load4(x + 4) + w[2] * load4(x + 8) + w[3] * load4(x + 12);
    }
};

// Both channels' sums of their four lanes, each as (s0 + s1) + (s2 + s3):
// lanes 0 and 1 of the result.
inline Float4 sumLanes(Float4 l, Float4 r) noexcept {
#if defined(__clang__)
    const Float4 t = __builtin_shufflevector(l, r, 0, 4, 2, 6) + __builtin_shufflevector(l, r, 1, 5, 3, 7);
    return t + __builtin_shufflevector(t, t, 2, 3, 0, 1);
#elif defined(__GNUC__)
    typedef int Int4 __attribute__((vector_size(16)));
    const Float4 t = __builtin_shuffle(l, r, Int4{0, 4, 2, 6}) + __builtin_shuffle(l, r, Int4{1, 5, 3, 7});
    return t + __builtin_shuffle(t, Int4{2, 3, 0, 1});
#else
    const Float4 t{{l[0] + l[1], r[0] + r[1], l[2] + l[3], r[2] + r[3]}};
    return Float4{{t[0] + t[2], t[1] + t[3], t[2] + t[0], t[3] + t[1]}};
#endif
}

}  // namespace shifter
}  // namespace vcmd
