#include "render/ChannelDelayNode.h"

namespace corvane::tool {

bool ChannelDelayNode::setBusFormat(AudioBusFormat& input, AudioBusFormat& output) {
    if (!AudioBusFormat::matchBusFormats(input, output)) return false;
    const std::uint32_t channels = input.numberOfChannels;
    const std::uint32_t delayed = channels > firstChannel_ ? channels - firstChannel_ : 0;
    lines_.assign(delay_ > 0 ? delayed : 0, std::vector<float>(delay_, 0.0f));
    position_ = 0;
    return true;
}

bool ChannelDelayNode::process(AudioBus& input, AudioBus& output) {
    if (output.buffer == nullptr) return false;
    output.copyFrom(input);
    if (lines_.empty()) return true;
    const std::uint32_t frames = output.buffer->getNumberOfFrames();
    std::uint32_t position = position_;
    for (std::size_t line = 0; line < lines_.size(); ++line) {
        float* samples = output.buffer->getWritePointer(firstChannel_ + static_cast<std::uint32_t>(line));
        if (samples == nullptr) return false;
        std::vector<float>& ring = lines_[line];
        position = position_;
        for (std::uint32_t i = 0; i < frames; ++i) {
            const float delayed = ring[position];
            ring[position] = samples[i];
            samples[i] = delayed;
            if (++position == delay_) position = 0;
        }
    }
    position_ = position;
    return true;
}

}  // namespace corvane::tool
