// AudioBuffer.h - non-interleaved audio samples, one buffer per channel.
#pragma once

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace corvane {

// A buffer either owns its storage (made by the sizing constructor) or wraps
// the caller's channel pointers, which must outlive it.
//
// Construction and resize() allocate: [main-thread]. The accessors and
// setNumberOfFrames() never allocate: [audio-thread] safe.
template <typename T>
class AudioBuffer {
public:
    AudioBuffer() = default;

    // Owns `channels` x `frames` samples, all zero.
    AudioBuffer(std::uint32_t channels, std::uint32_t frames) { resize(channels, frames); }

    // Wraps `channels` caller-owned buffers of `frames` samples each.
    AudioBuffer(T* const* channelPointers, std::uint32_t channels, std::uint32_t frames)
        : pointers_(channelPointers, channelPointers + channels), frames_(frames), capacity_(frames) {
        for (T* p : pointers_)
            if (p == nullptr && frames > 0) throw std::invalid_argument("AudioBuffer: null channel pointer");
    }

    AudioBuffer(const AudioBuffer& other) { *this = other; }
    AudioBuffer& operator=(const AudioBuffer& other) {
        if (this == &other) return *this;
        resize(other.getNumberOfChannels(), other.getNumberOfFrames());
        for (std::uint32_t c = 0; c < getNumberOfChannels(); ++c)
            std::copy_n(other.pointers_[c], frames_, pointers_[c]);
        return *this;
    }
    AudioBuffer(AudioBuffer&&) noexcept = default;
    AudioBuffer& operator=(AudioBuffer&&) noexcept = default;
    ~AudioBuffer() = default;

    // Makes this buffer own `channels` x `frames` zeroed samples.
    void resize(std::uint32_t channels, std::uint32_t frames) {
        storage_.assign(static_cast<std::size_t>(channels) * frames, T{});
        pointers_.resize(channels);
        for (std::uint32_t c = 0; c < channels; ++c)
            pointers_[c] = storage_.data() + static_cast<std::size_t>(c) * frames;
        frames_ = frames;
        capacity_ = frames;
    }

    // Shortens or restores the block length within the capacity it was made
    // with, without allocating. Returns false (and changes nothing) above it.
    bool setNumberOfFrames(std::uint32_t frames) noexcept {
        if (frames > capacity_) return false;
        frames_ = frames;
        return true;
    }

    std::uint32_t getNumberOfChannels() const noexcept { return static_cast<std::uint32_t>(pointers_.size()); }
    std::uint32_t getNumberOfFrames() const noexcept { return frames_; }
    std::uint32_t getCapacity() const noexcept { return capacity_; }

    // Channel pointers; null for a channel that does not exist.
    T* getWritePointer(std::uint32_t channel) noexcept {
        return channel < pointers_.size() ? pointers_[channel] : nullptr;
    }
    const T* getReadPointer(std::uint32_t channel) const noexcept {
        return channel < pointers_.size() ? pointers_[channel] : nullptr;
    }

    // Sets every sample to zero.
    void clear() noexcept {
        for (T* p : pointers_) std::fill_n(p, frames_, T{});
    }

private:
    std::vector<T> storage_;
    std::vector<T*> pointers_;
    std::uint32_t frames_ = 0;
    std::uint32_t capacity_ = 0;
};

}  // namespace corvane
