// Chain.cpp - a voice's effects in signal order, its background layers and
// the mapping of its parameters onto their settings.
#include "engine/Chain.h"

#include <cmath>
#include <cstring>

#include "dsp/Dsp.h"
#include "effects/Effect.h"
#include "effects/Effects.h"

namespace vcmd {

Chain::Chain(const VoiceDef& voice, const ChainConfig& config, const float* values, std::atomic<float>* shared)
    : voice_(&voice), config_(config) {
    parameterCount_ = voice.parameters.size();
    if (shared != nullptr) {
        slots_ = shared;
    } else {
        ownSlots_ = std::make_unique<std::atomic<float>[]>(parameterCount_);
        slots_ = ownSlots_.get();
    }
    applied_.resize(parameterCount_);
    // The starting parameter values are part of the starting point, not a
    // change: they are written into the settings before the effects exist,
    // so nothing glides when the voice starts.
    std::vector<EffectDef> defs = voice.effects;
    for (std::size_t i = 0; i < parameterCount_; ++i) {
        const ParameterDef& p = voice.parameters[i];
        float v = p.defaultValue;
        if (values != nullptr)
            v = values[i];
        else if (shared != nullptr)
            v = shared[i].load(std::memory_order_relaxed);
        if (shared == nullptr) slots_[i].store(v, std::memory_order_relaxed);
        applied_[i] = v;
        for (const ParameterTarget& t : p.targets)
            defs[static_cast<std::size_t>(t.effect)].settings[t.setting] = p.mapped(t, v);
    }

    effectSlot_.reserve(defs.size());
    std::uint64_t seed = voice.seed;
    for (const EffectDef& def : defs) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        if (effectInfo(def.type).background) {
            effectSlot_.push_back(-1 - static_cast<int>(backgrounds_.size()));
            backgrounds_.push_back(makeGenerator(def, config, seed));
        } else {
            std::unique_ptr<Effect> effect = makeEffect(def, config, seed);
            latency_ += effect->latencyFrames();
            if (effect->hearsInput()) hearing_.push_back(effect.get());
            effectSlot_.push_back(static_cast<int>(effects_.size()));
            effects_.push_back(std::move(effect));
        }
    }
    backgroundStep_ = static_cast<float>(1.0 / std::max(1.0, std::round(0.005 * config.sampleRate)));
    limiter_.configure(config.sampleRate);
    latency_ += limiter_.latencyFrames();
}

Chain::~Chain() = default;

void Chain::setTarget(int effectIndex, int setting, float value) noexcept {
    const int s = effectSlot_[static_cast<std::size_t>(effectIndex)];
    if (s >= 0) effects_[static_cast<std::size_t>(s)]->setTarget(setting, value);
    else backgrounds_[static_cast<std::size_t>(-1 - s)]->setTarget(setting, value);
}

void Chain::applyParameters() noexcept {
    for (std::size_t i = 0; i < parameterCount_; ++i) {
        const float v = slots_[i].load(std::memory_order_relaxed);
        if (v == applied_[i]) continue;
        applied_[i] = v;
        const ParameterDef& p = voice_->parameters[i];
        for (const ParameterTarget& t : p.targets) setTarget(t.effect, t.setting, p.mapped(t, v));
    }
}

void Chain::process(float* const* io, int channels, int frames, bool background) noexcept {
    applyParameters();
    for (Effect* e : hearing_) e->hear(io, channels, frames);
    for (auto& effect : effects_) effect->process(io, channels, frames);

    // The layers run whether heard or not, so that their state, and with it
    // the output, does not depend on where blocks start and end.
    if (!backgrounds_.empty()) {
        std::memset(layerBuffer_, 0, sizeof(float) * static_cast<std::size_t>(frames));
        for (auto& b : backgrounds_) b->generate(layerBuffer_, frames);
        const float target = background ? 1.0f : 0.0f;
        float g = backgroundGain_;
        for (int i = 0; i < frames; ++i) {
            g = target > g ? std::min(target, g + backgroundStep_) : std::max(target, g - backgroundStep_);
            if (g == 0.0f) continue;
            const float v = layerBuffer_[i] * g;
            for (int c = 0; c < channels; ++c) io[c][i] += v;
        }
        backgroundGain_ = g;
    }

    // The output stage holds the true peak at the ceiling; the safety clip
    // after it is only a last guard should anything ever run away.
    limiter_.process(io, channels, frames);
    for (int c = 0; c < channels; ++c) {
        float* x = io[c];
        for (int i = 0; i < frames; ++i) x[i] = safetyClip(x[i]);
    }
}

void Chain::reset() noexcept {
    for (auto& effect : effects_) effect->reset();
    for (auto& b : backgrounds_) b->reset();
    limiter_.reset();
}

}  // namespace vcmd
