// PitchShifter.h - a low-latency pitch shifter for speech.
//
// Two grains read the recent input through a delay line at `ratio` times
// the input speed, each under a Hann window two hops long, so the output has
// the input's tempo and a shifted pitch. A new grain starts every hop; its
// read position is chosen near a nominal delay by a normalised
// cross-correlation with the grain it takes over from, so the two line up in
// phase and the crossfade neither cancels nor skips a period. The search
// runs on a mono mix shared by both channels, which therefore stay aligned.
//
// Grains read between input samples through a band-limited interpolator:
// a 16-tap Kaiser-windowed sinc (cut-off at half the rate), tabulated at 256
// fractions of a sample and interpolated linearly between them. Its stop
// band keeps the spectral copies of the sampled input (at multiples of the
// rate, plus and minus each frequency) out of the output, which a short
// interpolator lets through as images once the read speed scales them.
// At a whole-sample position it is the sample itself, so at 0 semitones the
// shifter is an exact delay.
//
// Reading faster than the input (a shift up) would move content above
// rate / (2 ratio) beyond half the rate, where it folds back. So while the
// ratio is above 1 the grains read a second copy of the input, low-passed
// by an order-6 elliptic filter whose stop band (72 dB down) starts at
// rate / (2 ratio) (its pass band ends 1.8 times lower): what would fold is removed first. Its coefficients
// follow the ratio as it glides; it runs only while the shift is upwards
// and is used once it has filled the history. Grains reading it start the
// filter's low-frequency delay further back, so they line up with the
// others.
//
// Transients are kept whole. Grains read faster or slower than the input,
// so a plosive would be read by two overlapping grains (heard twice, a few
// milliseconds apart) and, going up, by a grain reading ahead of the
// nominal delay (heard early). The shifter therefore watches the input for
// sudden rises of high-frequency energy; the delay gives it the time to
// act before any grain reaches one. Over a short crossfade it replaces the
// running grains by a single grain placed to read the transient exactly at
// its nominal output time, holds that grain until the transient is past,
// and lets no later grain start before the transient's attack. That grain
// is not lined up in phase with those it replaces, so the crossfade is
// scaled for the correlation of what the two read: plain linear fades
// where it is 1, constant power where it is 0 (linear fades of unrelated
// sound dip by up to 3 dB just before the transient, which would make its
// rise look steeper). Going
// down, the running grains lag behind the nominal delay and the
// transient's grain reads ahead of it: a short crossfade would jump forward
// by a few milliseconds of input, sharpening whatever rises there, so it
// lasts as long as the running grains allow, up to 3 ms.
//
// Latency is the delay at the middle of a grain, constant for any ratio in
// [0.5, 2] (one octave either way):
//   real time:    hop 8 ms, search +-6 ms, latency 15 ms
//   high quality: hop 12 ms, search +-7.5 ms, latency 21 ms (offline mode)
#pragma once

#include <cstdint>
#include <vector>

#include "dsp/Dsp.h"
#include "dsp/Elliptic.h"
#include "dsp/Piece.h"
#include "pitch/OnsetDetector.h"

namespace vcmd {

class PitchShifter {
public:
    static constexpr int kMaxChannels = vcmd::kMaxChannels;

    // [control-thread] Sizes every buffer for `sampleRate`; the only call
    // that allocates.
    void configure(double sampleRate, bool highQuality);
    // [audio-thread] Forgets all input; the output starts again from silence.
    void reset() noexcept;

    // [audio-thread] Glides to `semitones` (clamped to [-12, 12]) over kSmoothSeconds.
    void setSemitones(float semitones) noexcept;
    // [control-thread] Jumps to `semitones` at once (configuration time).
    void jumpSemitones(float semitones) noexcept;

    // [audio-thread] Shifts `frames` frames of `channels` channels in place.
    void process(float* const* io, int channels, int frames) noexcept;

    std::uint32_t latencyFrames() const noexcept { return static_cast<std::uint32_t>(nominalDelay_); }

private:
    struct Grain {
        double position = 0.0;  // read position, in input samples since reset
        double lag = 0.0;       // how much further back it reads (the filter's delay)
        int age = 0;            // samples since the grain started
        int hold = 0;           // samples its window stays where it is
        float fade = 1.0f;      // crossfade gain on top of the window
        float fadeStep = 0.0f;
        int fadeLeft = 0;       // samples until the crossfade is over
        bool active = false;
        bool filtered = false;  // reads the low-passed copy
    };
    static constexpr int kGrains = 3;  // two, and a transient's for a crossfade

    static constexpr int kTaps = 16;       // interpolator taps (four Float4)
    static constexpr int kFractions = 256;  // tabulated fractions of a sample

    static constexpr int kChunk = kPieceFrames;
    template <int channels>
    void processChunk(float* const* io, int frames) noexcept;
    // Starts the next grain; returns the samples until the one after.
    int startGrain() noexcept;
    // Moves the grains on while a transient's grains hold or crossfade.
    void advanceTransientGrains(float ratio) noexcept;
    // Fades every running grain out, and `g` (to go in `slot`) in, over
    // `length` samples; `correlation` (0..1) of what they read sets how the
    // linear fades are scaled to keep the level.
    void crossfadeTo(Grain& g, int slot, int length, float correlation) noexcept;
    // Correlation (clamped to 0..1) of the mono mix read from `a` and from
    // `b` at the current ratio over `length` samples.
    float readCorrelation(double a, double b, int length) const noexcept;
    // Once per detection frame: a transient in the newest input?
    void detectTransient() noexcept;
    // Fills kernel_, the interpolator's table (Interpolator.cpp).
    void designInterpolator();
    // Designs the anti-fold filter for the current ratio.
    void designPrefilter() noexcept;
    // Offset from `reference` (the previous grain's whole read position) of
    // the best-aligned start near `nominal`, to a fraction of a sample.
    double bestOffset(std::int64_t reference, std::int64_t nominal, std::int64_t lowest,
                      std::int64_t highest) const noexcept;
    double fineScore(const float* a, float refNorm, std::int64_t start, std::int64_t nominal) const noexcept;
    // Scores of the starts one before, at and one after the winner.
    struct Scores {
        float left = 0.0f, middle = 0.0f, right = 0.0f;
        bool known = false;     // left and middle are set
        bool complete = false;  // right too
    };
    // Fraction of a sample to add to `best`, from its neighbours' scores
    // (`known`, or worked out here when null).
    double subSample(std::int64_t reference, std::int64_t best, std::int64_t first, std::int64_t last,
                     std::int64_t nominal, const Scores* known) const noexcept;
    // Sample count at reset, before reset() rounds it down to a multiple of
    // the stride.
    static constexpr std::int64_t kFirstSample = std::int64_t{1} << 30;

    double sampleRate_ = 48000.0;
    int hop_ = 384;
    int search_ = 288;
    int compare_ = 192;
    int stride_ = 4;
    int nominalDelay_ = 720;
    std::size_t mask_ = 0;
    std::vector<float> lines_[kMaxChannels];  // input history per channel, mirrored
    std::vector<float> filtered_[kMaxChannels];  // the same, low-passed against folding
    std::vector<float> kernel_;  // kFractions rows of kTaps weights, each followed by its step to the next
    std::vector<float> mix_;                  // mono mix for the search, mirrored
    std::vector<float> coarse_;               // stride-averaged mono mix, mirrored
    std::size_t coarseMask_ = 0;
    std::vector<float> window_;
    std::int64_t written_ = 0;
    float coarseSum_ = 0.0f;
    int coarseFill_ = 0;
    int untilGrain_ = 0;
    Grain grains_[kGrains];
    int newest_ = 0;

    // Transient detection on the coarse mix, in frames of about 1 ms.
    OnsetDetector onsets_;
    int frameFill_ = 0;
    // A transient under way: 0 none, 1 its grain still to start, 2 its grain
    // holding until the next regular grain.
    int transientState_ = 0;
    bool transientGrains_ = false;     // grains hold or crossfade, or use the third slot
    std::int64_t transientAt_ = 0;     // input sample where it starts
    std::int64_t transientRead_ = 0;   // value of written_ when it is to be read
    std::int64_t transientStart_ = 0;  // ... when its grain starts
    int transientFade_ = 0;            // this transient's crossfade
    int transientHold_ = 0;            // how long its grain holds after it
    int fadeLength_ = 72;              // crossfade into a transient's grain
    int longestFade_ = 144;            // ... going down, where the running grains allow
    int fadingIn_ = 0;                 // slot of the grain the crossfade brings in
    float fadeCorrelation_ = 1.0f;     // ... and the correlation it is scaled for
    int shortestFade_ = 12;
    std::int64_t lowestStart_ = 0;  // no grain starts reading before this
    int lead_ = 0;                  // how far before a transient other grains fade out
    int holdAfter_ = 0;             // how long a transient's grain holds after it
    int attack_ = 0;                // what later grains leave to the transient's grain
    Ramp semitones_;
    float ratio_ = 1.0f;

    static constexpr int kPrefilterSections = 3;
    EllipticPrototype prefilterDesign_{6, 0.1, 72.0};
    BiquadCoefficients prefilter_[kPrefilterSections];
    BiquadState prefilterState_[kMaxChannels][kPrefilterSections];
    double prefilterLag_ = 0.0;  // its delay at low frequencies, samples
    int prefilterRun_ = 0;       // samples it has run for without a break (capped)
    int prefilterWarm_ = 0;      // ... before grains may read its output
    unsigned designCount_ = 0;
    float prefiltered_[kMaxChannels][kChunk] = {};
    float output_[kMaxChannels][kChunk] = {};
};

}  // namespace vcmd
