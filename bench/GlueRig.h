// GlueRig.h - one host bus pair and the two ways of running a block through
// the voice changer that the glue benchmarks compare:
//   node():  VoicemodNode::process on the host's buses, called through the
//            host's base-class interface as a graph would call it;
//   floor(): the least the same work can take - a memcpy of every channel
//            from input to output, then the same voice-changer function
//            called directly on the output.
#pragma once

#include <corvane/AudioBuffer.h>
#include <corvane/AudioBus.h>
#include <corvane/AudioBusFormat.h>
#include <corvane/SingleBusAudioProcessorNode.h>
#include <corvane/voicemod/VoicemodNode.h>

#include <VoicemodUSDK.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "BenchSupport.h"

namespace benchsupport {

class GlueRig {
public:
    GlueRig(std::uint32_t channels, std::uint32_t frames)
        : channels_(channels), frames_(frames), input_(channels, frames), output_(channels, frames) {
        inBus_.buffer = &input_;
        outBus_.buffer = &output_;
        float* pointers[2] = {input_.getWritePointer(0), channels > 1 ? input_.getWritePointer(1) : nullptr};
        fillVoiceLike(pointers, static_cast<int>(channels), frames);
        corvane::AudioBusFormat in{static_cast<std::uint32_t>(kSampleRate), channels, frames};
        corvane::AudioBusFormat out{};
        if (!node_.setBusFormat(in, out)) throw std::runtime_error("setBusFormat refused the bench format");
        host_ = &node_;
    }

    // Both return false when the voice changer refused the block.
    bool node() { return host_->process(inBus_, outBus_); }

    bool floor() {
        for (std::uint32_t c = 0; c < channels_; ++c)
            std::memcpy(output_.getWritePointer(c), input_.getReadPointer(c), frames_ * sizeof(float));
        const std::int32_t code =
            channels_ == 1 ? vcmdProcessBuffer(output_.getWritePointer(0), frames_)
                           : vcmdProcessStereoBuffer(output_.getWritePointer(0), output_.getWritePointer(1), frames_);
        return code == 0;
    }

    corvane::extensions::voicemod::VoicemodNode& voicemodNode() { return node_; }
    const corvane::AudioBuffer<float>& output() const { return output_; }

private:
    std::uint32_t channels_;
    std::uint32_t frames_;
    corvane::AudioBuffer<float> input_;
    corvane::AudioBuffer<float> output_;
    corvane::AudioBus inBus_;
    corvane::AudioBus outBus_;
    corvane::extensions::voicemod::VoicemodNode node_;
    corvane::SingleBusAudioProcessorNode* host_ = nullptr;
};

}  // namespace benchsupport
