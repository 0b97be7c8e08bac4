// ChannelDelayNode.h - delays some channels of a bus by a whole number of
// frames and passes the others through.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <corvane/SingleBusAudioProcessorNode.h>

namespace corvane::tool {

// The voice changer processes the first two channels and passes any further
// ones through undelayed; a voice with a delay would put those out of step.
// This node, placed after the voice, delays channels `firstChannel` and up
// by the voice's delay so every channel lines up again.
class ChannelDelayNode : public SingleBusAudioProcessorNode {
public:
    explicit ChannelDelayNode(std::uint32_t firstChannel = 2) : firstChannel_(firstChannel) {}

    std::string getDisplayName() const override { return "channel delay"; }

    // [main-thread] Takes effect at the next setBusFormat().
    void setDelay(std::uint32_t frames) noexcept { delay_ = frames; }
    std::uint32_t delay() const noexcept { return delay_; }

    // Any format, unchanged; sizes the delay lines (zeroed) for it.
    bool setBusFormat(AudioBusFormat& input, AudioBusFormat& output) override;
    // [audio-thread] No allocation.
    bool process(AudioBus& input, AudioBus& output) override;

private:
    std::uint32_t firstChannel_;
    std::uint32_t delay_ = 0;
    std::uint32_t position_ = 0;
    std::vector<std::vector<float>> lines_;  // one per delayed channel
};

}  // namespace corvane::tool
