// Dsp.h - small real-time building blocks shared by the effects: parameter
// ramps, biquads, oscillators, noise, delay lines and the safety clipper.
// Nothing here allocates after configuration.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace vcmd {

constexpr double kPi = 3.14159265358979323846;
// How long a setting takes to glide to a new value.
constexpr double kSmoothSeconds = 0.020;

// A linear glide to the newest target over a fixed number of samples. Only a
// change of target starts a glide, so setting the same value once per block
// changes nothing and the result does not depend on the block size.
class Ramp {
public:
    void configure(double sampleRate) noexcept {
        length_ = static_cast<int>(std::lround(std::max(1.0, kSmoothSeconds * sampleRate)));
    }
    void jump(float v) noexcept {
        current_ = target_ = v;
        left_ = 0;
    }
    void setTarget(float v) noexcept {
        if (v == target_) return;
        target_ = v;
        left_ = length_;
        step_ = (target_ - current_) / static_cast<float>(length_);
    }
    float next() noexcept {
        if (left_ > 0) current_ = --left_ == 0 ? target_ : current_ + step_;
        return current_;
    }
    float value() const noexcept { return current_; }
    float target() const noexcept { return target_; }
    bool moving() const noexcept { return left_ > 0; }

private:
    float current_ = 0.0f;
    float target_ = 0.0f;
    float step_ = 0.0f;
    int left_ = 0;
    int length_ = 1;
};

inline float dbToGain(float db) noexcept { return std::pow(10.0f, db / 20.0f); }

// The modified Bessel function of the first kind, order 0, by its power
// series: the Kaiser windows of the filters designed at configuration.
inline double besselI0(double x) noexcept {
    double sum = 1.0, term = 1.0;
    for (int k = 1; k < 40; ++k) {
        term *= (x / (2.0 * k)) * (x / (2.0 * k));
        sum += term;
    }
    return sum;
}

// tanh-shaped saturation, exact 0 at 0 and +-1 beyond +-3.
inline float saturate(float x) noexcept {
    if (x > 3.0f) return 1.0f;
    if (x < -3.0f) return -1.0f;
    const float x2 = x * x;
    return x * (27.0f + x2) / (27.0f + 9.0f * x2);
}

// Leaves |x| <= 2 (+6 dBFS) untouched and bends anything louder smoothly
// (slope 1 at the knee) towards kSafetyCeiling, +12 dBFS, which it never
// passes: tanh stays within [-1, 1] in float too.
constexpr float kSafetyCeiling = 3.98f;
inline float safetyClip(float x) noexcept {
    const float a = std::fabs(x);
    if (a <= 2.0f) return x;
    constexpr float kRoom = kSafetyCeiling - 2.0f;
    const float bent = 2.0f + kRoom * std::tanh((a - 2.0f) / kRoom);
    return x < 0.0f ? -bent : bent;
}

// A second-order section (transposed direct form II) with coefficients from
// the well-known audio-EQ cookbook formulas.
struct BiquadCoefficients {
    float b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
};

enum class FilterKind { LowPass, HighPass, BandPass, Peaking };

inline BiquadCoefficients designBiquad(FilterKind kind, double sampleRate, double frequency, double q,
                                       double gainDb) noexcept {
    const double f = std::min(frequency, 0.45 * sampleRate);
    const double w = 2.0 * kPi * f / sampleRate;
    const double cw = std::cos(w), sw = std::sin(w);
    const double alpha = sw / (2.0 * q);
    double b0 = 1, b1 = 0, b2 = 0, a0 = 1, a1 = 0, a2 = 0;
    switch (kind) {
        case FilterKind::LowPass:
            b0 = (1 - cw) / 2; b1 = 1 - cw; b2 = (1 - cw) / 2;
            a0 = 1 + alpha; a1 = -2 * cw; a2 = 1 - alpha;
            break;
        case FilterKind::HighPass:
            b0 = (1 + cw) / 2; b1 = -(1 + cw); b2 = (1 + cw) / 2;
            a0 = 1 + alpha; a1 = -2 * cw; a2 = 1 - alpha;
            break;
        case FilterKind::BandPass:  // 0 dB at the centre
            b0 = alpha; b1 = 0; b2 = -alpha;
            a0 = 1 + alpha; a1 = -2 * cw; a2 = 1 - alpha;
            break;
        case FilterKind::Peaking: {
            const double A = std::pow(10.0, gainDb / 40.0);
            b0 = 1 + alpha * A; b1 = -2 * cw; b2 = 1 - alpha * A;
            a0 = 1 + alpha / A; a1 = -2 * cw; a2 = 1 - alpha / A;
            break;
        }
    }
    BiquadCoefficients c;
    c.b0 = static_cast<float>(b0 / a0);
    c.b1 = static_cast<float>(b1 / a0);
    c.b2 = static_cast<float>(b2 / a0);
    c.a1 = static_cast<float>(a1 / a0);
    c.a2 = static_cast<float>(a2 / a0);
    return c;
}

struct BiquadState {
    float z1 = 0, z2 = 0;
    float run(const BiquadCoefficients& c, float x) noexcept {
        const float y = c.b0 * x + z1;
        z1 = c.b1 * x - c.a1 * y + z2;
        z2 = c.b2 * x - c.a2 * y;
        return y;
    }
};

// Sine and cosine by rotating a unit phasor: one complex multiply per
// sample, with a first-order correction that keeps the length at 1.
class Oscillator {
public:
    void setFrequency(double frequency, double sampleRate) noexcept {
        const double w = 2.0 * kPi * frequency / sampleRate;
        cw_ = std::cos(w);
        sw_ = std::sin(w);
    }
    void reset(double phase = 0.0) noexcept {
        c_ = std::cos(phase);
        s_ = std::sin(phase);
    }
    // Advances one sample and returns the sine.
    float next() noexcept {
        const double c = c_ * cw_ - s_ * sw_;
        const double s = c_ * sw_ + s_ * cw_;
        const double g = 1.5 - 0.5 * (c * c + s * s);
        c_ = c * g;
        s_ = s * g;
        return static_cast<float>(s_);
    }
    float cosine() const noexcept { return static_cast<float>(c_); }

private:
    double c_ = 1.0, s_ = 0.0, cw_ = 1.0, sw_ = 0.0;
};

// xorshift64*: a fast, seeded noise source; uniform in [-1, 1).
class Noise {
public:
    void seed(std::uint64_t s) noexcept { state_ = s != 0 ? s : 0x9E3779B97F4A7C15ull; }
    float next() noexcept {
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        const std::uint64_t r = state_ * 2685821657736338717ull;
        return static_cast<float>(static_cast<std::int64_t>(r) >> 40) * (1.0f / 8388608.0f);
    }

private:
    std::uint64_t state_ = 0x9E3779B97F4A7C15ull;
};

// A circular delay line of a power-of-two length, sized once.
class DelayLine {
public:
    void configure(std::size_t minLength) {
        std::size_t n = 16;
        while (n < minLength) n <<= 1;
        data_.assign(n, 0.0f);
        mask_ = n - 1;
        write_ = 0;
    }
    void clear() noexcept {
        std::fill(data_.begin(), data_.end(), 0.0f);
        write_ = 0;
    }
    void push(float x) noexcept {
        data_[write_] = x;
        write_ = (write_ + 1) & mask_;
    }
    // The sample written `delay` samples ago (1 = the newest), linearly
    // interpolated; 1 <= delay <= length - 2.
    float read(float delay) const noexcept {
        const float clamped = std::min(std::max(delay, 1.0f), static_cast<float>(mask_ - 1));
        const std::size_t whole = static_cast<std::size_t>(clamped);
        const float frac = clamped - static_cast<float>(whole);
        const float a = data_[(write_ - whole) & mask_];
        const float b = data_[(write_ - whole - 1) & mask_];
        return a + (b - a) * frac;
    }
    float readWhole(std::size_t delay) const noexcept { return data_[(write_ - delay) & mask_]; }
    std::size_t length() const noexcept { return mask_ + 1; }

private:
    std::vector<float> data_;
    std::size_t mask_ = 0;
    std::size_t write_ = 0;
};

}  // namespace vcmd
