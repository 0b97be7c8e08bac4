// ExactSamples.cpp - see SoundFile.h.
#include "soundfile/SoundFile.h"

namespace corvane::tool {

void ExactSamples::push(const double* interleaved, std::size_t frames) {
    if (head_ > 0 && head_ * 2 >= samples_.size()) {
        samples_.erase(samples_.begin(), samples_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
    samples_.insert(samples_.end(), interleaved, interleaved + frames * channels_);
}

const double* ExactSamples::next() {
    if (samples_.size() - head_ < channels_) return nullptr;
    const double* frame = samples_.data() + head_;
    head_ += channels_;
    return frame;
}

}  // namespace corvane::tool
