// Whisperer.cpp - short-time spectra with random phase (see Whisperer.h).
#include "dsp/Whisperer.h"

#include <algorithm>
#include <cmath>

namespace vcmd {
namespace {

constexpr double kFrameSeconds = 0.008;  // frame: the power of two at or above this
constexpr int kPhaseCount = 4096;        // a power of two

}  // namespace

void Whisperer::configure(double sampleRate, std::uint64_t seed) {
    size_ = 64;
    while (size_ < kFrameSeconds * sampleRate) size_ *= 2;
    hop_ = size_ / 2;
    bits_ = 0;
    while ((1 << bits_) < size_) ++bits_;
    const auto n = static_cast<std::size_t>(size_);
    window_.resize(n);
    for (std::size_t i = 0; i < n; ++i) window_[i] = static_cast<float>(std::sin(kPi * (static_cast<double>(i) + 0.5) / size_));
    twiddleRe_.clear();
    twiddleIm_.clear();
    for (std::size_t half = 1; half < n; half *= 2) {
        for (std::size_t k = 0; k < half; ++k) {
            const double angle = -kPi * static_cast<double>(k) / static_cast<double>(half);
            twiddleRe_.push_back(static_cast<float>(std::cos(angle)));
            twiddleIm_.push_back(static_cast<float>(std::sin(angle)));
        }
    }
    reversed_.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t r = 0;
        for (int b = 0; b < bits_; ++b) r |= ((static_cast<std::uint32_t>(i) >> b) & 1u) << (bits_ - 1 - b);
        reversed_[i] = r;
    }
    re_.assign(n, 0.0f);
    im_.assign(n, 0.0f);
    seed_ = seed;
    Noise angles;
    angles.seed(seed ^ 0xA5A5A5A5A5A5A5A5ull);
    phaseRe_.resize(kPhaseCount);
    phaseIm_.resize(kPhaseCount);
    for (int k = 0; k < kPhaseCount; ++k) {
        const double angle = kPi * angles.next();
        phaseRe_[static_cast<std::size_t>(k)] = static_cast<float>(std::cos(angle));
        phaseIm_[static_cast<std::size_t>(k)] = static_cast<float>(std::sin(angle));
    }
    for (int c = 0; c < kMaxChannels; ++c) {
        input_[c].assign(n, 0.0f);
        sum_[c].assign(n, 0.0f);
        out_[c].assign(static_cast<std::size_t>(hop_), 0.0f);
    }
    reset();
}

void Whisperer::reset() noexcept {
    for (int c = 0; c < kMaxChannels; ++c) {
        std::fill(input_[c].begin(), input_[c].end(), 0.0f);
        std::fill(sum_[c].begin(), sum_[c].end(), 0.0f);
        std::fill(out_[c].begin(), out_[c].end(), 0.0f);
    }
    filled_ = 0;
    ready_ = 0;
    noise_.seed(seed_);
}

// In-place radix-2 FFT of re_ + i im_ (the inverse without the 1/N). The
// inverse is the forward transform of the swapped parts, swapped back.
void Whisperer::transform(bool inverse) noexcept {
    const auto n = static_cast<std::size_t>(size_);
    float* re = inverse ? im_.data() : re_.data();
    float* im = inverse ? re_.data() : im_.data();
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t r = reversed_[i];
        if (r > i) {
            std::swap(re[i], re[r]);
            std::swap(im[i], im[r]);
        }
    }
    const float* twRe = twiddleRe_.data();
    const float* twIm = twiddleIm_.data();
    for (std::size_t half = 1; half < n; twRe += half, twIm += half, half *= 2) {
        for (std::size_t start = 0; start < n; start += 2 * half) {
            float* aRe = re + start;
            float* aIm = im + start;
            float* bRe = aRe + half;
            float* bIm = aIm + half;
            for (std::size_t k = 0; k < half; ++k) {
                const float tRe = bRe[k] * twRe[k] - bIm[k] * twIm[k];
                const float tIm = bRe[k] * twIm[k] + bIm[k] * twRe[k];
                bRe[k] = aRe[k] - tRe;
                bIm[k] = aIm[k] - tIm;
                aRe[k] += tRe;
                aIm[k] += tIm;
            }
        }
    }
}

void Whisperer::whisperFrame(int channels) noexcept {
    const auto n = static_cast<std::size_t>(size_);
    const std::size_t half = n / 2;
    const bool stereo = channels > 1;
    for (std::size_t i = 0; i < n; ++i) {
        re_[i] = window_[i] * input_[0][i];
        im_[i] = stereo ? window_[i] * input_[1][i] : 0.0f;
    }
    transform(false);
    // Each channel's spectrum from the packed one (X_left = (Z[k] +
    // conj Z[n-k]) / 2, X_right = (Z[k] - conj Z[n-k]) / 2i); its magnitude
    // with a new phase; packed again with Hermitian symmetry. Each pair of
    // bins k, n - k is read and written once.
    const std::uint64_t mask = kPhaseCount - 1;
    for (std::size_t k = 0; k <= half; ++k) {
        const std::size_t mirror = (n - k) & (n - 1);
        const float zr = re_[k], zi = im_[k], mr = re_[mirror], mi = -im_[mirror];
        const float leftRe = zr + mr, leftIm = zi + mi, rightRe = zr - mr, rightIm = zi - mi;
        const float magnitude[kMaxChannels] = {0.5f * std::sqrt(leftRe * leftRe + leftIm * leftIm),
                                               stereo ? 0.5f * std::sqrt(rightRe * rightRe + rightIm * rightIm) : 0.0f};
        float yRe[kMaxChannels], yIm[kMaxChannels];
        for (int c = 0; c < kMaxChannels; ++c) {
            const auto pick = static_cast<std::size_t>((noise_.next() + 1.0f) * (0.5f * kPhaseCount)) & mask;
            if (k == 0 || k == half) {  // DC and the middle bin stay real
                yRe[c] = phaseRe_[pick] < 0.0f ? -magnitude[c] : magnitude[c];
                yIm[c] = 0.0f;
            } else {
                yRe[c] = magnitude[c] * phaseRe_[pick];
                yIm[c] = magnitude[c] * phaseIm_[pick];
            }
        }
        // Z[k] = Y_left + i Y_right; Z[n - k] = conj(Y_left) + i conj(Y_right).
        re_[k] = yRe[0] - yIm[1];
        im_[k] = yIm[0] + yRe[1];
        if (k > 0 && k < half) {
            re_[mirror] = yRe[0] + yIm[1];
            im_[mirror] = -yIm[0] + yRe[1];
        }
    }
    transform(true);
    const float scale = 1.0f / static_cast<float>(size_);
    for (std::size_t i = 0; i < n; ++i) {
        sum_[0][i] += window_[i] * scale * re_[i];
        if (stereo) sum_[1][i] += window_[i] * scale * im_[i];
    }
    // The first half is complete now: hand it out, and slide everything on
    // by half a frame.
    const auto hop = static_cast<std::size_t>(hop_);
    for (int c = 0; c < (stereo ? 2 : 1); ++c) {
        std::copy(sum_[c].begin(), sum_[c].begin() + static_cast<long>(hop), out_[c].begin());
        std::copy(sum_[c].begin() + static_cast<long>(hop), sum_[c].end(), sum_[c].begin());
        std::fill(sum_[c].begin() + static_cast<long>(n - hop), sum_[c].end(), 0.0f);
        std::copy(input_[c].begin() + static_cast<long>(hop), input_[c].end(), input_[c].begin());
    }
}

void Whisperer::process(float* const* io, int channels, int frames) noexcept {
    const std::size_t newest = static_cast<std::size_t>(size_ - hop_);
    for (int i = 0; i < frames; ++i) {
        for (int c = 0; c < channels; ++c) {
            input_[c][newest + static_cast<std::size_t>(filled_)] = io[c][i];
            io[c][i] = out_[c][static_cast<std::size_t>(ready_)];
        }
        ++ready_;
        if (++filled_ == hop_) {
            whisperFrame(channels);
            filled_ = 0;
            ready_ = 0;
        }
    }
}

}  // namespace vcmd
