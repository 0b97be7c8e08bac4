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
#pragma once

#include <cstdint>
#include <vector>

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

    // [control-thread] Sizes every buffer for `sampleRate` (8 to 192 kHz);
    // the only call that allocates. Leaves the tracker reset.
    void configure(double sampleRate);
    // [audio-thread] Forgets all input. Never blocks or allocates.
    void reset() noexcept;

    // [audio-thread] Takes the next `frames` mono samples (at most
    // kMaxFrames per call; non-finite samples count as silence). Never
    // blocks or allocates.
    void process(const float* mono, int frames) noexcept;
    static constexpr int kMaxFrames = 256;

    // [audio-thread] Takes the oldest estimate or mark not yet read; false
    // when there is none. Never blocks or allocates.
    bool readEstimate(PitchEstimate& out) noexcept;
    bool readMark(PitchMark& out) noexcept;

    // [any thread] What the tracker knows now: whether the newest estimate
    // is voiced, and the period (input samples) the marks of the periods
    // already seen are spaced at (0 when there are none).
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

    // Decimation and analysis, defined in PitchTracker.cpp.
    void analyse() noexcept;
    void placeMarks() noexcept;

    double sampleRate_ = 48000.0;
    int lookahead_ = 0;
    int markDelay_ = 0;
    int hop_ = 240;
    std::int64_t written_ = 0;
    bool voiced_ = false;
    float recentPeriod_ = 0.0f;

    Queue<PitchEstimate, 64> estimates_;
    Queue<PitchMark, 128> marks_;

    std::vector<float> history_;  // full-rate input, mirrored ring
    std::vector<float> low_;      // decimated, low-passed input, mirrored ring
};

}  // namespace vcmd
