// OnsetDetector.cpp - see OnsetDetector.h.
#include "pitch/OnsetDetector.h"

#include <algorithm>
#include <cmath>
#include <iterator>

#include "pitch/ShifterMath.h"

namespace vcmd {
using namespace shifter;

void OnsetDetector::configure(int frameLength, double framesPerSecond) noexcept {
    frame_ = std::max(1, frameLength);
    loudestDecay_ = static_cast<float>(std::pow(10.0, -1.0 / framesPerSecond));  // 10 dB per second
    reset();
}

void OnsetDetector::reset() noexcept {
    std::fill(std::begin(history_), std::end(history_), 0.0f);
    historyAt_ = 0;
    loudest_ = 0.0f;
}

bool OnsetDetector::frame(const float* coarse, bool looking) noexcept {
    const float* c = coarse - 4;
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
    constexpr float kRise = 10.0f;          // 10 dB
    constexpr float kOverPulses = 2.0f;     // 3 dB
    constexpr float kBelowLoudest = 1e-4f;  // 40 dB
    return looking && !(energy < kRise * before || energy < kOverPulses * largest ||
                        energy < kBelowLoudest * loudest_ || energy < 1e-12f);
}

}  // namespace vcmd
