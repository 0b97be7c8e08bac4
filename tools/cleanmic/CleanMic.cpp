#include "cleanmic/CleanMic.h"

#if CORVANE_VOICEMOD_HAVE_SPEEXDSP
#include <speex/speex_preprocess.h>
#endif

#include <algorithm>
#include <cmath>

#include "platform/ToolError.h"

namespace corvane::tool {

namespace {

float fromDb(double db) { return static_cast<float>(std::pow(10.0, db / 20.0)); }

}  // namespace

bool NoiseGateNode::setBusFormat(AudioBusFormat& input, AudioBusFormat& output) {
    if (!AudioBusFormat::matchBusFormats(input, output) || input.sampleRate == 0) return false;
    const double rate = input.sampleRate;
    open_ = fromDb(thresholdDb_);
    close_ = fromDb(thresholdDb_ - kHysteresisDb);
    attackStep_ = static_cast<float>(1.0 / std::max(1.0, kAttackSeconds * rate));
    releaseStep_ = static_cast<float>(1.0 / std::max(1.0, kReleaseSeconds * rate));
    // The level detector: instant rise, falling 20 dB in 20 ms.
    envelopeFall_ = static_cast<float>(std::pow(10.0, -1.0 / (0.02 * rate)));
    holdFrames_ = static_cast<std::uint32_t>(kHoldSeconds * rate);
    holdLeft_ = 0;
    envelope_ = 0.0f;
    gain_ = 0.0f;
    isOpen_ = false;
    return true;
}

bool NoiseGateNode::process(AudioBus& input, AudioBus& output) {
    if (output.buffer == nullptr) return false;
    output.copyFrom(input);
    AudioBuffer<float>& buffer = *output.buffer;
    const std::uint32_t channels = buffer.getNumberOfChannels();
    const std::uint32_t frames = buffer.getNumberOfFrames();
    for (std::uint32_t i = 0; i < frames; ++i) {
        float level = 0.0f;
        for (std::uint32_t c = 0; c < channels; ++c) level = std::max(level, std::fabs(buffer.getReadPointer(c)[i]));
        envelope_ = std::max(level, envelope_ * envelopeFall_);
        if (envelope_ >= (isOpen_ ? close_ : open_)) {
            isOpen_ = true;
            holdLeft_ = holdFrames_;
        } else if (holdLeft_ > 0) {
            --holdLeft_;
        } else {
            isOpen_ = false;
        }
        gain_ = isOpen_ ? std::min(1.0f, gain_ + attackStep_) : std::max(0.0f, gain_ - releaseStep_);
        for (std::uint32_t c = 0; c < channels; ++c) buffer.getWritePointer(c)[i] *= gain_;
    }
    return true;
}

#if CORVANE_VOICEMOD_HAVE_SPEEXDSP
struct DenoiseNode::Channel {
    SpeexPreprocessState* state = nullptr;
    std::vector<spx_int16_t> in;    // the frame being gathered
    std::vector<float> out;         // the frame being given out
    Channel(std::uint32_t frame, std::uint32_t rate, int suppressionDb)
        : state(speex_preprocess_state_init(static_cast<int>(frame), static_cast<int>(rate))),
          in(frame, 0),
          out(frame, 0.0f) {
        int on = 1, off = 0, suppress = suppressionDb;
        speex_preprocess_ctl(state, SPEEX_PREPROCESS_SET_DENOISE, &on);
        speex_preprocess_ctl(state, SPEEX_PREPROCESS_SET_NOISE_SUPPRESS, &suppress);
        speex_preprocess_ctl(state, SPEEX_PREPROCESS_SET_AGC, &off);
        speex_preprocess_ctl(state, SPEEX_PREPROCESS_SET_DEREVERB, &off);
    }
    ~Channel() {
        if (state != nullptr) speex_preprocess_state_destroy(state);
    }
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;
};

DenoiseNode::DenoiseNode(int suppressionDb, std::uint32_t frameMicroseconds)
    : suppressionDb_(suppressionDb), frameMicroseconds_(frameMicroseconds) {}
DenoiseNode::~DenoiseNode() = default;

std::uint32_t DenoiseNode::frameFor(std::uint32_t sampleRate, std::uint32_t frameMicroseconds) noexcept {
    const auto frames = static_cast<std::uint64_t>(sampleRate) * frameMicroseconds / 1000000 + 8;
    return std::max<std::uint32_t>(16, static_cast<std::uint32_t>(frames / 16 * 16));
}

bool DenoiseNode::setBusFormat(AudioBusFormat& input, AudioBusFormat& output) {
    if (!AudioBusFormat::matchBusFormats(input, output) || input.sampleRate == 0) return false;
    frame_ = frameFor(input.sampleRate, frameMicroseconds_);
    position_ = 0;
    gathering_.store(input.framesPerBlock != frame_, std::memory_order_relaxed);
    channels_.clear();
    for (std::uint32_t c = 0; c < input.numberOfChannels; ++c) {
        channels_.push_back(std::make_unique<Channel>(frame_, input.sampleRate, suppressionDb_));
        if (channels_.back()->state == nullptr) return false;
    }
    return true;
}

// Runs the preprocessor on each channel's gathered frame; the result
// becomes the frame given out.
void DenoiseNode::clean(std::uint32_t channels) noexcept {
    for (std::uint32_t c = 0; c < channels; ++c) {
        Channel& channel = *channels_[c];
        speex_preprocess_run(channel.state, channel.in.data());
        for (std::uint32_t k = 0; k < frame_; ++k) channel.out[k] = channel.in[k] * (1.0f / 32767.0f);
    }
}

bool DenoiseNode::process(AudioBus& input, AudioBus& output) {
    if (output.buffer == nullptr) return false;
    output.copyFrom(input);
    AudioBuffer<float>& buffer = *output.buffer;
    const std::uint32_t frames = buffer.getNumberOfFrames();
    const std::uint32_t channels = std::min<std::uint32_t>(buffer.getNumberOfChannels(),
                                                           static_cast<std::uint32_t>(channels_.size()));
    const auto toShort = [](float x) {
        return static_cast<spx_int16_t>(std::lrint(std::clamp(x, -1.0f, 1.0f) * 32767.0f));
    };
    if (!gathering_.load(std::memory_order_relaxed)) {
        if (frames == frame_) {
            // A whole frame: cleaned in place.
            for (std::uint32_t c = 0; c < channels; ++c) {
                const float* samples = buffer.getReadPointer(c);
                for (std::uint32_t i = 0; i < frame_; ++i) channels_[c]->in[i] = toShort(samples[i]);
            }
            clean(channels);
            for (std::uint32_t c = 0; c < channels; ++c)
                std::copy_n(channels_[c]->out.data(), frame_, buffer.getWritePointer(c));
            return true;
        }
        // Another length: gathering from now on (the frame given out
        // first is silence).
        gathering_.store(true, std::memory_order_relaxed);
        position_ = 0;
        for (std::uint32_t c = 0; c < channels; ++c) std::fill(channels_[c]->out.begin(), channels_[c]->out.end(), 0.0f);
    }
    // Each sample goes into the frame being gathered and the sample a frame
    // older comes out; a full frame is cleaned and becomes the one given out.
    std::uint32_t position = position_;
    for (std::uint32_t i = 0; i < frames; ++i) {
        for (std::uint32_t c = 0; c < channels; ++c) {
            Channel& channel = *channels_[c];
            float* samples = buffer.getWritePointer(c);
            channel.in[position] = toShort(samples[i]);
            samples[i] = channel.out[position];
        }
        if (++position == frame_) {
            position = 0;
            clean(channels);
        }
    }
    position_ = position;
    return true;
}

#endif

CleanMic::CleanMic(const CleanMicOptions& options) {
#if CORVANE_VOICEMOD_HAVE_SPEEXDSP
    if (options.denoise) denoise_ = std::make_unique<DenoiseNode>();
#else
    if (options.denoise)
        throw ToolError("--denoise: this build of corvane-voicemod has no noise suppressor (it was built without "
                        "speexdsp)");
#endif
    if (options.gate) gate_ = std::make_unique<NoiseGateNode>(options.gateThreshold);
}

std::uint32_t CleanMic::latencyFrames() const noexcept {
#if CORVANE_VOICEMOD_HAVE_SPEEXDSP
    return denoise_ ? denoise_->latencyFrames() : 0;
#else
    return 0;
#endif
}

std::vector<AudioProcessorNode*> CleanMic::nodes() {
    std::vector<AudioProcessorNode*> list;
#if CORVANE_VOICEMOD_HAVE_SPEEXDSP
    if (denoise_) list.push_back(denoise_.get());
#endif
    if (gate_) list.push_back(gate_.get());
    return list;
}

}  // namespace corvane::tool
