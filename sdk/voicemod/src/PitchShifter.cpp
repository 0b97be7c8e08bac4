// PitchShifter.cpp - see PitchShifter.h for the method.
#include "PitchShifter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vcmd {
namespace {

std::size_t powerOfTwoAtLeast(std::size_t n) {
    std::size_t p = 16;
    while (p < n) p <<= 1;
    return p;
}

// Floor division for possibly negative sample positions.
std::int64_t floorDiv(std::int64_t a, std::int64_t b) noexcept {
    const std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Group delay at DC of a cascade: sum over the sections of
// (b1 + 2 b2) / (b0 + b1 + b2) - (a1 + 2 a2) / (1 + a1 + a2).
double delayAtDc(const BiquadCoefficients* c, int n) noexcept {
    double d = 0.0;
    for (int i = 0; i < n; ++i) {
        d += (static_cast<double>(c[i].b1) + 2.0 * c[i].b2) /
                 (static_cast<double>(c[i].b0) + c[i].b1 + c[i].b2) -
             (static_cast<double>(c[i].a1) + 2.0 * c[i].a2) / (1.0 + c[i].a1 + c[i].a2);
    }
    return d;
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
void dotAndEnergy(const float* a, const float* b, int n, float& ab, float& bb) noexcept {
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

}  // namespace

void PitchShifter::configure(double sampleRate, bool highQuality) {
    sampleRate_ = sampleRate;
    const double hopSeconds = highQuality ? 0.012 : 0.008;
    const double searchSeconds = highQuality ? 0.0075 : 0.006;
    const double compareSeconds = highQuality ? 0.006 : 0.004;
    hop_ = std::max(8, static_cast<int>(std::lround(hopSeconds * sampleRate)));
    search_ = std::max(4, static_cast<int>(std::lround(searchSeconds * sampleRate)));
    compare_ = std::max(8, static_cast<int>(std::lround(compareSeconds * sampleRate)));
    stride_ = std::max(1, static_cast<int>(sampleRate / 11025.0));
    // The grain middle must lie far enough back that an octave up still
    // ends a grain behind the newest input (hop + search + 1 ms) and an
    // octave down still has a full comparison span before it.
    const int upNeed = hop_ + search_ + std::max(kTaps / 2 + 2, static_cast<int>(std::lround(0.001 * sampleRate)));
    const int downNeed = hop_ / 2 + search_ + compare_ + 2 * stride_ + 4;
    nominalDelay_ = std::max(upNeed, downNeed);

    const std::size_t longest = static_cast<std::size_t>(nominalDelay_ + hop_ + search_ + compare_ + 2 * kTaps + 32);
    const std::size_t n = powerOfTwoAtLeast(longest);
    mask_ = n - 1;
    for (auto& line : lines_) line.assign(2 * n, 0.0f);
    for (auto& line : filtered_) line.assign(2 * n, 0.0f);
    prefilterWarm_ = static_cast<int>(longest);

    // The interpolator: row r holds the weights of taps -7..+8 around a read
    // position r / kFractions of a sample past a whole one. Each row sums to
    // 1, so that the gain does not wobble with the fraction; the rows for a
    // whole sample are exact unit impulses.
    constexpr int half = kTaps / 2;
    const double beta = 7.0;
    std::vector<float> rows(static_cast<std::size_t>((kFractions + 1) * kTaps), 0.0f);
    for (int r = 0; r <= kFractions; ++r) {
        float* row = rows.data() + static_cast<std::size_t>(r * kTaps);
        if (r == 0 || r == kFractions) {
            row[r == 0 ? half - 1 : half] = 1.0f;
            continue;
        }
        const double t = static_cast<double>(r) / kFractions;
        double w[kTaps], sum = 0.0;
        for (int j = 0; j < kTaps; ++j) {
            const double d = j - (half - 1) - t;
            const double u = d / half;
            const double window = std::fabs(u) < 1.0 ? besselI0(beta * std::sqrt(1.0 - u * u)) / besselI0(beta) : 0.0;
            w[j] = std::sin(kPi * d) / (kPi * d) * window;
            sum += w[j];
        }
        for (int j = 0; j < kTaps; ++j) row[j] = static_cast<float>(w[j] / sum);
    }
    // Stored as each row followed by its step to the next, so that a read
    // position's weights (row + a * step) come from one place.
    kernel_.assign(static_cast<std::size_t>(kFractions * 2 * kTaps), 0.0f);
    for (int r = 0; r < kFractions; ++r) {
        const float* row = rows.data() + static_cast<std::size_t>(r * kTaps);
        float* out = kernel_.data() + static_cast<std::size_t>(r * 2 * kTaps);
        for (int j = 0; j < kTaps; ++j) {
            out[j] = row[j];
            out[kTaps + j] = row[kTaps + j] - row[j];
        }
    }
    mix_.assign(2 * n, 0.0f);
    const std::size_t nc = powerOfTwoAtLeast(n / static_cast<std::size_t>(stride_) + 2);
    coarseMask_ = nc - 1;
    coarse_.assign(2 * nc, 0.0f);
    window_.resize(static_cast<std::size_t>(2 * hop_));
    for (int k = 0; k < 2 * hop_; ++k)
        window_[static_cast<std::size_t>(k)] = static_cast<float>(0.5 - 0.5 * std::cos(kPi * k / hop_));
    // Transients: about 1 ms detection frames of the coarse mix; the
    // running grains fade out over 1.5 ms (never under 0.25 ms; going down
    // up to 3 ms) and are gone
    // 0.5 ms before the transient; later grains leave its first 3 ms alone.
    frame_ = std::max(1, static_cast<int>(std::lround(0.001 * sampleRate / stride_)));
    loudestDecay_ = static_cast<float>(std::pow(10.0, -1.0 / 1000.0));  // 10 dB per second
    fadeLength_ = std::max(2, static_cast<int>(std::lround(0.0015 * sampleRate)));
    longestFade_ = std::max(fadeLength_, static_cast<int>(std::lround(0.003 * sampleRate)));
    shortestFade_ = std::max(1, static_cast<int>(std::lround(0.00025 * sampleRate)));
    lead_ = static_cast<int>(std::lround(0.0005 * sampleRate)) + kTaps / 2;
    attack_ = static_cast<int>(std::lround(0.003 * sampleRate));
    holdAfter_ = static_cast<int>(std::lround(0.005 * sampleRate));
    semitones_.configure(sampleRate);
    reset();
}

void PitchShifter::reset() noexcept {
    for (auto& line : lines_) std::fill(line.begin(), line.end(), 0.0f);
    for (auto& line : filtered_) std::fill(line.begin(), line.end(), 0.0f);
    for (auto& channel : prefilterState_)
        for (auto& st : channel) st = BiquadState{};
    prefilterRun_ = 0;
    std::fill(mix_.begin(), mix_.end(), 0.0f);
    std::fill(coarse_.begin(), coarse_.end(), 0.0f);
    // Counting from a large multiple of the stride keeps every read position
    // positive (truncation is floor) without changing what is read: the
    // history starts as silence either way.
    written_ = kFirstSample - kFirstSample % stride_;
    coarseSum_ = 0.0f;
    coarseFill_ = 0;
    untilGrain_ = 0;
    for (Grain& g : grains_) g = Grain{};
    newest_ = 0;
    frameFill_ = 0;
    std::fill(std::begin(history_), std::end(history_), 0.0f);
    historyAt_ = 0;
    loudest_ = 0.0f;
    transientState_ = 0;
    transientGrains_ = false;
    fadingIn_ = 0;
    fadeCorrelation_ = 1.0f;
    transientAt_ = transientRead_ = 0;
    lowestStart_ = 0;
}

void PitchShifter::setSemitones(float semitones) noexcept {
    semitones_.setTarget(std::min(12.0f, std::max(-12.0f, semitones)));
}

void PitchShifter::jumpSemitones(float semitones) noexcept {
    semitones_.jump(std::min(12.0f, std::max(-12.0f, semitones)));
    ratio_ = std::exp2(semitones_.value() / 12.0f);
    designPrefilter();
}

void PitchShifter::designPrefilter() noexcept {
    // Stop band from rate / (2 ratio), but never closer to half the rate
    // than 3 %: just above 0 semitones the little that folds lies at the
    // very top of the band.
    const double stopHz = std::min(0.47, 0.5 / std::max(1.0, static_cast<double>(ratio_))) * sampleRate_;
    const double passHz =
        std::atan(std::tan(kPi * stopHz / sampleRate_) / prefilterDesign_.stopRatio()) * sampleRate_ / kPi;
    prefilterDesign_.lowpass(sampleRate_, passHz, prefilter_);
    prefilterLag_ = delayAtDc(prefilter_, kPrefilterSections);
}

double PitchShifter::bestOffset(std::int64_t reference, std::int64_t nominal, std::int64_t lowest,
                                std::int64_t highest) const noexcept {
    // Candidate starts must have a complete comparison span behind the
    // newest finished coarse sample, stay inside the history for the whole
    // grain and lie within [lowest, highest] (the caller's bounds: going up,
    // the grain must end behind the newest input).
    const double r = ratio_;
    const std::int64_t life = 2 * hop_;
    const std::int64_t newestStart = written_ - compare_ - 2 * stride_ - 2;
    const std::int64_t oldestStart = written_ - static_cast<std::int64_t>(mask_) + 2 * kTaps + 16 +
                                     (r < 1.0 ? static_cast<std::int64_t>((1.0 - r) * life) : 0);
    std::int64_t lo = std::max<std::int64_t>(-search_, std::max(oldestStart, lowest) - nominal);
    std::int64_t hi = std::min<std::int64_t>(search_, std::min(newestStart, highest) - nominal);
    if (lo > hi) return static_cast<double>(nominal + std::min<std::int64_t>(std::max<std::int64_t>(0, lo), search_) - reference);

    // Coarse pass on the stride-averaged mix.
    const int st = stride_;
    const int mc = std::max(2, compare_ / st);
    const std::int64_t cref = floorDiv(reference, st);
    const float* a = coarse_.data() + (static_cast<std::uint64_t>(cref) & coarseMask_);
    const float refEnergy = dot(a, a, mc) + 1e-20f;
    const float bias = 0.05f * std::sqrt(refEnergy);
    const std::int64_t c0 = floorDiv(nominal + lo + st - 1, st);
    const std::int64_t c1 = floorDiv(nominal + hi, st);
    std::int64_t bestStart = nominal;
    float bestScore = -1e30f;
    if (c0 <= c1) {
        const float* b = coarse_.data() + (static_cast<std::uint64_t>(c0) & coarseMask_);
        float energy = dot(b, b, mc);
        for (std::int64_t c = c0; c <= c1; ++c, ++b) {
            const float score = dot(a, b, mc) / std::sqrt(energy + 1e-20f) -
                                bias * static_cast<float>(std::llabs(c * st - nominal)) / static_cast<float>(search_);
            if (score > bestScore) {
                bestScore = score;
                bestStart = c * st;
            }
            energy = std::max(0.0f, energy - b[0] * b[0] + b[mc] * b[mc]);
        }
    }
    if (st == 1) {
        // The coarse pass was at full resolution: refine it below.
        return static_cast<double>(bestStart - reference) + subSample(reference, bestStart, nominal + lo, nominal + hi, nominal, nullptr);
    }

    // Fine pass at full resolution around the coarse winner.
    const float* fa = mix_.data() + (static_cast<std::uint64_t>(reference) & mask_);
    const float fineRef = dot(fa, fa, compare_) + 1e-20f;
    const float fineBias = 0.05f * std::sqrt(fineRef);
    const std::int64_t f0 = std::max(nominal + lo, bestStart - st);
    const std::int64_t f1 = std::min(nominal + hi, bestStart + st);
    std::int64_t best = bestStart;
    float bestFine = -1e30f;
    // The scores either side of the winner, for the sub-sample step, when
    // this pass has worked them out.
    Scores around;
    float previous = 0.0f;
    for (std::int64_t q = f0; q <= f1; ++q) {
        const float* b = mix_.data() + (static_cast<std::uint64_t>(q) & mask_);
        float ab = 0.0f, bb = 0.0f;
        dotAndEnergy(fa, b, compare_, ab, bb);
        const float score = ab / std::sqrt(bb + 1e-20f) -
                            fineBias * static_cast<float>(std::llabs(q - nominal)) / static_cast<float>(search_);
        if (around.known && q == best + 1) {
            around.right = score;
            around.complete = true;
        }
        if (score > bestFine) {
            bestFine = score;
            best = q;
            around.known = q > f0;
            around.complete = false;
            around.left = previous;
            around.middle = score;
        }
        previous = score;
    }
    return static_cast<double>(best - reference) +
           subSample(reference, best, nominal + lo, nominal + hi, nominal, around.complete ? &around : nullptr);
}

double PitchShifter::fineScore(const float* a, float refNorm, std::int64_t start, std::int64_t nominal) const noexcept {
    const float* b = mix_.data() + (static_cast<std::uint64_t>(start) & mask_);
    float ab = 0.0f, bb = 0.0f;
    dotAndEnergy(a, b, compare_, ab, bb);
    return ab / std::sqrt(bb + 1e-20f) -
           0.05f * refNorm * static_cast<float>(std::llabs(start - nominal)) / static_cast<float>(search_);
}

double PitchShifter::subSample(std::int64_t reference, std::int64_t best, std::int64_t first, std::int64_t last,
                               std::int64_t nominal, const Scores* known) const noexcept {
    // A parabola through the scores around the winner places the true
    // alignment between samples, so consecutive grains join without a
    // fractional phase step.
    if (best - 1 < first || best + 1 > last) return 0.0;
    double l = 0.0, m = 0.0, r = 0.0;
    if (known) {
        l = known->left;
        m = known->middle;
        r = known->right;
    } else {
        const float* a = mix_.data() + (static_cast<std::uint64_t>(reference) & mask_);
        const float refNorm = std::sqrt(dot(a, a, compare_) + 1e-20f);
        l = fineScore(a, refNorm, best - 1, nominal);
        m = fineScore(a, refNorm, best, nominal);
        r = fineScore(a, refNorm, best + 1, nominal);
    }
    {
        // The scores lean towards the nominal start (so that the search
        // prefers the nearer of two equal matches); the parabola is fitted
        // to the match alone, or every join would lean the same way and
        // the pitch with it.
        const float* a = mix_.data() + (static_cast<std::uint64_t>(reference) & mask_);
        const double lean = 0.05 * std::sqrt(dot(a, a, compare_) + 1e-20f) / search_;
        l += lean * static_cast<double>(std::llabs(best - 1 - nominal));
        m += lean * static_cast<double>(std::llabs(best - nominal));
        r += lean * static_cast<double>(std::llabs(best + 1 - nominal));
    }
    const double curvature = l - 2.0 * m + r;
    if (!(curvature < 0.0)) return 0.0;
    return std::min(0.5, std::max(-0.5, 0.5 * (l - r) / curvature));
}

int PitchShifter::startGrain() noexcept {
    // A free slot: in the steady state the grain before the previous one
    // has just ended, so two slots take turns.
    int slot = 0;
    while (slot < kGrains - 1 && grains_[slot].active) ++slot;
    const Grain& previous = grains_[newest_];
    const bool follows = previous.active;
    const double r = ratio_;
    Grain g;
    g.active = true;
    g.filtered = ratio_ > 1.0f && prefilterRun_ >= prefilterWarm_;
    g.lag = g.filtered ? prefilterLag_ : 0.0;
    const auto lag = static_cast<std::int64_t>(std::ceil(g.lag));
    int next = hop_;
    if (transientState_ == 1 && written_ >= transientStart_) {
        // The transient's grain: it reads the transient at the output time
        // its nominal delay gives (written_ == transientRead_), at full
        // gain, starting at its window's peak and fading in while every
        // running grain fades out before reaching the transient. It holds
        // until `transientHold_` samples after the transient.
        // Never from before the previous transient's attack: rather a little
        // early than that one twice.
        g.position = std::max(
            static_cast<double>(lowestStart_) + g.lag,
            static_cast<double>(transientAt_) + g.lag - r * static_cast<double>(transientRead_ - written_));
        g.age = hop_;
        next = static_cast<int>(std::max<std::int64_t>(1, transientRead_ + transientHold_ - written_));
        g.hold = next;
        crossfadeTo(
            g, slot, transientFade_,
            follows ? readCorrelation(g.position - g.lag, previous.position - previous.lag, transientFade_)
                    : 1.0f);
        lowestStart_ = transientAt_ + attack_;
        transientState_ = 2;
    } else if (transientState_ == 2) {
        // After it, a grain at full gain too, taking over in a short
        // crossfade: it reads from the nominal delay on (near it, in phase)
        // but never the transient's attack again, and must end behind the
        // newest input; the next regular grain starts once it is in.
        constexpr int margin = kTaps / 2 + 2;
        const std::int64_t nominal = written_ - 1 - nominalDelay_;
        const std::int64_t highest =
            written_ - 1 - margin -
            (r > 1.0 ? static_cast<std::int64_t>(std::ceil((r - 1.0) * (fadeLength_ + hop_))) : 0);
        g.position = static_cast<double>(nominal);
        if (follows) {
            const auto reference = static_cast<std::int64_t>(previous.position);
            g.position =
                previous.position + bestOffset(reference, nominal, lowestStart_ + lag, highest + lag);
        }
        g.age = hop_;
        g.hold = fadeLength_;
        next = fadeLength_;
        crossfadeTo(g, slot, fadeLength_, 1.0f);  // lined up by the search
        transientState_ = 0;
    } else {
        if (transientState_ == 1)
            next = static_cast<int>(std::min<std::int64_t>(next, transientStart_ - written_));
        // Nominal start: the delay that puts the grain's middle at
        // nominalDelay_. The search looks around it for the start that
        // continues the previous grain in phase; going up, the grain must
        // end behind the newest input.
        const double startDelay = nominalDelay_ + (r - 1.0) * hop_;
        const double start = static_cast<double>(written_ - 1) - startDelay;  // from the newest sample
        const double startWhole = std::floor(start);
        const auto nominal = static_cast<std::int64_t>(startWhole);
        const std::int64_t endMargin =
            r > 1.0 ? static_cast<std::int64_t>(std::ceil((r - 1.0) * 2 * hop_)) + kTaps / 2 + 2 : 0;
        g.position = start;
        // At 0 semitones, once there, every grain reads at the nominal delay:
        // the shifter is a plain delay. (The search would find the previous
        // grain's continuation there too, or as well a period away in
        // voiced sound, and its sub-sample step would interpolate.)
        const bool plainDelay = ratio_ == 1.0f && !semitones_.moving();
        if (follows && !plainDelay) {
            // Placed relative to the grain it takes over from, fraction and all.
            const auto reference = static_cast<std::int64_t>(previous.position);
            g.position =
                previous.position + bestOffset(reference, nominal, lowestStart_ + lag, written_ - endMargin);
        }
    }
    grains_[slot] = g;
    newest_ = slot;
    return next;
}

float PitchShifter::readCorrelation(double a, double b, int length) const noexcept {
    const double r = ratio_;
    double ab = 0.0, aa = 0.0, bb = 0.0;
    for (int k = 0; k < length; ++k) {
        const float x = mix_[static_cast<std::size_t>(static_cast<std::int64_t>(a + r * k)) & mask_];
        const float y = mix_[static_cast<std::size_t>(static_cast<std::int64_t>(b + r * k)) & mask_];
        ab += static_cast<double>(x) * y;
        aa += static_cast<double>(x) * x;
        bb += static_cast<double>(y) * y;
    }
    if (!(aa * bb > 1e-24)) return 1.0f;
    return static_cast<float>(std::min(1.0, std::max(0.0, ab / std::sqrt(aa * bb))));
}

void PitchShifter::crossfadeTo(Grain& g, int slot, int length, float correlation) noexcept {
    transientGrains_ = true;
    fadingIn_ = slot;
    fadeCorrelation_ = correlation;
    g.fade = 0.0f;
    g.fadeLeft = length;
    g.fadeStep = 1.0f / static_cast<float>(length);
    for (Grain& other : grains_) {
        if (!other.active) continue;
        other.fadeLeft = length;
        other.fadeStep = -other.fade / static_cast<float>(length);
    }
}

void PitchShifter::detectTransient() noexcept {
    // The frame's coarse samples through a fourth difference, a high-pass
    // rising 24 dB per octave (the coarse mix runs at about 11 kHz, so it
    // weighs 4 kHz some 20 dB above 1 kHz).
    const std::int64_t first = written_ / stride_ - frame_ + 1;  // written_ is positive
    const float* c = coarse_.data() + (static_cast<std::uint64_t>(first - 4) & coarseMask_);
    Float4 sum = {0.0f, 0.0f, 0.0f, 0.0f};
    int k = 0;
    for (; k + 4 <= frame_; k += 4) {
        const Float4 d = load4(c + k + 4) - 4.0f * load4(c + k + 3) + 6.0f * load4(c + k + 2) -
                         4.0f * load4(c + k + 1) + load4(c + k);
        sum += d * d;
    }
    float energy = (sum[0] + sum[1]) + (sum[2] + sum[3]);
    for (; k < frame_; ++k) {
        const float d = c[k + 4] - 4.0f * c[k + 3] + 6.0f * c[k + 2] - 4.0f * c[k + 1] + c[k];
        energy += d * d;
    }
    // The frame's energy so weighted against the frames before it: a rise
    // of 10 dB over the mean of the last 8 ms, no more than 40 dB under the
    // loudest frame of the last seconds, is a transient, unless a frame 3
    // to 14 ms back (a pitch period of the lowest voices) came within 3 dB
    // of it. Without that, the glottal pulses of a low voice rose that much
    // every period and were taken for transients (some 40 a second), each
    // grain then placed without lining up with the one before, and the
    // voicing came out rough. While one waits for its grain, another is not
    // looked for; once that grain runs, the next one's grain may take over
    // from it.
    float recent = 0.0f, largest = 0.0f;
    for (int i = 1; i <= kHistory; ++i) {
        const float e = history_[(historyAt_ + kHistory - i) % kHistory];
        if (i <= kRecentFrames) recent += e;
        if (i > 2) largest = std::max(largest, e);
    }
    const float before = recent * (1.0f / kRecentFrames);
    history_[historyAt_] = energy;
    historyAt_ = (historyAt_ + 1) % kHistory;
    loudest_ = std::max(energy, loudest_ * loudestDecay_);
    constexpr float kRise = 10.0f;                               // 10 dB
    constexpr float kOverPulses = 2.0f;                          // 3 dB
    constexpr float kBelowLoudest = 1e-4f;                       // 40 dB
    const bool steady = ratio_ == 1.0f && !semitones_.moving();  // an exact delay: nothing to do
    if (steady || transientState_ == 1 || energy < kRise * before || energy < kOverPulses * largest ||
        energy < kBelowLoudest * loudest_ || energy < 1e-12f)
        return;
    // Where it starts: taken as the frame's first sample, less two coarse
    // samples for the high-pass's delay. It is read (by a grain at its
    // nominal delay) when written_ reaches `read`.
    const std::int64_t at = written_ + 1 - static_cast<std::int64_t>(frame_ + 2) * stride_;
    const std::int64_t read = at + nominalDelay_ + 1;
    const double r = ratio_;
    // Every running grain must be silent before it reaches the transient
    // (less a margin): when does the first get there? (In samples from now.)
    const double edge = static_cast<double>(at - lead_);
    std::int64_t reach = read - (written_ + 1);
    for (const Grain& g : grains_) {
        if (!g.active) continue;
        reach = std::min(reach, static_cast<std::int64_t>(std::floor((edge - (g.position - g.lag)) / r)));
    }
    // The transient's grain starts reading r times as far before the
    // transient as it starts before reading it: not so far back that it
    // would read the previous transient's attack again, if it can wait.
    const std::int64_t untilRead = read - (written_ + 1);
    const auto earliest =
        untilRead - static_cast<std::int64_t>(std::floor(static_cast<double>(at - lowestStart_) / r));
    int fade = fadeLength_;
    std::int64_t start = std::min<std::int64_t>(untilGrain_, reach - fade);
    if (start < earliest) {
        // Later then, after the next regular grain has started, if that
        // grain (placed at the latest the search allows) does not reach the
        // transient before the crossfade is over either.
        const double regular =
            static_cast<double>(written_ + untilGrain_) - nominalDelay_ - (r - 1.0) * hop_ - search_;
        const auto regularReach = untilGrain_ + static_cast<std::int64_t>(std::floor((edge - regular) / r));
        if (earliest <= std::min(reach, regularReach) - fade) start = earliest;
    }
    // While the previous transient's grain runs, a new one takes over only
    // where it can cleanly: in a full crossfade, without reading the
    // previous attack again.
    if (transientState_ == 2 && (start < 0 || start < earliest)) return;
    if (start < 0) {
        start = 0;
        fade = static_cast<int>(
            std::max<std::int64_t>(shortestFade_, std::min<std::int64_t>(reach, fadeLength_)));
    } else if (r < 1.0) {
        // Going down, the running grains lag and reach the transient late:
        // a longer crossfade where they leave the room, over before the
        // transient's grain reaches its attack.
        const std::int64_t room = std::min(reach, untilRead - lead_) - start;
        fade = static_cast<int>(std::max<std::int64_t>(fade, std::min<std::int64_t>(room, longestFade_)));
    }
    // Its grain holds for a while after it, but going up must end (after
    // the crossfade out) behind the newest input.
    int hold = holdAfter_;
    if (r > 1.0) {
        constexpr int margin = kTaps / 2 + 2;
        hold =
            std::min(hold, static_cast<int>(std::floor((nominalDelay_ - margin) / (r - 1.0))) - fadeLength_);
    }
    transientHold_ = std::max(0, hold);
    transientAt_ = at;
    transientRead_ = read;
    transientFade_ = fade;
    transientState_ = 1;
    transientStart_ = written_ + 1 + start;
    untilGrain_ = static_cast<int>(std::min<std::int64_t>(untilGrain_, start));
}

void PitchShifter::advanceTransientGrains(float ratio) noexcept {
    const int life = 2 * hop_;
    bool plain = transientState_ != 2;
    for (Grain& g : grains_) {
        if (!g.active) continue;
        g.position += ratio;
        if (g.hold > 0) {
            --g.hold;
        } else if (++g.age >= life) {
            g.active = false;
        }
        if (g.fadeLeft > 0) {
            if (--g.fadeLeft == 0) {
                g.fade = g.fadeStep > 0.0f ? 1.0f : 0.0f;
                if (g.fadeStep < 0.0f) g.active = false;
            } else {
                g.fade += g.fadeStep;
            }
        }
        plain = plain && (!g.active || (g.hold == 0 && g.fadeLeft == 0));
    }
    if (!plain) return;
    // Every grain is a usual one again: back to the first two slots.
    Grain& last = grains_[kGrains - 1];
    if (last.active) {
        if (grains_[0].active && grains_[1].active) return;
        const int free = grains_[0].active ? 1 : 0;
        grains_[free] = last;
        last.active = false;
        if (newest_ == kGrains - 1) newest_ = free;
        if (fadingIn_ == kGrains - 1) fadingIn_ = free;
    }
    transientGrains_ = false;
}

void PitchShifter::process(float* const* io, int channels, int frames) noexcept {
    for (int done = 0; done < frames; done += kChunk) {
        float* part[kMaxChannels] = {io[0] + done, channels > 1 ? io[1] + done : nullptr};
        if (channels > 1)
            processChunk<2>(part, std::min(kChunk, frames - done));
        else
            processChunk<1>(part, std::min(kChunk, frames - done));
    }
}

template <int channels>
void PitchShifter::processChunk(float* const* io, int frames) noexcept {
    const std::size_t n = mask_ + 1;
    const int life = 2 * hop_;
    constexpr int half = kTaps / 2;
    // With the ratio steady above 1 the anti-fold filter runs over the whole
    // chunk first, both channels at once (one in each lane) through all its
    // sections, whose state stays in registers; while it glides, sample by
    // sample with the changing coefficients. The arithmetic per sample is the
    // same either way.
    const bool steadyUp = !semitones_.moving() && ratio_ > 1.0f;
    // Without a glide the direction holds for the whole chunk.
    const bool gliding = semitones_.moving();
    const bool steadyUpwards = ratio_ > 1.0f || semitones_.target() > 0.0f;
    // Kept in registers over the chunk (stores to the history could
    // otherwise alias them).
    float coarseSum = coarseSum_;
    int coarseFill = coarseFill_;
    int frameFill = frameFill_;
    // The newest and oldest read positions the interpolator may use, moved
    // on by one per sample (whole numbers, so exactly).
    double newest = static_cast<double>(written_ - half - 1);
    double oldest = static_cast<double>(written_) - static_cast<double>(mask_ - kTaps);
    if (steadyUp) {
        static_assert(kPrefilterSections == 3, "the loop below runs three sections");
        const BiquadCoefficients& c0 = prefilter_[0];
        const BiquadCoefficients& c1 = prefilter_[1];
        const BiquadCoefficients& c2 = prefilter_[2];
        Float4 z1[kPrefilterSections], z2[kPrefilterSections];
        for (int k = 0; k < kPrefilterSections; ++k) {
            z1[k] = Float4{prefilterState_[0][k].z1, prefilterState_[1][k].z1, 0.0f, 0.0f};
            z2[k] = Float4{prefilterState_[0][k].z2, prefilterState_[1][k].z2, 0.0f, 0.0f};
        }
        Float4 a0 = z1[0], b0 = z2[0], a1 = z1[1], b1 = z2[1], a2 = z1[2], b2 = z2[2];
        const float* right = channels > 1 ? io[1] : nullptr;
        for (int i = 0; i < frames; ++i) {
            const Float4 x = {io[0][i], right ? right[i] : 0.0f, 0.0f, 0.0f};
            const Float4 y0 = c0.b0 * x + a0;
            a0 = c0.b1 * x - c0.a1 * y0 + b0;
            b0 = c0.b2 * x - c0.a2 * y0;
            const Float4 y1 = c1.b0 * y0 + a1;
            a1 = c1.b1 * y0 - c1.a1 * y1 + b1;
            b1 = c1.b2 * y0 - c1.a2 * y1;
            const Float4 y2 = c2.b0 * y1 + a2;
            a2 = c2.b1 * y1 - c2.a1 * y2 + b2;
            b2 = c2.b2 * y1 - c2.a2 * y2;
            prefiltered_[0][i] = y2[0];
            prefiltered_[1][i] = y2[1];
        }
        z1[0] = a0, z2[0] = b0, z1[1] = a1, z2[1] = b1, z1[2] = a2, z2[2] = b2;
        for (int c = 0; c < kMaxChannels; ++c) {
            for (int k = 0; k < kPrefilterSections; ++k) {
                prefilterState_[c][k].z1 = z1[k][c];
                prefilterState_[c][k].z2 = z2[k][c];
            }
        }
    }
    for (int i = 0; i < frames; ++i) {
        if (semitones_.moving()) {
            ratio_ = std::exp2(semitones_.next() / 12.0f);
            // The anti-fold filter follows the glide every 16 samples.
            if ((++designCount_ & 15) == 0 || !semitones_.moving()) designPrefilter();
        }
        const bool upwards = gliding ? ratio_ > 1.0f || semitones_.target() > 0.0f : steadyUpwards;
        const float ratio = ratio_;

        const std::size_t at = static_cast<std::size_t>(written_) & mask_;
        float m = 0.0f;
        for (int c = 0; c < channels; ++c) {
            const float x = io[c][i];
            lines_[c][at] = x;
            lines_[c][at + n] = x;
            m += x;
            if (upwards) {
                float y = x;
                if (steadyUp) {
                    y = prefiltered_[c][i];
                } else {
                    for (int k = 0; k < kPrefilterSections; ++k) y = prefilterState_[c][k].run(prefilter_[k], y);
                }
                filtered_[c][at] = y;
                filtered_[c][at + n] = y;
            }
        }
        if (upwards) {
            if (prefilterRun_ < prefilterWarm_) ++prefilterRun_;
        } else {
            prefilterRun_ = 0;
        }
        mix_[at] = m;
        mix_[at + n] = m;
        coarseSum += m;
        if (++coarseFill == stride_) {
            const std::size_t k = static_cast<std::size_t>(written_ / stride_) & coarseMask_;
            const float v = coarseSum / static_cast<float>(stride_);
            coarse_[k] = v;
            coarse_[k + coarseMask_ + 1] = v;
            coarseSum = 0.0f;
            coarseFill = 0;
            if (++frameFill == frame_) {
                frameFill = 0;
                detectTransient();
            }
        }
        ++written_;

        if (untilGrain_ == 0) untilGrain_ = startGrain();
        --untilGrain_;

        // Band-limited interpolation: the tap weights depend only on the
        // grain's position, so they are worked out once for all channels
        // (the tabulated row below the fraction plus a part of its step) and
        // scaled by the grain's window.
        newest += 1.0;
        oldest += 1.0;
        Float4 out0 = {0.0f, 0.0f, 0.0f, 0.0f}, out1 = out0;
        auto read = [&](const Grain& g, float win) {
            const double p = std::min(newest, std::max(oldest, g.position - g.lag));
            const auto whole = static_cast<std::int64_t>(p);
            const float f = static_cast<float>(p - static_cast<double>(whole)) * kFractions;
            const int row = std::min(kFractions - 1, static_cast<int>(f));
            const float a = f - static_cast<float>(row);
            const float* k0 = kernel_.data() + static_cast<std::size_t>(row * 2 * kTaps);
            const Weights w(k0, k0 + kTaps, a);
            const std::size_t at0 = static_cast<std::size_t>(whole - (half - 1)) & mask_;
            const std::vector<float>* source = g.filtered ? filtered_ : lines_;
            out0 += win * w.apply(source[0].data() + at0);
            if (channels > 1) out1 += win * w.apply(source[1].data() + at0);
        };
        if (!transientGrains_) {
            // The usual two grains, in the first two slots.
            for (int k = 0; k < 2; ++k) {
                const Grain& g = grains_[k];
                if (g.active) read(g, window_[static_cast<std::size_t>(g.age)]);
            }
            const Float4 sums = sumLanes(out0, out1);
            output_[0][i] = sums[0];
            output_[1][i] = sums[1];
            for (int k = 0; k < 2; ++k) {
                Grain& g = grains_[k];
                if (!g.active) continue;
                g.position += ratio;
                if (++g.age >= life) g.active = false;
            }
        } else {
            // While a transient's grains hold or crossfade: every slot, with
            // its fade.
            // Linear fades in (x) and out (1 - x) of sound correlated by c
            // sum to a level of sqrt(x^2 + (1 - x)^2 + 2 c x (1 - x)): all
            // fades are divided by it (1 once the crossfade is over).
            const float x = grains_[fadingIn_].fade, y = 1.0f - x;
            const float level = std::sqrt(x * x + y * y + 2.0f * fadeCorrelation_ * x * y);
            const float scale = level > 0.0f ? 1.0f / level : 1.0f;
            for (const Grain& g : grains_)
                if (g.active) read(g, window_[static_cast<std::size_t>(g.age)] * g.fade * scale);
            const Float4 sums = sumLanes(out0, out1);
            output_[0][i] = sums[0];
            output_[1][i] = sums[1];
            advanceTransientGrains(ratio);
        }
    }
    coarseSum_ = coarseSum;
    coarseFill_ = coarseFill;
    frameFill_ = frameFill;
    // The output went to a buffer of the shifter's own (which nothing else
    // may alias, so the loop keeps the shifter's state in registers) and
    // replaces the input only now.
    for (int c = 0; c < channels; ++c) std::memcpy(io[c], output_[c], static_cast<std::size_t>(frames) * sizeof(float));
}

}  // namespace vcmd
