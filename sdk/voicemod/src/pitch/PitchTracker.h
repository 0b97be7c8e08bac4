// PitchTracker.h - a causal pitch tracker for speech and song: the F0 (or
// "unvoiced") and a confidence every hop, and a mark on every period at the
// same point of the waveform, for a synthesis that lays grains on them.
//
// Times are input samples counted from the last reset (the first sample fed
// after it is 0). The tracker sees the input only up to the newest sample:
//   - an estimate describes the input `lookaheadFrames()` before the newest
//     sample at the moment it is made, and is never changed afterwards;
//   - a mark is final, and handed out, at most `markDelayFrames()` after the
//     excitation it marks.
// Both are read from small queues after each process() call; whatever is
// not read before the next call may be overwritten.
//
// The method (PitchTracker.cpp has the details):
//   1. The input is low-passed and taken down to about 8 kHz, and once more
//      to a coarse 4 kHz.
//   2. Every hop (5 ms at most) McLeod's normalised square difference of
//      the newest stretch against the stretch one lag earlier is worked out
//      at the coarse rate for every lag of 55 to 800 Hz; its peaks are the
//      period candidates, each measured again at 8 kHz.
//   3. A forward dynamic programme weighs each candidate's periodicity, a
//      small preference for the shorter lag and the cost of jumping from the
//      previous hop's candidates, against an unvoiced state that gains as
//      the input falls quiet; the best state now is the estimate. Jumps and
//      voicing changes have to pay, which keeps octaves and voicing from
//      flickering.
//   4. Marks: the first of a voiced stretch lands on the main excitation of
//      the last period; each next one is searched near one period on, where
//      the waveform around it matches the waveform around the one before
//      best.
#pragma once

#include <cstdint>
#include <vector>

#include "pitch/FormantKernels.h"

namespace vcmd {

struct PitchEstimate {
    std::int64_t at = 0;      // input sample the estimate describes
    float f0 = 0.0f;          // Hz; 0 where the input is unvoiced
    float confidence = 0.0f;  // 0..1: how periodic the input is at that F0
};

struct PitchMark {
    double at = 0.0;      // input sample of the excitation, to a fraction
    float period = 0.0f;  // the period it starts, in input samples
};

class PitchTracker {
public:
    static constexpr double kLowestF0 = 55.0;
    static constexpr double kHighestF0 = 800.0;

    // [control-thread] Sizes every buffer for `sampleRate` (8 to 192 kHz,
    // clamped to that); the only call that allocates. Leaves the tracker
    // reset.
    void configure(double sampleRate);
    // [audio-thread] Forgets all input. Never blocks or allocates.
    void reset() noexcept;

    // [audio-thread] Takes the next `frames` mono samples (at most
    // kMaxFrames per call, the rest is ignored; non-finite samples count as
    // silence). Never blocks or allocates.
    void process(const float* mono, int frames) noexcept;
    static constexpr int kMaxFrames = 256;

    // [audio-thread] Takes the oldest estimate or mark not yet read; false
    // when there is none. Never blocks or allocates.
    bool readEstimate(PitchEstimate& out) noexcept { return estimates_.pop(out); }
    bool readMark(PitchMark& out) noexcept { return marks_.pop(out); }

    // [audio-thread] What the tracker knows now: whether the newest
    // estimate is voiced, and the period (input samples) between the marks
    // of the periods already seen (0 while there are none).
    bool voiced() const noexcept { return voiced_; }
    float recentPeriod() const noexcept { return recentPeriod_; }

    // [any thread] Samples fed since reset.
    std::int64_t written() const noexcept { return written_; }
    // [any thread] How far behind the newest sample an estimate describes.
    int lookaheadFrames() const noexcept { return lookahead_; }
    // [any thread] The longest a mark can wait after its excitation.
    int markDelayFrames() const noexcept { return markDelay_; }
    // [any thread] Samples between estimates.
    int hopFrames() const noexcept { return hop_; }

private:
    template <typename T, int N>
    struct Queue {
        T items[N];
        unsigned head = 0, tail = 0;
        void clear() noexcept { head = tail = 0; }
        void push(const T& v) noexcept {
            items[tail++ % N] = v;
            if (tail - head > N) head = tail - N;
        }
        bool pop(T& v) noexcept {
            if (head == tail) return false;
            v = items[head++ % N];
            return true;
        }
    };

    static constexpr int kCandidates = 6;  // period candidates kept per hop
    struct Candidate {
        float lag = 0.0f;    // period in low-rate samples, to a fraction
        float score = 0.0f;  // normalised square difference at that lag
        double total = 0.0;  // best accumulated score of a path ending here
    };

    // One decimated sample in; runs the analysis on every hop.
    void pushLow(float value) noexcept;
    // The normalised square difference of the newest window, its peaks and
    // the dynamic programme: one estimate.
    void analyse() noexcept;
    // The newest window's linear predictor, for the residual.
    void predictor() noexcept;
    void squareDifference(const std::vector<float>& ring, std::size_t size, std::int64_t written, int window,
                          int first, int last, float* out, double* energy) noexcept;
    // A candidate's period (low-rate samples) and its score, from the
    // low-rate correlation around it; prepareRefine() readies the newest
    // window for them once a hop.
    void prepareRefine() noexcept;
    float lowCorrelation(int lag) const noexcept;
    void refine(float& lag, float& score) const noexcept;
    // Period candidates of nsdf_ (peaks, refined between lags), best first.
    int findCandidates(Candidate* out) const noexcept;
    // Marks: the first of a voiced stretch, and every next one once all the
    // input its search needs has arrived.
    void anchorMark() noexcept;
    // The start of the strongest excitation burst in [first, last), and its
    // energy.
    std::int64_t excitation(std::int64_t first, std::int64_t last, float& strength) const noexcept;
    void nextMark() noexcept;
    // How far from one period on the next mark is searched, and when.
    double markReach() const noexcept;
    void scheduleMark() noexcept;
    // Normalised correlation of the full-rate input around `at` with
    // `reference` (markBefore_ + markAfter_ samples, energy given).
    float matchAround(const float* reference, float referenceEnergy, std::int64_t at) const noexcept;
    float fullAt(std::int64_t i) const noexcept { return full_[static_cast<std::size_t>(i) & fullMask_]; }

    // Configuration.
    const FormantKernels* kernels_ = &baselineFormantKernels();  // the widest the CPU runs
    double sampleRate_ = 48000.0;
    int factor_ = 6;       // full-rate samples per low-rate sample
    double lowRate_ = 8000.0;
    double coarseRate_ = 4000.0;
    int window_ = 176;       // low-rate samples compared per lag
    int coarseWindow_ = 76;  // coarse samples compared per lag
    int minLag_ = 5, maxLag_ = 73;  // coarse samples
    int hopLow_ = 40;
    int hop_ = 240;
    int lookahead_ = 0;
    int markDelay_ = 0;
    int markBefore_ = 0, markAfter_ = 0;  // the match's stretch around a mark
    int markReach_ = 0;                   // how far a mark may land from one period on
    int markRelock_ = 0;                  // how far the excitation may lie from the best match
    std::vector<float> kernel_;           // decimation low-pass, full rate
    int firDelay_ = 0;

    // The input, full rate and low rate, each in a mirrored ring so any
    // recent stretch is contiguous.
    std::vector<float> full_;
    std::size_t fullMask_ = 0, fullSize_ = 0;
    std::vector<float> low_;
    std::vector<float> emphasised_;  // it pre-emphasised
    std::vector<float> residual_;    // ... and through the predictor's inverse filter
    std::vector<double> lowSquares_;  // running sum of squares of the window and its lags
    const float* refineSpan_ = nullptr;  // the newest low-rate window
    std::size_t lowSize_ = 0;
    static constexpr int kMaxOrder = 12;
    int order_ = 10;
    int residualTaps_ = 12;               // order_ + 1, rounded up to a multiple of four
    float reversed_[kMaxOrder + 4] = {};  // the inverse filter, newest tap last
    std::vector<float> hann_, windowed_;
    std::vector<float> halfBand_;  // low rate to coarse rate
    std::vector<float> coarse_;
    std::size_t coarseSize_ = 0;
    std::vector<float> nsdf_;   // per coarse lag, refilled every hop
    std::vector<float> cross_;  // ... before it is normalised

    // State.
    std::int64_t written_ = 0;
    std::int64_t lowWritten_ = 0;
    std::int64_t coarseWritten_ = 0;
    int untilHop_ = 0;
    float dcIn_ = 0.0f, dcOut_ = 0.0f;
    float dcPole_ = 0.99f;
    float loudest_ = 0.0f;      // decaying peak of the hop levels
    float loudestDecay_ = 0.99f;
    Candidate previous_[kCandidates];
    int previousCount_ = 0;
    double unvoicedTotal_ = 0.0;
    bool voiced_ = false;
    float period_ = 0.0f;       // the newest voiced estimate's period, full rate
    float recentPeriod_ = 0.0f;
    bool marking_ = false;
    double lastMark_ = 0.0;
    std::int64_t markDue_ = 0;  // written_ at which the next mark is searched

    Queue<PitchEstimate, 64> estimates_;
    Queue<PitchMark, 128> marks_;
};

}  // namespace vcmd
