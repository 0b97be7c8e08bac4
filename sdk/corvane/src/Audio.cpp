#include <algorithm>
#include <cstring>

#include "corvane/AudioBus.h"
#include "corvane/AudioBusFormat.h"

namespace corvane {
namespace {

bool agree(std::uint32_t a, std::uint32_t b) { return a == 0 || b == 0 || a == b; }
void adopt(std::uint32_t& a, std::uint32_t& b) {
    if (a == 0) a = b;
    if (b == 0) b = a;
}

}  // namespace

bool AudioBusFormat::matchBusFormats(AudioBusFormat& in, AudioBusFormat& out) noexcept {
    if (!agree(in.sampleRate, out.sampleRate) || !agree(in.numberOfChannels, out.numberOfChannels) ||
        !agree(in.framesPerBlock, out.framesPerBlock))
        return false;
    adopt(in.sampleRate, out.sampleRate);
    adopt(in.numberOfChannels, out.numberOfChannels);
    adopt(in.framesPerBlock, out.framesPerBlock);
    return true;
}

void AudioBus::copyFrom(const AudioBus& other) noexcept {
    if (buffer == nullptr || other.buffer == nullptr || buffer == other.buffer) return;
    const std::uint32_t frames = std::min(buffer->getNumberOfFrames(), other.buffer->getNumberOfFrames());
    const std::uint32_t shared = std::min(buffer->getNumberOfChannels(), other.buffer->getNumberOfChannels());
    for (std::uint32_t c = 0; c < shared; ++c) {
        float* dst = buffer->getWritePointer(c);
        const float* src = other.buffer->getReadPointer(c);
        if (dst != src && frames > 0) std::memmove(dst, src, frames * sizeof(float));
    }
    // Channels the other bus lacks are silenced. A buffer of no frames may
    // have no storage at all (null channel pointers): nothing to write then.
    if (buffer->getNumberOfFrames() == 0) return;
    for (std::uint32_t c = shared; c < buffer->getNumberOfChannels(); ++c)
        std::memset(buffer->getWritePointer(c), 0, buffer->getNumberOfFrames() * sizeof(float));
}

}  // namespace corvane
