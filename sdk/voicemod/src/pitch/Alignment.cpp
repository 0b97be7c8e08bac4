// Alignment.cpp - the alignment search: where a new grain starts reading, so that it
// lines up in phase with the grain it takes over from (a coarse normalised
// cross-correlation over the search range, refined at full rate and to a
// fraction of a sample).
#include "pitch/PitchShifter.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "pitch/ShifterMath.h"

namespace vcmd {
using namespace shifter;

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

}  // namespace vcmd
