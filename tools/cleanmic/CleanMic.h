// CleanMic.h - what 'live --denoise' and '--gate DB' put before the voice:
// a noise suppressor and a noise gate, each a node of the tool's host
// graph, so the voice changer itself is unchanged.
#pragma once

#include <corvane/SingleBusAudioProcessorNode.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cleanmic/CleanMicOptions.h"

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
// its own, in frames of about 5.3 ms (256 samples at 48 kHz). The
// preprocessor's output lags its input by one frame. When the graph's
// blocks are exactly one frame (live's default block at 48 kHz) each block
// is cleaned in place and that frame is all the delay; otherwise the
// blocks are gathered into frames, which costs a second frame. A block of
// another length arriving in the first mode (a server that changed its
// cycle) moves the node to the second for good, with one frame of silence.
// docs/LIVE.md has the measurements that chose this suppressor and depth.
class DenoiseNode : public SingleBusAudioProcessorNode {
public:
    static constexpr int kSuppressionDb = -90;  // the most it takes off the noise

    // `frameMicroseconds` other than the default only for measuring.
    explicit DenoiseNode(int suppressionDb = kSuppressionDb, std::uint32_t frameMicroseconds = 5333);
    ~DenoiseNode() override;
    std::string getDisplayName() const override { return "noise suppressor"; }

    // Any rate and channel count, unchanged. Allocates the states.
    bool setBusFormat(AudioBusFormat& input, AudioBusFormat& output) override;
    // [audio-thread] No allocation.
    bool process(AudioBus& input, AudioBus& output) override;

    // [any-thread] The frames the output lags the input by (after setBusFormat).
    std::uint32_t latencyFrames() const noexcept {
        return (gathering_.load(std::memory_order_relaxed) ? 2 : 1) * frame_;
    }
    std::uint32_t frame() const noexcept { return frame_; }
    // The frame length for a rate: about 5.3 ms, a multiple of 16 samples.
    static std::uint32_t frameFor(std::uint32_t sampleRate, std::uint32_t frameMicroseconds = 5333) noexcept;

private:
    struct Channel;
    void clean(std::uint32_t channels) noexcept;
    int suppressionDb_;
    std::uint32_t frameMicroseconds_;
    std::uint32_t frame_ = 0;
    std::uint32_t position_ = 0;
    std::atomic<bool> gathering_{false};
    std::vector<std::unique_ptr<Channel>> channels_;
};
#endif

// The nodes the options ask for, in order: suppressor, then gate (the gate
// then judges the level of what is left after the noise).
class CleanMic {
public:
    explicit CleanMic(const CleanMicOptions& options);
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
