// FormantKernels.inl - the formant stage's inner loops for one vector
// width. Included by FormantKernels.cpp (the baseline) and, compiled for
// AVX2 and FMA, by FormantKernelsWide.cpp; each includer defines
// VCMD_KERNEL_WIDTH (floats per vector) and includes it inside a namespace
// of its own, so that no inline function of one build is linked into the
// other.
//
// Needs <cstring> and FormantKernels.h. It calls no inline function of
// the standard library either (std::max, std::fabs, ...): their
// out-of-line copies are shared between the two builds at link time, and
// the wide one's would then run on CPUs without its instructions.

constexpr int W = VCMD_KERNEL_WIDTH;

// W floats in one vector register where the compiler has the GCC/Clang
// vector extension; elsewhere a plain array with the same element-wise
// arithmetic (the same results).
#if defined(__GNUC__) || defined(__clang__)
typedef float Vec __attribute__((vector_size(W * sizeof(float))));
#else
struct Vec {
    float v[W];
    float operator[](int i) const noexcept { return v[i]; }
    Vec& operator+=(const Vec& o) noexcept {
        for (int i = 0; i < W; ++i) v[i] += o.v[i];
        return *this;
    }
};
inline Vec operator*(const Vec& a, const Vec& b) noexcept {
    Vec r;
    for (int i = 0; i < W; ++i) r.v[i] = a.v[i] * b.v[i];
    return r;
}
#endif

inline float lesser(float a, float b) noexcept { return b < a ? b : a; }
inline float greater(float a, float b) noexcept { return a < b ? b : a; }
inline float magnitude(float a) noexcept { return a < 0.0f ? -a : a; }

inline Vec load(const float* p) noexcept {
    Vec v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline Vec zero() noexcept {
    Vec v;
    std::memset(&v, 0, sizeof v);
    return v;
}

// The lanes added up pairwise, in the same order every time.
inline float total(const Vec& v) noexcept {
    float lanes[W];
    std::memcpy(lanes, &v, sizeof lanes);
    for (int width = W / 2; width > 0; width /= 2)
        for (int i = 0; i < width; ++i) lanes[i] += lanes[i + width];
    return lanes[0];
}

// Sum of a[i] b[i] over n, a multiple of W.
inline float dot(const float* a, const float* b, int n) noexcept {
    Vec s = zero(), t = s;
    int i = 0;
    for (; i + 2 * W <= n; i += 2 * W) {
        s += load(a + i) * load(b + i);
        t += load(a + i + W) * load(b + i + W);
    }
    if (i < n) s += load(a + i) * load(b + i);
    s += t;
    return total(s);
}

void autocorrelate(const float* u, int length, int lags, double* r) noexcept {
    // Eight lags a pass, each vector of the frame loaded once for the eight.
    const int points = (length + W - 1) / W * W;
    for (int lag = 0; lag < lags; lag += 8) {
        Vec s[8];
        for (auto& v : s) v = zero();
        const float* v = u + lag;
        for (int i = 0; i < points; i += W) {
            const Vec x = load(u + i);
            for (int j = 0; j < 8; ++j) s[j] += x * load(v + i + j);
        }
        for (int j = 0; j < 8; ++j) r[lag + j] = total(s[j]);
    }
}

void read(const float* from, double start, double pace, int count, const float* window, float emphasis,
          float* frame, float* points) noexcept {
    int j = 0;
    if (pace == 1.0 && start == static_cast<double>(static_cast<int>(start))) {
        // The input's own rate (the formant stage's read of the formants
        // kept, or of an unshifted pitch): no interpolation.
        std::memcpy(points, from + static_cast<int>(start), sizeof(float) * static_cast<unsigned>(count + 1));
        j = count + 1;
    }
#if defined(__AVX2__)
    // Each point on its own (no sum carried from one to the next), eight at
    // a time with AVX2's gathers.
    const __m256d lanes = _mm256_setr_pd(0.0, 1.0, 2.0, 3.0);
    struct Four {
        __m128i whole;
        __m128 fraction;
    };
    const auto half = [&](int first) {  // four points' positions, whole samples and fractions
        const __m256d at = _mm256_add_pd(_mm256_set1_pd(start),
                                         _mm256_mul_pd(_mm256_add_pd(_mm256_set1_pd(first), lanes), _mm256_set1_pd(pace)));
        const __m128i whole = _mm256_cvttpd_epi32(at);
        return Four{whole, _mm256_cvtpd_ps(_mm256_sub_pd(at, _mm256_cvtepi32_pd(whole)))};
    };
    for (; j + 8 <= count + 1; j += 8) {
        const Four lo = half(j), hi = half(j + 4);
        const __m256i whole = _mm256_set_m128i(hi.whole, lo.whole);
        const __m256 frac = _mm256_set_m128(hi.fraction, lo.fraction);
        const __m256 a = _mm256_i32gather_ps(from, whole, 4), b = _mm256_i32gather_ps(from + 1, whole, 4);
        _mm256_storeu_ps(points + j, _mm256_fmadd_ps(frac, _mm256_sub_ps(b, a), a));
    }
#endif
    for (; j <= count; ++j) {
        const double at = start + j * pace;
        const int i = static_cast<int>(at);
        const float f = static_cast<float>(at - i);
        points[j] = from[i] + f * (from[i + 1] - from[i]);
    }
    // Pre-emphasis and window (a loop the compiler vectorises).
    for (int k = 0; k < count; ++k) frame[k] = (points[k + 1] - emphasis * points[k]) * window[k];
}

template <int channels>
void filter(FormantFilters& f, float* const* io, int begin, int frames, const float* mix) noexcept {
    constexpr int kRecent = FormantFilters::kRecent;
    constexpr int kNear = FormantFilters::kNear;  // the newest outputs, held in registers
    const int taps = f.taps, poles = f.poles;
    const float* near = f.colour + poles - kNear;  // near[kNear - 1 - j] weighs the output j + 1 back
    // The all-pole filter's newest outputs, newest first. Each output
    // depends on the one before; taking the newest two from registers,
    // last, keeps that chain to a few operations per sample, while the
    // older ones (stored long enough ago to be read back without a stall)
    // are summed ahead in vectors. (Eight from registers cost 10 % more
    // time on a 2-core AMD EPYC, four 5 %; one was no faster than two.)
    float held[channels][kNear];
    // The same for the FIR: a vector read back right after a store into
    // it waits for the store to complete.
    const float* newest = f.whiten + taps - kNear;  // newest[kNear - 1 - j] weighs the input j back
    float seen[channels][kNear];
    for (int c = 0; c < channels; ++c)
        for (int j = 0; j < kNear; ++j) {
            held[c][j] = f.coloured[c][(f.at - j + kRecent) & (kRecent - 1)];
            seen[c][j] = f.recent[c][(f.at - j + kRecent) & (kRecent - 1)];  // moved on before use
        }
    for (int i = begin; i < begin + frames; ++i) {
        f.gain += f.gainStep;
        const float m = mix[i - begin];
        // Whitening (FIR) over the recent output of the shifter, colouring
        // (all-pole, direct form) over the recent output of the colouring.
        f.at = (f.at + 1) & (kRecent - 1);
        const int last = f.at + kRecent - 1;  // the previous sample, mirrored
        float y[channels], u[channels];
        f.peak *= f.peakFall;
        for (int c = 0; c < channels; ++c) {
            y[c] = io[c][i];
            f.peak = greater(f.peak, magnitude(y[c]));
            f.recent[c][f.at] = y[c];
            f.recent[c][f.at + kRecent] = y[c];
            for (int j = kNear - 1; j > 0; --j) seen[c][j] = seen[c][j - 1];
            seen[c][0] = y[c];
            float v = dot(f.whiten, f.recent[c] + last + 1 - (taps - 1), taps - kNear) -
                      dot(f.colour, f.coloured[c] + last - (poles - 1), poles - kNear);
            for (int j = kNear - 1; j >= 0; --j) v += newest[kNear - 1 - j] * seen[c][j];
            for (int j = kNear - 1; j > 0; --j) v -= near[kNear - 1 - j] * held[c][j];
            u[c] = v - near[kNear - 1] * held[c][0];
            for (int j = kNear - 1; j > 0; --j) held[c][j] = held[c][j - 1];
            held[c][0] = u[c];
            f.coloured[c][f.at] = u[c];
            f.coloured[c][f.at + kRecent] = u[c];
        }
        const float bound = f.maxOverPeak * f.peak;
        for (int c = 0; c < channels; ++c) {
            const float z = lesser(bound, greater(-bound, f.gain * u[c]));
            // Summed sample by sample, so that the totals do not depend on
            // how the caller cuts the audio into blocks.
            f.shifterPower += y[c] * y[c];
            f.filteredPower += u[c] * u[c];
            if (!(magnitude(u[c]) < 1e6f)) {
                // A runaway value (never expected: each step's filter is
                // stable) clears the all-pole filter; this sample is the
                // shifter's own.
                std::memset(f.coloured, 0, sizeof f.coloured);
                std::memset(held, 0, sizeof held);
                continue;
            }
            io[c][i] = y[c] + m * (z - y[c]);
        }
    }
}

float correlate(const float* a, const float* b, int n) noexcept {
    const int whole = n / W * W;
    float sum = whole > 0 ? dot(a, b, whole) : 0.0f;
    for (int i = whole; i < n; ++i) sum += a[i] * b[i];
    return sum;
}

void slide(const float* x, int window, int first, int count, float* out) noexcept {
    // Eight lags a pass, each vector of the window loaded once for the eight.
    int k = 0;
    for (; k + 8 <= count; k += 8) {
        Vec s[8];
        for (auto& v : s) v = zero();
        const float* y = x - first - k;
        for (int i = 0; i < window; i += W) {
            const Vec a = load(x + i);
            for (int j = 0; j < 8; ++j) s[j] += a * load(y + i - j);
        }
        for (int j = 0; j < 8; ++j) out[k + j] = total(s[j]);
    }
    for (; k < count; ++k) out[k] = dot(x, x - first - k, window);
}

constexpr FormantKernels kKernels = {
    VCMD_KERNEL_NAME, read, autocorrelate, {filter<1>, filter<2>}, correlate, slide};
