// PitchSynchronous.cpp - see PitchSynchronous.h.
#include "pitch/PitchSynchronous.h"

#include <algorithm>
#include <cmath>

#include "pitch/Interpolator.h"
#include "pitch/ShifterMath.h"

namespace vcmd {
using namespace shifter;

namespace {

// The grains overlap by 0.3 of the output period, at most 3 ms: a shorter
// crossing (1 ms was tried) cuts each period's ringing off so abruptly that
// the LPC formants of a low vowel moved by up to 13 % (F1) and one merged
// pair was lost; a longer one mixes in more of the neighbouring periods'
// tails and loses voiced frames on real speech.
constexpr double kRiseShare = 0.3;
constexpr double kMostRiseSeconds = 0.003;
constexpr double kShortestRiseSeconds = 0.001;
constexpr double kPeriodReachSeconds = 0.0006;
constexpr double kPullRatio = 0.003;  // about 5 cents
constexpr double kMarkPull = 0.1;
constexpr int kHalfTaps = kInterpolatorTaps / 2;

// Group delay at DC of a cascade of sections.
double delayAtDc(const BiquadCoefficients* c, int n) noexcept {
    double d = 0.0;
    for (int i = 0; i < n; ++i)
        d += (static_cast<double>(c[i].b1) + 2.0 * c[i].b2) / (static_cast<double>(c[i].b0) + c[i].b1 + c[i].b2) -
             (static_cast<double>(c[i].a1) + 2.0 * c[i].a2) / (1.0 + c[i].a1 + c[i].a2);
    return d;
}

// The grain's envelope at `u` samples from its mark: a rise of `rise`
// before it, 1, and a fall of `fall` ending at `length`.
inline float envelope(double u, double rise, double fall, double length) noexcept {
    if (u < -rise || u > length) return 0.0f;
    if (u < 0.0) {
        const double s = std::sin(0.5 * kPi * (u + rise) / rise);
        return static_cast<float>(s * s);
    }
    if (u > length - fall) {
        const double c = std::cos(0.5 * kPi * (u - (length - fall)) / fall);
        return static_cast<float>(c * c);
    }
    return 1.0f;
}

}  // namespace

void PitchSynchronous::configure(double sampleRate, int delayFrames) {
    sampleRate_ = sampleRate;
    delay_ = std::max(1, delayFrames);
    rise_ = std::max(2, static_cast<int>(std::lround(kMostRiseSeconds * sampleRate)));
    shortestRise_ = std::max(2, static_cast<int>(std::lround(kShortestRiseSeconds * sampleRate)));
    periodReach_ = std::min(kMostPeriodReach, static_cast<int>(std::lround(kPeriodReachSeconds * sampleRate)));
    tracker_.configure(sampleRate);
    pitch_.configure(sampleRate);
    formant_.configure(sampleRate);
    // The input back to two of the longest periods (an octave down) before
    // the oldest output mark; the grains as far ahead of the output.
    const double longest = sampleRate / PitchTracker::kLowestF0;
    const std::size_t n =
        powerOfTwoAtLeast(static_cast<std::size_t>(delay_ + 4.0 * longest + 4 * kInterpolatorTaps + 2 * kPieceFrames));
    mask_ = n - 1;
    for (auto& line : lines_) line.assign(2 * n, 0.0f);
    for (auto& line : filtered_) line.assign(2 * n, 0.0f);
    const std::size_t out = powerOfTwoAtLeast(static_cast<std::size_t>(delay_ + 4.0 * longest + 2 * kPieceFrames));
    outMask_ = out - 1;
    for (auto& g : grains_) g.assign(out, 0.0f);
    cover_.assign(out, 0.0f);
    designInterpolator(kernel_);
    reset();
}

void PitchSynchronous::reset() noexcept {
    tracker_.reset();
    for (auto& line : lines_) std::fill(line.begin(), line.end(), 0.0f);
    for (auto& line : filtered_) std::fill(line.begin(), line.end(), 0.0f);
    for (auto& g : grains_) std::fill(g.begin(), g.end(), 0.0f);
    std::fill(cover_.begin(), cover_.end(), 0.0f);
    for (auto& channel : prefilterState_)
        for (auto& s : channel) s = BiquadState{};
    markCount_ = 0;
    heard_ = made_ = 0;
    voiced_ = false;
    nextOut_ = 0.0;
    lastSource_ = -1.0;
    chainAt_ = -1.0;
    chainPeriod_ = 0.0f;
    overlap_ = static_cast<double>(shortestRise_);
    designedRatio_ = 0.0f;
}

void PitchSynchronous::designPrefilter(float ratio) noexcept {
    // Stop band from rate / (2 ratio), as the grain shifter's.
    const double stopHz = std::min(0.47, 0.5 / std::max(1.0, static_cast<double>(ratio))) * sampleRate_;
    const double passHz =
        std::atan(std::tan(kPi * stopHz / sampleRate_) / prefilterDesign_.stopRatio()) * sampleRate_ / kPi;
    prefilterDesign_.lowpass(sampleRate_, passHz, prefilter_);
    prefilterLag_ = delayAtDc(prefilter_, kPrefilterSections);
    designedRatio_ = ratio;
}

void PitchSynchronous::hear(const float* const* input, int channels, int frames) noexcept {
    frames = std::clamp(frames, 0, kPieceFrames);
    channels = std::clamp(channels, 1, kMaxChannels);
    const float ratio = std::exp2(std::max(formant_.target(), formant_.value()) / 12.0f);
    if (ratio != designedRatio_) designPrefilter(ratio);
    for (int i = 0; i < frames; ++i) {
        float sum = 0.0f;
        const std::size_t at = static_cast<std::size_t>(heard_ + i) & mask_;
        for (int c = 0; c < channels; ++c) {
            const float x = std::isfinite(input[c][i]) ? input[c][i] : 0.0f;
            sum += x;
            lines_[c][at] = lines_[c][at + mask_ + 1] = x;
            float y = x;
            for (int s = 0; s < kPrefilterSections; ++s) y = prefilterState_[c][s].run(prefilter_[s], y);
            filtered_[c][at] = filtered_[c][at + mask_ + 1] = y;
        }
        mono_[i] = sum / static_cast<float>(channels);
    }
    heard_ += frames;
    tracker_.process(mono_, frames);
    PitchEstimate estimate;
    while (tracker_.readEstimate(estimate)) {
        // The marks carry what the grains need; the estimates only drain.
    }
    for (PitchMark m; tracker_.readMark(m);) marks_[markCount_++ % kMarks] = m;
}

float PitchSynchronous::read(const std::vector<float>& line, double position) const noexcept {
    const auto whole = static_cast<std::int64_t>(std::floor(position));
    const float f = static_cast<float>(position - static_cast<double>(whole)) * kInterpolatorFractions;
    const int row = std::min(kInterpolatorFractions - 1, static_cast<int>(f));
    const float* k0 = kernel_.data() + static_cast<std::size_t>(row * 2 * kInterpolatorTaps);
    const Weights w(k0, k0 + kInterpolatorTaps, f - static_cast<float>(row));
    const Float4 s = w.apply(line.data() + (static_cast<std::size_t>(whole - (kHalfTaps - 1)) & mask_));
    return (s[0] + s[1]) + (s[2] + s[3]);
}

std::int64_t PitchSynchronous::nearestMark(double target, std::int64_t now) const noexcept {
    // Marks are handed out at most markDelayFrames() after their
    // excitation; counting them usable only from then keeps the output the
    // same whatever the block size.
    const double final = static_cast<double>(now - tracker_.markDelayFrames());
    std::int64_t best = -1;
    double distance = 0.0;
    const std::int64_t first = std::max<std::int64_t>(0, markCount_ - kMarks);
    for (std::int64_t k = markCount_ - 1; k >= first; --k) {
        const PitchMark& m = marks_[k % kMarks];
        if (m.at > final) continue;
        const double d = std::fabs(m.at - target);
        if (d > m.period) {
            if (m.at < target) break;  // older ones lie further still
            continue;
        }
        if (best < 0 || d < distance) best = k, distance = d;
    }
    return best;
}

float PitchSynchronous::periodAt(std::int64_t k, std::int64_t now) const noexcept {
    // The period the mark starts, from the marks themselves: the mean of
    // kSpan intervals around it (the next one's where it is final), which
    // follows a moving pitch within a period or two where the tracker's
    // estimate, describing the input 12 ms back, lags behind it, and evens
    // out the marks' own scatter. The estimate where the marks disagree
    // with it.
    const PitchMark& m = marks_[k % kMarks];
    const double final = static_cast<double>(now - tracker_.markDelayFrames());
    std::int64_t last = k;
    if (k + 1 < markCount_ && marks_[(k + 1) % kMarks].at <= final) last = k + 1;
    const std::int64_t first = last - kSpan;
    if (first < 0 || first < markCount_ - kMarks) return m.period;
    for (std::int64_t i = first; i < last; ++i) {
        const double interval = marks_[(i + 1) % kMarks].at - marks_[i % kMarks].at;
        if (!(interval > 0.7 * m.period && interval < 1.4 * m.period)) return m.period;
    }
    return static_cast<float>((marks_[last % kMarks].at - marks_[first % kMarks].at) / kSpan);
}

float PitchSynchronous::measurePeriod(double mark, float guess, std::int64_t now) const noexcept {
    // The lag near `guess` at which one period of the waveform best matches
    // the period before it, the pairs compared centred on the middle of the
    // period that starts at `mark` (earlier where the input has not arrived
    // that far): the marks' own scatter (a tenth of a millisecond, more on
    // real speech) would space the output's periods unevenly, heard as
    // roughness and measured as F0 error, and the period before the mark
    // would make the output's pitch trail the input's where it moves.
    const int reach = std::min(periodReach_, std::max(3, static_cast<int>(0.08f * guess)));
    const int length = static_cast<int>(guess);
    const int centre = static_cast<int>(std::lround(guess));
    const double end = std::min(mark + 1.5 * static_cast<double>(guess), static_cast<double>(now - 1));
    const auto first = static_cast<std::int64_t>(std::lround(end)) - length;
    if (length < 16 || centre - reach < 8) return guess;
    const float* x = lines_[0].data() + (static_cast<std::size_t>(first) & mask_);
    // The compared pairs start `reach` either side of one period back: the
    // window is taken from its earliest start, so that every read stays
    // within the mirrored line.
    const float* earliest = lines_[0].data() + (static_cast<std::size_t>(first - centre - reach) & mask_);
    const float energy = dot(x, x, length);
    if (!(energy > 1e-20f)) return guess;
    float scores[2 * kMostPeriodReach + 1] = {};
    int best = -reach;
    for (int d = -reach; d <= reach; ++d) {
        const float* y = earliest + (reach - d);
        const float norm = std::sqrt(energy * dot(y, y, length));
        scores[d + reach] = norm > 1e-20f ? dot(x, y, length) / norm : 0.0f;
        if (scores[d + reach] > scores[best + reach]) best = d;
    }
    if (scores[best + reach] < 0.5f || best == -reach || best == reach) return guess;
    float offset = 0.0f, value = 0.0f;
    parabola(scores[best - 1 + reach], scores[best + reach], scores[best + 1 + reach], offset, value);
    return static_cast<float>(centre + best) + offset;
}

void PitchSynchronous::layGrain(std::int64_t now) noexcept {
    const double pitchRatio = std::exp2(static_cast<double>(pitch_.value()) / 12.0);
    const double formantRatio = std::exp2(static_cast<double>(formant_.value()) / 12.0);
    const double lag = formantRatio > 1.0 ? prefilterLag_ : 0.0;
    // The grain reads its input period, at the formant ratio, up to where
    // the next output grain takes over.
    const auto extent = [&](float period) {
        return std::min(static_cast<double>(period) / pitchRatio, static_cast<double>(period) / formantRatio);
    };
    const double o = nextOut_;
    // Voiced while the tracker has a final mark within a period of it.
    const std::int64_t k = nearestMark(o, now);
    if (k < 0) {
        endStretch();
        return;
    }
    if (chainAt_ < 0.0) {
        chainAt_ = marks_[k % kMarks].at;
        chainPeriod_ = measurePeriod(chainAt_, periodAt(k, now), now);
    }
    // The grains' sources are a chain of the input's periods, each one
    // period (measured by the waveform) after the last: laid one after
    // another they join as the input did, where the marks themselves
    // scatter by a tenth of a millisecond or more about the pulses. The
    // chain leans a tenth of the way towards the nearest mark at each
    // step, so that it keeps to the pulses over a long vowel.
    while (chainAt_ + 0.5 * static_cast<double>(chainPeriod_) < o) {
        double next = chainAt_ + static_cast<double>(chainPeriod_);
        const std::int64_t near = nearestMark(next, now);
        if (near >= 0) {
            const double off = marks_[near % kMarks].at - next;
            if (std::fabs(off) < 0.2 * static_cast<double>(chainPeriod_)) next += kMarkPull * off;
        }
        const float period = measurePeriod(next, chainPeriod_, now);
        // A period a third away from the last or from the tracker's is the
        // tracker changing its mind (as at a voice's onset), or the chain
        // caught on a formant's ringing: the stretch ends there, and the
        // next starts once the marks are steady again.
        const float heard = near >= 0 ? marks_[near % kMarks].period : chainPeriod_;
        if (!(period < 1.35f * chainPeriod_ && period * 1.35f > chainPeriod_) ||
            !(period < 1.35f * heard && period * 1.35f > heard)) {
            endStretch();
            return;
        }
        chainAt_ = next;
        chainPeriod_ = period;
    }
    const float inputPeriod = chainPeriod_;
    double length = extent(inputPeriod);
    // What the delay lets it read: a low voice's grain is cut short.
    const double room = (static_cast<double>(now - kHalfTaps - 2) - chainAt_ - lag) / formantRatio;
    length = std::min(length, room);
    const double period = static_cast<double>(inputPeriod) / pitchRatio;
    // The rise was set by the last grain's fall (the grain is laid that
    // far ahead of its mark); a stretch's first grain rises over 1 ms.
    const double rise = std::min(overlap_, 0.45 * period);
    // The fall is the next grain's rise: 0.3 of the output period, at
    // most 3 ms. Where the pitch goes down further than the formants the
    // grain ends before the next one starts, and the fall is 0.3 of what
    // the grain holds (0.3 of the longer output period took the body of a
    // high voice's period away: sung notes at -7 kept 64 % of their voiced
    // frames, 97 % so). A grain the delay cuts short ends with what fits.
    double fall = std::min(kRiseShare * period, static_cast<double>(rise_));
    if (extent(inputPeriod) < period - 0.5) fall = std::min(fall, kRiseShare * length);
    if (length < period - 0.5) fall = std::min(fall, std::max(static_cast<double>(shortestRise_), length - rise));
    if (length < rise + fall) {
        endStretch();
        return;
    }
    const double source = chainAt_ + lag;
    const std::vector<float>* from = formantRatio > 1.0 ? filtered_ : lines_;
    const auto first = static_cast<std::int64_t>(std::ceil(o - rise));
    const auto last = static_cast<std::int64_t>(std::floor(o + std::max(length, period)));
    for (std::int64_t i = first; i <= last; ++i) {
        const double u = static_cast<double>(i) - o;
        const std::size_t at = static_cast<std::size_t>(i) & outMask_;
        cover_[at] += envelope(u, rise, fall, period);
        const float w = envelope(u, rise, fall, length);
        if (w == 0.0f) continue;
        const double p = source + u * formantRatio;
        for (int c = 0; c < static_cast<int>(channelsHeard_); ++c) grains_[c][at] += w * read(from[c], p);
    }
    lastSource_ = chainAt_;
    // At no pitch shift the output marks keep to the input's: each next
    // one a period after this grain's source, so the output stays in step
    // with the input rather than drifting to half a period off it, where
    // the nearest input mark flips back and forth and periods are repeated
    // and dropped in turn. Within a few cents of no shift the pull fades
    // out, and a shifted voice's marks run free at the target period.
    const double pull = std::max(0.0, 1.0 - std::fabs(pitchRatio - 1.0) / kPullRatio);
    nextOut_ = o + period + pull * std::clamp(chainAt_ - o, -0.5 * period, 0.5 * period);
    overlap_ = fall;
}

void PitchSynchronous::endStretch() noexcept {
    voiced_ = false;
    chainAt_ = -1.0;
    overlap_ = static_cast<double>(shortestRise_);
}

bool PitchSynchronous::steadyBefore(std::int64_t k) const noexcept {
    // A voiced stretch starts only on a mark whose two intervals before it
    // agree with its period: the first marks of a voice's onset can come
    // at a fraction of its period before the tracker has settled, and
    // grains laid on them would sound a few milliseconds of another pitch.
    if (k < 2 || k - 2 < markCount_ - kMarks) return false;
    const PitchMark& m = marks_[k % kMarks];
    for (std::int64_t i = k - 2; i < k; ++i) {
        const double interval = marks_[(i + 1) % kMarks].at - marks_[i % kMarks].at;
        if (!(interval > 0.8 * m.period && interval < 1.25 * m.period)) return false;
    }
    return true;
}

void PitchSynchronous::process(float* const* io, int channels, int frames) noexcept {
    frames = std::clamp(frames, 0, kPieceFrames);
    channels = std::clamp(channels, 1, kMaxChannels);
    channelsHeard_ = static_cast<float>(channels);
    for (int i = 0; i < frames; ++i) {
        pitch_.next();
        formant_.next();
        const std::int64_t at = made_ - delay_;  // the input time this output sample stands at
        const std::int64_t now = made_ + 1;      // input samples it may have seen
        if (!voiced_ && markCount_ > 0) {
            // A voiced stretch starts on the newest usable mark still ahead.
            const std::int64_t k = nearestMark(static_cast<double>(at) + shortestRise_, now);
            const double mark = k >= 0 ? marks_[k % kMarks].at : -1.0;
            if (k >= 0 && mark > lastSource_ && mark - shortestRise_ >= static_cast<double>(at) &&
                steadyBefore(k)) {
                voiced_ = true;
                nextOut_ = mark;
            }
        }
        while (voiced_ && nextOut_ - overlap_ <= static_cast<double>(at)) layGrain(now);
        const std::size_t k = static_cast<std::size_t>(at) & outMask_;
        if (at >= 0) {
            const float other = 1.0f - std::min(1.0f, cover_[k]);
            for (int c = 0; c < channels; ++c) {
                io[c][i] = grains_[c][k] + other * io[c][i];
                grains_[c][k] = 0.0f;
            }
            cover_[k] = 0.0f;
        }
        ++made_;
    }
}

}  // namespace vcmd
