// PitchEffect.cpp - the pitch effect: the pitch shifter and its formant stage as one effect.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>

#include "dsp/Dsp.h"
#include "effects/EffectKinds.h"
#include "effects/RampedEffect.h"
#include "pitch/FormantShifter.h"
#include "pitch/PitchShifter.h"
#include "pitch/PitchSynchronous.h"

namespace vcmd {
namespace {

class PitchEffect final : public Effect {
public:
    PitchEffect(const EffectDef& def, const ChainConfig& config) {
        shifter_.configure(config.sampleRate, config.offline);
        shifter_.jumpSemitones(def.settings[0]);
        formant_.configure(config.sampleRate, static_cast<int>(shifter_.latencyFrames()));
        followsPitch_ = def.settings[1] == kFormantFollowsPitch;
        formant_.jumpPitch(def.settings[0]);
        formant_.jumpFormant(followsPitch_ ? def.settings[0] : def.settings[1]);
        if (def.settings[2] >= kSynthesisPitchSynchronous) {
            // Runs as far behind as the grain path, whose output it mixes into.
            synchronous_ = std::make_unique<PitchSynchronous>();
            synchronous_->configure(config.sampleRate, static_cast<int>(latencyFrames()));
            synchronous_->jumpPitch(def.settings[0]);
            synchronous_->jumpFormant(followsPitch_ ? def.settings[0] : def.settings[1]);
        }
    }
    void setTarget(int index, float value) noexcept override {
        if (index == 0) {
            shifter_.setSemitones(value);
            formant_.setPitch(value);
            if (followsPitch_) formant_.setFormant(value);
            if (synchronous_) {
                synchronous_->setPitch(value);
                if (followsPitch_) synchronous_->setFormant(value);
            }
        } else if (index == 1) {
            // Set once, the formants no longer follow the pitch.
            followsPitch_ = false;
            formant_.setFormant(value);
            if (synchronous_) synchronous_->setFormant(value);
        }
    }
    void process(float* const* io, int channels, int frames) noexcept override {
        // The formant stage reads the input the shifter is about to replace.
        for (int done = 0; done < frames; done += kPiece) {
            const int n = std::min(kPiece, frames - done);
            float* part[FormantShifter::kMaxChannels] = {io[0] + done, channels > 1 ? io[1] + done : nullptr};
            formant_.hear(part, channels, n);
            if (synchronous_) synchronous_->hear(part, channels, n);
            shifter_.process(part, channels, n);
            formant_.process(part, channels, n);
            if (synchronous_) synchronous_->process(part, channels, n);
        }
    }
    void reset() noexcept override {
        shifter_.reset();
        formant_.reset();
        if (synchronous_) synchronous_->reset();
    }
    unsigned latencyFrames() const noexcept override {
        return shifter_.latencyFrames() + static_cast<unsigned>(formant_.latencyFrames());
    }

private:
    static constexpr int kPiece = kPieceFrames;
    PitchShifter shifter_;
    FormantShifter formant_;
    std::unique_ptr<PitchSynchronous> synchronous_;  // with "synthesis" 1 only
    bool followsPitch_ = false;
};

}  // namespace

std::unique_ptr<Effect> makePitchEffect(const EffectDef& def, const ChainConfig& config) {
    return std::make_unique<PitchEffect>(def, config);
}

}  // namespace vcmd
