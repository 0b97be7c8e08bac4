// EnvelopeCorrector.h - moves the spectral envelope of the pitch shifter's
// output independently of its pitch, without adding latency. It runs at
// whatever rate it is given: FormantShifter runs it on the lower half of the
// band, at half the rate.
//
// The pitch shifter reads grains of the input at `p` times its speed, so its
// output has the input's spectrum, envelope and harmonics alike, scaled by p:
// the formants move with the pitch, as on a tape played faster. This stage
// replaces that envelope by the input's envelope scaled by `f` (the formant
// setting), whatever p is:
//
//   1. Every hop (5 ms) the input history is read at speed p and at speed f
//      (linear interpolation), around the input time the shifter's output
//      will be playing by the end of the hop (its latency back). A resampled
//      copy's spectrum is the input's scaled by the read speed, so the two
//      reads carry the envelope the shifter's output has (p) and the one it
//      should have (f). Each is pre-emphasised, windowed and reduced to an
//      all-pole model (autocorrelation, lag window, Levinson-Durbin) given
//      as reflection coefficients.
//   2. The output is whitened by an FIR with the p model and coloured again
//      by an all-pole filter with the f model, in direct form, scaled so
//      that its power (over the last 50 ms or so) is the shifter's. The
//      filters move from one hop's models to the next in four steps: the
//      FIR's coefficients and the all-pole filter's reflection coefficients
//      are interpolated, and each step's reflection coefficients (all inside
//      (-1, 1)) give a stable all-pole filter; the gain glides sample by
//      sample. The per-sample loops are in FormantKernels, built for wide
//      vectors where the CPU has them.
//
// Both reads lie inside the history the shifter's delay already provides,
// so the correction adds no latency (when the reads reach further than the
// delay, their centre moves back by the difference: the envelope then lags
// by that much, a few ms at most). The analysis uses the mono mix; both
// channels are filtered with the same coefficients.
//
// When f equals p (the shifter's own tape-like result) the stage is idle and
// its output is the shifter's, bit for bit, at almost no cost. Moving apart
// or together crossfades between the two over the setting glide time.
// Silent input (analysis power below -100 dBFS) makes both models flat, so
// silence stays exact silence.
#pragma once

#include <cstdint>
#include <vector>

#include "dsp/Dsp.h"
#include "pitch/FormantKernels.h"
#include "dsp/Piece.h"

namespace vcmd {

class EnvelopeCorrector {
public:
    static constexpr int kMaxChannels = vcmd::kMaxChannels;
    static constexpr int kMaxOrder = 64;

    // [control-thread] Sizes every buffer for `sampleRate`; `delayFrames` is the
    // pitch shifter's latency (where its output reads the input). The only
    // call that allocates.
    //
    // With `halfRate`, the input and output given to it are the lower half
    // band of a signal at twice the rate (HalfBand), and hearFullRate() gives
    // it that signal's input too: reads slower than the input (an octave down
    // at most) take their points from it, since the shifter's output below
    // half the band then comes partly from the input above it.
    // `halfBandDelay` is the half-band filters' delay in full-rate samples:
    // sample j of the half rate stands for full-rate sample
    // 2j - halfBandDelay.
    void configure(double sampleRate, int delayFrames, bool halfRate = false, int halfBandDelay = 0);
    // [audio-thread] Forgets all history; allocates nothing.
    void reset() noexcept;

    // [audio-thread] The pitch shift and the formant shift, in semitones
    // (clamped to [-12, 12]); set* glide over the setting glide time like the
    // shifter's own setting, jump* take effect at once (configuration time).
    void setPitch(float semitones) noexcept;
    void jumpPitch(float semitones) noexcept;
    void setFormant(float semitones) noexcept;
    void jumpFormant(float semitones) noexcept;

    // [audio-thread] The input of the next `frames` frames, before the pitch
    // shifter has seen it. Must precede process() for the same frames.
    void hear(const float* const* input, int channels, int frames) noexcept;
    // [audio-thread] With halfRate, the input at the full rate, mono: twice
    // as many frames as the hear() of the same stretch. Allocates nothing.
    void hearFullRate(const float* mono, int frames) noexcept;
    // [audio-thread] Corrects the shifter's output for the same frames in
    // place. Allocates nothing, never blocks.
    void process(float* const* io, int channels, int frames) noexcept;

    int order() const noexcept { return order_; }
    // [audio-thread] Whether process() may change its input: the two are set
    // apart, or the filters still run (fading out).
    bool engaged() const noexcept;

    // [control-thread] Which build of the inner loops runs (configure picks the
    // widest the CPU has); for comparing them. Never blocks or allocates.
    void useKernels(const FormantKernels& kernels) noexcept { kernels_ = &kernels; }
    const FormantKernels& kernels() const noexcept { return *kernels_; }

private:
    struct Model {
        float k[kMaxOrder] = {};         // reflection coefficients; all zero is flat
        double a[kMaxOrder + 1] = {1.0};  // the same model in direct form, a[0] = 1
    };
    // The autocorrelation r[0..order] (lag window and noise floor applied)
    // of the history read at `speed` around input position `centre` (a
    // whole sample count since reset); false where the read is silence.
    // `read` is 0 for the shifter's envelope, 1 for the wanted one.
    bool analyse(double speed, std::int64_t centre, double* r, int read) noexcept;
    // The all-pole models of two autocorrelations, worked out side by side,
    // in both forms.
    void reflect(const double* const r[2], Model* const out[2]) const noexcept;
    void startHop() noexcept;
    // The all-pole filters of every step of the hop starting now, from the
    // hop's reflection coefficients (colourFrom_ to colourTo_).
    void planSteps() noexcept;
    // The filters of the next step, which ends `untilHop_` samples before
    // the hop does.
    void startStep() noexcept;
    void clearFilters() noexcept;
    // Mix at once where the settings say (configuration time and reset).
    void settleMix() noexcept;

    double sampleRate_ = 48000.0;
    int order_ = 28;
    int delay_ = 720;
    int hop_ = 240;
    int span_ = 1200;  // analysis window, input samples read at speed 1
    std::size_t mask_ = 0;
    std::vector<float> history_;   // mono input, mirrored
    std::vector<float> window_;    // Hann, span_ + 1 points
    // Each read's window at its points (the entry of window_ nearest each),
    // made again only when the read's count of points changes.
    struct ReadWindow {
        int count = -1;
        std::vector<float> weights;
    };
    ReadWindow readWindows_[2];
    double lagWindow_[kMaxOrder + 1] = {};  // Gaussian, by lag
    std::vector<float> frame_;     // one analysis read
    std::vector<float> points_;    // its points before pre-emphasis and window
    std::int64_t heard_ = 0;       // input frames written
    bool halfRate_ = false;
    int halfBandDelay_ = 0;  // see configure()
    std::size_t fullMask_ = 0;
    std::vector<float> fullHistory_;  // with halfRate: the mono input at the full rate, mirrored
    std::int64_t fullHeard_ = 0;      // its frames written
    std::int64_t done_ = 0;        // output frames corrected
    int untilHop_ = 0;

    Ramp pitch_;
    Ramp formant_;
    Ramp mix_;       // 0: the shifter's output, 1: corrected
    bool running_ = false;  // the filters run (mix above 0 or rising)

    // The filters move from one hop's models to the next in kStepsPerHop
    // steps, each step's filters held for its samples. The whitening filter
    // is in direct form (order + 1 taps, zeros in front up to whole vectors
    // and two), interpolated linearly (an FIR has no stability to lose). The
    // colouring filter's reflection coefficients are interpolated, and each
    // step's are turned into a direct-form all-pole filter: each step's
    // filter is then stable, since its reflection coefficients lie inside
    // (-1, 1). It runs in single precision: on speech the output differs
    // from a double-precision filter's by less than a 16-bit step, and the
    // models' noise floor keeps their poles off the unit circle.
    static constexpr int kStepsPerHop = 4;
    // Steps in a hop at most: kStepsPerHop, more only for hops shorter than
    // 16 samples (the last step takes what is left of the hop, if less
    // than a step).
    static constexpr int kMaxSteps = 8;
    // The longest stretch of samples filtered in one call of the kernels.
    static constexpr int kStretch = 64;
    int step_ = 60;    // samples per step
    int untilStep_ = 0;
    int stepIndex_ = 0;  // the next step of the hop
    float plannedColour_[kMaxSteps][FormantFilters::kMaxPoles] = {};  // each step's all-pole filter
    float whitenFrom_[FormantFilters::kMaxTaps] = {};
    float whitenTo_[FormantFilters::kMaxTaps] = {};
    float colourFrom_[kMaxOrder] = {};   // reflection coefficients
    float colourTo_[kMaxOrder] = {};
    float gainTarget_ = 1.0f;
    double shifterSum_ = 0.0;     // the filters' input and output powers, summed over
    double filteredSum_ = 0.0;    // past hops with a decay
    double powerMemory_ = 0.9;    // the decay per hop
    const FormantKernels* kernels_ = &baselineFormantKernels();
    FormantFilters filters_;
};

}  // namespace vcmd
