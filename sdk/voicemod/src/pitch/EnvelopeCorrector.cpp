// EnvelopeCorrector.cpp - see EnvelopeCorrector.h for the method.
#include "pitch/EnvelopeCorrector.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vcmd {
namespace {

// Sample count at reset: large enough that every read position stays
// positive (the history starts as silence either way).
constexpr std::int64_t kFirstSample = std::int64_t{1} << 30;
// How often the models are made again (they glide in between).
constexpr double kHopSeconds = 0.005;
// How long the level matching remembers the powers it compares.
constexpr double kPowerMemorySeconds = 0.050;
// Below this mean power per analysed sample (-100 dBFS) a read counts as
// silence and both models are flat.
constexpr double kSilentPower = 1e-10;
// Pre-emphasis of the analysis reads (a first-order high-pass), so that the
// models spend their poles on the formants rather than on the spectral tilt.
constexpr float kEmphasis = 0.97f;
// Added to the zero-lag autocorrelation: a noise floor 43 dB under the
// signal. It bounds how sharp a model's peaks get, and so the colouring
// filter's gain on a tone; lower floors let tones blow up, higher ones move
// the formants too little (docs/ENGINE.md, Formants, has the figures).
constexpr double kNoiseFloor = 5e-5;
// The corrected output never exceeds this many times the shifter's own
// recent peak (held, falling 60 dB in kPeakFallSeconds): the last guard
// against a model that boosts what the other did not remove.
constexpr float kMaxOverPeak = 2.0f;
constexpr double kPeakFallSeconds = 0.1;
// Gaussian lag window: smooths each model's spectrum by about this much, so
// that single harmonics do not pull poles onto themselves.
constexpr double kLagWindowHz = 40.0;
// Pitch and formant closer than this (semitones) count as equal.
constexpr float kApart = 1e-3f;
// Largest magnitude of a reflection coefficient.
constexpr double kMaxReflection = 0.9995;
// The correction never changes the level by more than 24 dB (a tone whose
// formant moves away loses most of itself to the whitening).
constexpr float kMaxGain = 16.0f;

std::size_t powerOfTwoAtLeast(std::size_t n) {
    std::size_t p = 16;
    while (p < n) p <<= 1;
    return p;
}

float clampSemitones(float st) noexcept { return std::min(12.0f, std::max(-12.0f, st)); }

// One step of the step-up recursion for `lanes` models side by side (a[j][s]
// is coefficient j of model s): from order m - 1 to order m with reflection
// coefficients k[s]. The lanes are independent, so the compiler can keep
// them in one vector.
template <int lanes>
void stepUp(double (*a)[lanes], int m, const double* k) noexcept {
    for (int lo = 1, hi = m - 1; lo <= hi; ++lo, --hi) {
        // All loads before the stores: lo and hi meet in the middle.
        double x[lanes], y[lanes];
        for (int s = 0; s < lanes; ++s) {
            x[s] = a[lo][s];
            y[s] = a[hi][s];
        }
        for (int s = 0; s < lanes; ++s) a[lo][s] = x[s] + k[s] * y[s];
        for (int s = 0; s < lanes; ++s) a[hi][s] = y[s] + k[s] * x[s];
    }
    for (int s = 0; s < lanes; ++s) a[m][s] = k[s];
}

// How long the step is that starts `untilHop` samples before the hop's end:
// to the next multiple of `step` into the hop, or to the hop's end when
// less than a step would be left after it.
int stepLength(int untilHop, int step) noexcept {
    const int length = std::min(step, untilHop);
    return untilHop - length < step ? untilHop : length;
}

}  // namespace

void EnvelopeCorrector::configure(double sampleRate, int delayFrames, bool halfRate, int halfBandDelay) {
    sampleRate_ = sampleRate;
    // One pole per kHz of the rate and sixteen more: a model needs that many
    // to follow the formants below 4 kHz closely (docs/ENGINE.md, "Formants",
    // has the measurements). At high rates the order stays at kMaxOrder.
    order_ = std::min(kMaxOrder, std::max(12, static_cast<int>(std::lround(sampleRate / 1000.0)) + 16));
    // Whole vectors of 8 and the newest kNear taken apart, zeros in front.
    constexpr int kNear = FormantFilters::kNear;
    filters_.taps = ((order_ + 1 - kNear + 7) & ~7) + kNear;
    filters_.poles = ((order_ - kNear + 7) & ~7) + kNear;
    filters_.peakFall = static_cast<float>(std::pow(10.0, -3.0 / (kPeakFallSeconds * sampleRate)));
    filters_.maxOverPeak = kMaxOverPeak;
    kernels_ = &bestFormantKernels();
    hop_ = std::max(kStepsPerHop, static_cast<int>(std::lround(kHopSeconds * sampleRate)));
    step_ = hop_ / kStepsPerHop;
    // Per hop, so after the hop is known for this rate.
    powerMemory_ = std::exp(-hop_ / (kPowerMemorySeconds * sampleRate));
    span_ = std::max(4 * order_, static_cast<int>(std::lround(0.020 * sampleRate)));
    delay_ = std::max(0, delayFrames);
    // A read reaches span_ / 2 either side of its centre, which lies up to a
    // hop ahead of the output and, when the shifter's delay is too short for
    // that, further back (see startHop).
    const std::size_t longest = static_cast<std::size_t>(delay_ + hop_ + 2 * span_ + 4 * 256 + 64);
    const std::size_t n = powerOfTwoAtLeast(longest);
    mask_ = n - 1;
    history_.assign(2 * n, 0.0f);
    halfRate_ = halfRate;
    halfBandDelay_ = halfBandDelay;
    fullMask_ = halfRate ? 2 * n - 1 : 0;
    fullHistory_.assign(halfRate ? 4 * n : 0, 0.0f);
    // The slowest read (an octave down) takes two points per input sample.
    const double a = 2.0 * kPi * kLagWindowHz / sampleRate;
    for (int lag = 0; lag <= kMaxOrder; ++lag) lagWindow_[lag] = std::exp(-0.5 * (a * lag) * (a * lag));
    window_.assign(static_cast<std::size_t>(span_) + 1, 0.0f);
    for (int i = 0; i <= span_; ++i)
        window_[static_cast<std::size_t>(i)] = static_cast<float>(0.5 - 0.5 * std::cos(2.0 * kPi * i / span_));
    for (ReadWindow& w : readWindows_) {
        w.count = -1;
        w.weights.assign(static_cast<std::size_t>(2 * span_ + 4), 0.0f);
    }
    frame_.assign(static_cast<std::size_t>(2 * span_ + kMaxOrder + 32), 0.0f);
    points_.assign(static_cast<std::size_t>(2 * span_ + 8), 0.0f);
    pitch_.configure(sampleRate);
    formant_.configure(sampleRate);
    mix_.configure(sampleRate);
    reset();
}

void EnvelopeCorrector::reset() noexcept {
    std::fill(history_.begin(), history_.end(), 0.0f);
    heard_ = kFirstSample;
    std::fill(fullHistory_.begin(), fullHistory_.end(), 0.0f);
    fullHeard_ = 2 * kFirstSample;
    done_ = kFirstSample;
    untilHop_ = 0;
    running_ = false;
    settleMix();
    clearFilters();
}

void EnvelopeCorrector::settleMix() noexcept {
    mix_.jump(std::fabs(pitch_.target() - formant_.target()) > kApart ? 1.0f : 0.0f);
}

void EnvelopeCorrector::clearFilters() noexcept {
    FormantFilters& f = filters_;
    std::fill(std::begin(f.whiten), std::end(f.whiten), 0.0f);
    f.whiten[f.taps - 1] = 1.0f;
    std::memcpy(whitenFrom_, f.whiten, sizeof f.whiten);
    std::memcpy(whitenTo_, f.whiten, sizeof f.whiten);
    std::fill(std::begin(colourFrom_), std::end(colourFrom_), 0.0f);
    std::fill(std::begin(colourTo_), std::end(colourTo_), 0.0f);
    std::fill(std::begin(f.colour), std::end(f.colour), 0.0f);
    untilStep_ = 0;
    f.gain = gainTarget_ = 1.0f;
    f.gainStep = 0.0f;
    f.peak = 0.0f;
    f.shifterPower = 0.0f;
    f.filteredPower = 0.0f;
    shifterSum_ = 0.0;
    filteredSum_ = 0.0;
    for (auto& s : f.recent) std::fill(std::begin(s), std::end(s), 0.0f);
    for (auto& s : f.coloured) std::fill(std::begin(s), std::end(s), 0.0f);
    f.at = 0;
}

bool EnvelopeCorrector::engaged() const noexcept {
    return running_ || std::fabs(pitch_.target() - formant_.target()) > kApart;
}

void EnvelopeCorrector::setPitch(float semitones) noexcept { pitch_.setTarget(clampSemitones(semitones)); }
void EnvelopeCorrector::jumpPitch(float semitones) noexcept {
    pitch_.jump(clampSemitones(semitones));
    settleMix();
}
void EnvelopeCorrector::setFormant(float semitones) noexcept { formant_.setTarget(clampSemitones(semitones)); }
void EnvelopeCorrector::jumpFormant(float semitones) noexcept {
    formant_.jump(clampSemitones(semitones));
    settleMix();
}

void EnvelopeCorrector::hear(const float* const* input, int channels, int frames) noexcept {
    const std::size_t n = mask_ + 1;
    for (int i = 0; i < frames; ++i) {
        const float m = channels > 1 ? 0.5f * (input[0][i] + input[1][i]) : input[0][i];
        const std::size_t at = static_cast<std::size_t>(heard_) & mask_;
        history_[at] = m;
        history_[at + n] = m;
        ++heard_;
    }
}

void EnvelopeCorrector::hearFullRate(const float* mono, int frames) noexcept {
    if (!halfRate_) return;
    const std::size_t n = fullMask_ + 1;
    for (int i = 0; i < frames; ++i) {
        const std::size_t at = static_cast<std::size_t>(fullHeard_) & fullMask_;
        fullHistory_[at] = mono[i];
        fullHistory_[at + n] = mono[i];
        ++fullHeard_;
    }
}

bool EnvelopeCorrector::analyse(double speed, std::int64_t centre, double* r, int read) noexcept {
    // The same stretch of input, span_ samples around the centre, read at
    // `speed`: count points, pre-emphasised and windowed.
    const int count = std::min(2 * span_ + 4,
                               std::max(4 * order_, static_cast<int>(std::lround(span_ / speed))));
    // At half the rate, a read slower than the input takes its points from
    // the full-rate input at twice the speed: the shifter's output below
    // half the band then holds input from above it, which the half-rate
    // input has lost. Sample j of the half rate stands for full-rate sample
    // 2j - halfBandDelay_.
    const bool full = halfRate_ && speed < 1.0;
    const double pace = full ? 2.0 * speed : speed;
    const std::int64_t base =
        full ? 2 * centre - halfBandDelay_ - span_ - 2 : centre - span_ / 2 - 2;
    // The history is mirrored, so the whole read lies in one stretch of it.
    const float* from = full ? fullHistory_.data() + (static_cast<std::uint64_t>(base) & fullMask_)
                             : history_.data() + (static_cast<std::uint64_t>(base) & mask_);
    // The first point is two samples into the stretch, the one before it
    // (for the pre-emphasis) a step earlier.
    ReadWindow& window = readWindows_[read];
    if (window.count != count) {
        // The window's span_ + 1 entries spread over the count points.
        window.count = count;
        const double step = static_cast<double>(span_) / count;
        for (int k = 0; k < count; ++k) {
            const int entry = static_cast<int>((k + 0.5) * step + 0.5);
            window.weights[static_cast<std::size_t>(k)] = window_[static_cast<std::size_t>(std::min(entry, span_))];
        }
    }
    kernels_->read(from, 2.0 - pace, pace, count, window.weights.data(), kEmphasis, frame_.data(), points_.data());

    // Autocorrelation; the frame is zero beyond its points.
    float* u = frame_.data();
    std::fill(u + count, u + count + kMaxOrder + 24, 0.0f);
    kernels_->autocorrelate(u, count, (order_ + 1 + 7) & ~7, r);
    if (!(r[0] > kSilentPower * count) || !std::isfinite(r[0])) return false;
    // Lag window in output samples (the read is at the output's time scale).
    for (int lag = 1; lag <= order_; ++lag) r[lag] *= lagWindow_[lag];
    r[0] *= 1.0 + kNoiseFloor;

    return true;
}

void EnvelopeCorrector::reflect(const double* const r[2], Model* const out[2]) const noexcept {
    // Levinson-Durbin for both models together, one vector lane each: each
    // step waits on a division and on the sums before it, and the two
    // models share those waits.
    constexpr int kLanes = 2;
    double q[kMaxOrder + 1][kLanes];  // the autocorrelations, lag by lag
    for (int lag = 0; lag <= order_; ++lag)
        for (int s = 0; s < kLanes; ++s) q[lag][s] = r[s][lag];
    double c[kMaxOrder + 1][kLanes] = {{1.0, 1.0}};  // the direct forms
    double error[kLanes] = {q[0][0], q[0][1]};
    for (int m = 1; m <= order_; ++m) {
        // Four partial sums, so that the additions do not wait on each other.
        double acc[4][kLanes] = {{q[m][0], q[m][1]}};
        int j = 1;
        for (; j + 3 < m; j += 4)
            for (int t = 0; t < 4; ++t)
                for (int s = 0; s < kLanes; ++s) acc[t][s] += c[j + t][s] * q[m - j - t][s];
        for (; j < m; ++j)
            for (int s = 0; s < kLanes; ++s) acc[0][s] += c[j][s] * q[m - j][s];
        double k[kLanes];
        for (int s = 0; s < kLanes; ++s) {
            k[s] = -((acc[0][s] + acc[1][s]) + (acc[2][s] + acc[3][s])) / error[s];
            k[s] = std::min(kMaxReflection, std::max(-kMaxReflection, k[s]));
        }
        stepUp(c, m, k);
        for (int s = 0; s < kLanes; ++s) {
            out[s]->k[m - 1] = static_cast<float>(k[s]);
            error[s] *= 1.0 - k[s] * k[s];
        }
    }
    for (int s = 0; s < kLanes; ++s)
        for (int i = 0; i <= order_; ++i) out[s]->a[i] = c[i][s];
}

void EnvelopeCorrector::startHop() noexcept {
    // The models are those of the input the output will play at the end of
    // this hop: the shifter's delay behind it. Both reads must end before
    // the newest input; where the delay is too short for that, they move
    // back by the difference.
    const std::int64_t end = done_ + hop_;
    const std::int64_t reach = static_cast<std::int64_t>(span_ / 2 + 2);
    const std::int64_t newest = done_;  // newest input already heard
    std::int64_t centre = end - delay_;
    if (centre + reach > newest) centre = newest - reach;

    // Both flat (no change) where either read is silence.
    Model shifted, wanted;
    double rs[kMaxOrder + 8], rw[kMaxOrder + 8];
    if (analyse(std::exp2(pitch_.value() / 12.0), centre, rs, 0) &&
        analyse(std::exp2(formant_.value() / 12.0), centre, rw, 1)) {
        const double* const r[2] = {rs, rw};
        Model* const models[2] = {&shifted, &wanted};
        reflect(r, models);
    }
    // The gain that gives the filters' output the power of their input,
    // both summed over the hops so far with a 50 ms memory. The models alone
    // do not tell it: for a tone, or where the two reads hold different
    // partials, their error powers say little about how much of the signal
    // the whitening removes. Over a single hop the ratio would swing with
    // where the glottal pulses fall and the filters' delays, and the level
    // would flutter at the hop rate.
    FormantFilters& f = filters_;
    shifterSum_ = powerMemory_ * shifterSum_ + f.shifterPower;
    filteredSum_ = powerMemory_ * filteredSum_ + f.filteredPower;
    f.shifterPower = 0.0f;
    f.filteredPower = 0.0f;
    float gain = 1.0f;
    constexpr double kTiny = 1e-12;
    if (filteredSum_ > kTiny * hop_) {
        gain = static_cast<float>(std::sqrt((shifterSum_ + kTiny) / filteredSum_));
        gain = std::min(kMaxGain, std::max(1.0f / kMaxGain, gain));
    }
    // The whitening filter in direct form (an FIR has no stability to lose
    // by gliding its coefficients), stored oldest tap first to match the
    // history it is applied to.
    const double* a = shifted.a;
    // The hop before ended on its targets: they are where this one starts.
    std::memcpy(whitenFrom_, whitenTo_, sizeof whitenTo_);
    std::memcpy(colourFrom_, colourTo_, sizeof colourTo_);
    f.gain = gainTarget_;
    for (int i = 0; i < f.taps; ++i) {
        const int j = f.taps - 1 - i;
        whitenTo_[i] = j <= order_ ? static_cast<float>(a[j]) : 0.0f;
    }
    std::memcpy(colourTo_, wanted.k, sizeof colourTo_);
    gainTarget_ = gain;
    f.gainStep = (gain - f.gain) / static_cast<float>(hop_);
    planSteps();
}

void EnvelopeCorrector::planSteps() noexcept {
    // Each step's filter is that of the point the step ends at: its
    // reflection coefficients interpolated there, through the step-up
    // recursion to the direct form. The steps go through the recursion
    // side by side, four at a time, one lane each, so that its chain of
    // dependent additions serves four filters at once.
    constexpr int kLanes = 4;
    float t[kMaxSteps];
    int steps = 0;
    for (int until = hop_; until > 0 && steps < kMaxSteps; ++steps) {
        until -= stepLength(until, step_);
        t[steps] = static_cast<float>(hop_ - until) / static_cast<float>(hop_);
    }
    for (int first = 0; first < steps; first += kLanes) {
        double a[kMaxOrder + 1][kLanes] = {};
        double k[kLanes];
        float at[kLanes];
        for (int s = 0; s < kLanes; ++s) {
            a[0][s] = 1.0;
            at[s] = t[std::min(first + s, steps - 1)];
        }
        for (int m = 1; m <= order_; ++m) {
            for (int s = 0; s < kLanes; ++s)
                k[s] = colourFrom_[m - 1] + at[s] * (colourTo_[m - 1] - colourFrom_[m - 1]);
            stepUp(a, m, k);
        }
        // Oldest first: entry poles - 1 - j weighs the output j + 1 samples back.
        const int poles = filters_.poles;
        for (int s = 0; s < kLanes && first + s < steps; ++s) {
            float* colour = plannedColour_[first + s];
            for (int i = 0; i < poles; ++i) {
                const int j = poles - 1 - i;
                colour[i] = j < order_ ? static_cast<float>(a[j + 1][s]) : 0.0f;
            }
        }
    }
    stepIndex_ = 0;
}

void EnvelopeCorrector::startStep() noexcept {
    const int into = hop_ - untilHop_;
    const int length = stepLength(untilHop_, step_);
    untilStep_ = length;
    const float t = static_cast<float>(into + length) / static_cast<float>(hop_);
    FormantFilters& f = filters_;
    for (int i = 0; i < f.taps; ++i) f.whiten[i] = whitenFrom_[i] + t * (whitenTo_[i] - whitenFrom_[i]);
    const int step = std::min(stepIndex_++, kMaxSteps - 1);
    std::memcpy(f.colour, plannedColour_[step], sizeof(float) * static_cast<std::size_t>(f.poles));
}

void EnvelopeCorrector::process(float* const* io, int channels, int frames) noexcept {
    // Engaged whenever the two are set apart (their targets change only
    // between calls): the stage fades in as the formant starts to move away
    // and out once it is set back.
    const bool apart = std::fabs(pitch_.target() - formant_.target()) > kApart;
    mix_.setTarget(apart ? 1.0f : 0.0f);
    const auto filter = kernels_->filter[channels > 1 ? 1 : 0];
    int i = 0;
    while (i < frames) {
        if (!running_) {
            if (!apart) {
                for (; i < frames; ++i) {
                    pitch_.next();
                    formant_.next();
                    ++done_;
                }
                return;
            }
            running_ = true;
            clearFilters();
            untilHop_ = 0;
        }
        // A stretch of samples with the same filters: to the end of the
        // step, of the block or of the mix buffer, or to the sample at which
        // the stage goes idle again.
        pitch_.next();
        formant_.next();
        if (untilHop_ == 0) {
            startHop();
            untilHop_ = hop_;
        }
        if (untilStep_ == 0) startStep();
        const int most = std::min({untilStep_, frames - i, kStretch});
        float mix[kStretch];
        int n = 0;
        bool idle = false;
        while (n < most && !idle) {
            if (n > 0) {
                pitch_.next();
                formant_.next();
            }
            mix[n++] = mix_.next();
            idle = !apart && !mix_.moving() && mix_.value() == 0.0f;
        }
        filter(filters_, io, i, n, mix);
        untilHop_ -= n;
        untilStep_ -= n;
        done_ += n;
        i += n;
        if (idle) running_ = false;
    }
}

}  // namespace vcmd
