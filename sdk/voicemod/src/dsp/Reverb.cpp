// Reverb.cpp - early reflections and a modulated 8-line feedback delay
// network (see Reverb.h).
#include "dsp/Reverb.h"

#include <algorithm>
#include <cmath>

namespace vcmd {
namespace {

// Diffusion all-passes (ms and gain), as in the input section of a plate.
constexpr double kDiffuserMs[Reverb::kDiffusers] = {4.77, 3.59, 12.73, 9.30};
constexpr float kDiffuserGain[Reverb::kDiffusers] = {0.75f, 0.75f, 0.625f, 0.625f};
// Early reflections: times (ms) for left and right, and their gains
// (alternating signs; the energies add up to one).
constexpr double kEarlyMs[2][Reverb::kEarlyTaps] = {{7.1, 11.3, 17.9, 23.3, 31.7, 41.9, 53.1, 67.3},
                                                    {8.3, 13.1, 16.7, 26.9, 29.3, 44.7, 57.1, 71.9}};
constexpr float kEarlyGain[Reverb::kEarlyTaps] = {0.62f, -0.5f, 0.42f, -0.34f, 0.28f, -0.22f, 0.17f, -0.13f};
constexpr double kPreDelayMs = 24.0;
// Late lines: shortest and longest length, spread geometrically (each
// then moved up to the next prime).
constexpr double kShortestMs = 45.0;
constexpr double kLongestMs = 160.0;
constexpr double kSwayMs = 0.5;
constexpr double kSwayHz[Reverb::kLines / 4] = {0.31, 0.73};
// Signs with which the input enters each line.
constexpr float kInSign[Reverb::kLines] = {1, -1, 1, 1, -1, 1, -1, -1};
constexpr float kEarlyLevel = 0.6f;

bool isPrime(std::size_t n) {
    if (n < 2) return false;
    for (std::size_t d = 2; d * d <= n; ++d)
        if (n % d == 0) return false;
    return true;
}

// Fast Walsh-Hadamard transform of kLines values (unscaled: the line
// gains carry the 1 / sqrt(kLines) that keeps the energy).
inline void hadamard(float* v) noexcept {
    for (int half = 1; half < Reverb::kLines; half *= 2) {
        for (int start = 0; start < Reverb::kLines; start += 2 * half) {
            for (int k = start; k < start + half; ++k) {
                const float a = v[k], b = v[k + half];
                v[k] = a + b;
                v[k + half] = a - b;
            }
        }
    }
}

}  // namespace

double Reverb::reverberationSeconds(float size) noexcept { return 0.2 * std::pow(30.0, static_cast<double>(size)); }

void Reverb::configure(double sampleRate) {
    sampleRate_ = sampleRate;
    const double perMs = sampleRate / 1000.0;
    for (int k = 0; k < kDiffusers; ++k) {
        diffuserLength_[k] = std::max<std::size_t>(1, static_cast<std::size_t>(std::lround(kDiffuserMs[k] * perMs)));
        diffuser_[k].configure(diffuserLength_[k] + 2);
    }
    preDelay_ = static_cast<std::size_t>(std::lround(kPreDelayMs * perMs));
    std::size_t longestTap = preDelay_;
    for (int c = 0; c < 2; ++c) {
        for (int k = 0; k < kEarlyTaps; ++k) {
            earlyTap_[c][k] = std::max<std::size_t>(1, static_cast<std::size_t>(std::lround(kEarlyMs[c][k] * perMs)));
            longestTap = std::max(longestTap, earlyTap_[c][k]);
        }
    }
    early_.configure(longestTap + 2);
    depth_ = static_cast<float>(kSwayMs * perMs);
    std::size_t previous = 0;
    std::size_t longest = 0;
    for (int i = 0; i < kLines; ++i) {
        const double ms = kShortestMs * std::pow(kLongestMs / kShortestMs, i / (kLines - 1.0));
        // The next prime at or above, and above the previous line's: the
        // lengths share no factor, so their resonances do not line up.
        std::size_t n = std::max(previous + 1, static_cast<std::size_t>(std::lround(ms * perMs)));
        while (!isPrime(n)) ++n;
        previous = n;
        length_[i] = static_cast<float>(n);
        longest = n;
    }
    lineSize_ = 16;
    while (lineSize_ < longest + static_cast<std::size_t>(depth_) + 4) lineSize_ *= 2;
    lines_.assign(lineSize_ * kLines, 0.0f);
    // The oscillators step once per 16 samples.
    for (int k = 0; k < kLines / 4; ++k) sway_[k].setFrequency(16.0 * kSwayHz[k], sampleRate);
    reset();
    setDecay(0.5f, 0.5f);
}

void Reverb::reset() noexcept {
    for (auto& d : diffuser_) d.clear();
    early_.clear();
    std::fill(lines_.begin(), lines_.end(), 0.0f);
    write_ = 0;
    untilSway_ = 0;
    std::fill(std::begin(lowpass_), std::end(lowpass_), 0.0f);
    for (int k = 0; k < kLines / 4; ++k) sway_[k].reset(0.7 * k);
}

void Reverb::setDecay(float size, float damping) noexcept {
    damping_ = 0.05f + 0.6f * damping;
    const double seconds = reverberationSeconds(size);
    // -60 dB after `seconds` at 1 kHz: each pass through a line of n samples
    // loses 60 dB * n / (seconds * rate), of which the damping low-pass
    // takes its share.
    const double perSample = -6.907755 / (seconds * sampleRate_);
    const double w = 2.0 * kPi * 1000.0 / sampleRate_;
    const double d = damping_;
    const double lowpassAt1k = (1.0 - d) / std::sqrt(1.0 - 2.0 * d * std::cos(w) + d * d);
    double meanGain = 0.0;
    for (int i = 0; i < kLines; ++i) {
        const double g = std::min(0.9995, std::exp(perSample * length_[i]) / lowpassAt1k);
        meanGain += g / kLines;
        gain_[i] = static_cast<float>(g / std::sqrt(static_cast<double>(kLines)));
    }
    // Loop gain g stores 1 / (1 - g^2) times the energy fed in; the late
    // output is scaled back to about the input's level.
    lateGain_ = static_cast<float>(std::sqrt(std::max(1e-4, 1.0 - meanGain * meanGain)));
}

void Reverb::process(float in, float& left, float& right) noexcept {
    // Early reflections from the plain input.
    early_.push(in);
    float earlyLeft = 0.0f, earlyRight = 0.0f;
    for (int k = 0; k < kEarlyTaps; ++k) {
        earlyLeft += kEarlyGain[k] * early_.readWhole(earlyTap_[0][k]);
        earlyRight += kEarlyGain[k] * early_.readWhole(earlyTap_[1][k]);
    }
    // Diffused, pre-delayed input for the late tail.
    float x = early_.readWhole(preDelay_);
    for (int k = 0; k < kDiffusers; ++k) {
        const float delayed = diffuser_[k].readWhole(diffuserLength_[k]);
        const float v = x + kDiffuserGain[k] * delayed;
        diffuser_[k].push(v);
        x = delayed - kDiffuserGain[k] * v;
    }

    // The sway, every 16 samples: slow oscillators, each giving its sine,
    // cosine and their negatives to four lines. It moves a line by less
    // than 0.06 samples per step.
    if (untilSway_ == 0) {
        untilSway_ = 16;
        float sway[kLines];
        constexpr int q = kLines / 4;
        for (int k = 0; k < q; ++k) {
            const float sine = sway_[k].next(), cosine = sway_[k].cosine();
            sway[k] = sine;
            sway[k + q] = cosine;
            sway[k + 2 * q] = -sine;
            sway[k + 3 * q] = -cosine;
        }
        for (int i = 0; i < kLines; ++i) {
            const float delay = length_[i] + depth_ * sway[i];
            whole_[i] = static_cast<std::size_t>(delay);
            fraction_[i] = delay - static_cast<float>(whole_[i]);
        }
    }
    --untilSway_;

    const std::size_t mask = lineSize_ - 1;
    float v[kLines];
    for (int i = 0; i < kLines; ++i) {
        const float* line = lines_.data() + static_cast<std::size_t>(i) * lineSize_;
        const float a = line[(write_ - whole_[i]) & mask];
        const float b = line[(write_ - whole_[i] - 1) & mask];
        v[i] = a + (b - a) * fraction_[i];
    }
    for (int i = 0; i < kLines; ++i) {
        lowpass_[i] = v[i] + (lowpass_[i] - v[i]) * damping_;
        v[i] = lowpass_[i] * gain_[i];
    }
    hadamard(v);
    // Two rows of the mix are the outputs: orthogonal sign patterns over
    // every line, so left and right are decorrelated.
    left = kEarlyLevel * earlyLeft + lateGain_ * v[1];
    right = kEarlyLevel * earlyRight + lateGain_ * v[2];
    for (int i = 0; i < kLines; ++i) lines_[static_cast<std::size_t>(i) * lineSize_ + write_] = v[i] + kInSign[i] * x;
    write_ = (write_ + 1) & mask;
}

}  // namespace vcmd
