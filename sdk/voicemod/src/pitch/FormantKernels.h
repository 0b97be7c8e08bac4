// FormantKernels.h - the formant stage's inner loops: the autocorrelation
// of its analysis reads and the per-sample filtering of the shifter's
// output; and the pitch tracker's correlations. They are built twice where the compiler can: for the baseline
// instruction set, and for x86-64 CPUs with AVX2 and FMA (eight floats a
// vector, multiply and add in one step). The stage takes the widest set the
// CPU runs; both give the same output up to rounding.
#pragma once

#include "dsp/Piece.h"

namespace vcmd {

// Everything the filtering writes per sample, with the filters of the
// current step (set by the stage between calls).
struct FormantFilters {
    static constexpr int kMaxChannels = vcmd::kMaxChannels;
    static constexpr int kMaxTaps = 72;   // order 64 + 1, rounded up as below
    static constexpr int kMaxPoles = 72;  // order 64, rounded up likewise
    // The newest samples each filter takes from registers rather than from
    // its ring; the rest (a multiple of 8) is summed in vectors.
    static constexpr int kNear = 2;
    static constexpr int kRecent = 128;   // power of two above kMaxTaps

    // Written by the stage at each step.
    int taps = 58;    // whitening FIR length, a multiple of 8 plus kNear
    int poles = 58;   // all-pole coefficients, a multiple of 8 plus kNear
    float whiten[kMaxTaps] = {};    // oldest tap first; the last weighs the newest sample
    float colour[kMaxPoles] = {};   // oldest first; the last weighs the previous output
    float gainStep = 0.0f;
    float peakFall = 0.999f;        // per sample
    float maxOverPeak = 2.0f;

    // Written by the filtering, sample by sample.
    float gain = 1.0f;
    float peak = 0.0f;              // the shifter's output peak, held and falling
    float shifterPower = 0.0f;      // summed: the filters' input
    float filteredPower = 0.0f;     // ... and the all-pole filter's output, before the gain
    int at = 0;                     // newest entry in the rings
    float recent[kMaxChannels][2 * kRecent] = {};    // the shifter's output, mirrored
    float coloured[kMaxChannels][2 * kRecent] = {};  // the all-pole filter's output, mirrored
};

struct FormantKernels {
    const char* name;
    // An analysis read: point j (j from 0 to count) is `from` interpolated
    // linearly at start + j pace, which must lie in [0, 2^31) with the
    // sample after it in `from` (at a pace of exactly 1 from a whole start,
    // the samples themselves); frame[k] = (point k + 1 - emphasis point k)
    // window[k]. `points` takes count + 1 floats.
    void (*read)(const float* from, double start, double pace, int count, const float* window, float emphasis,
                 float* frame, float* points) noexcept;
    // r[l] = sum of frame[i] frame[i + l] for l in [0, lags), lags a
    // multiple of 8. The frame has `length` points and is zero beyond them
    // for at least lags + 16 more.
    void (*autocorrelate)(const float* frame, int length, int lags, double* r) noexcept;
    // Whitens, colours and mixes io[c][begin..begin + frames) in place:
    // mix[i] of the corrected sample, the rest of the shifter's. filter[0]
    // for mono, filter[1] for stereo.
    void (*filter[2])(FormantFilters& f, float* const* io, int begin, int frames, const float* mix) noexcept;
    // For the pitch tracker: the sum of a[i] b[i] over any n; and
    // out[k] = sum of x[j] x[j - first - k] for j in [0, window), k in
    // [0, count), window a multiple of 8, x readable from
    // x - first - count + 1 on.
    float (*correlate)(const float* a, const float* b, int n) noexcept;
    void (*slide)(const float* x, int window, int first, int count, float* out) noexcept;
};

// [any-thread] The baseline kernels; the wide ones, or null where neither
// the build nor the CPU has them; and the widest of the two. Never block or
// allocate.
const FormantKernels& baselineFormantKernels() noexcept;
const FormantKernels* wideFormantKernels() noexcept;
const FormantKernels& bestFormantKernels() noexcept;

}  // namespace vcmd
