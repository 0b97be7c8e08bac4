// CleanMic.h - what 'live --denoise' and '--gate DB' put before the voice:
// a noise suppressor and a noise gate, each a node of the tool's host
// graph, so the voice changer itself is unchanged.
#pragma once

#include <corvane/SingleBusAudioProcessorNode.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CommandLine.h"

namespace corvane::tool {

// A noise gate: the signal passes while its level is over the threshold
// and is silenced a hold time after it falls under it (less a few dB, so a
// level around the threshold does not chatter). It opens over an attack
// time and closes over a release time, so neither clicks. No delay.
class NoiseGateNode : public SingleBusAudioProcessorNode {
public:
    static constexpr double kAttackSeconds = 0.001;
    static constexpr double kHoldSeconds = 0.15;
    static constexpr double kReleaseSeconds = 0.1;
    static constexpr double kHysteresisDb = 4.0;

    explicit NoiseGateNode(double thresholdDb) : thresholdDb_(thresholdDb) {}
    std::string getDisplayName() const override { return "noise gate"; }

    // Any rate and channel count, unchanged; the channels open and close together.
    bool setBusFormat(AudioBusFormat& input, AudioBusFormat& output) override;
    // [audio-thread] No allocation.
    bool process(AudioBus& input, AudioBus& output) override;

    float gain() const noexcept { return gain_; }

private:
    double thresholdDb_;
    float open_ = 0.0f, close_ = 0.0f;  // linear levels
    float attackStep_ = 1.0f, releaseStep_ = 1.0f, envelopeFall_ = 0.0f;
    std::uint32_t holdFrames_ = 0, holdLeft_ = 0;
    float envelope_ = 0.0f, gain_ = 0.0f;
    bool isOpen_ = false;
};

#if CORVANE_VOICEMOD_HAVE_SPEEXDSP
// Noise suppression with speexdsp's preprocessor (spectral, with a noise
// estimate that follows steady noise: fans, hum, hiss), each channel on
// its own, in frames of 4 ms (192 samples at 48 kHz). The output lags two
// frames: one to gather a frame, one for the preprocessor's overlap-add.
class DenoiseNode : public SingleBusAudioProcessorNode {
public:
    static constexpr int kSuppressionDb = -40;  // the most it takes off the noise

    DenoiseNode();
    ~DenoiseNode() override;
    std::string getDisplayName() const override { return "noise suppressor"; }

    // Any rate and channel count, unchanged. Allocates the states.
    bool setBusFormat(AudioBusFormat& input, AudioBusFormat& output) override;
    // [audio-thread] No allocation.
    bool process(AudioBus& input, AudioBus& output) override;

    // The frames the output lags the input by (after setBusFormat).
    std::uint32_t latencyFrames() const noexcept { return 2 * frame_; }
    // The frame length for a rate: 4 ms, rounded down to 16 samples.
    static std::uint32_t frameFor(std::uint32_t sampleRate) noexcept;

private:
    struct Channel;
    std::uint32_t frame_ = 0;
    std::uint32_t position_ = 0;
    std::vector<std::unique_ptr<Channel>> channels_;
};
#endif

// The nodes the options ask for, in order: suppressor, then gate (the gate
// then judges the level of what is left after the noise).
class CleanMic {
public:
    explicit CleanMic(const LiveOptions& options);
    std::vector<AudioProcessorNode*> nodes();
    // The delay they add, after the graph is configured.
    std::uint32_t latencyFrames() const noexcept;

private:
#if CORVANE_VOICEMOD_HAVE_SPEEXDSP
    std::unique_ptr<DenoiseNode> denoise_;
#endif
    std::unique_ptr<NoiseGateNode> gate_;
};

}  // namespace corvane::tool
